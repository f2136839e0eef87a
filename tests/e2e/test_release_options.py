"""End-to-end tests of the two release options, with the real installer
under Wine against the update mirror (tests/e2e/release_options builds both):

- Pinned signers. ZelvraInstallerPinned.exe trusts test key A, with a floor
  of 3.1.0.0 for the launcher: update files signed by A are started when the
  launcher's version block names ZVCallUpdater.exe and a version of 3.1.0.5
  or exactly 3.1.0.0; unsigned ones, ones signed by A and then changed, ones
  signed by another key, and, all signed by A, a launcher of 3.0.0.1, one of
  another OriginalFilename and one without a version block are refused with a
  message, every file is deleted, nothing is started and the prompt is usable
  again. The default build starts all of them, as it always has.
- HTTPS hosts. ZelvraInstallerHttps.exe fetches from https://localhost; the
  mirror serves HTTPS with certificates from a test root made here and added
  to the Wine prefix's trusted roots. A certificate for another name, one from
  a root nobody trusts, and a redirect to plain HTTP each end in the
  download-failure path.
"""

import json
import pathlib
import subprocess
import tempfile
import shutil
import unittest

import harness
from test_hardening import DOWNLOAD_FAILED, IDOK, PRIMARY_PATHS, RunTestCase, mirror_client, stub_dir

NOT_VERIFIED = {
    "en": "Error : The downloaded files of Zelvra(TM) Updater could not be verified.\nTry to run again.",
    "ko": "다운로드한 Zelvra(TM) Updater 파일을 확인할 수 없습니다.\n다시 실행하여 주시기 바랍니다.",
}
REFUSED_KINDS = ("unsigned", "tampered", "signed-b")
# Signed by A, but the launcher is below the pinned build's floor of 3.1.0.0, has another OriginalFilename, or has
# no version block; "launcher-3.1.0.0" meets the floor exactly.
BELOW_FLOOR_KINDS = ("launcher-3.0.0.1", "launcher-other-name", "launcher-unversioned")


def release_options_dir():
    return harness.build_dir() / "tests" / "e2e" / "release_options"


def release_options():
    """Where the signed stand-ins are and which ports the HTTPS build uses."""
    return json.loads((release_options_dir() / "release-options.json").read_text())


def signed_files(kind):
    """The folder of one version of the stand-ins: signed-a, signed-b,
    tampered, unsigned, or signed-a with another launcher (launcher-*)."""
    return pathlib.Path(release_options()["signing"]) / kind


class PinnedSignerTests:
    kinds = ("signed-a", "launcher-3.1.0.0") + REFUSED_KINDS + BELOW_FLOOR_KINDS

    def serve(self, mirror, kind):
        for name, path in PRIMARY_PATHS:
            mirror.put_file("primary", path, (signed_files(kind) / name).read_bytes())

    def test_only_files_signed_by_a_pinned_signer_with_a_launcher_at_the_floor_are_started(self):
        mirror = self.start_mirror()
        pinned = release_options_dir() / "ZelvraInstallerPinned.exe"
        for kind in self.kinds:
            with self.subTest(kind=kind):
                self.fresh_run()
                self.serve(mirror, kind)
                if kind in ("signed-a", "launcher-3.1.0.0"):
                    self.whole_run(pinned)
                    self.assert_handed_off(signed_files(kind))
                    continue
                pid, prompt = self.start_installer(pinned)
                box = self.confirm_and_wait(pid, prompt)
                self.assertNotEqual(box, "finished", "the launcher of %s files was started" % kind)
                self.assertEqual((box.text, box.owner), (NOT_VERIFIED[self.language], prompt.hwnd))
                self.driver.answer(box, IDOK)
                self.wait_prompt_usable(prompt)
                self.assertEqual(self.driver.message_boxes(pid), [])
                self.assertEqual(self.launcher_starts(), [])
                self.assertEqual(list(self.download_folder.iterdir()), [], "the refused files were kept")
                self.driver.kill(pid, tree=True)


class EnglishPinnedSignerTest(PinnedSignerTests, RunTestCase):
    language = "en"

    def test_the_default_build_starts_the_files_unchecked(self):
        mirror = self.start_mirror()
        for kind in REFUSED_KINDS:
            with self.subTest(kind=kind):
                self.fresh_run()
                self.serve(mirror, kind)
                self.whole_run()
                self.assert_handed_off(signed_files(kind))


