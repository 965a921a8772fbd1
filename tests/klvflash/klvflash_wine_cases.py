#!/usr/bin/env python3
"""klvflash.exe and klvpkg.exe under Wine against klvsim, one group of cases per run.

usage: klvflash_wine_cases.py --list
       klvflash_wine_cases.py --group NAME --klvflash EXE --klvpkg EXE --klvdrive EXE
                              --klvsim SIM --host-klvpkg KLVPKG --demo PKG --unusable PKG

Every group has a Wine prefix of its own (made once, about 10 s), so that groups run side
by side. An instrument is klvsim on a pseudo-terminal that a COM port of the prefix leads
to (dosdevices/comN), listed in the registry as a USB serial device where the case wants
it to be found. The Windows programs run to their end with their output in files (a pipe
would be held open by Wine's own services).

In a case's arguments {demo}, {unusable}, {victim} (a copy of the demo package that must
come out unchanged), {dir} (a folder), {odd} (the demo package in a folder whose name is
not ASCII) and {log} are Windows paths (Z:\\...).
"""
import argparse
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The end-to-end runner's rig: the registry's USB device tree and an X display of one's own.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from e2e_runner import ENUM_USB, PORTS_CLASS, wait_for_own_display  # noqa: E402
FAST = ["--x-settle-slice-ms", "0"]
RUN_WAIT_S = 90
LINE_WAIT_S = 30
WATCH_TITLE = "KLV device change watch"
ODD_FOLDER = "Prüfung ключ"

# One update of each outcome: the exit status per phase, klvsim's verdict where the
# images must have arrived whole.
UPDATE = {
    "completed": dict(sims=[[]], flash=["--port", "COM5", "--yes"], exit=0, sim_exit=[0],
                      out=["Port:     COM5", "Model:    4B4C5632", 'Versions: "R20P-02.00"',
                           "PROGRAM UPDATE", "Ver. 03.0100", "NOW LOADING",
                           "Please disconnect the cable after the LED flashing ends."]),
    "completed_with_answer_yes": dict(sims=[[]], flash=["--port", "COM5"] + FAST, stdin="yes\r\n",
                                      exit=0, sim_exit=[0]),
    "link_failure": dict(sims=[["--fault", "sync:changed"]], flash=["--port", "COM5", "--yes"],
                         exit=1, out=["ERROR! 01"]),
    "version_exchange_failure": dict(sims=[["--fault", "version-ack:unexpected"]],
                                     flash=["--port", "COM5", "--yes"], exit=2, out=["ERROR! 02"]),
    "image_failure": dict(sims=[["--fault", "image1-chunk:3:unexpected"]],
                          flash=["--port", "COM5", "--yes"], exit=3,
                          out=["NOW LOADING", "ERROR! 03"]),
    "finish_failure": dict(sims=[["--fault", "finish:unexpected"]],
                           flash=["--port", "COM5", "--yes"], exit=3, out=["ERROR! 03"]),
    "model_rejected": dict(sims=[["--model", "00000000"]], flash=["--port", "COM5", "--yes"],
                           exit=16, out=["UNABLE TO UPDATE", "reported model 00000000"]),
    "version_rejected": dict(sims=[["--fw-version", "R99-01.00"]],
                             flash=["--port", "COM5", "--yes"], exit=17,
                             out=["UNABLE TO UPDATE", 'Versions: "R99-01.00"']),
    "answered_no": dict(sims=[[]], flash=["--port", "COM5"], stdin="no\r\n", exit=65,
                        out=["PROGRAM UPDATE"], absent=["NOW LOADING"]),
    "end_of_input_answers_no": dict(sims=[[]], flash=["--port", "COM5"], stdin="", exit=65,
                                    absent=["NOW LOADING"]),
    "unusable_package": dict(sims=[[]], flash=["--port", "COM5", "--package", "{unusable}", "--yes"],
                             exit=96, out=["ERROR! 96"]),
    "json_completed": dict(sims=[[]], flash=["--port", "COM5", "--yes", "--json"] + FAST, exit=0,
                           sim_exit=[0], err=["PROGRAM UPDATE"],
                           json={"port": "COM5", "model": "4b4c5632", "result": 0,
                                 "usb": None}),
    # A version text with bytes outside ASCII shows as the window shows it: in the ANSI
    # code page (1252 for the locale the prefix runs in), written out as UTF-8.
    "version_text_in_the_ansi_code_page": dict(sims=[[]], flash=["--port", "COM5", "--package",
                                                                 "{ansi}"],
                                               stdin="no\r\n", exit=65,
                                               out=["Ver. \u00e9\u20ac 2\\x07"]),
    # The same in a console window (a pseudo-terminal that Wine's console shows): the text
    # goes to the console as UTF-16, which the console shows as the same characters, and
    # the answer is typed in.
    "version_text_on_the_console": dict(sims=[[]], console=True,
                                        flash=["--port", "COM5", "--package", "{ansi}"],
                                        stdin="no\r", exit=65,
                                        out=["Ver. \u00e9\u20ac 2\\x07", "Not installed"]),
    # A package in a folder whose name is not ASCII opens, and it is what is installed.
    "package_in_a_non_ascii_folder": dict(sims=[[]], flash=["--port", "COM5", "--package", "{odd}",
                                                          "--yes"] + FAST,
                                          exit=0, sim_exit=[0]),
}

