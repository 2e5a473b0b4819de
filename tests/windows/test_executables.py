"""The Windows executables as Windows reads them, from the PE files: the
app is a GUI-subsystem program and carries the application icon (IDI_ICON1: one 32-bit image of 199 x 231) and
a manifest that asks for the level "asInvoker" without uiAccess; the
simulator is a console program.

Usage: test_executables.py APP_EXE SIM_EXE"""

import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

APP = SIM = None


def subsystem(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                          capture_output=True, text=True).stdout
    for line in dump.splitlines():
        if line.startswith("Subsystem"):
            return int(line.split()[1], 16)
    raise AssertionError("no Subsystem in the PE header of " + exe)


def resource(exe, *selector):
    return subprocess.run(["wrestool", "-x", *selector, exe], check=True,
                          capture_output=True).stdout


class Executables(unittest.TestCase):
    def test_the_app_is_a_gui_program_and_the_simulator_a_console_one(self):
        self.assertEqual(subsystem(APP), 2)  # IMAGE_SUBSYSTEM_WINDOWS_GUI
        self.assertEqual(subsystem(SIM), 3)  # IMAGE_SUBSYSTEM_WINDOWS_CUI

    def test_the_icon_group_holds_the_one_crest_image(self):
        listing = subprocess.run(["wrestool", "-l", APP], check=True, capture_output=True,
                                 text=True).stdout
        self.assertIn("--type=14 --name='IDI_ICON1'", listing)
        ico = resource(APP, "--type=14", "--name=IDI_ICON1")
        reserved, kind, count = struct.unpack_from("<HHH", ico)
        self.assertEqual((reserved, kind, count), (0, 1, 1))
        width, height, _, _, _, bits = struct.unpack_from("<BBBBHH", ico, 6)
        self.assertEqual((width, height, bits), (199, 231, 32))

    def test_the_manifest_runs_as_invoker_without_ui_access(self):
        manifest = resource(APP, "--type=24", "--raw")
        ns = {"v3": "urn:schemas-microsoft-com:asm.v3"}
        level = ET.fromstring(manifest).find(
            "v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", ns)
        self.assertIsNotNone(level, manifest)
        self.assertEqual(level.get("level"), "asInvoker")
        self.assertEqual(level.get("uiAccess"), "false")


if __name__ == "__main__":
    APP, SIM = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
