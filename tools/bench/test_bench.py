"""Tests of the benchmark's pure helpers (benchlib.py) and of the report
(report.py) on made-up results: the statistics, the PE resource walk on
synthetic images, and that each report figure comes from the right runs.

    cd tools/bench && python3 -m unittest -v test_bench
"""
import struct
import unittest

import benchlib
import report
from benchlib import MIB


class StatisticsTest(unittest.TestCase):
    def test_median_and_percentile(self):
        cases = [
            # values, median, p50, p99, p0, p100
            ([5], 5, 5, 5, 5, 5),
            ([3, 1, 2], 2, 2, 2.98, 1, 3),
            ([4, 1, 3, 2], 2.5, 2.5, 3.97, 1, 4),
            (list(range(101)), 50, 50, 99, 0, 100),
        ]
        for values, med, p50, p99, p0, p100 in cases:
            with self.subTest(values=values[:5]):
                self.assertAlmostEqual(benchlib.median(values), med)
                self.assertAlmostEqual(benchlib.percentile(values, 0.5), p50)
                self.assertAlmostEqual(benchlib.percentile(values, 0.99), p99)
                self.assertAlmostEqual(benchlib.percentile(values, 0.0), p0)
                self.assertAlmostEqual(benchlib.percentile(values, 1.0), p100)

    def test_nothing_to_summarise(self):
        with self.assertRaises(ValueError):
            benchlib.median([])
        with self.assertRaises(ValueError):
            benchlib.percentile([1], 1.5)
        self.assertIsNone(benchlib.distribution([]))
        self.assertEqual(benchlib.Summary([None, None]).format(), "n/a")

    def test_summary_format(self):
        cases = [
            # values, arguments, text
            ([0.25], dict(digits=1, scale=1000, unit="ms"), "250.0 ms"),
            ([3.0, 1.0, 2.0], dict(digits=2), "2.00 (1.00–3.00)"),
            ([1.0, None, 5.0], dict(digits=0, unit="s"), "3 (1–5) s"),
        ]
        for values, arguments, text in cases:
            with self.subTest(values=values):
                self.assertEqual(benchlib.Summary(values).format(**arguments), text)

    def test_longest_unchanged(self):
        cases = [
            # times, values, end, longest
            ([0, 1, 2, 3], [1, 2, 3, 4], None, 1),
            ([0, 1, 2, 3], [1, 1, 1, 2], None, 3),
            ([0, 1, 2, 3], [1, 2, 2, 2], 10, 9),  # still standing when the series ended
            ([5], [7], None, 0),
        ]
        for times, values, end, longest in cases:
            with self.subTest(values=values, end=end):
                self.assertEqual(benchlib.longest_unchanged(times, values, end), longest)


