"""Shared helpers of the end-to-end tests: where the build is, Wine paths and
environment, screenshots, and a TestCase base that runs a UI driver and
cleans up the processes a test started.

The tests run under the environment that tools/test.sh (tools/wine-env.sh)
prepares: WINEPREFIX, WINEDEBUG and DISPLAY exported, one wineserver kept
running. ctest passes ZELVRA_BUILD_DIR and ZELVRA_SOURCE_DIR; without them the
default x64 build folder of this checkout is used.
"""

import functools
import os
import pathlib
import re
import subprocess
import sys
import unittest

SOURCE_DIR = pathlib.Path(os.environ.get("ZELVRA_SOURCE_DIR") or pathlib.Path(__file__).resolve().parents[2])
BUILD_DIR = pathlib.Path(os.environ.get("ZELVRA_BUILD_DIR") or SOURCE_DIR / "build" / "windows-x64")

sys.path.insert(0, str(SOURCE_DIR / "tools" / "uidriver"))
sys.path.insert(0, str(SOURCE_DIR / "tools" / "stub_launcher"))
import uidriver  # noqa: E402  (found through the path above)
from launcher_record import write_stub_settings  # noqa: E402

WINE = uidriver.WINE
WINESERVER = "/usr/lib/wine/wineserver"
LANGUAGES = uidriver.LANGUAGES


def build_dir():
    return BUILD_DIR


def installer_exe():
    """The installer under test (a Unix path)."""
    return BUILD_DIR / "ZelvraInstaller.exe"


def uidriver_exe():
    return BUILD_DIR / "tools" / "uidriver" / "uidriver.exe"


def fixture_exe():
    """The driver's self-test program."""
    return BUILD_DIR / "tools" / "uidriver" / "uidriver_fixture.exe"


def wine_prefix():
    return pathlib.Path(os.environ.get("WINEPREFIX") or pathlib.Path.home() / ".wine")


def wine_env(language=None, **extra):
    """This process's environment for a Wine program: WINEDEBUG defaults to
    -all; language (a key of LANGUAGES) sets LC_ALL and LANG."""
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    if language is not None:
        env.update(LANGUAGES[language])
    env.update(extra)
    return env


STUB_SETTING_PREFIX = "ZELVRA_STUB_"


def with_stub_settings(env):
    """`env` without its ZELVRA_STUB_<KEY> entries, which become the launcher
    stand-in's settings (<key> in lower case) in the prefix instead: the
    elevated installer passes no such variable on. The settings file is
    replaced (removed when there are none)."""
    env = dict(env or {})
    settings = {name[len(STUB_SETTING_PREFIX):].lower(): env.pop(name)
                for name in list(env) if name.startswith(STUB_SETTING_PREFIX)}
    write_stub_settings(wine_prefix(), **settings)
    return env


def to_windows_path(path):
    """A Unix path as a Wine program sees it: under the prefix's drive_c it is
    C:\\..., anything else is on drive Z: (the Unix root)."""
    path = pathlib.Path(path).absolute()
    drive_c = wine_prefix() / "drive_c"
    try:
        return "C:\\" + str(path.relative_to(drive_c)).replace("/", "\\").rstrip(".")
    except ValueError:
        return "Z:" + str(path).replace("/", "\\")


def to_unix_path(windows_path):
    """A Windows path of the prefix as a Unix path: the drive letter through
    the prefix's dosdevices links; each further part matched without regard
    to case when no exact match exists, as Windows does."""
    match = re.match(r"^([A-Za-z]):(.*)$", windows_path)
    if not match:
        raise ValueError("not an absolute Windows path: %r" % windows_path)
    current = (wine_prefix() / "dosdevices" / (match.group(1).lower() + ":")).resolve()
    for part in [p for p in re.split(r"[\\/]+", match.group(2)) if p]:
        candidate = current / part
        if not candidate.exists() and current.is_dir():
            folded = [entry for entry in current.iterdir() if entry.name.lower() == part.lower()]
            if folded:
                candidate = folded[0]
        current = candidate
    return current


