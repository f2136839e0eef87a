"""Turns the benchmark's results (bench.py) into a Markdown report with two
charts. `render(results)` gives the Markdown; `write(results, folder)` writes
README.md, the charts (SVG, and PNG when ImageMagick can convert them)."""

import pathlib
import subprocess

from benchlib import (MB, MIB, Summary, contributor_group, distribution, kib, longest_unchanged, mib,
                      svg_bar_chart)

ICON_NOTE = "icon images: the RT_ICON and RT_GROUP_ICON resource data read from the PE file"


def _rate(run):
    return run["bytes"] / run["wall_s"] / MB


def _per_mb(seconds, run):
    return seconds / (run["bytes"] / MB) if seconds is not None else None


def _thread_cpu(run):
    return run["thread_user_s"] + run["thread_kernel_s"]


def _ms(summary):
    return summary.format(1, 1000.0, "ms")


def throughput_figures(section):
    """Per size: Summaries of the worker's and curl's rates and CPU per MB."""
    figures = {}
    runs = section["runs"]
    for size in sorted({r["size_mib"] for r in runs if r["kind"] == "worker"}):
        worker = [r for r in runs if r["kind"] == "worker" and r["size_mib"] == size]
        curl = [r for r in runs if r["kind"] == "curl" and r["size_mib"] == size]
        pairs = list(zip(worker, curl))
        figures[size] = {
            "worker_rate": Summary([_rate(r) for r in worker]),
            "curl_rate": Summary([_rate(r) for r in curl]),
            # Each worker run against the curl run right after it: the ratio
            # of two runs under the same load.
            "ratio": Summary([_rate(c) / _rate(w) for w, c in pairs]),
            "worker_cpu": Summary([_per_mb(_thread_cpu(r), r) for r in worker]),
            "server_cpu": Summary([_per_mb(r.get("wineserver_cpu_s"), r) for r in worker]),
            "total_cpu": Summary([_per_mb(_thread_cpu(r) + (r.get("wineserver_cpu_s") or 0), r) for r in worker]),
            "curl_cpu": Summary([_per_mb(r["cpu_s"], r) for r in curl]),
            "mirror_cpu": Summary([_per_mb(r.get("mirror_cpu_s"), r) for r in worker]),
            "n": len(worker),
        }
    return figures


