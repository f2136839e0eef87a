#!/usr/bin/env python3
"""Runs the installer under Wine against the local update mirror.

With a display the installer is the user's to click. Headless (--headless,
under the Xvfb that tools/demo.sh starts) it walks through OK and Close by
itself through the UI driver and saves a screenshot of each screen: the
prompt, the download progress and the finished prompt.

Usage: demo.py BUILD_DIR [--headless] [--shots DIR] [--language en|ko]
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools" / "mirror"))
sys.path.insert(0, str(ROOT / "tools" / "uidriver"))
sys.path.insert(0, str(ROOT / "tools" / "stub_launcher"))
from mirror_client import Mirror, MirrorError, ports_of_build  # noqa: E402
import uidriver  # noqa: E402
from launcher_record import parse_launcher_record  # noqa: E402

WINE = "/usr/lib/wine/wine64"
TITLE = "Zelvra(TM) Installer"
RATE = 24000  # bytes/s: slow enough to watch the bar sweep once per file


def wine_temp():
    out = subprocess.run([WINE, "cmd", "/c", "echo %TEMP%"], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL, timeout=120).stdout.strip().splitlines()[-1].strip()
    unix = subprocess.run([WINE, "winepath", "-u", out], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120).stdout.strip()
    return pathlib.Path(unix)


def show_result(folder):
    print("demo: downloaded into %s:" % folder)
    for name in ("ZVUpdaterRes.dll", "ZVUpdater.exe", "ZVCallUpdater.exe"):
        path = folder / name
        print("  %-18s %s" % (name, "%d bytes" % path.stat().st_size if path.exists() else "missing"))
    record = folder / "launcher-record.txt"
    if record.exists():
        blocks = parse_launcher_record(record.read_text(encoding="utf-8"))
        start = next((b for b in blocks if b.get("event") == "start"), {})
        mutex = next((b for b in blocks if b.get("event") == "mutex"), {})
        print("demo: the launcher was started with: %s" % start.get("arguments", "?"))
        print("demo: it created the mutex Zelvra_CallUpdater: %s" % (mutex.get("created") == "1"))
    else:
        print("demo: the launcher was not started")


def walk_through(build, shots, language):
    """Clicks through a whole run, saving a screenshot of each screen."""
    shots.mkdir(parents=True, exist_ok=True)
    with uidriver.Driver(build / "tools" / "uidriver" / "uidriver.exe", language=language) as driver:
        pid = driver.launch("Z:" + str(build / "ZelvraInstaller.exe").replace("/", "\\"))
        prompt = driver.wait_window(pid, title=TITLE, cls="#32770", timeout=30)
        time.sleep(0.5)
        uidriver.screenshot(shots / "1-prompt.png")
        driver.click(prompt.hwnd, 1)
        driver.wait_window(pid, title_contains="Zelvra(TM) Auto Updater", timeout=30)
        time.sleep(1.0)
        uidriver.screenshot(shots / "2-progress.png")
        deadline = time.time() + 60
        while not driver.control(prompt.hwnd, 1005).visible:
            if time.time() > deadline:
                raise SystemExit("demo: the installer did not finish within a minute")
            time.sleep(0.2)
        time.sleep(0.5)
        uidriver.screenshot(shots / "3-finished.png")
        driver.click(prompt.hwnd, 1004)
        code = driver.wait_exit(pid, timeout=30)
    print("demo: the installer ended with exit code %d" % code)
    print("demo: screenshots of each screen are in %s" % shots)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--shots", type=pathlib.Path)
    parser.add_argument("--language", choices=("en", "ko"), default="en")
    options = parser.parse_args()
    build = options.build.resolve()

    folder = wine_temp() / "ZelvraManager"
    shutil.rmtree(folder, ignore_errors=True)
    try:
        ports = ports_of_build(build)
    except MirrorError as error:
        sys.exit("demo: %s; reconfigure with the default hosts" % error)
    with Mirror.start_standard(build / "mirror-stubs", ports=ports) as mirror:
        for host in ("primary", "secondary", "dev"):
            mirror.set_fault(host, "*", rate=RATE)
        print("demo: update mirror on ports %s" % ", ".join(str(mirror.port(h)) for h in ("primary", "secondary", "dev")))
        if options.headless:
            walk_through(build, options.shots or build / "demo-screens", options.language)
        else:
            print("demo: starting the installer; click OK, then Close")
            subprocess.run([WINE, str(build / "ZelvraInstaller.exe")], stdin=subprocess.DEVNULL)
        served = mirror.requests()
        print("demo: the mirror answered %d requests: %s" % (len(served), ", ".join(
            "%s %s" % (r["host"], r["path"]) for r in served)))
    show_result(folder)


if __name__ == "__main__":
    main()
