"""Pure helpers of the benchmark: statistics, PE resource sizes, number
formatting and a bar chart as SVG. No Wine, no network; tested by
test_bench.py."""

import math
import re
import struct

MIB = 1 << 20
MB = 1e6

RT_ICON = 3
RT_GROUP_ICON = 14
PE_MACHINES = {0x14C: "x86", 0x8664: "x64", 0xAA64: "arm64"}


# --- statistics --------------------------------------------------------------

def median(values):
    """The median of a non-empty sequence (mean of the two middle values for
    an even count)."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError("median of nothing")
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def percentile(values, fraction):
    """The percentile at `fraction` (0..1) with linear interpolation between
    the closest ranks, as numpy's default does."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError("percentile of nothing")
    if not 0 <= fraction <= 1:
        raise ValueError("fraction must be within 0..1")
    position = (len(ordered) - 1) * fraction
    low = math.floor(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


class Summary:
    """Median and spread of one figure over several runs."""

    def __init__(self, values):
        self.values = [v for v in values if v is not None]
        self.count = len(self.values)
        self.median = median(self.values) if self.values else None
        self.low = min(self.values) if self.values else None
        self.high = max(self.values) if self.values else None

    def format(self, digits=2, scale=1.0, unit=""):
        """"median (min–max) unit", or "n/a" without values."""
        if not self.values:
            return "n/a"
        fmt = "%%.%df" % digits
        text = fmt % (self.median * scale)
        if self.count > 1:
            text += " (%s–%s)" % (fmt % (self.low * scale), fmt % (self.high * scale))
        return text + (" " + unit if unit else "")

    def to_dict(self):
        return {"median": self.median, "min": self.low, "max": self.high, "n": self.count}


def distribution(samples):
    """median, p99 and max of one run's samples (seconds), or None."""
    if not samples:
        return None
    return {"median": median(samples), "p99": percentile(samples, 0.99), "max": max(samples),
            "n": len(samples)}


def longest_unchanged(times, values, end=None):
    """The longest stretch of time during which `values` (sampled at `times`)
    did not change; `end` closes the last stretch."""
    if not times:
        return None
    longest = 0.0
    since = times[0]
    for index in range(1, len(times)):
        if values[index] != values[index - 1]:
            longest = max(longest, times[index] - since)
            since = times[index]
    last = end if end is not None else times[-1]
    return max(longest, last - since)


# --- PE files ------------------------------------------------------------------

class PeError(ValueError):
    """Not a PE file, or one whose resources cannot be read."""


def pe_info(data):
    """Machine, sections and resource sizes of a PE image given as bytes:
    {"machine", "size", "resources": {type id or name: [data sizes]}}."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise PeError("no MZ header")
    pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise PeError("no PE signature")
    machine, section_count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe_offset + 4)
    optional = pe_offset + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x10B:
        directories = optional + 96
    elif magic == 0x20B:
        directories = optional + 112
    else:
        raise PeError("unknown optional header magic %#x" % magic)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    sections = []
    table = optional + optional_size
    for index in range(section_count):
        name, virtual_size, rva, raw_size, raw_pointer = struct.unpack_from("<8sIIII", data, table + 40 * index)
        sections.append({"name": name.rstrip(b"\0").decode("ascii", "replace"), "rva": rva,
                         "virtual_size": virtual_size, "raw_size": raw_size, "raw_pointer": raw_pointer})

    def offset_of(rva):
        for section in sections:
            if section["rva"] <= rva < section["rva"] + max(section["virtual_size"], section["raw_size"]):
                return rva - section["rva"] + section["raw_pointer"]
        raise PeError("RVA %#x lies in no section" % rva)

    resources = {}
    if resource_rva and resource_size:
        base = offset_of(resource_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
            for index in range(named + numbered):
                name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * index)
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", data, at)[0]
                    key = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                else:
                    key = name
                yield key, target

        def leaves(target, depth):
            if target & 0x80000000:
                if depth > 3:
                    raise PeError("resource tree too deep")
                for _, child in entries(target & 0x7FFFFFFF):
                    yield from leaves(child, depth + 1)
            else:
                yield struct.unpack_from("<II", data, base + target)[1]  # data size

        for kind, target in entries(0):
            resources[kind] = list(leaves(target, 1))
    return {"machine": PE_MACHINES.get(machine, hex(machine)), "size": len(data), "sections": sections,
            "resources": resources}


def icon_bytes(info):
    """Bytes of icon images (RT_ICON) and icon directories (RT_GROUP_ICON)."""
    return sum(info["resources"].get(RT_ICON, [])) + sum(info["resources"].get(RT_GROUP_ICON, []))


# --- formatting ------------------------------------------------------------------

def kib(size):
    return "%.1f KiB" % (size / 1024.0)


def mib(size):
    return "%.1f MiB" % (size / float(MIB))


def svg_bar_chart(title, groups, series, unit, width=640):
    """A horizontal grouped bar chart as SVG text.

    groups: labels of the groups, top to bottom; series: [(name, colour,
    [value per group or None])]; each bar is labelled with its value."""
    left, right, top, bar, gap, legend = 150, 110, 40, 16, 14, 24
    rows = len(groups)
    height = top + rows * (len(series) * bar + gap) + legend + 10
    values = [v for _, _, vs in series for v in vs if v is not None]
    peak = max(values) if values else 1.0
    scale = (width - left - right) / (peak or 1.0)

    def esc(text):
        return str(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")

    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="12">' % (width, height),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="22" font-size="14" font-weight="bold">%s</text>' % (left, esc(title))]
    y = top
    for index, group in enumerate(groups):
        out.append('<text x="%d" y="%d" text-anchor="end">%s</text>'
                   % (left - 8, y + len(series) * bar / 2 + 4, esc(group)))
        for name, colour, vs in series:
            value = vs[index]
            if value is not None:
                length = max(1.0, value * scale)
                out.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s"/>'
                           % (left, y, length, bar - 2, colour))
                out.append('<text x="%.1f" y="%d">%s %s</text>'
                           % (left + length + 4, y + bar - 5, esc(_short(value)), esc(unit)))
            y += bar
        y += gap
    x = left
    for name, colour, _ in series:
        out.append('<rect x="%d" y="%d" width="12" height="12" fill="%s"/>' % (x, y + 2, colour))
        out.append('<text x="%d" y="%d">%s</text>' % (x + 16, y + 12, esc(name)))
        x += 24 + 8 * len(name)
    out.append("</svg>")
    return "\n".join(out) + "\n"


def _short(value):
    if value >= 100:
        return "%.0f" % value
    if value >= 10:
        return "%.1f" % value
    return "%.2f" % value


# --- link maps -------------------------------------------------------------------

_MAP_INPUT = re.compile(r"^ (\S+)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(\S.*)$")
_MAP_MEMBER = re.compile(r"^(?:.*/)?([^/()]+)\(([^()]+)\)$")


def map_contributor(path):
    """The short name of an input file in a GNU ld map: `archive(member)`,
    the object's file name, or for the temporary objects of link-time
    optimisation (/tmp/ccXXXX.ltrans0.ltrans.o) a name that stays the same."""
    member = _MAP_MEMBER.match(path.strip())
    if member:
        return "%s(%s)" % member.groups()
    name = path.strip().rsplit("/", 1)[-1]
    ltrans = re.fullmatch(r"[^.]+\.(ltrans\d+)\.ltrans\.o", name)
    if ltrans:  # a temporary object of link-time optimisation, named at random
        return "link-time optimised code (%s)" % ltrans.group(1)
    return name


def link_map_contributions(text):
    """{output section: {contributor: bytes}} from a GNU ld map file (the
    linker's -Map): the input sections placed in each output section, summed
    per input file. Fill between inputs and discarded sections do not count."""
    start = text.find("Linker script and memory map")
    if start < 0:
        raise ValueError("not a GNU ld map file")
    out, pending, result = None, None, {}
    for line in text[start:].splitlines():
        if line[:1] == "." or (line and not line[0].isspace() and line[0] != "*"):
            out = line.split()[0] if line.startswith(".") else None
            pending = None
            continue
        if pending is not None:
            if re.match(r"^\s+0x", line):
                line = " " + pending + line
            pending = None
        if re.match(r"^ \.\S+$", line):
            pending = line.strip()  # a long section name: address, size and file on the next line
            continue
        found = _MAP_INPUT.match(line)
        if found and out is not None and not found.group(1).startswith("*"):
            size = int(found.group(3), 16)
            if size:
                section = result.setdefault(out, {})
                name = map_contributor(found.group(4))
                section[name] = section.get(name, 0) + size
    return result


def contributor_group(name):
    """Who a contributor belongs to: the archive for the toolchain's
    libraries, the object itself for the program's own code."""
    archive = re.match(r"([^()]+\.a)\(", name)
    return archive.group(1) if archive else name
