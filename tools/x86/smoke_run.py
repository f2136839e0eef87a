#!/usr/bin/env python3
"""One whole run of a built installer under Wine, checked from outside: the
smoke run of the 32-bit release artifact that tools/x86_smoke.sh sets up.

It serves the build's own stand-in update files (BUILD/mirror-stubs) from
the update mirror on the ports the build was configured with, starts the
build's UI driver (BUILD/tools/uidriver/uidriver.exe) and through it
ZelvraInstaller.exe, three times. The first two fail, each through an error
that the program throws and catches (a body cut short of its length, a
connection reset before the answer): the worker's "Error2:" box, then the
download failure message, then the prompt in its first state again, which
the run leaves through Cancel and Yes (exit code 1602). Each runs in a
process of its own: under the emulation, a download started after a failed
one in the same process now and then ends that process (qemu reports an
"uncaught target signal 11"; no exception reaches Wine; the x64 build under
Wine never does), so that case is left to real Windows. The third run
succeeds: OK, "Download complete.", Close (exit code 0), and then the checks
of what the run left behind, after one more run with "@silent" (no window
visible at any poll, exit code 0, the launcher started with "@cmd=@silent",
%TEMP%\\ZelvraInstaller.log ending with the exit code):

- the mirror answered the three requests from the primary host with 200,
  with the installer's user agent;
- the three files in %TEMP%\\ZelvraManager are the served files, byte for byte;
- the launcher stand-in was started once, hidden, with the usual parameter
  string, and created the launcher's mutex.

Each step prints a line with the time since the start (runs under emulation
are slow: every program start takes about a minute). Exit code 0 when all
checks pass, 1 otherwise.

Usage: smoke_run.py BUILD_DIR [--wine LOADER] [--timeout SECONDS] [--shots DIR]
                    [--own-process-group]
Environment: WINEPREFIX, DISPLAY (and WINEDEBUG) as for any Wine program.
"""
import argparse
import os
import pathlib
import re
import shutil
import struct
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "mirror"))
sys.path.insert(0, str(ROOT / "tools" / "uidriver"))
sys.path.insert(0, str(ROOT / "tools" / "stub_launcher"))
from mirror_client import Mirror, MirrorError, ports_of_build  # noqa: E402
import uidriver  # noqa: E402
from launcher_record import parse_launcher_record, write_stub_settings  # noqa: E402

TITLE = "Zelvra(TM) Installer"
IDOK, IDCANCEL, IDYES, ID_CLOSE, ID_DONE = 1, 2, 6, 1004, 1005
EXIT_USER_CANCELLED = 1602
DOWNLOAD_FAILED = "Error : Fail to download Zelvra(TM) Updater.\nTry to run again."
# The failed attempts before the clean one: what the mirror does to the
# library's answer, once. Both end in the worker's error path, which throws.
FAILED_ATTEMPTS = [
    ("a body cut short of its length", dict(close_after=4096)),
    ("a connection reset before the answer", dict(delay=1.0, raw="", close_mode="reset")),
]
PRIMARY_PATHS = [
    ("ZVUpdaterRes.dll", "/Zelvra-TTS-WUX/ZVUpdaterRes.dll"),
    ("ZVUpdater.exe", "/Zelvra/ZVUpdater.exe"),
    ("ZVCallUpdater.exe", "/Zelvra/ZVCallUpdater.exe"),
]
LAUNCHER_PARAMETERS = '"@cmd=" "@execute=Zelvra.exe" "@install"'
SILENT_PARAMETERS = '"@cmd=@silent" "@execute=Zelvra.exe" "@install"'
LAUNCHER_MUTEX = "Zelvra_CallUpdater"
IMAGE_FILE_MACHINE_I386 = 0x14C
# What qemu's user-mode emulator prints when the emulated program takes a
# fault it cannot deliver: the process is gone, and Wine never saw it.
EMULATOR_CRASH = "uncaught target signal"
# qemu 7.2 ends an emulated Wine process now and then while it starts another
# one, about every second start of the launcher and on some machines four
# starts in five; a run it ends is run again.
EMULATOR_ATTEMPTS = 16

STARTED = time.monotonic()
# Every program here runs emulated, the driver too: an answer that takes
# milliseconds natively can take many seconds (starting a program, above all).
uidriver.ANSWER_MARGIN = 180.0


def say(text):
    print("[%5.0f s] %s" % (time.monotonic() - STARTED, text), flush=True)


class SmokeFailed(Exception):
    pass


def check(condition, text):
    if not condition:
        raise SmokeFailed(text)


