#!/usr/bin/env python3
"""Measures the installer under Wine as its user meets it and writes a report.

Sections (all by default; --only picks some):
  throughput  the download worker (bench_worker.exe) fetching 1, 16 and 64 MiB
              from a loopback mirror, beside curl; the worker's read loop with
              other piece sizes; the worker on the wineserver's CPU and on the
              other one
  link        the real installer's three downloads on a link the mirror limits
              to 100 Mbit/s, against bytes / bandwidth; also with the
              installer on the wineserver's CPU and on the other one
  responsive  message round trips to the progress dialog and the prompt while
              a 64 MiB file downloads
  cancel      the cancel timeline against a server that stalls mid-body
  startup     process start to the prompt visible, beside a minimal dialog
              (and beside an earlier build of the installer, with --before)
  sizes       executable sizes with and without the icon images, per section,
              and the biggest contributors read from each build's link map
              (ZelvraInstaller.map beside the executable)
  trust       the signature check of the three update files that a build
              pinning their signers makes before the launch (bench_worker.exe
              on the release-option tests' signed stand-ins)

Usage: bench.py BUILD --tools DIR [--x86-build DIR] [--before DIR [--before-x86 DIR]
                [--before-name TEXT]] [--report DIR] [--quick] [--only a,b,...]
BUILD is a configured and built x64 tree (ZelvraInstaller.exe, mirror-stubs,
tools/uidriver); DIR holds bench_worker.exe, bench_probe.exe and
bench_baseline.exe. --before names folders holding the ZelvraInstaller.exe
(and ZelvraInstaller.map) of an earlier build, x64 and x86, measured in the
same run for start-up and sizes. WINEPREFIX and DISPLAY come from the environment, with a
running wineserver (tools/wine-env.sh does all three). The placement runs pin
that wineserver to the first CPU for a while and put its CPU set back.
"""
import argparse
import datetime
import json
import os
import pathlib
import platform
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "tools" / "mirror"))
sys.path.insert(0, str(ROOT / "tools" / "uidriver"))
sys.path.insert(0, str(ROOT / "tools" / "stub_launcher"))
import benchlib  # noqa: E402
import report  # noqa: E402
import uidriver  # noqa: E402
from mirror_client import Mirror  # noqa: E402
from launcher_record import write_stub_settings  # noqa: E402

WINE = "/usr/lib/wine/wine64"
ENGLISH = uidriver.LANGUAGES["en"]
TITLE = "Zelvra(TM) Installer"
DOWNLOAD_TITLE = "Downloading Zelvra(TM) Auto Updater..."
BASELINE_TITLE = "Zelvra Bench Baseline"
IDOK, IDCANCEL, ID_CLOSE, ID_DONE, ID_PROGRESS = 1, 2, 1004, 1005, 1001
LINK_RATE = 12.5e6  # bytes/s: 100 Mbit/s
MIB = benchlib.MIB
UPDATE_PATHS = {  # where the installer fetches each file from the primary host
    "ZVUpdaterRes.dll": "/Zelvra-TTS-WUX/ZVUpdaterRes.dll",
    "ZVUpdater.exe": "/Zelvra/ZVUpdater.exe",
    "ZVCallUpdater.exe": "/Zelvra/ZVCallUpdater.exe",
}
SECTIONS = ("throughput", "link", "responsive", "cancel", "startup", "sizes", "trust")


def log(text):
    print("bench: %s" % text, flush=True)


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.update(ENGLISH)
    env.update(extra or {})
    return env


