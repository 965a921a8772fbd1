#!/usr/bin/env python3
"""klvflash against klvsim over a pseudo-terminal, one case of the table per run.

usage: klvflash_cases.py --list
       klvflash_cases.py KLVSIM KLVFLASH DEMO_PACKAGE UNUSABLE_PACKAGE CASE

In the arguments {port} is the pty that klvsim prints, {demo} and {unusable} the
packages, {victim} a copy of the demo package (which must come out unchanged), {dir} a
folder and {fifo} a FIFO. "sim_exit" is checked only where given (klvsim's own verdict: 0
when the host broke no rule and the images it received match the package); "sim_lines"
are lines of klvsim's summary, read after klvflash has ended and klvsim was stopped.
"json" checks that stdout is exactly one JSON object with these values.
"""
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

FAST = ["--x-settle-slice-ms", "0"]

CASES = {
    # The one run with the real 10.2 s settle wait.
    "completed": dict(sim=["--package", "{demo}"], flash=["--yes"], exit=0, sim_exit=0,
                      out=["Port:     {port}", "Model:    4B4C5632", 'Versions: "R20P-02.00"',
                           "PROGRAM UPDATE", "Ver. 03.0100", "NOW LOADING",
                           "Please disconnect the cable after the LED flashing ends."]),
    "completed_with_answer_yes": dict(sim=["--package", "{demo}"], flash=FAST, stdin="yes\n",
                                      exit=0, sim_exit=0),
    "completed_from_package_file": dict(sim=["--package", "{demo}"],
                                        flash=["--package", "{demo}", "--yes"] + FAST,
                                        exit=0, sim_exit=0),
    "trace_lines_on_stdout": dict(sim=["--package", "{demo}"], flash=["--yes", "--trace"] + FAST,
                                  exit=0, out=["Send(20)\r", "Recv(4)(4)\r", "Recv(16)(16)\r"]),
    "link_failure": dict(sim=["--package", "{demo}", "--fault", "sync:changed"], flash=["--yes"],
                         exit=1, out=["ERROR! 01"]),
    "version_exchange_failure": dict(sim=["--package", "{demo}", "--fault", "version-ack:unexpected"],
                                     flash=["--yes"], exit=2, out=["ERROR! 02"]),
    "image_failure": dict(sim=["--package", "{demo}", "--fault", "image1-chunk:3:unexpected"],
                          flash=["--yes"], exit=3, out=["NOW LOADING", "ERROR! 03"]),
    "finish_failure": dict(sim=["--package", "{demo}", "--fault", "finish:unexpected"],
                           flash=["--yes"], exit=3, out=["ERROR! 03"]),
    "model_rejected": dict(sim=["--package", "{demo}", "--model", "00000000"], flash=["--yes"],
                           exit=16, out=["UNABLE TO UPDATE", "not made for this instrument",
                                         "The instrument reported model 00000000; this package "
                                         "serves model 4B4C5632 4B4C5633."]),
    "version_rejected": dict(sim=["--package", "{demo}", "--fw-version", "R99-01.00"],
                             flash=["--yes"], exit=17,
                             out=["UNABLE TO UPDATE", 'Versions: "R99-01.00"',
                                  'The instrument reported versions "R99-01.00"; this package '
                                  'serves versions starting with "R20P-02." "R20P-03.".']),
    # --info: what was found, and nothing of the images sent.
    "info_served": dict(sim=["--package", "{demo}", "--fw-version", "R20P-03.01",
                             "--fw-version", "BOOT 1.2"], flash=["--info"], exit=0,
                        out=["Port:     {port}", "Model:    4B4C5632",
                             'Versions: "R20P-03.01" "BOOT 1.2"',
                             "This package serves this instrument."],
                        absent=["PROGRAM UPDATE", "NOW LOADING"],
                        sim_lines=["image 2: not sent", "image 1: not sent", "violations: none"]),
    "info_model_not_served": dict(sim=["--package", "{demo}", "--model", "01020304"],
                                  flash=["--info"], exit=16,
                                  out=["Model:    01020304", "UNABLE TO UPDATE",
                                       "reported model 01020304"],
                                  sim_lines=["image 2: not sent", "violations: none"]),
    "info_version_not_served": dict(sim=["--package", "{demo}", "--fw-version", "R10-01"],
                                    flash=["--info"], exit=17,
                                    out=['Versions: "R10-01"', "UNABLE TO UPDATE",
                                         'reported versions "R10-01"'],
                                    sim_lines=["image 2: not sent", "violations: none"]),
    # Texts from the instrument never reach the terminal raw.
    "instrument_texts_escaped": dict(sim=["--package", "{demo}", "--fw-version",
                                          "R20P-02.\x1b]0;owned\x07\x1b[2J"],
                                     flash=["--info"], exit=0,
                                     out=['Versions: "R20P-02.\\x1b]0;owned\\x07\\x1b[2J"'],
                                     raw_control_free=True),
    # --json: one object on stdout whatever happened; the messages on stderr.
    "json_completed": dict(sim=["--package", "{demo}"], flash=["--yes", "--json"] + FAST, exit=0,
                           sim_exit=0, err=["PROGRAM UPDATE"],
                           json={"port": "{port}", "model": "4b4c5632", "maxPacket": 1024,
                                 "versions": ["523230502d30322e3030"], "result": 0,
                                 "package.image1.length": 1441793,
                                 "package.image1.sha256": "f26ac568792e9fa02a6221f85b3d41e806f349d8d8e9cd485a46810928d48d57",
                                 "package.image2.length": 307202},
                           json_phases=["found", "connected", "identified", "versions",
                                        "transfer", "finish"]),
    "json_link_failure": dict(sim=["--package", "{demo}", "--fault", "sync:changed"],
                              flash=["--yes", "--json"], exit=1,
                              json={"result": 1, "model": None, "versions": []},
                              json_message="ERROR! 01"),
    "json_declined": dict(sim=["--package", "{demo}"], flash=["--json"], stdin="no\n", exit=65,
                          json={"result": 65, "model": "4b4c5632"}),
    "json_port_refused": dict(sim=None, flash=["--port", "{victim}", "--json"], exit=64,
                              no_port=True, json={"result": 64, "port": None},
                              json_message="is a regular file"),
    # What an operator might name by mistake: refused before a byte is written.
    "port_is_a_package_file": dict(sim=None, flash=["--port", "{victim}", "--yes"], exit=64,
                                   no_port=True, err=["is a regular file, not a serial device"]),
    "port_is_a_directory": dict(sim=None, flash=["--port", "{dir}", "--yes"], exit=64,
                                no_port=True, err=["is a directory, not a serial device"]),
    "port_is_dev_null": dict(sim=None, flash=["--port", "/dev/null", "--yes"], exit=64,
                             no_port=True, err=["is a character device but no terminal"]),
    "port_is_dev_zero": dict(sim=None, flash=["--port", "/dev/zero", "--yes"], exit=64,
                             no_port=True, err=["is a character device but no terminal"]),
    "port_is_a_fifo": dict(sim=None, flash=["--port", "{fifo}", "--yes"], exit=64,
                           no_port=True, err=["is a FIFO"]),
    "port_empty": dict(sim=None, flash=["--port", "", "--yes"], exit=64, no_port=True,
                       err=["--port: the device name is empty"]),
    "package_empty": dict(sim=["--package", "{demo}"], flash=["--package", "", "--yes"], exit=64,
                          err=["--package: the file name is empty"],
                          sim_lines=["packets: 0"]),
    "package_is_a_directory": dict(sim=["--package", "{demo}"], flash=["--package", "{dir}", "--yes"],
                                   exit=66, err=["is a directory, not a package file"],
                                   sim_lines=["packets: 0"]),
    "package_is_dev_zero": dict(sim=None, flash=["--package", "/dev/zero", "--yes"], exit=66,
                                no_port=True, err=["is a character device, not a package file"]),
    "package_is_a_fifo": dict(sim=None, flash=["--package", "{fifo}", "--yes"], exit=66,
                              no_port=True, err=["is a FIFO"]),
    "answered_no": dict(sim=["--package", "{demo}"], flash=[], stdin="no\n", exit=65,
                        out=["PROGRAM UPDATE"], absent=["NOW LOADING"]),
    "end_of_input_answers_no": dict(sim=["--package", "{demo}"], flash=[], stdin="", exit=65,
                                    absent=["NOW LOADING"]),
    "unusable_package": dict(sim=["--package", "{demo}"], flash=["--package", "{unusable}", "--yes"],
                             exit=96, out=["ERROR! 96"]),
    "port_missing": dict(sim=None, flash=["--port", "/dev/klv-no-such-port", "--yes"], exit=80,
                         out=["ERROR! 80", "There is no port"], no_port=True),
    "port_busy": dict(sim=["--package", "{demo}"], flash=["--yes"], hold=True, exit=80,
                      out=["ERROR! 80", "in use by another program"]),
    "usage_list_with_port": dict(sim=None, flash=["--list", "--port", "/dev/null"], exit=64,
                                 no_port=True, err=["excludes"]),
    "help_ends_with_exit_statuses": dict(sim=None, flash=["--help"], exit=0, no_port=True,
                                         out=["Exit status: 0 completed"]),
    "version": dict(sim=None, flash=["--version"], exit=0, no_port=True, out=["klvflash 1."]),
    "usage_unknown_option": dict(sim=None, flash=["--port", "/dev/null", "--colour"], exit=64,
                                 no_port=True),
}