def piece_figures(section):
    """The read loop at each piece size on the 16 MiB file: the worker itself,
    then the same WinInet calls in a loop of the bench's own."""
    rows = []
    worker = [r for r in section["runs"] if r["kind"] == "worker" and r["size_mib"] == 16]
    if worker:
        rows.append(("installer's worker, 512 B", worker))
    for piece in sorted({r["piece"] for r in section["runs"] if r["kind"] == "raw"}):
        rows.append(("same calls, %s pieces" % ("%d KiB" % (piece // 1024) if piece >= 1024 else "%d B" % piece),
                     [r for r in section["runs"] if r["kind"] == "raw" and r["piece"] == piece]))
    for placement, label in (("same", "installer's worker, wineserver on its CPU"),
                             ("other", "installer's worker, wineserver on the other CPU")):
        runs = [r for r in section["runs"] if r["kind"] == "placement" and r["placement"] == placement]
        if runs:
            rows.append((label, runs))
    return [(label, Summary([_rate(r) for r in runs]), Summary([_per_mb(_thread_cpu(r), r) for r in runs]),
             Summary([_per_mb(r.get("wineserver_cpu_s"), r) for r in runs])) for label, runs in rows]


def responsive_figures(section):
    """Per target: Summaries over runs of each run's median, p99 and max
    round trip, counted while the large file downloaded."""
    targets = {"dialog": "progress dialog, sent WM_NULL", "prompt": "prompt, sent WM_NULL",
               "posted": "prompt, posted message"}
    figures = {}
    for key, label in targets.items():
        per_run, timeouts, counts = [], 0, []
        for run in section["runs"]:
            low, high = run["large_file_window"]
            series = run[key]
            samples = [abs(rtt) for at, rtt in zip(series["at"], series["rtt"]) if low <= at <= high]
            timeouts += sum(1 for at, rtt in zip(series["at"], series["rtt"]) if low <= at <= high and rtt < 0)
            stats = distribution(samples)
            if stats:
                per_run.append(stats)
                counts.append(stats["n"])
        figures[key] = {"label": label, "median": Summary([s["median"] for s in per_run]),
                        "p99": Summary([s["p99"] for s in per_run]), "max": Summary([s["max"] for s in per_run]),
                        "timeouts": timeouts, "samples": Summary(counts)}
    stills = []
    for run in section["runs"]:
        low, high = run["large_file_window"]
        at = [t for t in run["progress"]["at"] if low <= t <= high]
        pos = [p for t, p in zip(run["progress"]["at"], run["progress"]["pos"]) if low <= t <= high]
        stills.append(longest_unchanged(at, pos))
    figures["progress_still"] = Summary(stills)
    figures["large_file_s"] = Summary([r["large_file_s"] for r in section["runs"]])
    figures["peak_working_set"] = Summary([r["memory"]["peak_working_set"] for r in section["runs"]
                                           if r["memory"]["ok"]])
    return figures


def cancel_figures(section):
    runs = section["runs"]

    def after(key):
        return Summary([r[key] if r.get(key) is not None and r[key] >= 0 else None for r in runs])

    def longest(series_key, until_key):
        values = []
        for run in runs:
            series = run[series_key]
            end = run[until_key] if run[until_key] >= 0 else None
            inside = [abs(rtt) for at, rtt in zip(series["at"], series["rtt"]) if end is None or at <= end]
            values.append(max(inside) if inside else None)
        return Summary(values)

    return {
        "hidden": after("hidden_s"), "destroyed": after("destroyed_s"), "prompt_ready": after("prompt_ready_s"),
        "file_free": after("file_free_s"), "worker_ended": after("worker_ended_s"),
        "mirror_closed": after("mirror_closed_s"),
        "sent_max": longest("prompt_sent", "destroyed_s"), "posted_max": longest("prompt_posted", "destroyed_s"),
        "worker_missing": sum(1 for r in runs if r.get("worker_ended_s") is None),
        "outcomes": sorted({r["mirror_outcome"] for r in runs}),
        "file_free_before": any(r["file_free_before"] for r in runs),
    }


def startup_figures(section):
    """Per program (installer, baseline, and the earlier installer when
    measured): Summaries of its times and peak working set, and of its
    ratio to the baseline started right after it in the same round."""
    figures = {}
    names = [name for name in ("installer", "baseline", "before", "baseline_icon") if section["in_wine"].get(name)]

    def ratios(runs, shell, reference):
        visible = [r["visible_s"] for r in section["in_wine"].get(reference, [])]
        from_shell = section["from_shell"].get(reference, [])
        return (Summary([r["visible_s"] / b for r, b in zip(runs, visible) if b > 0]),
                Summary([t / b for t, b in zip(shell, from_shell) if b > 0]))

    for name in names:
        runs = section["in_wine"].get(name, [])
        shell = section["from_shell"].get(name, [])
        figures[name] = {
            "visible": Summary([r["visible_s"] for r in runs]),
            "idle": Summary([r["idle_s"] if r["idle_s"] >= 0 else None for r in runs]),
            "shell": Summary(shell),
            "working_set": Summary([r["memory"]["peak_working_set"] for r in runs if r["memory"]["ok"]]),
        }
        figures[name]["visible_ratio"], figures[name]["shell_ratio"] = ratios(runs, shell, "baseline")
        if "baseline_icon" in names:
            figures[name]["icon_visible_ratio"], figures[name]["icon_shell_ratio"] = ratios(runs, shell,
                                                                                            "baseline_icon")
    return figures


SIZE_SECTIONS = (".text", ".rdata", ".data", ".eh_frame", ".pdata", ".xdata", ".idata", ".CRT", ".tls")


def size_label(item):
    return "%s%s" % (item["machine"], ", %s" % item["build"] if item.get("build") else "")


def section_rows(items):
    """[(section name, [raw bytes per item or None])] over every section of
    the items, in the order the first item that has it lists them."""
    names = []
    for item in items:
        for name in item.get("sections", {}):
            if name not in names:
                names.append(name)
    return [(name, [item.get("sections", {}).get(name) for item in items]) for name in names]


def contributors(item, count=15):
    """The biggest contributors to the file's code and data (the sections of
    SIZE_SECTIONS in the link map): [(name, bytes)], and per library or
    object: [(group, bytes)]."""
    totals, groups = {}, {}
    for section, parts in item.get("contributions", {}).items():
        if section not in SIZE_SECTIONS:
            continue
        for name, size in parts.items():
            totals[name] = totals.get(name, 0) + size
            group = contributor_group(name)
            groups[group] = groups.get(group, 0) + size
    ordered = sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))
    return ordered[:count], sorted(groups.items(), key=lambda kv: (-kv[1], kv[0]))


def _few_ms(seconds):
    """Milliseconds, with a decimal below 10 ms."""
    return ("%.1f" if seconds < 0.01 else "%.0f") % (seconds * 1000)


