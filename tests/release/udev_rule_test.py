#!/usr/bin/env python3
"""packaging/make_udev_rule.py over package summaries as `klvpkg inspect --json` prints
them: the lines it writes, and what it refuses without writing a file.

    udev_rule_test.py SOURCE_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None


def summary(*ids, valid=True):
    return {"valid": valid, "usable": valid,
            "usbIds": [{"vendorId": v, "productId": p} for v, p in ids]}


MM = 'ENV{ID_MM_DEVICE_IGNORE}="1"'
CASES = [
    # (name, summary or raw text, exit status, rule lines without comments)
    ("two ids, hex in lower case",
     summary((0x0ABC, 0x1234), (0xFFFF, 0x00A0)), 0,
     ['ATTRS{idVendor}=="0abc", ATTRS{idProduct}=="1234", ' + MM,
      'SUBSYSTEM=="tty", ATTRS{idVendor}=="0abc", ATTRS{idProduct}=="1234", TAG+="uaccess"',
      'ATTRS{idVendor}=="ffff", ATTRS{idProduct}=="00a0", ' + MM,
      'SUBSYSTEM=="tty", ATTRS{idVendor}=="ffff", ATTRS{idProduct}=="00a0", TAG+="uaccess"']),
    ("a repeated id once",
     summary((1, 2), (1, 2)), 0,
     ['ATTRS{idVendor}=="0001", ATTRS{idProduct}=="0002", ' + MM,
      'SUBSYSTEM=="tty", ATTRS{idVendor}=="0001", ATTRS{idProduct}=="0002", TAG+="uaccess"']),
    ("no USB ids", summary(), 1, None),
    ("invalid package", summary((1, 2), valid=False), 1, None),
    ("id out of range", summary((0x10000, 2)), 1, None),
    ("not JSON", "Package: x", 1, None),
]


class UdevRuleTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="klv-udev-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def make(self, *args):
        return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True)

    def test_cases(self):
        for name, given, status, lines in CASES:
            with self.subTest(name):
                source = os.path.join(self.tmp, "summary.json")
                out = os.path.join(self.tmp, "out.rules")
                if os.path.exists(out):
                    os.remove(out)
                with open(source, "w") as f:
                    f.write(given if isinstance(given, str) else json.dumps(given))
                done = self.make(source, out)
                self.assertEqual(done.returncode, status, done.stderr)
                if lines is None:
                    self.assertFalse(os.path.exists(out), "a rule written after a refusal")
                    self.assertIn("no rule written", done.stderr)
                    continue
                with open(out) as f:
                    text = f.read()
                self.assertEqual([l for l in text.splitlines() if not l.startswith("#")], lines)

    def test_usage(self):
        for args in [(), ("only-one",), ("", "out.rules"), ("in.json", "")]:
            with self.subTest(args=args):
                self.assertEqual(self.make(*args).returncode, 2)


if __name__ == "__main__":
    SCRIPT = os.path.join(sys.argv.pop(1), "packaging", "make_udev_rule.py")
    unittest.main()
