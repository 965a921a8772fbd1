#!/usr/bin/env python3
"""klvflash's checks of the package before it opens a port: damaged, without digest,
--require-digest, --trust. One case of the table per run; keys and packages are made
at run time in a temporary folder (klvpkg keygen / build) and removed at the end.

usage: klvflash_trust_cases.py --list
       klvflash_trust_cases.py KLVSIM KLVFLASH KLVPKG DEMO_PACKAGE CASE

A case with "sim" runs against klvsim over a pseudo-terminal; one without names a port
that does not exist, so that a refusal with 96 (not 80) shows that the package was
refused before any port was opened.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

FAST = ["--x-settle-slice-ms", "0"]
NO_PORT = ["--port", "/dev/klv-no-such-port"]

CASES = {
    "damaged_refused_before_the_port": dict(
        flash=NO_PORT + ["--package", "{damaged}", "--yes"], exit=96,
        out=["ERROR! 96", "The package is damaged"]),
    "without_digest_installs_with_a_warning": dict(
        sim="{nodigest}", flash=["--package", "{nodigest}", "--yes"] + FAST, exit=0, sim_exit=0,
        err=["warning: the package carries no digest"]),
    "require_digest_refuses_one_without": dict(
        flash=NO_PORT + ["--package", "{nodigest}", "--require-digest", "--yes"], exit=96,
        out=["ERROR! 96", "carries no digest"]),
    "require_digest_accepts_a_sealed_package": dict(
        sim="{demo}", flash=["--package", "{demo}", "--require-digest", "--yes"] + FAST, exit=0,
        sim_exit=0, err_absent=["warning"]),
    "trusted_signer_installs": dict(
        sim="{signed}", flash=["--package", "{signed}", "--trust", "{k1pub}", "--yes"] + FAST,
        exit=0, sim_exit=0),
    "one_of_several_trusted_keys_installs": dict(
        sim="{signed}",
        flash=["--package", "{signed}", "--trust", "{k2pub}", "--trust", "{k1pub}", "--yes"] + FAST,
        exit=0, sim_exit=0),
    "trust_refuses_an_unsigned_package": dict(
        flash=NO_PORT + ["--package", "{demo}", "--trust", "{k1pub}", "--yes"], exit=96,
        out=["ERROR! 96", "not signed"]),
    "trust_refuses_the_built_in_unsigned_package": dict(
        flash=NO_PORT + ["--trust", "{k1pub}", "--yes"], exit=96, out=["ERROR! 96", "not signed"]),
    "trust_refuses_another_signer": dict(
        flash=NO_PORT + ["--package", "{signed}", "--trust", "{k2pub}", "--yes"], exit=96,
        out=["ERROR! 96", "signed by another key"]),
    "trust_refuses_a_tampered_package": dict(
        flash=NO_PORT + ["--package", "{tampered}", "--trust", "{k1pub}", "--yes"], exit=96,
        out=["ERROR! 96", "signature does not verify"]),
    "trust_names_a_damaged_signed_package_damaged": dict(
        flash=NO_PORT + ["--package", "{damaged_signed}", "--trust", "{k1pub}", "--yes"],
        exit=96, out=["ERROR! 96", "damaged"]),
    "trust_key_that_is_no_key": dict(
        flash=NO_PORT + ["--package", "{demo}", "--trust", "{demo}"], exit=64,
        err=["not a PEM public key"]),
    "trust_key_missing": dict(
        flash=NO_PORT + ["--trust", "{dir}/nokey.pub"], exit=64, err=["does not exist"]),
    "trust_empty_value": dict(flash=NO_PORT + ["--trust="], exit=64),
    "trust_with_list": dict(flash=["--list", "--trust", "{k1pub}"], exit=64, err=["excludes"]),
}


def run(args, **kw):
    result = subprocess.run(args, capture_output=True, text=True, timeout=60, **kw)
    if result.returncode != 0:
        raise RuntimeError(" ".join(args) + " failed:\n" + result.stdout + result.stderr)
    return result


def flip(path, out, offset):
    data = bytearray(open(path, "rb").read())
    data[offset] ^= 0x10
    open(out, "wb").write(bytes(data))


def reseal(path):
    """Writes a new, matching digest into a whole-body scrambled package, as
    docs/package-format.md describes: the digest field's stored bytes (12 to 43, eight
    whole rotated words) counted as zeros, the digest stored as those words rotated
    right by 17."""
    data = bytearray(open(path, "rb").read())
    data[12:44] = bytes(32)
    digest = hashlib.sha256(bytes(data)).digest()
    for i in range(8):
        word = int.from_bytes(digest[4 * i:4 * i + 4], "little")
        word = ((word >> 17) | (word << 15)) & 0xFFFFFFFF
        data[12 + 4 * i:16 + 4 * i] = word.to_bytes(4, "little")
    open(path, "wb").write(bytes(data))


def make_inputs(klvpkg, demo, folder):
    images = os.path.dirname(demo)
    ids = ["--image1", os.path.join(images, "demo_image1.bin"),
           "--image2", os.path.join(images, "demo_image2.bin"),
           "--model", "4B4C5632", "--model", "4B4C5633", "--usb", "0ABC:1234",
           "--prefix", "R20P-02.", "--prefix", "R20P-03.", "--version-text", "Ver. 03.0100"]
    v = dict(demo=demo, dir=folder)
    for key in ("k1", "k2"):
        run([klvpkg, "keygen", "--out", os.path.join(folder, key)])
        v[key + "pub"] = os.path.join(folder, key + ".pub")
    v["signed"] = os.path.join(folder, "signed.klvpkg")
    run([klvpkg, "build", "-o", v["signed"], "--sign", os.path.join(folder, "k1")] + ids)
    v["nodigest"] = os.path.join(folder, "nodigest.klvpkg")
    run([klvpkg, "build", "-o", v["nodigest"], "--no-digest"] + ids)
    middle = os.path.getsize(demo) // 2  # inside image1
    v["damaged"] = os.path.join(folder, "damaged.klvpkg")
    flip(demo, v["damaged"], middle)
    v["damaged_signed"] = os.path.join(folder, "damaged_signed.klvpkg")
    flip(v["signed"], v["damaged_signed"], middle)
    v["tampered"] = os.path.join(folder, "tampered.klvpkg")
    flip(v["signed"], v["tampered"], middle)
    reseal(v["tampered"])
    # The resealed package must pass the digest check, or the case would show the
    # digest's refusal instead of the signature's.
    run([klvpkg, "verify", v["tampered"]])
    return v


def main():
    if sys.argv[1:] == ["--list"]:
        print(";".join(CASES))
        return 0
    klvsim, klvflash, klvpkg, demo, name = sys.argv[1:6]
    case = CASES[name]
    folder = tempfile.mkdtemp(prefix="klvflash_trust_")
    sim = None
    try:
        values = make_inputs(klvpkg, demo, folder)
        flash_args = [a.format(**values) for a in case["flash"]]
        if "sim" in case:
            sim = subprocess.Popen([klvsim, "--timeout", "20", "--package",
                                    case["sim"].format(**values)],
                                   stdout=subprocess.PIPE, text=True)
            port = sim.stdout.readline().strip()
            if not port:
                print("klvsim printed no port")
                return 1
            flash_args = ["--port", port] + flash_args
        result = subprocess.run([klvflash] + flash_args, capture_output=True, text=True,
                                timeout=120, stdin=subprocess.DEVNULL)
        print("klvflash", " ".join(flash_args), "->", result.returncode)
        print(result.stdout, end="")
        print(result.stderr, end="", file=sys.stderr)
        ok = result.returncode == case["exit"]
        for text in case.get("out", []):
            if text not in result.stdout:
                print("missing on stdout:", repr(text))
                ok = False
        for text in case.get("err", []):
            if text not in result.stderr:
                print("missing on stderr:", repr(text))
                ok = False
        for text in case.get("err_absent", []):
            if text in result.stderr:
                print("unexpected on stderr:", repr(text))
                ok = False
        if sim is not None and "sim_exit" in case:
            sim_exit = sim.wait(timeout=30)
            print("klvsim ->", sim_exit)
            print(sim.stdout.read(), end="")
            ok = ok and sim_exit == case["sim_exit"]
        return 0 if ok else 1
    finally:
        if sim is not None and sim.poll() is None:
            sim.terminate()
            try:
                sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                sim.kill()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
