"""The install prompt of the real ZelvraInstaller.exe under Wine, in English
and in Korean: what it shows when it opens, the question that guards every
way of cancelling, and how it gives itself back to the user when the
hand-off fails.

The whole hand-off (downloads, launch, wait, finished look) and the command
line are tested in test_handoff.py.
"""

import pathlib
import subprocess
import sys
import tempfile
import unittest

import harness
from harness import uidriver
import installer_checks
from installer_checks import (EXIT_USER_CANCELLED, ID_DONE, IDCANCEL, IDNO, IDOK, IDYES,
                              PRIMARY_PATHS, PROMPT_CONTROL_ORDER, PROMPT_LAYOUT, SECONDARY_PATHS, SS_TYPEMASK, TITLE)

WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x00C00000, 0x00080000, 0x00020000, 0x00010000
WS_EX_APPWINDOW = 0x00040000


def application_icon_images():
    """The application icon's images as the build drew them (or as its
    script draws them, which always gives the same file)."""
    built = harness.build_dir() / "generated" / "zelvra.ico"
    if built.is_file():
        return uidriver.ico_images(built)
    with tempfile.TemporaryDirectory() as folder:
        drawn = pathlib.Path(folder) / "zelvra.ico"
        subprocess.run([sys.executable, str(harness.SOURCE_DIR / "res" / "icon" / "make_icon.py"), str(drawn)],
                       check=True, timeout=120)
        return uidriver.ico_images(drawn)


