#!/usr/bin/env python3
"""Makes the Windows release: one folder in a zip file with the programs, README.txt
(CRLF line ends) and SHA256SUMS over both.

    make_zip.py --manifest FILE --readme README.txt.in --version-file klv_version.txt
                --folder NAME --output OUT.zip

The manifest holds one NAME=PATH a line: the programs, by the name they get in the zip.
The same inputs give the same bytes: members in name order, every time stamp the
commit's (the version file's epoch), fixed permissions, no extra fields. Nothing is
written unless every input is there; the zip replaces OUT.zip in one step.
"""
import argparse
import hashlib
import os
import sys
import time
import zipfile

ZIP_EARLIEST = 315532800  # 1980-01-01, the first time a zip file can record


def read_facts(path):
    facts = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, sep, value = line.rstrip("\n").partition("=")
            if sep:
                facts[key] = value
    for key in ("version", "commit", "epoch"):
        if not facts.get(key):
            raise ValueError("%s: no %s" % (path, key))
    return facts


def read_manifest(path):
    programs = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            name, sep, source = line.partition("=")
            if not sep or not name or not source or "/" in name or "\\" in name:
                raise ValueError("%s:%d: not NAME=PATH: %r" % (path, number, line))
            if name in programs:
                raise ValueError("%s:%d: %s twice" % (path, number, name))
            programs[name] = source
    if not programs:
        raise ValueError("%s: no programs" % path)
    return programs


COMMAND_TOOLS = {
    "klvflash.exe": "klvflash.exe is the same updater for a command prompt",
    "klvpkg.exe": "klvpkg.exe builds and inspects firmware packages",
}


def readme_text(template, facts, names):
    listing = "\n".join("  %s" % n for n in names)
    tools = [COMMAND_TOOLS[n] for n in names if n in COMMAND_TOOLS]
    note = ""
    if tools:
        note = "%s; each explains itself with --help.\n\n" % "; ".join(tools)
    text = (template.replace("@VERSION@", facts["version"])
            .replace("@COMMIT@", facts["commit"])
            .replace("@FILES@", listing)
            .replace("@COMMAND_TOOLS@", note))
    # Windows users open it in Notepad: CRLF, whatever the checkout did to the template.
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--manifest", "--readme", "--version-file", "--folder", "--output"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    for option, value in vars(args).items():
        if not value:
            parser.error("--%s is empty" % option.replace("_", "-"))
    if "/" in args.folder or "\\" in args.folder:
        parser.error("--folder is a name, not a path: %s" % args.folder)

    try:
        facts = read_facts(args.version_file)
        programs = read_manifest(args.manifest)
        contents = {}
        for name, source in programs.items():
            with open(source, "rb") as f:
                contents[name] = f.read()
        with open(args.readme, encoding="utf-8") as f:
            template = f.read()
    except (OSError, ValueError) as e:
        print("make_zip.py: %s; nothing written" % e, file=sys.stderr)
        return 1

    epoch = max(int(facts["epoch"]), ZIP_EARLIEST)
    names = sorted(programs) + ["README.txt", "SHA256SUMS"]
    contents["README.txt"] = readme_text(template, facts, names)
    sums = "".join("%s  %s\n" % (hashlib.sha256(contents[n]).hexdigest(), n)
                   for n in names if n != "SHA256SUMS")
    contents["SHA256SUMS"] = sums.encode("ascii")

    stamp = time.gmtime(epoch)[:6]
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    tmp = args.output + ".tmp"
    with zipfile.ZipFile(tmp, "w") as z:
        folder = zipfile.ZipInfo(args.folder + "/", date_time=stamp)
        folder.create_system = 0  # MS-DOS: attributes as Windows reads them
        folder.external_attr = 0x10  # directory
        z.writestr(folder, b"")
        for name in names:
            info = zipfile.ZipInfo("%s/%s" % (args.folder, name), date_time=stamp)
            info.create_system = 0
            info.external_attr = 0x20  # archive
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, contents[name], compresslevel=9)
    os.replace(tmp, args.output)
    print("make_zip.py: wrote %s (%d files, commit %s)" % (args.output, len(names), facts["commit"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
