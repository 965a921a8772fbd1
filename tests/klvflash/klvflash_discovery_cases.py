#!/usr/bin/env python3
"""klvflash finding klvsim by its USB ids in a fixture sysfs tree, one case per run.

usage: klvflash_discovery_cases.py --list
       klvflash_discovery_cases.py KLVSIM KLVFLASH KLVPKG DEMO_PACKAGE UNUSABLE_PACKAGE CASE

The fixture (a temporary folder given to klvflash with --x-sys-root and --x-dev-root)
holds up to three serial ports laid out as the kernel does it:
  acm  ttyACM0, CDC ACM on a USB device 0ABC:1234 (the demo package serves it); its
       dev entry is a symbolic link to klvsim's pseudo-terminal
  usb  ttyUSB0, a USB-serial converter 0403:6001 (not served)
  uart ttyS0, an on-board UART (no USB ids)
A case names the ports present at the start; "plug" adds acm once klvflash says
WAITING..., sysfs first and the dev entry last, as udev does.
"""
import fcntl
import os
import queue
import shutil
import json
import signal
import subprocess
import sys
import tempfile
import threading

FAST = ["--x-settle-slice-ms", "0"]
# Rescans often, so that a notice said more than once would show within a short wait.
QUICK_RESCAN = ["--x-rescan-ms", "50"]
# Only guard against a hang; no case comes near them.
LINE_WAIT_S = 30
RUN_WAIT_S = 60

BUSY = "is in use by another program; close the program that holds it. Still waiting."

CASES = {
    "present_at_start": dict(ports=["uart", "usb", "acm"], flash=["--yes"] + FAST, exit=0,
                             sim_exit=0,
                             out=["Instrument found on {dev}/ttyACM0",
                                  'Port:     {dev}/ttyACM0  USB 0ABC:1234  serial "KLV0001"',
                                  "PROGRAM UPDATE",
                                  "Please disconnect the cable after the LED flashing ends."],
                             absent=["WAITING..."]),
    # Only the device event can end this wait: the periodic scan is put off for ten minutes.
    "plugged_in_while_waiting": dict(ports=["uart", "usb"], plug=True,
                                     flash=["--yes", "--x-rescan-ms", "600000"] + FAST,
                                     exit=0, sim_exit=0,
                                     out=["WAITING...", "Instrument found on {dev}/ttyACM0",
                                          "Please disconnect the cable after the LED flashing "
                                          "ends."]),
    "answer_asked_after_discovery": dict(ports=["acm"], flash=FAST, stdin="no\n", exit=65,
                                         out=["PROGRAM UPDATE"], absent=["NOW LOADING"]),
    "list_ports": dict(ports=["uart", "usb", "acm"], flash=["--list"], exit=0, no_sim=True,
                       lines=["{dev}/ttyACM0  VID_0ABC PID_1234  serial KLV0001  served  KLV Instrument",
                              "{dev}/ttyS0  no USB ids  -",
                              "{dev}/ttyUSB0  VID_0403 PID_6001  serial A1B2C3  not served  USB Serial"]),
    "list_ports_json": dict(ports=["uart", "acm"], flash=["--list", "--json"], exit=0,
                            no_sim=True,
                            json={"ports": [
                                {"port": "{dev}/ttyACM0",
                                 "usb": {"vendorId": 0x0ABC, "productId": 0x1234},
                                 "serial": "KLV0001", "served": True,
                                 "description": "KLV Instrument"},
                                {"port": "{dev}/ttyS0", "usb": None, "serial": None,
                                 "served": False,
                                 "description": ""}]}),
    "list_without_ports": dict(ports=[], flash=["--list"], exit=0, no_sim=True,
                               lines=["no ports"]),
    # Held by another program: said once on stderr however often it is scanned again.
    "busy_port_said_once": dict(ports=["acm"], hold=True,
                                flash=["--yes", "--wait", "1"] + QUICK_RESCAN + FAST, exit=69,
                                out=["WAITING...",
                                     "The instrument's port could not be opened within 1 s."],
                                err_once=["The port {dev}/ttyACM0 " + BUSY]),
    # Letting go of a port makes no device event: the periodic scan finds it.
    "busy_port_freed": dict(ports=["acm"], hold=True, release_on=BUSY,
                            flash=["--yes"] + FAST,
                            exit=0, sim_exit=0, out=["WAITING...", "Instrument found on"]),
    "wait_expires": dict(ports=["uart", "usb"], flash=["--yes", "--wait", "1"], exit=69,
                         no_sim=True, out=["WAITING...", "No instrument was found within 1 s."]),
    "interrupted_while_waiting": dict(ports=["usb"], interrupt=True, flash=["--yes"], exit=130,
                                      no_sim=True,
                                      out=["WAITING...",
                                           "Stopped while waiting for the instrument."]),
    "terminated_while_waiting": dict(ports=["usb"], interrupt=True, signal="SIGTERM",
                                     flash=["--yes"], exit=143, no_sim=True,
                                     out=["WAITING...",
                                          "Stopped while waiting for the instrument."]),
    "no_device_folder_to_watch": dict(ports=["usb"], dev_missing=True,
                                      flash=["--yes", "--wait", "1"] + QUICK_RESCAN, exit=69,
                                      no_sim=True, err=["cannot watch {dev} for new devices"],
                                      out=["No instrument was found within 1 s."]),
    # A package that cannot update anything fails at once instead of waiting.
    "unusable_package_not_waited_for": dict(ports=["uart"],
                                            flash=["--package", "{unusable}", "--yes"], exit=96,
                                            no_sim=True, out=["ERROR! 96"],
                                            absent=["WAITING..."]),
    "package_without_usb_ids": dict(ports=["acm"], package_without_usb=True, no_sim=True,
                                    flash=["--package", "{nousb}", "--yes"], exit=64,
                                    err=["lists no USB vendor and product ids"],
                                    absent=["WAITING..."]),
    "usage_wait_with_port": dict(ports=[], flash=["--port", "/dev/null", "--wait", "1"],
                                 exit=64, no_sim=True),
    "usage_negative_wait": dict(ports=[], flash=["--wait", "-1"], exit=64, no_sim=True),
}


