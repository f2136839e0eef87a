"""Tests of the stand-in update files under 64-bit Wine.

Needs the x64 build of this folder: ZELVRA_STUB_DIR names the folder holding
ZVCallUpdater.exe, ZVUpdater.exe, ZVUpdaterRes.dll and stub_probe.exe, or
ZELVRA_BUILD_DIR the build tree (then <build>/tools/stub_launcher). Without
either the tests are skipped. WINEPREFIX is used when set, else a prefix of
this test's own under /tmp (created on first use, about 10 s).

    ZELVRA_BUILD_DIR=build/windows-x64 python3 -m unittest -v test_stub_launcher
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mirror"))
from mirror_client import UNRUNNABLE_PROGRAM  # noqa: E402
from launcher_record import launcher_environment, write_stub_settings  # noqa: E402

WINE = "/usr/lib/wine/wine64"
DEFAULT_MUTEX = "Zelvra_CallUpdater"


def stub_dir():
    if os.environ.get("ZELVRA_STUB_DIR"):
        return os.environ["ZELVRA_STUB_DIR"]
    if os.environ.get("ZELVRA_BUILD_DIR"):
        return os.path.join(os.environ["ZELVRA_BUILD_DIR"], "tools", "stub_launcher")
    return None


def windows_path(path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_record(path):
    """The record file as a list of blocks, each a dict of unescaped values."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    blocks = []
    for chunk in text.split("\n\n"):
        if chunk.strip():
            pairs = (line.split("=", 1) for line in chunk.strip("\n").split("\n"))
            blocks.append({k: urllib.parse.unquote(v) for k, v in pairs})
    return blocks


