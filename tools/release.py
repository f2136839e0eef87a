#!/usr/bin/env python3
"""Makes a release of the installer from the checkout's HEAD: builds it in a
fresh folder from an export of the commit, signs it with Authenticode
(SHA-256) through osslsigncode, verifies the signature against the given CA,
checks that the signed file is the unsigned build plus the signature and
nothing else, and writes dist/: ZelvraInstaller.exe, SHA256SUMS and
release.json (the release record). tools/release.sh runs it.

  release.py [--arch x86|x64] [--dist DIR] CONFIG

CONFIG, kept outside the repository, holds `key = value` lines (# comments;
relative paths are relative to CONFIG's folder):

  primary_host, secondary_host, dev_host   the update hosts (required)
  update_signers      pinned update signers: SHA-256 fingerprints, ';' between
                      (required, unless allow_unpinned = true)
  allow_unpinned      true: release a build without pinned signers all the same
                      (it warns, and the record says so); default false
  launcher_min_version  the floor for the launcher, a.b.c.d: the oldest launcher
                      version the installer starts (required with update_signers;
                      raising it cannot be undone, see docs/releasing.md)
  launcher_original_name  the OriginalFilename the launcher's version block must
                      give (default ZVCallUpdater.exe)
  pkcs12              the signing key and certificate as a PKCS#12 file, or
  certificate, key    as PEM files (the certificate file may hold the chain,
                      the signing certificate first)
  password_file       the key's password, if it has one (first line); else it
                      is taken from ZELVRA_SIGNING_PASSWORD when that is set
  ca                  the CA certificates to verify the signature against
  timestamp_url       an RFC 3161 time-stamp server (optional)
  timestamp_ca        the CA certificates of the time-stamp server
                      (default: the system's, /etc/ssl/certs/ca-certificates.crt)
  description, url    shown in the signature (default description: the
                      product name; no URL)

Without signing material the same dist/ is made unsigned, with a warning.

Exit status: 0 signed and verified; 3 made unsigned; 1 failed (nothing is
left in DIST); 2 bad usage or configuration.
"""

import argparse
import base64
import hashlib
import io
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
ARTIFACT = "ZelvraInstaller.exe"
RECORD = "release.json"
SUMS = "SHA256SUMS"
PRODUCT_NAME = "Zelvra(TM) Installer"
PASSWORD_VARIABLE = "ZELVRA_SIGNING_PASSWORD"
SYSTEM_CAS = "/etc/ssl/certs/ca-certificates.crt"
WINE = "/usr/lib/wine/wine64"
EXIT_FAILED, EXIT_USAGE, EXIT_UNSIGNED = 1, 2, 3

KEYS = {"primary_host", "secondary_host", "dev_host", "update_signers", "allow_unpinned", "launcher_min_version",
        "launcher_original_name", "pkcs12", "certificate", "key", "password_file", "ca", "timestamp_url",
        "timestamp_ca", "description", "url"}
DEFAULT_LAUNCHER_NAME = "ZVCallUpdater.exe"
PATH_KEYS = {"pkcs12", "certificate", "key", "password_file", "ca", "timestamp_ca"}
# Debian packages whose versions make the build, recorded with each release.
TOOL_PACKAGES = {
    "x86": ["g++-mingw-w64-i686-posix", "binutils-mingw-w64-i686", "mingw-w64-i686-dev", "cmake", "osslsigncode"],
    "x64": ["g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev", "cmake",
            "osslsigncode"],
}


class Failure(Exception):
    """The release cannot be made; the message says why."""


class ConfigError(Exception):
    pass


