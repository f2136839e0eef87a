"""The unattended runs of the real ZelvraInstaller.exe under Wine, as a
deployment tool starts them: "@silent" shows no window at all, "@passive"
the download dialog only; both end by themselves with an exit code a
deployment tool maps, and leave %TEMP%\\ZelvraInstaller.log (and the same
lines on a standard error handle they are given). In English and in Korean.
"""

import sys
import time
import unittest

import harness
import installer_checks
from installer_checks import (DOWNLOAD_CAPTION, EXIT_ANOTHER_COPY_RUNS, EXIT_INSTALL_FAILED, EXIT_LAUNCHER_STARTED,
                              EXIT_USER_CANCELLED, IDCANCEL, PRIMARY_PATHS, SECONDARY_PATHS, TITLE, UPDATE_FILES)

LOG_NAME = "ZelvraInstaller.log"
POLL_SECONDS = 0.1
RUN_SECONDS = 60.0


class UnattendedTests:
    """Tests in each language; the classes below set it."""

    def setUp(self):
        super().setUp()
        self.log_file = self.temp_unix_path / LOG_NAME
        self.log_file.unlink(missing_ok=True)
        self.addCleanup(self.log_file.unlink, True)

    @property
    def temp_unix_path(self):
        return self.download_folder.parent

    def start_unattended(self, args, stderr=None):
        """Starts the installer with `args` as a deployment tool would: no
        prompt is waited for. Returns its pid."""
        environment = harness.with_stub_settings({"ZELVRA_STUB_RECORD": harness.to_windows_path(self.record_file),
                                                  "ZELVRA_STUB_HOLD_MS": installer_checks.LAUNCHER_HOLD_MS})
        return self.launch(harness.installer_exe(), args, cwd=harness.to_windows_path(self.work_dir),
                           env=environment, stderr=stderr)

    def watch(self, pid, act=None):
        """Polls the process's visible windows every 100 ms until it ends;
        `act(windows)` is called at each poll. Returns (exit code, the
        titles of every visible window seen)."""
        seen = []
        deadline = time.monotonic() + RUN_SECONDS
        while self.driver.attach(pid).running:
            windows = self.driver.windows(pid, visible_only=True)
            seen += [w.title for w in windows if w.title not in seen]
            if act is not None:
                act(windows)
            self.assertLess(time.monotonic(), deadline, "the unattended run did not end")
            time.sleep(POLL_SECONDS)
        return self.driver.wait_exit(pid, timeout=5.0), seen

    def log_lines(self):
        return self.log_file.read_text(encoding="utf-8").splitlines()

    def test_silent_run_shows_nothing_and_starts_the_launcher(self):
        self.start_mirror()
        code, seen = self.watch(self.start_unattended("@silent"))
        self.assertEqual(seen, [], "a window was visible")
        self.assertEqual(code, EXIT_LAUNCHER_STARTED)
        self.assertEqual(sorted(p.name for p in self.download_folder.iterdir()), sorted(UPDATE_FILES))
        for name in UPDATE_FILES:
            self.assertEqual(self.downloaded(name), self.served(name))
        start = self.wait_launcher_start()
        self.assertEqual(start["arguments"], '"@cmd=@silent" "@execute=Zelvra.exe" "@install"')
        lines = self.log_lines()
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z start: .* 3\.1\.0\.3, mode silent, elevated$")
        self.assertRegex(lines[-1], r"Z exit code 0$")
        self.assertTrue(any("launch: started" in line for line in lines), lines)
        self.assertTrue(any("mutex: seen after" in line for line in lines), lines)

    def test_silent_run_that_cannot_download_fails_and_says_why(self):
        mirror = self.start_mirror()
        secondary = SECONDARY_PATHS[self.language]["ZVUpdater.exe"]
        mirror.set_fault("primary", PRIMARY_PATHS["ZVUpdater.exe"], status=404)
        mirror.set_fault("secondary", secondary, status=404)
        code, seen = self.watch(self.start_unattended("@silent"))
        self.assertEqual(seen, [])
        self.assertEqual(code, EXIT_INSTALL_FAILED)
        self.assertEqual(self.launcher_blocks(), [])
        failing = [line for line in self.log_lines() if "ZVUpdater.exe: GET" in line and "HTTP 404" in line]
        self.assertEqual(len(failing), 2, self.log_lines())
        self.assertIn(mirror.url("secondary", secondary), failing[1])
        self.assertTrue(any(self.strings[57353].replace("\n", " ") in line for line in self.log_lines()),
                        "the download failure's message")
        self.assertRegex(self.log_lines()[-1], r"Z exit code 1603$")

    def test_passive_run_shows_the_downloads_only_and_cancel_ends_it(self):
        mirror = self.start_mirror()
        code, seen = self.watch(self.start_unattended("@passive"))
        self.assertEqual(code, EXIT_LAUNCHER_STARTED)
        self.assertIn(DOWNLOAD_CAPTION[self.language], seen)
        self.assertNotIn(TITLE, seen, "the prompt was visible")

        self.fresh_run()
        mirror.set_fault("primary", PRIMARY_PATHS["ZVUpdater.exe"], delay=3.0, times=1)
        pid = self.start_unattended("@passive")
        clicked = []

        def cancel(windows):
            for window in windows:
                if window.title == DOWNLOAD_CAPTION[self.language] and not clicked:
                    self.driver.click(window.hwnd, IDCANCEL)
                    clicked.append(window)

        code, seen = self.watch(pid, cancel)
        self.assertTrue(clicked, "the download dialog never came")
        self.assertEqual(code, EXIT_USER_CANCELLED)
        self.assertEqual(self.launcher_blocks(), [])
        self.assertNotIn(TITLE, seen)

    def fresh_run(self):
        self._end_launchers()
        self.record_file.unlink(missing_ok=True)
        for path in self.download_folder.glob("*"):
            path.unlink()


class EnglishUnattendedTest(UnattendedTests, installer_checks.InstallerTestCase):
    language = "en"

    def test_a_second_silent_copy_ends_at_once_and_leaves_the_first_alone(self):
        mirror = self.start_mirror()
        mirror.set_fault("primary", PRIMARY_PATHS["ZVUpdaterRes.dll"], delay=4.0, times=1)
        first = self.start_unattended("@silent")
        mirror.wait_requests(host="primary", path=PRIMARY_PATHS["ZVUpdaterRes.dll"], finished=False, timeout=20.0)
        second, seen = self.watch(self.start_unattended("@silent"))
        self.assertEqual((second, seen), (EXIT_ANOTHER_COPY_RUNS, []))
        code, seen = self.watch(first)
        self.assertEqual((code, seen), (EXIT_LAUNCHER_STARTED, []))
        self.assertRegex(self.log_lines()[-1], r"Z exit code 0$", "the second copy left the log alone")

    def test_the_log_goes_to_a_standard_error_handle_too(self):
        self.start_mirror()
        stderr = self.work_dir / "stderr.txt"
        code, _ = self.watch(self.start_unattended("@passive", stderr=harness.to_windows_path(stderr)))
        self.assertEqual(code, EXIT_LAUNCHER_STARTED)
        self.assertEqual(stderr.read_text(encoding="utf-8").splitlines(), self.log_lines())


class KoreanUnattendedTest(UnattendedTests, installer_checks.InstallerTestCase):
    language = "ko"


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