def findings(results):
    """Plain statements of what the figures show, each from the medians."""
    out = []
    m = results["machine"]
    load = max([float(x[0]) for x in (m["load_start"], m.get("load_end", ["0"]))] + [m.get("load_max", 0)])
    if load > 0.75 * m["cores"]:
        out.append("The machine was busy with other work (load average up to %.1f on %d cores): rates are lower "
                   "and times longer and more spread than on an idle machine." % (load, m["cores"]))
    if "throughput" in results:
        figures = throughput_figures(results["throughput"])
        big = figures.get(max(figures)) if figures else None
        if big and big["worker_rate"].median:
            rate = big["worker_rate"].median
            text = ("Download rate: the worker reaches %.1f MB/s (%.0f Mbit/s) on loopback with a %d MiB file, "
                    "1/%.0f of curl's rate, and spends %.3f s of CPU per MB (its thread and the wineserver) against "
                    "curl's %.4f s." % (rate, rate * 8, max(figures), big["ratio"].median, big["total_cpu"].median,
                                        big["curl_cpu"].median))
            pieces = {label: rate_summary for label, rate_summary, _, _ in piece_figures(results["throughput"])}
            large = pieces.get("same calls, 64 KiB pieces")
            same = pieces.get("installer's worker, wineserver on its CPU")
            other = pieces.get("installer's worker, wineserver on the other CPU")
            if large and large.median and big["server_cpu"].median is not None:
                text += (" The cost is per piece: the wineserver alone spends about %.0f µs per 512-byte piece, "
                         "and the same WinInet calls reading 64 KiB at a time reach %.0f MB/s."
                         % (big["server_cpu"].median / (MB / 512) * 1e6, large.median))
            if same and other and same.median and other.median:
                text += (" Each piece is a round trip to the wineserver: with the worker on the wineserver's CPU "
                         "it reaches %.1f MB/s, on the other CPU %.1f MB/s; unpinned runs land on either, hence "
                         "their spread." % (same.median, other.median))
            out.append(text)
    if "link" in results:
        section = results["link"]

        def share(label):
            return Summary([r["bytes"] / section["rate"] / r["transfer_s"] for r in section["runs"]
                            if r.get("placement", "unpinned") == label])

        unpinned = share("unpinned")
        ideal = section["runs"][0]["bytes"] / section["rate"]
        if unpinned.median < 0.9:
            text = ("100 Mbit/s link: the three files took %.2f s against %.2f s of bytes ÷ bandwidth (%.0f %% of the "
                    "link): the worker, not the link, sets the pace." % (
                        Summary([r["transfer_s"] for r in section["runs"]
                                 if r.get("placement", "unpinned") == "unpinned"]).median, ideal,
                        unpinned.median * 100))
        else:
            text = ("100 Mbit/s link: the installer keeps up (%.0f %% of the link, %.0f %% in the worst run), with "
                    "little to spare: its own ceiling is about the link's rate." % (
                        unpinned.median * 100, unpinned.low * 100))
        same, other = share("same"), share("other")
        if same.count and other.count:
            text += (" With the installer on the wineserver's CPU it gets %.0f %% of the link, on the other CPU "
                     "%.0f %%." % (same.median * 100, other.median * 100))
        out.append(text)
    if "responsive" in results:
        figures = responsive_figures(results["responsive"])
        worst = max(figures[key]["max"].high or 0 for key in ("dialog", "prompt", "posted"))
        timeouts = sum(figures[key]["timeouts"] for key in ("dialog", "prompt", "posted"))
        if worst < 0.1 and not timeouts:
            out.append("Responsiveness: no freeze while the large file downloads; the slowest of all round trips, "
                       "sent or posted, took %.1f ms." % (worst * 1000))
        else:
            out.append("Responsiveness: the user-interface thread stalled while the large file downloaded: the "
                       "slowest round trip took %.0f ms, %d timed out." % (worst * 1000, timeouts))
    if "cancel" in results:
        f = cancel_figures(results["cancel"])
        text = ("Cancel: the progress dialog disappears %s ms after the click and the local file is released "
                "after %s ms." % (_few_ms(f["hidden"].median), _few_ms(f["file_free"].median)))
        if f["posted_max"].median and f["posted_max"].median > 0.2:
            text += (" The prompt then takes no input and no posted message for %.0f ms (sent messages are "
                     "answered): the dialog waits its full join time for a worker that does not end, and only "
                     "then closes and gives the prompt back (%.0f ms)." % (
                         f["posted_max"].median * 1000, f["prompt_ready"].median * 1000))
        if f["worker_ended"].median is not None and f["worker_ended"].median > 5:
            text += (" The worker thread and its connection stay until %.1f s after the click (the mirror saw the "
                     "connection go at %.1f s): closing the WinInet handles does not end a read that is blocked "
                     "under Wine 8; the read ends by the 30 s receive time-out, counted from the stall."
                     % (f["worker_ended"].median, f["mirror_closed"].median or float("nan")))
        out.append(text)
    installers = [i for i in results.get("sizes", []) if i["name"] == "ZelvraInstaller.exe"]
    current = [i for i in installers if not i.get("build")]
    if current:
        out.append("Size: the icon images (%s) make up %s; without them the installer would be %s." % (
            kib(current[0]["icon_bytes"]),
            " and ".join("%.0f %% of the %s build (%s)" % (100.0 * i["icon_bytes"] / i["size"], i["machine"],
                                                          kib(i["size"])) for i in current),
            " and ".join("%s (%s)" % (kib(i["size_without_icons"]), i["machine"]) for i in current)))
        largest = current[0].get("icon_image_sizes", [])[:2]
        if len(largest) == 2 and sum(largest) > current[0]["icon_bytes"] / 2:
            out[-1] += " The two largest of the %d images hold %s and %s (%.0f %% of the icon)." % (
                current[0]["icon_images"], kib(largest[0]), kib(largest[1]),
                100.0 * sum(largest) / current[0]["icon_bytes"])
    before = [i for i in installers if i.get("build")]
    for item in installers:
        if item.get("build"):
            continue
        earlier = [b for b in before if b["machine"] == item["machine"]]
        if earlier:
            was, now = earlier[0]["size_without_icons"], item["size_without_icons"]
            change = "%.0f %% less" % (100.0 * (1 - now / was)) if now <= was else "%.0f %% more, +%s" % (
                100.0 * (now / was - 1), kib(now - was))
            out.append("Code and data of the %s build (file less the icon images): %s before (%s), %s now (%s)."
                       % (item["machine"], kib(was), results.get("before", earlier[0]["build"]), kib(now), change))
    if "startup" in results:
        figures = startup_figures(results["startup"])
        inst, base = figures["installer"]["shell"], figures["baseline"]["shell"]
        if inst.median is not None and base.median is not None:
            out.append("Start-up: from the shell the prompt appears after %.0f ms, the minimal dialog after %.0f ms: "
                       "Wine costs most of it, the installer itself %+.0f ms." % (
                           inst.median * 1000, base.median * 1000, (inst.median - base.median) * 1000))
        text = "Start-up against the minimal dialog (each run beside the dialog's run after it, median): %.2f× " \
               "to the window visible, %.2f× from the shell" % (figures["installer"]["visible_ratio"].median or 0,
                                                                figures["installer"]["shell_ratio"].median or 0)
        if "before" in figures:
            text += "; %s: %.2f× and %.2f×" % (results.get("before", "before"),
                                               figures["before"]["visible_ratio"].median or 0,
                                               figures["before"]["shell_ratio"].median or 0)
        if "baseline_icon" in figures:
            text += (". Against the same dialog with the installer's icon set: %.2f× and %.2f×" % (
                         figures["installer"]["icon_visible_ratio"].median or 0,
                         figures["installer"]["icon_shell_ratio"].median or 0))
        out.append(text + ".")
    return out


