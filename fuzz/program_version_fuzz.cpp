// Fuzz target: a program's version block read from its bytes.
//
// Input: byte 0 chooses what the rest is (its lowest bit): 0 a PE file
// (ReadProgramVersion), 1 a version block (ParseVersionBlock); the rest sits
// in a heap block of exactly its size, so that a read past it is caught.
// Checked: a name read holds no NUL and stands, as UTF-16, in the input, and
// so does the version; what the input cut short yields, the whole input
// yields too (every read is bounded, nothing else depends on the size); the
// launcher floor passes a program at exactly its version and name, and
// refuses it under a floor one version above or another name.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/program_version.h"
#include "fuzz_support.h"

namespace {

std::optional<zelvra::ProgramVersion> Read(bool block, const std::string& input, std::size_t size) {
  const std::vector<std::uint8_t> exact(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(size));
  return block ? zelvra::ParseVersionBlock(exact.data(), exact.size())
               : zelvra::ReadProgramVersion(exact.data(), exact.size());
}

// The little-endian bytes of `units` values of `width` bytes each.
template <typename Unit>
std::string LittleEndian(const std::basic_string<Unit>& units, int width) {
  std::string bytes;
  for (const Unit unit : units) {
    for (int i = 0; i < width; ++i) bytes += static_cast<char>(static_cast<std::uint64_t>(unit) >> 8 * i);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool block = (data[0] & 1) != 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::optional<zelvra::ProgramVersion> read = Read(block, input, input.size());
  for (const std::size_t cut : {input.size() / 2, input.size() - (input.empty() ? 0 : 1)}) {
    const std::optional<zelvra::ProgramVersion> shorter = Read(block, input, cut);
    if (shorter) {
      FUZZ_CHECK(read && read->fileVersion == shorter->fileVersion &&
                 read->originalFilename == shorter->originalFilename);
    }
  }
  if (!read) return 0;

  const std::u16string& name = read->originalFilename;
  FUZZ_CHECK(name.find(u'\0') == std::u16string::npos);
  FUZZ_CHECK(input.find(LittleEndian(name, 2)) != std::string::npos);
  const std::u32string version = {static_cast<char32_t>(read->fileVersion >> 32),
                                  static_cast<char32_t>(read->fileVersion & 0xFFFFFFFF)};
  FUZZ_CHECK(input.find(LittleEndian(version, 4)) != std::string::npos);

  FUZZ_CHECK(zelvra::MeetsLauncherFloor(read, {true, read->fileVersion, name.c_str()}));
  if (read->fileVersion != UINT64_MAX) {
    FUZZ_CHECK(!zelvra::MeetsLauncherFloor(read, {true, read->fileVersion + 1, name.c_str()}));
  }
  FUZZ_CHECK(!zelvra::MeetsLauncherFloor(read, {true, 0, (name + u"x").c_str()}));
  return 0;
}
