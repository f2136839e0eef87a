"""Self-test of the UI driver: drives tools/uidriver/fixture (a dialog with
texts, buttons, a progress bar and message boxes of every icon kind) in
English and in Korean, and checks that what the driver reports and does
matches what the fixture is known to contain and do."""

import json
import pathlib
import tempfile
import time
import unittest

import harness
from harness import uidriver

TITLE = "Driver Fixture"
# Exit codes of the fixture: 100 + the dialog's result.
EXIT_OK, EXIT_CANCEL, EXIT_CLOSE = 101, 102, 103

IDOK, IDCANCEL = 1, 2
ID_PROGRESS, ID_GREETING, ID_HIDDEN, ID_ASK, ID_THREAD_BOX = 1001, 1010, 1011, 1012, 1013
ID_DISABLED, ID_ANSWER, ID_INFO_BOX, ID_ERROR_BOX, ID_PLAIN_BOX, ID_ADVANCE = 1014, 1015, 1016, 1017, 1018, 1019
ID_COMMAND_LINE, ID_DIRECTORY, ID_ENVIRONMENT, ID_LANGUAGE = 1020, 1021, 1022, 1023

# The fixture's templates, from fixture.rc: (id, class, text, visible, enabled, dlu).
ENGLISH_CONTROLS = [
    (IDOK, "Button", "OK", True, True, [50, 108, 50, 14]),
    (IDCANCEL, "Button", "Cancel", True, True, [110, 108, 50, 14]),
    (ID_GREETING, "Static", "Fixture greeting", True, True, [7, 7, 206, 10]),
    (ID_HIDDEN, "Static", "Hidden text", False, True, [7, 20, 100, 8]),
    (ID_ASK, "Button", "Ask", True, True, [7, 34, 45, 14]),
    (ID_THREAD_BOX, "Button", "Thread box", True, True, [58, 34, 50, 14]),
    (ID_INFO_BOX, "Button", "Info", True, True, [114, 34, 45, 14]),
    (ID_ERROR_BOX, "Button", "Error", True, True, [165, 34, 45, 14]),
    (ID_PLAIN_BOX, "Button", "Plain", True, True, [7, 54, 45, 14]),
    (ID_ADVANCE, "Button", "Advance", True, True, [58, 54, 50, 14]),
    (ID_DISABLED, "Button", "Disabled", True, False, [114, 54, 45, 14]),
    (ID_ANSWER, "Static", "", True, True, [165, 57, 48, 8]),
    (ID_PROGRESS, "msctls_progress32", "", True, True, [7, 76, 206, 8]),
]
KOREAN_CONTROLS = [
    (IDOK, "Button", "확인", True, True, [30, 118, 50, 14]),
    (IDCANCEL, "Button", "취소", True, True, [90, 118, 50, 14]),
    (ID_GREETING, "Static", "시험용 인사말", True, True, [27, 7, 98, 10]),
    (ID_HIDDEN, "Static", "숨은 글", False, True, [7, 20, 100, 8]),
    (ID_ASK, "Button", "질문", True, True, [7, 34, 40, 14]),
    (ID_THREAD_BOX, "Button", "스레드 상자", True, True, [52, 34, 60, 14]),
    (ID_INFO_BOX, "Button", "정보", True, True, [117, 34, 40, 14]),
    (ID_ERROR_BOX, "Button", "오류", True, True, [7, 54, 40, 14]),
    (ID_PLAIN_BOX, "Button", "아이콘 없음", True, True, [52, 54, 60, 14]),
    (ID_ADVANCE, "Button", "진행", True, True, [117, 54, 40, 14]),
    (ID_DISABLED, "Button", "사용 안 함", True, False, [7, 74, 50, 14]),
    (ID_ANSWER, "Static", "", True, True, [62, 77, 48, 8]),
    (ID_PROGRESS, "msctls_progress32", "", True, True, [7, 96, 166, 8]),
]

BS_DEFPUSHBUTTON = 1
SS_CENTER = 1


