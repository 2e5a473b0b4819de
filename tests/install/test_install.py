"""The installed tree and the Debian package: what `cmake --install` stages
under DESTDIR, checked with the desktop's own validators, and what `cpack`
puts into the .deb. Nothing is installed on the system.

Usage: test_install.py BUILD_DIR VERSION [unittest arguments...]"""

import configparser
import glob
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

BUILD = VERSION = None
APP_ID = "com.halvard.TovrinAuthenticator"
ICON_SIZES = (16, 32, 48, 64, 128, 256)


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def files_under(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path + " is not a PNG"
    return struct.unpack(">II", head[16:24])


def expected_files():
    icons = {"usr/share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, APP_ID) for s in ICON_SIZES}
    examples = {"usr/share/doc/tovrin-authenticator/examples/" + name
                for name in ("faults.json", "many-tokens.json", "no-tokens.json",
                             "odd-tokens.json", "pin-expired.json", "pin-policy.json")}
    return icons | examples | {
        "usr/bin/tovrin-authenticator",
        "usr/bin/fido-otp-sim",
        "usr/bin/fido-otp-service",
        "usr/share/applications/%s.desktop" % APP_ID,
        "usr/share/metainfo/%s.metainfo.xml" % APP_ID,
        "usr/share/icons/hicolor/scalable/apps/%s.svg" % APP_ID,
        "usr/share/man/man1/tovrin-authenticator.1.gz",
        "usr/share/man/man1/fido-otp-sim.1.gz",
        "usr/share/man/man1/fido-otp-service.1.gz",
        "usr/lib/systemd/user/fido-otp-service.service",
        "usr/share/doc/tovrin-authenticator/copyright",
    }


def stage(destdir):
    env = dict(os.environ, DESTDIR=destdir)
    result = run("cmake", "--install", BUILD, "--prefix", "/usr", env=env)
    if result.returncode != 0:
        raise RuntimeError("cmake --install failed:\n" + result.stdout + result.stderr)


class StagedInstall(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="stage-")
        cls.root = cls.tmp.name
        stage(cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, relative):
        return os.path.join(self.root, relative)

    def test_tree_holds_executables_launcher_metadata_icons_and_man_pages(self):
        self.assertEqual(files_under(self.root), expected_files())
        for name in ("tovrin-authenticator", "fido-otp-sim", "fido-otp-service"):
            self.assertTrue(os.access(self.path("usr/bin/" + name), os.X_OK), name)
        for size in ICON_SIZES:
            icon = self.path("usr/share/icons/hicolor/%dx%d/apps/%s.png" % (size, size, APP_ID))
            self.assertEqual(png_size(icon), (size, size), icon)

    def test_desktop_entry_and_metainfo_pass_the_validators(self):
        desktop = run("desktop-file-validate", self.path("usr/share/applications/%s.desktop" % APP_ID))
        self.assertEqual(desktop.returncode, 0, desktop.stdout + desktop.stderr)
        complaints = [line for line in (desktop.stdout + desktop.stderr).splitlines()
                      if "hint:" not in line]
        self.assertEqual(complaints, [])
        # The whole tree: the metainfo file and the launcher and icon it refers to.
        tree = run("appstreamcli", "validate-tree", "--no-net", self.root)
        self.assertEqual(tree.returncode, 0, tree.stdout + tree.stderr)
        metainfo = run("appstreamcli", "validate", "--no-net",
                       self.path("usr/share/metainfo/%s.metainfo.xml" % APP_ID))
        self.assertEqual(metainfo.returncode, 0, metainfo.stdout + metainfo.stderr)
        issues = [line for line in metainfo.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual(issues, [])

    def test_launcher_and_metadata_point_at_what_is_installed(self):
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(self.path("usr/share/applications/%s.desktop" % APP_ID), encoding="utf-8")
        entry = entry["Desktop Entry"]
        self.assertTrue(os.path.exists(self.path("usr/bin/" + entry["Exec"])), entry["Exec"])
        self.assertEqual(entry["Icon"], APP_ID)
        self.assertTrue(entry["StartupWMClass"])
        component = ET.parse(self.path("usr/share/metainfo/%s.metainfo.xml" % APP_ID)).getroot()
        self.assertTrue(component.findtext("project_license"))
        self.assertIsNotNone(component.find("content_rating"))
        self.assertTrue(component.findtext("screenshots/screenshot/image", "").startswith("https://"))
        self.assertEqual(component.find("releases/release").get("version"), VERSION)

    def test_user_unit_starts_the_installed_service(self):
        unit = configparser.ConfigParser(interpolation=None)
        unit.optionxform = str
        unit.read(self.path("usr/lib/systemd/user/fido-otp-service.service"), encoding="utf-8")
        command = unit["Service"]["ExecStart"].split()
        self.assertEqual(command, ["/usr/bin/fido-otp-service"])
        self.assertTrue(os.access(self.path(command[0].lstrip("/")), os.X_OK))
        self.assertEqual(unit["Install"]["WantedBy"], "default.target")

    def test_man_pages_render_without_warnings(self):
        for name in ("tovrin-authenticator", "fido-otp-sim", "fido-otp-service"):
            page = self.path("usr/share/man/man1/%s.1.gz" % name)
            env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
            shown = run("man", "--warnings", "-E", "UTF-8", "-l", page, env=env)
            self.assertEqual(shown.returncode, 0, shown.stderr)
            self.assertEqual(shown.stderr, "", name)
            self.assertRegex(shown.stdout, r"NAME\s+%s - " % name)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="deb-")
        made = run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.tmp.name)
        if made.returncode != 0:
            raise RuntimeError("cpack failed:\n" + made.stdout + made.stderr)
        debs = glob.glob(os.path.join(cls.tmp.name, "*.deb"))
        if len(debs) != 1:
            raise RuntimeError("expected one .deb, found %r" % debs)
        cls.deb = debs[0]

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def field(self, name):
        return run("dpkg-deb", "--field", self.deb, name).stdout.strip()

    def test_file_name_and_control_fields(self):
        arch = run("dpkg", "--print-architecture").stdout.strip()
        self.assertEqual(os.path.basename(self.deb), "tovrin-authenticator_%s_%s.deb" % (VERSION, arch))
        self.assertEqual(self.field("Package"), "tovrin-authenticator")
        self.assertEqual(self.field("Version"), VERSION)
        self.assertEqual(self.field("Architecture"), arch)
        self.assertIn("<", self.field("Maintainer"))
        self.assertTrue(self.field("Description").startswith("Show the one-time passwords"))

    def test_depends_on_the_runtime_libraries_only(self):
        depends = [alternative.strip().split(" ")[0]
                   for clause in self.field("Depends").split(",")
                   for alternative in clause.split("|")]
        for package in ("libqt5widgets5", "libqt5gui5", "libqt5svg5", "libcaf-core0.17",
                        "libcaf-io0.17", "libssl3", "libpcsclite1", "libstdc++6", "libc6"):
            self.assertIn(package, depends)
        self.assertTrue(any(p.startswith("libspdlog") for p in depends), depends)
        for package in depends:
            self.assertFalse(package.endswith("-dev"), package)
            self.assertNotIn("gtest", package)

    def test_recommends_pcscd_for_real_keys(self):
        self.assertIn("pcscd", [p.strip().split(" ")[0] for p in self.field("Recommends").split(",")])

    def test_has_no_maintainer_scripts(self):
        listing = subprocess.run("dpkg-deb --ctrl-tarfile '%s' | tar -t" % self.deb, shell=True,
                                 capture_output=True, text=True, check=True).stdout.split()
        self.assertEqual(sorted(name.lstrip("./") for name in listing if name not in ("./", ".")),
                         ["control", "md5sums"])

    def test_holds_the_staged_tree_with_stripped_executables(self):
        with tempfile.TemporaryDirectory(prefix="unpacked-") as unpacked:
            subprocess.run(["dpkg-deb", "--extract", self.deb, unpacked], check=True)
            self.assertEqual(files_under(unpacked), expected_files())
            for name in ("tovrin-authenticator", "fido-otp-sim", "fido-otp-service"):
                sections = run("readelf", "-S", os.path.join(unpacked, "usr/bin", name)).stdout
                self.assertNotIn(".debug_info", sections, name)
                self.assertNotIn(".symtab", sections, name)


if __name__ == "__main__":
    BUILD, VERSION = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
