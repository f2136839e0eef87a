"""End-to-end tests of the download progress dialog, through the real
ZelvraInstaller.exe under Wine against the local update mirror.

Each test starts the installer, clicks OK on its prompt and watches the
download dialog from outside: the order and hosts of the requests (the
mirror's log), the progress bar, the message boxes, the files left in
%TEMP%\\ZelvraManager, and whether the launcher stand-in was started from
there. The cancel tests press Cancel (or Escape, or the close box) at chosen
and at random moments and check that the dialog goes at once, that no message
box follows, that the prompt is back as it first was, and that a new run
right after succeeds.

Under Wine 8 closing a WinInet handle does not wake a thread blocked in a
read: after a cancel against a stalled server the old worker stays blocked
until the stall ends. The dialog waits for it only briefly (about a second)
after hiding itself; its file is released at once, so the new run can
create it again.
"""

import os
import pathlib
import random
import shutil
import sys
import tempfile
import time
import unittest

import harness
from harness import uidriver
import download_checks as checks
from download_checks import (DOWNLOAD_FOLDER, IDCANCEL, IDOK, ID_CLOSE, ID_PROGRESS, LAUNCHER, LIBRARY, UPDATER, FETCH_ORDER,
                             PRIMARY_PATHS, SECONDARY_PATHS, DEV_PATHS, TEXTS, DefaultTemp, InstallerRun,
                             TempFolder, poll)

sys.path.insert(0, str(harness.SOURCE_DIR / "tools" / "mirror"))
from mirror_client import Mirror  # noqa: E402  (found through the path above)

MIRROR = None

# The mirror stalls the library after half of its bytes; the progress bar
# shows exactly 50 then.
STALL_AT = 6144
STALL_SECONDS = 4

# A folder name with a blank and letters outside ASCII that the language's
# ANSI code page holds (1252, 949).
NON_ASCII_FOLDER = {"en": "Fichiers temporaires \u00e9t\u00e9", "ko": "\uc784\uc2dc \ud3f4\ub354"}

# How each way of cancelling reaches the download dialog.
CANCEL_WAYS = {
    "Cancel button": lambda driver, dialog: driver.click(dialog.hwnd, IDCANCEL),
    "Escape": lambda driver, dialog: driver.key(dialog.hwnd, "escape"),
    "close box": lambda driver, dialog: driver.close_window(dialog.hwnd),
}


def setUpModule():
    global MIRROR
    harness.require_environment(harness.installer_exe(), harness.uidriver_exe())
    MIRROR = Mirror.start_standard(str(harness.build_dir() / "mirror-stubs"))


def tearDownModule():
    if MIRROR is not None:
        MIRROR.stop()


def report(text):
    """A line for the test log: what a run showed beyond pass or fail."""
    print("  [%s]" % text, file=sys.stderr)


class DownloadTestCase(harness.WineTestCase):
    """One mirror for the module, reset to the stand-in files before each
    test; each installer gets its own %TEMP% unless a test says otherwise."""

    def setUp(self):
        super().setUp()
        self.mirror = MIRROR
        self.mirror.reset(files=True)

    def start(self, temp=None, args=""):
        return InstallerRun(self, temp or TempFolder(self), args)

    def paths(self, host):
        """The paths one host was asked for, in order."""
        return [entry["path"] for entry in self.mirror.requests(host)]

    def wait_mirror_idle(self, timeout):
        """Waits until no request is still being answered (stalls and delays
        have run out, so old workers have had their last data)."""
        poll(lambda: all(e["outcome"] != "pending" for e in self.mirror.requests()), timeout,
             interval=0.1, what="the mirror to finish every answer")

    def fail_updater_on_both_hosts(self):
        for host in ("primary", "secondary"):
            self.mirror.set_fault(host, PRIMARY_PATHS[UPDATER], status=404)