# The forms of a port's name, and what must never be taken for a port.
PORTS = {
    "port_above_9": dict(sims=[[]], com=[12], flash=["--port", "COM12", "--info"], exit=0,
                         out=["Port:     COM12", "This package serves this instrument."]),
    "port_device_namespace": dict(sims=[[]], com=[12], flash=["--port", r"\\.\COM12", "--info"],
                                  exit=0, out=["This package serves this instrument."]),
    "port_lower_case": dict(sims=[[]], com=[5], flash=["--port", "com5", "--info"], exit=0,
                            out=["This package serves this instrument."]),
    "port_missing": dict(flash=["--port", "COM9", "--yes"], exit=80,
                         out=["ERROR! 80", "There is no port COM9"]),
    "port_is_a_package_file": dict(flash=["--port", "{victim}", "--yes"], exit=64,
                                   err=["--port {victim}: is a regular file, not a serial port"]),
    "port_is_a_directory": dict(flash=["--port", "{dir}", "--yes"], exit=64,
                                err=["is a directory, not a serial port"]),
    "port_is_nul": dict(flash=["--port", "NUL", "--yes"], exit=64,
                        err=["is a device but no serial port"]),
    "port_empty": dict(flash=["--port", "", "--yes"], exit=64,
                       err=["--port: the device name is empty", "COM7"]),
    "package_is_a_directory": dict(flash=["--port", "COM9", "--package", "{dir}"], exit=66,
                                   err=["is a directory, not a package file"]),
    "package_missing": dict(flash=["--port", "COM9", "--package", "{dir}\\none.klvpkg"], exit=66,
                            err=["there is no such file"]),
    "package_is_nul": dict(flash=["--port", "COM9", "--package", "NUL"], exit=66,
                           err=["is a device, not a package file"]),
    "version": dict(flash=["--version"], exit=0, out=["klvflash 1."]),
    "help_names_com_ports": dict(flash=["--help"], exit=0, out=["COM7", "Exit status: 0"]),
}