def unless_emulator_crashed(driver, what, run):
    """Runs `run`; when it fails because the emulator ended a process (qemu
    reports "uncaught target signal" on the programs' standard error, which
    the UI driver's is; no exception reaches Wine, and the x64 build under
    Wine never does this), says so and runs it again, up to
    EMULATOR_ATTEMPTS times in all. Any other failure stands at once."""
    for attempt in range(1, EMULATOR_ATTEMPTS + 1):
        crashes = driver.stderr_text().count(EMULATOR_CRASH)
        try:
            return run()
        except SmokeFailed as failure:
            if driver.stderr_text().count(EMULATOR_CRASH) == crashes:
                for line in driver.stderr_text().splitlines()[-200:]:
                    if "qemu" in line or "signal" in line:
                        say("standard error: %s" % line)
                raise
            if attempt == EMULATOR_ATTEMPTS:
                raise SmokeFailed("the emulator ended a process in each of %d attempts of %s (%s)"
                                  % (attempt, what, failure))
            say("the emulator ended a process during %s (%s; %s); attempt %d of %d next"
                % (what, EMULATOR_CRASH, failure, attempt + 1, EMULATOR_ATTEMPTS))


def pe_machine(path):
    """The machine field of a PE file's header."""
    data = pathlib.Path(path).read_bytes()[:4096]
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    check(data[offset:offset + 4] == b"PE\0\0", "%s is not a PE file" % path)
    return struct.unpack_from("<H", data, offset + 4)[0]


def windows_path(path):
    """A Unix path as Wine programs see it (drive Z: is the Unix root)."""
    return "Z:" + str(pathlib.Path(path).absolute()).replace("/", "\\")


def unix_path(prefix, path):
    """A C:\\ path of the prefix as a Unix path (case as found on disk)."""
    match = re.match(r"^[Cc]:\\(.*)$", path)
    check(match, "not a path on drive C: %r" % path)
    current = prefix / "drive_c"
    for part in [p for p in match.group(1).split("\\") if p]:
        candidate = current / part
        if not candidate.exists() and current.is_dir():
            folded = [entry for entry in current.iterdir() if entry.name.lower() == part.lower()]
            candidate = folded[0] if folded else candidate
        current = candidate
    return current


