#!/usr/bin/env python3
"""Makes what the tests of the signed-update option need: two test signing
keys (A, the one the pinned test build trusts, and B, anyone else's), the
source that pins A, and the three stand-in update files in four versions.

  sign_stubs.py keys OUT        (when the build is configured; keys kept)
    OUT/signer-a.crt, signer-a.key, signer-b.crt, signer-b.key
    OUT/update_signers_pinned.cpp   kPinnedUpdateSigners = {A's fingerprint}
  sign_stubs.py sign STUB_DIR OUT   (when the stand-ins are built)
    OUT/signed-a/<file>   signed by A
    OUT/signed-b/<file>   signed by B
    OUT/tampered/<file>   signed by A, then one byte of the program changed
    OUT/unsigned/<file>   as built

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
    source = ("// The signers the pinned test build trusts: test key A (made by sign_stubs.py).\n"
              '#include "launch/update_trust.h"\n\n'
              'const char* const kPinnedUpdateSigners[] = {"%s", nullptr};\n' % fingerprint(certificate))
    path = out / "update_signers_pinned.cpp"
    if not path.exists() or path.read_text() != source:
        path.write_text(source)


def sign(stub_dir, out):
    stub_dir, out = pathlib.Path(stub_dir), pathlib.Path(out)
    keys = {name: signing_key(out, name) for name in ("a", "b")}
    for kind in ("signed-a", "signed-b", "tampered", "unsigned"):
        (out / kind).mkdir(parents=True, exist_ok=True)
    for name in FILES:
        shutil.copyfile(stub_dir / name, out / "unsigned" / name)
        for signer in ("a", "b"):
            target = out / ("signed-" + signer) / name
            target.unlink(missing_ok=True)
            certificate, key = keys[signer]
            run("osslsigncode", "sign", "-certs", str(certificate), "-key", str(key), "-in", str(stub_dir / name),
                "-out", str(target))
        data = bytearray((out / "signed-a" / name).read_bytes())
        data[TAMPERED_OFFSET] ^= 0x01
        (out / "tampered" / name).write_bytes(bytes(data))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "keys":
        make_keys(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "sign":
        sign(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