# Finding the instrument among the registry's devices, and waiting for it.
DISCOVERY = {
    "list": dict(sims=[[]], listed=[0], flash=["--list"], exit=0,
                 out=["COM5  VID_0ABC PID_1234  serial KLVSIM0  served  Simulated instrument"]),
    "list_json": dict(sims=[[]], listed=[0], flash=["--list", "--json"], exit=0,
                      json={"ports.0.port": "COM5", "ports.0.served": True,
                            "ports.0.serial": "KLVSIM0",
                            "ports.0.usb.vendorId": 0x0ABC}),
    "found_without_port": dict(sims=[[]], listed=[0], flash=["--info", "--wait", "30"], exit=0,
                               out=["Instrument found on COM5", "Port:     COM5",
                                    "Port:     COM5  USB 0ABC:1234  serial \"KLVSIM0\"",
                                    "This package serves this instrument."]),
    # Plugged in while klvflash waits: Wine sends no device notification, so the
    # periodic rescan finds it.
    "found_by_rescan": dict(sims=[[]], late=True, flash=["--info", "--wait", "60"], exit=0,
                            out=["WAITING...", "Instrument found on COM5"]),
    # With the rescan far away, only the notification (posted to the hidden window as
    # the system would send it) can find it in time.
    # (At the end of --wait one last scan would find it too: it must end long before, within
    # 10 s of the notification.)
    "found_by_notification": dict(sims=[[]], late=True, notify=True, within_s=10,
                                  flash=["--info", "--wait", "30", "--x-rescan-ms", "600000"],
                                  exit=0, out=["WAITING...", "Instrument found on COM5"]),
    "wait_expires": dict(flash=["--info", "--wait", "2"], exit=69, out=["WAITING..."]),
}

# Two instruments on two COM ports, updated side by side.
STATION = {
    "two_instruments": dict(sims=[[], []], com=[5, 6], listed=[0, 1],
                            flash=["--station", "--yes", "--count", "2", "--log", "{log}"] + FAST
                            + ["--x-rescan-ms", "200"],
                            exit=0, sim_exit=[0, 0], log_results=[0, 0],
                            log_ports=["COM5", "COM6"],
                            out=["COM5  KLVSIM0  4B4C5632  updated",
                                 "COM6  KLVSIM1  4B4C5632  updated"]),
}

# Ctrl-C, which Wine turns from SIGINT into the console's CTRL_C_EVENT: the same rules as
# on Linux. "at" is the line that shows the stage has come (klvsim's trace or klvflash's
# output); the signals follow it 0.3 s apart.
HOLD_TRANSFER = ["--fault", "image2-chunk:5:delay:3000"]
INTERRUPT = {
    "sigint_at_the_question": dict(sims=[[]], flash=["--port", "COM5"], at=("out", "Install it?"),
                                   signals=1, exit=130, out=["Stopped before the update began."],
                                   absent=["NOW LOADING"], sim_lines=["image 2: not sent"]),
    "sigint_while_waiting": dict(flash=["--wait", "60"], at=("out", "WAITING..."), signals=1,
                                 exit=130, out=["Stopped while waiting for the instrument."]),
    "one_sigint_during_transfer": dict(sims=[HOLD_TRANSFER], flash=["--port", "COM5", "--yes"] + FAST,
                                       at=("sim", "fault  image2-chunk:5"), signals=1, exit=0,
                                       out=["Please disconnect the cable"],
                                       err=["Press Ctrl-C again within 3 s to stop anyway."],
                                       sim_lines=["violations: none", "verdict: ok"]),
    "two_sigints_during_transfer": dict(sims=[HOLD_TRANSFER], flash=["--port", "COM5", "--yes"],
                                        at=("sim", "fault  image2-chunk:5"), signals=2, exit=130,
                                        out=["STOPPED DURING THE TRANSFER",
                                             "The instrument was left without the new firmware"],
                                        sim_lines=["violations: none", "image 1: not sent"]),
    "sigint_during_finish": dict(sims=[[]], flash=["--port", "COM5", "--yes",
                                                   "--x-settle-slice-ms", "100"],
                                 at=("err", "finishing:"), signals=2, exit=0,
                                 out=["Please disconnect the cable"],
                                 err=["keep it connected. This ends by itself"],
                                 sim_lines=["violations: none", "verdict: ok"]),
}

