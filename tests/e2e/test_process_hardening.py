"""The application process as the other processes of its user see it.

Usage: test_process_hardening.py APP [unittest arguments...]"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import harness
from harness import wait_until

APP = None

# A uid of no account, for a process that root starts as a regular user.
REGULAR_UID = 4242


def own_namespace_command(app):
    """How to run `app` as a regular user in a network namespace of its own
    (no service can answer there); None when this machine allows neither."""
    if os.geteuid() == 0:
        return (["unshare", "--net", "setpriv", "--reuid=%d" % REGULAR_UID,
                 "--regid=%d" % REGULAR_UID, "--clear-groups", app], REGULAR_UID)
    # A regular user already; an unprivileged user namespace brings the
    # network namespace. It maps no root, so its root is the real root.
    try:
        probe = subprocess.run(["unshare", "--user", "--net", "true"], capture_output=True)
    except OSError:
        return None
    if probe.returncode != 0:
        return None
    return (["unshare", "--user", "--net", app], os.getuid())


def real_uid(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Uid:"):
                return int(line.split()[1])
    raise RuntimeError("no Uid line")


class ProcessHardeningTest(unittest.TestCase):
    def test_other_processes_of_the_user_cannot_read_or_attach_to_it(self):
        # The kernel gives the files in /proc/PID of a process that is not
        # dumpable to root (to the root of its user namespace): processes of
        # the same user can then neither read its memory nor attach to it, and
        # it dumps no core. (/proc/PID itself keeps showing the process's uid.)
        how = own_namespace_command(APP)
        if how is None:
            self.skipTest("neither root nor user namespaces: cannot run as a regular user")
        command, uid = how
        home = tempfile.mkdtemp(prefix="tovrin-home-")
        self.addCleanup(shutil.rmtree, home, True)
        if os.geteuid() == 0:
            os.chown(home, uid, uid)
        os.chmod(home, 0o700)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=home, XDG_RUNTIME_DIR=home)
        app = harness.Process(command, env=env)
        self.addCleanup(app.stop)
        self.assertTrue(app.wait_for_output("Failed to get service actor", 15),
                        app.stdout() + app.stderr())
        self.assertTrue(app.running())
        self.assertEqual(real_uid(app.proc.pid), uid, "the application runs as the regular user")
        self.assertEqual(os.stat("/proc/%d" % app.proc.pid).st_uid, uid)
        owners = {name: os.stat("/proc/%d/%s" % (app.proc.pid, name)).st_uid
                  for name in ("mem", "environ", "fd", "maps")}
        print("uid %d; owners in /proc/%d: %r" % (uid, app.proc.pid, owners))
        self.assertEqual(owners, {"mem": 0, "environ": 0, "fd": 0, "maps": 0})


if __name__ == "__main__":
    APP = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
