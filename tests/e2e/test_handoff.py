"""The whole run of the real ZelvraInstaller.exe under Wine, against the
update mirror and the launcher stand-in: the three downloads, the hidden
start of ZVCallUpdater.exe with its parameters, the wait for its mutex, the
finished look and the end; and what happens when the launch fails, a
download fails, or the user cancels the downloads. The whole run, the failed
launch and the failed download run in English and in Korean.
"""

import sys
import time
import unittest

import harness
import installer_checks
from installer_checks import (DEV_PATHS, EXIT_INSTALL_FAILED, EXIT_USER_CANCELLED, ID_PROGRESS, IDCANCEL, IDOK,
                              IDNO, IDYES, LAUNCHER_HOLD_MS, MUTEX_WAIT_SECONDS, PRIMARY_PATHS, SECONDARY_PATHS, TITLE,
                              UPDATE_FILES, USER_AGENT, header, mirror_client, same_windows_path)

sys.path.insert(0, str(harness.SOURCE_DIR / "tools" / "stub_launcher"))
from launcher_record import launcher_environment  # noqa: E402  (found through the path above)

NO_ARGUMENTS_PARAMETERS = '"@cmd=" "@execute=Zelvra.exe" "@install"'
TEST_ACCESS_ARGUMENT = '"@5204917738162"'