def make_pe(resources, machine=0x8664, pe32_plus=True, name_entries=()):
    """A minimal PE image with one .rsrc section. resources: {type id:
    [data sizes]}; name_entries: named types ({name: [sizes]})."""
    section_rva, section_raw = 0x1000, 0x200
    # The resource tree: root -> type -> name (ids 1..n) -> language 0x409.
    directories, data_entries, strings = bytearray(), [], bytearray()
    types = [(True, k, v) for k, v in name_entries] + [(False, k, v) for k, v in sorted(resources.items())]

    def directory(entries):  # entries: [(name field, target field)]
        named = sum(1 for e in entries if e[0] & 0x80000000)
        return struct.pack("<IIHHHH", 0, 0, 0, 0, named, len(entries) - named) + b"".join(
            struct.pack("<II", n, t) for n, t in entries)

    # Lay out: root, then one type dir per type, one name dir per leaf, then data entries.
    root_size = 16 + 8 * len(types)
    layout = []  # (type index, [sizes])
    offset = root_size
    type_offsets = []
    for _, _, sizes in types:
        type_offsets.append(offset)
        offset += 16 + 8 * len(sizes)
    name_offsets = []
    for _, _, sizes in types:
        row = []
        for _ in sizes:
            row.append(offset)
            offset += 16 + 8
        name_offsets.append(row)
    data_offsets = []
    for _, _, sizes in types:
        row = []
        for _ in sizes:
            row.append(offset)
            offset += 16
        data_offsets.append(row)
    string_offsets = []
    for named, key, _ in types:
        if named:
            string_offsets.append(offset + len(strings))
            strings += struct.pack("<H", len(key)) + key.encode("utf-16-le")
        else:
            string_offsets.append(None)
    tree_size = offset + len(strings)
    payload_rva = section_rva + ((tree_size + 15) & ~15)

    root_entries = []
    for index, (named, key, _) in enumerate(types):
        name_field = (0x80000000 | string_offsets[index]) if named else key
        root_entries.append((name_field, 0x80000000 | type_offsets[index]))
    directories += directory(root_entries)
    for index, (_, _, sizes) in enumerate(types):
        directories += directory([(i + 1, 0x80000000 | name_offsets[index][i]) for i in range(len(sizes))])
    for index, (_, _, sizes) in enumerate(types):
        for i in range(len(sizes)):
            directories += directory([(0x409, data_offsets[index][i])])
    rva = payload_rva
    payload = bytearray()
    for index, (_, _, sizes) in enumerate(types):
        for size in sizes:
            directories += struct.pack("<IIII", rva, size, 0, 0)
            payload += b"\xAB" * size
            rva += size
    directories += strings
    section = bytes(directories).ljust(payload_rva - section_rva, b"\0") + bytes(payload)
    layout.append(section)

    optional_size = 240 if pe32_plus else 224
    image = bytearray(b"MZ" + b"\0" * 0x3A + struct.pack("<I", 0x40))
    image += b"PE\0\0" + struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, optional_size, 0x22)
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, 0x20B if pe32_plus else 0x10B)
    directories_at = 112 if pe32_plus else 96
    struct.pack_into("<II", optional, directories_at + 16, section_rva, len(section))
    image += optional
    image += struct.pack("<8sIIIIIIHHI", b".rsrc", len(section), section_rva, len(section), section_raw, 0, 0, 0, 0,
                         0x40000040)
    image = image.ljust(section_raw, b"\0") + section
    return bytes(image)


class PeTest(unittest.TestCase):
    def test_resources_and_icon_bytes(self):
        cases = [
            # resources, machine, pe32+, icon bytes
            ({3: [296, 1128, 4264], 14: [48], 16: [700]}, 0x8664, True, 296 + 1128 + 4264 + 48),
            ({3: [744], 14: [20], 6: [100, 200]}, 0x14C, False, 744 + 20),
            ({24: [400]}, 0x8664, True, 0),  # a manifest, no icon
        ]
        for resources, machine, plus, icons in cases:
            with self.subTest(resources=resources):
                image = make_pe(resources, machine, plus)
                info = benchlib.pe_info(image)
                self.assertEqual(info["machine"], {0x8664: "x64", 0x14C: "x86"}[machine])
                self.assertEqual(info["size"], len(image))
                self.assertEqual(info["resources"], resources)
                self.assertEqual(benchlib.icon_bytes(info), icons)

    def test_named_resource_type(self):
        info = benchlib.pe_info(make_pe({3: [10]}, name_entries=[("PNGS", [33, 44])]))
        self.assertEqual(info["resources"], {"PNGS": [33, 44], 3: [10]})
        self.assertEqual(benchlib.icon_bytes(info), 10)

    def test_not_a_pe(self):
        image = make_pe({3: [10]})
        for broken in (b"", b"ZM" + image[2:], image[:0x40] + b"NE\0\0" + image[0x44:]):
            with self.subTest(start=broken[:2]):
                with self.assertRaises(benchlib.PeError):
                    benchlib.pe_info(broken)