class WineTool:
    """A console program under Wine, spoken to by lines, with time limits."""

    def __init__(self, exe, *args, cpus=None):
        pin = ["taskset", "-c", cpus] if cpus else []
        self.process = subprocess.Popen([*pin, WINE, str(exe), *[str(a) for a in args]], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=wine_env(),
                                        text=True)
        self._lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in iter(self.process.stdout.readline, ""):
            self._lines.put(line.strip())
        self._lines.put(None)

    def send(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def line(self, timeout):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("%s gave no answer within %.0f s" % (self.process.args, timeout)) from None
        if line is None:
            raise RuntimeError("%s ended without an answer" % (self.process.args,))
        return line

    def json(self, timeout):
        return json.loads(self.line(timeout))

    def close(self, timeout=15):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()  # our own child
            self.process.wait()


# --- the machine -----------------------------------------------------------------

def cpu_seconds(pid):
    """User + system CPU seconds of a host process, or None."""
    try:
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wineserver_pid():
    """The wineserver of this WINEPREFIX (the one whose environment names it)."""
    wanted = ("WINEPREFIX=%s" % os.environ.get("WINEPREFIX", "")).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if not os.path.basename(os.readlink("/proc/%s/exe" % entry)).startswith("wineserver"):
                continue
            if wanted in open("/proc/%s/environ" % entry, "rb").read().split(b"\0"):
                return int(entry)
        except OSError:
            continue
    return None


def cpu_check():
    """Seconds for a fixed piece of interpreted work on one core: how fast
    the machine is right now (a shared or virtual machine varies from run to
    run)."""
    start = time.perf_counter()
    total = 0
    for number in range(2_000_000):
        total += number * number % 7
    return time.perf_counter() - start


def machine():
    cpu = "unknown"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory = 0
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal:"):
            memory = int(line.split()[1]) * 1024
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    curl = subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"], capture_output=True,
                            text=True).stdout.strip()
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": memory, "wine": wine, "curl": curl,
            "kernel": platform.release(), "python": platform.python_version(), "commit": commit,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "load_start": open("/proc/loadavg").read().split()[:3], "cpu_check_start": cpu_check()}


class LoadWatcher:
    """Reads the 1-minute load average every few seconds while the bench runs
    (other work on the machine changes every figure)."""

    def __init__(self, every=5.0):
        self.samples = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(every,), daemon=True)

    def _run(self, every):
        while True:
            self.samples.append(float(open("/proc/loadavg").read().split()[0]))
            if self._stop.wait(every):
                return

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def configured_ports(build):
    """The loopback ports the build's update hosts point at."""
    cache = (build / "CMakeCache.txt").read_text(errors="replace")
    ports = []
    for name in ("ZELVRA_PRIMARY_HOST", "ZELVRA_SECONDARY_HOST", "ZELVRA_DEV_HOST"):
        match = re.search(r"^%s:STRING=(.*)$" % name, cache, re.M)
        found = re.fullmatch(r"(?:127\.0\.0\.1|localhost):(\d+)", match.group(1).strip() if match else "")
        if not found:
            sys.exit("bench: %s of %s is not a loopback host:port" % (name, build))
        ports.append(int(found.group(1)))
    return ports


def busy_ports(ports):
    """The ports of `ports` on which something already listens on loopback."""
    busy = []
    for port in ports:
        probe = socket.socket()
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the mirror binds
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            busy.append(port)
        finally:
            probe.close()
    return busy


def wine_temp():
    """%TEMP% of the prefix: (Windows path, host path)."""
    out = subprocess.run([WINE, "cmd", "/c", "echo %TEMP%"], capture_output=True, text=True, env=wine_env(),
                         stdin=subprocess.DEVNULL, timeout=120).stdout.strip().splitlines()[-1].strip()
    unix = subprocess.run([WINE, "winepath", "-u", out], capture_output=True, text=True, env=wine_env(),
                          stdin=subprocess.DEVNULL, timeout=120).stdout.strip()
    return out, pathlib.Path(unix)


def padded(data, size):
    """A stand-in file grown to `size` bytes by data after its end; a program
    stays runnable (Windows ignores bytes after the last section)."""
    return data + os.urandom(max(0, size - len(data)))


# --- 1. throughput ---------------------------------------------------------------

def curl_fetch(url, target):
    """curl fetching url into target: its own transfer time and its CPU time."""
    start = time.monotonic()
    process = subprocess.Popen(["curl", "--noproxy", "*", "-s", "-S", "-o", str(target), "-w",
                                "%{time_total} %{size_download} %{http_code}", url],
                               stdout=subprocess.PIPE, text=True)
    output = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - start
    total, size, code = output.split()
    return {"ok": process.returncode == 0 and code == "200", "wall_s": float(total), "process_wall_s": wall,
            "bytes": int(size), "cpu_s": usage.ru_utime + usage.ru_stime}