def _machine(results):
    m = results["machine"]
    rows = [("CPU", "%s, %d cores" % (m["cpu"], m["cores"])), ("Memory", "%.1f GiB" % (m["memory"] / 2 ** 30)),
            ("Wine", m["wine"]), ("Kernel", m["kernel"]), ("curl", m["curl"]), ("Date", m["date"]),
            ("Source", "commit %s" % m["commit"]),
            ("Load average", "%s at the start, %s at the end (1/5/15 min)%s"
             % ("/".join(m["load_start"]), "/".join(m.get("load_end", ["?"])),
                ", at most %.2f during the run (1 min, read every 5 s)" % m["load_max"] if "load_max" in m else ""))]
    if "cpu_check_start" in m:
        rows.append(("CPU check", "a fixed Python loop on one core: %.3f s at the start, %.3f s at the end"
                     % (m["cpu_check_start"], m.get("cpu_check_end", float("nan")))))
    lines = ["| | |", "|---|---|"] + ["| %s | %s |" % row for row in rows]
    return lines


def render(results):
    out = ["# Zelvra installer: benchmark", ""]
    out += _machine(results)
    out += ["", "Every figure is the median over runs, with the spread (min–max) in brackets. "
            "MB = 10^6 bytes, MiB = 2^20 bytes. Times in the Windows programs come from "
            "QueryPerformanceCounter; CPU times from Wine have a 10 ms grain.%s"
            % (" **Quick run: fewer runs than the full bench.**" if results.get("quick") else ""),
            "The bench took %.0f s." % results.get("seconds", 0), ""]
    failed = results.get("failed") or {}
    if failed:
        out += ["## Sections that failed", "",
                "These sections have no figures in this report; the others were measured as usual.", ""]
        out += ["- **%s**: %s" % (name, failed[name]) for name in sorted(failed)] + [""]
    found = findings(results)
    if found:
        out += ["## Findings", ""] + ["- " + line for line in found] + [""]

    if "throughput" in results:
        section = results["throughput"]
        figures = throughput_figures(section)
        out += ["## 1. Throughput", "",
                "The installer's download worker (`CHttpFileDownloader`, run by `bench_worker.exe` exactly as the "
                "download dialog runs it) fetching one file from the loopback mirror, beside `curl` fetching the "
                "same file from the same mirror right after it. Worker time: thread resumed to `WM_DOWNLOAD_DONE`; "
                "curl time: its `time_total`. CPU: the worker thread, and the wineserver that serves the worker's "
                "system calls (the prefix's wineserver, nothing else running in it).", "",
                "| File | Runs | Worker MB/s | curl MB/s | curl ÷ worker | Worker thread CPU s/MB | "
                "+ wineserver CPU s/MB | = total CPU s/MB | curl CPU s/MB |",
                "|---|---|---|---|---|---|---|---|---|"]
        for size, f in figures.items():
            out.append("| %d MiB | %d | %s | %s | %s | %s | %s | %s | %s |" % (
                size, f["n"], f["worker_rate"].format(1), f["curl_rate"].format(0), f["ratio"].format(1),
                f["worker_cpu"].format(3), f["server_cpu"].format(3), f["total_cpu"].format(3),
                f["curl_cpu"].format(4)))
        pieces = piece_figures(section)
        if pieces:
            out += ["", "Where the time goes: the worker reads and writes 512 bytes at a time. The same WinInet "
                    "calls (`InternetOpenUrlA` with the worker's flags, `InternetReadFile`, `WriteFile`) in a loop "
                    "of the bench's own, on the 16 MiB file; and the worker with the wineserver pinned to the "
                    "first CPU and the worker's process pinned to the same or to the other CPU (`taskset`; the "
                    "unpinned runs above get whichever the scheduler picks):", "",
                    "| Read loop | MB/s | Thread CPU s/MB | wineserver CPU s/MB |", "|---|---|---|---|"]
            for label, rate, cpu, server in pieces:
                out.append("| %s | %s | %s | %s |" % (label, rate.format(1), cpu.format(3), server.format(3)))
        worker_peak = Summary([r["peak_working_set"] for r in section["runs"] if r["kind"] == "worker"])
        out += ["", "![Throughput](throughput.png)", ""]
        if worker_peak.count:
            out += ["Peak working set of `bench_worker.exe` over all its runs: %s." % mib(worker_peak.high), ""]

    if "link" in results:
        section = results["link"]
        runs = [r for r in section["runs"] if r.get("placement", "unpinned") == "unpinned"]
        pinned = {label: [r for r in section["runs"] if r.get("placement") == label] for label in ("same", "other")}
        ideal = Summary([r["bytes"] / section["rate"] for r in runs])
        transfer = Summary([r["transfer_s"] for r in runs])
        out += ["### On a 100 Mbit/s link", "",
                "The real installer, driven through the UI driver (OK, then Close), fetching its three files, each "
                "a stand-in padded to %s, from the mirror limited to %.1f MB/s (100 Mbit/s) on every path. "
                "The rows marked `taskset`: the wineserver on the first CPU, the installer started on the same "
                "or on the other CPU (the UI driver started under `taskset`; Wine passes a program's CPU set on "
                "to the programs it starts)." % (mib(section["file_size"]), section["rate"] / MB), "",
                "| | Time | Share of the link |", "|---|---|---|",
                "| Bytes ÷ bandwidth (%s) | %s | 100 %% |" % (mib(runs[0]["bytes"]), ideal.format(2, unit="s")),
                "| Transfer: first request to last byte (mirror log) | %s | %s |" % (
                    transfer.format(2, unit="s"),
                    Summary([r["bytes"] / section["rate"] / r["transfer_s"] for r in runs]).format(0, 100, "%")),
                "| OK click to progress dialog gone | %s | |" % Summary(
                    [r["click_to_dialog_gone_s"] for r in runs]).format(2, unit="s"),
                "| OK click to \"Download complete.\" | %s | |" % Summary(
                    [r["click_to_done_s"] for r in runs]).format(2, unit="s"),
                "| Per file (request to last byte) | %s | |" % ", ".join(
                    "%s %s" % (name, Summary([r["per_file_s"][name] for r in runs]).format(2, unit="s"))
                    for name in runs[0]["per_file_s"])]
        for label, text in (("same", "installer on the wineserver's CPU"), ("other", "installer on the other CPU")):
            if pinned[label]:
                out.append("| Transfer, %s (`taskset`, %d run%s) | %s | %s |" % (
                    text, len(pinned[label]), "" if len(pinned[label]) == 1 else "s", Summary([r["transfer_s"] for r in pinned[label]]).format(2, unit="s"),
                    Summary([r["bytes"] / section["rate"] / r["transfer_s"] for r in pinned[label]]).format(
                        0, 100, "%")))
        out.append("")

    if "responsive" in results:
        section = results["responsive"]
        figures = responsive_figures(section)
        out += ["## 2. Responsiveness", "",
                "The real installer fetching a %s `ZVUpdaterRes.dll` from the unlimited loopback mirror (the "
                "worker at full speed: the heaviest load on the user-interface thread's machine). Every 10 ms "
                "`bench_probe.exe`, another process, sends WM_NULL with `SendMessageTimeout` to the progress dialog "
                "and to the prompt (both belong to the installer's user-interface thread); every 50 ms it also posts "
                "a message to the prompt (BM_SETSTATE to its hidden Close button, read back with BM_GETSTATE), "
                "which has to pass through the thread's message queue and loop. Counted while the large file "
                "downloads (%s)." % (mib(section["file_size"]), figures["large_file_s"].format(1, unit="s")), "",
                "| Round trip | Samples per run | Median | 99th percentile | Maximum | Time-outs (5 s) |",
                "|---|---|---|---|---|---|"]
        for key in ("dialog", "prompt", "posted"):
            f = figures[key]
            out.append("| %s | %s | %s | %s | %s | %d |" % (f["label"], f["samples"].format(0), _ms(f["median"]),
                                                            _ms(f["p99"]), _ms(f["max"]), f["timeouts"]))
        out += ["", "Longest time the progress bar stood still during the download (read every 100 ms; the bar "
                "moves in steps of 1 %% of the file, its timer runs every 100 ms): %s."
                % _ms(figures["progress_still"]), ""]

    if "cancel" in results:
        section = results["cancel"]
        f = cancel_figures(section)
        out += ["## 3. Cancel", "",
                "The real installer fetching `ZVUpdaterRes.dll` (%s) from a mirror that stops sending after %s "
                "and never resumes. Once the bar has stood still (the worker waits in its read), `bench_probe.exe` "
                "clicks Cancel (posted BM_CLICK) and watches, every millisecond: the dialog, the prompt's OK button, "
                "the local file (opened with no sharing), and every thread of the installer other than the "
                "user-interface thread (the worker is the one that had used the most CPU). The mirror's log says "
                "when the connection went away." % (mib(section["file_size"]), mib(section["stall_after"])), "",
                "| From the click on Cancel to | Time |", "|---|---|",
                "| the progress dialog hidden | %s |" % _ms(f["hidden"]),
                "| the progress dialog destroyed | %s |" % _ms(f["destroyed"]),
                "| the prompt's OK button enabled again | %s |" % _ms(f["prompt_ready"]),
                "| the local file released (opens without sharing) | %s |" % _ms(f["file_free"]),
                "| the worker thread ended | %s |" % (f["worker_ended"].format(2, unit="s")
                                                     + (" (not within 45 s in %d of %d runs)"
                                                        % (f["worker_missing"], len(section["runs"]))
                                                        if f["worker_missing"] else "")),
                "| the mirror saw the connection closed | %s (outcome: %s) |" % (
                    f["mirror_closed"].format(2, unit="s"), ", ".join(f["outcomes"])),
                "| longest sent round trip to the prompt until the dialog was destroyed | %s |" % _ms(f["sent_max"]),
                "| longest posted round trip to the prompt until the dialog was destroyed | %s |"
                % _ms(f["posted_max"]),
                ""]

    if "startup" in results:
        figures = startup_figures(results["startup"])
        inst, base = figures["installer"], figures["baseline"]

        def diff(key):
            if inst[key].median is None or base[key].median is None:
                return "n/a"
            return "%+.0f ms" % ((inst[key].median - base[key].median) * 1000)

        out += ["## 4. Start-up", "",
                "From process start to the prompt visible, beside `bench_baseline.exe`, a minimal Win32 dialog "
                "program built with the project's default options (same dialog size and font, no icon): the "
                "difference is what the installer itself costs, the baseline what Wine costs. \"In Wine\": "
                "`bench_probe.exe` calls CreateProcess and looks for the visible window every 5 ms. \"From the "
                "shell\": `wine64 program.exe` started on the host, the window seen by the probe (host clock). "
                "Ratio: each installer run divided by the baseline run right after it.", ""]
        earlier = figures.get("before")
        if earlier:
            out += ["The installer of %s was started in the same rounds (x64)." % results.get("before", "before"), "",
                    "| | Installer | Baseline | Difference | Installer, %s |" % results.get("before", "before"),
                    "|---|---|---|---|---|"]
        else:
            out += ["| | Installer | Baseline | Difference |", "|---|---|---|---|"]

        def row(label, cells):
            if earlier:
                return "| %s | %s | %s |" % (label, " | ".join(cells[:3]), cells[3] if len(cells) > 3 else "")
            return "| %s | %s |" % (label, " | ".join(cells[:3]))

        def ws(figure):
            return figure["working_set"].format(1, 1.0 / MIB, "MiB")

        before_cells = earlier or {}
        out += [row("CreateProcess to window visible", [_ms(inst["visible"]), _ms(base["visible"]), diff("visible")]
                    + ([_ms(earlier["visible"])] if earlier else [])),
                row("CreateProcess to idle for input", [_ms(inst["idle"]), _ms(base["idle"]), diff("idle")]
                    + ([_ms(earlier["idle"])] if earlier else [])),
                row("`wine64 program.exe` to window visible", [_ms(inst["shell"]), _ms(base["shell"]), diff("shell")]
                    + ([_ms(earlier["shell"])] if earlier else [])),
                row("Ratio to the baseline, window visible", [inst["visible_ratio"].format(2, unit="×"), "1", ""]
                    + ([before_cells["visible_ratio"].format(2, unit="×")] if earlier else [])),
                row("Ratio to the baseline, from the shell", [inst["shell_ratio"].format(2, unit="×"), "1", ""]
                    + ([before_cells["shell_ratio"].format(2, unit="×")] if earlier else [])),
                row("Peak working set when visible", [ws(inst), ws(base), ""] + ([ws(earlier)] if earlier else [])),
                ""]
        icon = figures.get("baseline_icon")
        if icon:
            out += ["`bench_baseline_icon.exe`, the same dialog program with the installer's icon loaded and set "
                    "on its dialog as the prompt does, started in the same rounds:", "",
                    "| | Baseline with the icon | Installer ÷ it |%s" % (
                        " %s ÷ it |" % results.get("before", "before") if earlier else ""),
                    "|---|---|---|%s" % ("---|" if earlier else ""),
                    "| CreateProcess to window visible | %s | %s |%s" % (
                        _ms(icon["visible"]), inst["icon_visible_ratio"].format(2, unit="×"),
                        " %s |" % earlier["icon_visible_ratio"].format(2, unit="×") if earlier else ""),
                    "| `wine64 program.exe` to window visible | %s | %s |%s" % (
                        _ms(icon["shell"]), inst["icon_shell_ratio"].format(2, unit="×"),
                        " %s |" % earlier["icon_shell_ratio"].format(2, unit="×") if earlier else ""), ""]
        out += ["![Start-up](startup.png)", ""]

    if "sizes" in results:
        out += ["## 5. Size and memory", "", "| Executable | Machine | Size | Icon images | Without the icon images |"
                " .rsrc section |", "|---|---|---|---|---|---|"]
        for item in results["sizes"]:
            out.append("| %s | %s | %s (%d bytes) | %d images, %s | %s | %s |" % (
                item["name"], size_label(item), kib(item["size"]), item["size"], item["icon_images"],
                kib(item["icon_bytes"]), kib(item["size_without_icons"]), kib(item["rsrc_bytes"])))
        out += ["", "Without the icon images: the file size less the %s (section alignment ignored)." % ICON_NOTE, ""]
        installers = [i for i in results["sizes"] if i["name"] == "ZelvraInstaller.exe"]
        if installers:
            out += ["### Per section", "",
                    "Bytes each section takes in the file (raw size, aligned to 512 bytes), per build of the "
                    "installer. Code and data: the file less the icon images.", "",
                    "| Section | %s |" % " | ".join(size_label(i) for i in installers),
                    "|---|%s" % ("---|" * len(installers))]
            for name, values in section_rows(installers):
                out.append("| `%s` | %s |" % (name, " | ".join(kib(v) if v is not None else "" for v in values)))
            out += ["| **file** | %s |" % " | ".join(kib(i["size"]) for i in installers),
                    "| **code and data** | %s |" % " | ".join("**%s**" % kib(i["size_without_icons"])
                                                             for i in installers), ""]
        for item in installers:
            if not item.get("contributions"):
                continue
            top, groups = contributors(item)
            out += ["### Biggest contributors: %s" % size_label(item), "",
                    "From the link map (`ZelvraInstaller.map`, the unstripped link): the input sections placed in "
                    "%s, summed per object; then per library. Before alignment, so the sums are a little below the "
                    "section sizes." % ", ".join("`%s`" % n for n in SIZE_SECTIONS), "",
                    "| Object | Bytes |", "|---|---|"]
            out += ["| `%s` | %s |" % (name, kib(size)) for name, size in top]
            out += ["", "| Library or object | Bytes |", "|---|---|"]
            out += ["| `%s` | %s |" % (name, kib(size)) for name, size in groups[:12]]
            out.append("")
        memory = []
        if "responsive" in results:
            peak = responsive_figures(results["responsive"])["peak_working_set"]
            memory.append("| Installer, peak working set during the 64 MiB run | %s |"
                          % peak.format(1, 1.0 / MIB, "MiB"))
        if "startup" in results:
            figures = startup_figures(results["startup"])
            memory.append("| Installer, peak working set at the prompt | %s |"
                          % figures["installer"]["working_set"].format(1, 1.0 / MIB, "MiB"))
            memory.append("| Baseline dialog program, peak working set | %s |"
                          % figures["baseline"]["working_set"].format(1, 1.0 / MIB, "MiB"))
            if "before" in figures:
                memory.append("| Installer of %s, peak working set at the prompt | %s |" % (
                    results.get("before", "before"), figures["before"]["working_set"].format(1, 1.0 / MIB, "MiB")))
        if memory:
            out += ["| Memory (GetProcessMemoryInfo, read from another process) | |", "|---|---|"] + memory + [""]
    if "trust" in results:
        section = results["trust"]
        signed, unsigned = Summary(section["signed-a"]["seconds"]), Summary(section["unsigned"]["seconds"])
        out += ["## 6. Signature check of the update files", "",
                "What a build that pins the signers of the update files spends before the launch: the three files "
                "opened and held, `WinVerifyTrust` on each, the signing certificate's SHA-256 (%d rounds, "
                "`bench_worker.exe verify`). Under Wine the chain to a root is not checked; on Windows it is, from "
                "the local cache only." % section["rounds"], "",
                "| Files | Check passed | Time for the three |", "|---|---|---|",
                "| signed by the pinned key | %s | %s |" % (section["signed-a"]["passed"], _ms(signed)),
                "| unsigned | %s | %s |" % (section["unsigned"]["passed"], _ms(unsigned)), ""]
    return "\n".join(out).rstrip() + "\n"