# klvpkg.exe: inspect, verify and extract with Windows paths.
KLVPKG = {
    "inspect_non_ascii_path": dict(pkg=["inspect", "{odd}"], exit=0,
                                   out=["Integrity:        verified", "Usable:           yes",
                                        # the path as it was typed: backslashes single,
                                        # the folder's letters as they are
                                        "Package:          {odd} ("]),
    "inspect_check_damaged": dict(pkg=["inspect", "--check", "{damaged}"], exit=2),
    "verify_damaged": dict(pkg=["verify", "{damaged}"], exit=2),
    "extract_into_non_ascii_folder": dict(pkg=["extract", "{odd}", "--image1", "{oddir}\\image1.bin",
                                               "--image2", "{oddir}\\image2.bin"], exit=0,
                                          files=["image1.bin", "image2.bin"]),
    "extract_refuses_existing": dict(pkg=["extract", "{demo}", "--image1", "{victim}",
                                          "--image2", "{dir}\\image2.bin"], exit=64,
                                     err=["already exists"]),
    "version": dict(pkg=["--version"], exit=0, out=["klvpkg 1."]),
}

ONLY = os.environ.get("KLV_CASES")
# Signed packages: signed on Linux and checked on Windows, and signed on Windows and
# checked on Linux. "steps" run one after the other: (program, arguments, exit status),
# where "host" is the native klvpkg (native paths) and the others the Windows programs.
BUILD_FROM_DEMO = ["--image1", "{files}\\i1", "--image2", "{files}\\i2", "--model", "4B4C5632",
                   "--usb", "0ABC:1234", "--prefix", "R20P-02."]
TRUST = {
    "linux_signed_installs": dict(sims=[[]], flash=["--port", "COM5", "--package", "{signed}",
                                                    "--trust", "{k1pub}", "--yes"] + FAST,
                                  exit=0, sim_exit=[0]),
    "another_signer_refused": dict(flash=["--port", "COM5", "--package", "{signed}", "--trust",
                                          "{k2pub}", "--yes"], exit=96,
                                   out=["ERROR! 96", "signed by another key"]),
    "unsigned_refused": dict(flash=["--port", "COM5", "--package", "{demo}", "--trust", "{k1pub}",
                                    "--yes"], exit=96, out=["not signed"]),
    "klvpkg_verifies_linux_signed": dict(pkg=["verify", "{signed}", "--trust", "{k1pub}"], exit=0),
    "klvpkg_refuses_another_signer": dict(pkg=["verify", "{signed}", "--trust", "{k2pub}"], exit=2),
    "windows_signed_verifies_on_linux": dict(
        sims=[[]], exit=0,
        steps=[("klvpkg", ["keygen", "--out", "{oddir}\\win.key"], 0),
               ("klvpkg", ["build", "-o", "{oddir}\\win-signed.klvpkg", "--sign",
                           "{oddir}\\win.key"] + BUILD_FROM_DEMO, 0),
               ("host", ["verify", "{oddir_native}/win-signed.klvpkg", "--trust",
                         "{oddir_native}/win.key.pub"], 0),
               ("host", ["verify", "{oddir_native}/win-signed.klvpkg", "--trust",
                         "{files_native}/k2.key.pub"], 2),
               ("klvflash", ["--port", "COM5", "--info", "--package", "{oddir}\\win-signed.klvpkg",
                             "--trust", "{oddir}\\win.key.pub"], 0)]),
}

GROUPS = {"update": UPDATE, "ports": PORTS, "discovery": DISCOVERY, "station": STATION,
          "interrupt": INTERRUPT, "klvpkg": KLVPKG,
          "trust": TRUST}
# Groups whose Wine has an X display: a window (the device watch's) needs one under Wine;
# the others run as on a server without one, where the watch cannot be made and the
# periodic rescan alone finds instruments.
WITH_DISPLAY = {"discovery"}


