"""Who may connect, across real processes and accounts: a service run by
root serves root and the accounts it is told to allow, and closes every
other account's connection before it answers anything; inside a user
namespace the overflow uid is nobody in particular and is refused too.
Needs root (to run processes as other accounts); each test runs in a
network namespace of its own.

Usage: test_access.py CLIENT SERVICE..."""

import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

CLIENT = None
SERVICES = []
OTHER = 4242


def as_account(uid, args):
    return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups", "--"] + args


class Service:
    """A service on a free port, its log read as it grows."""

    def __init__(self, executable, options=(), launcher=()):
        self.out = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(list(launcher) + [executable, "--port", "0"] + list(options),
                                     stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not re.search(r"serving on 127\.0\.0\.1:(\d+)", self.text()):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("no service: " + self.text())
            time.sleep(0.02)
        self.port = int(re.search(r"serving on 127\.0\.0\.1:(\d+)", self.text()).group(1))

    def text(self):
        self.out.seek(0)
        return self.out.read().decode("utf-8", "replace")

    def lines(self, word):
        return [line for line in self.text().splitlines() if word in line]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.out.close()


def client(port, *commands, uid=None):
    args = [CLIENT, str(port)] + list(commands)
    if uid is not None:
        args = as_account(uid, args)
    return subprocess.run(args, capture_output=True, text=True, timeout=30)


class OtherAccounts(unittest.TestCase):
    def serve(self, executable, *options, launcher=()):
        service = Service(executable, options, launcher)
        self.addCleanup(service.stop)
        return service

    def test_another_account_gets_no_answer_and_one_line(self):
        for executable in SERVICES:
            with self.subTest(executable=os.path.basename(executable)):
                service = self.serve(executable)
                refused = client(service.port, "info", "code", "GitHub", "0", "", uid=OTHER)
                self.assertEqual(refused.returncode, 3, refused.stdout + refused.stderr)
                self.assertIn("no service", refused.stderr)
                time.sleep(0.3)
                self.assertEqual(service.lines(": ok"), [])
                self.assertEqual(service.lines(": error"), [])
                refusals = service.lines("refused a connection")
                self.assertEqual(len(refusals), 1, service.text())
                self.assertRegex(refusals[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z refused a "
                                 r"connection from uid %d \(port \d+\): not an account this "
                                 r"service serves$" % OTHER)
                # The same requests as root, the service's own account.
                served = client(service.port, "info", "code", "GitHub", "0", "")
                self.assertIn("info: ", served.stdout, served.stderr)
                self.assertIn(", from uid 0", service.lines("get_info: ")[0])

    def test_allowed_accounts_are_served_by_uid_or_name(self):
        sim = SERVICES[0]
        service = self.serve(sim, "--allow-user", str(OTHER), "--allow-user", "daemon")
        for uid in (OTHER, 1):  # daemon is uid 1
            served = client(service.port, "info", uid=uid)
            self.assertEqual(served.stdout, "info: 3 tokens\n", served.stderr)
            self.assertEqual(len(service.lines("get_info: ok (3 tokens), from uid %d" % uid)), 1)
        self.assertEqual(client(service.port, "info", uid=4343).returncode, 3)
        unknown = subprocess.run([sim, "--allow-user", "no-such-account-here"],
                                 capture_output=True, text=True, timeout=10)
        self.assertEqual(unknown.returncode, 2)
        self.assertIn("--allow-user: no such account: no-such-account-here", unknown.stderr)

    def test_inside_a_user_namespace_the_overflow_uid_is_refused(self):
        # Only root is mapped ("0 0 1"): every other owner shows as 65534.
        service = self.serve(SERVICES[0], "--allow-user", "65534",
                             launcher=["unshare", "--user", "--map-root-user"])
        refused = client(service.port, "info", uid=OTHER)
        self.assertEqual(refused.returncode, 3, refused.stdout + refused.stderr)
        time.sleep(0.3)
        self.assertEqual(len(service.lines(
            "its owner cannot be found: uid 65534 stands for any account outside this user "
            "namespace")), 1, service.text())
        self.assertEqual(client(service.port, "info").stdout, "info: 3 tokens\n")


def in_own_network_namespace():
    """Runs this file again inside a network namespace of its own."""
    if os.environ.get("TEST_ACCESS_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return False
    env = dict(os.environ, TEST_ACCESS_NETNS="1")
    sys.exit(subprocess.run(["unshare", "--net", sys.executable] + sys.argv, env=env).returncode)


if __name__ == "__main__":
    if os.getuid() != 0:
        print("SKIPPED: running a process as another account needs root")
        sys.exit(0)
    in_own_network_namespace()
    CLIENT, SERVICES = sys.argv[1], sys.argv[2:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