def throughput(tools, work, quick):
    sizes = (1, 16, 64)
    repeats = {1: 3, 16: 3, 64: 2} if quick else {1: 7, 16: 5, 64: 5}
    piece_repeats = 1 if quick else 3
    root = work / "throughput-root"
    out = work / "throughput-out"
    out.mkdir(parents=True, exist_ok=True)
    runs = []
    server = wineserver_pid()
    with Mirror.start({"bench": (0, str(root))}) as mirror:
        for size in sizes:
            mirror.put_file("bench", "/data/%dm.bin" % size, os.urandom(size * MIB))
        mirror_pid = mirror._process.pid
        worker = WineTool(tools / "bench_worker.exe", windows_path(out))
        try:
            def worker_run(command, size, kind, piece=512):
                before = (cpu_seconds(server) if server else None, cpu_seconds(mirror_pid))
                worker.send(command)
                result = worker.json(timeout=600)
                after = (cpu_seconds(server) if server else None, cpu_seconds(mirror_pid))
                result.update(kind=kind, size_mib=size, piece=piece,
                              wineserver_cpu_s=after[0] - before[0] if server else None,
                              mirror_cpu_s=after[1] - before[1])
                if not result.get("ok") or result.get("bytes") != size * MIB:
                    raise RuntimeError("worker run failed: %r" % result)
                return result

            for _ in range(2):  # warm-up: WinInet loaded, connection set-up paths hot
                worker_run(mirror.url("bench", "/data/1m.bin"), 1, "warm-up")
                curl_fetch(mirror.url("bench", "/data/1m.bin"), out / "curl.bin")
            for rep in range(max(repeats.values())):
                for size in sizes:
                    if rep >= repeats[size]:
                        continue
                    url = mirror.url("bench", "/data/%dm.bin" % size)
                    runs.append(worker_run(url, size, "worker"))
                    result = curl_fetch(url, out / "curl.bin")
                    result.update(kind="curl", size_mib=size)
                    if not result["ok"] or result["bytes"] != size * MIB:
                        raise RuntimeError("curl failed: %r" % result)
                    runs.append(result)
                log("throughput: round %d done" % (rep + 1))
            url = mirror.url("bench", "/data/16m.bin")
            for _ in range(piece_repeats):
                for piece in (512, 4096, 65536):
                    runs.append(worker_run("raw %d %s" % (piece, url), 16, "raw", piece))
            log("throughput: piece sizes done")
        finally:
            worker.send("quit")
            worker.close()
        placements = placement_runs(tools, out, mirror, server, mirror_pid, piece_repeats) if server else []
    shutil.rmtree(out, ignore_errors=True)
    return {"runs": runs + placements, "wineserver_measured": server is not None}


def placement_runs(tools, out, mirror, server, mirror_pid, repeats):
    """The worker with the wineserver on the same CPU and on another one.
    Every 512-byte piece is a round trip to the wineserver, so where the two
    run decides the rate; unpinned, the system's scheduler picks either.
    The wineserver's own CPU set is put back afterwards."""
    if os.cpu_count() < 2:
        return []
    runs = []
    url = mirror.url("bench", "/data/16m.bin")
    with PinnedServer(server):
        for placement, cpus in (("same", "0"), ("other", "1")):
            worker = WineTool(tools / "bench_worker.exe", windows_path(out), cpus=cpus)
            try:
                worker.send(mirror.url("bench", "/data/1m.bin"))  # warm-up
                worker.json(timeout=600)
                for _ in range(repeats):
                    before = (cpu_seconds(server), cpu_seconds(mirror_pid))
                    worker.send(url)
                    result = worker.json(timeout=600)
                    after = (cpu_seconds(server), cpu_seconds(mirror_pid))
                    if not result.get("ok") or result.get("bytes") != 16 * MIB:
                        raise RuntimeError("worker run failed: %r" % result)
                    result.update(kind="placement", placement=placement, size_mib=16, piece=512,
                                  wineserver_cpu_s=after[0] - before[0], mirror_cpu_s=after[1] - before[1])
                    runs.append(result)
            finally:
                worker.send("quit")
                worker.close()
    log("throughput: placements done")
    return runs


