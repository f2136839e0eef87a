"""What the installer's end-to-end tests share: the texts and layouts the
install prompt must show in each language, the update files and where the
mirror serves them, the launcher stand-in's record, and a TestCase base that
starts ZelvraInstaller.exe with a fresh download folder, a known working
folder and a mirror, and reads the prompt's state through the UI driver.

The expected texts are written out here on purpose, not read from the
resource files: a text changed by mistake in a .rc file must fail a test.
"""

import pathlib
import shutil
import sys
import tempfile
import time
import urllib.parse

import harness
from harness import uidriver

sys.path.insert(0, str(harness.SOURCE_DIR / "tools" / "mirror"))
import mirror_client  # noqa: E402  (found through the path above)

TITLE = "Zelvra(TM) Installer"

# Control IDs of the install prompt and of the download dialog.
IDOK, IDCANCEL = uidriver.IDOK, uidriver.IDCANCEL
IDYES, IDNO = uidriver.IDYES, uidriver.IDNO
ID_ONLINE, ID_QUESTION, ID_CLOSE, ID_DONE, ID_HINT = 1002, 1003, 1004, 1005, 1006
ID_PROGRESS = 1001
# Template order, which is the dialog's z-order.
PROMPT_CONTROL_ORDER = [ID_HINT, ID_ONLINE, ID_QUESTION, IDOK, IDCANCEL, ID_CLOSE, ID_DONE]

SS_TYPEMASK = 0x1F
SS_LEFT, SS_CENTER = 0, 1

# String table entries the program loads, by language.
STRINGS = {
    "en": {
        1: "Do you want to cancel installation?",
        57344: "Zelvra(TM) Installer",
        57349: "Error : Fail to run Zelvra(TM) Updater.",
        57353: "Error : Fail to download Zelvra(TM) Updater.\nTry to run again.",
        57360: "Download complete.",
        57361: "To install Zelvra(TM), you must be on-line.",
        57362: "Do you want to continue installation?",
    },
    "ko": {
        1: "설치를 취소하시겠습니까?",
        57344: "Zelvra(TM) Installer",
        57349: "Zelvra(TM) Updater 실행에 실패하였습니다.",
        57353: "Zelvra(TM) Updater 다운로드에 실패하였습니다.\n다시 실행하여 주시기 바랍니다.",
        57360: "다운로드가 완료되었습니다.",
        57361: "Zelvra(TM) 설치를 하기 위해서는 \n반드시 인터넷에 연결이 필요합니다.",
        57362: "Zelvra(TM) 설치를 시작하시겠습니까?",
    },
}

# Texts that stand in the templates themselves.
HINT_TEXT = {
    "en": "If you have problems related to installation or update, please stop the anti-virus application "
          "and continue installing or updating.",
    "ko": "Zelvra(TM)의 설치나 업데이트에 문제가 있을 때에는 백신 프로그램을 잠시 중단하고 다시 시도하여 주십시오.",
}
BUTTON_TEXTS = {
    "en": {IDOK: "OK", IDCANCEL: "Cancel", ID_CLOSE: "Close"},
    "ko": {IDOK: "확인", IDCANCEL: "취소", ID_CLOSE: "닫기"},
}
DOWNLOAD_CAPTION = {
    "en": "Downloading Zelvra(TM) Auto Updater...",
    "ko": "Zelvra(TM) Auto Updater 다운로드 중...",
}

# The prompt's template in dialog units: client size, and x, y, width,
# height of each control; with the alignment of the completion text.
PROMPT_LAYOUT = {
    "en": {
        "size": [193, 97], "language": 0x409, "done_alignment": SS_CENTER,
        "controls": {ID_HINT: [7, 25, 179, 28], ID_ONLINE: [7, 7, 179, 10], ID_QUESTION: [7, 61, 179, 8],
                     IDOK: [41, 76, 50, 14], IDCANCEL: [100, 76, 50, 14], ID_CLOSE: [69, 76, 50, 14],
                     ID_DONE: [7, 39, 179, 8]},
    },
    "ko": {
        "size": [151, 105], "language": 0x412, "done_alignment": SS_LEFT,
        "controls": {ID_HINT: [7, 32, 137, 28], ID_ONLINE: [7, 7, 137, 19], ID_QUESTION: [7, 67, 137, 8],
                     IDOK: [20, 84, 50, 14], IDCANCEL: [80, 84, 50, 14], ID_CLOSE: [49, 84, 50, 14],
                     ID_DONE: [27, 39, 98, 8]},
    },
}