class KoreanPinnedSignerTest(PinnedSignerTests, RunTestCase):
    language = "ko"
    kinds = ("signed-a", "tampered", "launcher-3.0.0.1")


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(folder):
    """A test root and, signed by it, server certificates for localhost and
    for another name; a second root that nobody trusts, with its own
    localhost certificate. Returns {name: (certificate, key)} of the server
    certificates and the trusted root's DER file."""
    def root(name):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=Zelvra test %s" % name,
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                "-keyout", name + ".key", "-out", name + ".crt", cwd=folder)

    def server(name, dns, issuer):
        (folder / (name + ".ext")).write_text("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n" % dns)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + dns, "-keyout", name + ".key",
                "-out", name + ".csr", cwd=folder)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", issuer + ".crt", "-CAkey", issuer + ".key",
                "-CAcreateserial", "-days", "30", "-extfile", name + ".ext", "-out", name + ".crt", cwd=folder)
        return folder / (name + ".crt"), folder / (name + ".key")

    root("root")
    root("untrusted-root")
    openssl("x509", "-in", "root.crt", "-outform", "DER", "-out", "root.der", cwd=folder)
    return {"localhost": server("localhost", "localhost", "root"),
            "another-name": server("another-name", "update.example.net", "root"),
            "untrusted": server("untrusted", "localhost", "untrusted-root")}, folder / "root.der"


class HttpsTest(RunTestCase):
    @classmethod
    def setUpClass(cls):
        harness.require_environment(release_options_dir() / "ZelvraInstallerHttps.exe")
        super().setUpClass()
        cls.folder = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-https-"))
        cls.certificates, cls.root = make_certificates(cls.folder)
        cls.driver.trust_root(harness.to_windows_path(cls.root))

    @classmethod
    def tearDownClass(cls):
        cls.driver.trust_root(harness.to_windows_path(cls.root), remove=True)
        shutil.rmtree(cls.folder, ignore_errors=True)
        super().tearDownClass()

    def start_https_mirror(self, certificate):
        mirror = mirror_client.Mirror.start_standard(str(stub_dir()), ports=release_options()["https_ports"],
                                                     tls=self.certificates[certificate])
        self.addCleanup(mirror.stop)
        return mirror

    def run_https(self):
        pid, prompt = self.start_installer(release_options_dir() / "ZelvraInstallerHttps.exe")
        return pid, prompt, self.confirm_and_wait(pid, prompt)

    def test_downloads_over_https(self):
        mirror = self.start_https_mirror("localhost")
        pid, prompt, outcome = self.run_https()
        self.assertEqual(outcome, "finished", getattr(outcome, "text", None))
        self.assertEqual([(e["host"], e["path"], e["status"]) for e in mirror.requests()],
                         [("primary", path, 200) for _, path in PRIMARY_PATHS])
        self.assert_handed_off()

    def test_a_certificate_that_fails_the_checks_or_a_redirect_to_http_ends_in_the_failure_path(self):
        plain = self.start_mirror()  # the plain HTTP hosts a redirect could lead to
        cases = [("another-name", None), ("untrusted", None),
                 ("localhost", plain.url("primary", PRIMARY_PATHS[0][1]).replace("127.0.0.1", "localhost"))]
        for certificate, redirect in cases:
            with self.subTest(certificate=certificate, redirect=redirect):
                self.fresh_run()
                mirror = self.start_https_mirror(certificate)
                if redirect:
                    mirror.set_fault("primary", PRIMARY_PATHS[0][1], status=302, location=redirect)
                pid, prompt, box = self.run_https()
                self.assertNotEqual(box, "finished")
                self.assertRegex(box.text, r"^Error2:")
                self.driver.answer(box, IDOK)
                failed = self.driver.message_box(pid, owner=prompt.hwnd)
                self.assertEqual(failed.text, DOWNLOAD_FAILED)
                self.driver.answer(failed, IDOK)
                self.wait_prompt_usable(prompt)
                self.assertEqual(self.launcher_starts(), [])
                self.assert_no_update_files()
                self.driver.kill(pid, tree=True)
                mirror.stop()

if __name__ == "__main__":
    unittest.main()