def read_config(path):
    """The configuration as a dict; paths made absolute, unknown keys and
    missing hosts refused."""
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise ConfigError("cannot read the configuration %s: %s" % (path, error.strerror))
    config = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        key, equals, value = (part.strip() for part in line.partition("="))
        if not equals or key not in KEYS:
            raise ConfigError("%s:%d: expected one of %s = value" % (path, number, ", ".join(sorted(KEYS))))
        if key in PATH_KEYS:
            value = str((path.parent / pathlib.Path(value).expanduser()).resolve())
        config[key] = value
    for key in ("primary_host", "secondary_host", "dev_host"):
        if not config.get(key):
            raise ConfigError("%s: %s is missing" % (path, key))
    for fingerprint in fingerprints(config.get("update_signers")):
        if not re.fullmatch(r"[0-9a-f]{64}", fingerprint):
            raise ConfigError("%s: update signer %s is not a SHA-256 fingerprint (64 hex digits)" % (path, fingerprint))
    if config.get("allow_unpinned", "false") not in ("true", "false"):
        raise ConfigError("%s: allow_unpinned is true or false, not %r" % (path, config["allow_unpinned"]))
    if not fingerprints(config.get("update_signers")) and config.get("allow_unpinned") != "true":
        # A program of the user can point the elevated installer's proxy at
        # itself and add its own root to the user's certificates: only the
        # pin keeps its launcher from being started as administrator.
        raise ConfigError("%s: update_signers is missing: without pinned signers the installer starts, with "
                          "administrator rights, whatever update files it is served, and a program of the same user "
                          "can serve its own (through the user's proxy settings and certificate store, over HTTP "
                          "or HTTPS alike); set update_signers, or allow_unpinned = true to release such a build "
                          "all the same" % path)
    if fingerprints(config.get("update_signers")) and not config.get("launcher_min_version"):
        # The pin alone takes every file the key ever signed: an older launcher, or another of the maker's
        # signed programs under the launcher's name.
        raise ConfigError("%s: launcher_min_version is missing: with pinned signers alone the installer starts, with "
                          "administrator rights, any launcher the pinned key ever signed, also an older one or "
                          "another signed program served under the launcher's name; set launcher_min_version to the "
                          "oldest launcher version to start (a.b.c.d)" % path)
    floor = config.get("launcher_min_version")
    if floor and not re.fullmatch(r"[0-9]{1,5}(\.[0-9]{1,5}){3}", floor):
        raise ConfigError("%s: launcher_min_version is a.b.c.d, not %r" % (path, floor))
    material = [key for key in ("pkcs12", "certificate", "key") if key in config]
    if material and sorted(material) not in (["pkcs12"], ["certificate", "key"]):
        raise ConfigError("%s: give the signing material as pkcs12, or as certificate and key" % path)
    if material and "ca" not in config:
        raise ConfigError("%s: ca (the CA to verify the signature against) is missing" % path)
    return config


def fingerprints(setting):
    """The pinned signers of a setting, as the build reads them: lowercase
    hex, without colons or blanks."""
    return [re.sub(r"[:\s]", "", item).lower() for item in re.split(r"[;,]", setting or "")
            if re.sub(r"[:\s]", "", item)]


def run(*args, cwd=None, capture=True):
    """Runs a command (never with a secret among its arguments); its output
    on failure becomes the Failure's message."""
    result = subprocess.run([str(arg) for arg in args], cwd=cwd, stdin=subprocess.DEVNULL, text=True,
                            stdout=subprocess.PIPE if capture else None,
                            stderr=subprocess.PIPE if capture else None)
    if result.returncode != 0:
        raise Failure("%s failed (exit code %d)%s" % (" ".join(str(a) for a in args[:2]), result.returncode,
                                                     ":\n" + result.stdout + result.stderr if capture else ""))
    return result.stdout if capture else ""


# --- the PE file --------------------------------------------------------------

