"""End-to-end test of tools/release.sh. It runs in a clone whose HEAD holds
this checkout's tracked files as they are, with the release-options test key
A (tests/e2e/release_options) as the installer's signing key and as the CA,
and a local RFC 3161 time-stamp server (`openssl ts` behind an HTTP server):

- x86 from PEM files (an encrypted key, its password from the environment)
  with a time stamp, and x64 from a PKCS#12 file and a password file, each
  make a signed, verified dist/ with a true record; x86 without signing
  material makes the same dist/ unsigned, warns and exits with 3; x86
  without pinned signers, allowed by allow_unpinned, is made, warns and is
  recorded as unpinned.
- The signed x86 file is the unsigned one (another fresh build) byte for byte
  once the signature is taken out, and not once one byte of it changed.
- Under Wine, WinVerifyTrust reports the signed files intact and signed by A,
  and refuses one with a byte changed; the signed x64 release, pinning A as
  update signer, runs its whole happy path against the mirror.
- A dirty tree, a wrong password, a key that is not the certificate's, a
  configuration without hosts, one without pinned signers and one with pinned
  signers but no floor for the launcher are refused before anything is built;
  a floor without pinned signers stops the build's configuration; a
  signature that does not verify against the configured CA after it. None of
  them leaves a release behind.

Key A is added to the prefix's trusted roots for the run, as a release's CA
is trusted on Windows; Wine checks no chain, so that is for real Windows to
prove.
"""

import hashlib
import http.server
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import harness
from test_hardening import PRIMARY_PATHS, RunTestCase
from test_release_options import release_options, release_options_dir, signed_files

sys.path.insert(0, str(harness.SOURCE_DIR / "tools"))
import release  # noqa: E402  (found through the path above)

PASSWORD = "correct horse 'battery' $staple"
URL = "https://zelvra.example.net/"
HOSTS = {name: os.environ.get("ZELVRA_%s_HOST" % name.upper()) or default
         for name, default in (("primary", "127.0.0.1:18081"), ("secondary", "127.0.0.1:18082"),
                               ("dev", "127.0.0.1:18083"))}
TRUST_E_BAD_DIGEST, TRUST_E_NOSIGNATURE = 0x80096010, 0x800B0100
# A byte of the DOS stub's message: covered by the signature's digest.
CHANGED_OFFSET = 0x50
FLOOR = "3.1.0.0"  # the stand-in launcher is 3.1.0.5


def run(*args, **options):
    return subprocess.run([str(arg) for arg in args], check=True, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, **options).stdout


def signing_key(name):
    folder = pathlib.Path(release_options()["signing"])
    return folder / ("signer-%s.crt" % name), folder / ("signer-%s.key" % name)


def fingerprint(certificate):
    return hashlib.sha256(release.pem_certificates(certificate.read_text())[0]).hexdigest()


def source_version():
    """The installer's file version (ZELVRA_FILE_VERSION of res/resource.h,
    which res/version.rc uses), as "a.b.c.d"."""
    text = (harness.SOURCE_DIR / "res" / "resource.h").read_text()
    return ".".join(re.search(r"^#define ZELVRA_FILE_VERSION\s+(\d+),\s*(\d+),\s*(\d+),\s*(\d+)", text, re.M).groups())


