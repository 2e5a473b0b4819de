"""The real application executable (offscreen) against the real
fido-otp-service in a test bed: what the app writes to its log as the key is
pulled and put back. Run inside scripts/testbed.sh with keys/short.json.

Usage: test_app_process.py APP SERVICE"""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

APP = SERVICE = None


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Process:
    def __init__(self, args, env=None):
        self.out = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT, env=env)

    def text(self):
        self.out.seek(0)
        return self.out.read().decode("utf-8", "replace")

    def count(self, text):
        return self.text().count(text)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


class AppProcessTest(unittest.TestCase):
    def setUp(self):
        self.service = Process([SERVICE])
        self.assertTrue(wait_until(lambda: "serving on 127.0.0.1:12900" in self.service.text(), 10),
                        self.service.text())
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.app = Process([APP], env=env)

    def tearDown(self):
        self.app.stop()
        self.service.stop()

    def test_pulled_key_is_no_tokens_until_it_is_back(self):
        key = int(os.environ["TESTBED_KEY_PIDS"].split()[0])
        app, service = self.app, self.service
        # A code: the polling actor's trace after each successful code request.
        self.assertTrue(wait_until(lambda: app.count("try to loop") >= 1, 15), app.text())
        os.kill(key, signal.SIGUSR1)
        self.assertTrue(wait_until(
            lambda: "Failed to get otp, error=Could not find any FIDO tokens." in app.text(), 15),
            app.text())
        # The list stood: the page was never told to stop.
        self.assertNotIn("stop atom", app.text())
        codes = app.count("try to loop")
        os.kill(key, signal.SIGUSR2)
        self.assertTrue(wait_until(lambda: app.count("try to loop") > codes, 15), app.text())
        self.assertIn("get_otp: error fido_error 2", service.text())
        self.assertNotIn("Failed to get otp info", app.text())


if __name__ == "__main__":
    APP, SERVICE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
