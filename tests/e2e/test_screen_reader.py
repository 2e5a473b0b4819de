"""End-to-end test of the application with a real screen-reader client: a
session bus, the AT-SPI bus launcher and pyatspi under a virtual X display.

Usage: test_screen_reader.py APP SIM [unittest arguments...]
Run it with the Python that has pyatspi (Debian's /usr/bin/python3)."""

import json
import os
import subprocess
import sys
import unittest

import harness
from harness import APP_TITLE, Process, start_app, start_service, wait_until

APP = SIM = None
HERE = os.path.dirname(os.path.abspath(__file__))
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"


def outline(nodes, depth=0):
    """The tree as indented "name [role] (description)" lines."""
    lines = []
    for n in nodes:
        text = "%s%s [%s]" % ("  " * depth, n["name"], n["role"])
        if n["description"]:
            text += " (%s)" % n["description"]
        lines.append(text)
        lines += outline(n.get("children", []), depth + 1)
    return lines


def find(nodes, role, name=None):
    """Every node of `role` (and `name`) in the trees."""
    found = []
    for n in nodes:
        if n["role"] == role and (name is None or n["name"] == name):
            found.append(n)
        found += find(n.get("children", []), role, name)
    return found


def dbus_launch():
    """Starts a private session bus; returns its address and pid."""
    out = subprocess.run(["dbus-launch"], env={"PATH": os.environ["PATH"]}, check=True,
                         capture_output=True, text=True, timeout=10).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return values["DBUS_SESSION_BUS_ADDRESS"], int(values["DBUS_SESSION_BUS_PID"])


class ScreenReaderTest(unittest.TestCase):
    def setUp(self):
        self.xvfb = harness.Xvfb()
        self.bus, self.bus_pid = dbus_launch()
        self.processes = []

    def tearDown(self):
        for p in reversed(self.processes):
            p.stop()
        os.kill(self.bus_pid, 15)
        self.xvfb.stop()

    def bus_env(self, **more):
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.bus)
        env.pop("DISPLAY", None)
        env.update(more)
        return env

    def start_bus_launcher(self, with_display):
        # With a display the launcher also publishes the accessibility bus on
        # the X root window, where Qt finds it at once; without, Qt must ask
        # the session bus for it.
        env = self.bus_env(**({"DISPLAY": self.xvfb.name} if with_display else {}))
        self.processes.append(Process([BUS_LAUNCHER, "--launch-immediately"], env=env))
        ask = ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
               "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"]
        self.assertTrue(wait_until(lambda: "boolean true" in subprocess.run(
            ask, env=env, capture_output=True, text=True, timeout=10).stdout, 10))

    def tree(self):
        result = subprocess.run([sys.executable, os.path.join(HERE, "atspi_tree.py")],
                                env=self.bus_env(), capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def reads_otp_page(self, with_display):
        self.start_bus_launcher(with_display)
        self.processes.append(start_service(SIM))
        app = start_app(APP, self.xvfb, extra_env={
            "DBUS_SESSION_BUS_ADDRESS": self.bus,
            "QT_ACCESSIBILITY": "1", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})
        self.processes.append(app)
        self.assertTrue(app.wait_for_output("set done", 15), app.stdout() + app.stderr())

        def shows_a_code():
            apps = self.tree()
            codes = find(find(apps, "frame", APP_TITLE), "label", "One-time code")
            return apps if codes and codes[0]["description"].isdigit() else None
        apps = wait_until(shows_a_code, 10, step=0.5)
        apps = apps or self.tree()
        print("\n".join(outline(apps)))

        self.assertEqual(len(find(apps, "application")), 1, "\n".join(outline(apps)))
        frame = find(apps, "frame", APP_TITLE)
        self.assertEqual(len(frame), 1)
        self.assertEqual(len(find(frame, "push button", "Copy code")), 1)
        self.assertEqual(len(find(frame, "combo box", "GitHub")), 1)
        self.assertEqual(len(find(frame, "progress bar")), 1)
        code = find(frame, "label", "One-time code")
        self.assertEqual(len(code), 1)
        self.assertRegex(code[0]["description"], r"^[0-9]{6}$")

    def test_reads_the_otp_page_when_the_bus_address_is_on_the_root_window(self):
        self.reads_otp_page(with_display=True)

    def test_reads_the_otp_page_when_only_the_session_bus_knows_the_address(self):
        self.reads_otp_page(with_display=False)


if __name__ == "__main__":
    APP, SIM = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
