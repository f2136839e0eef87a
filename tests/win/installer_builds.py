"""Checks that every build of the installer is made as the product is.

The test builds (ZelvraInstallerUnrestricted, ...Unelevated, ...Pinned,
...Https) must be compiled and linked with the product's command lines: a
fault of the optimised link or of the run-time pieces would otherwise pass
their tests and show only in the product. This reads the real command lines
that CMake's Makefiles run (CMakeFiles/<target>.dir/flags.make, link.txt and
its response files, the objects and the link's inputs in build.make) and fails
on any difference but the target's own name, its link map and one seam: an
object library in the product's seam's place, compiled with the same flags
and definitions (its sources and include folders are its own).

It also reports each build's size against the product's: a build whose seam
adds no code must stay within 3 % of it; one whose seam leaves a path of the
product out (the unelevated build has no elevated path) may be smaller.

Usage: python3 installer_builds.py [--adds-code NAME]... [--drops-code NAME]... BUILD_DIR [BUILD_DIR...]
  The first build folder must hold the builds; a later one is checked when it
  has been built (the x86 one, say).
"""
import argparse
import os
import re
import shlex
import sys
from pathlib import Path

PRODUCT = "ZelvraInstaller"
SIZE_TOLERANCE = 0.03


def named(text, name):
    """`text` with the target's own name replaced by a placeholder."""
    return re.sub(re.escape(name) + r"(?![A-Za-z0-9_])", "<installer>", text)


def make_variables(path):
    """The `KEY = value` lines of a flags.make, response files read in."""
    values = {}
    for line in path.read_text().splitlines():
        key, sep, value = line.partition(" = ")
        if sep and not line.startswith("#"):
            if value.startswith("@"):
                value = (path.parent.parent.parent / value[1:]).read_text().strip()
            values[key] = value
    return values


class Build:
    """One executable target of the build folder `root`, from its CMakeFiles folder."""

    def __init__(self, root, target_dir):
        self.root = root
        self.name = target_dir.name[:-len(".dir")]
        self.dir = target_dir.parent.parent  # where the link runs
        self.exe = self.dir / (self.name + ".exe")
        self.flags = {k: named(v, self.name) for k, v in make_variables(target_dir / "flags.make").items()}
        command = next(line for line in (target_dir / "link.txt").read_text().splitlines() if " -o " in line)
        self.link, self.map = [], None
        for token in shlex.split(command):
            if token.startswith("-Wl,-Map="):
                self.map = Path(token[len("-Wl,-Map="):])
                token = "-Wl,-Map=<map>"
            elif token.startswith("@"):
                self.link += [self.from_root(t) for t in shlex.split((self.dir / token[1:]).read_text())]
                continue
            self.link.append(named(token, self.name))
        objects = [self.relative(o) for o in (target_dir / "objects1").read_text().split()]
        own = self.relative(str(target_dir)) + "/"
        sources = dependency_sources(target_dir / "DependInfo.cmake")
        self.sources = [sources[o] for o in objects if o.startswith(own)]
        self.seams = []  # (library, its CMakeFiles folder), in link order
        for o in objects:
            if not o.startswith(own):
                folder = re.match(r"(.*CMakeFiles/([^/]+)\.dir)/", o)
                if not self.seams or self.seams[-1][0] != folder.group(2):
                    self.seams.append((folder.group(2), root / folder.group(1)))
        exe = self.relative(str(self.exe))
        self.inputs = [d for line in (target_dir / "build.make").read_text().splitlines()
                       if line.startswith(exe + ": ") for d in [line[len(exe) + 2:]]
                       if not d.startswith(own) and "CMakeFiles/" not in d]

    def relative(self, path):
        """`path` (absolute, or relative to where the link runs) relative to the build folder."""
        return os.path.relpath(os.path.normpath(os.path.join(self.dir, path)), self.root)

    def from_root(self, token):
        """A token of the link line, a path relative to the build folder, its own name replaced."""
        return named(token if token.startswith("-") else self.relative(token), self.name)


def dependency_sources(depend_info):
    """Object (relative to the build folder) -> source, from a DependInfo.cmake."""
    text = depend_info.read_text()
    block = re.search(r"CMAKE_DEPENDS_DEPENDENCY_FILES\n(.*?)\n  \)", text, re.S)
    items = re.findall(r'"([^"]*)"', block.group(1)) if block else []
    return {items[i + 1]: items[i] for i in range(0, len(items), 4)}


