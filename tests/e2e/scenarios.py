"""The end-to-end scenarios: one row each, run by e2e_runner.py.

A row names its ctest group, the program it starts (the product, or a variant with a
package it must refuse: "unusable" without image1, "damaged" whose digest does not match), the simulated instrument's options, which of the package's
USB id pairs the instrument presents, and its steps, in order:

  start              start the program and wait for its window
  plug               start klvsim, link the COM port to it, list the device in the
                     registry, and post WM_DEVICECHANGE when the program runs
  unplug             the reverse: registry entry gone, klvsim stopped, WM_DEVICECHANGE
  devicechange       post WM_DEVICECHANGE alone
                     (plug:sent, unplug:sent, devicechange:sent: the notification is
                     sent, as the system sends it, instead of posted)
  busy               wait until the program has started talking to the instrument
  screen:NAME        wait until the window shows that screen in full (waiting, confirm,
                     loading, done, unable, error:NN)
  press:KEY          yes, no, ok (buttons), esc, enter (keys), close (the Close command)
  ignored            give the program a moment, then its window must still be there
  second             with another window in front, a second copy ends at once and
                     brings this one forward
  ended              the window goes and the program exits with status 0
  trace              the program's standard output is its trace and nothing else
  sim:updated        klvsim ended on its own: both images arrived byte-exact, finished
  sim:untouched      klvsim was connected to but no image was sent
  sim:silent         klvsim received no packet at all

After every row each klvsim run must report no protocol violation.
"""

from dataclasses import dataclass, field


@dataclass(frozen=True)
class Row:
    group: str
    name: str
    steps: str
    sim: list = field(default_factory=list)
    program: str = "product"
    usb: int = 0


# Holds a screen on which the program talks to the instrument: each delay below the 5 s
# reply time-out, so a run that is not interrupted still goes on normally; three of them
# keep the connection going for about 9 s, long enough for a row's presses on a loaded
# machine (each klvdrive run under Wine takes up to a second or more there).
HOLD_CONNECTING = ["--fault", "sync:delay:3000", "--fault", "size:delay:3000",
                   "--fault", "identify:delay:3000"]
# Image start acknowledgements are awaited for a minute or more: a long hold that only
# an unplugged instrument (or the hold's end) cuts short.
HOLD_IMAGE2_START = ["--fault", "image2-start:delay:20000"]
HOLD_IMAGE1_START = ["--fault", "image1-start:delay:20000"]

ROWS = [
    # Finding the instrument.
    Row("attach", "plugged in before the start; Enter and a second copy change nothing; NO ends",
        "plug start screen:confirm press:enter ignored screen:confirm second screen:confirm "
        "press:no ended sim:untouched"),
    Row("attach", "plugged in after the start (second USB id); unplugged on the question",
        "start screen:waiting devicechange press:enter ignored screen:waiting "
        "plug screen:confirm unplug screen:error:03 plug ignored screen:error:03 "
        "press:ok ended",
        usb=1),
    Row("attach", "notifications sent, not posted: plugged in, unplugged on the question",
        "start screen:waiting devicechange:sent ignored screen:waiting "
        "plug:sent screen:confirm unplug:sent screen:error:03 plug:sent ignored "
        "screen:error:03 press:ok ended"),
    Row("attach", "unplugged while connecting",
        "plug start busy unplug screen:error:01 press:esc ended",
        sim=HOLD_CONNECTING),

    # The whole update.
    Row("update", "YES updates both images and ends on the disconnect text",
        "plug start screen:confirm press:yes screen:loading screen:done sim:updated trace "
        "press:enter ignored screen:done unplug ignored screen:done press:ok ended"),
    Row("done_quit", "Esc ends the program on the disconnect text",
        "plug start screen:confirm press:yes screen:loading screen:done sim:updated "
        "press:esc ended"),
    Row("done_quit", "the Close command ends the program on the disconnect text",
        "plug start screen:confirm press:yes screen:loading screen:done sim:updated "
        "press:close ended"),

    # The package does not serve the instrument, or a step fails.
    Row("refusals", "a model the package does not serve",
        "plug start screen:unable sim:untouched press:ok ended",
        sim=["--model", "00000001"]),
    Row("refusals", "only versions the package does not serve",
        "plug start screen:unable press:enter ignored screen:unable sim:untouched "
        "press:esc ended",
        sim=["--fw-version", "R20P-01.0300", "--fw-version", "R20P-0.0100"]),
    Row("refusals", "link failure: no reply to the sync request",
        "plug start screen:error:01 sim:untouched press:close ended",
        sim=["--fault", "sync:no-reply"]),
    Row("refusals", "link failure: wrong protocol field in the identify reply",
        "plug start screen:error:01 press:ok ended",
        sim=["--fault", "identify:changed"]),
    Row("refusals", "version exchange failure",
        "plug start screen:error:02 sim:untouched press:ok ended",
        sim=["--fault", "version-ack:unexpected"]),
    Row("refusals", "image failure: a chunk of image 1 refused",
        "plug start screen:confirm press:yes screen:error:03 press:ok ended",
        sim=["--fault", "image1-chunk:2:unexpected"]),
    Row("refusals", "the finish command refused",
        "plug start screen:confirm press:yes screen:error:03 press:ok ended",
        sim=["--fault", "finish:unexpected"]),
    Row("refusals", "a program with an unusable package; an instrument changes nothing",
        "start screen:error:96 plug ignored screen:error:96 sim:silent press:ok ended",
        program="unusable"),
    Row("refusals", "a program whose package was damaged after it was sealed; an instrument "
        "changes nothing",
        "start screen:error:96 plug ignored screen:error:96 sim:silent press:ok ended",
        program="damaged"),

    # While the program talks to the instrument it cannot be closed.
    Row("busy", "NO, Esc and Close ignored while connecting; Esc honoured on the question",
        "plug start busy press:no press:esc press:close ignored screen:waiting "
        "screen:confirm press:esc ended",
        sim=HOLD_CONNECTING),
    Row("busy", "NO, Esc and Close ignored while loading image 2; then unplugged",
        "plug start screen:confirm press:yes screen:loading press:no press:esc press:close "
        "ignored screen:loading unplug screen:error:03 press:close ended",
        sim=HOLD_IMAGE2_START),
    Row("busy", "unplugged while loading image 1",
        "plug start screen:confirm press:yes screen:loading unplug screen:error:03 "
        "press:esc ended",
        sim=HOLD_IMAGE1_START),

    # Quitting on the screens where nothing runs.
    Row("quit", "Esc on the waiting screen", "start screen:waiting press:esc ended"),
    Row("quit", "the Close command on the waiting screen", "start screen:waiting press:close ended"),
    Row("quit", "the Close command on the question",
        "plug start screen:confirm press:close ended sim:untouched"),
]