class PromptTests:
    """The prompt's tests; the TestCase classes below set the language."""

    def test_prompt_shows_its_texts_in_the_template_layout(self):
        pid, prompt = self.start_installer()
        self.assert_first_state(prompt)
        controls = self.prompt_controls(prompt)
        answer = controls.answer
        layout = PROMPT_LAYOUT[self.language]

        self.assertEqual(prompt.title, TITLE)
        self.assertEqual(prompt["class"], "#32770")
        self.assertEqual(prompt.style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU)
        self.assertEqual(prompt.style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0, "no minimise or maximise box")
        self.assertTrue(prompt.exstyle & WS_EX_APPWINDOW)
        self.assertTrue(controls[IDOK].focused)

        self.assertEqual([c.id for c in answer.controls], PROMPT_CONTROL_ORDER)
        if answer.base_units is None:
            self.skipTest("the driver gives no dialog units here")
        self.assertEqual(answer.client_dlu, [0, 0] + layout["size"])
        if answer.base_units.source == "template":
            self.assertEqual((answer.base_units.template, answer.base_units.language), ("#102", layout["language"]))
        for control_id, rect in layout["controls"].items():
            with self.subTest(control=control_id):
                self.assertEqual(controls[control_id].dlu, rect)
                self.assertTrue(controls[control_id].dlu_exact)
        self.assertEqual(controls[ID_DONE].style & SS_TYPEMASK, layout["done_alignment"])
        harness.screenshot("prompt_%s" % self.language)

    def test_prompt_is_centred_in_the_work_area_with_the_application_icon(self):
        pid, prompt = self.start_installer()
        screen_width, screen_height = self.driver.info.screen
        x, y, width, height = prompt.rect
        # Centred, to the pixel that integer halves allow (no task bar on the test display).
        self.assertLessEqual(abs((2 * x + width) - screen_width), 2, prompt.rect)
        self.assertLessEqual(abs((2 * y + height) - screen_height), 2, prompt.rect)

        icons = self.driver.window_icon_images(prompt.hwnd)
        if not icons:
            self.skipTest("the X server holds no icon for the prompt (no _NET_WM_ICON)")
        expected = {}
        for image in application_icon_images():
            expected.setdefault((image.width, image.height), []).append(image.pixels)
        for image in icons:
            with self.subTest(size=(image.width, image.height)):
                self.assertIn((image.width, image.height), expected)
                self.assertIn(image.pixels, expected[(image.width, image.height)],
                              "the window icon is none of the application icon's images of that size")

    def test_every_way_to_cancel_asks_and_no_leaves_the_prompt_as_it_was(self):
        pid, prompt = self.start_installer()
        before = self.snapshot(prompt)
        ways = [  # what the user does, and how the question is answered No
            ("Cancel button", lambda: self.driver.click(prompt.hwnd, IDCANCEL), "No button"),
            ("Escape", lambda: self.driver.key(prompt.hwnd, "escape"), "No button"),
            ("close box", lambda: self.driver.close_window(prompt.hwnd), "No button"),
            ("Cancel button", lambda: self.driver.click(prompt.hwnd, IDCANCEL), "Enter, the default"),
        ]
        for way, action, answer in ways:
            with self.subTest(way=way, answer=answer):
                action()
                box = self.driver.message_box(pid, owner=prompt.hwnd)
                self.assert_box(box, self.strings[1], prompt.hwnd, [IDYES, IDNO], "question", default_id=IDNO)
                self.assertEqual(box.tid, prompt.tid)
                self.assertFalse(self.driver.window(prompt.hwnd).enabled, "the question is modal to the prompt")
                if answer == "No button":
                    self.driver.answer(box, IDNO)
                else:
                    self.driver.key(box.hwnd, "enter")
                    self.driver.wait_gone(box.hwnd)
                self.assertEqual(self.snapshot(prompt), before)
                self.assertEqual(self.driver.message_boxes(pid), [])
        self.assertEqual(self.driver.windows(pid, visible_only=True)[0].hwnd, prompt.hwnd)

    def test_every_way_to_cancel_ends_the_program_on_yes(self):
        ways = [
            ("Cancel button", lambda prompt: self.driver.click(prompt.hwnd, IDCANCEL)),
            ("Escape", lambda prompt: self.driver.key(prompt.hwnd, "escape")),
            ("close box", lambda prompt: self.driver.close_window(prompt.hwnd)),
        ]
        for way, action in ways:
            with self.subTest(way=way):
                pid, prompt = self.start_installer()
                action(prompt)
                box = self.driver.message_box(pid, owner=prompt.hwnd)
                self.assert_box(box, self.strings[1], prompt.hwnd, [IDYES, IDNO], "question", default_id=IDNO)
                self.driver.click(box.hwnd, IDYES)
                self.assertEqual(self.driver.wait_exit(pid, timeout=5.0), EXIT_USER_CANCELLED)

    def test_failed_hand_off_gives_the_prompt_back_in_its_first_state(self):
        resource = "ZVUpdaterRes.dll"
        variants = [
            # name, mirror faults, boxes of the worker before the prompt's own,
            # requests the mirror sees
            ("no update host answers", False, 1, None),
            ("both hosts answer 404", True, 0,
             [("primary", PRIMARY_PATHS[resource]), ("secondary", SECONDARY_PATHS[self.language][resource])]),
        ]
        for name, with_mirror, worker_boxes, requests in variants:
            with self.subTest(name):
                if with_mirror:
                    mirror = self.start_mirror()
                    # Slow enough to look at the prompt while the download dialog is up.
                    mirror.set_fault("primary", "*", status=404, delay=1.0)
                    mirror.set_fault("secondary", "*", status=404)
                pid, prompt = self.start_installer()
                before = self.snapshot(prompt)
                self.driver.click(prompt.hwnd, IDOK)
                downloads = self.wait_download_dialog(pid, prompt)

                # The hand-off runs: both buttons disabled, the prompt under the modal dialog.
                controls = self.prompt_controls(prompt)
                self.assertEqual((controls[IDOK].enabled, controls[IDCANCEL].enabled), (False, False))
                self.assertEqual((controls[IDOK].visible, controls[IDCANCEL].visible), (True, True))
                self.assertFalse(self.driver.window(prompt.hwnd).enabled)

                for _ in range(worker_boxes):
                    # The worker's own report, owned by the download dialog.
                    box = self.driver.message_box(pid, owner=downloads.hwnd)
                    self.assertEqual(box.title, TITLE)
                    self.assertTrue(box.text.startswith("Error2:"), box.text)
                    self.assertEqual([b.id for b in box.buttons], [IDOK])
                    self.driver.answer(box, IDOK)

                box = self.driver.message_box(pid, owner=prompt.hwnd)
                self.assert_box(box, self.strings[57353], prompt.hwnd, [IDOK], "exclamation")
                self.assertEqual(len(self.driver.message_boxes(pid)), 1)
                # The box disables its owner only: the download dialog is still up and enabled.
                self.assertTrue(self.driver.window(downloads.hwnd).enabled)
                controls = self.prompt_controls(prompt)
                self.assertEqual((controls[IDOK].enabled, controls[IDCANCEL].enabled), (False, False))
                self.driver.answer(box, IDOK)

                self.driver.wait_gone(downloads.hwnd)
                self.wait_prompt_usable(prompt)
                self.assertEqual(self.snapshot(prompt), before)
                self.assertEqual(self.driver.message_boxes(pid), [])
                self.assertEqual(self.launcher_blocks(), [])
                if requests is not None:
                    self.assertEqual(self.requested(), requests)
                    self.assertTrue(all(entry["status"] == 404 for entry in self.mirror.requests()))

                # Still before the hand-off: cancelling asks, and Yes ends the program.
                self.driver.click(prompt.hwnd, IDCANCEL)
                box = self.driver.message_box(pid, owner=prompt.hwnd)
                self.assertEqual(box.text, self.strings[1])
                self.driver.click(box.hwnd, IDYES)
                self.assertEqual(self.driver.wait_exit(pid, timeout=5.0), EXIT_USER_CANCELLED)


class EnglishPromptTest(PromptTests, installer_checks.InstallerTestCase):
    language = "en"


class KoreanPromptTest(PromptTests, installer_checks.InstallerTestCase):
    language = "ko"


if __name__ == "__main__":
    unittest.main()