# --- the real installer -----------------------------------------------------------

class Installer:
    """The installer, its mirror and the driver, for the sections that run
    the real program."""

    def __init__(self, build, tools, mirror, driver, temp, work):
        self.build, self.tools, self.mirror, self.driver, self.work = build, tools, mirror, driver, work
        self.temp_windows, self.temp_host = temp
        self.stubs = {name: (build / "mirror-stubs" / name).read_bytes() for name in UPDATE_PATHS}

    def serve(self, sizes, **faults):
        """Serves the three files at the given sizes (stand-ins padded) and
        sets the faults ({path or "*": fault})."""
        self.mirror.reset(files=True)
        for name, path in UPDATE_PATHS.items():
            size = sizes.get(name)
            if size:
                self.mirror.put_file("primary", path, padded(self.stubs[name], size))
        for path, fault in faults.items():
            self.mirror.set_fault("*" if path == "*" else "primary", path, **fault)

    def start(self):
        """Starts the installer with an empty download folder; returns
        (pid, prompt window)."""
        shutil.rmtree(self.temp_host / "ZelvraManager", ignore_errors=True)
        pid = self.driver.launch(windows_path(self.build / "ZelvraInstaller.exe"))
        prompt = self.driver.wait_window(pid, title=TITLE, cls="#32770", timeout=60)
        time.sleep(0.3)
        return pid, prompt

    def finish(self, pid, prompt, timeout=120):
        """Waits for "Download complete.", then Close; returns when it ended."""
        deadline = time.time() + timeout
        while not self.driver.control(prompt.hwnd, ID_DONE).visible:
            if time.time() > deadline:
                raise RuntimeError("the installer did not finish")
            time.sleep(0.05)
        done = time.time()
        self.driver.click(prompt.hwnd, ID_CLOSE)
        self.driver.wait_exit(pid, timeout=30)
        return done

    def file_entries(self):
        return {name: self.mirror.requests("primary", path) for name, path in UPDATE_PATHS.items()}


class PinnedServer:
    """Within the block the wineserver runs on the first CPU only; its CPU
    set is put back afterwards."""

    def __init__(self, server_pid):
        self.server_pid = server_pid

    def __enter__(self):
        self.saved = os.sched_getaffinity(self.server_pid)
        os.sched_setaffinity(self.server_pid, {0})
        return self

    def __exit__(self, *exc):
        os.sched_setaffinity(self.server_pid, self.saved)


def pinned_wine(work, cpu):
    """A wine64 wrapper that starts programs on one CPU. Wine gives a
    program's CPU set to the programs it starts in turn (Windows' affinity
    inheritance), so a UI driver started this way runs the installer, and
    the installer its worker thread, on that CPU."""
    wrapper = work / ("wine-cpu%d" % cpu)
    wrapper.write_text('#!/bin/sh\nexec taskset -c %d %s "$@"\n' % (cpu, WINE))
    wrapper.chmod(0o755)
    return str(wrapper)