class BothLanguagesTests:
    """The behaviour that either depends on the language or shows its texts."""

    language = None

    def test_files_come_in_order_into_the_download_folder_which_is_created(self):
        cases = [  # case, %TEMP% of the run
            ("the prefix's own %TEMP%, no ZelvraManager folder yet", lambda: DefaultTemp(self.language)),
            ("a %TEMP% whose folders do not exist yet",
             lambda: TempFolder(self, suffix=os.path.join("not", "made", "yet"), create=False)),
        ]
        for case, make_temp in cases:
            with self.subTest(case):
                self.mirror.reset_log()
                temp = make_temp()
                shutil.rmtree(temp.download_folder, ignore_errors=True)
                self.assertFalse(temp.download_folder.exists())
                run = self.start(temp)
                dialog = run.press_ok()
                self.assertEqual(dialog.owner, run.prompt.hwnd)
                run.wait_prompt_state("complete")
                self.assertRaises(uidriver.CommandFailed, self.driver.window, dialog.hwnd)  # ended, not hidden

                requests = self.mirror.requests()
                self.assertEqual([(e["host"], e["path"], e["status"]) for e in requests],
                                 [("primary", PRIMARY_PATHS[name], 200) for name in FETCH_ORDER])
                # One file at a time: each request begins after the previous answer ended.
                for previous, following in zip(requests, requests[1:]):
                    self.assertLessEqual(previous["end_time"], following["time"])
                run.assert_complete()
                self.driver.kill(run.pid)

    def test_temporary_path_with_blanks_and_letters_of_the_code_page(self):
        checks.require_locales()
        driver = uidriver.Driver(harness.uidriver_exe(), language=self.language)
        self.addCleanup(driver.close)  # ends the installer too
        temp = TempFolder(self, suffix=NON_ASCII_FOLDER[self.language])
        run = InstallerRun(self, temp, driver=driver)
        run.press_ok()
        run.wait_prompt_state("complete")
        run.assert_complete()

    def test_user_whose_name_the_code_page_cannot_spell(self):
        """%TEMP% in the profile of a user whose name the ANSI code page
        cannot spell (a Korean name on 1252, a Thai one on 949), with this
        test's user-interface language: every text shows, the files land in
        that user's %TEMP%, and the launcher starts as usual."""
        checks.require_locales()
        for user, code_page in (("\uae40\ucca0\uc218", 1252), ("\u0e2a\u0e21\u0e0a\u0e32\u0e22", 949)):
            with self.subTest(code_page=code_page):
                driver = uidriver.Driver(harness.uidriver_exe(), env=uidriver.split_locale(self.language, code_page))
                self.addCleanup(driver.close)  # ends the installer too
                temp = TempFolder(self, suffix=os.path.join("Users", user, "AppData", "Local", "Temp"))
                run = InstallerRun(self, temp, driver=driver)
                run.assert_prompt_texts()
                run.press_ok()  # found by the download dialog's caption
                run.wait_prompt_state("complete")
                run.assert_complete()
                start = run.launcher_starts()[-1]
                self.assertEqual(start["ansi_code_page"], str(code_page))
                self.assertEqual(start["arguments"], '"@cmd=" "@execute=Zelvra.exe" "@install"')
                harness.screenshot("user_name_on_code_page_%d_%s" % (code_page, self.language))
                driver.close()

    def test_temp_reached_through_a_link_that_is_re_pointed_during_the_download(self):
        """%TEMP% reached through a link (a Unix symbolic link: a path
        component that Wine resolves as Windows resolves a junction), which
        is re-pointed during the first download to a folder that already
        holds a ZelvraManager: the run stays in the folder it resolved at the
        start, nothing is written into the other, and no launcher starts
        from there."""
        root = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-e2e-repoint-"))
        self.addCleanup(shutil.rmtree, root, True)
        first, other = root / "first", root / "other"
        (first / "Temp").mkdir(parents=True)
        planted = other / "Temp" / DOWNLOAD_FOLDER
        planted.mkdir(parents=True)
        (planted / "version.dll").write_bytes(b"planted")
        link = root / "link"
        link.symlink_to(first, target_is_directory=True)

        temp = TempFolder(self)
        temp.unix = first / "Temp"  # where the run must stay
        temp.windows = harness.to_windows_path(temp.unix)
        through_link = harness.to_windows_path(link / "Temp")
        self.mirror.set_fault("primary", PRIMARY_PATHS[LIBRARY], stall_after=STALL_AT, stall_seconds=2)
        run = InstallerRun(self, temp, env={"TMP": through_link, "TEMP": through_link})
        run.press_ok()
        poll(lambda: run.local_size(LIBRARY) == STALL_AT, 10, what="the first half of the library on disk")
        link.unlink()
        link.symlink_to(other, target_is_directory=True)
        run.wait_prompt_state("complete")
        run.assert_complete()  # the launcher started from the folder resolved at the start
        self.assertEqual(sorted(p.name for p in planted.iterdir()), ["version.dll"], "written through the link")
        self.assertEqual((planted / "version.dll").read_bytes(), b"planted")
        self.driver.kill(run.pid)

    def test_temp_reached_through_a_link_to_a_folder_whose_name_ends_in_a_dot(self):
        """%TEMP% through a link to a folder "T." (a program of the user can
        make one through the "\\?\" form), with a marked launcher stand-in
        planted in "T", where the path without the dot leads: the path
        parser would start that one. The run ends with the folder error
        before anything is written, the planted launcher never runs, and the
        prompt is usable again."""
        root = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-e2e-dot-"))
        self.addCleanup(shutil.rmtree, root, True)
        dotted, planted = root / "T.", root / "T" / DOWNLOAD_FOLDER
        dotted.mkdir()
        planted.mkdir(parents=True)
        marked = checks.stub_file(LAUNCHER) + b"\0planted"  # records its start next to itself
        (planted / LAUNCHER).write_bytes(marked)
        (root / "link").symlink_to(dotted, target_is_directory=True)
        through_link = harness.to_windows_path(root / "link")
        temp = TempFolder(self)
        run = InstallerRun(self, temp, env={"TMP": through_link, "TEMP": through_link})
        run.press_ok()
        box = self.driver.message_box(run.pid)
        local = through_link + "\\" + DOWNLOAD_FOLDER + "\\" + LIBRARY
        self.assertEqual(box.text, "Error1:%s 에 잘못된 경로가 있음." % local)  # the bad-path text, Korean only
        run.answer_failure(box)
        self.assertEqual(list(dotted.iterdir()), [], "written into the held folder's place")
        self.assertEqual(sorted(p.name for p in planted.iterdir()), [LAUNCHER], "the planted launcher ran")
        self.assertEqual((planted / LAUNCHER).read_bytes(), marked)

    def test_library_falls_back_to_the_secondary_folder_of_this_language(self):
        secondary_path = SECONDARY_PATHS[self.language][LIBRARY]
        other_spelling = SECONDARY_PATHS["ko" if self.language == "en" else "en"][LIBRARY]
        from_secondary = checks.stub_file(LIBRARY) + b"\0served by the secondary host"
        self.mirror.put_file("secondary", secondary_path, from_secondary)
        self.mirror.set_fault("primary", PRIMARY_PATHS[LIBRARY], status=404)

        run = self.start()
        run.press_ok()
        run.wait_prompt_state("complete")
        self.assertEqual(self.paths("secondary"), [secondary_path])
        self.assertNotIn(other_spelling, self.paths("secondary"))
        self.assertEqual(self.paths("primary"), [PRIMARY_PATHS[name] for name in FETCH_ORDER])
        run.assert_complete(files={LIBRARY: from_secondary})  # named after the primary URL

    def test_second_file_failing_on_both_hosts_shows_one_message_and_ends_the_dialog(self):
        self.fail_updater_on_both_hosts()
        run = self.start()
        dialog = run.press_ok()
        box = self.driver.message_box(run.pid, owner=run.prompt.hwnd)
        harness.screenshot("%s_download_failed" % self.id())

        self.assertEqual((box.title, box.text), (run.texts.app_title, run.texts.download_failed))
        self.assertEqual([button.id for button in box.buttons], [IDOK])
        self.assertEqual(box.icon, "exclamation")
        self.assertEqual([b.hwnd for b in self.driver.message_boxes(run.pid)], [box.hwnd])
        # The box disables only its owner, the prompt; the dialog stays usable.
        shown = self.driver.window(dialog.hwnd)
        self.assertEqual((shown.visible, shown.enabled), (True, True))
        self.assertFalse(self.driver.window(run.prompt.hwnd).enabled)

        self.driver.answer(box, IDOK)
        self.driver.wait_gone(dialog.hwnd)
        run.wait_prompt_state("first")
        time.sleep(0.5)  # a second box would come now
        run.assert_first_state()

        self.assertEqual([(e["host"], e["path"], e["status"]) for e in self.mirror.requests(path=PRIMARY_PATHS[UPDATER])],
                         [("primary", PRIMARY_PATHS[UPDATER], 404), ("secondary", PRIMARY_PATHS[UPDATER], 404)])
        self.assertEqual(self.mirror.requests(path=PRIMARY_PATHS[LAUNCHER]), [])
        self.assertEqual(run.local(LIBRARY).read_bytes(), checks.stub_file(LIBRARY))  # kept
        self.assertFalse(run.local(UPDATER).exists())
        self.assertEqual(run.launcher_starts(), [])
        self.assertNotIn(LAUNCHER.lower(), [p.exe.lower() for p in self.driver.processes()])