def expand(args, values):
    return [a.format(**values) for a in args]


def check_json(case, values, stdout):
    try:
        report = json.loads(stdout)
    except ValueError as e:
        print("stdout is not one JSON object:", e)
        return False
    ok = True
    for key, want in case["json"].items():
        got = report
        for part in key.split("."):
            got = got.get(part) if isinstance(got, dict) else None
        if isinstance(want, str):
            want = want.format(**values)
        if got != want:
            print("json", key, "is", repr(got), "expected", repr(want))
            ok = False
    for phase in case.get("json_phases", []):
        if not isinstance(report["phases"].get(phase), float):
            print("json phases lack", phase, report["phases"])
            ok = False
    if "json_message" in case and case["json_message"] not in report["message"]:
        print("json message", repr(report["message"]))
        ok = False
    return ok


def main():
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
        return 0
    klvsim, klvflash, demo, unusable, name = sys.argv[1:6]
    case = CASES[name]
    folder = tempfile.mkdtemp(prefix="klvflash-case-")
    values = dict(demo=demo, unusable=unusable, port="", victim=os.path.join(folder, "victim.klvpkg"),
                  dir=os.path.join(folder, "dir"), fifo=os.path.join(folder, "fifo"))
    shutil.copyfile(demo, values["victim"])
    os.mkdir(values["dir"])
    os.mkfifo(values["fifo"])
    with open(demo, "rb") as f:
        demo_bytes = f.read()
    sim = None
    held = None
    try:
        if case["sim"] is not None:
            sim = subprocess.Popen([klvsim, "--timeout", "20"] + expand(case["sim"], values),
                                   stdout=subprocess.PIPE, text=True)
            values["port"] = sim.stdout.readline().strip()
            if not values["port"]:
                print("klvsim printed no port")
                return 1
        flash_args = expand(case["flash"], values)
        if not case.get("no_port"):
            flash_args = ["--port", values["port"]] + flash_args
        if case.get("hold"):
            held = os.open(values["port"], os.O_RDWR | os.O_NOCTTY)
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        # Bytes, so that the trace lines' \r\n stay as written.
        raw = subprocess.run([klvflash] + flash_args, input=case.get("stdin", "").encode(),
                             capture_output=True, timeout=60)
        run = subprocess.CompletedProcess(raw.args, raw.returncode, raw.stdout.decode(),
                                          raw.stderr.decode())
        print("klvflash", " ".join(flash_args), "->", run.returncode)
        print(run.stdout, end="")
        print(run.stderr, end="", file=sys.stderr)
        ok = run.returncode == case["exit"]
        lines = run.stdout.split("\n")
        for text in case.get("out", []):
            if not any(text.format(**values) in line for line in lines):
                print("missing on stdout:", repr(text.format(**values)))
                ok = False
        if case.get("raw_control_free"):
            if any(c < 0x20 and c not in (0x0A, 0x0D) or c >= 0x7F for c in raw.stdout):
                print("a control character reached stdout raw")
                ok = False
        if "json" in case:
            ok = check_json(case, values, run.stdout) and ok
        with open(values["victim"], "rb") as f:
            if f.read() != demo_bytes:
                print("the file named as the port was changed")
                ok = False
        for text in case.get("absent", []):
            if text in run.stdout:
                print("unexpected on stdout:", repr(text))
                ok = False
        for text in case.get("err", []):
            if text.format(**values) not in run.stderr:
                print("missing on stderr:", repr(text))
                ok = False
        if "trace" not in name and any(l.startswith(("Send(", "Recv(")) for l in lines):
            print("trace lines on stdout without --trace")
            ok = False
        if sim is not None and "sim_exit" in case:
            sim_exit = sim.wait(timeout=30)
            print("klvsim ->", sim_exit)
            print(sim.stdout.read(), end="")
            ok = ok and sim_exit == case["sim_exit"]
        if sim is not None and "sim_lines" in case:
            time.sleep(0.3)
            sim.terminate()
            sim.wait(timeout=30)
            report = sim.stdout.read()
            print("klvsim:", report, end="")
            for text in case["sim_lines"]:
                if text not in report.split("\n"):
                    print("missing in klvsim's summary:", repr(text))
                    ok = False
        return 0 if ok else 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if held is not None:
            os.close(held)
        if sim is not None and sim.poll() is None:
            sim.terminate()
            try:
                sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                sim.kill()


if __name__ == "__main__":
    sys.exit(main())