def link_run(installer, quick):
    size = 16 * MIB
    sizes = {name: size for name in UPDATE_PATHS}
    installer.serve(sizes, **{"*": {"rate": LINK_RATE}})

    def one_run(label):
        pid, prompt = installer.start()
        installer.mirror.reset_log()
        click = time.time()
        installer.driver.click(prompt.hwnd, IDOK)
        dialog = installer.driver.wait_window(pid, title=DOWNLOAD_TITLE, timeout=30)
        installer.driver.wait_gone(dialog.hwnd, timeout=300)
        gone = time.time()
        done = installer.finish(pid, prompt)
        entries = installer.file_entries()
        flat = [e for es in entries.values() for e in es]
        if len(flat) != 3 or any(e["outcome"] != "complete" or e["body_bytes"] != size for e in flat):
            raise RuntimeError("link run: unexpected requests %r" % flat)
        first = min(e["time"] for e in flat)
        last = max(e["end_time"] for e in flat)
        per_file = {name: es[0]["end_time"] - es[0]["time"] for name, es in entries.items()}
        log("link: %s run: %.2f s for %d bytes" % (label, last - first, sum(e["body_bytes"] for e in flat)))
        return {"placement": label, "bytes": sum(e["body_bytes"] for e in flat), "transfer_s": last - first,
                "click_to_dialog_gone_s": gone - click, "click_to_done_s": done - click,
                "click_to_first_request_s": first - click, "per_file_s": per_file}

    runs = [one_run("unpinned") for _ in range(2 if quick else 3)]
    # The same with the installer on the wineserver's CPU and on the other
    # one: the worker's rate depends on it (see the throughput section).
    server = wineserver_pid()
    if server and os.cpu_count() >= 2:
        unpinned = installer.driver
        try:
            for label, cpu in (("same", 0), ("other", 1)):
                with PinnedServer(server), uidriver.Driver(
                        installer.build / "tools" / "uidriver" / "uidriver.exe", language="en",
                        wine=pinned_wine(installer.work, cpu)) as driver:
                    installer.driver = driver
                    runs += [one_run(label) for _ in range(1 if quick else 2)]
        finally:
            installer.driver = unpinned
    return {"rate": LINK_RATE, "file_size": size, "runs": runs}


def responsive_run(installer, quick):
    size = 64 * MIB
    installer.serve({"ZVUpdaterRes.dll": size})
    runs = []
    for index in range(2 if quick else 3):
        pid, prompt = installer.start()
        probe = WineTool(installer.tools / "bench_probe.exe", "rtt", "--pid", pid, "--prompt", prompt.hwnd,
                         "--dialog-title", DOWNLOAD_TITLE, "--interval-ms", 10, "--timeout-ms", 300000)
        try:
            if probe.line(60) != "ready":
                raise RuntimeError("probe not ready")
            installer.mirror.reset_log()
            click = time.time()
            installer.driver.click(prompt.hwnd, IDOK)
            result = probe.json(timeout=400)
        finally:
            probe.close()
        installer.finish(pid, prompt)
        entry = installer.mirror.requests("primary", UPDATE_PATHS["ZVUpdaterRes.dll"])[0]
        result["click_to_dialog_s"] = result["found_epoch"] - click
        result["large_file_s"] = entry["end_time"] - entry["time"]
        # The large file's stretch of the series: while its body was sent.
        result["large_file_window"] = [entry["time"] - result["found_epoch"],
                                       entry["end_time"] - result["found_epoch"]]
        runs.append(result)
        log("responsive: run %d: %d ticks over %.1f s" % (index + 1, result["ticks"], result["duration_s"]))
    return {"file_size": size, "runs": runs}


