#!/usr/bin/env python3
"""Runs wine_com_port_check.exe under Wine on a COM port that leads to a pseudo-terminal.

Makes the pty, links a free $WINEPREFIX/dosdevices/comN to its slave, plays the
instrument's side of the conversation the program expects, and removes the link and
any process it started, whatever happens. Uses $WINEPREFIX when set, otherwise a
throw-away prefix of its own.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import tty

TIMEOUT_S = 60


def pattern(count, seed):
    return bytes((i * 13 + seed) & 0xFF for i in range(count))


def read_timed(fd, count, deadline_s):
    """Reads count bytes as they arrive; returns them and each byte's arrival time."""
    import select
    import time
    data = b""
    arrivals = []
    end = time.monotonic() + deadline_s
    while len(data) < count:
        left = end - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            break
        chunk = os.read(fd, count - len(data))
        if not chunk:
            break
        now = time.monotonic()
        data += chunk
        arrivals += [now] * len(chunk)
    return data, arrivals


# A write of a multiple of 64 bytes leaves as all but the last byte, a pause of 100 ms
# and the last byte; any other write leaves whole. Seen from the line: the 64th byte
# comes at least ~100 ms after the 63rd, the 65 bytes after it come without a pause.
SPLIT_PAUSE_MIN_S = 0.08
NO_PAUSE_MAX_S = 0.05


def check_split(arrivals):
    ok = True
    pause = arrivals[63] - arrivals[62]
    first_part = arrivals[62] - arrivals[0]
    print("63 bytes within %.1f ms, the 64th %.1f ms after them" % (first_part * 1000, pause * 1000))
    if pause < SPLIT_PAUSE_MIN_S:
        print("FAIL the 64-byte write was not split 63 + 1 with its pause")
        ok = False
    if first_part >= SPLIT_PAUSE_MIN_S:
        print("FAIL a pause inside the first 63 bytes")
        ok = False
    whole = arrivals[128] - arrivals[64]
    print("the 65-byte write within %.1f ms" % (whole * 1000))
    if whole >= NO_PAUSE_MAX_S:
        print("FAIL the 65-byte write paused on the way")
        ok = False
    return ok


def free_com_link(dosdevices):
    for n in range(40, 100):
        link = os.path.join(dosdevices, "com%d" % n)
        if not os.path.lexists(link):
            return n, link
    raise RuntimeError("no free COM name in " + dosdevices)


def main():
    exe = sys.argv[1]
    cleanups = []
    try:
        prefix = os.environ.get("WINEPREFIX")
        env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
        if not prefix:
            scratch = tempfile.mkdtemp(prefix="klv-wine-")
            prefix = os.path.join(scratch, "wp")
            env["WINEPREFIX"] = prefix
            cleanups.append(lambda: shutil.rmtree(scratch, ignore_errors=True))
            cleanups.append(lambda: subprocess.run(["wineserver", "-k"], env=env))
            subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=120,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        dosdevices = os.path.join(prefix, "dosdevices")
        os.makedirs(dosdevices, exist_ok=True)

        master, slave = os.openpty()
        cleanups.append(lambda: os.close(master))
        cleanups.append(lambda: os.close(slave))
        tty.setraw(slave, termios.TCSANOW)
        number, link = free_com_link(dosdevices)
        os.symlink(os.ttyname(slave), link)
        cleanups.append(lambda: os.unlink(link))

        program = subprocess.Popen(["wine", exe, "COM%d" % number], env=env,
                                   stdout=subprocess.PIPE, text=True)
        cleanups.append(lambda: program.poll() is None and program.kill())
        killer = threading.Timer(TIMEOUT_S, program.kill)
        killer.start()
        cleanups.append(killer.cancel)

        lines = []
        for line in program.stdout:
            lines.append(line.rstrip())
            print(line.rstrip())
            if line.startswith("READY"):
                break
        if not lines or not lines[-1].startswith("READY"):
            print("the program did not get the port open")
            return 1
        os.write(master, bytes(range(256)))
        got, arrivals = read_timed(master, 129, 20)
        expected = pattern(64, 1) + pattern(65, 2)
        ok = got == expected
        if not ok:
            print("the pty received %d bytes, not the 129 expected ones" % len(got))
        else:
            ok = check_split(arrivals)
        for line in program.stdout:
            print(line.rstrip())
        status = program.wait()
        print("program exit status", status)
        return 0 if ok and status == 0 else 1
    finally:
        for cleanup in reversed(cleanups):
            try:
                cleanup()
            except Exception as error:  # keep cleaning up
                print("cleanup:", error)


if __name__ == "__main__":
    sys.exit(main())
