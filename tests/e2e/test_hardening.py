"""End-to-end tests of the installer's defences, under Wine, with the real
executable against the update mirror:

- DLL planting: the installer runs elevated from a downloads folder, where
  anyone can leave a wininet.dll or comctl32.dll. The release build must load
  neither (its DLL search is restricted to the system folder); a test build
  with the platform's default search (ZelvraInstallerUnrestricted, from
  tests/win/planted_dll) shows that the test would see it happen.
- Redirection: an update host that answers 301/302/307 with another path on
  the same host still gives a whole run, and the file keeps the name of the
  address the installer asked for.
- Proxy: with a proxy configured for the user, the downloads go through it;
  with that proxy down, the run ends in the error path and does not go round
  the proxy.

Each test checks the state the run leaves behind: the download folder, the
launcher stand-in's record, the mirror's request log and the proxy's log.
"""

import base64
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import uidriver

sys.path.insert(0, str(harness.SOURCE_DIR / "tools" / "mirror"))
import mirror_client  # noqa: E402  (found through the path above)
sys.path.insert(0, str(harness.SOURCE_DIR / "tools" / "stub_launcher"))
from launcher_record import parse_launcher_record  # noqa: E402
from installer_checks import (DOWNLOAD_CAPTION, EXIT_INSTALL_FAILED, EXIT_LAUNCHER_STARTED,  # noqa: E402
                              EXIT_USER_CANCELLED)

TITLE = "Zelvra(TM) Installer"
IDOK, IDCANCEL, IDYES = uidriver.IDOK, uidriver.IDCANCEL, uidriver.IDYES
ID_CLOSE, ID_DONE = 1004, 1005

# The texts these tests meet (English string table).
CANCEL_QUESTION = "Do you want to cancel installation?"
DOWNLOAD_FAILED = "Error : Fail to download Zelvra(TM) Updater.\nTry to run again."

# The update files in the order they are fetched, with their path on the
# primary host.
PRIMARY_PATHS = [
    ("ZVUpdaterRes.dll", "/Zelvra-TTS-WUX/ZVUpdaterRes.dll"),
    ("ZVUpdater.exe", "/Zelvra/ZVUpdater.exe"),
    ("ZVCallUpdater.exe", "/Zelvra/ZVCallUpdater.exe"),
]
UPDATE_FILES = [name for name, _ in PRIMARY_PATHS]
LAUNCHER_PARAMETERS = '"@cmd=" "@execute=Zelvra.exe" "@install"'
USER_AGENT = TITLE

# How long the launcher stand-in holds its mutex: enough for the
# installer's probes, gone before the next run.
LAUNCHER_HOLD_MS = "3000"
# Upper bounds of waits. A run against the local mirror takes about a second;
# these only keep a broken run from hanging the test.
RUN_SECONDS = 60.0
ERROR_BOX_SECONDS = 60.0  # above the worker's 15 s connect time-out

# Environment variables that would give WinInet a proxy from outside the
# registry; removed so that only the prefix's settings count.
NO_PROXY_FROM_ENVIRONMENT = {name: None for name in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                                     "no_proxy", "NO_PROXY")}


def stub_dir():
    return harness.build_dir() / "mirror-stubs"


def planted_dll_build_dir():
    return harness.build_dir() / "tests" / "win" / "planted_dll"


def unrestricted_installer_exe():
    return planted_dll_build_dir() / "ZelvraInstallerUnrestricted.exe"


def planted_dll(name):
    return planted_dll_build_dir() / "dlls" / name



def header(entry, name):
    """The last header of that name in a mirror log entry, or None."""
    values = [value for key, value in entry["headers"] if key.lower() == name.lower()]
    return values[-1] if values else None