@unittest.skipUnless(stub_dir(), "set ZELVRA_STUB_DIR or ZELVRA_BUILD_DIR to the x64 build")
class StubLauncherTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = stub_dir()
        for name in ("ZVCallUpdater.exe", "ZVUpdater.exe", "ZVUpdaterRes.dll", "stub_probe.exe"):
            if not os.path.isfile(os.path.join(cls.dir, name)):
                raise AssertionError("%s not built in %s" % (name, cls.dir))
        # No display: these programs have no windows, and Wine's shell then
        # reports a failed start at once instead of showing a box.
        cls.env = {k: v for k, v in os.environ.items()
                   if k != "DISPLAY" and not k.startswith("ZELVRA_STUB_")}
        cls.env["WINEDEBUG"] = "-all"
        cls.env.setdefault("WINEPREFIX", "/tmp/zelvra-stub-prefix-%d" % os.getuid())
        if not os.path.isfile(os.path.join(cls.env["WINEPREFIX"], "system.reg")):
            subprocess.run([WINE, "wineboot", "--init"], env=cls.env, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # One long-lived Wine process keeps the prefix's wineserver up between
        # the short runs below, which then start in well under a second.
        cls.keeper = subprocess.Popen(
            [WINE, os.path.join(cls.dir, "stub_probe.exe"), "hold", "ZelvraStubTestKeeper_%d" % os.getpid(),
             "600000"], env=cls.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        cls.keeper.stdout.readline()

    @classmethod
    def tearDownClass(cls):
        cls.keeper.kill()
        cls.keeper.wait(30)
        cls.keeper.stdout.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zelvra-stub-test-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.record = os.path.join(self.work, "record.txt")
        # A mutex name of this test's own, so that nothing else sees it.
        self.mutex = "ZelvraStubTest_%d_%s" % (os.getpid(), self.id().rsplit(".", 1)[-1])

    def stub_env(self, **settings):
        """The environment to start the stand-in with, after writing its
        settings: this test's record file and mutex, no hold, and `settings`
        ("<unset>" leaves one out)."""
        values = dict(record=windows_path(self.record), mutex_name=self.mutex, hold_ms="0")
        values.update({k: str(v) for k, v in settings.items()})
        write_stub_settings(self.env["WINEPREFIX"], **{k: None if v == "<unset>" else v for k, v in values.items()})
        self.addCleanup(write_stub_settings, self.env["WINEPREFIX"])
        return dict(self.env)

    def run_wine(self, program, *args, env=None, timeout=60, **popen):
        return subprocess.run([WINE, program, *args], env=env or self.env, timeout=timeout,
                              capture_output=True, text=True, **popen)

    def start_wine(self, program, *args, env=None):
        process = subprocess.Popen([WINE, program, *args], env=env or self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait, 60)
        return process

    def exe(self, name):
        return os.path.join(self.dir, name)

    def test_records_how_it_was_started(self):
        args = ["@cmd=a b", "@execute=Zelvra.exe", "@install", "100% \"quoted\""]
        done = self.run_wine(self.exe("ZVCallUpdater.exe"), *args, cwd=self.work,
                             env=dict(self.stub_env(mutex_name="<unset>"), Zelvra_Recorded="a=b 100%\n"))
        self.assertEqual(done.returncode, 0)
        start, mutex, end = parse_record(self.record)
        self.assertEqual([start["event"], mutex["event"], end["event"]], ["start", "mutex", "exit"])
        self.assertEqual(start["pid"], mutex["pid"])
        self.assertEqual(start["pid"], end["pid"])
        self.assertEqual(start["argc"], "5")
        self.assertEqual([start["argv%d" % i] for i in range(1, 5)], args)
        self.assertEqual(start["exe"].lower(), windows_path(self.exe("ZVCallUpdater.exe")).lower())
        self.assertEqual(start["cwd"].lower(), windows_path(self.work).lower())
        self.assertTrue(start["command_line"].endswith(start["arguments"]))
        self.assertEqual(bytes.fromhex(start["command_line_ansi_hex"]).decode("cp1252"),
                         start["command_line"])
        self.assertEqual(start["mutex_name"], DEFAULT_MUTEX)
        self.assertIn("Zelvra_Recorded=a=b 100%\n", [start["env%d" % i] for i in range(int(start["envc"]))])
        self.assertEqual(launcher_environment(start)["ZELVRA_RECORDED"], "a=b 100%\n")
        self.assertEqual((mutex["created"], mutex["already_existed"]), ("1", "0"))
        self.assertLessEqual(int(start["tick_ms"]), int(mutex["tick_ms"]))
        self.assertEqual(end["exit_code"], "0")

    def test_hidden_start_through_the_shell_keeps_the_parameters(self):
        cases = [
            '"@cmd=" "@execute=Zelvra.exe" "@install"',
            '"@cmd=@test" "@execute=Zelvra.exe" "@install" "@5204917738162"',
            '"@cmd="C:\\my files\\setup.exe" /q" "@execute=Zelvra.exe" "@install"',
        ]
        for parameters in cases:
            with self.subTest(parameters=parameters):
                os.makedirs(self.work, exist_ok=True)
                if os.path.exists(self.record):
                    os.remove(self.record)
                done = self.run_wine(self.exe("stub_probe.exe"), "launch",
                                     windows_path(self.exe("ZVCallUpdater.exe")), parameters,
                                     env=self.stub_env())
                self.assertEqual(done.returncode, 0, done.stdout)
                start = parse_record(self.record)[0]
                self.assertEqual(start["arguments"], parameters)
                self.assertEqual((start["startf_useshowwindow"], start["show_window"]), ("1", "0"))

    def test_mutex_appears_after_the_delay_and_goes_with_the_launcher(self):
        launcher = self.start_wine(self.exe("ZVCallUpdater.exe"),
                                   env=self.stub_env(mutex_delay_ms=400, hold_ms=1000))
        seen = self.run_wine(self.exe("stub_probe.exe"), "wait", self.mutex, "10000")
        self.assertEqual(seen.returncode, 0, seen.stdout)
        gone = self.run_wine(self.exe("stub_probe.exe"), "gone", self.mutex, "10000")
        self.assertEqual(gone.returncode, 0, gone.stdout)
        self.assertEqual(launcher.wait(30), 0)
        start, mutex, end = parse_record(self.record)
        self.assertGreaterEqual(int(mutex["tick_ms"]) - int(start["tick_ms"]), 400)
        self.assertGreaterEqual(int(end["tick_ms"]) - int(mutex["tick_ms"]), 1000)

    def test_mutex_that_already_exists_is_reported(self):
        holder = self.start_wine(self.exe("stub_probe.exe"), "hold", self.mutex, "20000")
        self.assertEqual(holder.stdout.readline().strip(), "holding")
        self.addCleanup(holder.kill)
        done = self.run_wine(self.exe("ZVCallUpdater.exe"), env=self.stub_env())
        self.assertEqual(done.returncode, 0)
        mutex = parse_record(self.record)[1]
        self.assertEqual((mutex["created"], mutex["already_existed"]), ("1", "1"))

    def test_never_creates_the_mutex_when_told(self):
        for delay in ("never", "-1"):
            with self.subTest(delay=delay):
                if os.path.exists(self.record):
                    os.remove(self.record)
                done = self.run_wine(self.exe("ZVCallUpdater.exe"),
                                     env=self.stub_env(mutex_delay_ms=delay, hold_ms=200))
                self.assertEqual(done.returncode, 0)
                blocks = parse_record(self.record)
                self.assertEqual([b["event"] for b in blocks], ["start", "exit"])
                self.assertEqual(blocks[0]["mutex_delay_ms"], "never")

    def test_appends_to_the_record_next_to_the_program_by_default(self):
        copy = os.path.join(self.work, "ZVCallUpdater.exe")
        shutil.copyfile(self.exe("ZVCallUpdater.exe"), copy)
        env = self.stub_env(record="<unset>")
        for _ in range(2):
            self.assertEqual(self.run_wine(copy, env=env).returncode, 0)
        blocks = parse_record(os.path.join(self.work, "launcher-record.txt"))
        starts = [b for b in blocks if b["event"] == "start"]
        self.assertEqual(len(starts), 2)
        self.assertNotEqual(starts[0]["time_ms"], starts[1]["time_ms"])

    def test_other_served_files_are_real_and_text_is_not_a_program(self):
        self.assertEqual(self.run_wine(self.exe("ZVUpdater.exe")).returncode, 0)
        loaded = self.run_wine(self.exe("stub_probe.exe"), "load", windows_path(self.exe("ZVUpdaterRes.dll")))
        self.assertEqual(loaded.returncode, 0, loaded.stdout)
        text = os.path.join(self.work, "ZVCallUpdater.exe")
        with open(text, "wb") as f:
            f.write(UNRUNNABLE_PROGRAM)
        launched = self.run_wine(self.exe("stub_probe.exe"), "launch", windows_path(text), "x",
                                 env=self.stub_env())
        self.assertEqual(launched.returncode, 100, launched.stdout)
        self.assertFalse(os.path.exists(self.record))


if __name__ == "__main__":
    unittest.main()