LINK_MAP = """Archive member included to satisfy reference by file (symbol)

Discarded input sections

 .text$_ZN3fooEv
                0x00000000       0x40 libzelvra_core.a(a.cpp.obj)

Linker script and memory map

.text           0x00401000     0x1000
 *(.text)
 .text          0x00401000      0x4e0 /usr/lib/gcc/x/crt2.o
                0x004014a0                WinMainCRTStartup
 .text          0x004014e0      0x120 libzelvra_core.a(a.cpp.obj)
 *fill*         0x00401600       0x20 
 .text$_ZNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEE9_M_createERjj
                0x00401620       0x60 libzelvra_core.a(a.cpp.obj)
 .text          0x00401680     0x9000 /usr/lib/gcc/x/libstdc++.a(cp-demangle.o)
 .text          0x0040a680        0x0 libzelvra_core.a(b.cpp.obj)
 .text          0x0040a680       0x10 /tmp/ccAb12Cd.ltrans0.ltrans.o

.rdata          0x00410000      0x200
 .rdata         0x00410000       0x44 /usr/lib/gcc/x/libstdc++.a(cp-demangle.o)
.bss            0x00411000       0x10
 .bss           0x00411000       0x10 libzelvra_core.a(a.cpp.obj)
"""


class LinkMapTest(unittest.TestCase):
    def test_contributions_per_section_and_object(self):
        found = benchlib.link_map_contributions(LINK_MAP)
        # Discarded sections, fill and empty inputs do not count; a long
        # section name wraps its address, size and file onto the next line.
        self.assertEqual(found, {
            ".text": {"crt2.o": 0x4e0, "libzelvra_core.a(a.cpp.obj)": 0x120 + 0x60,
                      "libstdc++.a(cp-demangle.o)": 0x9000, "link-time optimised code (ltrans0)": 0x10},
            ".rdata": {"libstdc++.a(cp-demangle.o)": 0x44},
            ".bss": {"libzelvra_core.a(a.cpp.obj)": 0x10}})
        with self.assertRaises(ValueError):
            benchlib.link_map_contributions("no map")

    def test_contributors_leave_out_what_the_file_does_not_hold(self):
        item = {"contributions": benchlib.link_map_contributions(LINK_MAP)}
        top, groups = report.contributors(item, count=2)
        self.assertEqual(top, [("libstdc++.a(cp-demangle.o)", 0x9044), ("crt2.o", 0x4e0)])
        self.assertEqual(groups, [("libstdc++.a", 0x9044), ("crt2.o", 0x4e0), ("libzelvra_core.a", 0x180),
                                  ("link-time optimised code (ltrans0)", 0x10)])


class ChartTest(unittest.TestCase):
    def test_bars_scale_with_values_and_missing_values_are_left_out(self):
        svg = benchlib.svg_bar_chart("T <1>", ["a", "b"], [("one", "#111", [10.0, None]),
                                                             ("two", "#222", [40.0, 20.0])], "MB/s")
        widths = [float(part.split('"')[0]) for part in svg.split('width="')[2:] if 'fill="#' in part]
        bars = [w for w in widths if w > 12]
        self.assertEqual(len(bars), 3)
        self.assertAlmostEqual(max(bars) / min(bars), 4.0, places=3)
        self.assertIn("T &lt;1&gt;", svg)
        self.assertTrue(svg.startswith("<svg") and svg.rstrip().endswith("</svg>"))


def worker_run(size, seconds, cpu, server, kind="worker", piece=512):
    return {"kind": kind, "size_mib": size, "piece": piece, "bytes": size * MIB, "wall_s": seconds,
            "thread_user_s": cpu / 2, "thread_kernel_s": cpu / 2, "wineserver_cpu_s": server, "mirror_cpu_s": 0.01,
            "peak_working_set": 25 * MIB, "ok": True}


def curl_run(size, seconds, cpu):
    return {"kind": "curl", "size_mib": size, "bytes": size * MIB, "wall_s": seconds, "cpu_s": cpu, "ok": True}