def _pe_fields(data):
    """Offsets of the checksum field and of the security directory entry."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise Failure("not a PE file")
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0" or len(data) < header + 24:
        raise Failure("not a PE file")
    optional = header + 24
    magic = struct.unpack_from("<H", data, optional)[0] if len(data) >= optional + 2 else None
    directories = {0x10B: 96, 0x20B: 112}.get(magic)  # where the data directories start: PE32, PE32+
    if directories is None or len(data) < optional + directories + 5 * 8:
        raise Failure("not a PE file with a security directory entry")
    return optional + 64, optional + directories + 4 * 8


def security_directory(data):
    """(file offset, size) of the certificate table; (0, 0) when unsigned."""
    return struct.unpack_from("<II", data, _pe_fields(data)[1])


def normalized(data):
    """The file with its checksum and security directory entry zeroed: the
    header fields that signing changes."""
    checksum, security = _pe_fields(data)
    body = bytearray(data)
    struct.pack_into("<I", body, checksum, 0)
    struct.pack_into("<II", body, security, 0, 0)
    return bytes(body)


def same_build(signed, unsigned):
    """Whether `signed` is `unsigned` byte for byte once the signature (the
    certificate table at the end), the checksum field, the security
    directory entry and the zero padding that aligns the table to 8 bytes
    are taken out."""
    if security_directory(unsigned) != (0, 0):
        raise Failure("the unsigned build already carries a certificate table")
    offset, size = security_directory(signed)
    if offset == 0 or offset % 8 or offset + size != len(signed):
        return False
    body, plain = normalized(signed)[:offset], normalized(unsigned)
    padding = body[len(plain):]
    return body[:len(plain)] == plain and len(padding) < 8 and padding == bytes(len(padding))


def file_version(data):
    """FILEVERSION of the version block (VS_FIXEDFILEINFO) as "a.b.c.d": the
    signature that follows the block's key (the program's code may hold the
    same four bytes)."""
    key = data.find("VS_VERSION_INFO\0".encode("utf-16-le"))
    at = data.find(struct.pack("<I", 0xFEEF04BD), key) if key >= 0 else -1
    if at < 0 or at - key > 40:  # the key, its padding, then the fixed part
        raise Failure("the build has no version block")
    most, least = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


# --- signing ------------------------------------------------------------------

def pem_certificates(text):
    """The DER bytes of each PEM certificate in `text`, in order."""
    return [base64.b64decode("".join(block.split()))
            for block in re.findall(r"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", text, re.S)]


class Signer:
    """The signing material of a configuration. The password, if any, is
    only ever in a file of mode 0600 in a private temporary folder, which
    osslsigncode and openssl read (-readpass, -passin file:)."""

    def __init__(self, config, secrets, environment_password):
        self.config = config
        self.password_file = None
        password = None
        if "password_file" in config:
            try:
                password = pathlib.Path(config["password_file"]).read_text(encoding="utf-8").splitlines()[0]
            except (OSError, IndexError):
                raise Failure("cannot read a password from password_file %s" % config["password_file"])
        else:
            password = environment_password
        if password is not None:
            self.password_file = pathlib.Path(secrets) / "password"
            descriptor = os.open(self.password_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(descriptor, "w", encoding="utf-8") as file:
                file.write(password)
        self.certificate = self._signing_certificate()

    def _passin(self):
        return ["-passin", "file:%s" % self.password_file if self.password_file else "pass:"]

    def _signing_certificate(self):
        """The DER bytes of the signing certificate, read from the material
        before anything is built: a wrong password or a key that does not
        belong to the certificate ends the release at once."""
        config = self.config
        if "pkcs12" in config:
            try:
                text = run("openssl", "pkcs12", "-in", config["pkcs12"], "-clcerts", "-nokeys", *self._passin())
            except Failure:  # a file made by an older tool may need OpenSSL's legacy algorithms
                text = run("openssl", "pkcs12", "-legacy", "-in", config["pkcs12"], "-clcerts", "-nokeys",
                           *self._passin())
            certificates = pem_certificates(text)
            if not certificates:
                raise Failure("%s holds no certificate for its key" % config["pkcs12"])
            return certificates[0]
        try:
            certificates = pem_certificates(pathlib.Path(config["certificate"]).read_text(encoding="ascii"))
        except (OSError, UnicodeDecodeError) as error:
            raise Failure("cannot read the certificate %s: %s" % (config["certificate"], error))
        if not certificates:
            raise Failure("%s holds no PEM certificate" % config["certificate"])
        key_public = run("openssl", "pkey", "-in", config["key"], "-pubout", *self._passin())
        certificate_public = run("openssl", "x509", "-in", config["certificate"], "-noout", "-pubkey")
        if key_public.strip() != certificate_public.strip():
            raise Failure("the key %s does not belong to the first certificate in %s"
                          % (config["key"], config["certificate"]))
        return certificates[0]

    def fingerprint(self):
        return hashlib.sha256(self.certificate).hexdigest()

    def sign(self, unsigned, signed):
        config = self.config
        material = (["-pkcs12", config["pkcs12"]] if "pkcs12" in config
                    else ["-certs", config["certificate"], "-key", config["key"]])
        if self.password_file:
            material += ["-readpass", self.password_file]
        extra = ["-i", config["url"]] if config.get("url") else []
        if config.get("timestamp_url"):
            extra += ["-ts", config["timestamp_url"]]
        run("osslsigncode", "sign", "-h", "sha256", "-n", config.get("description") or PRODUCT_NAME, *extra,
            *material, "-in", unsigned, "-out", signed)


def verify_signature(path, ca, fingerprint, timestamp_ca=None):
    """Checks the Authenticode signature of `path` against the CA
    certificates in `ca`, that the certificate with this SHA-256
    `fingerprint` is in it, and, given `timestamp_ca`, its RFC 3161 time
    stamp. Returns osslsigncode's report."""
    args = ["osslsigncode", "verify", "-in", path, "-CAfile", ca]
    if timestamp_ca:
        args += ["-TSA-CAfile", timestamp_ca]
    try:
        report = run(*args)
    except Failure as error:
        raise Failure("the signature does not verify against %s: %s" % (ca, error))
    if "Signature verification: ok" not in report:
        raise Failure("the signature does not verify against %s:\n%s" % (ca, report))
    if timestamp_ca and "Timestamp Server Signature verification: ok" not in report:
        raise Failure("the time stamp does not verify against %s:\n%s" % (timestamp_ca, report))
    with tempfile.TemporaryDirectory() as folder:
        signature = pathlib.Path(folder) / "signature.der"
        run("osslsigncode", "extract-signature", "-in", path, "-out", signature)
        certificates = pem_certificates(run("openssl", "pkcs7", "-inform", "DER", "-in", signature, "-print_certs"))
    if fingerprint not in [hashlib.sha256(der).hexdigest() for der in certificates]:
        raise Failure("the signature does not carry the signing certificate %s" % fingerprint)
    return report


