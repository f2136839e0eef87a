"""The installer's unelevated path end to end, in English and in Korean.

A user who starts the installer with __COMPAT_LAYER=RunAsInvoker, or a
machine without UAC, runs it without administrator rights: %TEMP% is used as
it is, the download folder is made by its path, each file is created (or
truncated) by its path, and the launcher is started through the shell. Wine
reports every process as elevated, so these tests run
ZelvraInstallerUnelevated.exe (tests/e2e/unelevated), the installer whose
elevation check answers "not elevated": the whole run into a %TEMP% whose
folders do not exist yet, a failed download, and a failed launch, which the
shell reports in a box of its own first. Each ends with the exit code a
deployment tool reads.
"""

import os
import sys
import time
import unittest

import harness
from harness import uidriver
from download_checks import (ID_CLOSE, IDCANCEL, LAUNCHER, LIBRARY, PRIMARY_PATHS, UPDATER, InstallerRun, TempFolder,
                             poll)
from installer_checks import EXIT_INSTALL_FAILED, EXIT_LAUNCHER_STARTED, EXIT_USER_CANCELLED, STRINGS

sys.path.insert(0, str(harness.SOURCE_DIR / "tools" / "mirror"))
from mirror_client import UNRUNNABLE_PROGRAM, Mirror  # noqa: E402  (found through the path above)

MIRROR = None


def unelevated_exe():
    return harness.build_dir() / "tests" / "e2e" / "unelevated" / "ZelvraInstallerUnelevated.exe"


def setUpModule():
    global MIRROR
    harness.require_environment(unelevated_exe(), harness.uidriver_exe())
    MIRROR = Mirror.start_standard(str(harness.build_dir() / "mirror-stubs"))


def tearDownModule():
    if MIRROR is not None:
        MIRROR.stop()


class UnelevatedTests:
    """The tests; the classes below set the language."""

    language = None

    def setUp(self):
        super().setUp()
        MIRROR.reset(files=True)

    def start(self, temp=None):
        return InstallerRun(self, temp or TempFolder(self), exe=unelevated_exe())

    def leave(self, run):
        """Cancel before any hand-off: the question, Yes, and the end."""
        self.driver.click(run.prompt.hwnd, IDCANCEL)
        question = self.driver.message_box(run.pid, owner=run.prompt.hwnd)
        self.assertEqual(question.text, STRINGS[self.language][1])
        self.driver.answer(question, uidriver.IDYES)
        self.assertEqual(self.driver.wait_exit(run.pid, timeout=5), EXIT_USER_CANCELLED)

    def test_whole_run_into_a_temp_whose_folders_do_not_exist_yet(self):
        temp = TempFolder(self, suffix=os.path.join("not", "made", "yet"), create=False)
        run = self.start(temp)
        run.press_ok()
        run.wait_prompt_state("complete")
        run.assert_complete()  # from the download folder under %TEMP% as given
        start = run.launcher_starts()[-1]
        self.assertEqual((start["startf_useshowwindow"], start["show_window"]), ("1", "0"), "started hidden")
        self.assertEqual(start["arguments"], '"@cmd=" "@execute=Zelvra.exe" "@install"')
        self.assertEqual([(e["host"], e["path"]) for e in MIRROR.requests()],
                         [("primary", PRIMARY_PATHS[name]) for name in (LIBRARY, UPDATER, LAUNCHER)])
        self.driver.click(run.prompt.hwnd, ID_CLOSE)
        self.assertEqual(self.driver.wait_exit(run.pid, timeout=10), EXIT_LAUNCHER_STARTED)

    def test_failed_download_gives_the_prompt_back(self):
        for host in ("primary", "secondary"):
            MIRROR.set_fault(host, PRIMARY_PATHS[UPDATER], status=404)
        run = self.start()
        run.press_ok()
        box = self.driver.message_box(run.pid, owner=run.prompt.hwnd)
        self.assertEqual((box.title, box.text), (run.texts.app_title, run.texts.download_failed))
        self.driver.answer(box, uidriver.IDOK)
        run.wait_prompt_state("first")
        run.assert_first_state()
        self.assertEqual(run.local(LIBRARY).read_bytes(), (harness.build_dir() / "mirror-stubs" / LIBRARY).read_bytes())
        self.assertEqual(run.launcher_starts(), [])
        self.leave(run)

    def test_failed_launch_shows_the_shells_box_then_ours_and_finishes(self):
        MIRROR.put_file("primary", PRIMARY_PATHS[LAUNCHER], UNRUNNABLE_PROGRAM)
        run = self.start()
        run.press_ok()
        seen = []  # (ours, box) in the order they came

        def finished():
            for box in self.driver.message_boxes(run.pid):
                ours = box.title == run.texts.app_title
                seen.append((ours, box))
                self.driver.answer(box, uidriver.IDOK if ours else box.buttons[0].id)
            return run.prompt_state() == "complete"
        poll(finished, 20, interval=0.05, what="the finished look after the failed launch")
        time.sleep(0.5)
        self.assertEqual([ours for ours, _ in seen], [False, True], [(b.title, b.text) for _, b in seen])
        ours = seen[1][1]
        self.assertEqual((ours.text, ours.owner), (run.texts.launch_failed, run.prompt.hwnd))
        print("dismissed the shell's box: %r %r" % (seen[0][1].title, seen[0][1].text), file=sys.stderr)
        self.assertEqual(self.driver.message_boxes(run.pid), [])
        self.assertEqual(run.launcher_starts(), [])
        self.assertEqual(run.local(LAUNCHER).read_bytes(), UNRUNNABLE_PROGRAM)
        self.driver.click(run.prompt.hwnd, ID_CLOSE)
        self.assertEqual(self.driver.wait_exit(run.pid, timeout=10), EXIT_INSTALL_FAILED)


class EnglishUnelevatedTest(UnelevatedTests, harness.WineTestCase):
    language = "en"


class KoreanUnelevatedTest(UnelevatedTests, harness.WineTestCase):
    language = "ko"


if __name__ == "__main__":
    unittest.main()