class EnglishDownloadTest(BothLanguagesTests, DownloadTestCase):
    language = "en"

    def test_test_mode_takes_every_file_from_the_development_host(self):
        run = self.start(args="@test")
        run.press_ok()
        run.wait_prompt_state("complete")
        self.assertEqual(self.paths("dev"), [DEV_PATHS[name] for name in FETCH_ORDER])
        self.assertEqual(self.paths("primary"), [])
        self.assertEqual(self.paths("secondary"), [])
        run.assert_complete()

    def test_progress_bar_rises_per_file_starts_empty_for_each_and_moves_without_a_length(self):
        library = os.urandom(8 * 1024 * 1024)
        updater = os.urandom(2 * 1024 * 1024)
        self.mirror.put_file("primary", PRIMARY_PATHS[LIBRARY], library)
        self.mirror.put_file("primary", PRIMARY_PATHS[UPDATER], updater)
        self.mirror.set_fault("primary", PRIMARY_PATHS[LIBRARY], rate=3 * 1024 * 1024)  # about 3 s
        # The next two answers wait a second, so the hand-over can be watched.
        self.mirror.set_fault("primary", PRIMARY_PATHS[UPDATER], delay=1.0, rate=1024 * 1024,
                              no_content_length=True)
        self.mirror.set_fault("primary", PRIMARY_PATHS[LAUNCHER], delay=1.0)

        run = self.start()
        dialog = run.press_ok()
        samples = []  # (phase, low, high, pos); phase = (file, "waiting" for its answer or "body")

        def phase():
            requests = self.mirror.requests("primary")
            if not requests:
                return None
            last = requests[-1]
            name = last["path"].rsplit("/", 1)[-1]
            return (name, "waiting" if last["status"] is None else "body")

        shot_taken = False
        while True:
            before = phase()
            try:
                bar = self.driver.progress(dialog.hwnd, ID_PROGRESS)
            except uidriver.CommandFailed:
                break  # the dialog has ended
            if before is not None and before == phase():
                samples.append((before, bar.low, bar.high, bar.pos))
            if not shot_taken and bar.pos >= 40:
                harness.screenshot("%s_progress" % self.id())
                shot_taken = True
            time.sleep(0.02)
        run.wait_prompt_state("complete")
        run.assert_complete(files={LIBRARY: library, UPDATER: updater})

        def positions(name, state):
            return [pos for (phase_, _, _, pos) in samples if phase_ == (name, state)]

        self.assertEqual({(low, high) for (_, low, high, _) in samples}, {(1, 100)})
        # The large file: the bar rises and never goes back (until the file
        # is done and the bar is emptied for the next one).
        rising = positions(LIBRARY, "body")
        while rising and rising[-1] == 1:
            rising.pop()
        self.assertEqual(rising, sorted(rising))
        self.assertGreaterEqual(len(set(rising)), 5, rising)
        self.assertGreaterEqual(max(rising), 80, rising)
        # At each hand-over the bar is emptied: position 0 is below the range,
        # so the bar reads back its minimum, 1.
        for name in (UPDATER, LAUNCHER):
            waiting = positions(name, "waiting")
            self.assertGreaterEqual(len(waiting), 5, "the hand-over to %s was not seen" % name)
            self.assertEqual(set(waiting), {1}, name)
        # No Content-Length: the bar still moves while data arrives, in range.
        unknown = positions(UPDATER, "body")
        self.assertTrue(all(1 <= pos <= 100 for pos in unknown), unknown)
        self.assertGreaterEqual(len({pos for pos in unknown if pos > 1}), 3, unknown)

    # --- cancelling -------------------------------------------------------------

    def reach_stalled_body(self, run, dialog):
        """The library stalls after half of it; the worker is blocked in a read."""
        poll(lambda: run.local_size(LIBRARY) == STALL_AT, 10, what="the first half of the library on disk")
        poll(lambda: self.driver.progress(dialog.hwnd, ID_PROGRESS).pos == 50, 5, what="the bar at 50")

    def reach_streaming_body(self, run, dialog):
        """A large library arrives slowly; the worker reads all the time."""
        poll(lambda: (run.local_size(LIBRARY) or 0) >= 128 * 1024, 10, what="128 KiB of the library on disk")

    def reach_hand_over(self, run, dialog):
        """The library is done; the updater's answer is being waited for."""
        poll(lambda: [e["status"] for e in self.mirror.requests("primary", PRIMARY_PATHS[UPDATER])] == [None], 10,
             what="the updater's request, not yet answered")
        self.assertEqual(run.local(LIBRARY).read_bytes(), checks.stub_file(LIBRARY))
        self.assertEqual(self.driver.progress(dialog.hwnd, ID_PROGRESS).pos, 1)

    def test_cancel_hides_the_dialog_at_once_shows_nothing_and_a_new_run_succeeds(self):
        big_library = os.urandom(1024 * 1024)
        cases = [  # way, moment, faults, library served, (library size after the cancel: low, high)
            ("Cancel button", "stalled body", {LIBRARY: dict(stall_after=STALL_AT, stall_seconds=STALL_SECONDS)},
             None, (STALL_AT, STALL_AT)),
            ("Escape", "stalled body", {LIBRARY: dict(stall_after=STALL_AT, stall_seconds=STALL_SECONDS)},
             None, (STALL_AT, STALL_AT)),
            ("close box", "stalled body", {LIBRARY: dict(stall_after=STALL_AT, stall_seconds=STALL_SECONDS)},
             None, (STALL_AT, STALL_AT)),
            ("Cancel button", "streaming body", {LIBRARY: dict(rate=256 * 1024)},
             big_library, (128 * 1024, len(big_library) - 1)),
            ("Cancel button", "hand-over", {UPDATER: dict(delay=STALL_SECONDS)},
             None, (len(checks.stub_file(LIBRARY)),) * 2),
        ]
        reach = {"stalled body": self.reach_stalled_body, "streaming body": self.reach_streaming_body,
                 "hand-over": self.reach_hand_over}
        for way, moment, faults, library, (low, high) in cases:
            with self.subTest(way=way, moment=moment):
                self.mirror.reset(files=True)
                if library is not None:
                    self.mirror.put_file("primary", PRIMARY_PATHS[LIBRARY], library)
                for name, fault in faults.items():
                    self.mirror.set_fault("primary", PRIMARY_PATHS[name], **fault)
                run = self.start()
                dialog = run.press_ok()
                reach[moment](run, dialog)

                hidden_while_busy = self.cancel_and_watch(run, dialog, CANCEL_WAYS[way])
                # The prompt was enabled before the dialog hid, so it is the
                # window the system activated, not some other program's.
                self.assertTrue(self.driver.window(run.prompt.hwnd).foreground, "the prompt is not active")
                if moment == "stalled body":
                    # The worker cannot be woken (Wine 8), so the dialog waits
                    # for it a while: hidden first, the prompt back later.
                    self.assertTrue(hidden_while_busy, "the dialog stayed visible until it ended")
                time.sleep(0.3)
                run.assert_first_state()  # no box at all
                self.assertTrue(low <= run.local_size(LIBRARY) <= high, run.local_size(LIBRARY))  # partial file kept
                self.assertFalse(run.local(UPDATER).exists())

                # At once, with the fault gone: a clean run over the same files.
                self.mirror.clear_faults()
                run.press_ok()
                run.wait_prompt_state("complete")
                served = {LIBRARY: library} if library is not None else {}
                run.assert_complete(files=served)
                # The old worker gets its last data now: it must write nothing
                # and report nothing.
                self.wait_mirror_idle(STALL_SECONDS + 10)
                time.sleep(0.5)
                run.assert_complete(files=served)
                self.driver.kill(run.pid)

    def test_ok_command_does_not_end_the_dialog_before_every_file_is_complete(self):
        # The dialog has no OK button, but any program can post it IDOK. Ended
        # as a success, it would have the launcher started from whatever
        # file is there (here: none yet).
        self.mirror.set_fault("primary", PRIMARY_PATHS[LIBRARY], stall_after=STALL_AT, stall_seconds=STALL_SECONDS)
        run = self.start()
        dialog = run.press_ok()
        self.reach_stalled_body(run, dialog)
        self.driver.command(dialog.hwnd, IDOK)
        time.sleep(0.5)
        self.assertTrue(self.driver.window(dialog.hwnd).visible, "IDOK ended the download dialog")
        self.assertEqual(self.driver.message_boxes(run.pid), [])
        run.wait_prompt_state("complete", timeout=STALL_SECONDS + 15)
        run.assert_complete()

    def cancel_and_watch(self, run, dialog, cancel):
        """Cancels through `cancel` and waits until the prompt is back.
        Returns whether the dialog was seen hidden while the prompt was still
        disabled (the dialog gone for the user before the cancel ended)."""
        cancel(self.driver, dialog)
        hidden_while_busy = False
        deadline = time.monotonic() + 10
        while True:
            try:
                hidden = not self.driver.window(dialog.hwnd).visible
            except uidriver.CommandFailed:
                hidden = True  # destroyed
            state = run.prompt_state()
            self.assertEqual(self.driver.message_boxes(run.pid), [])
            if state == "first":
                return hidden_while_busy
            hidden_while_busy = hidden_while_busy or hidden
            self.assertLess(time.monotonic(), deadline, "the prompt did not come back after the cancel")
            time.sleep(0.01)

    def test_cancel_while_the_failure_message_is_up(self):
        self.fail_updater_on_both_hosts()
        run = self.start()
        dialog = run.press_ok()
        box = self.driver.message_box(run.pid, owner=run.prompt.hwnd)
        self.driver.click(dialog.hwnd, IDCANCEL)  # the dialog is still enabled
        self.driver.wait_gone(dialog.hwnd, hidden_ok=True)
        self.assertEqual([b.hwnd for b in self.driver.message_boxes(run.pid)], [box.hwnd])
        # The ended dialog gives the prompt back its input (as EndDialog
        # does), but no second run can start under the box.
        self.assertEqual(run.prompt_state(), "busy")
        controls = run.prompt_controls()
        self.assertEqual((controls[IDOK].enabled, controls[IDCANCEL].enabled), (False, False))
        self.driver.answer(box, IDOK)
        run.wait_prompt_state("first")
        time.sleep(0.5)
        run.assert_first_state()  # no second box, no crash

        self.mirror.clear_faults()
        run.press_ok()
        run.wait_prompt_state("complete")
        run.assert_complete()

    def test_thirty_cancels_at_random_moments_then_a_clean_run_and_a_clean_exit(self):
        seed = int(os.environ.get("ZELVRA_TEST_SEED") or time.time())
        rng = random.Random(seed)
        report("random cancels, seed %d (ZELVRA_TEST_SEED repeats it)" % seed)
        # The library takes about 0.6 s, the updater stalls after 4 KiB for
        # 3 s: a cancel within 1.5 s lands in the library, at the hand-over,
        # in the updater's body or in its stall.
        self.mirror.set_fault("primary", "*", rate=20000)
        self.mirror.set_fault("primary", PRIMARY_PATHS[UPDATER], stall_after=4096, stall_seconds=3)
        run = self.start()
        landed = {}
        for attempt in range(1, 31):
            self.mirror.reset_log()
            dialog = run.press_ok()
            delay = rng.uniform(0.0, 1.5)
            time.sleep(delay)
            requested = self.paths("primary")
            self.driver.click(dialog.hwnd, IDCANCEL)
            try:
                run.wait_prompt_state("first", timeout=10)
                run.assert_first_state()
            except AssertionError as error:  # the next attempts would only repeat it
                raise AssertionError("cancel %d of 30, %.2f s after the dialog appeared: %s"
                                     % (attempt, delay, error)) from None
            where = requested[-1].rsplit("/", 1)[-1] if requested else "before any request"
            landed[where] = landed.get(where, 0) + 1
        report("cancels by the file being fetched: %s" % landed)

        self.mirror.clear_faults()
        run.press_ok()
        run.wait_prompt_state("complete")
        run.assert_complete()
        # Once every stall has run out, the cancelled workers end without a
        # trace, and the program closes at once with exit code 0.
        self.wait_mirror_idle(15)
        time.sleep(0.5)
        run.assert_only_prompt()
        self.driver.click(run.prompt.hwnd, ID_CLOSE)
        self.assertEqual(self.driver.wait_exit(run.pid, timeout=10), 0)

    # --- the temporary path -------------------------------------------------------

    def test_long_temporary_path_ends_in_a_clear_outcome(self):
        cases = [  # %TEMP% length in characters, outcomes allowed
            # The temporary path fits, the download folder and files do not:
            # an elevated run creates them through the held folder all the
            # same, and then the launcher's path is too long to start.
            (250, {"error", "success", "launch failed"}),
            # Longer than MAX_PATH. Wine 8 gives no temporary path at all
            # then; the dialog waits, without a worker, for the user to cancel.
            (300, {"error", "success", "launch failed", "no temporary path"}),
        ]
        for length, allowed in cases:
            with self.subTest(length=length):
                self.mirror.reset_log()
                temp = TempFolder(self, length=length)
                self.assertEqual(len(temp.windows), length)
                run = self.start(temp)
                dialog = run.press_ok()
                outcome = self.long_path_outcome(run, dialog, temp)
                report("%%TEMP%% of %d characters: %s" % (length, outcome))
                self.assertIn(outcome, allowed)
                self.driver.kill(run.pid)

    def long_path_outcome(self, run, dialog, temp):
        """Follows a run to its end and checks it: 'success', 'error' (the
        worker's "Error1:"/"Error2:" box and then message 57353), 'launch
        failed' (every file downloaded, then message 57349 and the finished
        look), or 'no temporary path' (no request, no box; Cancel ends the
        dialog)."""
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline:
            run.assert_alive()
            if self.driver.message_boxes(run.pid):
                break
            if run.prompt_state() == "complete":
                run.assert_complete()
                return "success"
            time.sleep(0.1)
        else:
            self.assertEqual(self.mirror.requests(), [])
            shown = self.driver.window(dialog.hwnd)
            self.assertEqual((shown.visible, shown.enabled), (True, True))
            self.assertTrue(self.driver.info.wine, "only Wine fails to give a long temporary path")
            harness.screenshot("%s_no_temporary_path" % self.id())
            self.driver.click(dialog.hwnd, IDCANCEL)
            run.wait_prompt_state("first")
            run.assert_first_state()
            return "no temporary path"

        box = self.driver.message_box(run.pid)
        harness.screenshot("%s_error" % self.id())
        if box.owner == run.prompt.hwnd:
            # The download dialog has ended: the launcher could not be started.
            self.assertEqual((box.title, box.text), (run.texts.app_title, run.texts.launch_failed))
            self.assertEqual([e["path"] for e in self.mirror.requests()], [PRIMARY_PATHS[n] for n in FETCH_ORDER])
            self.driver.answer(box, IDOK)
            run.wait_prompt_state("complete")
            self.assertEqual(run.launcher_starts(), [])
            return "launch failed"
        # The worker's own box first (owned by the download dialog), then 57353.
        self.assertEqual((box.title, box.owner, [b.id for b in box.buttons]), (run.texts.app_title, dialog.hwnd, [IDOK]))
        if box.rect[0] >= 0:  # a long path makes the box wider than the screen, its icon off it
            self.assertEqual(box.icon, "exclamation")
        self.assertRegex(box.text, r"^Error[12]:")
        # The description names the file under the long %TEMP%: the
        # environment reached the program (the text stops at 254 characters).
        self.assertIn(temp.windows[:100], box.text)
        run.answer_failure(box)
        return "error"


class KoreanDownloadTest(BothLanguagesTests, DownloadTestCase):
    language = "ko"


if __name__ == "__main__":
    unittest.main()
