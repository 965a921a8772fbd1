#!/usr/bin/env python3
"""Writes the udev rule that ships with the Linux tools, from the USB ids of a package.

    make_udev_rule.py SUMMARY.json OUTPUT.rules

SUMMARY.json is what `klvpkg inspect --json` prints for the package klvflash carries.
For each USB vendor/product pair the rule
  - keeps ModemManager away from the instrument (it probes a new serial port with AT
    commands, which disturbs the instrument in its first seconds and holds the port),
  - tags the instrument's serial device "uaccess", so that the person logged in at the
    seat may open it without joining the dialout group.
Exit status: 0 written; 1 the summary is not a valid package with USB ids (nothing
written); 2 usage.
"""
import json
import os
import sys


def rule_text(summary):
    """The rule file's text, or raises ValueError saying what is wrong with the package."""
    if not summary.get("valid"):
        raise ValueError("not a valid package")
    ids = []
    for entry in summary.get("usbIds", []):
        pair = (int(entry["vendorId"]), int(entry["productId"]))
        if not all(0 <= v <= 0xFFFF for v in pair):
            raise ValueError("USB id out of range: %r" % (entry,))
        if pair not in ids:
            ids.append(pair)
    if not ids:
        raise ValueError("the package lists no USB vendor and product ids, so no rule "
                         "can name its instrument")
    lines = [
        "# The KLV-series instrument's USB serial port: no ModemManager probing, and",
        "# access for the person logged in at the seat. Made from the USB ids of the",
        "# firmware package built into klvflash.",
    ]
    for vendor, product in ids:
        # sysfs shows the ids as four lower-case hex digits; udev compares text.
        match = 'ATTRS{idVendor}=="%04x", ATTRS{idProduct}=="%04x"' % (vendor, product)
        lines.append('%s, ENV{ID_MM_DEVICE_IGNORE}="1"' % match)
        lines.append('SUBSYSTEM=="tty", %s, TAG+="uaccess"' % match)
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) != 3 or not argv[1] or not argv[2]:
        print("usage: make_udev_rule.py SUMMARY.json OUTPUT.rules", file=sys.stderr)
        return 2
    try:
        with open(argv[1], encoding="utf-8") as f:
            summary = json.load(f)
        text = rule_text(summary)
    except (OSError, ValueError, KeyError, TypeError) as e:
        print("make_udev_rule.py: %s: %s; no rule written" % (argv[1], e), file=sys.stderr)
        return 1
    tmp = argv[2] + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
