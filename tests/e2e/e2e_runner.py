#!/usr/bin/env python3
"""Runs end-to-end scenarios: FWUpdate_KLV_R20P.exe under Wine against klvsim.

  e2e_runner.py --group G | --row NAME | --list  --exe EXE --unusable-exe EXE --damaged-exe EXE
                --drive klvdrive.exe --close-probe close_state_probe.exe
                --klvsim klvsim --klvpkg klvpkg --package PKG

A group gets a Wine prefix and an X display (:70 to :79, the first free one) of its own,
so that groups can run side by side; its rows run one after the other in that prefix.
Before each row's steps the prefix holds no device of ours and no COM link; after them
every process, link and registry entry the row made is gone again, also when it failed.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from scenarios import ROWS

TITLE = "KLV-Series FW Updater"
PORT = "COM5"
PORTS_CLASS = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
ENUM_USB = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB"

MESSAGE_WAITING = r"\r\nWAITING..."
MESSAGE_CONFIRM = "PROGRAM UPDATE"
MESSAGE_LOADING = r"\r\nNOW LOADING"
MESSAGE_DONE = r"Please disconnect the\r\ncable after the LED\r\nflashing ends."
MESSAGE_ERROR = "ERROR!"
MESSAGE_UNABLE = r"\r\nUNABLE TO UPDATE"

# How long a screen may take to appear. A finished update waits 10.2 s before its
# last screen.
SCREEN_WAIT_S = {"done": 45.0}
SCREEN_WAIT_DEFAULT_S = 15.0
# What an ignored input is given to show an effect it must not have.
IGNORED_GRACE_S = 1.0


class Failure(Exception):
    pass


class Package:
    """The facts of the embedded package that the screens and the registry need."""

    def __init__(self, klvpkg, path):
        out = subprocess.run([klvpkg, "inspect", "--json", path], check=True,
                             capture_output=True, text=True).stdout
        facts = json.loads(out)
        self.path = path
        self.version_text = bytes.fromhex(facts["versionText"]).decode("latin-1")
        self.usb_ids = [(u["vendorId"], u["productId"]) for u in facts["usbIds"]]


class Rig:
    """One Wine prefix on one X display, for the rows of one group."""

    def __init__(self, work):
        self.work = work
        self.prefix = work / "prefix"
        self.display = None
        self.xvfb = None

    def env(self):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all", DISPLAY=self.display,
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        return env

    def start(self):
        for number in range(70, 80):
            if Path(f"/tmp/.X{number}-lock").exists():
                continue
            log = open(self.work / "xvfb.log", "w")
            xvfb = subprocess.Popen(["Xvfb", f":{number}", "-nolisten", "tcp", "-screen", "0",
                                     "800x600x24"], stdout=log, stderr=log)
            # Another run may have started on the same number a moment earlier: the
            # display is ours only when its lock names our server.
            if wait_for_own_display(xvfb, number):
                self.display, self.xvfb = f":{number}", xvfb
                break
            stop_process(xvfb)
        if self.xvfb is None:
            raise Failure("no free X display among :70 to :79")
        boot = subprocess.run(["wineboot", "-i"], env=self.env(), capture_output=True, text=True,
                              timeout=120)
        if boot.returncode != 0:
            raise Failure(f"wineboot: {boot.stderr.strip()}")
        # One wine server for the whole group.
        subprocess.run(["wineserver", "-p"], env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        if self.display is not None:
            subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
            subprocess.run(["wineserver", "-w"], env=self.env(), capture_output=True)
        if self.xvfb is not None:
            stop_process(self.xvfb)

    def kill_windows_programs(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env(), capture_output=True)
        subprocess.run(["wineserver", "-p"], env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def com_link(self):
        return self.prefix / "dosdevices" / PORT.lower()

    def reg_import(self, text):
        path = self.work / "change.reg"
        path.write_text(text)
        status, out = self.wine("reg", "import", str(path))
        if status != 0:
            raise Failure(f"reg import: {out}")

    def wine(self, *args, timeout=60):
        """Runs a Windows program to its end; returns its status and standard output.

        The output goes through a file, not a pipe: the first program after a wine server
        start starts Wine's own services, which would keep a pipe open long after."""
        with tempfile.TemporaryFile(dir=self.work) as out:
            result = subprocess.run(["wine", *args], env=self.env(), stdout=out,
                                    stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            return result.returncode, out.read().decode("utf-8", "replace").replace("\r", "")


class Driver:
    """klvdrive.exe, our window driver, run under Wine."""

    def __init__(self, rig, exe, close_probe):
        self.rig, self.exe, self.close_probe = rig, exe, close_probe

    def run(self, *args, timeout=60):
        status, out = self.rig.wine(self.exe, *args, timeout=timeout)
        return status, out.strip()

    def ok(self, *args, timeout=60):
        status, out = self.run(*args, timeout=timeout)
        if status != 0:
            raise Failure(f"klvdrive {' '.join(args)}: status {status} {out}")
        return out

    def observe(self):
        """What the window shows now."""
        seen = {"message": self.ok("text", "1002"), "version": self.ok("text", "1003")}
        for name, control in (("version_shown", "1003"), ("yes", "1000"), ("no", "2"),
                              ("ok", "1004")):
            seen[name] = self.ok("visible", control) == "1"
        status, state = self.rig.wine(self.close_probe)
        if status != 0:
            raise Failure(f"close_state_probe: {state.strip()}")
        seen["close"] = state.strip()
        return seen


def expected_screen(name, package):
    hidden = dict(version_shown=False, yes=False, no=False, ok=False, close="enabled")
    if name == "waiting":
        return dict(hidden, message=MESSAGE_WAITING)
    if name == "confirm":
        return dict(hidden, message=MESSAGE_CONFIRM, version=package.version_text,
                    version_shown=True, yes=True, no=True)
    if name == "loading":
        return dict(hidden, message=MESSAGE_LOADING, close="disabled")
    if name == "done":
        return dict(hidden, message=MESSAGE_DONE, ok=True)
    if name == "unable":
        return dict(hidden, message=MESSAGE_UNABLE, ok=True)
    if name.startswith("error:"):
        return dict(hidden, message=MESSAGE_ERROR, version=name.split(":", 1)[1],
                    version_shown=True, ok=True)
    raise Failure(f"unknown screen {name}")


def matches(seen, want):
    return all(seen[key] == value for key, value in want.items())


class Instrument:
    """One klvsim run behind the COM link, listed in the registry as a USB device."""

    def __init__(self, rig, args, package, usb_index, number):
        self.rig, self.args, self.package = rig, args, package
        vid, pid = package.usb_ids[usb_index]
        self.key = rf"{ENUM_USB}\VID_{vid:04X}&PID_{pid:04X}\KLVSIM0"
        self.log = rig.work / f"klvsim-{number}.err"
        self.process = None
        self.summary = None
        self.status = None
        self.listed = False
        self.signalled = False

    def plug(self, klvsim):
        link = self.rig.com_link()
        if link.is_symlink() or link.exists():
            link.unlink()
        command = [klvsim, "--package", self.package.path, "--link", str(link),
                   "--timeout", "120", *self.args]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=open(self.log, "w"), text=True)
        first = self.process.stdout.readline().strip()
        if not first.startswith("/"):
            raise Failure(f"klvsim did not start: {first} {self.log.read_text()}")
        for _ in range(50):
            if link.is_symlink():
                break
            time.sleep(0.05)
        else:
            raise Failure("klvsim made no COM link")
        self.rig.reg_import(
            "REGEDIT4\n\n"
            f"[{self.key}]\n"
            f'"ClassGUID"="{PORTS_CLASS}"\n'
            '"DeviceDesc"="Simulated instrument"\n'
            f'"FriendlyName"="Simulated instrument ({PORT})"\n\n'
            f"[{self.key}\\Device Parameters]\n"
            f'"PortName"="{PORT}"\n')
        self.listed = True

    def unlist(self):
        if self.listed:
            self.rig.reg_import(f"REGEDIT4\n\n[-{self.key}]\n")
            self.listed = False

    def pull(self):
        """The cable comes out: the device leaves the registry and klvsim is told to end.

        klvsim may finish a delayed reply first; the program has let go of the port by
        then, as it would of a vanished one, so its summary is read later."""
        self.unlist()
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.signalled = True

    def stop(self, wait_s=None):
        """Ends klvsim (SIGTERM unless it ends by itself within wait_s) and reads its summary."""
        if self.process is None or self.summary is not None:
            return self.summary
        if self.signalled:
            pass
        elif wait_s is not None:
            try:
                self.process.wait(timeout=wait_s)
            except subprocess.TimeoutExpired:
                raise Failure(f"klvsim did not end by itself within {wait_s} s")
        elif self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=30)
        self.status = self.process.returncode
        self.summary = {}
        for line in out.splitlines():
            key, sep, value = line.partition(": ")
            if sep:
                self.summary[key.strip()] = value.strip()
        return self.summary

    def describe(self):
        lines = [f"{k}: {v}" for k, v in (self.summary or {}).items()]
        return f"klvsim {' '.join(self.args)} (status {self.status})\n    " + "\n    ".join(lines)


