#!/usr/bin/env python3
"""Makes what the tests of the signed-update option need: two test signing
keys (A, the one the pinned test build trusts, and B, anyone else's), and the
three stand-in update files in several versions.

  sign_stubs.py keys OUT        (when the build is configured; keys kept)
    OUT/signer-a.crt, signer-a.key, signer-b.crt, signer-b.key
    prints A's SHA-256 fingerprint, which the pinned test build pins
  sign_stubs.py sign STUB_DIR OUT   (when the stand-ins are built)
    OUT/signed-a/<file>   signed by A
    OUT/signed-b/<file>   signed by B
    OUT/tampered/<file>   signed by A, then one byte of the program changed
    OUT/unsigned/<file>   as built
    OUT/launcher-<variant>/<file>   as signed-a, but the launcher is
                          STUB_DIR/launchers/ZVCallUpdater-<variant>.exe signed by A

Needs openssl and osslsigncode.
"""
import hashlib
import pathlib
import shutil
import subprocess
import sys

FILES = ("ZVUpdaterRes.dll", "ZVUpdater.exe", "ZVCallUpdater.exe")
# A byte of the DOS stub's message: covered by the signature's digest, and
# changing it leaves a program that still loads.
TAMPERED_OFFSET = 0x50


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def signing_key(out, name):
    certificate, key = out / ("signer-%s.crt" % name), out / ("signer-%s.key" % name)
    if not (certificate.exists() and key.exists()):
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
            "-subj", "/CN=Zelvra test update signer %s" % name.upper(),
            "-addext", "extendedKeyUsage=codeSigning", "-keyout", str(key), "-out", str(certificate))
    return certificate, key


def fingerprint(certificate):
    der = subprocess.run(["openssl", "x509", "-in", str(certificate), "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return hashlib.sha256(der).hexdigest()


def make_keys(out):
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    certificate, _ = signing_key(out, "a")
    signing_key(out, "b")
    print(fingerprint(certificate))


def sign_file(key, source, target):
    target.unlink(missing_ok=True)
    run("osslsigncode", "sign", "-certs", str(key[0]), "-key", str(key[1]), "-in", str(source), "-out", str(target))


def sign(stub_dir, out):
    stub_dir, out = pathlib.Path(stub_dir), pathlib.Path(out)
    keys = {name: signing_key(out, name) for name in ("a", "b")}
    for kind in ("signed-a", "signed-b", "tampered", "unsigned"):
        (out / kind).mkdir(parents=True, exist_ok=True)
    for name in FILES:
        shutil.copyfile(stub_dir / name, out / "unsigned" / name)
        for signer in ("a", "b"):
            sign_file(keys[signer], stub_dir / name, out / ("signed-" + signer) / name)
        data = bytearray((out / "signed-a" / name).read_bytes())
        data[TAMPERED_OFFSET] ^= 0x01
        (out / "tampered" / name).write_bytes(bytes(data))
    launcher = FILES[2]
    for variant in sorted((stub_dir / "launchers").glob("ZVCallUpdater-*.exe")):
        folder = out / ("launcher-" + variant.stem[len("ZVCallUpdater-"):])
        folder.mkdir(parents=True, exist_ok=True)
        for name in FILES[:2]:
            shutil.copyfile(out / "signed-a" / name, folder / name)
        sign_file(keys["a"], variant, folder / launcher)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "keys":
        make_keys(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "sign":
        sign(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