def series(values, step=0.01):
    return {"at": [i * step for i in range(len(values))], "rtt": values}


def results():
    """Made-up results with every section, figures chosen so that each
    summary has one right answer."""
    mb16 = 16 * MIB / 1e6
    return {
        "machine": {"cpu": "Test CPU", "cores": 2, "memory": 8 * 2 ** 30, "wine": "wine-8.0", "curl": "curl 7",
                    "kernel": "6.1", "commit": "abc", "date": "2024-01-01 00:00 UTC", "load_start": ["1", "1", "1"],
                    "load_end": ["2", "2", "2"], "cpu_check_start": 0.25, "cpu_check_end": 0.5},
        "quick": False, "seconds": 600,
        "throughput": {"runs": [
            worker_run(16, mb16 / 8, 0.5, 0.7), curl_run(16, mb16 / 400, 0.02),
            worker_run(16, mb16 / 10, 0.4, 0.6), curl_run(16, mb16 / 300, 0.03),
            worker_run(16, mb16 / 12, 0.6, 0.8), curl_run(16, mb16 / 240, 0.04),
            worker_run(16, mb16 / 40, 0.1, 0.1, kind="raw", piece=4096),
            dict(worker_run(16, mb16 / 20, 0.4, 0.3, kind="placement"), placement="same"),
            dict(worker_run(16, mb16 / 6, 0.9, 1.0, kind="placement"), placement="other"),
        ]},
        "link": {"rate": 12.5e6, "file_size": 16 * MIB, "runs": [
            {"bytes": 48 * MIB, "transfer_s": t, "click_to_dialog_gone_s": t + 0.5, "click_to_done_s": t + 0.8,
             "click_to_first_request_s": 0.1, "per_file_s": {"ZVUpdaterRes.dll": t / 3}, "placement": p}
            for t, p in ((6.0, "unpinned"), (8.0, "unpinned"), (7.0, "unpinned"), (4.03, "same"),
                         (4.03 * 2, "other"))]},
        "responsive": {"file_size": 64 * MIB, "runs": [
            # Samples outside the large file's window (the last one) must not count.
            {"large_file_window": [0.0, 0.035], "large_file_s": 5.0, "ticks": 5, "duration_s": 0.05,
             "dialog": series([0.001, 0.002, 0.003, 0.004, 9.0]), "prompt": series([0.001] * 4 + [9.0]),
             "posted": series([0.002, -5.0, 0.002, 0.002, 9.0]),
             "progress": {"at": [0.0, 0.01, 0.02, 0.03], "pos": [1, 1, 1, 2]},
             "memory": {"ok": True, "peak_working_set": 30 * MIB}},
        ]},
        "cancel": {"file_size": 16 * MIB, "stall_after": 4 * MIB, "runs": [
            {"hidden_s": 0.002, "destroyed_s": 1.0, "prompt_ready_s": 1.0, "file_free_s": 0.001,
             "worker_ended_s": ended, "mirror_closed_s": ended, "mirror_outcome": "aborted",
             "file_free_before": False,
             "prompt_sent": series([0.001, 0.002]), "prompt_posted": {"at": [0.0, 1.2], "rtt": [0.99, 3.0]}}
            for ended in (29.0, None, 29.2)]},
        "startup": {
            "in_wine": {name: [{"visible_s": v, "idle_s": v + 0.01, "created_s": 0.01,
                                "memory": {"ok": True, "peak_working_set": m}} for v in values]
                        for name, values, m in (("installer", (0.3, 0.2, 0.4), 23 * MIB),
                                                ("baseline", (0.1, 0.15, 0.12), 18 * MIB))},
            "from_shell": {"installer": [0.5, 0.6], "baseline": [0.2, 0.3]}},
        "before": "commit abc",
        "sizes": [{"name": "ZelvraInstaller.exe", "arch": "x64", "machine": "x64", "size": 600000,
                   "icon_bytes": 320000, "icon_images": 12, "icon_image_sizes": [200000, 80000, 40000],
                   "rsrc_bytes": 330000, "size_without_icons": 280000,
                   "sections": {".text": 150000, ".rsrc": 330000}},
                  {"name": "ZelvraInstaller.exe", "arch": "x64", "machine": "x64", "size": 800000, "build": "before",
                   "icon_bytes": 320000, "icon_images": 12, "icon_image_sizes": [200000, 80000, 40000],
                   "rsrc_bytes": 330000, "size_without_icons": 480000,
                   "sections": {".text": 300000, ".eh_frame": 70000, ".rsrc": 330000}}],
    }