class HandOffTests:
    """Tests whose outcome depends on the language; the classes below set it
    and the way each ends the finished prompt."""

    finished_ending = "close button"

    def primary_requests(self):
        return [("primary", PRIMARY_PATHS[name]) for name in UPDATE_FILES]

    def run_to_finished_look(self, command_line=None, env=None):
        """Starts the installer, presses OK and waits for the finished look;
        returns (pid, prompt, launcher start record, time the look was seen)."""
        pid, prompt = self.start_installer(command_line=command_line, env=env)
        self.driver.click(prompt.hwnd, IDOK)
        start = self.wait_launcher_start(timeout=20.0)
        seen_at, _ = self.wait_finished_look(prompt)
        return pid, prompt, start, seen_at

    def test_the_launcher_gets_the_systems_variables_and_the_users_names_only(self):
        """Whatever the installer's environment says, the elevated launcher
        gets the system's own variables, the user's names and the checked
        temporary folder; a variable the user sets never reaches it."""
        self.start_mirror()
        user_bin = "C:\\users\\Public\\zelvra-user-bin"
        given = {"windir": "C:\\zelvra-windir", "SystemRoot": "C:\\zelvra-windir", "ComSpec": "C:\\zelvra\\cmd.exe",
                 "PATH": user_bin + ";C:\\windows\\system32;C:\\windows", "DOTNET_ROOT": "C:\\zelvra-dotnet",
                 "JAVA_TOOL_OPTIONS": "-javaagent:C:\\x.jar", "NODE_OPTIONS": "--require C:\\x.js",
                 "ZELVRA_MARKER": "1"}
        pid, prompt, start, _ = self.run_to_finished_look(env=given)
        environment = launcher_environment(start)
        windows = "C:\\windows"
        for name in ("WINDIR", "SYSTEMROOT"):
            self.assertTrue(same_windows_path(environment.get(name, ""), windows), (name, environment.get(name)))
        self.assertTrue(same_windows_path(environment.get("COMSPEC", ""), windows + "\\system32\\cmd.exe"),
                        environment.get("COMSPEC"))
        self.assertNotIn(user_bin.lower(), environment["PATH"].lower())
        self.assertIn("c:\\windows\\system32", environment["PATH"].lower())
        self.assertEqual([name for name in ("DOTNET_ROOT", "JAVA_TOOL_OPTIONS", "NODE_OPTIONS", "ZELVRA_MARKER")
                          if name in environment], [])
        self.assertTrue(same_windows_path(environment["TEMP"], self.temp_windows), environment["TEMP"])
        self.assertTrue(same_windows_path(environment["TMP"], self.temp_windows), environment["TMP"])
        self.assertIn("USERPROFILE", environment)
        self.assertEqual([name for name in environment if name.startswith("=")], [], "no per-drive entries")
        self.end_finished_prompt(pid, prompt, self.finished_ending)

    def assert_downloaded_as_served(self):
        for name in UPDATE_FILES:
            with self.subTest(file=name):
                self.assertEqual(self.downloaded(name), self.served(name))

    def test_whole_run_downloads_launches_hidden_and_finishes(self):
        mirror = self.start_mirror()
        # The second file stops half-way for a moment, so that the progress can be seen.
        half = len(self.served("ZVUpdater.exe")) // 2
        mirror.set_fault("primary", PRIMARY_PATHS["ZVUpdater.exe"], stall_after=half, stall_seconds=1.5, times=1)
        self.assertFalse(self.download_folder.exists())
        pid, prompt = self.start_installer()
        self.assert_first_state(prompt)
        harness.screenshot("handoff_%s_1_prompt" % self.language)

        self.driver.click(prompt.hwnd, IDOK)
        downloads = self.wait_download_dialog(pid, prompt)
        # Centred over the prompt, which it disables.
        px, py, pwidth, pheight = self.driver.window(prompt.hwnd).rect
        dx, dy, dwidth, dheight = downloads.rect
        self.assertLessEqual(abs((2 * dx + dwidth) - (2 * px + pwidth)), 2, (downloads.rect, prompt.rect))
        self.assertLessEqual(abs((2 * dy + dheight) - (2 * py + pheight)), 2, (downloads.rect, prompt.rect))
        controls = self.prompt_controls(prompt)
        self.assertEqual((controls[IDOK].enabled, controls[IDCANCEL].enabled), (False, False))

        mirror.wait_requests(host="primary", path=PRIMARY_PATHS["ZVUpdater.exe"], finished=False)
        deadline = time.monotonic() + 5.0
        while True:
            progress = self.driver.progress(downloads.hwnd, ID_PROGRESS)
            if progress.pos > progress.low or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        harness.screenshot("handoff_%s_2_progress" % self.language)
        self.assertLess(progress.low, progress.pos)
        self.assertLess(progress.pos, progress.high)

        self.wait_finished_look(prompt)
        self.assert_finished_look(prompt)
        harness.screenshot("handoff_%s_3_finished" % self.language)
        self.assertEqual(self.driver.message_boxes(pid), [])
        self.driver.wait_gone(downloads.hwnd)

        self.assert_downloaded_as_served()
        self.assertEqual(sorted(p.name for p in self.download_folder.iterdir()), sorted(UPDATE_FILES))
        self.assertEqual(self.requested(), self.primary_requests())
        for entry in mirror.requests():
            with self.subTest(request=entry["path"]):
                self.assertEqual((entry["method"], entry["status"], entry["outcome"]), ("GET", 200, "complete"))
                self.assertEqual(header(entry, "User-Agent"), USER_AGENT)

        start = self.wait_launcher_start()
        self.assertTrue(same_windows_path(start["exe"], self.download_folder_windows + "\\ZVCallUpdater.exe"),
                        start["exe"])
        self.assertEqual(start["arguments"], NO_ARGUMENTS_PARAMETERS)
        self.assertEqual((start["startf_useshowwindow"], start["show_window"]), ("1", "0"), "started hidden")
        # Elevated (as every program under Wine is), it starts in its own folder.
        self.assertTrue(same_windows_path(start["cwd"], self.download_folder_windows), start["cwd"])
        self.assertEqual(len(self.launcher_blocks("mutex")), 1)

        self.end_finished_prompt(pid, prompt, self.finished_ending)
        self.assertEqual(len(self.launcher_blocks("start")), 1, "started once")

    def test_failed_launch_shows_one_error_and_finishes_all_the_same(self):
        mirror = self.start_mirror()
        mirror.put_file("primary", PRIMARY_PATHS["ZVCallUpdater.exe"], mirror_client.UNRUNNABLE_PROGRAM)
        pid, prompt = self.start_installer()
        self.driver.click(prompt.hwnd, IDOK)

        ours, foreign, handled = [], [], set()
        box_seen_at = box_answered_at = None
        deadline = time.monotonic() + 20.0
        while True:
            controls = self.prompt_controls(prompt)
            if self.is_finished_look(controls):
                finished_at = time.time()
                break
            if time.monotonic() > deadline:
                self.fail("expected the finished look after the failed launch; boxes answered: %r; prompt: %r"
                          % ([(b.title, b.text) for b in ours + foreign],
                             [(c.id, c.visible, c.enabled) for c in controls.answer.controls]))
            for box in self.driver.message_boxes(pid):
                if box.hwnd in handled:
                    continue
                handled.add(box.hwnd)
                if box.title == TITLE:
                    box_seen_at = time.time()
                    ours.append(box)
                    harness.screenshot("handoff_%s_launch_failed" % self.language)
                    self.driver.answer(box, IDOK)
                    box_answered_at = time.time()
                else:
                    foreign.append(box)  # the shell's own report of the bad program
                    self.driver.answer(box, box.buttons[0].id)
            time.sleep(0.05)

        self.assertEqual(len(ours), 1, "our error exactly once; boxes: %r" % ours)
        self.assert_box(ours[0], self.strings[57349], prompt.hwnd, [IDOK], "exclamation")
        self.assertLessEqual(len(foreign), 1, foreign)
        if foreign:
            print("dismissed the shell's box: %r %r" % (foreign[0].title, foreign[0].text), file=sys.stderr)
        time.sleep(0.5)
        self.assertEqual(self.driver.message_boxes(pid), [])
        self.assert_finished_look(prompt)
        # No wait for the mutex, before the box or after it.
        downloads_ended = mirror.requests(path=PRIMARY_PATHS["ZVCallUpdater.exe"])[-1]["end_time"]
        waited = (box_seen_at - downloads_ended) + (finished_at - box_answered_at)
        self.assertLess(waited, MUTEX_WAIT_SECONDS / 2)
        self.assertEqual(self.launcher_blocks(), [])
        self.assertEqual(self.downloaded("ZVCallUpdater.exe"), mirror_client.UNRUNNABLE_PROGRAM)
        self.end_finished_prompt(pid, prompt, "close box", exit_code=EXIT_INSTALL_FAILED)

    def test_a_second_copy_hands_over_to_the_running_one(self):
        """A copy started while the first downloads, and one started while
        the first shows its finished look, each bring the first's window to
        the front and end at once (1618) showing nothing; the first goes on as
        if nothing had happened: whole files, one launch, exit 0."""
        mirror = self.start_mirror()
        half = len(self.served("ZVUpdater.exe")) // 2
        mirror.set_fault("primary", PRIMARY_PATHS["ZVUpdater.exe"], stall_after=half, stall_seconds=4, times=1)
        pid, prompt = self.start_installer()
        self.driver.click(prompt.hwnd, IDOK)
        downloads = self.wait_download_dialog(pid, prompt)
        mirror.wait_requests(host="primary", path=PRIMARY_PATHS["ZVUpdater.exe"], finished=False)
        while_downloading = self.assert_second_copy_hands_over(pid, downloads)
        self.assertEqual(mirror.requests(path=PRIMARY_PATHS["ZVUpdater.exe"])[0]["outcome"], "pending",
                         "the second copy came after the download")

        self.wait_finished_look(prompt)
        while_finished = self.assert_second_copy_hands_over(pid, prompt)
        self.assert_finished_look(prompt)
        print("second copies ended after %.2f s and %.2f s" % (while_downloading, while_finished), file=sys.stderr)
        self.assert_downloaded_as_served()
        self.assertEqual(self.requested(), self.primary_requests())
        self.assertEqual(self.wait_launcher_start()["arguments"], NO_ARGUMENTS_PARAMETERS)
        self.end_finished_prompt(pid, prompt, "close button")
        self.assertEqual(len(self.launcher_blocks("start")), 1, "started once")

    def test_failed_download_gives_the_prompt_back_and_ok_starts_over(self):
        mirror = self.start_mirror()
        mirror.set_fault("primary", PRIMARY_PATHS["ZVUpdater.exe"], status=404)
        mirror.set_fault("secondary", SECONDARY_PATHS[self.language]["ZVUpdater.exe"], status=404)
        pid, prompt = self.start_installer()
        before = self.snapshot(prompt)
        self.driver.click(prompt.hwnd, IDOK)
        box = self.driver.message_box(pid, owner=prompt.hwnd)
        self.assert_box(box, self.strings[57353], prompt.hwnd, [IDOK], "exclamation")
        self.driver.answer(box, IDOK)
        self.wait_prompt_usable(prompt)
        self.assertEqual(self.snapshot(prompt), before)
        self.assertEqual(self.requested(), [("primary", PRIMARY_PATHS["ZVUpdaterRes.dll"]),
                                            ("primary", PRIMARY_PATHS["ZVUpdater.exe"]),
                                            ("secondary", SECONDARY_PATHS[self.language]["ZVUpdater.exe"])])
        self.assertEqual(self.launcher_blocks(), [])

        mirror.clear_faults()
        mirror.reset_log()
        self.driver.click(prompt.hwnd, IDOK)
        self.wait_finished_look(prompt)
        self.assert_finished_look(prompt)
        self.assertEqual(self.requested(), self.primary_requests(), "a whole new attempt")
        self.assert_downloaded_as_served()
        self.assertEqual(self.wait_launcher_start()["arguments"], NO_ARGUMENTS_PARAMETERS)
        self.end_finished_prompt(pid, prompt, "close button")


