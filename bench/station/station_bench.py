#!/usr/bin/env python3
"""Figures of klvflash over a USB full-speed link model (klvsim --link-model full-speed).

usage: station_bench.py [BUILD_DIR]        (default build/linux)

1. One update with klvflash over the link model, for two packet sizes: the time from the
   host's first packet to the last reply beside the model's own minimum for the same
   packets (the figure klvsim prints on its "link:" line). Goal: the host adds at most 2 %.
2. The station updating 1, 4 and 8 simulated instruments at once with the demo package
   over the same link model, the real finish wait (about 10 s) included: the wall time
   for N beside the time for one in the same run, and the processor time klvflash used
   per instrument. Goal: 8 instruments in at most 1.3 times the time of one.

It prints figures and checks nothing.
"""
import os
import resource
import subprocess
import sys
import time


def start_sims(klvsim, package, count, max_packet):
    sims = []
    for _ in range(count):
        proc = subprocess.Popen([klvsim, "--package", package, "--link-model", "full-speed",
                                 "--max-packet", str(max_packet), "--timeout", "60"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        sims.append((proc, proc.stdout.readline().strip()))
    return sims


def sim_report(proc):
    out, _ = proc.communicate(timeout=120)
    return out


def run_timed(args):
    """Wall seconds and the child's processor seconds (user + system)."""
    start = time.monotonic()
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    return wall, usage.ru_utime + usage.ru_stime, code


def single(klvsim, klvflash, package, max_packet):
    [(proc, pty)] = start_sims(klvsim, package, 1, max_packet)
    _, _, code = run_timed([klvflash, "--port", pty, "--package", package, "--yes",
                            "--x-settle-slice-ms", "0"])
    report = sim_report(proc)
    link = next((l for l in report.splitlines() if l.startswith("link: ")), "link: (none)")
    verdict = next((l for l in report.splitlines() if l.startswith("verdict: ")), "verdict: ?")
    print("  max packet %5d: %s; klvflash exit %d, %s" % (max_packet, link[6:], code, verdict))


def station(klvsim, klvflash, package, count):
    sims = start_sims(klvsim, package, count, 1024)
    args = [klvflash, "--station", "--yes", "--package", package, "--count", str(count)]
    for _, pty in sims:
        args += ["--port", pty]
    wall, cpu, code = run_timed(args)
    verdicts = [next((l for l in sim_report(p).splitlines() if l.startswith("verdict: ")), "?")
                for p, _ in sims]
    ok = sum(v == "verdict: ok" for v in verdicts)
    return wall, cpu, code, ok


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/linux"
    klvsim = os.path.join(build, "bin", "klvsim")
    klvflash = os.path.join(build, "bin", "klvflash")
    package = os.path.join(build, "res", "demo", "demo.klvpkg")
    print("one update over the full-speed link model (finish wait cut short):")
    for max_packet in (1024, 65535):
        single(klvsim, klvflash, package, max_packet)
    print("the station, N instruments at once, real finish wait, max packet 1024:")
    one = None
    for count in (1, 4, 8):
        wall, cpu, code, ok = station(klvsim, klvflash, package, count)
        one = one or wall
        print("  N=%d: %.2f s (%.2f x one), klvflash CPU %.3f s = %.3f s per instrument, "
              "exit %d, %d of %d verdicts ok" % (count, wall, wall / one, cpu, cpu / count,
                                                 code, ok, count))
    return 0


if __name__ == "__main__":
    sys.exit(main())