class Scenario:
    def __init__(self, row, rig, options, package):
        self.row, self.rig, self.options, self.package = row, rig, options, package
        self.drive = Driver(rig, options.drive, options.close_probe)
        self.program = None
        self.program_out = rig.work / "program.out"
        self.instrument = None
        self.instruments = []

    # --- steps -------------------------------------------------------------------

    def step_start(self):
        exe = {"product": self.options.exe, "unusable": self.options.unusable_exe,
               "damaged": self.options.damaged_exe}[self.row.program]
        self.program = subprocess.Popen(["wine", exe], env=self.rig.env(),
                                        stdout=open(self.program_out, "wb"),
                                        stderr=open(self.rig.work / "program.err", "wb"))
        self.drive.ok("wait-window", TITLE, "30000", timeout=60)

    def running(self):
        return self.program is not None and self.program.poll() is None

    # The notification is posted, or with ":sent" sent as the system sends it
    # (SendMessageTimeoutW, which returns once the program has handled it).
    def notify(self, how=""):
        if how not in ("", "sent"):
            raise Failure(f"unknown notification {how}")
        self.drive.ok("send-devicechange" if how == "sent" else "devicechange")

    def step_plug(self, how=""):
        self.instrument = Instrument(self.rig, self.row.sim, self.package, self.row.usb,
                                     len(self.instruments))
        self.instruments.append(self.instrument)
        self.instrument.plug(self.options.klvsim)
        if self.running():
            self.notify(how)

    def step_unplug(self, how=""):
        if self.instrument is None:
            raise Failure("unplug without an instrument")
        self.instrument.pull()
        if self.running():
            self.notify(how)

    def step_devicechange(self, how=""):
        self.notify(how)

    def step_busy(self):
        for _ in range(200):
            if b"Send(" in self.program_out.read_bytes():
                return
            time.sleep(0.05)
        raise Failure("the program did not start talking to the instrument")

    def step_screen(self, name):
        want = expected_screen(name, self.package)
        deadline = time.monotonic() + SCREEN_WAIT_S.get(name, SCREEN_WAIT_DEFAULT_S)
        while True:
            if not self.running():
                raise Failure(f"program ended (status {self.program.returncode}) "
                              f"instead of showing {name}")
            seen = self.drive.observe()
            if matches(seen, want):
                return
            if time.monotonic() > deadline:
                raise Failure(f"screen {name} expected, window shows {seen}")
            time.sleep(0.1)

    def step_press(self, key):
        actions = {"yes": ("click", "1000"), "no": ("click", "2"), "ok": ("click", "1004"),
                   "esc": ("key", "esc"), "enter": ("key", "enter"), "close": ("close",)}
        self.drive.ok(*actions[key])

    def step_ignored(self):
        time.sleep(IGNORED_GRACE_S)
        if not self.running() or self.drive.run("wait-window", TITLE, "0")[0] != 0:
            raise Failure("the window went away")

    def step_second(self):
        hold_out = self.rig.work / "hold.out"
        hold = subprocess.Popen(["wine", self.options.drive, "hold-foreground", "60000"],
                                env=self.rig.env(), stdout=open(hold_out, "w"))
        try:
            for _ in range(100):
                if hold_out.exists() and hold_out.read_text().strip():
                    break
                time.sleep(0.1)
            # Another window is in front, and stays there until the end of this step:
            # only the second copy can bring the first one forward meanwhile.
            if self.drive.ok("foreground") != "0":
                raise Failure("the first window was in front before the second copy started")
            second_out = self.rig.work / "second.out"
            try:
                subprocess.run(["wine", self.options.exe], env=self.rig.env(),
                               stdout=open(second_out, "wb"), stderr=subprocess.DEVNULL,
                               timeout=30)
            except subprocess.TimeoutExpired:
                raise Failure("the second copy did not end by itself")
            if second_out.read_bytes():
                raise Failure(f"the second copy wrote {second_out.read_bytes()[:200]!r}")
            for _ in range(50):
                if self.drive.ok("foreground") == "1":
                    return
                time.sleep(0.1)
            raise Failure("the second copy did not bring the first one forward")
        finally:
            stop_process(hold)

    def step_ended(self):
        self.drive.ok("wait-gone", TITLE, "20000", timeout=60)
        try:
            status = self.program.wait(timeout=20)
        except subprocess.TimeoutExpired:
            raise Failure("the window went but the program still runs")
        if status != 0:
            raise Failure(f"exit status {status}")

    def step_trace(self):
        lines = self.program_out.read_bytes().decode("latin-1").split("\r\n")
        if lines and lines[-1] == "":
            lines.pop()
        pattern = re.compile(r"^(Send\((\d+)\)|Recv\((\d+)\)\((\d+)\))$")
        sends = 0
        for number, line in enumerate(lines, 1):
            found = pattern.match(line)
            if not found:
                raise Failure(f"trace line {number} is {line!r}")
            if found.group(2):
                sends += 1
            elif found.group(3) != found.group(4):
                raise Failure(f"trace line {number}: short read {line!r} on a clean update")
        packets = int(self.instruments[0].summary["packets"])
        if sends < packets:
            raise Failure(f"{sends} Send lines for the {packets} packets klvsim received")

    def step_sim(self, what):
        sim = self.instrument
        if what == "updated":
            summary = sim.stop(wait_s=30)
            want = {"images": "match the package", "finish": "acknowledged",
                    "violations": "none", "verdict": "ok", "connections": "1"}
            if sim.status != 0 or any(summary.get(k) != v for k, v in want.items()):
                raise Failure("update not verified: " + sim.describe())
            return
        summary = sim.stop()
        if what == "untouched":
            if summary.get("image 1") != "not sent" or summary.get("image 2") != "not sent" \
                    or summary.get("connections") != "1":
                raise Failure("expected a connection without images: " + sim.describe())
        elif what == "silent":
            if summary.get("packets") != "0":
                raise Failure("expected no packets: " + sim.describe())
        else:
            raise Failure(f"unknown sim check {what}")

    # --- run -----------------------------------------------------------------------

    def run(self):
        try:
            for token in self.row.steps.split():
                name, _, argument = token.partition(":")
                step = getattr(self, "step_" + name, None)
                if step is None:
                    raise Failure(f"unknown step {token}")
                try:
                    step(argument) if argument else step()
                except Failure as failure:
                    raise Failure(f"at {token}: {failure}") from None
            for sim in self.instruments:
                summary = sim.stop()
                if summary.get("violations") != "none":
                    raise Failure("protocol violation: " + sim.describe())
        finally:
            self.clean_up()

    def clean_up(self):
        if self.running():
            self.rig.kill_windows_programs()
        for sim in self.instruments:
            try:
                sim.unlist()
            except Failure as failure:
                print(f"    cleanup: {failure}")
            if sim.process is not None and sim.process.poll() is None:
                stop_process(sim.process)
        link = self.rig.com_link()
        if link.is_symlink():
            link.unlink()

    def diagnostics(self):
        text = self.program_out.read_bytes().decode("latin-1") if self.program_out.exists() else ""
        lines = text.split("\r\n")
        status = self.program.poll() if self.program is not None else None
        out = [f"    program (exit status {status}) output: {len(lines)} lines, last: {lines[-6:]}"]
        errors = self.rig.work / "program.err"
        if errors.exists() and errors.read_bytes().strip():
            out.append("    program stderr: " + errors.read_bytes().decode("latin-1")[-800:])
        for sim in self.instruments:
            if sim.summary is not None:
                out.append("    " + sim.describe())
            if sim.log.exists() and sim.log.read_text().strip():
                out.append("    klvsim stderr: " + sim.log.read_text().strip()[-800:])
        return "\n".join(out)