def charts(results):
    """{file stem: SVG text} of the charts the results allow."""
    out = {}
    if "throughput" in results:
        figures = throughput_figures(results["throughput"])
        groups = ["%d MiB" % size for size in figures]
        out["throughput"] = svg_bar_chart(
            "Download rate from the loopback mirror (median)", groups,
            [("installer's worker", "#d9822b", [f["worker_rate"].median for f in figures.values()]),
             ("curl", "#4a7ab5", [f["curl_rate"].median for f in figures.values()])], "MB/s")
    if "startup" in results:
        figures = startup_figures(results["startup"])
        rows = [("CreateProcess to visible", "visible"), ("wine64 to visible", "shell")]
        series = [("installer", "#d9822b", [_milli(figures["installer"][key].median) for _, key in rows]),
                  ("minimal dialog", "#4a7ab5", [_milli(figures["baseline"][key].median) for _, key in rows])]
        if "before" in figures:
            series.append(("installer before", "#999999", [_milli(figures["before"][key].median) for _, key in rows]))
        out["startup"] = svg_bar_chart("Start-up to the dialog visible (median)", [label for label, _ in rows], series,
                                       "ms")
    return out


def _milli(value):
    return value * 1000 if value is not None else None


def write(results, folder):
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    markdown = render(results)
    for stem, svg in charts(results).items():
        (folder / (stem + ".svg")).write_text(svg)
        converted = subprocess.run(["convert", str(folder / (stem + ".svg")), str(folder / (stem + ".png"))],
                                   capture_output=True)
        if converted.returncode != 0:
            markdown = markdown.replace("(%s.png)" % stem, "(%s.svg)" % stem)
    (folder / "README.md").write_text(markdown)
    return folder / "README.md"
