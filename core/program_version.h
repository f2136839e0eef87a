// A program's version block, read from the program's file as it lies on disk:
// which file version it carries and the name it was built under
// (OriginalFilename). The launcher check of a pinned build reads it from the
// bytes of the file it holds open, not through the platform's readers, which
// take a path.
//
// Every structure is bounds-checked against the bytes given: a file whose
// headers, resource directory or version block point outside it, outside
// their parent or past their own end is malformed, and yields nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zelvra {

// The file version a.b.c.d as one number, dwFileVersionMS of VS_FIXEDFILEINFO
// (a, b) in the upper half and dwFileVersionLS (c, d) in the lower, so that
// versions compare as numbers do.
constexpr std::uint64_t FileVersion(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
  return static_cast<std::uint64_t>(a) << 48 | static_cast<std::uint64_t>(b) << 32 |
         static_cast<std::uint64_t>(c) << 16 | d;
}

struct ProgramVersion {
  std::uint64_t fileVersion = 0;    // from VS_FIXEDFILEINFO, as FileVersion packs it
  std::u16string originalFilename;  // up to its first NUL; empty when the string table has none
};

// The version block (VS_VERSIONINFO) in the `size` bytes at `block` (its
// 32-bit boundaries count from its start): the fixed file version, and OriginalFilename
// from the string table that the first Translation entry of VarFileInfo
// names, or from the first string table when there is no such entry or no
// table of it. Keys are compared without regard to ASCII case. Nothing when
// the block is malformed (its root is not "VS_VERSION_INFO" with a
// VS_FIXEDFILEINFO of the right signature, or a node read lies outside its
// parent or has no room for its key).
std::optional<ProgramVersion> ParseVersionBlock(const std::uint8_t* block, std::size_t size);

// The version block of the PE file whose `size` bytes, as on disk, are at
// `file`: the first language of the first name of the resource type
// RT_VERSION, found through the resource directory, its addresses mapped to
// file offsets through the section table (only the bytes a section takes from
// the file). Nothing when the file is no PE file, has no resource directory or
// no RT_VERSION resource, or any of it is malformed.
std::optional<ProgramVersion> ReadProgramVersion(const std::uint8_t* file, std::size_t size);

// The floor a pinned build sets for the launcher it starts.
struct LauncherFloor {
  bool required;                     // false: no floor, every launcher passes
  std::uint64_t minimumVersion;      // the oldest file version started (FileVersion)
  const char16_t* originalFilename;  // the OriginalFilename required, ASCII
};

// Whether a launcher with `version` (nothing: no or a malformed version
// block) passes `floor`: a file version of at least the floor's, and an
// OriginalFilename equal to the floor's without regard to ASCII case.
bool MeetsLauncherFloor(const std::optional<ProgramVersion>& version, const LauncherFloor& floor);

}  // namespace zelvra