class FixtureTestCase(harness.WineTestCase):
    """Starts the fixture and finds its dialog."""

    @classmethod
    def setUpClass(cls):
        harness.require_environment(harness.fixture_exe())
        super().setUpClass()

    def start_fixture(self, args="", **options):
        pid = self.launch(harness.fixture_exe(), args, **options)
        dialog = self.driver.wait_window(pid, title=TITLE, cls="#32770")
        return pid, dialog

    def answer_text(self, dialog):
        return self.driver.control(dialog.hwnd, ID_ANSWER).text

    def wait_answer_text(self, dialog, expected, timeout=5.0):
        """The fixture writes the box's result after the box is gone."""
        deadline = time.monotonic() + timeout
        while True:
            seen = self.answer_text(dialog)
            if seen == expected or time.monotonic() > deadline:
                return seen
            time.sleep(0.05)

    def check_layout(self, expected_controls, client_dlu, language_id):
        pid, dialog = self.start_fixture()
        answer = self.driver.controls(dialog.hwnd)
        by_id = {control.id: control for control in answer.controls}
        for control_id, cls, text, visible, enabled, dlu in expected_controls:
            with self.subTest(control=control_id):
                control = by_id[control_id]
                self.assertEqual(control["class"], cls)
                self.assertEqual(control.text, text)
                self.assertEqual(control.visible, visible)
                self.assertEqual(control.enabled, enabled)
                self.assertEqual(control.dlu, dlu)
                self.assertTrue(control.dlu_exact)
                # The pixel rectangles agree with each other and with the units.
                self.assertEqual(control.client, uidriver.dlu_to_pixels(answer.base_units, dlu))
                origin = dialog.client_rect[:2]
                self.assertEqual(control.screen, [control.client[0] + origin[0], control.client[1] + origin[1]]
                                 + control.client[2:])
        # Template order is z-order: the fixture's first thirteen controls.
        self.assertEqual([c.id for c in answer.controls][:len(expected_controls)],
                         [c[0] for c in expected_controls])
        self.assertEqual(answer.client_dlu, [0, 0] + client_dlu)
        if answer.base_units.source == "template":
            self.assertEqual((answer.base_units.template, answer.base_units.language), ("#102", language_id))
            self.assertTrue(answer.base_units.size_matches)
        return pid, dialog, answer