class Fixture:
    """A sysfs tree and a device folder in a temporary folder."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="klvflash-discovery-")
        self.sys = os.path.join(self.root, "sys")
        self.dev = os.path.join(self.root, "dev")
        os.makedirs(os.path.join(self.sys, "class", "tty"))
        os.makedirs(os.path.join(self.sys, "bus", "usb"))
        os.makedirs(os.path.join(self.sys, "bus", "platform"))
        os.makedirs(self.dev)
        self.usb_root = os.path.join(self.sys, "devices", "pci0000:00", "0000:00:14.0", "usb1")

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)

    @staticmethod
    def write(path, text):
        with open(path, "w") as f:
            f.write(text + "\n")

    @staticmethod
    def link(target, name):
        os.symlink(os.path.relpath(target, os.path.dirname(name)), name)

    def usb_device(self, bus_path, vid, pid, serial, product, manufacturer):
        device = os.path.join(self.usb_root, bus_path)
        os.makedirs(device)
        for name, value in (("idVendor", vid), ("idProduct", pid), ("serial", serial),
                            ("product", product), ("manufacturer", manufacturer)):
            self.write(os.path.join(device, name), value)
        self.link(os.path.join(self.sys, "bus", "usb"), os.path.join(device, "subsystem"))
        return device

    def tty(self, device, name):
        tty_dir = os.path.join(device, "tty", name)
        os.makedirs(tty_dir)
        self.link(device, os.path.join(tty_dir, "device"))
        self.link(tty_dir, os.path.join(self.sys, "class", "tty", name))

    def add(self, port, pty=None):
        if port == "acm":
            device = self.usb_device("1-2", "0abc", "1234", "KLV0001", "KLV Instrument",
                                     "KLV Instruments")
            interface = os.path.join(device, "1-2:1.0")
            os.makedirs(interface)
            self.tty(interface, "ttyACM0")
            os.symlink(pty or "/nonexistent-pty", os.path.join(self.dev, "ttyACM0"))
        elif port == "usb":
            device = self.usb_device("1-3", "0403", "6001", "A1B2C3", "USB Serial", "Converters")
            converter = os.path.join(device, "1-3:1.0", "ttyUSB0")
            os.makedirs(converter)
            self.tty(converter, "ttyUSB0")
        elif port == "uart":
            device = os.path.join(self.sys, "devices", "platform", "serial8250")
            os.makedirs(device)
            self.link(os.path.join(self.sys, "bus", "platform"), os.path.join(device, "subsystem"))
            self.tty(device, "ttyS0")
            self.write(os.path.join(device, "tty", "ttyS0", "type"), "4")


class Lines:
    """Collects a stream's lines on a thread, so that a case can wait for one."""

    def __init__(self, stream):
        self.lines = []
        self.fresh = queue.Queue()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in stream:
            self.lines.append(line.rstrip("\n"))
            self.fresh.put(line)
        self.fresh.put(None)

    def wait_for(self, text):
        while True:
            try:
                line = self.fresh.get(timeout=LINE_WAIT_S)
            except queue.Empty:
                return False
            if line is None:
                return False
            if text in line:
                return True

    def text(self):
        self.thread.join(timeout=LINE_WAIT_S)
        return self.lines


