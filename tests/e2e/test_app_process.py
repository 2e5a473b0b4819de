"""End-to-end tests of the real application executable under a virtual X
display, against the real simulated service on 127.0.0.1:12900.

Usage: test_app_process.py APP SIM [unittest arguments...]"""

import glob
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import APP_TITLE, message_lines, start_app, start_service, wait_until

APP = SIM = None

# A token with a short period, so that a copied code expires within the test.
SHORT = {"name": "Short", "secret": "JBSWY3DPEHPK3PXP", "period": 5}


def desktop_entry_value(key):
    """A value of the application's desktop entry in the source tree."""
    [entry] = glob.glob(os.path.join(os.path.dirname(__file__), "..", "..", "resources", "desktop",
                                     "*.desktop"))
    with open(entry, encoding="utf-8") as f:
        for line in f:
            if line.startswith(key + "="):
                return line.rstrip("\n").split("=", 1)[1]
    raise KeyError(key)


def write_config(data):
    f = tempfile.NamedTemporaryFile("w", suffix=".json", delete=False)
    json.dump(data, f)
    f.close()
    return f.name


class AppProcessTest(unittest.TestCase):
    def setUp(self):
        self.xvfb = harness.Xvfb()
        self.processes = []

    def tearDown(self):
        for p in self.processes:
            p.stop()
        self.xvfb.stop()

    def service(self, config=None):
        path = write_config(config) if config is not None else None
        s = start_service(SIM, path)
        self.processes.append(s)
        return s

    def app(self, *args):
        a = start_app(APP, self.xvfb, args)
        self.processes.append(a)
        return a

    def window(self, app, timeout=15):
        found = wait_until(lambda: self.xvfb.display.find(APP_TITLE) or not app.running(), timeout)
        self.assertTrue(app.running(), "the application ended early:\n" + app.stdout() + app.stderr())
        self.assertTrue(found, "no window appeared:\n" + app.stdout())
        return found[0]

    def close_and_wait(self, app, window, limit, xvfb=None):
        closed_at = time.monotonic()
        (xvfb or self.xvfb).display.request_close(window)
        app.proc.wait(limit)
        return time.monotonic() - closed_at

    def run_x(self, *args, xvfb=None, check=True, **kwargs):
        env = dict(os.environ, DISPLAY=(xvfb or self.xvfb).name)
        return subprocess.run(args, env=env, check=check, capture_output=True, text=True,
                              timeout=10, **kwargs)

    def clipboard(self, target=None):
        """What xclip reads from the clipboard (for `target`), or None when
        nothing offers it."""
        args = ["xclip", "-selection", "clipboard", "-o"] + (["-t", target] if target else [])
        result = self.run_x(*args, check=False)
        return result.stdout if result.returncode == 0 else None

    def copy_a_short_lived_code(self):
        """Starts the application on a key with a short-lived token and presses
        Ctrl+C in its window early in a time step, once the step's code is on
        display; returns the step."""
        self.service({"tokens": [SHORT]})
        app = self.app()
        window = self.window(app)
        self.assertTrue(app.wait_for_output("set done", 10), app.stdout())
        self.run_x("xdotool", "windowfocus", "--sync", str(window))
        return self.copy_code()

    def copy_code(self):
        """Presses Ctrl+C in the focused window early in a time step, once the
        step's code is on display; returns the step."""
        period = SHORT["period"]
        display = self.xvfb.display
        for _ in range(5):
            wait_until(lambda: 1.2 <= time.time() % period < 2.5, period + 1, step=0.02)
            step = int(time.time()) // period
            before = display.selection_owner()
            self.run_x("xdotool", "key", "ctrl+c")
            if wait_until(lambda: display.selection_owner() not in (0, before), 1):
                return step
            time.sleep(1.5)  # the display was still blank: try in the next step
        self.fail("no code was copied")

    def totp(self, step):
        result = subprocess.run(["oathtool", "--totp", "-b", "-s", "%ds" % SHORT["period"],
                                 "-N", "@%d" % (step * SHORT["period"]), SHORT["secret"]],
                                check=True, capture_output=True, text=True)
        return result.stdout.strip()

    def assert_in_order(self, lines, expected):
        positions = []
        for text in expected:
            self.assertIn(text, lines, "missing %r in:\n%s" % (text, "\n".join(lines)))
            positions.append(lines.index(text))
        self.assertEqual(positions, sorted(positions), "out of order:\n" + "\n".join(lines))

    def test_closing_the_window_ends_cleanly_and_quickly(self):
        self.service()
        app = self.app()
        window = self.window(app)
        # Let the OTP page poll for a while before closing.
        self.assertTrue(app.wait_for_output("get tick atom", 10), app.stdout())
        elapsed = self.close_and_wait(app, window, 15)
        self.assertEqual(app.proc.returncode, 0)
        self.assertLess(elapsed, 5)
        lines = message_lines(app)
        self.assert_in_order(lines, ["get fido otp actor", "destroy OtpWidget...", "clean...",
                                     "All actors exit done", "join wait th", "join wait th done."])
        self.assertNotIn("actors exiting timeout...", lines)

    def test_without_a_service_the_window_reports_it(self):
        app = self.app()
        window = self.window(app)
        self.assertTrue(app.wait_for_output("Failed to get service actor", 5))
        self.assertIn("[critical] Failed to get service actor", app.stdout())
        elapsed = self.close_and_wait(app, window, 15)
        self.assertEqual(app.proc.returncode, 0)
        self.assertLess(elapsed, 5)

    def test_refused_lookup_is_a_failed_connection(self):
        self.service({"refuse_actor_lookup": True})
        app = self.app()
        window = self.window(app)
        self.assertIn("[critical] Failed to get fido otp actor", app.stdout())
        self.close_and_wait(app, window, 15)
        self.assertEqual(app.proc.returncode, 0)

    def test_command_line_arguments_have_no_effect(self):
        self.service()
        # Were these honoured, the window would not appear on the X display.
        app = self.app("-platform", "offscreen", "-style", "fusion", "--no-such-option")
        window = self.window(app)
        self.close_and_wait(app, window, 15)
        self.assertEqual(app.proc.returncode, 0)

    def test_code_request_that_never_returns_bounds_the_exit_wait(self):
        self.service({"faults": {"get_otp": [{"count": -1, "hang": True}]}})
        app = self.app()
        window = self.window(app)
        self.assertTrue(app.wait_for_output("!! Need calculate OTP !!", 10), app.stdout())
        elapsed = self.close_and_wait(app, window, 20)
        self.assertEqual(app.proc.returncode, 0)
        self.assertGreaterEqual(elapsed, 10)
        self.assertLess(elapsed, 14)
        lines = message_lines(app)
        self.assert_in_order(lines, ["clean...", "actors exiting timeout..."])
        self.assertNotIn("join wait th", lines)

    def test_window_names_itself_to_the_desktop(self):
        # Launchers match WM_CLASS with the desktop entry's StartupWMClass and
        # taskbars draw _NET_WM_ICON; Qt gets no argv to take a name from.
        app = self.app()
        window = self.window(app)
        display = self.xvfb.display
        wm_class = wait_until(lambda: display.property(window, "WM_CLASS"), 5)
        startup_class = desktop_entry_value("StartupWMClass")
        self.assertEqual(wm_class, startup_class.encode() + b"\0" + startup_class.encode() + b"\0")

        icon = display.property(window, "_NET_WM_ICON")
        self.assertTrue(icon, "no _NET_WM_ICON")
        sizes = []
        while icon:
            width, height = icon[0], icon[1]
            pixels = [p & 0xFFFFFFFF for p in icon[2:2 + width * height]]
            self.assertEqual(len(pixels), width * height)
            icon = icon[2 + width * height:]
            sizes.append((width, height))
            # The crest: transparent corners, an opaque blue shield in the middle.
            self.assertEqual(pixels[0] >> 24, 0)
            middle = pixels[(height * 3 // 4) * width + width // 2]
            alpha, red, blue = middle >> 24, (middle >> 16) & 0xFF, middle & 0xFF
            self.assertEqual(alpha, 0xFF)
            self.assertGreater(blue, red + 40)
        for size in (16, 32, 64):
            self.assertIn((size, size), sizes)
        self.close_and_wait(app, window, 15)
        self.assertEqual(app.proc.returncode, 0)

    def test_window_waits_for_the_first_access_answer(self):
        # The window is built only once the service answers the first access
        # query; a service that never answers keeps it from appearing.
        self.service({"faults": {"has_access": [{"count": -1, "hang": True}]}})
        app = self.app()
        self.assertTrue(app.wait_for_output("get fido otp actor", 10), app.stdout())
        time.sleep(2)
        self.assertTrue(app.running())
        self.assertEqual(self.xvfb.display.find(APP_TITLE), [])

    def test_window_scales_with_the_screen(self):
        self.service()
        sizes = {}
        for dpi in (96, 192):
            xvfb = self.xvfb if dpi == 96 else harness.Xvfb(dpi=dpi, screen="2048x1536x24")
            try:
                app = start_app(APP, xvfb)
                self.processes.append(app)
                found = wait_until(lambda: xvfb.display.find(APP_TITLE), 15)
                self.assertTrue(found, app.stdout())
                self.assertTrue(app.wait_for_output("set done", 10), app.stdout())
                sizes[dpi] = xvfb.display.size(found[0])
                self.close_and_wait(app, found[0], 15, xvfb)
                self.assertEqual(app.proc.returncode, 0)
            finally:
                if xvfb is not self.xvfb:
                    xvfb.stop()
        (w1, h1), (w2, h2) = sizes[96], sizes[192]
        print("window at 96 dpi: %dx%d, at 192 dpi: %dx%d device pixels" % (w1, h1, w2, h2))
        # Fonts are drawn at each size separately: a few pixels of slack.
        self.assertAlmostEqual(w2, 2 * w1, delta=8)
        self.assertAlmostEqual(h2, 2 * h1, delta=8)

    def test_copied_code_leaves_the_clipboard_when_its_step_ends(self):
        step = self.copy_a_short_lived_code()
        targets = self.clipboard("TARGETS")
        text = self.clipboard()
        secret = self.clipboard("x-kde-passwordManagerHint")
        print("before: targets %r, text %r, hint %r" % (targets, text, secret))
        self.assertIn("x-kde-passwordManagerHint", targets.split())
        self.assertEqual(secret, "secret")
        self.assertEqual(text, self.totp(step))

        end = (step + 1) * SHORT["period"]
        self.assertEqual(self.clipboard(), text, "still there in its own step")
        wait_until(lambda: time.time() >= end + 1.5, SHORT["period"] + 2)
        targets, text = self.clipboard("TARGETS"), self.clipboard()
        print("after the step: targets %r, text %r" % (targets, text))
        self.assertIsNone(text)
        self.assertFalse(targets and "x-kde-passwordManagerHint" in targets.split())

    def test_clipboard_of_another_program_is_left_alone(self):
        # Another program copies the same digits with the same secret hint and
        # answers each request a second late. The application must neither
        # read nor clear it: not when the code's step ends, not on closing.
        delay_ms = 1000
        step = self.copy_a_short_lived_code()
        [window] = self.xvfb.display.find(APP_TITLE)
        app = self.processes[-1]

        def take_clipboard(text):
            env = dict(os.environ, DISPLAY=self.xvfb.name)
            env.pop("QT_QPA_PLATFORM", None)
            owner = harness.Process([os.environ["CLIPBOARD_OWNER"], text, str(delay_ms)], env=env)
            self.processes.append(owner)
            self.assertTrue(owner.wait_for_output("owner", 5), owner.stderr())
            owner.window = self.xvfb.display.selection_owner()
            self.assertNotEqual(owner.window, 0)
            return owner

        def assert_left_alone(owner):
            self.assertEqual(owner.lines(), ["owner"], "the other program was asked")
            self.assertEqual(self.xvfb.display.selection_owner(), owner.window,
                             "the other program's clipboard was taken or cleared")

        def watch_gui_thread(until):
            """The longest the window took to answer a ping, pinging until `until`."""
            longest = 0
            while time.time() < until:
                answered = self.xvfb.display.ping(window, timeout=10)
                self.assertIsNotNone(answered, "the window stopped answering")
                longest = max(longest, answered)
                time.sleep(0.05)
            return longest

        owner = take_clipboard(self.clipboard())
        longest = watch_gui_thread((step + 1) * SHORT["period"] + 1.5)
        print("step end: the GUI thread answered within %.3f s at most" % longest)
        assert_left_alone(owner)
        self.assertLess(longest, 1.0, "the GUI thread waited for the other program")

        # Once more while the code is still valid, then the window is closed.
        self.copy_code()
        text = self.clipboard()
        owner = take_clipboard(text)
        self.assertLess(watch_gui_thread(time.time() + 0.5), 1.0)
        elapsed = self.close_and_wait(app, window, 30)
        print("closing with another program's clipboard took %.3f s" % elapsed)
        self.assertEqual(app.proc.returncode, 0)
        assert_left_alone(owner)
        self.assertLess(elapsed, 4, "closing waited for the other program")
        self.assertEqual(self.clipboard(), text, "the other program's copy is still there")


if __name__ == "__main__":
    APP, SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