class EnglishDriverTest(FixtureTestCase):
    language = "en"

    def test_launch_passes_command_line_directory_and_environment(self):
        with tempfile.TemporaryDirectory() as folder:
            args = '/first "two words" \\"quoted\\" 한글'
            pid, dialog = self.start_fixture(args, cwd=harness.to_windows_path(folder),
                                             env={"ZFIXTURE_VALUE": "value 값"})
            texts = self.driver.texts(dialog.hwnd)
            self.assertEqual(texts[ID_COMMAND_LINE], '"%s" %s' % (harness.to_windows_path(harness.fixture_exe()), args))
            self.assertEqual(texts[ID_DIRECTORY].lower(), harness.to_windows_path(folder).lower())
            self.assertEqual(texts[ID_ENVIRONMENT], "value 값")
            self.assertEqual(texts[ID_LANGUAGE], "0409 1252")

        # A command line given whole is used as it is; null removes a variable.
        command_line = "fixture-without-quotes /x"
        pid = self.launch(harness.fixture_exe(), command_line=command_line, env={"ZFIXTURE_VALUE": None})
        dialog = self.driver.wait_window(pid, title=TITLE)
        texts = self.driver.texts(dialog.hwnd)
        self.assertEqual(texts[ID_COMMAND_LINE], command_line)
        self.assertEqual(texts[ID_ENVIRONMENT], "(unset)")

    def test_windows_and_controls_report_the_dialog(self):
        pid, dialog, answer = self.check_layout(ENGLISH_CONTROLS, [220, 130], 0x409)
        listed = [w for w in self.driver.windows(pid, visible_only=True)]
        self.assertEqual([(w.hwnd, w["class"], w.title) for w in listed], [(dialog.hwnd, "#32770", TITLE)])
        self.assertTrue(dialog.enabled)
        self.assertEqual(dialog.owner, 0)
        self.assertIsNone(dialog.owner_title)
        x, y, width, height = dialog.rect
        cx, cy, cwidth, cheight = dialog.client_rect
        self.assertTrue(x <= cx and y < cy and cx + cwidth <= x + width and cy + cheight <= y + height,
                        (dialog.rect, dialog.client_rect))

        by_id = {control.id: control for control in answer.controls}
        self.assertEqual(answer.default_id, IDOK)
        self.assertTrue(by_id[IDOK].default and by_id[IDOK].defpushbutton)
        self.assertEqual(by_id[IDOK].style & 0xF, BS_DEFPUSHBUTTON)
        self.assertFalse(by_id[IDCANCEL].default or by_id[IDCANCEL].defpushbutton)
        self.assertEqual(by_id[ID_GREETING].style & 0xF, SS_CENTER)
        self.assertTrue(by_id[IDOK].focused, "the dialog manager focuses the first tab stop")
        self.assertFalse(by_id[ID_HIDDEN].shown)
        self.assertEqual(by_id[ID_PROGRESS].progress, {"low": 10, "high": 250, "pos": 40})

    def test_clicks_keys_and_close_end_the_dialog_as_a_user_would(self):
        cases = [
            ("click OK", lambda d: self.driver.click(d.hwnd, IDOK), EXIT_OK),
            ("click Cancel", lambda d: self.driver.click(d.hwnd, IDCANCEL), EXIT_CANCEL),
            ("WM_COMMAND Cancel", lambda d: self.driver.click(d.hwnd, IDCANCEL, how="command"), EXIT_CANCEL),
            ("Enter", lambda d: self.driver.key(d.hwnd, "enter"), EXIT_OK),
            ("Escape", lambda d: self.driver.key(d.hwnd, "escape"), EXIT_CANCEL),
            ("Enter as input", lambda d: self.driver.key(d.hwnd, "enter", how="input"), EXIT_OK),
            ("Escape as input", lambda d: self.driver.key(d.hwnd, "escape", how="input"), EXIT_CANCEL),
            ("close box", lambda d: self.driver.close_window(d.hwnd), EXIT_CLOSE),
            ("WM_CLOSE", lambda d: self.driver.close_window(d.hwnd, how="wm_close"), EXIT_CLOSE),
        ]
        for name, action, exit_code in cases:
            with self.subTest(name):
                pid, dialog = self.start_fixture()
                action(dialog)
                self.assertEqual(self.driver.wait_exit(pid), exit_code)

    def test_refuses_input_a_user_could_not_give(self):
        pid, dialog = self.start_fixture()
        cases = [
            ("disabled button", lambda: self.driver.click(dialog.hwnd, ID_DISABLED), "it is disabled"),
            ("hidden control", lambda: self.driver.click(dialog.hwnd, ID_HIDDEN), "it is not visible"),
            ("missing control", lambda: self.driver.click(dialog.hwnd, 4242), "expected a control 4242"),
            ("unknown key", lambda: self.driver.key(dialog.hwnd, "hyper"), 'unknown key "hyper"'),
            ("not a progress bar", lambda: self.driver.progress(dialog.hwnd, IDOK), "expected a progress bar"),
        ]
        for name, action, message in cases:
            with self.subTest(name):
                with self.assertRaises(uidriver.CommandFailed) as caught:
                    action()
                self.assertIn(message, str(caught.exception))

        # A modal box disables its owner: no click, key or close box reaches it.
        self.driver.click(dialog.hwnd, ID_ASK)
        box = self.driver.message_box(pid, owner=dialog.hwnd)
        for name, action in [("click", lambda: self.driver.click(dialog.hwnd, IDOK)),
                             ("key", lambda: self.driver.key(dialog.hwnd, "escape")),
                             ("close box", lambda: self.driver.close_window(dialog.hwnd))]:
            with self.subTest("owner of a modal box: " + name):
                with self.assertRaises(uidriver.CommandFailed) as caught:
                    action()
                self.assertIn("is disabled (is a modal window open?)", str(caught.exception))
                self.assertIn("Fixture Box", str(caught.exception))
        self.driver.answer(box, uidriver.IDNO)
        self.driver.click(dialog.hwnd, ID_DISABLED, force=True)  # forced: posted anyway, does nothing
        self.driver.click(dialog.hwnd, IDOK)
        self.assertEqual(self.driver.wait_exit(pid), EXIT_OK)

    def test_yes_no_box(self):
        pid, dialog = self.start_fixture()
        for answer, expected in [("Yes", "ask:6"), ("enter", "ask:7")]:
            with self.subTest(answer):
                self.driver.click(dialog.hwnd, ID_ASK)
                box = self.driver.message_box(pid, owner=dialog.hwnd)
                self.assertEqual(box.title, "Fixture Box")
                self.assertEqual(box.text, "Do you want to answer?\nPick one.")
                self.assertEqual([(b.id, b.text) for b in box.buttons], [(6, "&Yes"), (7, "&No")])
                self.assertEqual(box.default_id, uidriver.IDNO)
                self.assertEqual(box.focus_id, uidriver.IDNO)
                self.assertEqual(box.icon, "question")
                self.assertEqual((box.owner, box.owner_title), (dialog.hwnd, TITLE))
                self.assertEqual(box.tid, dialog.tid)
                self.assertFalse(self.driver.window(dialog.hwnd).enabled)
                if answer == "enter":
                    self.driver.key(box.hwnd, answer)
                    self.driver.wait_gone(box.hwnd)
                else:
                    self.driver.answer(box, answer)
                self.assertEqual(self.wait_answer_text(dialog, expected), expected)
                self.assertTrue(self.driver.window(dialog.hwnd).enabled)

    def test_box_from_a_second_thread(self):
        pid, dialog = self.start_fixture()
        self.driver.click(dialog.hwnd, ID_THREAD_BOX)
        box = self.driver.message_box(pid, owner=0)
        self.assertEqual(box.text, "Shown by a second thread.")
        self.assertEqual((box.owner, box.owner_title), (0, None))
        self.assertNotEqual(box.tid, dialog.tid)
        self.assertEqual(box.icon, "exclamation")
        self.assertEqual([(b.id, b.text) for b in box.buttons], [(1, "OK")])
        # Not modal to the dialog, which keeps working meanwhile.
        self.assertTrue(self.driver.window(dialog.hwnd).enabled)
        self.driver.click(dialog.hwnd, ID_ADVANCE)
        self.assertEqual(self.driver.windows(pid, visible_only=True)[0].hwnd, box.hwnd)
        self.assertEqual(len(self.driver.message_boxes(pid)), 1)
        self.driver.answer(box, "OK")
        self.assertEqual(self.wait_answer_text(dialog, "thread:1"), "thread:1")

    def test_icon_kinds_buttons_and_defaults(self):
        pid, dialog = self.start_fixture()
        cases = [  # button, icon, [(id, text)], default, answer, answer text
            (ID_INFO_BOX, "information", [(1, "OK")], 1, 1, "info:1"),
            (ID_ERROR_BOX, "error", [(1, "OK"), (2, "Cancel")], 1, 2, "error:2"),
            (ID_PLAIN_BOX, "none", [(6, "&Yes"), (7, "&No"), (2, "Cancel")], 2, 6, "plain:6"),
        ]
        for button, icon, buttons, default, answer, expected in cases:
            with self.subTest(icon):
                self.driver.click(dialog.hwnd, button)
                box = self.driver.message_box(pid, owner=dialog.hwnd)
                self.assertEqual(box.icon, icon, box.get("icon_note"))
                self.assertEqual([(b.id, b.text) for b in box.buttons], buttons)
                self.assertEqual(box.default_id, default)
                self.driver.answer(box, answer)
                self.assertEqual(self.wait_answer_text(dialog, expected), expected)

    def test_progress_range_and_position(self):
        pid, dialog = self.start_fixture()
        progress = self.driver.progress(dialog.hwnd, ID_PROGRESS)
        self.assertEqual((progress.low, progress.high, progress.pos), (10, 250, 40))
        bar = self.driver.control(dialog.hwnd, ID_PROGRESS).hwnd
        for expected in (70, 100):
            self.driver.click(dialog.hwnd, ID_ADVANCE)
            self.assertEqual(self.driver.progress(bar).pos, expected)

    def test_busy_thread_costs_one_time_out(self):
        pid, dialog = self.start_fixture("/busy=4000")
        time.sleep(0.6)  # the fixture's thread now sleeps
        started = time.monotonic()
        answer = self.driver.controls(dialog.hwnd)
        self.assertLess(time.monotonic() - started, 3.0)
        self.assertFalse(answer.thread_responding)
        by_id = {control.id: control for control in answer.controls}
        self.assertEqual(by_id[ID_GREETING].text, "Fixture greeting")  # the system's copy
        self.assertIsNone(by_id[ID_PROGRESS].progress)
        with self.assertRaises(uidriver.CommandFailed) as caught:
            self.driver.progress(dialog.hwnd, ID_PROGRESS)
        self.assertIn("its thread is busy", str(caught.exception))
        self.driver.key(dialog.hwnd, "escape")  # posted: handled once the thread wakes
        self.assertEqual(self.driver.wait_exit(pid, timeout=10), EXIT_CANCEL)
        self.assertTrue(self.driver.request("hello").ok)

    def test_waits_and_their_time_limits(self):
        started = time.monotonic()
        pid = self.launch(harness.fixture_exe(), "/delay=800")
        dialog = self.driver.wait_window(pid, title=TITLE, timeout=10)
        self.assertGreaterEqual(time.monotonic() - started, 0.7)

        cases = [
            ("title", lambda: self.driver.wait_window(pid, title="Nothing", timeout=0.3),
             ['expected a visible window of process %d titled "Nothing" within 300 ms' % pid, TITLE]),
            ("class", lambda: self.driver.wait_window(pid, cls="Edit", timeout=0.2), ['of class "Edit"']),
            ("excluded", lambda: self.driver.wait_window(pid, title=TITLE, exclude=[dialog.hwnd], timeout=0.2),
             ["1 excluded"]),
            ("message box", lambda: self.driver.message_box(pid, timeout=0.2),
             ["expected a visible message box of process %d" % pid]),
            ("exit", lambda: self.driver.wait_exit(pid, timeout=0.2),
             ["expected process %d to end within 200 ms; it still runs" % pid, TITLE]),
            ("gone", lambda: self.driver.wait_gone(dialog.hwnd, timeout=0.2), ["to close within 200 ms"]),
        ]
        for name, action, messages in cases:
            with self.subTest(name):
                with self.assertRaises(uidriver.CommandFailed) as caught:
                    action()
                for message in messages:
                    self.assertIn(message, str(caught.exception))

        self.assertEqual(self.driver.kill(pid), [pid])
        self.assertEqual(self.driver.wait_exit(pid), 1)
        self.assertEqual(self.driver.kill(pid), [])
        with self.assertRaises(uidriver.CommandFailed) as caught:
            self.driver.window(dialog.hwnd)
        self.assertIn("does not exist", str(caught.exception))

        pid = self.launch(harness.fixture_exe(), "/exit=7")
        self.assertEqual(self.driver.wait_exit(pid), 7)

    def test_second_driver_attaches(self):
        pid, dialog = self.start_fixture()
        with uidriver.Driver(harness.uidriver_exe(), language=self.language) as other:
            attached = other.attach(pid)
            self.assertTrue(attached.exe.lower().endswith("uidriver_fixture.exe"), attached.exe)
            self.assertTrue(attached.running)
            self.assertIn({"pid": pid, "parent": self.driver.pid, "exe": "uidriver_fixture.exe"},
                          other.processes(parent=self.driver.pid))
            self.driver.click(dialog.hwnd, IDOK)
            self.assertEqual(other.wait_exit(pid), EXIT_OK)

    def test_texts_round_trip_through_the_protocol(self):
        # Tabs, quotes, backslashes, Hangul and a character outside the BMP
        # (a surrogate pair in UTF-16 and in a JSON escape) in both directions.
        args = 'tab\there "q" back\\slash 한글 \U0001F600'
        pid, dialog = self.start_fixture(args)
        self.assertTrue(self.driver.texts(dialog.hwnd)[ID_COMMAND_LINE].endswith(" " + args))
        escaped = json.dumps({"cmd": "launch", "seq": 0, "path": harness.to_windows_path(harness.fixture_exe()),
                              "args": args}, ensure_ascii=True)
        self.assertIn("\\ud83d\\ude00", escaped)
        self.driver._process.stdin.write(escaped.encode() + b"\n")
        self.driver._process.stdin.flush()
        answer = json.loads(self.driver._answers.get(timeout=10))
        self.launched.append(answer["pid"])
        self.assertTrue(answer["command_line"].endswith(" " + args), answer)

    def test_kill_takes_the_process_tree(self):
        pid, dialog = self.start_fixture("/spawn")
        children = self.driver.processes(parent=pid)
        self.assertEqual([c.exe for c in children], ["uidriver_fixture.exe"])
        child = children[0].pid
        self.driver.wait_window(child, title=TITLE)
        self.assertEqual(sorted(self.driver.kill(pid, tree=True)), sorted([pid, child]))
        self.driver.attach(child)
        self.assertEqual(self.driver.wait_exit(child, timeout=2), 1)
        self.assertEqual(self.driver.wait_exit(pid, timeout=2), 1)

    def test_a_driver_that_ends_takes_its_programs_along(self):
        # quit with kill (Driver.close) and end of input (a test process that
        # died) both end what that driver started.
        for ending in ("close", "end of input"):
            with self.subTest(ending):
                other = uidriver.Driver(harness.uidriver_exe(), language=self.language)
                pid = other.launch(harness.to_windows_path(harness.fixture_exe()))
                self.launched.append(pid)
                other.wait_window(pid, title=TITLE)
                self.driver.attach(pid)
                if ending == "close":
                    other.close()
                else:
                    other._process.stdin.close()
                    other._process.wait(timeout=30)
                    other.close()
                self.assertEqual(self.driver.wait_exit(pid, timeout=10), 1)
                with self.assertRaises(uidriver.DriverDied):
                    other.request("hello")

    def test_boxes_at_once_are_told_apart_or_reported_unknown(self):
        # Two boxes at the same place: the covered one's icon cannot be read
        # from the screen, and must not be guessed.
        pid, dialog = self.start_fixture()
        self.driver.click(dialog.hwnd, ID_THREAD_BOX)
        thread_box = self.driver.message_box(pid, owner=0)
        self.driver.click(dialog.hwnd, ID_ERROR_BOX)
        error_box = self.driver.message_box(pid, owner=dialog.hwnd)
        boxes = {box.hwnd: box for box in self.driver.message_boxes(pid)}
        self.assertEqual(set(boxes), {thread_box.hwnd, error_box.hwnd})
        for box, kind in [(boxes[thread_box.hwnd], "exclamation"), (boxes[error_box.hwnd], "error")]:
            with self.subTest(kind):
                self.assertIn(box.icon, (kind, "unknown"))
                if box.icon == "unknown":
                    self.assertIn("covered", box.icon_note)
        self.assertEqual(self.driver.wait_window(pid, title_contains="Fixture B", owner=0).hwnd, thread_box.hwnd)
        self.driver.answer(error_box, "OK")
        self.driver.answer(thread_box, "OK")
        self.assertEqual(self.driver.message_boxes(pid), [])

    def test_window_icon_is_readable_from_the_x_server(self):
        pid, dialog = self.start_fixture()
        images = {(i.width, i.height): i.pixels for i in self.driver.window_icon_images(dialog.hwnd)}
        icon_file = harness.SOURCE_DIR / "tools" / "uidriver" / "fixture" / "fixture.ico"
        expected = {(i.width, i.height): i.pixels for i in uidriver.ico_images(icon_file)}
        self.assertIn((32, 32), images)
        self.assertEqual(images[(32, 32)], expected[(32, 32)])
        self.assertEqual(images[(32, 32)][0], 0xFFD02020, "red top-left corner")

    def test_protocol_errors_leave_the_driver_working(self):
        cases = [
            ("launch", {}, 'launch needs "path" or "command_line"'),
            ("frobnicate", {}, 'unknown command "frobnicate"; known: quit, hello'),
            ("windows", {}, 'missing parameter "pid"'),
            ("windows", {"pid": "12"}, 'parameter "pid" must be a number'),
            ("controls", {"hwnd": 0x7FFF0000}, "does not exist"),
            ("launch", {"path": "C:\\no\\such.exe"}, "cannot start"),
            ("launch", {"path": "x.exe", "env": {"A=B": "c"}}, 'bad environment variable name "A=B"'),
        ]
        for cmd, params, message in cases:
            with self.subTest(cmd=cmd, params=params):
                with self.assertRaises(uidriver.CommandFailed) as caught:
                    self.driver.request(cmd, **params)
                self.assertIn(message, str(caught.exception))
        # Lines that are not requests at all.
        process = self.driver._process
        for line, message in [(b"{not json\n", "request is not JSON"), (b"[1]\n", "must be a JSON object")]:
            process.stdin.write(line)
            process.stdin.flush()
            answer = json.loads(self.driver._answers.get(timeout=10))
            self.assertEqual(answer["ok"], False)
            self.assertIn(message, answer["error"])
        self.assertEqual(self.driver.request("hello").pid, self.driver.pid)