def wait_for_own_display(xvfb, number):
    lock = Path(f"/tmp/.X{number}-lock")
    socket = Path(f"/tmp/.X11-unix/X{number}")
    for _ in range(100):
        if xvfb.poll() is not None:
            return False
        try:
            owner = int(lock.read_text().strip())
        except (OSError, ValueError):
            owner = None
        if owner == xvfb.pid and socket.exists():
            return True
        time.sleep(0.05)
    return False


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    choice = parser.add_mutually_exclusive_group(required=True)
    choice.add_argument("--group")
    choice.add_argument("--row", help="run the one row whose name contains this text")
    choice.add_argument("--list", action="store_true")
    for name in ("exe", "unusable-exe", "damaged-exe", "drive", "close-probe", "klvsim", "klvpkg",
                 "package"):
        parser.add_argument("--" + name)
    options = parser.parse_args()

    if options.list:
        for row in ROWS:
            print(f"{row.group:10} {row.name}")
        return 0
    rows = [r for r in ROWS if (options.group and r.group == options.group)
            or (options.row and options.row in r.name)]
    if not rows:
        print("no such rows")
        return 2
    for name in ("exe", "unusable_exe", "damaged_exe", "drive", "close_probe", "klvsim", "klvpkg",
                 "package"):
        value = getattr(options, name)
        if not value or not Path(value).exists():
            print(f"missing --{name.replace('_', '-')}: {value}")
            if name == "klvsim":
                print("klvsim is a native tool: build it first "
                      "(cmake --preset linux && cmake --build --preset linux --target klvsim) "
                      "or point KLV_HOST_KLVSIM at it")
            return 1
    package = Package(options.klvpkg, options.package)

    work = Path(tempfile.mkdtemp(prefix="klv-e2e-"))
    rig = Rig(work)
    failed = 0
    try:
        rig.start()
        print(f"prefix {rig.prefix}, display {rig.display}")
        for row in rows:
            scenario = Scenario(row, rig, options, package)
            started = time.monotonic()
            try:
                scenario.run()
                print(f"PASS  {row.name} ({time.monotonic() - started:.1f} s)")
            except (Failure, subprocess.TimeoutExpired) as failure:
                failed += 1
                print(f"FAIL  {row.name}: {failure}")
                print(scenario.diagnostics())
            sys.stdout.flush()
    except Failure as failure:
        print(f"FAIL  setting up: {failure}")
        failed += 1
    finally:
        rig.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