def free_port():
    """A loopback port that nothing listens on (at the time of asking)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RunTestCase(harness.WineTestCase):
    """A whole run of an installer: a fresh %TEMP%\\ZelvraManager, a record
    file for the launcher stand-in, the standard mirror, and helpers that
    drive the prompt and read what the run left behind.

    `driver_env` is given to the UI driver, and so to every program it starts
    (Wine reads some variables, such as WINEDLLOVERRIDES, only from the
    environment a process inherits from its Unix parent)."""

    language = "en"
    driver_env = {}

    @classmethod
    def setUpClass(cls):
        harness.require_environment(harness.installer_exe(), *(stub_dir() / name for name in UPDATE_FILES))
        super().setUpClass()
        if cls.driver_env:
            cls.driver.close()
            cls.driver = uidriver.Driver(harness.uidriver_exe(), language=cls.language, env=cls.driver_env)
        cls.temp_windows, cls.temp_unix = harness.wine_temp_dir(cls.language)

    def setUp(self):
        if not self.driver.alive:  # a previous test stopped it: start it again with the class's environment
            type(self).driver = uidriver.Driver(harness.uidriver_exe(), language=self.language, env=self.driver_env)
        super().setUp()
        self.download_folder = pathlib.Path(self.temp_unix) / "ZelvraManager"
        shutil.rmtree(self.download_folder, ignore_errors=True)
        self.scratch = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-hardening-"))
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.record_file = self.scratch / "launcher-record.txt"
        self.addCleanup(self.end_launchers)

    def start_mirror(self):
        mirror = mirror_client.Mirror.start_standard(str(stub_dir()))
        self.addCleanup(mirror.stop)
        return mirror

    def fresh_run(self):
        """Between two runs of one test: no downloaded files, no record."""
        self.end_launchers()
        shutil.rmtree(self.download_folder, ignore_errors=True)
        if self.record_file.exists():
            self.record_file.unlink()

    def start_installer(self, exe=None, cwd=None, env=None):
        """Starts an installer (the build's by default) and waits for its prompt."""
        environment = {"ZELVRA_STUB_RECORD": harness.to_windows_path(self.record_file),
                       "ZELVRA_STUB_HOLD_MS": LAUNCHER_HOLD_MS}
        environment.update(NO_PROXY_FROM_ENVIRONMENT)
        environment.update(env or {})
        pid = self.launch(exe or harness.installer_exe(), cwd=harness.to_windows_path(cwd or self.scratch),
                          env=harness.with_stub_settings(environment))
        prompt = self.driver.wait_window(pid, title=TITLE, cls="#32770", owner=0, timeout=30)
        return pid, prompt

    def confirm_and_wait(self, pid, prompt, timeout=RUN_SECONDS, stop=None, click=True):
        """Clicks OK (unless `click` is false: it was clicked) and waits for
        the end of the hand-off: returns "finished" when the prompt shows
        "Download complete.", else the first message box that appeared.
        `stop`, if given, is asked on each poll and ends the test at once with
        the failure text it returns (None: go on)."""
        if click:
            self.driver.click(prompt.hwnd, IDOK)
        deadline = time.monotonic() + timeout
        while True:
            reason = stop() if stop else None
            if reason:
                self.fail(reason)
            boxes = self.driver.message_boxes(pid)
            if boxes:
                return boxes[0]
            if self.driver.control(prompt.hwnd, ID_DONE).visible:
                return "finished"
            if time.monotonic() > deadline:
                self.fail("the run neither finished nor showed a box within %.0f s; windows: %r"
                          % (timeout, [(w.title, w.visible, w.enabled) for w in self.driver.windows(pid, True)]))
            time.sleep(0.1)

    def whole_run(self, exe=None, cwd=None, env=None, shot=None, stop=None):
        """A run that must succeed: OK, "Download complete.", Close, exit 0."""
        pid, prompt = self.start_installer(exe, cwd, env)
        outcome = self.confirm_and_wait(pid, prompt, stop=stop)
        if outcome != "finished":
            # Ended now, not with the test: a later run of the same test would
            # find this copy running and hand over to it.
            self.driver.kill(pid)
            self.fail("expected the run to finish; a box appeared: %r" % outcome.text)
        if shot:
            harness.screenshot(shot)
        self.driver.click(prompt.hwnd, ID_CLOSE)
        self.assertEqual(self.driver.wait_exit(pid, timeout=10), EXIT_LAUNCHER_STARTED)

    def launcher_starts(self):
        try:
            text = self.record_file.read_text(encoding="utf-8")
        except FileNotFoundError:
            return []
        return [block for block in parse_launcher_record(text) if block.get("event") == "start"]

    def end_launchers(self):
        for block in self.launcher_starts():
            try:
                self.driver.kill(int(block["pid"]), tree=False)
            except (uidriver.CommandFailed, ValueError):
                pass  # already gone

    def wait_prompt_usable(self, prompt, timeout=15.0):
        """Waits until the prompt is in its first state again: enabled, with
        OK and Cancel shown and enabled."""
        deadline = time.monotonic() + timeout
        while True:
            window = self.driver.window(prompt.hwnd)
            buttons = [self.driver.control(prompt.hwnd, control_id) for control_id in (IDOK, IDCANCEL)]
            if window.enabled and all(button.visible and button.enabled for button in buttons):
                return
            if time.monotonic() > deadline:
                self.fail("expected the prompt to be usable again; windows: %r"
                          % [(w.title, w.enabled) for w in self.driver.windows(prompt.pid, True)])
            time.sleep(0.05)

    def assert_handed_off(self, served=None):
        """The three files as served (the stand-ins in `served`, a folder, or
        the build's own), nothing else, and one hidden launcher start with the
        usual parameters."""
        served = pathlib.Path(served or stub_dir())
        self.assertEqual(sorted(p.name for p in self.download_folder.iterdir()), sorted(UPDATE_FILES))
        for name in UPDATE_FILES:
            with self.subTest(file=name):
                self.assertEqual((self.download_folder / name).read_bytes(), (served / name).read_bytes())
        starts = self.launcher_starts()
        self.assertEqual(len(starts), 1, starts)
        self.assertEqual(starts[0]["arguments"], LAUNCHER_PARAMETERS)
        self.assertEqual(starts[0]["show_window"], "0")

    def assert_no_update_files(self):
        present = [p.name for p in self.download_folder.iterdir()] if self.download_folder.exists() else []
        self.assertEqual([name for name in present if name in UPDATE_FILES], [])


class DllPlantingTest(RunTestCase):
    """Copies an installer into a fresh folder with a blank in its name (the
    downloads folder), plants our wininet.dll and comctl32.dll beside it,
    makes it the working folder too, and prefers native DLLs of those names
    over Wine's own, as Windows would take a DLL from the program's folder."""

    # Native before builtin for every name a test plants (only where a copy
    # is planted does this change anything).
    driver_env = {"WINEDLLOVERRIDES": "wininet,comctl32,version,zlib1,imm32=n,b"}

    @classmethod
    def setUpClass(cls):
        harness.require_environment(unrestricted_installer_exe(), planted_dll("wininet.dll"),
                                    planted_dll("comctl32.dll"))
        super().setUpClass()

    def downloads_folder(self, exe, planted):
        folder = self.scratch / ("Downloads %d" % len(list(self.scratch.glob("Downloads *"))))
        folder.mkdir()
        shutil.copyfile(exe, folder / "ZelvraInstaller.exe")
        for name in planted:
            shutil.copyfile(planted_dll(name), folder / name)
        return folder

    def marker_lines(self, marker, folder):
        """What the planted DLLs wrote: (dll name, exe) pairs, from the marker
        file given and from the default marker beside the DLLs."""
        lines = []
        for path in (marker, folder / "planted-dll-marker.txt"):
            if path.exists():
                lines += [tuple(line.split("\t")) for line in path.read_text(encoding="utf-8").splitlines() if line]
        return lines

    def test_planted_libraries_are_not_loaded(self):
        mirror = self.start_mirror()
        # build, DLLs planted, expected marker lines (DLL names), whole run
        cases = [
            ("release", harness.installer_exe(), ["wininet.dll", "comctl32.dll"], [], True),
            # The test build is the same program: with nothing planted it does its job ...
            ("unrestricted", unrestricted_installer_exe(), [], [], True),
            # ... and with a DLL planted it loads it, which the test sees.
            ("unrestricted", unrestricted_installer_exe(), ["comctl32.dll"], ["comctl32.dll"], False),
            ("unrestricted", unrestricted_installer_exe(), ["wininet.dll"], ["wininet.dll"], False),
        ]
        for build, exe, planted, expected, completes in cases:
            with self.subTest(build=build, planted=planted):
                self.fresh_run()
                mirror.reset_log()
                folder = self.downloads_folder(exe, planted)
                marker = self.scratch / ("marker %s.txt" % folder.name)
                env = {"ZELVRA_PLANT_MARKER": harness.to_windows_path(marker)}
                if completes:
                    def loaded():
                        lines = self.marker_lines(marker, folder)
                        return "a planted library was loaded: %r" % lines if lines else None
                    self.whole_run(folder / "ZelvraInstaller.exe", cwd=folder, env=env, stop=loaded,
                                   shot="hardening-planted-%s-%s-finished" % (build, "-".join(planted) or "none"))
                    self.assert_handed_off()
                    self.assertEqual(self.marker_lines(marker, folder), [])
                else:
                    pid, prompt = self.start_installer(folder / "ZelvraInstaller.exe", cwd=folder, env=env)
                    self.wait_marker(marker, folder, expected, pid, prompt)
                    harness.screenshot("hardening-planted-%s-%s" % (build, "-".join(planted)))
                    exe_windows = harness.to_windows_path(folder / "ZelvraInstaller.exe").lower()
                    self.assertEqual([(dll.lower(), path.lower()) for dll, path in self.marker_lines(marker, folder)],
                                     [(name, exe_windows) for name in expected])
                    self.driver.kill(pid, tree=True)
                    self.assertEqual(self.launcher_starts(), [], "a run with a planted library handed off")

    # Libraries that the system's own libraries load as they start (under
    # Wine: user32 brings in version.dll and zlib1.dll and loads imm32.dll).
    # The program imports only kernel32 and the C runtime directly and
    # restricts the DLL search before it loads anything else, so copies of
    # these beside it are never loaded.
    def test_libraries_loaded_before_the_program_starts_are_not_planted(self):
        mirror = self.start_mirror()
        for planted in (["version.dll"], ["zlib1.dll"], ["imm32.dll"]):
            with self.subTest(planted=planted):
                self.fresh_run()
                mirror.reset_log()
                folder = self.downloads_folder(harness.installer_exe(), [])
                for name in planted:  # the same DLL under the name of a system library
                    shutil.copyfile(planted_dll("wininet.dll"), folder / name)
                marker = self.scratch / ("marker %s.txt" % folder.name)
                environment = {"ZELVRA_STUB_RECORD": harness.to_windows_path(self.record_file),
                               "ZELVRA_STUB_HOLD_MS": LAUNCHER_HOLD_MS,
                               "ZELVRA_PLANT_MARKER": harness.to_windows_path(marker)}
                pid = self.launch(folder / "ZelvraInstaller.exe", cwd=harness.to_windows_path(folder),
                                  env=harness.with_stub_settings(environment))
                # A planted library that lacks what the system's libraries
                # import from it can keep the prompt from ever appearing.
                deadline = time.monotonic() + 30
                while True:
                    lines = self.marker_lines(marker, folder)
                    self.assertEqual(lines, [], "a planted library was loaded")
                    if self.driver.windows(pid, visible_only=True):
                        break
                    self.assertLess(time.monotonic(), deadline, "the prompt did not appear")
                    time.sleep(0.1)
                self.driver.kill(pid, tree=True)
                self.assertEqual(self.marker_lines(marker, folder), [])

    def wait_marker(self, marker, folder, expected, pid, prompt):
        """Drives the run (OK, and OK on any box) until the marker names the
        expected DLLs; comctl32 is loaded at the prompt, WinInet at the first
        download."""
        clicked = False
        deadline = time.monotonic() + RUN_SECONDS
        while sorted(dll.lower() for dll, _ in self.marker_lines(marker, folder)) != sorted(expected):
            if time.monotonic() > deadline:
                self.fail("expected the planted %s to be loaded; marker: %r"
                          % (expected, self.marker_lines(marker, folder)))
            if not clicked:
                self.driver.click(prompt.hwnd, IDOK)
                clicked = True
            time.sleep(0.1)


class DownloadFolderTest(RunTestCase):
    """The installer runs elevated (so does every Wine program) and downloads
    into a folder of the user's %TEMP%: whatever an unelevated program left in
    that folder's place is never followed or written through."""

    def setUp(self):
        super().setUp()
        self.addCleanup(self.remove_folders)
        self.remove_folders()

    def remove_folders(self):
        for path in [self.download_folder, *self.download_folder.parent.glob("ZelvraManager.old-*")]:
            if path.is_symlink() or path.is_file():
                path.unlink()
            else:
                shutil.rmtree(path, ignore_errors=True)

    def test_a_link_in_the_folders_place_is_never_written_through(self):
        """Windows removes a junction or symbolic link itself and the run goes
        on in a new folder. Wine 8 cannot remove a Unix symbolic link through
        the Windows API (it removes an empty target instead, and moves the
        target on a rename), so there the run ends in the download-failure
        path. Either way nothing reaches the link's target."""
        self.start_mirror()
        elsewhere = self.scratch / "elsewhere"
        elsewhere.mkdir()
        (elsewhere / "kept.txt").write_bytes(b"the target's own file")
        # A Unix symbolic link: Wine reports it as a folder that is a reparse
        # point, as Windows does a junction.
        self.download_folder.symlink_to(elsewhere, target_is_directory=True)
        pid, prompt = self.start_installer()
        outcome = self.confirm_and_wait(pid, prompt)
        harness.screenshot("hardening-download-folder-link")
        if outcome == "finished":
            self.assertFalse(self.download_folder.is_symlink())
            self.assert_handed_off()
        else:
            self.assertRegex(outcome.text, r"^Error1:")
            self.driver.answer(outcome, IDOK)
            failed = self.driver.message_box(pid, owner=prompt.hwnd)
            self.assertEqual(failed.text, DOWNLOAD_FAILED)
            self.driver.answer(failed, IDOK)
            self.assertEqual(self.launcher_starts(), [], "launched after a failed download")
        self.assertEqual([p.name for p in elsewhere.iterdir()], ["kept.txt"], "the link's target was changed")
        self.assertEqual((elsewhere / "kept.txt").read_bytes(), b"the target's own file")

    def test_a_folder_left_by_others_is_moved_aside_with_what_it_holds(self):
        self.start_mirror()
        self.download_folder.mkdir()
        (self.download_folder / "version.dll").write_bytes(b"planted beside the launcher")
        self.whole_run()
        self.assert_handed_off()  # the three files alone
        aside = list(self.download_folder.parent.glob("ZelvraManager.old-*"))
        self.assertEqual([(p / "version.dll").read_bytes() for p in aside], [b"planted beside the launcher"])


class RedirectTest(RunTestCase):
    """The primary host answers the request for ZVUpdater.exe with a
    redirection to another path on the same host. The secondary host does
    not have the file, so only a followed redirection gives a whole run."""

    REQUESTED = "/Zelvra/ZVUpdater.exe"
    TARGET = "/Zelvra/builds/3.1.0.3/ZVUpdater-full.bin"

    def test_redirected_download_keeps_the_requested_name(self):
        mirror = self.start_mirror()
        for status in (301, 302, 307):
            with self.subTest(status=status):
                self.fresh_run()
                mirror.reset(files=True)
                mirror.put_file("primary", self.TARGET, (stub_dir() / "ZVUpdater.exe").read_bytes())
                mirror.set_fault("primary", self.REQUESTED, status=status, location=self.TARGET,
                                 body="moved to %s\n" % self.TARGET)
                mirror.set_fault("secondary", self.REQUESTED, status=404)

                self.whole_run(shot="hardening-redirect-%d-finished" % status)

                # Saved under the name of the address asked for, never the target's.
                self.assert_handed_off()
                self.assertFalse((self.download_folder / "ZVUpdater-full.bin").exists())
                seen = [(entry["host"], entry["path"], entry["status"], entry["outcome"]) for entry in mirror.requests()]
                self.assertEqual(seen, [
                    ("primary", "/Zelvra-TTS-WUX/ZVUpdaterRes.dll", 200, "complete"),
                    ("primary", self.REQUESTED, status, "complete"),
                    ("primary", self.TARGET, 200, "complete"),
                    ("primary", "/Zelvra/ZVCallUpdater.exe", 200, "complete"),
                ])
                # The followed request is still one that no cache may answer.
                [followed] = mirror.requests("primary", self.TARGET)
                self.assertEqual(header(followed, "Pragma"), "no-cache")
                self.assertEqual(header(followed, "User-Agent"), USER_AGENT)


# The user's proxy settings in the Wine prefix (as the Internet Options
# dialog writes them); WinInet reads them at each session's start.
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PROXY_VALUES = ("ProxyEnable", "ProxyServer", "ProxyOverride")


def wine_reg(*args, check=True):
    return subprocess.run([harness.WINE, "reg", *args], env=harness.wine_env(), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=120, check=check)


def read_internet_settings():
    """{value name: (type, data)} of the settings key's own values."""
    output = wine_reg("query", INTERNET_SETTINGS).stdout
    values = {}
    for line in output.splitlines():
        match = re.match(r"^ {4}(\S(?:.*?\S)?) {4}(REG_\w+)(?: {4}(.*))?$", line)
        if match:
            values[match.group(1)] = (match.group(2), match.group(3) or "")
    return values


def write_internet_setting(name, value):
    """Sets a value ((type, data)), or deletes it for None."""
    if value is None:
        wine_reg("delete", INTERNET_SETTINGS, "/v", name, "/f", check=False)
    else:
        kind, data = value
        # Wine's reg now and then fails on a busy machine; a value left
        # behind would send every later test through a dead proxy.
        for attempt in range(3):
            written = wine_reg("add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", data, "/f", check=False)
            if written.returncode == 0:
                return
            time.sleep(1)
        raise RuntimeError("cannot set %s in the prefix's Internet Settings: %r" % (name, written.stderr))


class ProxyTest(RunTestCase):
    """A tinyproxy of the test's own on loopback is the user's proxy in the
    prefix: ProxyEnable=1, ProxyServer=127.0.0.1:PORT, and an empty
    ProxyOverride so that no address bypasses it (Wine's WinInet sends
    loopback addresses to the proxy too, unless ProxyOverride names them).
    The prefix is shared by all tests: tearDown puts the values back."""

    @classmethod
    def setUpClass(cls):
        cls.tinyproxy = shutil.which("tinyproxy") or ("/usr/bin/tinyproxy" if os.path.exists("/usr/bin/tinyproxy")
                                                      else None)
        if cls.tinyproxy is None:
            raise unittest.SkipTest("tinyproxy is not installed (tools/setup.sh installs it)")
        super().setUpClass()

    def setUp(self):
        super().setUp()
        saved = read_internet_settings()
        self.addCleanup(self.restore_settings, {name: saved.get(name) for name in PROXY_VALUES})
        self.proxy_log = self.scratch / "tinyproxy.log"

    def restore_settings(self, saved):
        for name, value in saved.items():
            write_internet_setting(name, value)
        now = read_internet_settings()
        self.assertEqual({name: now.get(name) for name in PROXY_VALUES}, saved, "the proxy settings were not restored")

    def use_proxy(self, port):
        write_internet_setting("ProxyEnable", ("REG_DWORD", "1"))
        write_internet_setting("ProxyServer", ("REG_SZ", "127.0.0.1:%d" % port))
        write_internet_setting("ProxyOverride", ("REG_SZ", ""))

    def start_proxy(self):
        """Our own tinyproxy in the foreground on a free port; returns the port."""
        port = free_port()
        config = self.scratch / "tinyproxy.conf"
        config.write_text("Listen 127.0.0.1\nPort %d\nAllow 127.0.0.1\nLogFile \"%s\"\nLogLevel Info\n"
                          "Timeout 60\nMaxClients 20\n" % (port, self.proxy_log))
        output = open(self.scratch / "tinyproxy.out", "wb")
        self.addCleanup(output.close)
        process = subprocess.Popen([self.tinyproxy, "-d", "-c", str(config)], stdin=subprocess.DEVNULL,
                                   stdout=output, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop_process, process)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return port
            except OSError:
                if process.poll() is not None or time.monotonic() > deadline:
                    self.fail("tinyproxy did not start: %s" % (self.scratch / "tinyproxy.out").read_text())
                time.sleep(0.05)

    @staticmethod
    def stop_process(process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=5)

    def proxied_requests(self):
        """The request lines tinyproxy logged: [(method, absolute URL)]."""
        text = self.proxy_log.read_text(errors="replace") if self.proxy_log.exists() else ""
        return re.findall(r"Request \(file descriptor \d+\): (\S+) (\S+) HTTP/1\.[01]", text)

    def test_downloads_go_through_the_configured_proxy(self):
        mirror = self.start_mirror()
        self.use_proxy(self.start_proxy())

        self.whole_run(shot="hardening-proxy-finished")

        self.assert_handed_off()
        self.assertEqual(self.proxied_requests(),
                         [("GET", mirror.url("primary", path)) for _, path in PRIMARY_PATHS])
        entries = mirror.requests()
        self.assertEqual([(entry["host"], entry["path"], entry["status"]) for entry in entries],
                         [("primary", path, 200) for _, path in PRIMARY_PATHS])
        for entry in entries:
            with self.subTest(path=entry["path"]):
                self.assertIn("tinyproxy", header(entry, "Via") or "", "the request did not come through the proxy")
                # A caching proxy on the way is told to ask the server.
                self.assertEqual(header(entry, "Pragma"), "no-cache")
                self.assertEqual(header(entry, "User-Agent"), USER_AGENT)

    # --- a proxy that asks who the user is -------------------------------------

    CREDENTIALS = ("zelvra", "s3cret")

    def use_asking_proxy(self, mirror):
        """The mirror itself as the user's proxy, demanding Basic credentials."""
        mirror.set_proxy_credentials("%s:%s" % self.CREDENTIALS)
        self.use_proxy(mirror.port("primary"))

    def wait_credentials_dialog(self, pid, timeout=30.0):
        """The system's dialog for the proxy's credentials: the process's
        visible window with edit fields (the user name's and the password's,
        in that order). Returns (window, [edit field ids])."""
        deadline = time.monotonic() + timeout
        while True:
            for window in self.driver.windows(pid, visible_only=True):
                edits = [c.id for c in self.driver.controls(window.hwnd).controls if c["class"].lower() == "edit"]
                if len(edits) >= 2:
                    return window, edits
            boxes = [box for box in self.driver.message_boxes(pid) if box.title == TITLE]  # ours, not the dialog
            if boxes or time.monotonic() > deadline:
                self.fail("no credentials dialog; boxes: %r; windows: %r"
                          % ([b.text for b in boxes], [w.title for w in self.driver.windows(pid, True)]))
            time.sleep(0.1)

    def test_a_proxy_that_asks_for_credentials_gets_them_from_the_user(self):
        mirror = self.start_mirror()
        self.use_asking_proxy(mirror)
        pid, prompt = self.start_installer()
        self.driver.click(prompt.hwnd, IDOK)
        dialog, (user, password) = self.wait_credentials_dialog(pid)
        self.assertEqual(self.driver.window(dialog.hwnd).owner_title, DOWNLOAD_CAPTION["en"], "owned by the download dialog")
        harness.screenshot("hardening-proxy-credentials")
        self.driver.set_text(dialog.hwnd, user, self.CREDENTIALS[0])
        self.driver.set_text(dialog.hwnd, password, self.CREDENTIALS[1])
        self.driver.click(dialog.hwnd, IDOK)
        self.driver.wait_gone(dialog.hwnd)
        outcome = self.confirm_and_wait(pid, prompt, click=False)
        self.assertEqual(outcome, "finished", "%r; the mirror's log: %r" % (
            getattr(outcome, "text", outcome),
            [(e["path"], e["status"], header(e, "Proxy-Authorization")) for e in mirror.requests()]))
        self.driver.click(prompt.hwnd, ID_CLOSE)
        self.assertEqual(self.driver.wait_exit(pid, timeout=10), EXIT_LAUNCHER_STARTED)
        self.assert_handed_off()
        given = "Basic " + base64.b64encode(("%s:%s" % self.CREDENTIALS).encode()).decode()
        entries = mirror.requests()
        self.assertEqual([(e["path"], e["status"]) for e in entries if e["status"] == 200],
                         [(path, 200) for _, path in PRIMARY_PATHS], "each file once, through the proxy")
        self.assertTrue(all(header(e, "Proxy-Authorization") == given for e in entries if e["status"] == 200))
        # Each file's session meets the proxy's question anew (a 407 first);
        # the user was asked once, the later files got what the user gave.
        self.assertEqual(sorted({e["path"] for e in entries if e["status"] == 407}),
                         sorted(path for _, path in PRIMARY_PATHS))

    def test_a_cancelled_credentials_dialog_fails_the_run_as_a_bad_answer(self):
        mirror = self.start_mirror()
        self.use_asking_proxy(mirror)
        pid, prompt = self.start_installer()
        self.driver.click(prompt.hwnd, IDOK)
        dialog, _ = self.wait_credentials_dialog(pid)
        self.driver.click(dialog.hwnd, IDCANCEL)
        self.driver.wait_gone(dialog.hwnd)
        box = self.driver.message_box(pid, timeout=20)
        self.assertEqual((box.title, box.text), (TITLE, DOWNLOAD_FAILED))
        self.driver.answer(box, "OK")
        self.wait_prompt_usable(prompt)
        self.assertEqual([(e["host"], e["status"]) for e in mirror.requests()], [("primary", 407)],
                         "the secondary is not asked again")
        self.assertEqual(self.launcher_starts(), [])
        self.driver.click(prompt.hwnd, IDCANCEL)
        self.driver.answer(self.driver.message_box(pid, owner=prompt.hwnd, timeout=10), "Yes")
        self.assertEqual(self.driver.wait_exit(pid, timeout=10), EXIT_USER_CANCELLED)

    def test_an_unattended_run_behind_an_asking_proxy_says_why_it_stopped(self):
        mirror = self.start_mirror()
        self.use_asking_proxy(mirror)
        log = pathlib.Path(self.temp_unix) / "ZelvraInstaller.log"
        log.unlink(missing_ok=True)
        self.addCleanup(log.unlink, True)
        environment = dict(NO_PROXY_FROM_ENVIRONMENT, ZELVRA_STUB_RECORD=harness.to_windows_path(self.record_file))
        pid = self.launch(harness.installer_exe(), "@silent", cwd=harness.to_windows_path(self.scratch),
                          env=harness.with_stub_settings(environment))
        while self.driver.attach(pid).running:
            self.assertEqual(self.driver.windows(pid, visible_only=True), [], "a window was visible")
            time.sleep(0.1)
        self.assertEqual(self.driver.wait_exit(pid, timeout=5), EXIT_INSTALL_FAILED)
        asked = [line for line in log.read_text(encoding="utf-8").splitlines() if "HTTP 407" in line]
        self.assertEqual(len(asked), 2, "the primary and the secondary, each asked once: %r" % asked)
        self.assertTrue(all("(Basic)" in line for line in asked), asked)
        self.assertEqual(self.launcher_starts(), [])

    def test_proxy_down_ends_in_the_error_path(self):
        mirror = self.start_mirror()
        self.use_proxy(free_port())  # nothing listens there

        pid, prompt = self.start_installer()
        started = time.monotonic()
        box = self.confirm_and_wait(pid, prompt, timeout=ERROR_BOX_SECONDS)
        self.assertNotEqual(box, "finished", "the run went round the proxy")
        # The worker's box names the network error ...
        self.assertEqual(box.title, TITLE)
        self.assertRegex(box.text, r"^Error2:\S")
        self.assertEqual(box.icon, "exclamation", box.get("icon_note"))
        harness.screenshot("hardening-proxy-down-error2")
        self.driver.answer(box, "OK")
        # ... then the download dialog says the download failed.
        box = self.driver.message_box(pid, exclude=[box.hwnd], timeout=10)
        self.assertEqual((box.title, box.text), (TITLE, DOWNLOAD_FAILED))
        self.driver.answer(box, "OK")
        self.assertLess(time.monotonic() - started, ERROR_BOX_SECONDS + 20)

        # The prompt is back and usable; nothing was fetched, nothing started.
        self.wait_prompt_usable(prompt)
        self.assertFalse(self.driver.control(prompt.hwnd, ID_DONE).visible)
        self.assertEqual(mirror.requests(), [], "a request reached the update host without the proxy")
        self.assertNotIn("winedbg.exe", [p.exe.lower() for p in self.driver.processes()], "a program crashed")
        self.assert_no_update_files()
        self.assertEqual(self.launcher_starts(), [])

        # The user can still leave the normal way.
        self.driver.click(prompt.hwnd, IDCANCEL)
        question = self.driver.message_box(pid, owner=prompt.hwnd, timeout=10)
        self.assertEqual(question.text, CANCEL_QUESTION)
        self.driver.answer(question, "Yes")
        self.assertEqual(self.driver.wait_exit(pid, timeout=10), EXIT_USER_CANCELLED)


if __name__ == "__main__":
    unittest.main()
