"""What the download dialog's end-to-end tests (test_download.py) share: the
installer's texts in both languages, the three update files and where each
host serves them, and `InstallerRun`, one ZelvraInstaller.exe driven from its
prompt with a %TEMP% of its own.

Everything here observes from outside: windows and controls through the UI
driver, requests through the mirror's log, files on disk, and the record that
the launcher stand-in writes when the installer starts it.
"""

import collections
import os
import pathlib
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

import harness
import installer_checks
from harness import uidriver

IDOK, IDCANCEL = uidriver.IDOK, uidriver.IDCANCEL
# Controls of the install prompt and of the download dialog.
ID_ONLINE, ID_QUESTION, ID_CLOSE, ID_DONE, ID_HINT = 1002, 1003, 1004, 1005, 1006
ID_PROGRESS = 1001

LIBRARY, UPDATER, LAUNCHER = "ZVUpdaterRes.dll", "ZVUpdater.exe", "ZVCallUpdater.exe"
FETCH_ORDER = (LIBRARY, UPDATER, LAUNCHER)
DOWNLOAD_FOLDER = "ZelvraManager"
LAUNCHER_RECORD = "launcher-record.txt"  # written by the launcher stand-in next to itself

# The path each host is asked for, per file. The secondary host's folder of the
# library is spelt differently in the two languages' string tables.
PRIMARY_PATHS = {LIBRARY: "/Zelvra-TTS-WUX/" + LIBRARY, UPDATER: "/Zelvra/" + UPDATER,
                 LAUNCHER: "/Zelvra/" + LAUNCHER}
SECONDARY_PATHS = {
    "en": {LIBRARY: "/Zelvra-TTS_WUX/" + LIBRARY, UPDATER: "/Zelvra/" + UPDATER, LAUNCHER: "/Zelvra/" + LAUNCHER},
    "ko": {LIBRARY: "/Zelvra-TTS-WUX/" + LIBRARY, UPDATER: "/Zelvra/" + UPDATER, LAUNCHER: "/Zelvra/" + LAUNCHER},
}
DEV_PATHS = {name: "/Zelvra/" + name for name in FETCH_ORDER}

Texts = collections.namedtuple("Texts", "app_title download_caption download_failed download_complete launch_failed")
TEXTS = {
    "en": Texts("Zelvra(TM) Installer", "Downloading Zelvra(TM) Auto Updater...",
                "Error : Fail to download Zelvra(TM) Updater.\nTry to run again.", "Download complete.",
                "Error : Fail to run Zelvra(TM) Updater."),
    "ko": Texts("Zelvra(TM) Installer", "Zelvra(TM) Auto Updater 다운로드 중...",
                "Zelvra(TM) Updater 다운로드에 실패하였습니다.\n다시 실행하여 주시기 바랍니다.",
                "다운로드가 완료되었습니다.", "Zelvra(TM) Updater 실행에 실패하였습니다."),
}

# How long the launcher stand-in holds its mutex: long enough for the
# installer's first probe (200 ms), short enough to be gone before the next run.
STUB_HOLD_MS = 1500


def stub_file(name):
    """The bytes the mirror serves for an update file by default."""
    return (harness.build_dir() / "mirror-stubs" / name).read_bytes()


def read_launcher_record(path):
    """The blocks of a launcher stand-in record: a list of {key: value}."""
    blocks, block = [], {}
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines():
        if not line:
            if block:
                blocks.append(block)
            block = {}
            continue
        key, _, value = line.partition("=")
        block[key] = urllib.parse.unquote(value)
    if block:
        blocks.append(block)
    return blocks


def require_locales():
    """Fails (never skips) unless the C library has the UTF-8 locales of both
    languages, which tools/setup.sh generates. Wine turns Unix file names into
    Windows ones through the C library's character set, and takes the ANSI
    code page from LC_CTYPE apart from the user-interface language only when
    both locales exist."""
    known = [k.lower().replace("-", "") for k in
             subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()]
    for name in sorted(set(uidriver.CODE_PAGE_LOCALES.values())):
        if name.lower().replace("-", "") not in known:
            raise AssertionError("locale %s is not generated: run tools/setup.sh" % name)