def record_blocks(record):
    try:
        return parse_launcher_record(record.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return []


def wait_for(what, predicate, timeout, poll=0.5):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        check(time.monotonic() < deadline, "%s: not within %.0f s" % (what, timeout))
        time.sleep(poll)


def screenshot(shots, name):
    if shots is not None:
        try:
            uidriver.screenshot(shots / name)
        except Exception as error:  # evidence only
            say("no screenshot %s: %s" % (name, error))


def wait_box(driver, pid, timeout, owner=None, exclude=()):
    """The installer's next message box (owned by `owner`, when given); fails
    at once, with its exit code, when the installer ends instead."""
    def found():
        boxes = [b for b in driver.message_boxes(pid)
                 if b.hwnd not in exclude and (owner is None or b.owner == owner)]
        if boxes:
            return boxes[0]
        if pid not in [p.pid for p in driver.processes()]:
            others = sorted({p.exe for p in driver.processes()})
            raise SmokeFailed("the installer ended with exit code 0x%x instead (processes now: %s)"
                              % (driver.wait_exit(pid, timeout=5) & 0xFFFFFFFF, ", ".join(others)))
        return None
    return wait_for("a message box", found, timeout)


def fail_once(driver, mirror, pid, prompt, what, fault, timeout):
    """One attempt that fails through `fault` on the library's answer: the
    worker's "Error2:" box, then the download failure message, then the
    prompt usable again; then Cancel and Yes end the installer with 1602."""
    mirror.set_fault("primary", PRIMARY_PATHS[0][1], times=1, **fault)
    driver.click(prompt.hwnd, IDOK)
    say("clicked OK; the mirror gives %s" % what)
    box = wait_box(driver, pid, timeout)
    check(box.title == TITLE and box.text.startswith("Error2:"), "expected the worker's Error2 box, seen %r"
          % ((box.title, box.text),))
    say("the worker's box says %r" % box.text)
    driver.answer(box, IDOK)
    failed = wait_box(driver, pid, timeout, owner=prompt.hwnd, exclude=[box.hwnd])
    check(failed.text == DOWNLOAD_FAILED, "expected the download failure message, seen %r" % failed.text)
    driver.answer(failed, IDOK)

    def usable():
        controls = {c.id: c for c in driver.controls(prompt.hwnd).controls}
        buttons = [controls.get(IDOK), controls.get(IDCANCEL)]
        return driver.window(prompt.hwnd).enabled and all(b is not None and b.enabled for b in buttons)
    wait_for("the prompt in its first state", usable, timeout)
    check(not driver.message_boxes(pid), "a further box: %r" % [b.text for b in driver.message_boxes(pid)])
    say("the download failure was reported and the prompt is back")
    driver.click(prompt.hwnd, IDCANCEL)
    question = wait_box(driver, pid, timeout, owner=prompt.hwnd)
    driver.answer(question, IDYES)
    exit_code = driver.wait_exit(pid, timeout=min(timeout, 120))
    check(exit_code == EXIT_USER_CANCELLED, "the cancelled installer ended with exit code %d" % exit_code)
    say("cancelled; the installer ended with exit code %d" % exit_code)


def run(build, wine, timeout, shots):
    installer = build / "ZelvraInstaller.exe"
    driver_exe = build / "tools" / "uidriver" / "uidriver.exe"
    stubs = build / "mirror-stubs"
    for path in [installer, driver_exe] + [stubs / name for name, _ in PRIMARY_PATHS]:
        check(path.is_file(), "not built: %s" % path)
    check(pe_machine(installer) == IMAGE_FILE_MACHINE_I386,
          "%s is not a 32-bit x86 program (machine 0x%x)" % (installer, pe_machine(installer)))
    prefix = pathlib.Path(os.environ["WINEPREFIX"])
    # A download folder left by an earlier run must not count.
    for old in prefix.glob("drive_c/users/*/[Tt]emp/ZelvraManager"):
        shutil.rmtree(old, ignore_errors=True)

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-x86-smoke-"))
    record = scratch / "launcher-record.txt"
    write_stub_settings(prefix, record=windows_path(record), hold_ms=5000)
    try:
        with Mirror.start_standard(str(stubs), ports=ports_of_build(build)) as mirror:
            say("update mirror on ports %s" % ", ".join(str(mirror.port(h)) for h in ("primary", "secondary", "dev")))
            say("starting the UI driver %s" % driver_exe)
            with uidriver.Driver(driver_exe, language="en", wine=wine, start_timeout=timeout) as driver:
                say("UI driver running (Wine %s, took %.0f s)" % (driver.info.wine, driver.start_seconds))
                def start():
                    pid = driver.launch(windows_path(installer), cwd=windows_path(scratch))
                    prompt = driver.wait_window(pid, title=TITLE, cls="#32770", owner=0, timeout=timeout)
                    say("the install prompt is up")
                    return pid, prompt
                for what, fault in FAILED_ATTEMPTS:
                    pid, prompt = start()
                    fail_once(driver, mirror, pid, prompt, what, fault, timeout)
                def whole_run():
                    """The whole run; returns the launcher's record blocks, its
                    start and the mirror's requests."""
                    record.unlink(missing_ok=True)
                    mirror.reset_log()
                    pid, prompt = start()
                    screenshot(shots, "x86-1-prompt.png")
                    driver.click(prompt.hwnd, IDOK)
                    say("clicked OK")

                    def finished():
                        boxes = driver.message_boxes(pid)
                        check(not boxes, "a message box appeared: %r" % [box.text for box in boxes])
                        try:
                            return driver.control(prompt.hwnd, ID_DONE).visible
                        except uidriver.CommandFailed as error:
                            # The prompt's controls read while the installer
                            # ends look like this; else the next poll reads again.
                            check(pid in [p.pid for p in driver.processes()], "the installer has ended: %s" % error)
                            say("the prompt's controls could not be read, reading again: %s" % error)
                            return None
                    wait_for("the prompt's \"Download complete.\"", finished, timeout)
                    done_text = driver.control(prompt.hwnd, ID_DONE).text
                    check(done_text == "Download complete.", "completion text %r" % done_text)
                    say("the prompt says %r" % done_text)
                    screenshot(shots, "x86-2-finished.png")
                    driver.click(prompt.hwnd, ID_CLOSE)
                    exit_code = driver.wait_exit(pid, timeout=min(timeout, 120))
                    check(exit_code == 0, "the installer ended with exit code %d" % exit_code)
                    say("closed; the installer ended with exit code 0")

                    # The launcher stand-in starts slowly under emulation, after the
                    # installer's six seconds of probing may have run out.
                    def launcher_done():
                        blocks = record_blocks(record)
                        return blocks if any(b.get("event") == "mutex" for b in blocks) else None
                    blocks = wait_for("the launcher's start and mutex in %s" % record, launcher_done, timeout)
                    starts = [b for b in blocks if b.get("event") == "start"]
                    check(len(starts) == 1, "expected one launcher start, seen %d" % len(starts))
                    launched = starts[0]
                    for block in starts:
                        try:
                            driver.kill(int(block["pid"]), tree=False)
                        except (uidriver.CommandFailed, ValueError):
                            pass  # already gone
                    return blocks, launched, [(r["host"], r["path"], r["status"], r["headers"]) for r in mirror.requests()]
                blocks, start, requests = unless_emulator_crashed(driver, "the whole run", whole_run)
                unless_emulator_crashed(driver, "the @silent run",
                                        lambda: silent_run(driver, installer, prefix, record, scratch, timeout))
        seen = [(host, path, status) for host, path, status, _ in requests]
        check(seen == [("primary", path, 200) for _, path in PRIMARY_PATHS], "mirror requests: %r" % seen)
        agents = {value for _, _, _, headers in requests for key, value in headers if key.lower() == "user-agent"}
        check(agents == {TITLE}, "user agents %r" % agents)
        say("the mirror served the three files from the primary host")

        check(start.get("arguments") == LAUNCHER_PARAMETERS, "launcher arguments %r" % start.get("arguments"))
        check(start.get("show_window") == "0", "launcher show_window %r (expected 0, hidden)" % start.get("show_window"))
        [mutex] = [b for b in blocks if b.get("event") == "mutex"]
        check(mutex.get("mutex_name") == LAUNCHER_MUTEX and mutex.get("created") == "1", "mutex block %r" % mutex)
        say("the launcher was started hidden with %s and created %s" % (LAUNCHER_PARAMETERS, LAUNCHER_MUTEX))

        folder = unix_path(prefix, start["exe"]).parent
        check(folder.name.lower() == "zelvramanager", "the launcher ran from %s" % start["exe"])
        for name, _ in PRIMARY_PATHS:
            path = folder / name
            check(path.is_file(), "missing %s" % path)
            check(path.read_bytes() == (stubs / name).read_bytes(), "%s differs from the served file" % path)
        say("the three files in %s are the served ones" % folder)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def silent_run(driver, installer, prefix, record, scratch, timeout):
    """One "@silent" run, as a deployment tool starts it: no window of it is
    ever visible, it ends by itself with 0 once the launcher is started, and
    its log says so."""
    for old in prefix.glob("drive_c/users/*/[Tt]emp/ZelvraManager"):
        shutil.rmtree(old, ignore_errors=True)
    record.unlink(missing_ok=True)
    pid = driver.launch(windows_path(installer), "@silent", cwd=windows_path(scratch))
    say("started with @silent")
    deadline = time.monotonic() + timeout
    while driver.attach(pid).running:
        visible = driver.windows(pid, visible_only=True)
        check(not visible, "a window of the silent run was visible: %r" % [w.title for w in visible])
        check(time.monotonic() < deadline, "the silent run did not end within %.0f s" % timeout)
        time.sleep(0.5)
    exit_code = driver.wait_exit(pid, timeout=10)
    check(exit_code == 0, "the silent run ended with exit code %d" % exit_code)
    logs = list(prefix.glob("drive_c/users/*/[Tt]emp/ZelvraInstaller.log"))
    check(len(logs) == 1, "the silent run's log: %r" % logs)
    lines = logs[0].read_text(encoding="utf-8").splitlines()
    check(lines and lines[-1].endswith(" exit code 0"), "the log ends with %r" % lines[-1:])
    # The launcher stand-in starts slowly under emulation.
    def launcher_started():
        return [b for b in record_blocks(record) if b.get("event") == "start"] or None
    starts = wait_for("the silent run's launcher start in %s" % record, launcher_started, timeout)
    check(len(starts) == 1 and starts[0].get("arguments") == SILENT_PARAMETERS,
          "the silent run's launcher starts: %r" % [b.get("arguments") for b in starts])
    for block in starts:
        try:
            driver.kill(int(block["pid"]), tree=False)
        except (uidriver.CommandFailed, ValueError):
            pass  # already gone
    say("the silent run showed no window, started the launcher with %s and ended with 0" % SILENT_PARAMETERS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--wine", default=uidriver.WINE, help="Wine loader (default %(default)s)")
    parser.add_argument("--timeout", type=float, default=300.0, help="limit of each wait, in seconds")
    parser.add_argument("--shots", type=pathlib.Path, help="folder for screenshots of the prompt")
    parser.add_argument("--own-process-group", action="store_true",
                        help="lead a process group of its own, so that the caller can end the run and every "
                             "program it started with one signal to the group")
    options = parser.parse_args()
    if options.own_process_group:
        os.setpgid(0, 0)
    if options.shots is not None:
        options.shots.mkdir(parents=True, exist_ok=True)
    try:
        run(options.build.resolve(), options.wine, options.timeout, options.shots)
    except (SmokeFailed, MirrorError, uidriver.DriverError, OSError) as error:
        say("FAILED: %s" % error)
        return 1
    say("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