# The update files in the order they are fetched, with the path each has on
# the primary host, on the secondary host (whose folder for the resource
# library is spelt differently in the two string tables) and on the
# development host.
UPDATE_FILES = ["ZVUpdaterRes.dll", "ZVUpdater.exe", "ZVCallUpdater.exe"]
PRIMARY_PATHS = {
    "ZVUpdaterRes.dll": "/Zelvra-TTS-WUX/ZVUpdaterRes.dll",
    "ZVUpdater.exe": "/Zelvra/ZVUpdater.exe",
    "ZVCallUpdater.exe": "/Zelvra/ZVCallUpdater.exe",
}
SECONDARY_PATHS = {
    "en": dict(PRIMARY_PATHS, **{"ZVUpdaterRes.dll": "/Zelvra-TTS_WUX/ZVUpdaterRes.dll"}),
    "ko": dict(PRIMARY_PATHS),
}
DEV_PATHS = {name: "/Zelvra/" + name for name in UPDATE_FILES}

USER_AGENT = "Zelvra(TM) Installer"

# How long the launcher stand-in holds its mutex: long enough for the
# installer's probes, short enough that it is gone before the next test.
LAUNCHER_HOLD_MS = "3000"

# The installer's wait for the launcher's mutex: 30 probes, 200 ms apart.
MUTEX_WAIT_SECONDS = 6.0

# How the installer's process ends (the Windows Installer's codes): the
# launcher was started; the user left before a hand-off; the launcher (or the
# prompt) could not be started; another copy of the installer was running.
EXIT_LAUNCHER_STARTED = 0
EXIT_USER_CANCELLED = 1602
EXIT_INSTALL_FAILED = 1603
EXIT_ANOTHER_COPY_RUNS = 1618


def stub_dir():
    return harness.build_dir() / "mirror-stubs"


def header(entry, name):
    """A header of a mirror log entry (the last one of that name), or None."""
    values = [value for key, value in entry["headers"] if key.lower() == name.lower()]
    return values[-1] if values else None


def parse_launcher_record(text):
    """The blocks of the launcher stand-in's record: a list of dicts, in the
    order written. Values are unescaped (%25, %0D, %0A)."""
    blocks = []
    for chunk in text.split("\n\n"):
        lines = [line for line in chunk.split("\n") if line]
        if not lines:
            continue
        block = {}
        for line in lines:
            key, _, value = line.partition("=")
            block[key] = urllib.parse.unquote(value)
        blocks.append(block)
    return blocks


def same_windows_path(first, second):
    """Windows paths compare without regard to case or a final backslash."""
    return first.rstrip("\\").lower() == second.rstrip("\\").lower()


