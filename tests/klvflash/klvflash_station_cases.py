#!/usr/bin/env python3
"""klvflash --station against several klvsim instances, one case per run.

usage: klvflash_station_cases.py --list
       klvflash_station_cases.py KLVSIM KLVFLASH DEMO_PACKAGE CASE

The "hub" cases make the instruments visible through a fixture sysfs tree (a temporary
folder given with --x-sys-root and --x-dev-root), each as a CDC ACM port of a USB device
0ABC:1234 with a serial number of its own whose dev entry links to klvsim's
pseudo-terminal. The "wired" cases name the pseudo-terminals with --port.
"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

FAST = ["--x-settle-slice-ms", "0", "--x-rescan-ms", "100"]
RUN_WAIT_S = 90
# Every process a case starts, ended when the case ends, whatever happened.
STARTED = []


class Hub:
    """A sysfs tree with USB serial ports that come and go."""

    def __init__(self, root):
        self.sys = os.path.join(root, "sys")
        self.dev = os.path.join(root, "dev")
        os.makedirs(os.path.join(self.sys, "class", "tty"))
        os.makedirs(os.path.join(self.sys, "bus", "usb"))
        os.makedirs(self.dev)
        self.usb_root = os.path.join(self.sys, "devices", "pci0000:00", "0000:00:14.0", "usb1")

    @staticmethod
    def _link(target, name):
        os.symlink(os.path.relpath(target, os.path.dirname(name)), name)

    def plug(self, index, serial, pty):
        """Sysfs first and the dev entry last, as udev does."""
        device = os.path.join(self.usb_root, "1-%d" % (index + 1))
        os.makedirs(device)
        for name, value in (("idVendor", "0abc"), ("idProduct", "1234"), ("serial", serial),
                            ("product", "KLV Instrument"), ("manufacturer", "KLV")):
            with open(os.path.join(device, name), "w") as f:
                f.write(value + "\n")
        self._link(os.path.join(self.sys, "bus", "usb"), os.path.join(device, "subsystem"))
        name = "ttyACM%d" % index
        tty_dir = os.path.join(device, "1-%d:1.0" % (index + 1), "tty", name)
        os.makedirs(tty_dir)
        self._link(os.path.dirname(os.path.dirname(tty_dir)), os.path.join(tty_dir, "device"))
        self._link(tty_dir, os.path.join(self.sys, "class", "tty", name))
        os.symlink(pty, os.path.join(self.dev, name))
        return os.path.join(self.dev, name)

    def unplug(self, index):
        name = "ttyACM%d" % index
        for path in (os.path.join(self.dev, name), os.path.join(self.sys, "class", "tty", name)):
            if os.path.lexists(path):
                os.unlink(path)
        shutil.rmtree(os.path.join(self.usb_root, "1-%d" % (index + 1)), ignore_errors=True)


class Sim:
    def __init__(self, klvsim, demo, extra):
        self.proc = subprocess.Popen([klvsim, "--package", demo, "--timeout", "8"] + extra,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        STARTED.append(self.proc)
        self.pty = self.proc.stdout.readline().strip()
        self.out = None

    def report(self):
        if self.out is None:
            try:
                self.out, _ = self.proc.communicate(timeout=RUN_WAIT_S)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.out, _ = self.proc.communicate()
        return self.out

    def field(self, name):
        for line in self.report().splitlines():
            if line.startswith(name + ": "):
                return line[len(name) + 2:]
        return None


class Station:
    def __init__(self, klvflash, args):
        self.proc = subprocess.Popen([klvflash, "--station"] + args, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        STARTED.append(self.proc)
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.err = ""

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait_for(self, text, timeout=30):
        deadline = time.time() + timeout
        with self.cond:
            while not any(text in line for line in self.lines):
                left = deadline - time.time()
                if left <= 0:
                    return False
                self.cond.wait(left)
        return True

    def finish(self):
        try:
            code = self.proc.wait(timeout=RUN_WAIT_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = "killed"
        self.err = self.proc.stderr.read()
        self.reader.join(timeout=10)
        return code


class Checks:
    def __init__(self):
        self.ok = True

    def expect(self, condition, what):
        if not condition:
            print("FAILED:", what)
            self.ok = False


def read_log(path):
    with open(path) as f:
        return [json.loads(line) for line in f]


def sha256_of(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def case_wired_three(klvsim, klvflash, demo, folder, c):
    """Fixed wiring: three ports named, three instruments updated, one record each."""
    sims = [Sim(klvsim, demo, []) for _ in range(3)]
    log = os.path.join(folder, "bench.jsonl")
    args = ["--yes", "--count", "3", "--package", demo, "--log", log] + FAST
    for sim in sims:
        args += ["--port", sim.pty]
    station = Station(klvflash, args)
    code = station.finish()
    print("\n".join(station.lines))
    c.expect(code == 0, "exit status %r, expected 0" % code)
    c.expect(any(l == "station: 3 updated, 0 failed" for l in station.lines), "summary")
    records = read_log(log)
    c.expect(len(records) == 3, "3 records, got %d" % len(records))
    by_port = {r["port"]: r for r in records}
    for sim in sims:
        c.expect(sim.field("verdict") == "ok", "klvsim on %s: %r" % (sim.pty, sim.field("verdict")))
        c.expect(sim.field("connections") == "1", "one connection on %s" % sim.pty)
        r = by_port.get(sim.pty)
        c.expect(r is not None, "a record for %s" % sim.pty)
        if r is None:
            continue
        c.expect(r["result"]["code"] == 0, "result code 0")
        c.expect(r["usb"] is None and r["serial"] == "", "a pseudo-terminal has no USB ids")
        c.expect(r["model"] == "4B4C5632", "model %r" % r["model"])
        c.expect(r["versions"] == ["R20P-02.00"], "versions %r" % r["versions"])
        c.expect(r["package"] == {"name": demo, "sha256": sha256_of(demo)}, "package %r" % r["package"])
        c.expect(r["time"].endswith("Z") and "T" in r["time"], "time %r" % r["time"])
        c.expect(list(r["phases"]) == ["found", "connected", "identified", "versions",
                                       "transfer", "finish"], "phases %r" % list(r["phases"]))


def case_hub(klvsim, klvflash, demo, folder, c):
    """A hub: two instruments present at the start (one of a model the package does not
    serve), one plugged in during the run with a fault in the middle of an image, one
    unplugged during its transfer, and the first one coming back after its finish with
    the same serial number: it must not be updated twice."""
    hub = Hub(folder)
    good = Sim(klvsim, demo, [])
    other_model = Sim(klvsim, demo, ["--model", "11223344"])
    hub.plug(0, "SIM0", good.pty)
    hub.plug(1, "SIM1", other_model.pty)
    log = os.path.join(folder, "bench.jsonl")
    station = Station(klvflash, ["--yes", "--wait", "3", "--log", log, "--package", demo,
                                 "--x-sys-root", hub.sys, "--x-dev-root", hub.dev] + FAST)
    c.expect(station.wait_for("(serial SIM0): found"), "SIM0 found")
    faulty = Sim(klvsim, demo, ["--fault", "image1-chunk:3:no-reply"])
    hub.plug(2, "SIM2", faulty.pty)
    vanishing = Sim(klvsim, demo, ["--fault", "image1-chunk:5:gone"])
    hub.plug(3, "SIM3", vanishing.pty)
    # The instrument restarts after its finish and comes back with the same serial number.
    c.expect(station.wait_for("ttyACM0: updated"), "SIM0 updated")
    hub.unplug(0)
    time.sleep(0.5)
    back = Sim(klvsim, demo, [])
    hub.plug(0, "SIM0", back.pty)
    c.expect(station.wait_for("(serial SIM3): found"), "SIM3 found")
    time.sleep(1.0)
    hub.unplug(3)  # the cable of the vanished one is pulled for good
    code = station.finish()
    print("\n".join(station.lines))
    print(station.err)
    c.expect(code == 1, "exit status %r, expected 1 (some failed)" % code)
    c.expect("station: 1 updated, 3 failed (code 3: 2, code 16: 1)" in station.lines,
             "summary line")
    records = {r["serial"]: r for r in read_log(log)}
    c.expect(sorted(records) == ["SIM0", "SIM1", "SIM2", "SIM3"], "records %r" % sorted(records))
    expected = {"SIM0": 0, "SIM1": 16, "SIM2": 3, "SIM3": 3}
    for serial, want in expected.items():
        r = records.get(serial)
        if r is None:
            continue
        c.expect(r["result"]["code"] == want, "%s result %r, expected %d" % (serial, r["result"], want))
        c.expect(r["usb"] == {"vendorId": 0x0ABC, "productId": 0x1234}, "%s usb %r" % (serial, r["usb"]))
        c.expect(r["port"].startswith(hub.dev), "%s port %r" % (serial, r["port"]))
    if "SIM1" in records:
        c.expect(records["SIM1"]["model"] == "11223344", "SIM1 model")
        c.expect("transfer" not in records["SIM1"]["phases"], "SIM1 never transferred")
    c.expect(good.field("verdict") == "ok", "SIM0 verdict %r" % good.field("verdict"))
    c.expect(other_model.field("verdict") == "ok", "SIM1 verdict")
    # A fault that strikes: the instrument's verdict names no host violation.
    c.expect(faulty.field("violations") == "none", "SIM2 violations %r" % faulty.field("violations"))
    c.expect(vanishing.field("violations") == "none", "SIM3 violations")
    c.expect(back.field("connections") == "0",
             "the instrument that came back was talked to: connections %r" % back.field("connections"))


def case_interrupted_while_waiting(klvsim, klvflash, demo, folder, c):
    hub = Hub(folder)
    station = Station(klvflash, ["--yes", "--x-sys-root", hub.sys, "--x-dev-root", hub.dev] + FAST)
    c.expect(station.wait_for("Waiting for instruments"), "waiting")
    station.proc.send_signal(signal.SIGINT)
    code = station.finish()
    print("\n".join(station.lines))
    c.expect(code == 130, "exit status %r, expected 130" % code)
    c.expect("No instrument was updated." in station.lines, "says nothing was updated")


def refusal(args, status, message):
    def run(klvsim, klvflash, demo, folder, c):
        full = [a.replace("{folder}", folder).replace("{demo}", demo) for a in args]
        proc = subprocess.run([klvflash] + full, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=30)
        print(proc.stdout, proc.stderr)
        c.expect(proc.returncode == status, "exit status %r, expected %d" % (proc.returncode, status))
        c.expect(message in proc.stderr, "message %r" % message)
        c.expect(os.listdir(folder) == ["dir"], "nothing written: %r" % os.listdir(folder))
    return run


CASES = {
    "wired_three": case_wired_three,
    "hub": case_hub,
    "interrupted_while_waiting": case_interrupted_while_waiting,
    "refuses_a_port_that_is_no_terminal": refusal(["--station", "--yes", "--port", "/dev/null"], 64,
                                                  "/dev/null"),
    "refuses_a_folder_as_log": refusal(["--station", "--yes", "--log", "{folder}/dir"], 64,
                                       "is a directory"),
    "refuses_an_empty_log": refusal(["--station", "--yes", "--log", ""], 64, "--log"),
    "refuses_json": refusal(["--station", "--yes", "--json"], 64, "--log FILE"),
    "again_needs_station": refusal(["--again", "--yes"], 64, "--station"),
    "refuses_the_package_as_log": refusal(["--station", "--yes", "--package", "{demo}",
                                           "--log", "{demo}"], 64, "is the package"),
}


def main():
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
        return 0
    klvsim, klvflash, demo, name = sys.argv[1:5]
    folder = tempfile.mkdtemp(prefix="klvflash-station-")
    os.makedirs(os.path.join(folder, "dir"))
    checks = Checks()
    try:
        CASES[name](klvsim, klvflash, demo, folder, checks)
    finally:
        for proc in STARTED:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        shutil.rmtree(folder, ignore_errors=True)
    print("PASS" if checks.ok else "FAIL")
    return 0 if checks.ok else 1


if __name__ == "__main__":
    sys.exit(main())