def poll(condition, timeout, interval=0.02, what="condition"):
    """Calls condition() until it returns something true; returns that.
    Raises AssertionError naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


class TempFolder:
    """A %TEMP% for one installer: a Unix folder and its Windows path, given
    to the program as TMP and TEMP. `suffix`: folders below a new temporary
    folder; `length`: make the Windows path exactly this long instead (with
    folders of at most 100 characters); `create=False` leaves it missing, so
    that the installer has to make the whole chain."""

    def __init__(self, test, suffix="", length=None, create=True):
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-e2e-download-"))
        test.addCleanup(shutil.rmtree, self.root, True)
        if length is not None:
            missing = length - len(harness.to_windows_path(self.root))
            parts = []
            while missing > 0:
                part = min(100, missing - 1)  # one more for the backslash
                parts.append("d" * part)
                missing -= part + 1
            suffix = os.path.join(*parts)
        self.unix = self.root / suffix if suffix else self.root
        if create:
            self.unix.mkdir(parents=True, exist_ok=True)
        self.windows = harness.to_windows_path(self.unix)

    @property
    def download_folder(self):
        return self.unix / DOWNLOAD_FOLDER

    @property
    def environment(self):
        return {"TMP": self.windows, "TEMP": self.windows}


class DefaultTemp:
    """The prefix's own %TEMP%; the installer's environment is left as it is."""

    def __init__(self, language):
        self.windows, self.unix = harness.wine_temp_dir(language)
        self.unix = pathlib.Path(self.unix)

    @property
    def download_folder(self):
        return self.unix / DOWNLOAD_FOLDER

    environment = {}


class InstallerRun:
    """One installer process of a test (started with test.launch, so that the
    test's tearDown ends it), seen through its prompt and download dialog."""

    def __init__(self, test, temp, args="", env=None, driver=None, exe=None):
        """driver: a UI driver of the test's own (it then ends the process
        when it is closed); by default the test class's driver. exe: another
        build of the installer (a Unix path)."""
        self.test = test
        self.driver = driver or test.driver
        self.texts = TEXTS[test.language]
        self.temp = temp
        environment = {"ZELVRA_STUB_HOLD_MS": str(STUB_HOLD_MS)}
        environment.update(temp.environment)
        environment.update(env or {})
        environment = harness.with_stub_settings(environment)
        exe = exe or harness.installer_exe()
        if driver is None:
            self.pid = test.launch(exe, args, env=environment)
        else:
            self.pid = driver.launch(harness.to_windows_path(exe), args, env=environment)
        self.prompt = self.driver.wait_window(self.pid, title=self.texts.app_title, cls="#32770")
        self.dialogs = []  # every download dialog seen, oldest first

    # --- files ----------------------------------------------------------------

    def local(self, name):
        """Unix path of a downloaded file."""
        return self.temp.download_folder / name

    def local_size(self, name):
        path = self.local(name)
        return path.stat().st_size if path.exists() else None

    def launcher_starts(self):
        """The start blocks of the launcher stand-in's record (empty when it
        never ran from the download folder)."""
        path = self.local(LAUNCHER_RECORD)
        if not path.exists():
            return []
        return [block for block in read_launcher_record(path) if block.get("event") == "start"]

    # --- the prompt -----------------------------------------------------------

    def press_ok(self, timeout=30.0):
        """Clicks OK on the prompt; returns the download dialog that opens, or
        None when the prompt says "Download complete." before the dialog was
        ever seen: the dialog manager shows a modal dialog once its thread is
        first idle, and three small files from the local mirror can all be
        in before that."""
        self.driver.click(self.prompt.hwnd, IDOK)
        deadline = time.monotonic() + timeout
        while True:
            try:
                dialog = self.driver.wait_window(self.pid, title=self.texts.download_caption, cls="#32770",
                                                 exclude=[d.hwnd for d in self.dialogs], timeout=0.5)
            except uidriver.CommandFailed as error:
                if self.prompt_state() == "complete":
                    return None
                if time.monotonic() < deadline:
                    continue
                # Whether the click was taken (OK disabled: the hand-off runs) or lost.
                ok = self.prompt_controls()[IDOK]
                raise AssertionError("no download dialog after OK (OK now %s): %s"
                                     % ("enabled" if ok.enabled else "disabled", error)) from error
            self.dialogs.append(dialog)
            return dialog

    def prompt_controls(self):
        return {control.id: control for control in self.driver.controls(self.prompt.hwnd).controls}

    def assert_prompt_texts(self):
        """Every text of the prompt is the string table's or the template's
        (the Korean ones included, whatever the ANSI code page)."""
        strings = installer_checks.STRINGS[self.test.language]
        buttons = installer_checks.BUTTON_TEXTS[self.test.language]
        self.test.assertEqual(self.driver.window(self.prompt.hwnd).title, self.texts.app_title)
        self.test.assertEqual({i: c.text for i, c in self.prompt_controls().items()},
                              {ID_HINT: installer_checks.HINT_TEXT[self.test.language], ID_ONLINE: strings[57361],
                               ID_QUESTION: strings[57362], IDOK: buttons[IDOK], IDCANCEL: buttons[IDCANCEL],
                               ID_CLOSE: buttons[ID_CLOSE], ID_DONE: strings[57360]})

    def prompt_state(self):
        """'first' (OK and Cancel usable again), 'complete' (the hand-off
        done), or 'busy' (neither: downloads running, or a box open)."""
        if not self.driver.window(self.prompt.hwnd).enabled:
            return "busy"
        controls = self.prompt_controls()
        if controls[ID_DONE].visible:
            return "complete"
        if controls[IDOK].enabled and controls[IDCANCEL].enabled:
            return "first"
        return "busy"

    def wait_prompt_state(self, wanted, timeout=15.0):
        """Waits for the prompt's state; fails at once, with the box's text,
        when a message box turns up instead."""
        def reached():
            boxes = self.driver.message_boxes(self.pid)
            if boxes:
                raise AssertionError("expected the prompt to become %r; a message box came: %r"
                                     % (wanted, [(box.title, box.text) for box in boxes]))
            return self.prompt_state() == wanted
        poll(reached, timeout, interval=0.05, what="the prompt in state %r" % wanted)

    def answer_failure(self, box):
        """Answers the worker's box, then the download-failure box that
        follows it (owned by the prompt), and checks that the prompt is back
        in its first state."""
        self.driver.answer(box, IDOK)
        failed = self.driver.message_box(self.pid, owner=self.prompt.hwnd)
        self.test.assertEqual(failed.text, self.texts.download_failed)
        self.driver.answer(failed, IDOK)
        self.wait_prompt_state("first")
        self.assert_first_state()

    # --- what a test asserts again and again -----------------------------------

    def assert_alive(self):
        """The installer still runs and Wine's crash handler did not start."""
        processes = self.driver.processes()
        self.test.assertIn(self.pid, [p.pid for p in processes], "the installer has ended (crashed?)")
        self.test.assertNotIn("winedbg.exe", [p.exe.lower() for p in processes], "a program crashed")

    def assert_only_prompt(self):
        """No message box and no window but the prompt is shown."""
        self.test.assertEqual(self.driver.message_boxes(self.pid), [])
        shown = [(w.title, w["class"]) for w in self.driver.windows(self.pid, visible_only=True)]
        self.test.assertEqual(shown, [(self.texts.app_title, "#32770")])

    def assert_first_state(self):
        """The prompt as it first was: its question and both buttons usable,
        the completion text and Close hidden, and nothing else shown."""
        self.assert_alive()
        self.assert_only_prompt()
        self.test.assertTrue(self.driver.window(self.prompt.hwnd).enabled)
        controls = self.prompt_controls()
        self.test.assertEqual({i: (c.visible, c.enabled) for i, c in controls.items() if i in (IDOK, IDCANCEL)},
                              {IDOK: (True, True), IDCANCEL: (True, True)})
        self.test.assertEqual([controls[i].visible for i in (ID_ONLINE, ID_QUESTION, ID_HINT, ID_DONE, ID_CLOSE)],
                              [True, True, True, False, False])

    def assert_complete(self, files=None):
        """The hand-off is done: "Download complete." with Close alone, the
        three files as the mirror served them (`files`: name -> bytes, the
        stand-ins by default), and the launcher stand-in started from the
        download folder with the environment the installer was given."""
        self.assert_alive()
        self.assert_only_prompt()
        controls = self.prompt_controls()
        self.test.assertEqual(controls[ID_DONE].text, self.texts.download_complete)
        self.test.assertEqual([controls[i].visible for i in (ID_DONE, ID_CLOSE, IDOK, IDCANCEL)],
                              [True, True, False, False])
        expected = {name: stub_file(name) for name in FETCH_ORDER}
        expected.update(files or {})
        for name, data in expected.items():
            self.test.assertEqual(self.local(name).read_bytes(), data, name)
        starts = self.launcher_starts()
        self.test.assertTrue(starts, "the launcher stand-in never started from %s" % self.temp.download_folder)
        launch_path = self.temp.windows.rstrip("\\") + "\\" + DOWNLOAD_FOLDER + "\\" + LAUNCHER
        self.test.assertEqual(starts[-1]["exe"].lower(), launch_path.lower())
        self.test.assertEqual(starts[-1]["hold_ms"], str(STUB_HOLD_MS))  # the environment came through