class ReportTest(unittest.TestCase):
    def test_throughput_figures(self):
        f = report.throughput_figures(results()["throughput"])[16]
        self.assertAlmostEqual(f["worker_rate"].median, 10.0)
        self.assertAlmostEqual(f["curl_rate"].median, 300.0)
        # The ratio pairs each worker run with the curl run after it.
        self.assertEqual(sorted(round(v, 6) for v in f["ratio"].values), [20.0, 30.0, 50.0])
        self.assertAlmostEqual(f["total_cpu"].median, (0.5 + 0.7) / (16 * MIB / 1e6))
        self.assertEqual(f["n"], 3)

    def test_piece_and_placement_rows(self):
        rows = {label: round(rate.median, 6) for label, rate, _, _ in report.piece_figures(results()["throughput"])}
        self.assertEqual(rows, {"installer's worker, 512 B": 10.0, "same calls, 4 KiB pieces": 40.0,
                                "installer's worker, wineserver on its CPU": 20.0,
                                "installer's worker, wineserver on the other CPU": 6.0})
        self.assertIn("on the wineserver's CPU it reaches 20.0 MB/s, on the other CPU 6.0 MB/s",
                      report.findings(results())[1])

    def test_responsiveness_counts_only_the_large_file(self):
        f = report.responsive_figures(results()["responsive"])
        self.assertAlmostEqual(f["dialog"]["max"].median, 0.004)
        self.assertAlmostEqual(f["dialog"]["median"].median, 0.0025)
        self.assertEqual(f["posted"]["timeouts"], 1)
        self.assertAlmostEqual(f["posted"]["max"].median, 5.0)  # a time-out counts with its length
        self.assertAlmostEqual(f["progress_still"].median, 0.03)

    def test_cancel_figures(self):
        f = report.cancel_figures(results()["cancel"])
        self.assertEqual(f["worker_missing"], 1)
        self.assertEqual(f["worker_ended"].values, [29.0, 29.2])
        # Only round trips until the dialog was destroyed count.
        self.assertAlmostEqual(f["posted_max"].median, 0.99)
        self.assertEqual(f["outcomes"], ["aborted"])

    def test_rendered_report(self):
        text = report.render(results())
        for expected in ("Test CPU, 2 cores", "wine-8.0", "0.250 s at the start, 0.500 s at the end", "| 16 MiB | 3 | 10.0 (8.0–12.0) | 300 (240–400) |",
                         "| Bytes ÷ bandwidth (48.0 MiB) | 4.03 (4.03–4.03) s | 100 % |",
                         "7.00 (6.00–8.00) s", "installer on the other CPU (`taskset`, 1 run) | 8.06 s | 50 % |",
                         "on the wineserver's CPU it gets 100 % of the link, on the other CPU 50 %.",
                         "| the local file released (opens without sharing) | 1.0 (1.0–1.0) ms |",
                         "(not within 45 s in 1 of 3 runs)", "| CreateProcess to window visible | 300.0 (200.0–400.0) ms |"
                         " 120.0 (100.0–150.0) ms | +180 ms |", "12 images, 312.5 KiB", "273.4 KiB",
                         "the icon images (312.5 KiB) make up 53 % of the x64 build (585.9 KiB)",
                         "The two largest of the 12 images hold 195.3 KiB and 78.1 KiB (88 % of the icon)."):
            self.assertIn(expected, text)
        for heading in ("## 1. Throughput", "## 2. Responsiveness", "## 3. Cancel", "## 4. Start-up",
                        "## 5. Size and memory"):
            self.assertIn(heading, text)

    def test_start_up_ratios_pair_each_run_with_the_baseline_run_after_it(self):
        data = results()
        data["startup"]["in_wine"]["before"] = [dict(run, visible_s=run["visible_s"] * 2)
                                                for run in data["startup"]["in_wine"]["installer"]]
        data["startup"]["from_shell"]["before"] = [0.8, 0.9]
        figures = report.startup_figures(data["startup"])
        self.assertEqual([round(v, 6) for v in figures["installer"]["visible_ratio"].values],
                         [3.0, round(0.2 / 0.15, 6), round(0.4 / 0.12, 6)])
        self.assertAlmostEqual(figures["installer"]["shell_ratio"].median, (2.5 + 2.0) / 2)
        self.assertAlmostEqual(figures["before"]["visible_ratio"].median, 2 * figures["installer"]["visible_ratio"].median)
        text = report.render(data)
        self.assertIn("| Ratio to the baseline, window visible | 3.00 (1.33–3.33) × | 1 |  | 6.00 (2.67–6.67) × |",
                      text)
        self.assertNotIn("before", "".join(report.startup_figures(results()["startup"])))

    def test_start_up_against_the_dialog_with_the_icon(self):
        data = results()
        data["startup"]["in_wine"]["baseline_icon"] = [dict(run, visible_s=run["visible_s"] * 2)
                                                       for run in data["startup"]["in_wine"]["baseline"]]
        data["startup"]["from_shell"]["baseline_icon"] = [0.25, 0.6]
        figures = report.startup_figures(data["startup"])
        self.assertAlmostEqual(figures["installer"]["icon_visible_ratio"].median,
                               figures["installer"]["visible_ratio"].median / 2)
        self.assertEqual(figures["installer"]["icon_shell_ratio"].values, [2.0, 1.0])
        self.assertIn("| `wine64 program.exe` to window visible | 425.0 (250.0–600.0) ms | 1.50 (1.00–2.00) × |",
                      report.render(data))

    def test_sections_before_and_after(self):
        text = report.render(results())
        self.assertIn("| Section | x64 | x64, before |", text)
        self.assertIn("| `.text` | 146.5 KiB | 293.0 KiB |", text)
        self.assertIn("| `.eh_frame` |  | 68.4 KiB |", text)
        self.assertIn("| **code and data** | **273.4 KiB** | **468.8 KiB** |", text)
        self.assertIn("Code and data of the x64 build (file less the icon images): 468.8 KiB before (commit abc), "
                      "273.4 KiB now (42 % less).", text)

    def test_busy_machine_is_named(self):
        for ends, during, busy in (("2.0", None, True), ("0.5", None, False), ("0.5", 1.8, True),
                                   ("0.5", 0.9, False)):
            with self.subTest(ends=ends, during=during):
                data = results()
                data["machine"]["load_start"] = data["machine"]["load_end"] = [ends, "0", "0"]
                if during is not None:
                    data["machine"]["load_max"] = during
                self.assertEqual(any("machine was busy" in line for line in report.findings(data)), busy)

    def test_sections_left_out_or_failed(self):
        partial = {k: v for k, v in results().items() if k in ("machine", "seconds", "sizes")}
        text = report.render(partial)
        self.assertIn("## 5. Size and memory", text)
        self.assertNotIn("## 1. Throughput", text)
        self.assertNotIn("failed", text)
        self.assertEqual(report.charts(partial), {})
        partial["failed"] = {"startup": "RuntimeError: start-up of installer failed"}
        text = report.render(partial)
        self.assertIn("## Sections that failed", text)
        self.assertIn("- **startup**: RuntimeError: start-up of installer failed", text)
        self.assertIn("## 5. Size and memory", text)


if __name__ == "__main__":
    unittest.main()