def make_package_without_usb(klvpkg, folder):
    image = os.path.join(folder, "image1.bin")
    with open(image, "wb") as f:
        f.write(bytes(range(64)))
    package = os.path.join(folder, "nousb.klvpkg")
    subprocess.run([klvpkg, "build", "-o", package, "--image1", image, "--model", "4B4C5632",
                    "--prefix", "R20P-03.", "--version-text", "no usb"], check=True)
    return package


def check(case, values, code, out, err):
    ok = code == case["exit"]
    if not ok:
        print("exit status", code, "expected", case["exit"])
    for text in case.get("out", []):
        if not any(text.format(**values) in line for line in out):
            print("missing on stdout:", repr(text.format(**values)))
            ok = False
    for text in case.get("absent", []):
        if any(text in line for line in out):
            print("unexpected on stdout:", repr(text))
            ok = False
    if "json" in case:
        try:
            report = json.loads("\n".join(out))
        except ValueError as e:
            print("stdout is not one JSON object:", e)
            return False
        want = json.loads(json.dumps(case["json"]).replace("{dev}", values["dev"]))
        if report != want:
            print("json", report, "expected", want)
            ok = False
    if "lines" in case:
        expected = [t.format(**values) for t in case["lines"]]
        if out != expected:
            print("stdout lines", out, "expected", expected)
            ok = False
    for text in case.get("err", []):
        if not any(text.format(**values) in line for line in err):
            print("missing on stderr:", repr(text.format(**values)))
            ok = False
    for text in case.get("err_once", []):
        seen = sum(text.format(**values) in line for line in err)
        if seen != 1:
            print("on stderr %d times, expected once: %r" % (seen, text.format(**values)))
            ok = False
    return ok


def main():
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
        return 0
    klvsim, klvflash, klvpkg, demo, unusable, name = sys.argv[1:7]
    case = CASES[name]
    fixture = Fixture()
    values = dict(demo=demo, unusable=unusable, dev=fixture.dev, nousb="")
    sim = None
    held = None
    flash = None
    try:
        pty = None
        if not case.get("no_sim"):
            sim = subprocess.Popen([klvsim, "--timeout", "20", "--package", demo],
                                   stdout=subprocess.PIPE, text=True)
            pty = sim.stdout.readline().strip()
            if not pty:
                print("klvsim printed no port")
                return 1
        for port in case["ports"]:
            fixture.add(port, pty)
        if case.get("dev_missing"):
            shutil.rmtree(fixture.dev)
        if case.get("package_without_usb"):
            values["nousb"] = make_package_without_usb(klvpkg, fixture.root)
        if case.get("hold"):
            held = os.open(pty, os.O_RDWR | os.O_NOCTTY)
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)

        args = ["--x-sys-root", fixture.sys, "--x-dev-root", fixture.dev]
        args += [a.format(**values) for a in case["flash"]]
        print("klvflash", " ".join(args))
        flash = subprocess.Popen([klvflash] + args, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out = Lines(flash.stdout)
        err = Lines(flash.stderr)
        flash.stdin.write(case.get("stdin", ""))
        flash.stdin.close()
        if case.get("plug") or case.get("interrupt"):
            if not out.wait_for("WAITING..."):
                print("klvflash did not say WAITING...")
        if case.get("plug"):
            fixture.add("acm", pty)
        if case.get("interrupt"):
            flash.send_signal(getattr(signal, case.get("signal", "SIGINT")))
        if case.get("release_on"):
            if not err.wait_for(case["release_on"]):
                print("no busy notice on stderr")
            os.close(held)
            held = None
        try:
            code = flash.wait(timeout=RUN_WAIT_S)
        except subprocess.TimeoutExpired:
            print("klvflash still running after %d s; ended" % RUN_WAIT_S)
            flash.kill()
            code = flash.wait()
        out_lines = out.text()
        err_lines = err.text()
        print("->", code)
        print("\n".join(out_lines))
        print("\n".join(err_lines), file=sys.stderr)
        ok = check(case, values, code, out_lines, err_lines)
        if sim is not None and "sim_exit" in case:
            sim_exit = sim.wait(timeout=30)
            print("klvsim ->", sim_exit)
            print(sim.stdout.read(), end="")
            ok = ok and sim_exit == case["sim_exit"]
        return 0 if ok else 1
    finally:
        if flash is not None and flash.poll() is None:
            flash.kill()
            flash.wait()
        if held is not None:
            os.close(held)
        if sim is not None and sim.poll() is None:
            sim.terminate()
            try:
                sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                sim.kill()
        fixture.remove()


if __name__ == "__main__":
    sys.exit(main())