@functools.lru_cache(maxsize=None)
def _windows_temp(language):
    result = subprocess.run([WINE, "cmd", "/c", "echo %TEMP%"], capture_output=True, text=True,
                            env=wine_env(language), timeout=120, stdin=subprocess.DEVNULL)
    value = result.stdout.strip().splitlines()[-1].strip() if result.stdout.strip() else ""
    if not re.match(r"^[A-Za-z]:\\", value):
        raise RuntimeError("cannot read %%TEMP%% of the Wine prefix: %r %r" % (result.stdout, result.stderr))
    return value


def wine_temp_dir(language="en"):
    """The Windows %TEMP% of the prefix, as (windows_path, unix_path). Asked
    of Wine once per language and remembered (about half a second)."""
    windows_path = _windows_temp(language)
    return windows_path, to_unix_path(windows_path)


def artifacts_dir():
    """Where screenshots and other evidence of a run go."""
    path = BUILD_DIR / "test-artifacts"
    path.mkdir(parents=True, exist_ok=True)
    return path


def screenshot(name):
    """Saves a PNG of the X display as test-artifacts/<name>.png; returns its path."""
    safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)
    return uidriver.screenshot(artifacts_dir() / (safe + ".png"))


@functools.lru_cache(maxsize=None)
def prepare_wine_prefix():
    """Makes the prefix's windows unmanaged (X11 Driver "Managed"="N"), once.

    With no window manager on the test display, Wine waits up to two seconds
    for a window manager that never comes each time a managed window is
    hidden: every dialog and message box that closes stalls the program's
    user-interface thread for 2 s. Unmanaged windows close at once and look
    the same (Wine draws the frames itself). ZELVRA_WINE_MANAGED=1 leaves the
    prefix as it is."""
    if os.environ.get("ZELVRA_WINE_MANAGED") == "1":
        return False
    subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                   env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120, check=True)
    return True


def require_environment(*executables):
    """Fails with a clear message when the display or a build output is missing."""
    if not os.environ.get("DISPLAY"):
        raise RuntimeError("DISPLAY is not set: run the end-to-end tests through tools/test.sh, "
                           "or source tools/wine-env.sh and call zelvra_wine_start first")
    missing = [str(path) for path in executables if not pathlib.Path(path).is_file()]
    if missing:
        raise RuntimeError("not built: %s (build dir %s)" % (", ".join(missing), BUILD_DIR))


class WineTestCase(unittest.TestCase):
    """Base of the end-to-end tests: one UI driver per test class, in the
    class's `language`, and cleanup after each test.

    Use self.launch() to start programs: tearDown kills whatever of them (and
    their child processes) still runs, and takes a screenshot into the
    artifacts folder first when the test failed.
    """

    language = "en"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        require_environment(uidriver_exe())
        prepare_wine_prefix()
        cls.driver = uidriver.Driver(uidriver_exe(), language=cls.language)

    @classmethod
    def tearDownClass(cls):
        cls.driver.close()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        if not self.driver.alive:  # a previous test stopped it
            type(self).driver = uidriver.Driver(uidriver_exe(), language=self.language)
        self.launched = []
        write_stub_settings(wine_prefix())  # no launcher settings of an earlier test

    def launch(self, path, args="", **options):
        """Starts a program through the driver (Unix or Windows path); returns its pid."""
        path = str(path)
        if path.startswith("/"):
            path = to_windows_path(path)
        pid = self.driver.launch(path, args, **options)
        self.launched.append(pid)
        return pid

    def _failed(self):
        """Whether this test (or one of its subtests) has failed so far. The
        result records failures as they happen, before tearDown runs."""
        result = getattr(getattr(self, "_outcome", None), "result", None)
        if result is None:
            return False
        failures = getattr(result, "failures", []) + getattr(result, "errors", [])
        return any(getattr(test, "test_case", test) is self for test, _ in failures)

    def tearDown(self):
        if self._failed():
            try:
                print("screenshot:", screenshot(self.id()), file=sys.stderr)
            except Exception as error:  # evidence is best effort; the failure itself is reported
                print("no screenshot:", error, file=sys.stderr)
        if self.launched:
            if not self.driver.alive:
                type(self).driver = uidriver.Driver(uidriver_exe(), language=self.language)
            for pid in self.launched:
                try:
                    self.driver.kill(pid, tree=True)
                except uidriver.CommandFailed:
                    pass  # already gone
        super().tearDown()
