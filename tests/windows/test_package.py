"""The Windows release as a user gets it, under Wine: the programs from the
unpacked zip (no other DLL or plugin than what it holds), the app's window
showing the default key's code and its trace lines, the Linux app and the
Windows simulator across the wire, fido-otp-service.exe serving both apps
and only its own account, and the installer and its uninstaller.
Run by scripts/windows/test.sh: in a network namespace of its own, with a
fresh WINEPREFIX, Wine's server running and DISPLAY on its Xvfb (every Wine
program of the prefix must use the same display).

Usage: test_package.py ZIP SETUP LINUX_APP LINUX_SIM CLIENT [TEST...]"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from harness import APP_TITLE, Process, message_lines, wait_until  # noqa: E402
from x11 import Display  # noqa: E402

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
ZIP = SETUP = LINUX_APP = LINUX_SIM = CLIENT = None
PORT = "12900"


def wine(*args):
    """Runs a Windows program to its end. Its output goes through files, not
    pipes: the Wine services that the first program of a prefix starts keep
    its standard output open, so a pipe would never close."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run([WINE, *args], stdout=out, stderr=err, timeout=120).returncode
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, code, out.read().decode("utf-8", "replace"),
                                           err.read().decode("utf-8", "replace"))


def windows_path(variable):
    """A folder of the Windows environment ("%LOCALAPPDATA%") as Wine has it."""
    return wine("cmd", "/c", "echo " + variable).stdout.strip()


def clipboard_text():
    """What the clipboard holds; empty while its owner does not answer (Wine's
    clipboard can be slow to)."""
    try:
        return subprocess.run(["xclip", "-selection", "clipboard", "-o"], capture_output=True,
                              text=True, timeout=3).stdout.strip()
    except subprocess.TimeoutExpired:
        return ""


def default_key_secret(sim_help):
    """The first token of the default key and its secret, from --help."""
    found = re.search(r"^\s+(\S+)\s+\d+ s\s+\d digits\s+\S+\s+([A-Z2-7]+)\s*$", sim_help, re.M)
    if not found:
        raise AssertionError("no token in the simulator's --help:\n" + sim_help)
    return found.groups()


def totp(secret):
    return subprocess.run(["oathtool", "--totp", "-b", secret], check=True, capture_output=True,
                          text=True).stdout.strip()


class WindowsRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tovrin-zip-")
        with zipfile.ZipFile(ZIP) as z:
            z.extractall(cls.folder)
        (top,) = os.listdir(cls.folder)
        cls.unpacked = os.path.join(cls.folder, top)
        cls.app_exe = os.path.join(cls.unpacked, "tovrin-authenticator.exe")
        cls.sim_exe = os.path.join(cls.unpacked, "fido-otp-sim.exe")
        cls.service_exe = os.path.join(cls.unpacked, "fido-otp-service.exe")
        cls.display = Display(os.environ["DISPLAY"])

    @classmethod
    def tearDownClass(cls):
        cls.display.close()
        shutil.rmtree(cls.folder)

    def setUp(self):
        # Runs after the test's own cleanups: Wine lets go of a killed
        # program's sockets a moment after the program has gone.
        self.addCleanup(self.wait_until_nothing_listens)

    def wait_until_nothing_listens(self):
        def free():
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", int(PORT))) != 0
        if not wait_until(free, 30):
            listening = subprocess.run(["ss", "-tanp"], capture_output=True, text=True).stdout
            self.fail("127.0.0.1:%s still listens:\n%s" % (PORT, listening))

    def start(self, args):
        process = Process(args)
        self.addCleanup(process.stop)
        return process

    def serve(self, sim_args):
        sim = self.start(sim_args + ["--port", PORT])
        self.assertTrue(sim.wait_for_output("serving on", 60), sim.stdout() + sim.stderr())
        return sim

    def copied_code(self, app):
        """Ctrl+C in the app's window, early in a time step; the clipboard's text."""
        windows = wait_until(lambda: self.display.find(APP_TITLE), 60)
        if len(windows) != 1:
            tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True,
                                  text=True).stdout
            self.fail("not one window %r: %s\n%s\n%s" % (APP_TITLE, windows, tree, app.stdout()))
        window = windows[0]
        self.assertTrue(app.wait_for_output("set done", 60), app.stdout())
        for _ in range(3):
            wait_until(lambda: 1 <= time.time() % 30 < 20, 31, step=0.1)
            subprocess.run(["xdotool", "windowfocus", "--sync", str(window), "key", "ctrl+c"],
                           check=True, timeout=30)
            copied = wait_until(clipboard_text, 10)
            if copied:
                return copied, int(time.time()) // 30
        self.fail("no code was copied:\n" + app.stdout())

    def expect_default_code(self, app, sim_help):
        _, secret = default_key_secret(sim_help)
        code, step = self.copied_code(app)
        self.assertEqual(int(time.time()) // 30, step, "the step ended while checking")
        self.assertEqual(code, totp(secret))

    def test_the_zip_holds_what_the_programs_need(self):
        with zipfile.ZipFile(ZIP) as z:
            names = {os.path.relpath(n, z.namelist()[0].split("/")[0]) for n in z.namelist()}
        for needed in ["tovrin-authenticator.exe", "fido-otp-service.exe", "fido-otp-sim.exe",
                       "README.txt",
                       "platforms/qwindows.dll", "imageformats/qsvg.dll", "Qt5Core.dll",
                       "Qt5Gui.dll", "Qt5Widgets.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll",
                       "libwinpthread-1.dll"]:
            self.assertIn(needed, names)

    def trace_past_the_first_code(self, sim_args, app_args):
        """The app's trace lines (numbers as N) until 2 s after its first code."""
        sim = self.serve(sim_args)
        app = self.start(app_args)
        self.assertTrue(app.wait_for_output("try to loop", 60), app.stdout())
        time.sleep(2)
        lines = [re.sub(r"\d+", "N", line) for line in message_lines(app)]
        app.stop()
        sim.stop()
        return lines

    def test_the_window_shows_the_default_keys_code_and_the_linux_trace_lines(self):
        sim_help = wine(self.sim_exe, "--help").stdout
        self.serve([WINE, self.sim_exe])
        app = self.start([WINE, self.app_exe])
        self.expect_default_code(app, sim_help)
        app.stop()
        self.doCleanups()
        windows = self.trace_past_the_first_code([WINE, self.sim_exe], [WINE, self.app_exe])
        linux = self.trace_past_the_first_code([LINUX_SIM], [LINUX_APP])
        # The polling actor's and the page's lines interleave as their threads
        # run, so the first code can come before or after the page's others;
        # whether a tick blanks the display before the first code, or finds
        # the step unchanged since, is timing alone.
        timing = {"clearN N", "still step N", "token_unchanged=true, last_cal_step=N, step=N"}
        self.assertEqual(sorted(set(windows) - timing), sorted(set(linux) - timing))
        self.assertEqual(windows[0], "get fido otp actor")

    def test_the_linux_app_reads_the_windows_simulator(self):
        sim_help = wine(self.sim_exe, "--help").stdout
        sim = self.serve([WINE, self.sim_exe])
        app = self.start([LINUX_APP])
        self.expect_default_code(app, sim_help)
        self.assertRegex(sim.stdout(), r"get_otp: ok \(6-digit code\), from uid \d+")

    def test_the_windows_app_reads_the_linux_simulator_and_ignores_its_command_line(self):
        sim_help = subprocess.run([LINUX_SIM, "--help"], capture_output=True, text=True).stdout
        self.serve([LINUX_SIM])
        # Qt would leave the screen for these; the app hands Qt no arguments.
        app = self.start([WINE, self.app_exe, "-platform", "offscreen", "-style", "fusion"])
        self.expect_default_code(app, sim_help)

    def service_log(self):
        path = windows_path("%LOCALAPPDATA%") + r"\Tovrin Authenticator G2\fido-otp-service.log"
        unix = wine("winepath", "-u", path).stdout.strip()
        if not os.path.exists(unix):
            return ""
        with open(unix, encoding="utf-8", errors="replace") as f:
            return f.read()

    def start_service(self):
        """fido-otp-service.exe from the zip; its log (a file) is read from here on."""
        before = len(self.service_log())
        service = self.start([WINE, self.service_exe])
        self.assertTrue(wait_until(lambda: "serving on" in self.service_log()[before:], 60),
                        self.service_log())
        return service, lambda: self.service_log()[before:]

    def test_the_service_answers_both_apps_and_only_this_account(self):
        _, log = self.start_service()
        # No key under Wine: its winscard.dll answers every call with an
        # internal error, which the apps show as the service's error.
        asked = subprocess.run([CLIENT, PORT, "info"], capture_output=True, text=True, timeout=60)
        error = "Failed to open FIDO device. (SCARD_F_INTERNAL_ERROR)"
        self.assertEqual(asked.stdout, "info: error " + error + "\n", asked.stderr)
        self.assertRegex(log(), r"get_info: error fido_error 5 \(%s\), from uid \d+" %
                         re.escape(error))
        # Each app asks whether the key has a PIN (again every 3 s while that
        # fails) and shows the answer's error in its window.
        for app_args in ([WINE, self.app_exe], [LINUX_APP]):
            asked = log().count("has_access: error fido_error 5 (%s)" % error)
            app = self.start(app_args)
            self.assertTrue(wait_until(lambda: log().count("has_access: error fido_error 5 (%s)"
                                                           % error) > asked, 60),
                            log() + app.stdout())
            app.stop()
        # One port, one service: a second one says so in its log and ends.
        second = wine(self.service_exe)
        self.assertEqual(second.returncode, 1)
        self.assertIn("fido-otp-service: cannot listen on 127.0.0.1:12900: ", log())
        if os.getuid() != 0:
            self.skipTest("another account's client needs root")
        other = subprocess.run(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups",
                                CLIENT, PORT, "info"], capture_output=True, text=True, timeout=60)
        self.assertEqual(other.returncode, 3, other.stdout + other.stderr)
        self.assertTrue(wait_until(lambda: "refused a connection from uid 4242" in log(), 10))

    def test_the_installer_installs_for_this_user_and_the_uninstaller_removes_it(self):
        before = len(self.service_log())
        installed = wine(SETUP, "/S")
        self.assertEqual(installed.returncode, 0, installed.stderr)
        local = windows_path("%LOCALAPPDATA%")
        folder = wine("winepath", "-u", local + r"\Programs\Tovrin Authenticator G2").stdout.strip()
        programs = windows_path("%APPDATA%") + \
            r"\Microsoft\Windows\Start Menu\Programs\Tovrin Authenticator G2.lnk"
        shortcut = wine("winepath", "-u", programs).stdout.strip()
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrinAuthenticatorG2"
        for name in ("tovrin-authenticator.exe", "fido-otp-service.exe", "fido-otp-sim.exe",
                     "uninstall.exe", "platforms/qwindows.dll"):
            self.assertTrue(os.path.exists(os.path.join(folder, name)), name)
        self.assertTrue(os.path.exists(shortcut))
        # The service starts at once, and at each log-on.
        self.assertTrue(wait_until(lambda: "serving on" in self.service_log()[before:], 60))
        run = wine("reg", "query", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run",
                   "/v", "Tovrin FIDO OTP service")
        self.assertIn(r"Programs\Tovrin Authenticator G2\fido-otp-service.exe", run.stdout)
        query = wine("reg", "query", key, "/v", "DisplayVersion")
        self.assertRegex(query.stdout, r"DisplayVersion\s+REG_SZ\s+\d+\.\d+")
        self.assertEqual(wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion"
                                          r"\Uninstall\TovrinAuthenticatorG2").returncode != 0, True)
        # The uninstaller (it goes on from a copy of itself in %TEMP%) leaves
        # nothing behind.
        removed = wine(os.path.join(folder, "uninstall.exe"), "/S")
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertTrue(wait_until(lambda: not os.path.exists(folder), 60))
        self.assertFalse(os.path.exists(shortcut))
        self.assertNotEqual(wine("reg", "query", key).returncode, 0)
        self.assertNotEqual(wine("reg", "query", r"HKCU\Software\Microsoft\Windows"
                                 r"\CurrentVersion\Run", "/v", "Tovrin FIDO OTP service")
                            .returncode, 0)


if __name__ == "__main__":
    ZIP, SETUP, LINUX_APP, LINUX_SIM, CLIENT = sys.argv[1:6]
    unittest.main(argv=sys.argv[:1] + sys.argv[6:], verbosity=2)
