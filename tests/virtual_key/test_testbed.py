"""scripts/testbed.sh from the outside: what COMMAND gets, the exit status,
isolation, and that nothing outlives the script.

Usage: test_testbed.py TESTBED_SH VIRTUAL_KEY EXAMPLES_DIR [unittest arguments]
"""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

TESTBED, KEY, EXAMPLES = (os.path.abspath(a) for a in sys.argv[1:4])
del sys.argv[1:4]
PYTHON = "/usr/bin/python3"  # Debian's, with pyscard

# Run inside the test bed: what a client sees, as one line per fact.
PROBE = textwrap.dedent("""
    import os
    from smartcard import scard
    context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)[1]
    readers = os.environ["TESTBED_READERS"].splitlines()
    _, states = scard.SCardGetStatusChange(
        context, 0, [(r, scard.SCARD_STATE_UNAWARE) for r in readers])
    print("readers", "|".join(scard.SCardListReaders(context, [])[1]))
    print("present", " ".join(str(int(bool(s[1] & scard.SCARD_STATE_PRESENT))) for s in states))
    def comm(pid):
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    print("pcscd", comm(os.environ["TESTBED_PCSCD_PID"]))
    print("keys", " ".join(comm(p) for p in os.environ["TESTBED_KEY_PIDS"].split()))
    print("ports", os.environ["TESTBED_VPCD_PORTS"])
    print("binary", os.environ["TESTBED_VIRTUAL_KEY"])
    print("uid", os.getuid())
    print("netns", os.readlink("/proc/self/ns/net"))
    print("mntns", os.readlink("/proc/self/ns/mnt"))
    try:  # a regular user's COMMAND may not look into pcscd's namespaces
        print("pcscd_mntns", os.readlink(f"/proc/{os.environ['TESTBED_PCSCD_PID']}/ns/mnt"))
    except PermissionError:
        print("pcscd_mntns hidden")
""")


def facts(output):
    return dict(line.split(" ", 1) if " " in line else (line, "") for line in output.splitlines())


class TestbedTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="testbed-test-")
        self.env = dict(os.environ, TMPDIR=self.tmp)

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run_testbed(self, *args, command, timeout=60, env=None, user=None):
        prefix = ["runuser", "-u", user, "--"] if user else []
        return subprocess.run(prefix + ["bash", TESTBED, "--virtual-key", KEY, *args, "--", *command],
                              capture_output=True, text=True, timeout=timeout,
                              env=env or self.env)

    def assert_nothing_left(self, netns, within=5.0):
        """No process is left in the test bed's network namespace, and the
        temporary folder is empty."""
        deadline = time.monotonic() + within
        while True:
            left = []
            for entry in os.listdir("/proc"):
                try:
                    if entry.isdigit() and os.readlink(f"/proc/{entry}/ns/net") == netns:
                        with open(f"/proc/{entry}/cmdline", "rb") as f:
                            left.append(f"{entry}: {f.read().replace(bytes(1), b' ').decode()}")
                except OSError:
                    continue
            files = os.listdir(self.tmp)
            if not left and not files:
                return
            if time.monotonic() > deadline:
                self.fail(f"left behind: {left} {files}")
            time.sleep(0.05)

    def test_command_sees_the_keys_readers_and_its_environment(self):
        host_net = os.readlink("/proc/self/ns/net")
        result = self.run_testbed("--key", f"{EXAMPLES}/mixed.json", "--key",
                                  f"{EXAMPLES}/second-key.json",
                                  "--reader-name", "Yubico YubiKey OTP+FIDO+CCID",
                                  command=[PYTHON, "-c", PROBE + "\nraise SystemExit(7)"])
        self.assertEqual(result.returncode, 7, result.stderr)
        seen = facts(result.stdout)
        self.assertEqual(seen["readers"], "Yubico YubiKey OTP+FIDO+CCID 00 00|"
                                          "Yubico YubiKey OTP+FIDO+CCID 00 01")
        self.assertEqual(seen["present"], "1 1")
        self.assertEqual(seen["pcscd"], "pcscd")
        self.assertEqual(seen["keys"], "virtual-oath-ke virtual-oath-ke")
        self.assertEqual(seen["ports"], "35963 35964")
        self.assertEqual(seen["binary"], KEY)
        self.assertEqual(seen["uid"], str(os.getuid()))
        self.assertNotEqual(seen["netns"], host_net)
        self.assertNotEqual(seen["mntns"], seen["pcscd_mntns"])
        self.assert_nothing_left(seen["netns"])

        # No keys: both readers, no cards; the default reader name.
        result = self.run_testbed(command=[PYTHON, "-c", PROBE])
        self.assertEqual(result.returncode, 0, result.stderr)
        seen = facts(result.stdout)
        self.assertEqual(seen["readers"], "Virtual PCD 00 00|Virtual PCD 00 01")
        self.assertEqual(seen["present"], "0 0")
        self.assertEqual(seen["keys"], "")

    def test_refuses_bad_arguments_before_starting_anything(self):
        bad_key = self.tmp + "-bad.json"
        self.addCleanup(os.unlink, bad_key)
        with open(bad_key, "w") as f:
            f.write('{"salt": "0000000000000001", "max_response": 0}')
        for args, message in (
                (["--key", bad_key], "max_response"),
                (["--key", "/nonexistent.json"], "cannot be read"),
                (["--key", f"{EXAMPLES}/empty.json"] * 3, "at most two"),
                (["--reader-name", 'a"b'], "--reader-name")):
            result = self.run_testbed(*args, command=["true"])
            self.assertEqual(result.returncode, 125, args)
            self.assertIn(message, result.stderr)
            self.assertEqual(os.listdir(self.tmp), [])

    def test_two_test_beds_side_by_side(self):
        command = ["bash", "-c", "sleep 1; " + PYTHON + " -c \"$0\"", PROBE]
        beds = [subprocess.Popen(["bash", TESTBED, "--virtual-key", KEY, "--key",
                                  f"{EXAMPLES}/empty.json", "--", *command],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=self.env) for _ in range(2)]
        outputs = [bed.communicate(timeout=60) for bed in beds]
        for bed, (out, err) in zip(beds, outputs):
            self.assertEqual(bed.returncode, 0, err)
            self.assertEqual(facts(out)["present"], "1 0")
        self.assertNotEqual(facts(outputs[0][0])["netns"], facts(outputs[1][0])["netns"])

    def test_command_can_stop_pcscd_and_the_keys(self):
        script = textwrap.dedent("""
            set -e
            read -r first second <<<"$TESTBED_KEY_PIDS"
            kill -TERM "$first"
            "$TESTBED_VIRTUAL_KEY" --config "$1" --vpcd-port 35963 &
            kill -TERM "$TESTBED_PCSCD_PID"
            for i in $(seq 100); do kill -0 "$TESTBED_PCSCD_PID" 2>/dev/null || break; sleep 0.05; done
            ! kill -0 "$TESTBED_PCSCD_PID" 2>/dev/null && echo "pcscd gone"
            kill -0 "$second" && echo "second key alive"
            readlink /proc/self/ns/net
        """)
        result = self.run_testbed("--key", f"{EXAMPLES}/empty.json", "--key", f"{EXAMPLES}/empty.json",
                                  command=["bash", "-c", script, "bash", f"{EXAMPLES}/mixed.json"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("pcscd gone", result.stdout)
        self.assertIn("second key alive", result.stdout)
        self.assert_nothing_left(result.stdout.splitlines()[-1])

    def test_killing_the_script_stops_everything(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
            with self.subTest(signal=number.name):
                marker = f"marker-{number.name}-{os.getpid()}"
                ready = os.path.join(self.tmp, "..", f"{marker}.ready")
                bed = subprocess.Popen(
                    ["bash", TESTBED, "--virtual-key", KEY, "--key", f"{EXAMPLES}/empty.json",
                     "--", "bash", "-c", f"readlink /proc/self/ns/net >{ready}.new; "
                     f"mv {ready}.new {ready}; exec sleep 600", marker],
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=self.env)
                deadline = time.monotonic() + 30
                while not os.path.exists(ready):
                    self.assertIsNone(bed.poll(), bed.stderr.read() if bed.poll() is not None else "")
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.02)
                with open(ready) as f:
                    netns = f.read().strip()
                os.unlink(ready)
                bed.send_signal(number)
                bed.wait(10)
                bed.stderr.close()
                self.assertNotEqual(bed.returncode, 0)
                self.assert_nothing_left(netns)

    def test_killing_the_script_while_it_waits_for_a_key(self):
        # A key that takes its time to connect keeps the test bed in its wait.
        slow_key = self.tmp + "-slow-key"
        self.addCleanup(os.unlink, slow_key)
        with open(slow_key, "w") as f:
            f.write(f'#!/bin/sh\ncase "$*" in *--check*) ;; *) sleep 20 ;; esac\nexec {KEY} "$@"\n')
        os.chmod(slow_key, 0o755)
        bed = subprocess.Popen(
            ["bash", TESTBED, "--virtual-key", slow_key, "--key", f"{EXAMPLES}/empty.json",
             "--", "sleep", "600"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=self.env)
        time.sleep(1)  # pcscd is up by now; the key is not
        killed = time.monotonic()
        bed.terminate()
        _, err = bed.communicate(timeout=30)
        self.assertLess(time.monotonic() - killed, 2.0)
        self.assertEqual(bed.returncode, 143)
        self.assertNotIn("testbed:", err)
        deadline = time.monotonic() + 5
        while os.listdir(self.tmp) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(os.listdir(self.tmp), [])

    def test_a_regular_user_through_a_user_namespace(self):
        if os.getuid() != 0:
            self.skipTest("needs root to create the user tbtest")
        if subprocess.run(["id", "tbtest"], capture_output=True).returncode != 0:
            subprocess.run(["useradd", "-m", "tbtest"], check=True)
        if subprocess.run(["runuser", "-u", "tbtest", "--", "unshare", "--user", "--map-root-user",
                           "--net", "true"], capture_output=True).returncode != 0:
            self.skipTest("user namespaces are not allowed here")
        # The user reads the script, the key and a config from a folder of its own.
        shared = tempfile.mkdtemp(prefix="testbed-user-")
        os.chmod(shared, 0o755)
        try:
            for source in (TESTBED, KEY, f"{EXAMPLES}/password.json"):
                shutil.copy(source, shared)
            user_tmp = os.path.join(shared, "tmp")
            os.mkdir(user_tmp)
            shutil.chown(user_tmp, "tbtest")
            env = dict(os.environ, TMPDIR=user_tmp, HOME=pwd.getpwnam("tbtest").pw_dir)
            probe = PROBE + textwrap.dedent("""
                os.kill(int(os.environ["TESTBED_PCSCD_PID"]), 0)
                from smartcard.System import readers
                from ykman.pcsc import ScardSmartCardConnection
                from yubikit.oath import OathSession
                oath = OathSession(ScardSmartCardConnection(readers()[0].createConnection()))
                oath.validate(oath.derive_key("open sesame"))
                print("credentials", len(oath.list_credentials()))
            """)
            result = subprocess.run(
                ["runuser", "-u", "tbtest", "--", "bash", f"{shared}/testbed.sh", "--virtual-key",
                 f"{shared}/{os.path.basename(KEY)}", "--key", f"{shared}/password.json", "--",
                 PYTHON, "-c", probe], capture_output=True, text=True, timeout=60, env=env)
            self.assertEqual(result.returncode, 0, result.stderr)
            seen = facts(result.stdout)
            self.assertEqual(seen["uid"], str(pwd.getpwnam("tbtest").pw_uid))
            self.assertEqual(seen["present"], "1 0")
            self.assertEqual(seen["credentials"], "2")
            self.assertEqual(os.listdir(user_tmp), [])
        finally:
            shutil.rmtree(shared)


if __name__ == "__main__":
    outcome = unittest.main(exit=False).result
    if not outcome.wasSuccessful():
        sys.exit(1)
    sys.exit(77 if outcome.skipped else 0)  # ctest's SKIP_RETURN_CODE