class Failure(Exception):
    pass


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Rig:
    """One Wine prefix for the cases of one group."""

    def __init__(self, work, options):
        self.work = work
        self.options = options
        self.prefix = work / "prefix"
        self.sims = []
        self.listed = set()
        self.display = None
        self.xvfb = None

    def env(self):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.pop("DISPLAY", None)
        # Wine takes its ANSI code page (1252) and its console's terminal encoding (UTF-8)
        # from the locale; C.UTF-8 is there on every Debian machine.
        env["LC_ALL"] = "C.UTF-8"
        if self.display:
            env["DISPLAY"] = self.display
        return env

    def start_display(self):
        for number in range(80, 90):
            if Path(f"/tmp/.X{number}-lock").exists():
                continue
            log = open(self.work / "xvfb.log", "w")
            xvfb = subprocess.Popen(["Xvfb", f":{number}", "-nolisten", "tcp", "-screen", "0",
                                     "640x480x24"], stdout=log, stderr=log)
            # Another run may have taken the number a moment earlier: the display is ours
            # only when its lock names our server.
            ours = False
            try:
                ours = wait_for_own_display(xvfb, number)
            finally:
                if not ours:  # also when the wait itself failed: no server is left behind
                    xvfb.kill()
                    xvfb.wait()
            if ours:
                self.display, self.xvfb = f":{number}", xvfb
                return
        raise Failure("no free X display among :80 to :89")

    def start(self):
        boot = subprocess.run(["wineboot", "-i"], env=self.env(), capture_output=True, text=True,
                              timeout=180)
        if boot.returncode != 0:
            raise Failure(f"wineboot: {boot.stderr.strip()}")
        subprocess.run(["wineserver", "-p"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def stop(self):
        for sim in self.sims:
            if sim.poll() is None:
                sim.kill()
                sim.wait()
        subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env(), capture_output=True)
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait()

    def start_windows(self, args, stdin_path, name):
        """Starts a Windows program; its output goes to files, as in wine()."""
        out = open(self.work / f"{name}.out", "wb")
        err = open(self.work / f"{name}.err", "wb")
        stdin = open(stdin_path, "rb") if stdin_path else subprocess.PIPE
        process = subprocess.Popen(["wine", *args], env=self.env(), stdin=stdin, stdout=out,
                                   stderr=err)
        return process, self.work / f"{name}.out", self.work / f"{name}.err"

    def wine(self, args, stdin_text="", name="run", timeout=RUN_WAIT_S):
        return self.run_native(["wine", *args], stdin_text, name, timeout)

    def run_native(self, args, stdin_text="", name="run", timeout=RUN_WAIT_S):
        stdin_path = self.work / f"{name}.in"
        stdin_path.write_bytes(stdin_text.encode())
        out = self.work / f"{name}.out"
        err = self.work / f"{name}.err"
        process = subprocess.Popen(args, env=self.env(), stdin=open(stdin_path, "rb"),
                                   stdout=open(out, "wb"), stderr=open(err, "wb"))
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure(f"{' '.join(args)} did not end within {timeout} s")
        return status, read(out), read(err)

    def reg_import(self, text):
        path = self.work / "change.reg"
        path.write_text(text)
        status, out, err = self.wine(["reg", "import", str(path)], name="reg")
        if status != 0:
            raise Failure(f"reg import: {out} {err}")

    def plug(self, args, com, index, listed, trace=False):
        """klvsim behind COMn; listed in the registry as USB 0ABC:1234 serial KLVSIM<index>."""
        link = self.prefix / "dosdevices" / f"com{com}"
        if link.is_symlink() or link.exists():
            link.unlink()
        self.sim_log = self.work / f"klvsim-{com}.err"
        log = open(self.sim_log, "w")
        sim = subprocess.Popen([self.options.klvsim, "--package", self.options.demo, "--link",
                                str(link), "--timeout", "60", *args] + (["--trace"] if trace else []),
                               stdout=subprocess.PIPE,
                               stderr=log, text=True)
        self.sims.append(sim)
        if not sim.stdout.readline().startswith("/"):
            raise Failure("klvsim did not start")
        if listed:
            key = rf"{ENUM_USB}\VID_0ABC&PID_1234\KLVSIM{index}"
            self.reg_import(
                "REGEDIT4\n\n"
                f"[{key}]\n"
                f'"ClassGUID"="{PORTS_CLASS}"\n'
                '"DeviceDesc"="Simulated instrument"\n'
                f'"FriendlyName"="Simulated instrument (COM{com})"\n\n'
                f"[{key}\\Device Parameters]\n"
                f'"PortName"="COM{com}"\n')
            self.listed.add(index)
        return sim

    def unplug_all(self):
        for sim in self.sims:
            if sim.poll() is None:
                sim.terminate()
                try:
                    sim.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    sim.kill()
        self.sims = []
        if self.listed:
            self.reg_import("REGEDIT4\n\n" + "".join(
                f"[-{ENUM_USB}\\VID_0ABC&PID_1234\\KLVSIM{index}]\n" for index in self.listed))
            self.listed = set()
        for link in (self.prefix / "dosdevices").glob("com*"):
            link.unlink()


def read(path):
    return path.read_bytes().decode("utf-8", "replace").replace("\r", "")


def wait_for_text(path, text, process, timeout=LINE_WAIT_S):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if text in read(path):
            return
        if process.poll() is not None:
            raise Failure(f"ended ({process.returncode}) before it printed {text!r}")
        time.sleep(0.1)
    raise Failure(f"{text!r} did not appear within {timeout} s")


def json_value(report, key):
    value = report
    for part in key.split("."):
        if isinstance(value, list):
            value = value[int(part)] if int(part) < len(value) else None
        elif isinstance(value, dict):
            value = value.get(part)
        else:
            return None
    return value


def check_output(case, values, status, out, err):
    problems = []
    if status != case["exit"]:
        problems.append(f"exit status {status}, expected {case['exit']}")
    for text in case.get("out", []):
        if text.format(**values) not in out:
            problems.append(f"missing on stdout: {text!r}")
    for text in case.get("err", []):
        if text.format(**values) not in err:
            problems.append(f"missing on stderr: {text!r}")
    for text in case.get("absent", []):
        if text in out:
            problems.append(f"unexpected on stdout: {text!r}")
    if "json" in case:
        try:
            report = json.loads(out)
        except ValueError as e:
            return problems + [f"stdout is not one JSON object: {e}"]
        for key, want in case["json"].items():
            got = json_value(report, key)
            if got != want:
                problems.append(f"json {key} is {got!r}, expected {want!r}")
    return problems


def run_case(rig, name, case, values):
    options = rig.options
    coms = case.get("com", [5] * len(case.get("sims", [])))
    listed = case.get("listed", [])
    problems = []
    if not case.get("late"):
        for index, args in enumerate(case.get("sims", [])):
            rig.plug(args, coms[index], index, index in listed, trace="at" in case)
    if "steps" in case:
        programs = {"klvpkg": ["wine", options.klvpkg], "klvflash": ["wine", options.klvflash],
                    "host": [options.host_klvpkg]}
        out = err = ""
        for number, (program, step_args, want) in enumerate(case["steps"]):
            command = programs[program] + [a.format(**values) for a in step_args]
            status, out, err = rig.run_native(command, name=f"{name}-{number}")
            if status != want:
                problems.append(f"step {number} ({program} {' '.join(step_args)}) ended with "
                                f"{status}, expected {want}")
                break
        return problems, out, err
    if "pkg" in case:
        status, out, err = rig.wine([options.klvpkg] + [a.format(**values) for a in case["pkg"]],
                                    name=name)
        problems += check_output(case, values, status, out, err)
        for file in case.get("files", []):
            if not (Path(values["oddir_native"]) / file).is_file():
                problems.append(f"{file} was not written into the folder")
        return problems, out, err
    args = [options.klvflash] + [a.format(**values) for a in case["flash"]]
    if "at" in case:
        # stdin stays open and silent: the question waits for an answer.
        process, out_path, err_path = rig.start_windows(args, None, name)
        where, text = case["at"]
        watched = {"sim": rig.sim_log if case.get("sims") else None, "out": out_path,
                   "err": err_path}[where]
        wait_for_text(watched, text, process)
        for _ in range(case["signals"]):
            time.sleep(0.3)
            process.send_signal(signal.SIGINT)
        try:
            status = process.wait(timeout=RUN_WAIT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure("klvflash did not end")
        process.stdin.close()
        out, err = read(out_path), read(err_path)
    elif case.get("late"):
        stdin_path = rig.work / f"{name}.in"
        stdin_path.write_bytes(b"")
        process, out_path, err_path = rig.start_windows(args, stdin_path, name)
        wait_for_text(out_path, "WAITING...", process)
        started = time.monotonic()
        time.sleep(1.0)
        rig.plug(case["sims"][0], 5, 0, True)
        if case.get("notify"):
            time.sleep(0.5)
            status, dout, derr = rig.wine([options.klvdrive, "--title", WATCH_TITLE, "devicechange"],
                                          name=name + "-notify")
            if status != 0:
                problems.append(f"the watch's window was not found ({dout} {derr})")
            started = time.monotonic()
        try:
            status = process.wait(timeout=RUN_WAIT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure("klvflash did not end")
        took = time.monotonic() - started
        if took > case.get("within_s", RUN_WAIT_S):
            problems.append(f"it took {took:.1f} s, more than {case['within_s']} s")
        out, err = read(out_path), read(err_path)
    elif case.get("console"):
        # script(1) gives the program a terminal; its output is the terminal's, stderr
        # included, with the console's cursor sequences.
        # The answer is typed once the question is there: the console drops what was
        # typed before it took the terminal over.
        command = " ".join(shlex.quote(a) for a in ["wine", *args]) + "; echo exit=$?"
        out_path = rig.work / f"{name}.out"
        process = subprocess.Popen(["script", "-qec", command, "/dev/null"], env=rig.env(),
                                   stdin=subprocess.PIPE, stdout=open(out_path, "wb"),
                                   stderr=subprocess.STDOUT)
        wait_for_text(out_path, "Install it?", process)
        time.sleep(0.3)
        process.stdin.write(case["stdin"].encode())
        process.stdin.flush()
        try:
            process.wait(timeout=RUN_WAIT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure("the console run did not end")
        out, err = read(out_path), ""
        out = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", out)
        found = re.search(r"exit=(\d+)", out)
        status = int(found.group(1)) if found else f"unknown ({status})"
    else:
        status, out, err = rig.wine(args, stdin_text=case.get("stdin", ""), name=name)
    problems += check_output(case, values, status, out, err)
    for index, want in enumerate(case.get("sim_exit", [])):
        try:
            got = rig.sims[index].wait(timeout=30)
        except subprocess.TimeoutExpired:
            got = "still running"
        if got != want:
            problems.append(f"klvsim {index} ended with {got}, expected {want}: "
                            + rig.sims[index].stdout.read())
    if "sim_lines" in case:
        sim = rig.sims[0]
        if sim.poll() is None:
            time.sleep(1.5)  # klvsim counts a packet cut short only after 1 s
            sim.terminate()
        summary = sim.stdout.read().split("\n")
        for line in case["sim_lines"]:
            if line not in summary:
                problems.append(f"klvsim's summary lacks {line!r}: " + " | ".join(summary))
    if "log_results" in case:
        records = [json.loads(line) for line in Path(values["log_native"]).read_text().splitlines()]
        results = sorted(r["result"]["code"] for r in records)
        if results != case["log_results"]:
            problems.append(f"log results {results}, expected {case['log_results']}")
        ports = sorted(r["port"] for r in records)
        if ports != case["log_ports"]:
            problems.append(f"log ports {ports}, expected {case['log_ports']}")
    if Path(values["victim_native"]).read_bytes() != Path(options.demo).read_bytes():
        problems.append("the file named as the port was changed")
    return problems, out, err


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--group")
    for name in ("klvflash", "klvpkg", "klvdrive", "klvsim", "host-klvpkg", "demo", "unusable"):
        parser.add_argument("--" + name)
    options = parser.parse_args()
    if options.list:
        print(";".join(GROUPS))
        return 0
    cases = GROUPS[options.group]
    if ONLY:  # for a developer: KLV_CASES=name,name runs only these cases of the group
        cases = {name: case for name, case in cases.items() if name in ONLY.split(",")}
    work = Path(tempfile.mkdtemp(prefix=f"klvflash-wine-{options.group}-"))
    rig = Rig(work, options)
    failed = []
    try:
        files = work / "files"
        (files / "dir").mkdir(parents=True)
        odd = files / ODD_FOLDER
        odd.mkdir()
        shutil.copyfile(options.demo, odd / "demo.klvpkg")
        shutil.copyfile(options.demo, files / "victim.klvpkg")
        damaged = bytearray(Path(options.demo).read_bytes())
        damaged[len(damaged) // 2] ^= 0x10
        (files / "damaged.klvpkg").write_bytes(damaged)
        # The demo package's images again, with a version text the code page matters to
        # (and a control byte that must stay escaped).
        subprocess.run([options.host_klvpkg, "extract", options.demo, "--image1", files / "i1",
                        "--image2", files / "i2"], check=True, capture_output=True)
        subprocess.run([options.host_klvpkg, "build", "-o", files / "ansi.klvpkg",
                        "--image1", files / "i1", "--image2", files / "i2",
                        "--model", "4B4C5632", "--usb", "0ABC:1234", "--prefix", "R20P-02.",
                        "--version-text", b"Ver. \xe9\x80 2\x07"], check=True, capture_output=True)
        # Keys and a package signed on Linux.
        for key in ("k1", "k2"):
            subprocess.run([options.host_klvpkg, "keygen", "--out", files / f"{key}.key"],
                           check=True, capture_output=True)
        subprocess.run([options.host_klvpkg, "build", "-o", files / "signed.klvpkg",
                        "--sign", files / "k1.key"] +
                       [a.format(files=files).replace("\\", "/") for a in BUILD_FROM_DEMO],
                       check=True, capture_output=True)
        values = dict(demo=windows_path(options.demo), ansi=windows_path(files / "ansi.klvpkg"),
                      signed=windows_path(files / "signed.klvpkg"),
                      k1pub=windows_path(files / "k1.key.pub"),
                      k2pub=windows_path(files / "k2.key.pub"),
                      files=windows_path(files), files_native=str(files), unusable=windows_path(options.unusable),
                      victim=windows_path(files / "victim.klvpkg"), dir=windows_path(files / "dir"),
                      odd=windows_path(odd / "demo.klvpkg"), oddir=windows_path(odd),
                      damaged=windows_path(files / "damaged.klvpkg"),
                      log=windows_path(files / "station.log"), oddir_native=str(odd),
                      log_native=str(files / "station.log"),
                      victim_native=str(files / "victim.klvpkg"))
        if options.group in WITH_DISPLAY:
            rig.start_display()
        rig.start()
        for name, case in cases.items():
            started = time.monotonic()
            try:
                problems, out, err = run_case(rig, name, case, values)
            except Failure as e:
                problems, out, err = [str(e)], "", ""
            finally:
                rig.unplug_all()
            verdict = "ok" if not problems else "FAILED"
            print(f"{options.group}.{name}: {verdict} ({time.monotonic() - started:.1f} s)")
            if problems:
                failed.append(name)
                for problem in problems:
                    print("    " + problem)
                print("    stdout: " + out.strip().replace("\n", "\n            ")[-3000:])
                print("    stderr: " + err.strip().replace("\n", "\n            ")[-3000:])
        print(f"{len(cases) - len(failed)} of {len(cases)} cases passed")
        return 1 if failed else 0
    finally:
        rig.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
