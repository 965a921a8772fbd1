#!/usr/bin/env python3
"""The Debian package of the Linux tools, unpacked into a temporary root.

    deb_test.py DEB VERSION_FILE EMBEDDED_PACKAGE GROUP

GROUP is one of the test classes below: Programs, UdevRule, ManualPages, Lintian.
"""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

DEB = VERSION_FILE = EMBEDDED_PACKAGE = None
TOOLS = ("klvflash", "klvpkg", "klvsim")
RULE = "lib/udev/rules.d/70-klv-instrument.rules"

# Lintian findings accepted for this package (anything else of warning level or above
# fails): no AppStream metadata for the instrument's USB ids (software centres would
# offer the package when the instrument is plugged in; nothing depends on it).
ACCEPTED_WARNINGS = {"appstream-metadata-missing-modalias-provide"}


def facts():
    with open(VERSION_FILE) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


class Unpacked(unittest.TestCase):
    """Each test class unpacks the package once."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="klv-deb-")
        cls.root = os.path.join(cls.tmp, "root")
        subprocess.run(["dpkg-deb", "-x", DEB, cls.root], check=True)
        cls.facts = facts()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def field(self, name):
        return run("dpkg-deb", "-f", DEB, name, check=True).stdout.strip()


class Programs(Unpacked):
    def test_file_name_and_fields(self):
        arch = run("dpkg", "--print-architecture", check=True).stdout.strip()
        version = self.facts["version"]
        self.assertEqual(os.path.basename(DEB), "klv-tools_%s_%s.deb" % (version, arch))
        for name, expected in [("Package", "klv-tools"), ("Version", version),
                               ("Architecture", arch)]:
            self.assertEqual(self.field(name), expected, name)

    def test_files(self):
        found = sorted(os.path.relpath(os.path.join(d, f), self.root)
                       for d, _, files in os.walk(self.root) for f in files)
        expected = sorted(["usr/bin/%s" % t for t in TOOLS] +
                          ["usr/share/man/man1/%s.1.gz" % t for t in TOOLS] +
                          [RULE, "usr/share/doc/klv-tools/copyright",
                           "usr/share/doc/klv-tools/changelog.gz"])
        self.assertEqual(found, expected)

    def test_version_and_help_of_each_tool(self):
        line = "%%s %s (commit %s)\n" % (self.facts["version"], self.facts["commit"])
        for tool in TOOLS:
            with self.subTest(tool):
                path = os.path.join(self.root, "usr/bin", tool)
                shown = run(path, "--version", timeout=20)
                self.assertEqual((shown.returncode, shown.stdout), (0, line % tool))
                helped = run(path, "--help", timeout=20)
                self.assertEqual(helped.returncode, 0, helped.stderr)
                self.assertIn("Usage: %s" % tool, helped.stdout)
                self.assertIn("--version", helped.stdout)

    def test_depends_covers_every_library_the_programs_load(self):
        """Each shared library a program needs belongs to a package named in Depends."""
        depends = {re.match(r"[a-z0-9.+-]+", d.strip()).group(0)
                   for d in self.field("Depends").split(",")}
        for tool in TOOLS:
            path = os.path.join(self.root, "usr/bin", tool)
            needed = re.findall(r"NEEDED\s+(\S+)", run("objdump", "-p", path, check=True).stdout)
            self.assertTrue(needed, tool)
            for library in needed:
                with self.subTest(tool=tool, library=library):
                    loaded = re.search(r"%s => (\S+)" % re.escape(library),
                                       run("ldd", path, check=True).stdout)
                    self.assertIsNotNone(loaded, library)
                    real = os.path.realpath(loaded.group(1))
                    owners = set()
                    for candidate in {loaded.group(1), real,
                                      re.sub(r"^/usr(/lib)", r"\1", real),
                                      re.sub(r"^/lib", "/usr/lib", real)}:
                        owner = run("dpkg", "-S", candidate)
                        if owner.returncode == 0:
                            owners |= {o.split(":")[0] for o in
                                       owner.stdout.split(": ")[0].split(", ")}
                    self.assertTrue(owners, "no package owns %s" % real)
                    self.assertTrue(owners & depends, "%s (%s) not in Depends %s"
                                    % (library, owners, sorted(depends)))


class UdevRule(Unpacked):
    def package_ids(self):
        summary = run(os.path.join(self.root, "usr/bin/klvpkg"), "inspect", "--json",
                      EMBEDDED_PACKAGE, check=True).stdout
        return {(u["vendorId"], u["productId"]) for u in json.loads(summary)["usbIds"]}

    def rules(self):
        with open(os.path.join(self.root, RULE)) as f:
            return [line.strip() for line in f if line.strip() and not line.startswith("#")]

    def test_ids_are_those_of_the_embedded_package(self):
        ids = self.package_ids()
        self.assertTrue(ids)
        pattern = re.compile(r'ATTRS\{idVendor\}=="([0-9a-f]{4})", ATTRS\{idProduct\}=="([0-9a-f]{4})"')
        for purpose in ('ENV{ID_MM_DEVICE_IGNORE}="1"', 'TAG+="uaccess"'):
            with self.subTest(purpose):
                lines = [r for r in self.rules() if r.endswith(purpose)]
                found = set()
                for line in lines:
                    m = pattern.search(line)
                    self.assertIsNotNone(m, "lower-case hex ids expected: " + line)
                    found.add((int(m.group(1), 16), int(m.group(2), 16)))
                self.assertEqual(found, ids)
                self.assertEqual(len(lines), len(ids))

    def test_access_only_for_the_serial_device(self):
        for line in self.rules():
            if "uaccess" in line:
                self.assertTrue(line.startswith('SUBSYSTEM=="tty", '), line)


class ManualPages(Unpacked):
    def render(self, tool):
        page = os.path.join(self.root, "usr/share/man/man1/%s.1.gz" % tool)
        return run("man", "--warnings", "-l", page, env=dict(os.environ, MANWIDTH="80",
                                                                  MAN_KEEP_FORMATTING="0",
                                                                  LC_ALL="C.UTF-8"))

    def test_each_page_renders_with_its_help_and_exit_statuses(self):
        for tool in TOOLS:
            with self.subTest(tool):
                shown = self.render(tool)
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertEqual(shown.stderr, "", "groff warnings")
                text = re.sub(r".\x08", "", shown.stdout)
                self.assertTrue(text.startswith("%s(1)" % tool.upper()), text[:80])
                self.assertIn("--version", text)
                self.assertIn("EXIT STATUS", text)
                self.assertIn("klv-tools %s" % self.facts["version"], text)

    def test_klvpkg_page_has_every_subcommand(self):
        helped = run(os.path.join(self.root, "usr/bin/klvpkg"), "--help").stdout
        listed = re.findall(r"^  ([a-z]+)", helped.split("Subcommands:")[1], re.M)
        self.assertTrue(listed)
        text = re.sub(r".\x08", "", self.render("klvpkg").stdout)
        self.assertEqual(re.findall(r"^   klvpkg ([a-z]+)$", text, re.M), listed)

    def test_exit_statuses_match_the_help(self):
        """Every status that a tool's --help names has an entry in EXIT STATUS."""
        for tool in TOOLS:
            with self.subTest(tool):
                helped = run(os.path.join(self.root, "usr/bin", tool), "--help").stdout
                said = re.search(r"Exit status:(.*?)(\n\n|$)", helped, re.S)
                with gzip.open(os.path.join(self.root, "usr/share/man/man1/%s.1.gz" % tool),
                               "rt") as f:
                    roff = f.read()
                section = re.search(r'\.SH "?EXIT STATUS"?\n(.*?)(\n\.SH|$)', roff, re.S)
                self.assertIsNotNone(section)
                in_page = set(re.findall(r"^\.B ([0-9, ]+)$", section.group(1), re.M))
                in_page = {n for entry in in_page for n in re.findall(r"\d+", entry)}
                self.assertTrue(in_page)
                if said:
                    # Numbers with a unit ("256 MiB") are sizes, not statuses.
                    said_numbers = re.findall(r"\b(\d+)\b(?!\s*[KMG]iB)", said.group(1))
                    self.assertEqual(set(said_numbers), in_page)


class Lintian(unittest.TestCase):
    def test_no_errors_and_only_accepted_warnings(self):
        shown = run("lintian", "--tag-display-limit", "0", DEB, timeout=300)
        print(shown.stdout, end="")
        tags = re.findall(r"^([EW]): klv-tools[^:]*: (\S+)", shown.stdout, re.M)
        self.assertNotIn("E", {level for level, _ in tags}, shown.stdout)
        self.assertLessEqual({tag for _, tag in tags}, ACCEPTED_WARNINGS, shown.stdout)
        self.assertIn(shown.returncode, (0, 2), shown.stderr)


if __name__ == "__main__":
    DEB, VERSION_FILE, EMBEDDED_PACKAGE, group = sys.argv[1:5]
    unittest.main(argv=[sys.argv[0], "-v", group])