def cancel_run(installer, quick):
    size = 16 * MIB
    stall_after = 4 * MIB
    path = UPDATE_PATHS["ZVUpdaterRes.dll"]
    installer.serve({"ZVUpdaterRes.dll": size}, **{path: {"stall_after": stall_after, "stall_seconds": None}})
    local = installer.temp_windows + "\\ZelvraManager\\ZVUpdaterRes.dll"
    runs = []
    for index in range(2 if quick else 3):
        pid, prompt = installer.start()
        installer.mirror.reset_log()
        installer.driver.click(prompt.hwnd, IDOK)
        dialog = installer.driver.wait_window(pid, title=DOWNLOAD_TITLE, timeout=30)
        # Stalled: the mirror has sent everything up to the stall and the bar
        # has stood still for a while, so the worker waits in its read.
        installer.mirror.wait_requests(1, "primary", path, timeout=30, finished=False)
        deadline = time.time() + 60
        last, since = None, time.time()
        while True:
            entry = installer.mirror.requests("primary", path)[0]
            position = installer.driver.progress(dialog.hwnd, ID_PROGRESS).pos
            if position != last:
                last, since = position, time.time()
            if entry["body_bytes"] >= stall_after and time.time() - since > 0.8:
                break
            if time.time() > deadline:
                raise RuntimeError("the download never stalled: %r" % entry)
            time.sleep(0.1)
        probe = WineTool(installer.tools / "bench_probe.exe", "cancel", "--pid", pid, "--dialog", dialog.hwnd,
                         "--prompt", prompt.hwnd, "--file", local, "--timeout-ms", 45000)
        try:
            if probe.line(60) != "ready":
                raise RuntimeError("probe not ready")
            probe.send("go")
            result = probe.json(timeout=90)
        finally:
            probe.close()
        try:
            entry = installer.mirror.wait_requests(1, "primary", path, timeout=20)[0]
        except TimeoutError:
            entry = installer.mirror.requests("primary", path)[0]
        result["mirror_outcome"] = entry["outcome"]
        result["mirror_closed_s"] = entry["end_time"] - result["click_epoch"] if entry["end_time"] else None
        result["bytes_before_stall"] = entry["body_bytes"]
        result["progress_at_click"] = last
        threads = [t for t in result["threads"] if t["cpu_s"] is not None]
        worker = max(threads, key=lambda t: t["cpu_s"]) if threads else None
        result["worker_thread"] = worker
        result["worker_ended_s"] = worker["ended_s"] if worker and worker["ended_s"] >= 0 else None
        installer.driver.kill(pid)
        runs.append(result)
        log("cancel: run %d: hidden %.3f s, destroyed %.3f s, file free %.3f s, worker ended %s, mirror %s"
            % (index + 1, result["hidden_s"], result["destroyed_s"], result["file_free_s"],
               "%.1f s" % result["worker_ended_s"] if result["worker_ended_s"] is not None else "not seen",
               entry["outcome"]))
    return {"file_size": size, "stall_after": stall_after, "runs": runs}


def real_installer_sections(build, tools, work, selected, quick, results):
    temp = wine_temp()
    # The launcher stand-in ends half a second after its mutex.
    write_stub_settings(os.environ["WINEPREFIX"], hold_ms=500)
    with Mirror.start_standard(str(build / "mirror-stubs"), ports=configured_ports(build)) as mirror, \
            uidriver.Driver(build / "tools" / "uidriver" / "uidriver.exe", language="en") as driver:
        installer = Installer(build, tools, mirror, driver, temp, work)
        try:
            if "link" in selected:
                log("link: the three files at 16 MiB each over 100 Mbit/s")
                results["link"] = link_run(installer, quick)
            if "responsive" in selected:
                log("responsive: round trips while 64 MiB download")
                results["responsive"] = responsive_run(installer, quick)
            if "cancel" in selected:
                log("cancel: against a stall in the middle of the body (about 35 s a run)")
                results["cancel"] = cancel_run(installer, quick)
        finally:
            driver.kill_launched()


# --- start-up ----------------------------------------------------------------------