# --- the build ------------------------------------------------------------------

def git(*args):
    return run("git", "-C", ROOT, *args).strip()


def require_clean_tree():
    changes = git("status", "--porcelain", "--untracked-files=no")
    if changes:
        raise Failure("the work tree has uncommitted changes to tracked files; commit or stash them:\n" + changes)
    return git("rev-parse", "HEAD")


def build(commit, arch, config, folder):
    """Builds the installer from an export of `commit` in `folder` (made
    anew) with the configured hosts and signers; returns its path and its
    build folder."""
    shutil.rmtree(folder, ignore_errors=True)
    source = folder / "src"
    source.mkdir(parents=True)
    exported = subprocess.run(["git", "-C", str(ROOT), "archive", "--format=tar", commit],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    if exported.returncode != 0:
        raise Failure("git archive %s failed" % commit)
    archive = exported.stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        tar.extractall(source, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    preset = "windows-" + arch
    run("cmake", "--preset", preset, "-DZELVRA_PRIMARY_HOST=" + config["primary_host"],
        "-DZELVRA_SECONDARY_HOST=" + config["secondary_host"], "-DZELVRA_DEV_HOST=" + config["dev_host"],
        "-DZELVRA_UPDATE_SIGNERS=" + ";".join(fingerprints(config.get("update_signers"))),
        "-DZELVRA_LAUNCHER_MIN_VERSION=" + config.get("launcher_min_version", ""),
        "-DZELVRA_LAUNCHER_ORIGINAL_NAME=" + config.get("launcher_original_name", DEFAULT_LAUNCHER_NAME),
        cwd=source, capture=False)
    run("cmake", "--build", "--preset", preset, "-j", str(os.cpu_count() or 1), "--target", "ZelvraInstaller",
        cwd=source, capture=False)
    return source / "build" / preset / ARTIFACT, source / "build" / preset


def first_line(*args):
    try:
        result = subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120)
    except (OSError, subprocess.TimeoutExpired):
        return None
    lines = result.stdout.strip().splitlines()
    return lines[0].strip() if result.returncode == 0 and lines else None


def toolchain(arch, build_dir):
    compiler = None
    for found in build_dir.glob("CMakeFiles/*/CMakeCXXCompiler.cmake"):
        compiler = re.search(r'^set\(CMAKE_CXX_COMPILER "(.*)"\)$', found.read_text(encoding="utf-8"), re.M)
    packages = {}
    for package in TOOL_PACKAGES[arch]:
        packages[package] = first_line("dpkg-query", "-W", "-f", "${Version}\n", package)
    return {"compiler": first_line(compiler.group(1), "--version") if compiler else None,
            "cmake": first_line("cmake", "--version"), "packages": packages}


# --- dist/ --------------------------------------------------------------------

OUR_FILES = (ARTIFACT, SUMS, RECORD)


def clear_dist(dist):
    """Removes a previous release from `dist`; refuses a folder that holds
    anything else."""
    if dist.exists():
        others = sorted(p.name for p in dist.iterdir() if p.name not in OUR_FILES)
        if others:
            raise ConfigError("%s holds files that are not a release's (%s); give an empty or new folder"
                              % (dist, ", ".join(others)))
        for name in OUR_FILES:
            (dist / name).unlink(missing_ok=True)


def write_dist(dist, artifact, record):
    """Writes the three files into a folder beside `dist`, then moves them in."""
    staging = pathlib.Path(tempfile.mkdtemp(prefix=".release-", dir=dist.parent))
    try:
        shutil.copyfile(artifact, staging / ARTIFACT)
        digest = hashlib.sha256((staging / ARTIFACT).read_bytes()).hexdigest()
        (staging / SUMS).write_text("%s  %s\n" % (digest, ARTIFACT), encoding="ascii")
        (staging / RECORD).write_text(json.dumps(record, indent=2) + "\n", encoding="utf-8")
        dist.mkdir(parents=True, exist_ok=True)
        for name in OUR_FILES:
            os.replace(staging / name, dist / name)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def make_release(config, arch, dist, environment_password=None):
    """Returns True when the release is signed, False when it is unsigned."""
    commit = require_clean_tree()
    folder = ROOT / "build" / ("release-" + arch)
    with tempfile.TemporaryDirectory(prefix="zelvra-release-") as secrets:
        signer = Signer(config, secrets, environment_password) if "pkcs12" in config or "certificate" in config else None
        artifact, build_dir = build(commit, arch, config, folder)
        unsigned = artifact.read_bytes()
        if signer:
            signed = folder / ("signed-" + ARTIFACT)
            signer.sign(artifact, signed)
            verify_signature(signed, config["ca"], signer.fingerprint(),
                             (config.get("timestamp_ca") or SYSTEM_CAS) if config.get("timestamp_url") else None)
            if not same_build(signed.read_bytes(), unsigned):
                raise Failure("the signed file differs from the build in more than its signature")
            artifact = signed
    data = artifact.read_bytes()
    record = {
        "version": file_version(data),
        "commit": commit,
        "architecture": arch,
        "hosts": {name: config[name + "_host"] for name in ("primary", "secondary", "dev")},
        "update_signers": fingerprints(config.get("update_signers")),
        "unpinned": not fingerprints(config.get("update_signers")),
        "launcher_floor": ({"min_version": config["launcher_min_version"],
                            "original_name": config.get("launcher_original_name", DEFAULT_LAUNCHER_NAME)}
                           if config.get("launcher_min_version") else None),
        "signed": signer is not None,
        "signing_certificate_sha256": signer.fingerprint() if signer else None,
        "timestamped": bool(signer and config.get("timestamp_url")),
        "toolchain": toolchain(arch, build_dir),
        "wine": first_line(WINE, "--version"),
        "file": {"name": ARTIFACT, "size": len(data), "sha256": hashlib.sha256(data).hexdigest()},
    }
    write_dist(dist, artifact, record)
    return signer is not None


def main(argv=None):
    parser = argparse.ArgumentParser(prog="tools/release.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("config", help="the release configuration (keep it outside the repository)")
    parser.add_argument("--arch", choices=("x86", "x64"), default="x86",
                        help="x86: the release artifact (default); x64: the build the tests run")
    parser.add_argument("--dist", default=str(ROOT / "dist"), help="where the release goes (default: dist/)")
    args = parser.parse_args(argv)
    dist = pathlib.Path(args.dist).absolute()
    environment_password = os.environ.pop(PASSWORD_VARIABLE, None)  # no program started here needs to see it
    try:
        config = read_config(args.config)
        clear_dist(dist)
        signed = make_release(config, args.arch, dist, environment_password)
    except ConfigError as error:
        print("release: %s" % error, file=sys.stderr)
        return EXIT_USAGE
    except Failure as error:
        for name in OUR_FILES:
            (dist / name).unlink(missing_ok=True)
        print("release: failed: %s" % error, file=sys.stderr)
        return EXIT_FAILED
    if not fingerprints(config.get("update_signers")):
        print("release: WARNING: allow_unpinned: %s pins no update signers: it starts, with administrator rights, "
              "whatever update files it is served, also those a program of the same user serves it"
              % (dist / ARTIFACT), file=sys.stderr)
    if not signed:
        print("release: WARNING: %s holds no signing material: %s is UNSIGNED (Windows shows it as from an "
              "unknown publisher, SmartScreen and antivirus engines distrust it)" % (args.config, dist / ARTIFACT),
              file=sys.stderr)
        return EXIT_UNSIGNED
    print("release: signed, verified and recorded in %s" % dist)
    return 0


if __name__ == "__main__":
    sys.exit(main())