class KoreanDriverTest(FixtureTestCase):
    language = "ko"

    def test_korean_resources_and_texts(self):
        pid, dialog, answer = self.check_layout(KOREAN_CONTROLS, [180, 140], 0x412)
        self.assertEqual(self.driver.info.ui_language, 0x412)
        self.assertEqual(self.driver.texts(dialog.hwnd)[ID_LANGUAGE], "0412 949")
        self.assertEqual(answer.default_id, IDOK)

    def test_korean_yes_no_box(self):
        pid, dialog = self.start_fixture()
        self.driver.click(dialog.hwnd, ID_ASK)
        box = self.driver.message_box(pid, owner=dialog.hwnd)
        self.assertEqual(box.title, "시험 상자")
        self.assertEqual(box.text, "대답하시겠습니까?\n하나를 고르십시오.")
        self.assertEqual([b.id for b in box.buttons], [6, 7])
        self.assertEqual(box.default_id, uidriver.IDNO)
        self.assertEqual(box.icon, "question")
        self.driver.answer(box, "예")
        self.assertEqual(self.wait_answer_text(dialog, "ask:6"), "ask:6")
        self.driver.key(dialog.hwnd, "escape")
        self.assertEqual(self.driver.wait_exit(pid), EXIT_CANCEL)


class HelpersTest(unittest.TestCase):
    """The client's own arithmetic and text helpers, without Wine."""

    def test_mul_div_rounds_like_windows(self):
        cases = [((7, 6, 4), 11), ((13, 12, 8), 20), ((14, 12, 8), 21), ((-7, 6, 4), -11), ((5, 7, 4), 9),
                 ((0, 6, 4), 0), ((1, 1, 2), 1), ((-1, 1, 2), -1)]
        for arguments, expected in cases:
            with self.subTest(arguments):
                self.assertEqual(uidriver.mul_div(*arguments), expected)

    def test_button_label_drops_mnemonics(self):
        cases = [("&Yes", "Yes"), ("예(&Y)", "예"), ("아니요(&N)", "아니요"), ("Save && &Quit", "Save & Quit"),
                 ("OK", "OK")]
        for text, expected in cases:
            with self.subTest(text):
                self.assertEqual(uidriver.button_label(text), expected)

    def test_windows_paths(self):
        prefix = harness.wine_prefix()
        cases = [("/tmp/a b/c.exe", "Z:\\tmp\\a b\\c.exe"),
                 (prefix / "drive_c" / "users" / "x", "C:\\users\\x")]
        for unix, windows in cases:
            with self.subTest(unix):
                self.assertEqual(harness.to_windows_path(unix), windows)
        self.assertEqual(harness.to_unix_path("Z:\\tmp"), pathlib.Path("/tmp").resolve())
        if (prefix / "drive_c" / "windows").is_dir():
            self.assertEqual(harness.to_unix_path("c:\\WINDOWS\\"), (prefix / "drive_c" / "windows").resolve())


if __name__ == "__main__":
    unittest.main()
