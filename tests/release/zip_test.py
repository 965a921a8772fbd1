#!/usr/bin/env python3
"""The Windows release zip: what `unzip -l` lists, SHA256SUMS, the README for Windows
users, time stamps, the updater's version resource, and that the same inputs give the
same bytes whatever their file times and order.

    zip_test.py ZIP MANIFEST VERSION_FILE SOURCE_DIR PROGRAM...

PROGRAM: the file names of the programs the build put in (FWUpdate_KLV_R20P.exe, and
klvflash.exe, klvpkg.exe once the cross build makes them).
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

ZIP = MANIFEST = VERSION_FILE = SOURCE_DIR = None
PROGRAMS = []


def facts():
    with open(VERSION_FILE) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.facts = facts()
        cls.folder = os.path.basename(ZIP)[:-len(".zip")]
        cls.tmp = tempfile.mkdtemp(prefix="klv-zip-")
        subprocess.run(["unzip", "-q", ZIP, "-d", os.path.join(cls.tmp, "out")], check=True)
        cls.unpacked = os.path.join(cls.tmp, "out", cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def read(self, name):
        with open(os.path.join(self.unpacked, name), "rb") as f:
            return f.read()

    def test_name_and_listing(self):
        self.assertEqual(self.folder, "KLV-Updater_%s_windows" % self.facts["version"])
        listed = run("unzip", "-l", ZIP, check=True).stdout.splitlines()
        # Between the two dashed lines: length, date, time, name.
        rows = listed[listed.index(next(l for l in listed if l.startswith("---"))) + 1:]
        rows = rows[:next(i for i, l in enumerate(rows) if l.startswith("---"))]
        names = [row.split(None, 3)[3] for row in rows]
        expected = [self.folder + "/"] + ["%s/%s" % (self.folder, n) for n in
                                          sorted(PROGRAMS) + ["README.txt", "SHA256SUMS"]]
        self.assertEqual(names, expected)
        self.assertIn("FWUpdate_KLV_R20P.exe", PROGRAMS)

    def test_sha256sums_cover_every_file(self):
        sums = self.read("SHA256SUMS").decode("ascii")
        named = [line.split("  ", 1)[1] for line in sums.splitlines()]
        self.assertEqual(sorted(named), sorted(PROGRAMS + ["README.txt"]))
        checked = run("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=self.unpacked)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_readme_for_windows_users(self):
        text = self.read("README.txt")
        self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), "every line ends in CRLF")
        self.assertTrue(text.endswith(b"\r\n"))
        text = text.decode("utf-8")
        self.assertIn(self.facts["version"], text)
        self.assertIn(self.facts["commit"], text)
        listed = re.findall(r"^  (\S+)\r$", text, re.M)
        self.assertEqual(listed, sorted(PROGRAMS) + ["README.txt", "SHA256SUMS"])
        for tool in ("klvflash.exe", "klvpkg.exe"):
            self.assertEqual(tool in text, tool in PROGRAMS, tool)

    def test_every_time_is_the_commits(self):
        stamp = list(time.gmtime(max(int(self.facts["epoch"]), 315532800))[:6])
        stamp[5] -= stamp[5] % 2  # a zip file counts seconds in twos
        stamp = tuple(stamp)
        with zipfile.ZipFile(ZIP) as z:
            for info in z.infolist():
                self.assertEqual(info.date_time, stamp, info.filename)

    def test_updater_version_resource(self):
        exe = self.read("FWUpdate_KLV_R20P.exe")
        # VS_FIXEDFILEINFO: signature, struct version, file version MS/LS, product MS/LS.
        at = exe.find(struct.pack("<I", 0xFEEF04BD))
        self.assertGreater(at, 0)
        fields = struct.unpack_from("<6I", exe, at)
        major, minor, patch = (int(n) for n in self.facts["version"].split("."))
        numbers = ((major << 16) | minor, patch << 16)
        self.assertEqual(fields[2:4], numbers, "FILEVERSION")
        self.assertEqual(fields[4:6], numbers, "PRODUCTVERSION")
        for key, value in [("FileVersion", self.facts["version"]),
                           ("ProductVersion", "%s (commit %s)" % (self.facts["version"],
                                                                  self.facts["commit"]))]:
            with self.subTest(key):
                # A String block: its key, padding to 32 bits, then the value.
                pattern = (key + "\0").encode("utf-16-le") + b"(?:\0\0)?" + \
                    re.escape((value + "\0").encode("utf-16-le"))
                self.assertTrue(re.search(pattern, exe), "%s %r not in the exe" % (key, value))

    def test_programs_carry_no_link_time(self):
        """A time in the PE header would make every build of one commit differ."""
        for name in PROGRAMS:
            with self.subTest(name):
                exe = self.read(name)
                pe = struct.unpack_from("<I", exe, 0x3C)[0]
                self.assertEqual(exe[pe:pe + 4], b"PE\0\0")
                self.assertEqual(struct.unpack_from("<I", exe, pe + 8)[0], 0)

    def make_again(self, entries, label, tz="Asia/Tokyo"):
        """Makes the zip from copies of `entries` (NAME, PATH), in that order, each copy
        with a file time of its own; returns its bytes."""
        copies = os.path.join(self.tmp, label)
        os.makedirs(copies)
        lines = []
        for i, (name, source) in enumerate(entries):
            copy = os.path.join(copies, name)
            shutil.copyfile(source, copy)
            os.utime(copy, (1e9 + i * 86400, 1e9 + i * 86400))
            lines.append("%s=%s\n" % (name, copy))
        manifest = os.path.join(copies, "manifest.txt")
        with open(manifest, "w") as f:
            f.writelines(lines)
        out = os.path.join(copies, os.path.basename(ZIP))
        made = run(sys.executable, os.path.join(SOURCE_DIR, "packaging/windows/make_zip.py"),
                   "--manifest", manifest,
                   "--readme", os.path.join(SOURCE_DIR, "packaging/windows/README.txt.in"),
                   "--version-file", VERSION_FILE, "--folder", self.folder, "--output", out,
                   env=dict(os.environ, TZ=tz))
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(out, "rb") as f:
            return f.read()

    def test_same_inputs_same_bytes(self):
        """Other file times, another order of the manifest, another time zone."""
        with open(MANIFEST) as f:
            entries = [line.strip().split("=", 1) for line in f if line.strip()]
        with open(ZIP, "rb") as f:
            self.assertEqual(self.make_again(list(reversed(entries)), "again"), f.read())
        # The order rule on more members than this build may have.
        updater = dict(entries)["FWUpdate_KLV_R20P.exe"]
        three = [(n, updater) for n in ("b.exe", "c.exe", "a.exe")]
        self.assertEqual(self.make_again(three, "three", tz="UTC"),
                         self.make_again(three[::-1], "three-reversed"))


if __name__ == "__main__":
    ZIP, MANIFEST, VERSION_FILE, SOURCE_DIR = sys.argv[1:5]
    PROGRAMS = sys.argv[5:]
    unittest.main(argv=[sys.argv[0], "-v"])