class TimeStampServer:
    """An RFC 3161 time-stamp authority on a free loopback port: a test key
    and certificate, and `openssl ts -reply` for each query posted."""

    def __init__(self, folder):
        self.folder = folder
        self.certificate, self.key = folder / "tsa.crt", folder / "tsa.key"
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
            "-subj", "/CN=Zelvra test time-stamp authority", "-addext", "extendedKeyUsage=critical,timeStamping",
            "-keyout", self.key, "-out", self.certificate)
        self.config = folder / "tsa.cnf"
        self.config.write_text("[tsa]\ndefault_tsa = tsa_config\n[tsa_config]\nserial = %s\n"
                               "default_policy = 1.2.3.4.1\ndigests = sha256\nsigner_digest = sha256\n"
                               "accuracy = secs:1\ness_cert_id_alg = sha256\n" % (folder / "tsa.serial"))
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = authority.reply(query)
                self.send_response(200 if reply else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def reply(self, query):
        with tempfile.TemporaryDirectory(dir=self.folder) as scratch:
            query_file, reply_file = pathlib.Path(scratch, "query.tsq"), pathlib.Path(scratch, "reply.tsr")
            query_file.write_bytes(query)
            result = subprocess.run(["openssl", "ts", "-reply", "-config", str(self.config), "-queryfile",
                                     str(query_file), "-inkey", str(self.key), "-signer", str(self.certificate),
                                     "-out", str(reply_file)], capture_output=True, stdin=subprocess.DEVNULL)
            return reply_file.read_bytes() if result.returncode == 0 else b""

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class ReleaseTest(RunTestCase):
    @classmethod
    def setUpClass(cls):
        harness.require_environment(release_options_dir() / "trust_probe.exe")
        super().setUpClass()
        cls.folder = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-release-"))
        cls.clone = cls.folder / "clone"
        # The tracked files as they are, committed or not: the release under test is this checkout's.
        commit = (run("git", "-C", harness.SOURCE_DIR, "stash", "create").strip()
                  or run("git", "-C", harness.SOURCE_DIR, "rev-parse", "HEAD").strip())
        run("git", "clone", "-q", "--shared", "--no-checkout", harness.SOURCE_DIR, cls.clone)
        run("git", "-C", cls.clone, "checkout", "-q", "--detach", commit)
        cls.commit = commit
        cls.timestamps = TimeStampServer(cls.folder)
        (cls.folder / "password").write_text(PASSWORD + "\n")
        certificate, key = signing_key("a")
        cls.encrypted_key = cls.folder / "signer-a-encrypted.key"
        cls.pkcs12 = cls.folder / "signer-a.p12"
        run("openssl", "pkey", "-in", key, "-aes256", "-passout", "file:%s" % (cls.folder / "password"),
            "-out", cls.encrypted_key)
        run("openssl", "pkcs12", "-export", "-in", certificate, "-inkey", key,
            "-passout", "file:%s" % (cls.folder / "password"), "-out", cls.pkcs12)
        cls.results = {}
        # A, self-signed, is the root of its own signatures: trusted here as a release's CA would be on
        # Windows (Wine's WinVerifyTrust checks no chain; Windows would refuse an untrusted root).
        cls.root = cls.folder / "signer-a.der"
        run("openssl", "x509", "-in", certificate, "-outform", "DER", "-out", cls.root)
        cls.driver.trust_root(harness.to_windows_path(cls.root))

    @classmethod
    def tearDownClass(cls):
        cls.driver.trust_root(harness.to_windows_path(cls.root), remove=True)
        cls.timestamps.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)
        super().tearDownClass()

    # --- the runs ---------------------------------------------------------------

    def configuration(self, name, **settings):
        lines = ["# %s" % name] + ["%s_host = %s" % item for item in HOSTS.items()]
        lines += ["%s = %s" % item for item in settings.items() if item[1] is not None]
        path = self.folder / (name + ".conf")
        path.write_text("\n".join(lines) + "\n")
        return path

    def release(self, name, config, arch="x86", password=None):
        """Runs tools/release.sh of the clone into a dist folder of `name`;
        returns (the process, the dist folder)."""
        dist = self.folder / ("dist-" + name)
        env = {key: value for key, value in os.environ.items() if key != release.PASSWORD_VARIABLE}
        if password is not None:
            env[release.PASSWORD_VARIABLE] = password
        process = subprocess.run(["bash", str(self.clone / "tools" / "release.sh"), "--arch", arch,
                                  "--dist", str(dist), str(config)], cwd=self.clone, env=env, capture_output=True,
                                 text=True, stdin=subprocess.DEVNULL, timeout=600)
        return process, dist

    # The releases the tests look at, each made once, when first asked for.
    RUNS = {
        "x86-signed": dict(arch="x86", status=0, timestamped=True),
        "x64-signed": dict(arch="x64", status=0, timestamped=False),
        "x86-unsigned": dict(arch="x86", status=3, timestamped=False),
        "x86-unpinned": dict(arch="x86", status=3, timestamped=False, unpinned=True),
    }

    def pinned(self):
        """The pinned signer (key A) as a user may write it: upper case, colons."""
        return ":".join(re.findall("..", fingerprint(signing_key("a")[0]).upper()))

    def made(self, name):
        if name not in self.results:
            certificate, _ = signing_key("a")
            pinned = self.pinned()
            if name == "x86-signed":
                config = self.configuration(name, update_signers=pinned, launcher_min_version=FLOOR,
                                            certificate=certificate,
                                            key=self.encrypted_key, ca=certificate, url=URL,
                                            timestamp_url=self.timestamps.url,
                                            timestamp_ca=self.timestamps.certificate)
                self.results[name] = self.release(name, config, "x86", password=PASSWORD)
            elif name == "x64-signed":
                config = self.configuration(name, update_signers=pinned, launcher_min_version=FLOOR,
                                            launcher_original_name="zvcallupdater.EXE", pkcs12=self.pkcs12,
                                            password_file=self.folder / "password", ca=certificate, url=URL)
                self.results[name] = self.release(name, config, "x64")
            elif name == "x86-unpinned":
                self.results[name] = self.release(name, self.configuration(name, allow_unpinned="true"), "x86")
            else:  # the same as x86-signed without the signing material
                config = self.configuration(name, update_signers=pinned, launcher_min_version=FLOOR)
                self.results[name] = self.release(name, config, "x86")
        process, dist = self.results[name]
        self.assertEqual(process.returncode, self.RUNS[name]["status"], process.stdout[-3000:] + process.stderr)
        return dist

    def artifact(self, name):
        return self.made(name) / release.ARTIFACT

    # --- dist/ -------------------------------------------------------------------

    def test_each_release_makes_its_dist_folder_with_a_true_record(self):
        a = fingerprint(signing_key("a")[0])
        for name, run_of in self.RUNS.items():
            with self.subTest(release=name):
                dist = self.made(name)
                signed = run_of["status"] == 0
                unpinned = run_of.get("unpinned", False)
                self.assertEqual(sorted(p.name for p in dist.iterdir()), sorted(release.OUR_FILES))
                data = (dist / release.ARTIFACT).read_bytes()
                self.assertEqual(release.security_directory(data) != (0, 0), signed)
                # The user's own check of a download.
                subprocess.run(["sha256sum", "--check", "--strict", release.SUMS], cwd=dist, check=True,
                               capture_output=True)
                record = json.loads((dist / release.RECORD).read_text())
                floor = {"min_version": FLOOR,
                         "original_name": "zvcallupdater.EXE" if name == "x64-signed" else "ZVCallUpdater.exe"}
                self.assertEqual({key: record[key] for key in ("version", "commit", "architecture", "hosts",
                                                                "update_signers", "unpinned", "launcher_floor",
                                                                "signed", "signing_certificate_sha256",
                                                                "timestamped")},
                                 {"version": source_version(), "commit": self.commit, "architecture": run_of["arch"],
                                  "hosts": HOSTS, "update_signers": [] if unpinned else [a], "unpinned": unpinned,
                                  "launcher_floor": None if unpinned else floor, "signed": signed,
                                  "signing_certificate_sha256": a if signed else None,
                                  "timestamped": run_of["timestamped"]})
                self.assertEqual(record["file"], {"name": release.ARTIFACT, "size": len(data),
                                                  "sha256": hashlib.sha256(data).hexdigest()})
                self.assertRegex(record["toolchain"]["compiler"], r"-w64-mingw32-g\+\+")
                self.assertNotIn(None, record["toolchain"]["packages"].values())
                self.assertRegex(record["wine"], r"^wine-\d")
                if not signed:
                    self.assertIn("UNSIGNED", self.results[name][0].stderr)
                self.assertEqual("allow_unpinned" in self.results[name][0].stderr, unpinned)

    def test_the_signature_names_the_product_and_is_time_stamped(self):
        certificate, _ = signing_key("a")
        report = release.verify_signature(self.artifact("x86-signed"), certificate, fingerprint(certificate),
                                          self.timestamps.certificate)
        self.assertIn("Text description: Zelvra(TM) Installer", report)
        self.assertIn("URL description: " + URL, report)
        self.assertIn("Timestamp Server Signature verification: ok", report)

    def test_the_signed_file_is_the_unsigned_build_and_its_signature(self):
        signed = self.artifact("x86-signed").read_bytes()
        unsigned = self.artifact("x86-unsigned").read_bytes()
        offset, size = release.security_directory(signed)
        cases = [("as made", signed, unsigned, True),
                 ("a byte of the program changed", signed[:0x400] + b"\x01" + signed[0x401:], unsigned, False),
                 ("a byte after the signature", signed + b"\0", unsigned, False),
                 ("an unaligned build, padded by signing", None, unsigned + b"abc", True),
                 ("a build shorter than the signed file's", signed, unsigned[:-8], False)]
        for description, signed_file, unsigned_file, same in cases:
            with self.subTest(description):
                if signed_file is None:
                    scratch = self.folder / "unaligned"
                    scratch.mkdir(exist_ok=True)
                    (scratch / "unsigned.exe").write_bytes(unsigned_file)
                    run("osslsigncode", "sign", "-h", "sha256", "-certs", signing_key("a")[0], "-key",
                        signing_key("a")[1], "-in", scratch / "unsigned.exe", "-out", scratch / "signed.exe")
                    signed_file = (scratch / "signed.exe").read_bytes()
                self.assertEqual(release.same_build(signed_file, unsigned_file), same)
        self.assertEqual(offset % 8, 0)
        self.assertEqual(offset + size, len(signed))

    # --- under Wine ------------------------------------------------------------------

    def test_win_verify_trust_reports_the_signed_files_intact_and_signed_by_the_key(self):
        a = fingerprint(signing_key("a")[0])
        scratch = self.folder / "trust"
        scratch.mkdir(exist_ok=True)
        changed = bytearray(self.artifact("x86-signed").read_bytes())
        changed[CHANGED_OFFSET] ^= 0x01
        (scratch / "changed.exe").write_bytes(bytes(changed))
        cases = [(self.artifact("x86-signed"), 0, a), (self.artifact("x64-signed"), 0, a),
                 (scratch / "changed.exe", TRUST_E_BAD_DIGEST, None),
                 (self.artifact("x86-unsigned"), TRUST_E_NOSIGNATURE, None)]
        for path, status, signer in cases:
            with self.subTest(file=str(path)):
                answer = subprocess.run([harness.WINE, str(release_options_dir() / "trust_probe.exe"),
                                         harness.to_windows_path(path)], capture_output=True, text=True,
                                        env=harness.wine_env(), stdin=subprocess.DEVNULL, timeout=120).stdout
                fields = dict(re.findall(r"(\w+)=(\S+)", answer.strip().splitlines()[-1]))
                self.assertEqual((int(fields["status"], 16), fields["signer"]), (status, signer or "-"), answer)
                if signer:
                    self.assertIn("subject=Zelvra test update signer A", answer)

    def test_the_signed_x64_release_runs_its_whole_happy_path(self):
        mirror = self.start_mirror()
        for name, path in PRIMARY_PATHS:
            mirror.put_file("primary", path, (signed_files("signed-a") / name).read_bytes())
        self.whole_run(self.artifact("x64-signed"))
        self.assert_handed_off(signed_files("signed-a"))

    # --- refusals ---------------------------------------------------------------------

    def test_refuses_a_tree_material_or_ca_that_is_not_right_and_leaves_no_release(self):
        certificate, key = signing_key("a")
        other_certificate, other_key = signing_key("b")
        signing = dict(update_signers=self.pinned(), launcher_min_version=FLOOR, certificate=certificate,
                       key=self.encrypted_key, ca=certificate)
        (self.folder / "no-hosts.conf").write_text("url = %s\nupdate_signers = %s\n" % (URL, self.pinned()))
        cases = [  # name, configuration, password, status, message, change to a tracked file, built first
            ("dirty tree", self.configuration("dirty", **signing), PASSWORD, 1, "uncommitted changes", True, False),
            ("wrong password", self.configuration("password", **signing), "wrong", 1, "pkey failed", False, False),
            ("key of another certificate", self.configuration("other-key", **dict(signing, key=other_key)),
             None, 1, "does not belong", False, False),
            ("no hosts", self.folder / "no-hosts.conf", None, 2, "primary_host is missing", False, False),
            ("no pinned signers", self.configuration("unpinned", **dict(signing, update_signers=None,
                                                                         launcher_min_version=None)),
             PASSWORD, 2, "update_signers is missing", False, False),
            ("no launcher floor", self.configuration("no-floor", **dict(signing, launcher_min_version=None)),
             PASSWORD, 2, "launcher_min_version is missing", False, False),
            ("floor without signers", self.configuration("floor-unpinned", launcher_min_version=FLOOR,
                                                         allow_unpinned="true"),
             None, 1, "ZELVRA_LAUNCHER_MIN_VERSION", False, True),
            ("another CA", self.configuration("other-ca", **dict(signing, key=key, ca=other_certificate)),
             None, 1, "does not verify against", False, True),
        ]
        readme = self.clone / "README.md"
        build_folder = self.clone / "build" / "release-x86"
        for name, config, password, status, message, dirty, built in cases:
            with self.subTest(name):
                shutil.rmtree(build_folder, ignore_errors=True)
                slug = name.replace(" ", "-")
                dist = self.folder / ("dist-" + slug)
                dist.mkdir(exist_ok=True)
                for stale in release.OUR_FILES:  # a release made before, which must not look like this one
                    (dist / stale).write_text("stale")
                if dirty:
                    readme.write_text(readme.read_text() + "\nchanged\n")
                try:
                    process, _ = self.release(slug, config, password=password)
                finally:
                    run("git", "-C", self.clone, "checkout", "--", "README.md")
                self.assertEqual(process.returncode, status, process.stderr)
                self.assertIn(message, process.stderr)
                self.assertEqual(build_folder.exists(), built)
                if status == 1:
                    self.assertEqual(list(dist.iterdir()), [])
                else:  # refused before anything was made: the folder as it was
                    self.assertEqual({p.name: p.read_text() for p in dist.iterdir()},
                                     {name: "stale" for name in release.OUR_FILES})

if __name__ == "__main__":
    unittest.main()
