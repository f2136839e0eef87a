"""Checks of the built executables' PE headers: hardening flags, sections,
and an import table that names only kernel32 and the C runtime (everything
else is delay-loaded or loaded late, from the system folder only).

Usage: python3 pe_test.py EXE [EXE...]   (missing files are skipped)
"""
import struct
import sys
import unittest

# What the loader brings in before the program's first line runs: only these
# known DLLs. Whatever a library loads as it starts is loaded before the DLL
# search can be restricted, so nothing else may be imported directly.
DIRECT_IMPORTS = {"kernel32.dll", "msvcrt.dll"}

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x20, 0x40, 0x100, 0x8000
# The Windows the program needs: 7 (it calls functions of Vista and later).
SUBSYSTEM_VERSION = (6, 1)
SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000


class PeImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        assert self.data[pe:pe + 4] == b"PE\0\0", "not a PE file"
        self.machine, self.section_count, self.timestamp = struct.unpack_from("<HHI", self.data, pe + 4)
        optional_size = struct.unpack_from("<H", self.data, pe + 20)[0]
        opt = pe + 24
        self.magic = struct.unpack_from("<H", self.data, opt)[0]
        self.subsystem_version = struct.unpack_from("<HH", self.data, opt + 48)
        self.dll_characteristics = struct.unpack_from("<H", self.data, opt + 70)[0]
        directories = opt + (96 if self.magic == 0x10B else 112)
        self.import_rva = struct.unpack_from("<I", self.data, directories + 8)[0]
        self.sections = []
        table = opt + optional_size
        for i in range(self.section_count):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            flags = struct.unpack_from("<I", self.data, table + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), va, vsize, rawptr, rawsize, flags))

    def offset(self, rva):
        for _, va, vsize, rawptr, rawsize, _ in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                return rawptr + rva - va
        raise ValueError("rva outside every section")

    def imported_dlls(self):
        names, entry = [], self.offset(self.import_rva)
        while True:
            name_rva = struct.unpack_from("<I", self.data, entry + 12)[0]
            if name_rva == 0:
                return names
            start = self.offset(name_rva)
            names.append(self.data[start:self.data.index(b"\0", start)].decode().lower())
            entry += 20


class ExecutableChecks(unittest.TestCase):
    paths = []

    def each_image(self):
        found = False
        for path in self.paths:
            try:
                image = PeImage(path)
            except FileNotFoundError:
                continue
            found = True
            with self.subTest(path=path):
                yield path, image
        if not found:
            self.skipTest("no executable built")

    def test_imports_only_kernel32_and_the_c_runtime(self):
        for path, image in self.each_image():
            others = set(image.imported_dlls()) - DIRECT_IMPORTS
            self.assertEqual(set(), others, f"{path} imports DLLs that load before its DLL search is restricted")

    def test_aslr_and_dep_are_on(self):
        for path, image in self.each_image():
            self.assertTrue(image.dll_characteristics & DYNAMIC_BASE, "dynamic base (ASLR)")
            self.assertTrue(image.dll_characteristics & NX_COMPAT, "NX compatible (DEP)")
            if image.machine == IMAGE_FILE_MACHINE_AMD64:
                self.assertTrue(image.dll_characteristics & HIGH_ENTROPY_VA, "high-entropy addresses")

    def test_made_for_windows_7_and_terminal_server_aware(self):
        for path, image in self.each_image():
            self.assertEqual(SUBSYSTEM_VERSION, image.subsystem_version, "subsystem version")
            self.assertTrue(image.dll_characteristics & TERMINAL_SERVER_AWARE, "terminal-server aware")

    def test_no_section_is_both_writable_and_executable(self):
        for path, image in self.each_image():
            for name, *_, flags in image.sections:
                self.assertFalse(flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE, f"section {name} is W+X")

    def test_no_time_stamp_in_the_header(self):
        for path, image in self.each_image():
            self.assertEqual(0, image.timestamp, "a time stamp makes builds differ")

    def test_links_its_own_stack_guard_and_the_delay_load_hook(self):
        # From the link map beside the executable: the toolchain's libssp
        # would seed its guard through the crypto API before WinMain (loading
        # advapi32 and a provider then), and without the hook the delay-loaded
        # libraries would be searched for beside the program.
        for path, _ in self.each_image():
            try:
                link_map = open(path[:-4] + ".map", encoding="utf-8", errors="replace").read()
            except FileNotFoundError:
                continue
            self.assertFalse("libssp.a(" in link_map, "the toolchain's stack protector (libssp) is linked")
            for symbol in ("__pfnDliNotifyHook2", "__stack_chk_fail"):
                self.assertRegex(link_map, r"\n\s+0x[0-9a-f]+\s+_?%s\n" % symbol, "%s is not linked" % symbol)

    def test_release_artifact_is_32_bit(self):
        for path, image in self.each_image():
            if "windows-x86" in path:
                self.assertEqual(IMAGE_FILE_MACHINE_I386, image.machine)
                self.assertEqual(0x10B, image.magic)


if __name__ == "__main__":
    ExecutableChecks.paths = sys.argv[1:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