def seam_flags(folder):
    return {k: v for k, v in make_variables(folder / "flags.make").items() if not k.endswith("_INCLUDES")}


def difference(mine, theirs):
    """What differs between two dicts or two lists, in a few words each."""
    if isinstance(mine, dict):
        return ["%s: %r, the product's %r" % (k, mine.get(k), theirs.get(k))
                for k in sorted(set(mine) | set(theirs)) if mine.get(k) != theirs.get(k)]
    lines = ["%s only here" % [x for x in mine if x not in theirs], "%s only in the product's" % [x for x in theirs if x not in mine]]
    return [line for line in lines if not line.startswith("[]")] or ["the same items in another order"]


def compare(build, product):
    """The differences of `build` from the product, as sentences."""
    faults = []
    for what, mine, theirs in (("compile flags", build.flags, product.flags), ("link command", build.link, product.link),
                               ("own sources", build.sources, product.sources),
                               ("link inputs", build.inputs, product.inputs)):
        if mine != theirs:
            faults.append("%s differ from the product's:\n      %s" % (what, "\n      ".join(difference(mine, theirs))))
    if build.map != build.exe.with_suffix(".map"):
        faults.append("link map %s is not %s" % (build.map, build.exe.with_suffix(".map")))
    if len(build.seams) != len(product.seams):
        faults.append("seams %s, the product's %s" % ([s for s, _ in build.seams], [s for s, _ in product.seams]))
        return faults, []
    swapped = [(mine, theirs) for mine, theirs in zip(build.seams, product.seams) if mine[0] != theirs[0]]
    if len(swapped) > 1:
        faults.append("more than one seam swapped: %s" % [mine[0] for mine, _ in swapped])
    for mine, theirs in swapped:
        if seam_flags(mine[1]) != seam_flags(theirs[1]):
            faults.append("seam %s is not compiled as %s:\n      %s" % (
                mine[0], theirs[0], "\n      ".join(difference(seam_flags(mine[1]), seam_flags(theirs[1])))))
    return faults, swapped


def check_folder(root, adds_code, drops_code, required):
    """Prints the builds of one build folder; returns the number of faults."""
    targets = sorted(root.glob("**/CMakeFiles/%s*.dir/link.txt" % PRODUCT))
    builds = {b.name: b for b in (Build(root, t.parent) for t in targets)}
    if PRODUCT not in builds or len(builds) < 2:
        print("%s: %s" % (root, "the installer and its test builds are not there" if required else "skipped, no builds"))
        return 1 if required else 0
    product, faults = builds.pop(PRODUCT), 0
    sized = product.exe.exists()
    print("%s: %s %s" % (root, PRODUCT, "%d bytes" % product.exe.stat().st_size if sized else "(not built)"))
    for name, build in sorted(builds.items()):
        problems, swapped = compare(build, product)
        seam = ", ".join("%s for %s" % (mine[0], theirs[0]) for mine, theirs in swapped) or "none"
        size = ""
        if sized and build.exe.exists():
            ratio = build.exe.stat().st_size / product.exe.stat().st_size - 1
            size = "%d bytes (%+.1f %%)" % (build.exe.stat().st_size, 100 * ratio)
            if name in adds_code:
                size += ", its seam adds code"
            elif name in drops_code and ratio < 0:
                size += ", its seam leaves code out"
            elif abs(ratio) > SIZE_TOLERANCE:
                problems.append("%+.1f %% of the product's size, more than %d %%" % (100 * ratio, 100 * SIZE_TOLERANCE))
        print("  %s: seam %s; %s" % (name, seam, size or "(not built)"))
        for problem in problems:
            print("    FAULT: " + problem)
        faults += len(problems)
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--adds-code", action="append", default=[], metavar="NAME",
                        help="a test build whose seam adds code to the product's (no size limit)")
    parser.add_argument("--drops-code", action="append", default=[], metavar="NAME",
                        help="a test build whose seam leaves a path of the product out (no lower size limit)")
    parser.add_argument("build_dirs", nargs="+", type=Path)
    args = parser.parse_args()
    faults, seen = 0, set()
    for i, root in enumerate(args.build_dirs):
        if root.resolve() not in seen:
            seen.add(root.resolve())
            faults += check_folder(root.resolve(), set(args.adds_code), set(args.drops_code), required=(i == 0))
    print("%d fault(s)" % faults)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
