#!/usr/bin/env python3
"""klvflash interrupted, or losing its port, at each stage of an update against klvsim
over a pseudo-terminal; one case of the table per run.

usage: klvflash_interrupt_cases.py --list
       klvflash_interrupt_cases.py KLVSIM KLVFLASH DEMO_PACKAGE CASE

Each case starts klvsim (with a delay that holds the run at the stage wanted), starts
klvflash, waits for a line that shows the stage has come, then sends the signals (or pulls
the port), and checks klvflash's exit status, how soon it ended, what it said, and
klvsim's account: no half packet (klvsim counts a cut packet as a violation), and how far
the images got.
"""
import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time

LINE_WAIT_S = 30
RUN_WAIT_S = 60
# klvsim counts a packet whose rest does not come within 1 s as cut short: give it time
# to notice before it is asked for its verdict.
CUT_PACKET_WAIT_S = 1.5

# Holds the transfer on image 2's chunk 5 (its acknowledgement comes 3 s late).
HOLD_TRANSFER = ["--fault", "image2-chunk:5:delay:3000"]
# Holds the connection on the identify reply.
HOLD_CONNECT = ["--fault", "identify:delay:5000"]
SLOW_FINISH = ["--x-settle-slice-ms", "100"]  # the finish wait lasts 5.1 s

STOPPED_IN_TRANSFER = "The instrument was left without the new firmware"
WARNING_IN_TRANSFER = "Press Ctrl-C again within 3 s to stop anyway."
WARNING_IN_FINISH = "keep it connected. This ends by itself"

CASES = {
    # Before the transfer: ends at once, nothing of the images sent.
    "sigint_while_connecting": dict(sim=HOLD_CONNECT, flash=["--yes"], at=("sim", "fault  identify"),
                                    after_s=0.3, signals=["INT"], exit=130, within_s=1.5,
                                    out=["Stopped before the update began."],
                                    images="none"),
    "sigterm_while_connecting": dict(sim=HOLD_CONNECT, flash=["--yes"], at=("sim", "fault  identify"),
                                     after_s=0.3, signals=["TERM"], exit=143, within_s=1.5,
                                     out=["Stopped before the update began."], images="none"),
    "sigint_at_the_question": dict(flash=[], at=("out", "Install it? [YES/NO]"),
                                   signals=["INT"], exit=130, within_s=1.5,
                                   out=["Stopped before the update began."],
                                   absent=["NOW LOADING"], images="none"),
    "sighup_at_the_question": dict(flash=[], at=("out", "Install it? [YES/NO]"),
                                   signals=["HUP"], exit=143, within_s=1.5,
                                   absent=["NOW LOADING"], images="none"),
    # During the transfer: one Ctrl-C warns and the update completes.
    "one_sigint_during_transfer": dict(sim=HOLD_TRANSFER, flash=["--yes", "--x-settle-slice-ms", "0"],
                                       at=("sim", "fault  image2-chunk:5"), after_s=0.3,
                                       signals=["INT"], exit=0,
                                       out=["Please disconnect the cable"],
                                       err=[WARNING_IN_TRANSFER], images="complete"),
    # A second one within the window stops between two packets.
    "two_sigints_during_transfer": dict(sim=HOLD_TRANSFER, flash=["--yes"],
                                        at=("sim", "fault  image2-chunk:5"), after_s=0.3,
                                        signals=["INT", "INT"], exit=130,
                                        out=["STOPPED DURING THE TRANSFER", STOPPED_IN_TRANSFER],
                                        err=[WARNING_IN_TRANSFER], images="partial"),
    "sigterm_during_transfer": dict(sim=HOLD_TRANSFER, flash=["--yes"],
                                    at=("sim", "fault  image2-chunk:5"), after_s=0.3,
                                    signals=["TERM"], exit=143,
                                    out=[STOPPED_IN_TRANSFER], images="partial"),
    "sighup_during_transfer": dict(sim=HOLD_TRANSFER, flash=["--yes"],
                                   at=("sim", "fault  image2-chunk:5"), after_s=0.3,
                                   signals=["HUP"], exit=143,
                                   out=[STOPPED_IN_TRANSFER], images="partial"),
    # During the finish wait nothing stops it.
    "sigint_during_finish": dict(flash=["--yes"] + SLOW_FINISH, at=("err", "finishing:"),
                                 after_s=0.5, signals=["INT", "INT"], exit=0,
                                 out=["Please disconnect the cable"], err=[WARNING_IN_FINISH],
                                 images="complete"),
    "sigterm_during_finish": dict(flash=["--yes"] + SLOW_FINISH, at=("err", "finishing:"),
                                  after_s=0.5, signals=["TERM"], exit=0,
                                  out=["Please disconnect the cable"], err=[WARNING_IN_FINISH],
                                  images="complete"),
    # The port goes away while the question is asked: ERROR! 03 at once.
    "instrument_gone_at_the_question": dict(flash=[], at=("out", "Install it? [YES/NO]"),
                                            pull="kill", exit=3, within_s=2.0,
                                            out=["ERROR! 03", "went away"]),
    "device_node_removed_at_the_question": dict(flash=[], link=True,
                                                at=("out", "Install it? [YES/NO]"),
                                                pull="unlink", exit=3, within_s=2.0,
                                                out=["ERROR! 03", "went away"],
                                                images="none"),
}


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