def startup(build, tools, quick, before=None):
    """The installer, the baseline (and the earlier installer) started in
    turn, so that all meet the same load; the first round is a warm-up.
    Fifteen rounds: on a shared machine single starts vary by a factor of two."""
    rounds = 5 if quick else 15
    programs = {"installer": (build / "ZelvraInstaller.exe", TITLE),
                "baseline": (tools / "bench_baseline.exe", BASELINE_TITLE)}
    if before:
        programs["before"] = (before / "ZelvraInstaller.exe", TITLE)
    if (tools / "bench_baseline_icon.exe").exists():
        programs["baseline_icon"] = (tools / "bench_baseline_icon.exe", BASELINE_TITLE)
    result = {"in_wine": {name: [] for name in programs}, "from_shell": {name: [] for name in programs}}
    for round_index in range(rounds):
        for name, (exe, title) in programs.items():
            probe = WineTool(tools / "bench_probe.exe", "startup", "--exe", windows_path(exe), "--title", title,
                             "--runs", 1, "--pause-ms", 0)
            try:
                line = probe.json(timeout=120)
            finally:
                probe.close()
            if not line["ok"]:
                raise RuntimeError("start-up of %s failed: %r" % (name, line))
            if round_index:
                result["in_wine"][name].append(line)
            time.sleep(0.3)
    for round_index in range(rounds - 1):
        for name, (exe, title) in programs.items():
            probe = WineTool(tools / "bench_probe.exe", "waitwin", "--title", title, "--timeout-ms", 60000,
                             "--terminate")
            try:
                if probe.line(60) != "ready":
                    raise RuntimeError("probe not ready")
                time.sleep(0.2)
                start = time.time()
                program = subprocess.Popen([WINE, str(exe)], env=wine_env(), stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                seen = probe.json(timeout=90)
                program.wait(timeout=30)
            finally:
                probe.close()
            if round_index:
                result["from_shell"][name].append(seen["epoch"] - start)
            time.sleep(0.3)
    log("startup: done")
    return result


# --- sizes ---------------------------------------------------------------------------

def sizes(build, tools, x86_build, x86_tools, before=None, before_x86=None):
    files = [("ZelvraInstaller.exe", "x64", build / "ZelvraInstaller.exe", None),
             ("bench_baseline.exe", "x64", tools / "bench_baseline.exe", None)]
    if x86_build:
        files.insert(1, ("ZelvraInstaller.exe", "x86", x86_build / "ZelvraInstaller.exe", None))
    if before_x86:
        files.insert(0, ("ZelvraInstaller.exe", "x86", before_x86 / "ZelvraInstaller.exe", "before"))
    if before:
        files.insert(0, ("ZelvraInstaller.exe", "x64", before / "ZelvraInstaller.exe", "before"))
    if x86_tools:
        files.append(("bench_baseline.exe", "x86", x86_tools / "bench_baseline.exe", None))
    out = []
    for name, arch, path, build_label in files:
        if not path.exists():
            continue
        info = benchlib.pe_info(path.read_bytes())
        icons = benchlib.icon_bytes(info)
        rsrc = sum(s["raw_size"] for s in info["sections"] if s["name"] == ".rsrc")
        item = {"name": name, "arch": arch, "machine": info["machine"], "path": str(path),
                "size": info["size"], "icon_bytes": icons, "icon_images": len(info["resources"].get(
                    benchlib.RT_ICON, [])), "icon_image_sizes": sorted(info["resources"].get(benchlib.RT_ICON, []),
                                                                      reverse=True),
                "rsrc_bytes": rsrc, "size_without_icons": info["size"] - icons,
                "sections": {s["name"]: s["raw_size"] for s in info["sections"]}}
        if build_label:
            item["build"] = build_label
        link_map = path.with_suffix(".map")
        if link_map.exists():
            item["contributions"] = benchlib.link_map_contributions(link_map.read_text(errors="replace"))
        out.append(item)
    return out


# --- trust ---------------------------------------------------------------------------

def trust(build, tools, quick):
    """The signature check of the three signed stand-ins (it passes) and of
    the unsigned ones (it fails at the first step), timed over many rounds."""
    # The stand-ins signed in the build of bench_worker.exe, whose key it pins.
    tools_build = tools.parent.parent
    options = json.loads((tools_build / "tests" / "e2e" / "release_options" / "release-options.json").read_text())
    rounds = 5 if quick else 30
    worker = WineTool(tools / "bench_worker.exe", windows_path(tempfile.gettempdir()))
    out = {"rounds": rounds}
    try:
        for kind in ("signed-a", "unsigned"):
            folder = pathlib.Path(options["signing"]) / kind
            worker.send("verify %d %s" % (rounds, "|".join(windows_path(folder / name) for name in UPDATE_PATHS)))
            out[kind] = worker.json(timeout=300)
    finally:
        worker.send("quit")
        worker.close()
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--tools", type=pathlib.Path, required=True)
    parser.add_argument("--x86-build", type=pathlib.Path)
    parser.add_argument("--before", type=pathlib.Path, help="folder of an earlier x64 ZelvraInstaller.exe")
    parser.add_argument("--before-x86", type=pathlib.Path, help="folder of an earlier x86 ZelvraInstaller.exe")
    parser.add_argument("--before-name", help="what the earlier build is (e.g. its commit)")
    parser.add_argument("--x86-tools", type=pathlib.Path)
    parser.add_argument("--report", type=pathlib.Path)
    parser.add_argument("--quick", action="store_true", help="fewer runs (for trying the bench itself)")
    parser.add_argument("--only", help="comma-separated sections: " + ", ".join(SECTIONS))
    options = parser.parse_args()
    build = options.build.resolve()
    tools = options.tools.resolve()
    report_dir = (options.report or build.parent / "bench-report").resolve()
    selected = set(options.only.split(",")) if options.only else set(SECTIONS)
    unknown = selected - set(SECTIONS)
    if unknown:
        parser.error("unknown sections: %s" % ", ".join(sorted(unknown)))
    for needed in (build / "ZelvraInstaller.exe", tools / "bench_worker.exe", tools / "bench_probe.exe",
                   tools / "bench_baseline.exe", build / "tools" / "uidriver" / "uidriver.exe"):
        if not needed.exists():
            sys.exit("bench: %s is missing; build it first" % needed)

    if selected & {"link", "responsive", "cancel"}:
        busy = busy_ports(configured_ports(build))
        if busy:
            sys.exit("bench: port(s) %s are in use (a test or demo running with this build?); the mirror needs "
                     "them for the installer's update hosts" % ", ".join(map(str, busy)))
    started = time.monotonic()
    results = {"machine": machine(), "quick": options.quick, "build": str(build)}
    if options.before or options.before_x86:
        results["before"] = options.before_name or "an earlier build"
    work = pathlib.Path(tempfile.mkdtemp(prefix="zelvra-bench-"))
    failed = results["failed"] = {}

    def measure(names, what, run):
        """Runs one part of the bench; a part that fails is named in the
        report with its error, and the others still run and report."""
        if not selected & set(names):
            return
        if what:
            log(what)
        try:
            run()
        except Exception as error:  # noqa: BLE001 (any failure of a part is reported, not fatal)
            for name in sorted(selected & set(names)):
                if name not in results:
                    failed[name] = "%s: %s" % (type(error).__name__, error)
            log("%s: FAILED: %s" % ("/".join(sorted(selected & set(names))), error))
            traceback.print_exc()

    def set_result(name, value):
        results[name] = value

    try:
        with LoadWatcher() as watcher:
            measure(["throughput"], "throughput: worker and curl, 1/16/64 MiB",
                    lambda: set_result("throughput", throughput(tools, work, options.quick)))
            measure(["link", "responsive", "cancel"], None,
                    lambda: real_installer_sections(build, tools, work, selected, options.quick, results))
            measure(["startup"], "startup: installer and baseline",
                    lambda: set_result("startup", startup(build, tools, options.quick,
                                                          options.before and options.before.resolve())))
            measure(["trust"], "trust: the signature check of the three files",
                    lambda: set_result("trust", trust(build, tools, options.quick)))
            measure(["sizes"], None,
                    lambda: set_result("sizes", sizes(build, tools, options.x86_build and options.x86_build.resolve(),
                                                      options.x86_tools and options.x86_tools.resolve(),
                                                      options.before and options.before.resolve(),
                                                      options.before_x86 and options.before_x86.resolve())))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    results["machine"]["load_max"] = max(watcher.samples)
    results["machine"]["load_end"] = open("/proc/loadavg").read().split()[:3]
    results["machine"]["cpu_check_end"] = cpu_check()
    results["seconds"] = time.monotonic() - started
    report_dir.mkdir(parents=True, exist_ok=True)
    (report_dir / "results.json").write_text(json.dumps(results, indent=1))
    report.write(results, report_dir)
    log("report written to %s (%.0f s)" % (report_dir / "README.md", results["seconds"]))
    if failed:
        sys.exit("bench: failed: %s (the report holds the other sections)" % ", ".join(sorted(failed)))


if __name__ == "__main__":
    main()