class EnglishHandOffTest(HandOffTests, installer_checks.InstallerTestCase):
    language = "en"
    finished_ending = "close button"

    def fresh_run(self):
        """Between two runs in one test: no download folder, no record, no log."""
        self._end_launchers()
        self.record_file.unlink(missing_ok=True)
        for path in self.download_folder.glob("*"):
            path.unlink()
        self.mirror.reset_log()

    def test_arguments_in_any_script_reach_the_launcher_intact(self):
        """Korean, Thai and a character outside the basic plane, whatever the
        ANSI code page: "@cmd=" carries them exactly as given."""
        self.start_mirror()
        exe = harness.to_windows_path(harness.installer_exe())
        arguments = '\ud55c\uae00 \u0e44\u0e17\u0e22 \U0001F600  "\uc790\ub8cc \ud3f4\ub354\\\ud30c\uc77c.txt" '
        pid, prompt = self.start_installer(command_line='"%s"  %s' % (exe, arguments))
        self.driver.click(prompt.hwnd, IDOK)
        self.wait_finished_look(prompt)
        start = self.wait_launcher_start()
        self.assertEqual(start["arguments"], '"@cmd=%s" "@execute=Zelvra.exe" "@install"' % arguments)
        self.end_finished_prompt(pid, prompt, "close button")

    def test_command_line_reaches_the_launcher_unchanged_and_selects_test_mode(self):
        exe = harness.to_windows_path(harness.installer_exe())
        development = [("dev", DEV_PATHS[name]) for name in UPDATE_FILES]
        cases = [  # command line, hosts asked, launcher arguments
            ('"%s"  "C:\\My Files\\a b.txt"  x@testy  end ' % exe, development,
             '"@cmd="C:\\My Files\\a b.txt"  x@testy  end " "@execute=Zelvra.exe" "@install" '
             + TEST_ACCESS_ARGUMENT),
            ('"%s" @TEST' % exe, self.primary_requests(),
             '"@cmd=@TEST" "@execute=Zelvra.exe" "@install"'),
            ("ZelvraInstaller.exe\t @test", development,
             '"@cmd=@test" "@execute=Zelvra.exe" "@install" ' + TEST_ACCESS_ARGUMENT),
        ]
        self.start_mirror()
        for command_line, requests, arguments in cases:
            with self.subTest(command_line=command_line):
                self.fresh_run()
                pid, prompt, start, _ = self.run_to_finished_look(command_line=command_line)
                self.assertEqual(self.requested(), requests)
                self.assertEqual(start["arguments"], arguments)
                self.assert_downloaded_as_served()
                self.end_finished_prompt(pid, prompt, "close button")

    def test_the_launchers_folder_cannot_be_renamed_while_it_runs(self):
        """The launcher runs in its download folder: once the installer has
        ended, nothing can rename that folder from under it and put other
        files where the launcher looks for its own."""
        self.start_mirror()
        pid, prompt, start, _ = self.run_to_finished_look(env={"ZELVRA_STUB_HOLD_MS": "20000"})
        self.assertTrue(same_windows_path(start["cwd"], self.download_folder_windows), start["cwd"])
        self.end_finished_prompt(pid, prompt, "close button")
        aside = self.download_folder_windows + ".aside"
        probe = self.launch(harness.build_dir() / "tools" / "stub_launcher" / "stub_probe.exe",
                            'move "%s" "%s"' % (self.download_folder_windows, aside))
        self.assertEqual(self.driver.wait_exit(probe, timeout=20.0), 1, "the folder was renamed")
        self.assertTrue(self.download_folder.is_dir())
        self.assertEqual(self.launcher_blocks("exit"), [], "the launcher was still running")

    def test_a_launch_path_made_to_lead_elsewhere_during_the_downloads_starts_nothing(self):
        """A folder on the way to the download folder is renamed aside while
        the launcher downloads, and another program is put where its path now
        leads: that program never runs, and the run ends as a failed launch."""
        mirror = self.start_mirror()
        mirror.set_fault("primary", PRIMARY_PATHS["ZVCallUpdater.exe"], delay=3.0, times=1)
        temp = self.work_dir / "tmp"
        temp.mkdir()
        temp_windows = harness.to_windows_path(temp)
        pid, prompt = self.start_installer(env={"TEMP": temp_windows, "TMP": temp_windows})
        self.driver.click(prompt.hwnd, IDOK)
        mirror.wait_requests(host="primary", path=PRIMARY_PATHS["ZVCallUpdater.exe"], finished=False, timeout=20.0)
        temp.rename(self.work_dir / "tmp.aside")
        (temp / "ZelvraManager").mkdir(parents=True)
        (temp / "ZelvraManager" / "ZVCallUpdater.exe").write_bytes(self.served("ZVCallUpdater.exe") + b"marked")

        box = self.driver.message_box(pid, title=TITLE, timeout=20.0)
        self.assert_box(box, self.strings[57349], prompt.hwnd, [IDOK], "exclamation")
        self.driver.answer(box, IDOK)
        self.wait_finished_look(prompt)
        self.assertEqual(self.launcher_blocks(), [], "a program was started")
        held = self.work_dir / "tmp.aside" / "ZelvraManager" / "ZVCallUpdater.exe"
        self.assertEqual(held.read_bytes(), self.served("ZVCallUpdater.exe"), "the download went to the held folder")
        self.end_finished_prompt(pid, prompt, "close button", exit_code=EXIT_INSTALL_FAILED)

    def test_wait_for_the_launcher_mutex_ends_early_or_after_thirty_probes(self):
        self.start_mirror()
        elapsed = {}
        for delay in ("100", "never"):
            with self.subTest(mutex_delay_ms=delay):
                self.fresh_run()
                pid, prompt = self.start_installer(env={"ZELVRA_STUB_MUTEX_DELAY_MS": delay})
                self.driver.click(prompt.hwnd, IDOK)
                start = self.wait_launcher_start(timeout=20.0)
                if delay == "never":
                    # The wait blocks the prompt's thread: it answers no message.
                    self.assertFalse(self.driver.controls(prompt.hwnd).thread_responding)
                seen_at, _ = self.wait_finished_look(prompt, timeout=30.0)
                self.assert_finished_look(prompt)
                elapsed[delay] = seen_at - int(start["time_ms"]) / 1000.0
                downloads_ended = self.mirror.requests(path=PRIMARY_PATHS["ZVCallUpdater.exe"])[-1]["end_time"]
                mutexes = self.launcher_blocks("mutex")
                if delay == "never":
                    self.assertEqual(mutexes, [])
                    self.assertGreaterEqual(elapsed[delay], MUTEX_WAIT_SECONDS - 0.5)
                    self.assertGreaterEqual(seen_at - downloads_ended, MUTEX_WAIT_SECONDS - 0.2)
                else:
                    self.assertEqual([m["created"] for m in mutexes], ["1"])
                self.end_finished_prompt(pid, prompt, "close box")
        print("finished look after the launcher's start: %s" % {k: round(v, 2) for k, v in elapsed.items()},
              file=sys.stderr)
        # A mutex that is there at the first probe ends the wait seconds sooner.
        self.assertLess(elapsed["100"] + 3.0, elapsed["never"], elapsed)

    def test_cancel_during_the_downloads_launches_nothing(self):
        mirror = self.start_mirror()
        mirror.set_fault("primary", PRIMARY_PATHS["ZVCallUpdater.exe"], stall_after=1024, stall_seconds=None)
        pid, prompt = self.start_installer()
        before = self.snapshot(prompt)
        self.driver.click(prompt.hwnd, IDOK)
        downloads = self.wait_download_dialog(pid, prompt)
        mirror.wait_requests(host="primary", path=PRIMARY_PATHS["ZVCallUpdater.exe"], finished=False)
        self.driver.click(downloads.hwnd, IDCANCEL)
        self.driver.wait_gone(downloads.hwnd)
        self.wait_prompt_usable(prompt)
        self.assertEqual(self.snapshot(prompt), before)
        time.sleep(0.5)
        self.assertEqual(self.driver.message_boxes(pid), [])
        self.assertEqual(self.launcher_blocks(), [])
        self.assertNotIn("zvcallupdater.exe", [p.exe.lower() for p in self.driver.processes()])

        # Still before the hand-off: Cancel asks, Yes ends the program.
        self.driver.click(prompt.hwnd, IDCANCEL)
        box = self.driver.message_box(pid, owner=prompt.hwnd)
        self.assertEqual(box.text, self.strings[1])
        self.driver.click(box.hwnd, IDYES)
        self.assertEqual(self.driver.wait_exit(pid, timeout=5.0), EXIT_USER_CANCELLED)

    def test_a_confirmed_close_of_the_prompt_during_the_downloads_cancels_them(self):
        # "End task" sends WM_CLOSE to the prompt, which the download dialog
        # keeps disabled. It asks; No leaves the downloads going, Yes cancels
        # them as the download dialog's Cancel would: nothing is launched.
        mirror = self.start_mirror()
        mirror.set_fault("primary", PRIMARY_PATHS["ZVCallUpdater.exe"], stall_after=1024, stall_seconds=None)
        pid, prompt = self.start_installer()
        self.driver.click(prompt.hwnd, IDOK)
        downloads = self.wait_download_dialog(pid, prompt)
        mirror.wait_requests(host="primary", path=PRIMARY_PATHS["ZVCallUpdater.exe"], finished=False)
        for answer in (IDNO, IDYES):
            self.driver.close_window(prompt.hwnd, how="wm_close", force=True)
            box = self.driver.message_box(pid, owner=prompt.hwnd)
            self.assertEqual(box.text, self.strings[1])
            self.driver.click(box.hwnd, answer)
            if answer == IDNO:
                self.driver.wait_gone(box.hwnd)
                self.assertTrue(self.driver.window(downloads.hwnd).visible)
        self.assertEqual(self.driver.wait_exit(pid, timeout=10.0), EXIT_USER_CANCELLED)
        self.assertEqual(self.launcher_blocks(), [])
        self.assertNotIn("zvcallupdater.exe", [p.exe.lower() for p in self.driver.processes()])


class KoreanHandOffTest(HandOffTests, installer_checks.InstallerTestCase):
    language = "ko"
    finished_ending = "close box"

    def test_korean_arguments_reach_the_launcher_in_the_korean_code_page(self):
        self.start_mirror()
        exe = harness.to_windows_path(harness.installer_exe())
        arguments = '한글  "자료 폴더\\파일.txt" '
        pid, prompt = self.start_installer(command_line='"%s"  %s' % (exe, arguments))
        self.driver.click(prompt.hwnd, IDOK)
        self.wait_finished_look(prompt)
        start = self.wait_launcher_start()
        expected = '"@cmd=%s" "@execute=Zelvra.exe" "@install"' % arguments
        self.assertEqual(start["arguments"], expected)
        self.assertEqual(start["ansi_code_page"], "949")
        self.assertTrue(bytes.fromhex(start["command_line_ansi_hex"]).decode("cp949").endswith(" " + expected))
        self.assertEqual(self.requested(), self.primary_requests())
        self.end_finished_prompt(pid, prompt, "close button")


if __name__ == "__main__":
    unittest.main()
