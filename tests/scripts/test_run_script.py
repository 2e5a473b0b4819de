"""scripts/run.sh in a scratch copy of the repository: its build step is a
recording stand-in, the simulator is the real fido-otp-sim, and the app a
script that notes whether it ran and whether a service was listening.

--real-key runs the real fido-otp-service (no pcscd needed to serve), and
--virtual-key the real test bed with the real virtual key.

Usage: test_run_script.py FIDO_OTP_SIM FIDO_OTP_SERVICE VIRTUAL_KEY [unittest arguments...]"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SIM = SERVICE = VIRTUAL_KEY = None
PORT = 12900

FAKE_APP = """#!/bin/bash
if (exec 3<>/dev/tcp/127.0.0.1/12900) 2>/dev/null; then
  echo "app ran, service up" >>"$RUN_TEST_JOURNAL"
else
  echo "app ran, no service" >>"$RUN_TEST_JOURNAL"
fi
"""

RECORDER = """#!/bin/bash
echo "%s $*" >>"$RUN_TEST_JOURNAL"
"""

# dpkg-query as the script asks it: installed packages, minus $RUN_TEST_MISSING.
DPKG_QUERY = """#!/bin/bash
for p in $RUN_TEST_MISSING; do [ "$p" = "${@: -1}" ] && exit 1; done
printf 'ii '
"""


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


class RunScriptTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="run-sh-")
        self.repo = os.path.join(self.tmp.name, "repo")
        self.journal = os.path.join(self.tmp.name, "journal")
        shutil.copy(os.path.join(SOURCE, "scripts", "run.sh"), self.repo_path("scripts/run.sh"))
        write(self.repo_path("scripts/install-deps.sh"), RECORDER % "install-deps", 0o755)
        write(os.path.join(self.tmp.name, "bin", "cmake"), RECORDER % "cmake", 0o755)
        write(self.repo_path("app/main.cpp"), "int main() {}\n")
        write(self.repo_path("build-run/app/tovrin-authenticator"), FAKE_APP, 0o755)
        os.symlink(SIM, self.repo_path("build-run/service/sim/fido-otp-sim"))
        os.symlink(SERVICE, self.repo_path("build-run/service/pcsc/fido-otp-service"))
        os.symlink(VIRTUAL_KEY, self.repo_path("build-run/testbed/virtual-oath-key"))
        shutil.copy(os.path.join(SOURCE, "scripts", "testbed.sh"), self.repo_path("scripts/testbed.sh"))
        shutil.copy(os.path.join(SOURCE, "service", "pcsc", "examples", "demo-key.json"),
                    self.repo_path("service/pcsc/examples/demo-key.json"))
        write(os.path.join(self.tmp.name, "bin", "dpkg-query"), DPKG_QUERY, 0o755)
        write(self.repo_path("build-run/CMakeCache.txt"), "")
        self.mark_built()
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        self.tmp.cleanup()

    def repo_path(self, relative):
        path = os.path.join(self.repo, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path

    def mark_built(self):
        # Every file a minute old, the stamp of the last build newer than them.
        for folder, folders, names in os.walk(self.repo):
            for name in names + folders:
                os.utime(os.path.join(folder, name), (time.time() - 60,) * 2, follow_symlinks=False)
        stamp = self.repo_path("build-run/.up-to-date")
        write(stamp, "")
        os.utime(stamp, (time.time() - 30,) * 2)

    def occupy_port(self, listen):
        s = socket.socket()
        if listen:
            # A listener may bind over connections of earlier tests in TIME_WAIT.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", PORT))
            s.listen()
        else:
            # Without SO_REUSEADDR (with it the simulator could bind too), so
            # wait out connections of earlier tests in TIME_WAIT (at most 60 s).
            deadline = time.monotonic() + 70
            while True:
                try:
                    s.bind(("127.0.0.1", PORT))
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.5)
        self.sockets.append(s)

    def run_script(self, *args, missing=""):
        env = dict(os.environ, RUN_TEST_JOURNAL=self.journal, RUN_TEST_MISSING=missing,
                   PATH=os.path.join(self.tmp.name, "bin") + os.pathsep + os.environ["PATH"])
        started = time.monotonic()
        result = subprocess.run(["bash", self.repo_path("scripts/run.sh"), *args], env=env,
                                capture_output=True, text=True, timeout=60, cwd=self.tmp.name)
        result.elapsed = time.monotonic() - started
        return result

    def journal_lines(self):
        if not os.path.exists(self.journal):
            return []
        with open(self.journal) as f:
            return f.read().splitlines()

    def assert_refused(self, result, *words):
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        for word in words:
            self.assertIn(word, lines[0])
        self.assertNotIn("app ran", "\n".join(self.journal_lines()))

    def test_runs_the_app_against_its_own_simulator_and_stops_it(self):
        result = self.run_script()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(self.journal_lines(), ["app ran, service up"])
        self.assertIn("build-run/fido-otp-sim.log", result.stdout)
        with socket.socket() as probe:
            self.assertNotEqual(probe.connect_ex(("127.0.0.1", PORT)), 0, "simulator still runs")

    def test_taken_port_fails_naming_the_port_and_the_way_out(self):
        # Something already listening is found before the simulator starts...
        self.occupy_port(listen=True)
        self.assert_refused(self.run_script(), "127.0.0.1:12900", "--use-running-service")
        # ... and a port the simulator cannot bind is reported the same way.
        self.sockets.pop().close()
        self.occupy_port(listen=False)
        self.assert_refused(self.run_script(), "127.0.0.1:12900", "--use-running-service")

    def test_simulator_that_ends_early_fails_with_its_reason(self):
        config = os.path.join(self.tmp.name, "bad.json")
        write(config, '{"no_such_field": 1}')
        self.assert_refused(self.run_script(config), "fido-otp-sim", "no_such_field")

    def test_running_service_is_used_only_when_asked(self):
        self.occupy_port(listen=True)
        result = self.run_script("--use-running-service")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.journal_lines(), ["app ran, service up"])
        self.assertFalse(os.path.exists(self.repo_path("build-run/fido-otp-sim.log")))
        self.sockets.pop().close()
        os.remove(self.journal)
        self.assert_refused(self.run_script("--use-running-service"), "127.0.0.1:12900")

    def test_later_starts_skip_packages_and_build_until_a_source_changes(self):
        result = self.run_script()
        self.assertEqual(self.journal_lines(), ["app ran, service up"], result.stderr)
        os.remove(self.journal)
        os.utime(self.repo_path("app/main.cpp"))
        result = self.run_script()
        self.assertEqual(result.returncode, 0, result.stderr)
        journal = self.journal_lines()
        self.assertEqual(journal[0], "install-deps ")
        self.assertTrue(journal[1].startswith("cmake --build build-run"), journal)
        self.assertNotIn("few minutes", result.stdout)  # not a first run
        # The build left a fresh stamp: the next start skips it again.
        os.remove(self.journal)
        self.run_script()
        self.assertEqual(self.journal_lines(), ["app ran, service up"])

    def test_first_run_says_it_takes_minutes_before_building(self):
        os.remove(self.repo_path("build-run/CMakeCache.txt"))
        os.remove(self.repo_path("build-run/.up-to-date"))
        result = self.run_script()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("few minutes", result.stdout)
        journal = self.journal_lines()
        self.assertEqual([line.split(" ")[0] for line in journal[:3]],
                         ["install-deps", "cmake", "cmake"])
        self.assertIn("-DCMAKE_BUILD_TYPE=Release", journal[1])
        self.assertTrue(journal[2].startswith("cmake --build"), journal)


    def test_real_key_runs_the_app_against_fido_otp_service(self):
        result = self.run_script("--real-key")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(self.journal_lines(), ["app ran, service up"])
        self.assertIn("fido-otp-service serves on 127.0.0.1:12900", result.stdout)
        with open(self.repo_path("build-run/fido-otp-service.log")) as f:
            self.assertIn("serving on", f.read())
        with socket.socket() as probe:
            self.assertNotEqual(probe.connect_ex(("127.0.0.1", PORT)), 0, "service still runs")

    def test_real_key_without_pcscd_is_one_line_with_the_install_command(self):
        # Told before a build that would take minutes.
        os.remove(self.repo_path("build-run/.up-to-date"))
        self.assert_refused(self.run_script("--real-key", missing="pcscd"),
                            "pcscd", "sudo apt install pcscd")
        self.assertEqual(self.journal_lines(), [])

    def test_virtual_key_runs_service_and_app_in_a_test_bed(self):
        # The host's port stays taken: the test bed's network namespace has its own.
        self.occupy_port(listen=True)
        result = self.run_script("--virtual-key")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(self.journal_lines(), ["app ran, service up"])
        with open(self.repo_path("build-run/fido-otp-service.log")) as f:
            self.assertIn("serving on 127.0.0.1:12900", f.read())
        os.remove(self.journal)
        os.remove(self.repo_path("build-run/.up-to-date"))
        self.assert_refused(self.run_script("--virtual-key", missing="vsmartcard-vpcd"),
                            "sudo apt install vsmartcard-vpcd")
        self.assertEqual(self.journal_lines(), [], "nothing is built for a missing test bed")


if __name__ == "__main__":
    SIM, SERVICE, VIRTUAL_KEY = (os.path.abspath(p) for p in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