def summary_of(text):
    """klvsim's summary lines as a dict (the first value of each key)."""
    values = {}
    for line in text.splitlines():
        key, _, value = line.partition(": ")
        values.setdefault(key, value)
    return values


def check_images(case, summary):
    want = case.get("images")
    if want is None:
        return True
    image2 = summary.get("image 2", "")
    image1 = summary.get("image 1", "")
    if want == "none":
        ok = image2 == "not sent" and image1 == "not sent"
    elif want == "partial":
        ok = "not ended" in image2 and image1 == "not sent"
    else:
        ok = summary.get("images") == "match the package" and summary.get("finish") == "acknowledged"
    if not ok:
        print("images: expected", want, "but klvsim says", image2, "/", image1)
    return ok


def main():
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
        return 0
    klvsim, klvflash, demo, name = sys.argv[1:5]
    case = CASES[name]
    folder = tempfile.mkdtemp(prefix="klvflash-interrupt-")
    link = os.path.join(folder, "ttyKLV")
    sim = flash = None
    try:
        # With a held step, klvsim's trace tells when the hold has begun.
        held = case["at"][0] == "sim"
        sim_args = [klvsim, "--timeout", "30", "--package", demo] + case.get("sim", [])
        if held:
            sim_args.append("--trace")
        if case.get("link"):
            sim_args += ["--link", link]
        sim = subprocess.Popen(sim_args, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE if held else None, text=True)
        sim_trace = Lines(sim.stderr) if held else None
        pty = sim.stdout.readline().strip()
        if not pty:
            print("klvsim printed no port")
            return 1
        port = link if case.get("link") else pty
        args = ["--port", port] + case["flash"]
        print("klvflash", " ".join(args))
        # stdin stays open and silent: the question waits for an answer.
        flash = subprocess.Popen([klvflash] + args, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out = Lines(flash.stdout)
        err = Lines(flash.stderr)
        stream, text = case["at"]
        lines = {"out": out, "err": err, "sim": sim_trace}[stream]
        if not lines.wait_for(text):
            print("klvflash never said", repr(text))
        time.sleep(case.get("after_s", 0.3))
        start = time.monotonic()
        for number, sig in enumerate(case.get("signals", [])):
            if number:
                time.sleep(0.3)
            flash.send_signal(getattr(signal, "SIG" + sig))
        if case.get("pull") == "kill":
            sim.kill()
        elif case.get("pull") == "unlink":
            os.unlink(link)
        try:
            code = flash.wait(timeout=RUN_WAIT_S)
        except subprocess.TimeoutExpired:
            print("klvflash still running after %d s; ended" % RUN_WAIT_S)
            flash.kill()
            code = flash.wait()
        took = time.monotonic() - start
        flash.stdin.close()
        out_lines, err_lines = out.text(), err.text()
        print("-> %d after %.2f s" % (code, took))
        print("\n".join(out_lines))
        print("\n".join(err_lines), file=sys.stderr)

        ok = code == case["exit"]
        if not ok:
            print("exit status", code, "expected", case["exit"])
        if "within_s" in case and took > case["within_s"]:
            print("ended %.2f s after the signal, expected within %.1f s" % (took, case["within_s"]))
            ok = False
        for text in case.get("out", []):
            if not any(text in line for line in out_lines):
                print("missing on stdout:", repr(text))
                ok = False
        for text in case.get("absent", []):
            if any(text in line for line in out_lines):
                print("unexpected on stdout:", repr(text))
                ok = False
        for text in case.get("err", []):
            if not any(text in line for line in err_lines):
                print("missing on stderr:", repr(text))
                ok = False

        if case.get("pull") != "kill":
            if sim.poll() is None:
                time.sleep(CUT_PACKET_WAIT_S)
                sim.send_signal(signal.SIGTERM)
            sim_exit = sim.wait(timeout=30)
            report = sim.stdout.read()
            print("klvsim ->", sim_exit)
            print(report, end="")
            summary = summary_of(report)
            if summary.get("violations") != "none" or sim_exit != 0:
                print("klvsim saw a violation (a half packet?) or failed")
                ok = False
            ok = check_images(case, summary) and ok
        return 0 if ok else 1
    finally:
        for process in (flash, sim):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
        if os.path.lexists(link):
            os.unlink(link)
        os.rmdir(folder)


if __name__ == "__main__":
    sys.exit(main())