class InstallerTestCase(harness.WineTestCase):
    """Base of the installer's end-to-end tests (set `language`).

    Each test gets a fresh %TEMP%\\ZelvraManager (removed first), a working
    folder of its own with a blank in its name, and a launcher record file of
    its own; launchers that the test's run started are ended afterwards.
    """

    language = "en"

    @classmethod
    def setUpClass(cls):
        harness.require_environment(harness.installer_exe(), *(stub_dir() / name for name in UPDATE_FILES))
        super().setUpClass()
        cls.temp_windows, cls.temp_unix = harness.wine_temp_dir(cls.language)

    def setUp(self):
        super().setUp()
        self.strings = STRINGS[self.language]
        self.download_folder = pathlib.Path(self.temp_unix) / "ZelvraManager"
        self.download_folder_windows = self.temp_windows.rstrip("\\") + "\\ZelvraManager"
        shutil.rmtree(self.download_folder, ignore_errors=True)
        self.work_dir = pathlib.Path(tempfile.mkdtemp(prefix="zelvra cwd "))
        self.addCleanup(shutil.rmtree, self.work_dir, True)
        self.record_dir = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-record-"))
        self.addCleanup(shutil.rmtree, self.record_dir, True)
        self.record_file = self.record_dir / "launcher-record.txt"
        self.mirror = None
        self.addCleanup(self._end_launchers)

    # --- the mirror and the program -------------------------------------------

    def start_mirror(self):
        """The standard mirror on this build's update hosts, stopped after the test."""
        self.mirror = mirror_client.Mirror.start_standard(str(stub_dir()))
        self.addCleanup(self.mirror.stop)
        return self.mirror

    def start_installer(self, args="", command_line=None, env=None, wait_prompt=True):
        """Starts the installer in the test's working folder and waits for the
        prompt; returns (pid, prompt window). With wait_prompt=False: returns
        the pid at once."""
        environment = {"ZELVRA_STUB_RECORD": harness.to_windows_path(self.record_file),
                       "ZELVRA_STUB_HOLD_MS": LAUNCHER_HOLD_MS}
        environment.update(env or {})
        pid = self.launch(harness.installer_exe(), args, command_line=command_line,
                          cwd=harness.to_windows_path(self.work_dir), env=harness.with_stub_settings(environment))
        if not wait_prompt:
            return pid
        prompt = self.driver.wait_window(pid, title=TITLE, cls="#32770", owner=0)
        return pid, prompt

    def assert_second_copy_hands_over(self, running_pid, front):
        """Another program's window comes to the front, then a second copy of
        the installer starts: it ends at once with 1618, having brought
        `front` (the running copy's last active window) to the front; the
        running copy shows nothing new."""
        other = self.launch(harness.fixture_exe())
        other_window = self.driver.wait_window(other, owner=0)
        self.assertTrue(self.driver.window(other_window.hwnd).foreground, "the other program is not in front")
        before = [(w.hwnd, w.visible) for w in self.driver.windows(running_pid)]
        started = time.monotonic()
        second = self.start_installer(wait_prompt=False)
        self.assertEqual(self.driver.wait_exit(second, timeout=10.0), EXIT_ANOTHER_COPY_RUNS)
        ended_after = time.monotonic() - started
        self.assertTrue(self.driver.window(front.hwnd).foreground, "the running copy was not brought to the front")
        self.assertEqual([(w.hwnd, w.visible) for w in self.driver.windows(running_pid)], before)
        self.driver.kill(other)
        return ended_after

    def _end_launchers(self):
        for block in self.launcher_blocks("start"):
            try:
                self.driver.kill(int(block["pid"]), tree=False)
            except (uidriver.CommandFailed, ValueError):
                pass  # already gone

    # --- the launcher's record ------------------------------------------------

    def launcher_blocks(self, event=None):
        try:
            text = self.record_file.read_text(encoding="utf-8")
        except FileNotFoundError:
            return []
        return [block for block in parse_launcher_record(text) if event is None or block.get("event") == event]

    def wait_launcher_start(self, timeout=10.0):
        """The launcher's one start record, once it is there."""
        deadline = time.monotonic() + timeout
        while True:
            starts = self.launcher_blocks("start")
            if starts or time.monotonic() > deadline:
                break
            time.sleep(0.02)
        self.assertEqual(len(starts), 1, "expected the launcher to be started once; record: %r" % starts)
        return starts[0]

    # --- the prompt -----------------------------------------------------------

    def prompt_controls(self, prompt):
        """{id: control} of the prompt, with the whole `controls` answer as .answer."""
        answer = self.driver.controls(prompt.hwnd)
        by_id = uidriver.Record((control.id, control) for control in answer.controls)
        by_id.answer = answer
        return by_id

    def snapshot(self, prompt):
        """Everything about the prompt that a user could see or use, to
        compare before and after an action. Not the focus: a click on a
        button moves it there, as a mouse click does."""
        answer = self.driver.controls(prompt.hwnd)
        window = answer.window
        return {
            "window": {key: window[key] for key in ("title", "visible", "enabled", "rect", "style", "exstyle")},
            "controls": [{key: control[key] for key in ("id", "class", "text", "visible", "enabled", "style",
                                                        "screen", "defpushbutton")}
                         for control in answer.controls],
            "default_id": answer.default_id,
        }

    def assert_first_state(self, prompt):
        """The prompt as it opens: question texts, hint and OK/Cancel shown
        and usable, the completion text and Close hidden."""
        controls = self.prompt_controls(prompt)
        expected = [  # id, text, visible, enabled
            (ID_HINT, HINT_TEXT[self.language], True, True),
            (ID_ONLINE, self.strings[57361], True, True),
            (ID_QUESTION, self.strings[57362], True, True),
            (IDOK, BUTTON_TEXTS[self.language][IDOK], True, True),
            (IDCANCEL, BUTTON_TEXTS[self.language][IDCANCEL], True, True),
            (ID_CLOSE, BUTTON_TEXTS[self.language][ID_CLOSE], False, True),
            (ID_DONE, self.strings[57360], False, True),
        ]
        seen = [(c.id, c.text, c.visible, c.enabled) for c in controls.answer.controls]
        self.assertEqual(seen, expected)
        self.assertEqual(controls.answer.default_id, IDOK)
        self.assertTrue(controls[IDOK].defpushbutton)
        self.assertTrue(self.driver.window(prompt.hwnd).enabled)
        return controls

    def is_finished_look(self, controls):
        return controls[ID_DONE].visible and controls[ID_CLOSE].visible

    def wait_finished_look(self, prompt, timeout=20.0):
        """Polls until the prompt shows its finished look; returns the wall
        time (time.time()) at which it was first seen and the controls."""
        deadline = time.monotonic() + timeout
        while True:
            controls = self.prompt_controls(prompt)
            seen_at = time.time()
            if self.is_finished_look(controls):
                return seen_at, controls
            if time.monotonic() > deadline:
                self.fail("expected the finished look within %.0f s; seen %r"
                          % (timeout, [(c.id, c.text, c.visible, c.enabled) for c in controls.answer.controls]))
            time.sleep(0.05)

    def assert_finished_look(self, prompt):
        """Only "Download complete." and Close remain; OK and Cancel are hidden
        and stay disabled."""
        controls = self.prompt_controls(prompt)
        expected = [  # id, text, visible, enabled
            (ID_HINT, HINT_TEXT[self.language], False, True),
            (ID_ONLINE, self.strings[57361], False, True),
            (ID_QUESTION, self.strings[57362], False, True),
            (IDOK, BUTTON_TEXTS[self.language][IDOK], False, False),
            (IDCANCEL, BUTTON_TEXTS[self.language][IDCANCEL], False, False),
            (ID_CLOSE, BUTTON_TEXTS[self.language][ID_CLOSE], True, True),
            (ID_DONE, self.strings[57360], True, True),
        ]
        seen = [(c.id, c.text, c.visible, c.enabled) for c in controls.answer.controls]
        self.assertEqual(seen, expected)
        layout = PROMPT_LAYOUT[self.language]["controls"]
        for control_id in (ID_CLOSE, ID_DONE):
            if controls[control_id].dlu is not None:
                self.assertEqual(controls[control_id].dlu, layout[control_id])
        self.assertTrue(self.driver.window(prompt.hwnd).enabled)
        return controls

    def wait_prompt_usable(self, prompt, timeout=15.0):
        """Waits until the prompt is enabled again with OK enabled (after a
        hand-off that did not succeed)."""
        deadline = time.monotonic() + timeout
        while True:
            window = self.driver.window(prompt.hwnd)
            controls = self.prompt_controls(prompt)
            if window.enabled and controls[IDOK].enabled and controls[IDCANCEL].enabled:
                return controls
            if time.monotonic() > deadline:
                self.fail("expected the prompt to be usable again within %.0f s; windows: %r"
                          % (timeout, [(w.title, w.enabled) for w in self.driver.windows(prompt.pid, True)]))
            time.sleep(0.05)

    def wait_download_dialog(self, pid, prompt, timeout=10.0):
        return self.driver.wait_window(pid, title=DOWNLOAD_CAPTION[self.language], owner=prompt.hwnd,
                                       timeout=timeout)

    def end_finished_prompt(self, pid, prompt, how, exit_code=EXIT_LAUNCHER_STARTED):
        """Ends the prompt in its finished look the ways a user can ("close
        button" or "close box"): no question is asked and the process ends
        with `exit_code` (the launcher started, by default). Not with Escape:
        the hidden Cancel button stays disabled, and on Windows the dialog
        manager answers Escape with a beep then."""
        if how == "close button":
            self.driver.click(prompt.hwnd, ID_CLOSE)
        elif how == "close box":
            self.driver.close_window(prompt.hwnd)
        else:
            raise ValueError(how)
        self.assertEqual(self.driver.wait_exit(pid, timeout=5.0), exit_code)

    # --- message boxes ----------------------------------------------------------

    def assert_box(self, box, text, owner, buttons, icon, default_id=None):
        self.assertEqual(box.title, TITLE)
        self.assertEqual(box.text, text)
        self.assertEqual(box.owner, owner)
        self.assertEqual([b.id for b in box.buttons], buttons)
        self.assertEqual(box.icon, icon, box.get("icon_note"))
        if default_id is not None:
            self.assertEqual(box.default_id, default_id)

    def downloaded(self, name):
        return (self.download_folder / name).read_bytes()

    def served(self, name):
        return (stub_dir() / name).read_bytes()

    def requested(self):
        """(host, path) of every request the mirror saw, in order."""
        return [(entry["host"], entry["path"]) for entry in self.mirror.requests()]
