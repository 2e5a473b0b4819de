"""The systemd user unit of fido-otp-service, as far as it can be tried
without a running systemd: systemd-analyze finds no fault in it and rates its
exposure as low, and its ExecStart line, run with the unit's limits (open
files, no new privileges) in a test bed with demo-key.json, serves the key
within the unit's memory limit.

Usage: test_user_unit.py UNIT SERVICE CLIENT"""

import configparser
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

UNIT = SERVICE = CLIENT = None
KEY = json.load(open(os.path.join(os.path.dirname(__file__), "../../service/pcsc/examples/"
                                  "demo-key.json")))


def unit_settings():
    unit = configparser.ConfigParser(interpolation=None)
    unit.optionxform = str
    unit.read(UNIT, encoding="utf-8")
    return unit["Service"]


def bytes_of(size):
    return int(size[:-1]) * {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}[size[-1]]


class UserUnit(unittest.TestCase):
    def test_systemd_analyze_finds_no_fault_and_a_low_exposure(self):
        with tempfile.TemporaryDirectory() as scratch:
            # The installed path, here the build's executable.
            unit = os.path.join(scratch, "fido-otp-service.service")
            with open(UNIT) as f:
                text = f.read().replace("/usr/bin/fido-otp-service", SERVICE)
            with open(unit, "w") as f:
                f.write(text)
            verify = subprocess.run(["systemd-analyze", "verify", "--man=no", unit],
                                    capture_output=True, text=True)
            self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
            security = subprocess.run(["systemd-analyze", "security", "--offline=true", unit],
                                      capture_output=True, text=True)
            level = float(re.search(r"Overall exposure level for \S+: ([\d.]+)",
                                    security.stdout).group(1))
            self.assertLessEqual(level, 2.0, security.stdout)

    def test_exec_start_with_the_units_limits_serves_the_key(self):
        service = unit_settings()
        command = service["ExecStart"].replace("/usr/bin/fido-otp-service", SERVICE).split()
        files = service["LimitNOFILE"]
        self.assertEqual(service["NoNewPrivileges"], "yes")
        launched = ["prlimit", "--nofile=%s:%s" % (files, files), "--",
                    "setpriv", "--no-new-privs", "--"] + command
        out = tempfile.TemporaryFile()
        proc = subprocess.Popen(launched, stdout=out, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 10
            while b"serving on" not in (out.seek(0) or out.read()):
                self.assertLess(time.monotonic(), deadline)
                self.assertIsNone(proc.poll())
                time.sleep(0.05)
            totp = [c for c in KEY["credentials"] if c.get("type") != "hotp"]
            token = KEY["credentials"][1]
            asked = subprocess.run([CLIENT, "12900", "info", "code", token["name"], "0", ""],
                                   capture_output=True, text=True, timeout=30)
            expected = subprocess.run(["oathtool", "--totp", "-b", "-d", str(token["digits"]),
                                       "-s", "%ds" % token["period"], token["secret"]],
                                      capture_output=True, text=True).stdout.strip()
            self.assertEqual(asked.stdout, "info: %d tokens\ncode: %s\n" % (len(totp), expected),
                             asked.stderr)
            with open("/proc/%d/status" % proc.pid) as f:
                peak = int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1)) * 1024
            self.assertLess(peak, bytes_of(service["MemoryMax"]))
        finally:
            proc.terminate()
            proc.wait(10)
            out.close()


if __name__ == "__main__":
    UNIT, SERVICE, CLIENT = sys.argv[1:4]
    if not shutil.which("systemd-analyze"):
        print("SKIPPED: no systemd-analyze")
        sys.exit(0)
    unittest.main(argv=sys.argv[:1], verbosity=2)
