#!/usr/bin/env python3
"""klvflash against klvsim over a pseudo-terminal, one case of the table per run.

usage: klvflash_cases.py --list
       klvflash_cases.py KLVSIM KLVFLASH DEMO_PACKAGE UNUSABLE_PACKAGE CASE

In the arguments {port} is the pty that klvsim prints, {demo} and {unusable} the
packages. "sim_exit" is checked only where given (klvsim's own verdict: 0 when the host
broke no rule and the images it received match the package).
"""
import fcntl
import os
import subprocess
import sys

FAST = ["--x-settle-slice-ms", "0"]

CASES = {
    # The one run with the real 10.2 s settle wait.
    "completed": dict(sim=["--package", "{demo}"], flash=["--yes"], exit=0, sim_exit=0,
                      out=["PROGRAM UPDATE", "Ver. 03.0100", "NOW LOADING",
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
                           exit=16, out=["UNABLE TO UPDATE", "not made for this instrument"]),
    "version_rejected": dict(sim=["--package", "{demo}", "--fw-version", "R99-01.00"],
                             flash=["--yes"], exit=17, out=["UNABLE TO UPDATE"]),
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
    "usage_unknown_option": dict(sim=None, flash=["--port", "/dev/null", "--colour"], exit=64,
                                 no_port=True),
}


def expand(args, values):
    return [a.format(**values) for a in args]


def main():
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
        return 0
    klvsim, klvflash, demo, unusable, name = sys.argv[1:6]
    case = CASES[name]
    values = dict(demo=demo, unusable=unusable, port="")
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
                             capture_output=True, timeout=120)
        run = subprocess.CompletedProcess(raw.args, raw.returncode, raw.stdout.decode(),
                                          raw.stderr.decode())
        print("klvflash", " ".join(flash_args), "->", run.returncode)
        print(run.stdout, end="")
        print(run.stderr, end="", file=sys.stderr)
        ok = run.returncode == case["exit"]
        lines = run.stdout.split("\n")
        for text in case.get("out", []):
            if not any(text in line for line in lines):
                print("missing on stdout:", repr(text))
                ok = False
        for text in case.get("absent", []):
            if text in run.stdout:
                print("unexpected on stdout:", repr(text))
                ok = False
        for text in case.get("err", []):
            if text not in run.stderr:
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
        return 0 if ok else 1
    finally:
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
