#!/usr/bin/env python3
"""klvsim on a real pseudo-terminal: a host written here talks to it, and the tests check
the first line, the summary and the exit status.

Usage: klvsim_test.py PATH_TO_KLVSIM [unittest arguments]
"""

import hashlib
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import tty
import unittest

KLVSIM = None

MODEL = bytes.fromhex("0A0B0C0D")
PREFIX = b"KLV1."


def make_package(image2, image1, model=MODEL, prefix=PREFIX):
    """A plain (unscrambled) package."""
    body = bytes([16, 4]) + model + bytes([17, len(prefix)]) + prefix
    if image2:
        body += bytes([2, 0]) + struct.pack("<I", len(image2)) + image2
    body += bytes([1, 0]) + struct.pack("<I", len(image1)) + image1
    trailer = bytes(6) + struct.pack("<HII", 0, 0, 0) + b"LV"
    return b"KL00" + body + trailer


def pattern(size, seed):
    return bytes((seed + i * 7) & 0xFF for i in range(size))


class Klvsim:
    """klvsim running in the background, and the host's end of its line."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([KLVSIM, "--timeout", "20", *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.path = self.proc.stdout.readline().decode().rstrip("\n")
        self.fd = None

    def open(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def send(self, data):
        os.write(self.fd, data)

    def receive(self, count, timeout=5.0):
        """Up to count bytes; fewer when the line goes quiet or hangs up."""
        data = b""
        while len(data) < count:
            ready, _, _ = select.select([self.fd], [], [], timeout)
            if not ready:
                break
            try:
                more = os.read(self.fd, count - len(data))
            except OSError:  # the line hung up
                break
            if not more:
                break
            data += more
        return data

    def finish(self):
        self.close()
        with self.proc:
            out, err = self.proc.communicate(timeout=30)
        return self.proc.returncode, out.decode(), err.decode()


def packet(command, sub, payload=b""):
    return bytes([command, sub]) + struct.pack("<H", len(payload)) + payload


ACK = bytes.fromhex("030102000000")


class Host:
    """A correct host, with a hook to send a wrong chunk size."""

    def __init__(self, sim):
        self.sim = sim

    def exchange(self, data, reply_length):
        self.sim.send(data)
        return self.sim.receive(reply_length)

    def connect(self):
        assert self.exchange(packet(0, 0, bytes(16)), 20) == packet(0, 1, bytes(16))
        size = self.exchange(bytes.fromhex("00200200FFFF"), 6)
        identify = self.exchange(packet(0, 0x10, b"\x20" + bytes(13)), 18)
        self.sim.send(bytes.fromhex("030102001100"))
        return struct.unpack("<H", size[4:6])[0], identify

    def versions(self):
        self.sim.send(bytes.fromhex("010102001000"))
        assert self.sim.receive(6)[:2] == b"\x03\x01"
        texts = []
        while True:
            head = self.sim.receive(4)
            length = struct.unpack("<H", head[2:4])[0]
            payload = self.sim.receive(length)
            if head[:2] == b"\x01\x04":
                self.sim.send(bytes.fromhex("030102000400"))
                return texts
            texts.append(payload[4:])
            self.sim.send(bytes.fromhex("030102000300"))

    def image(self, target, data, chunk):
        assert self.exchange(packet(1, 2, bytes([target, 4]) + struct.pack("<I", len(data))), 6) == ACK
        for at in range(0, len(data), chunk):
            assert self.exchange(packet(1, 3, data[at:at + chunk]), 6) == ACK
        assert self.exchange(bytes.fromhex("01040000"), 6) == ACK

    def update(self, image2, image1, chunk=None):
        max_packet, _ = self.connect()
        self.versions()
        if chunk is None:
            chunk = max_packet - 8 if max_packet % 64 == 0 else max_packet - 4
        if image2:
            self.image(0x44, image2, chunk)
        self.image(0x40, image1, chunk)
        assert self.exchange(bytes.fromhex("011102008B00"), 6) == ACK


class KlvsimTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.image2 = pattern(300, 1)
        self.image1 = pattern(500, 2)
        self.package = os.path.join(self.dir.name, "demo.klv")
        with open(self.package, "wb") as f:
            f.write(make_package(self.image2, self.image1))

    def tearDown(self):
        self.dir.cleanup()

    def test_correct_update_matches_the_package(self):
        sim = Klvsim("--package", self.package, "--max-packet", "64")
        self.assertTrue(sim.path.startswith("/dev/pts/"), sim.path)
        sim.open()
        host = Host(sim)
        max_packet, identify = host.connect()
        self.assertEqual(max_packet, 64)
        self.assertEqual(identify[6:10], MODEL)
        self.assertEqual(host.versions(), [PREFIX + b"00"])
        host.image(0x44, self.image2, 56)
        host.image(0x40, self.image1, 56)
        self.assertEqual(host.exchange(bytes.fromhex("011102008B00"), 6), ACK)
        status, out, err = sim.finish()
        self.assertEqual(status, 0, out + err)
        self.assertIn("end: the finish command was acknowledged", out)
        self.assertIn("image 2: 300 of 300 announced bytes, ended, sha256 "
                      + hashlib.sha256(self.image2).hexdigest(), out)
        self.assertIn("image 1: 500 of 500 announced bytes, ended, sha256 "
                      + hashlib.sha256(self.image1).hexdigest(), out)
        self.assertIn("images: match the package", out)
        self.assertTrue(out.endswith("verdict: ok\n"), out)

    def test_host_faults_fail_the_run(self):
        cases = [
            # (name, what the host sends as images, klvsim options, expected lines)
            ("chunk too long", dict(chunk=60), ["--max-packet", "64"],
             ["violation: image 2 chunk 0 carries 60 bytes, more than the 56"]),
            ("other image", dict(image1=pattern(500, 9)), ["--max-packet", "100"],
             ["images: differ: image 1 differs from the package's",
              "verdict: FAILED (0 violations, images differ from the package)"]),
        ]
        for name, host_args, options, expected in cases:
            with self.subTest(name):
                sim = Klvsim("--package", self.package, *options)
                sim.open()
                args = dict(image2=self.image2, image1=self.image1, chunk=None)
                args.update(host_args)
                Host(sim).update(**args)
                status, out, err = sim.finish()
                self.assertEqual(status, 1, out + err)
                for line in expected:
                    self.assertIn(line, out)

    def test_bad_options_are_usage_errors(self):
        not_a_package = os.path.join(self.dir.name, "empty.klv")
        open(not_a_package, "wb").close()
        for args in (["--fault", "sync:sometimes"], ["--fault", "finish:delay"],
                     ["--model", "12345"], ["--model", "1234567G"], ["--max-packet", "70000"],
                     ["--package", not_a_package], ["--fw-version", "A", "--no-versions"],
                     ["--link", "x", "--device", "/dev/null"]):
            with self.subTest(args=args):
                result = subprocess.run([KLVSIM, *args], capture_output=True, timeout=10)
                self.assertEqual(result.returncode, 64 if args[0] != "--package" else 96, result)
                self.assertEqual(result.stdout, b"")

    def test_a_fault_never_reached_is_told(self):
        # A chunk past the last one, and a version entry that is never sent (one entry).
        sim = Klvsim("--package", self.package, "--max-packet", "64",
                     "--fault", "image1-chunk:9999:gone", "--fault", "entry:3:malformed",
                     "--fault", "image2-chunk:1:delay:10")
        sim.open()
        Host(sim).update(image2=self.image2, image1=self.image1, chunk=56)
        status, out, err = sim.finish()
        self.assertEqual(status, 4, out + err)
        self.assertIn("fault: image2-chunk:1:delay:10", out)
        self.assertIn("fault not reached: image1-chunk:9999:gone", out)
        self.assertIn("fault not reached: entry:3:malformed", out)
        self.assertTrue(out.endswith(
            "verdict: NOT EXERCISED (faults not reached: image1-chunk:9999:gone, "
            "entry:3:malformed)\n"), out)

    def test_the_same_fault_twice_needs_two_strikes(self):
        sim = Klvsim("--package", self.package, "--fault", "sync:delay:10",
                     "--fault", "sync:delay:10", "--quiet")
        sim.open()
        Host(sim).update(image2=self.image2, image1=self.image1)
        status, out, _ = sim.finish()
        self.assertEqual(status, 4, out)
        self.assertIn("not reached: sync:delay:10", out)

    def test_refuses_what_is_no_line_without_writing(self):
        victim = os.path.join(self.dir.name, "victim.klvpkg")
        with open(victim, "wb") as f:
            f.write(b"precious")
        fifo = os.path.join(self.dir.name, "fifo")
        os.mkfifo(fifo)
        for args, status, message in (
                (["--device", victim], 64, b"is a regular file"),
                (["--device", self.dir.name], 64, b"is a directory"),
                (["--device", "/dev/null"], 64, b"no terminal"),
                (["--device", fifo], 64, b"is a FIFO"),
                (["--device", ""], 64, b"--device: the value is empty"),
                (["--link", ""], 64, b"--link: the value is empty"),
                (["--package", ""], 64, b"--package: the value is empty"),
                (["--package", self.dir.name], 66, b"is a directory"),
                (["--package", "/dev/zero"], 66, b"is a character device"),
                (["--package", fifo], 66, b"is a FIFO"),
                (["--model", ""], 64, b"--model: the value is empty")):
            with self.subTest(args=args):
                result = subprocess.run([KLVSIM, *args], capture_output=True, timeout=10)
                self.assertEqual(result.returncode, status, result)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, b"")
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"precious")

    def test_version_and_help(self):
        result = subprocess.run([KLVSIM, "--version"], capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^klvsim \d+\.\d+\.\d+ \(commit \S+\)\n$")
        result = subprocess.run([KLVSIM, "--help"], capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0)
        self.assertIn("--fw-version TEXT", result.stdout)
        # No parser notation in the help text.
        for raw in ("TEXT:FILE", "INT:INT", "Excludes:", "{false}", "NONNEGATIVE"):
            self.assertNotIn(raw, result.stdout)
        self.assertTrue(result.stdout.rstrip().split("\n")[-1].startswith("Exit status:"),
                        result.stdout)

    def test_device_gone_hangs_up_and_removes_the_link(self):
        link = os.path.join(self.dir.name, "com5")
        sim = Klvsim("--fault", "size:gone", "--link", link)
        self.assertEqual(os.readlink(link), sim.path)
        sim.open()
        sim.send(packet(0, 0, bytes(16)))
        self.assertEqual(sim.receive(20), packet(0, 1, bytes(16)))
        sim.send(bytes.fromhex("00200200FFFF"))
        self.assertEqual(sim.receive(6), b"")
        status, out, _ = sim.finish()
        self.assertEqual(status, 0, out)
        self.assertIn("end: the instrument went away (fault)", out)
        self.assertIn("fault: size:gone", out)
        self.assertFalse(os.path.lexists(link))

    def test_host_may_close_and_reopen_the_port(self):
        sim = Klvsim("--model", "01020304", "--fw-version", "A", "--fw-version", "KLV1.07")
        sim.open()
        host = Host(sim)
        host.connect()
        sim.close()
        sim.open()
        self.assertEqual(host.versions(), [b"A", b"KLV1.07"])
        sim.proc.send_signal(signal.SIGTERM)
        status, out, _ = sim.finish()
        self.assertEqual(status, 0, out)
        self.assertIn("end: interrupted by SIGTERM", out)
        self.assertIn("connections: 1", out)

    def test_violation_before_a_signal_still_fails(self):
        sim = Klvsim("--quiet")
        sim.open()
        sim.send(bytes.fromhex("02000000"))
        sim.send(packet(0, 0, bytes(16)))
        self.assertEqual(sim.receive(20), packet(0, 1, bytes(16)))
        sim.proc.send_signal(signal.SIGINT)
        status, out, _ = sim.finish()
        self.assertEqual(status, 1)
        self.assertEqual(out, "verdict: FAILED (1 violation)\n")


if __name__ == "__main__":
    KLVSIM = sys.argv.pop(1)
    unittest.main()
