// Fuzz target: a program's version block read from its bytes.
//
// Input: byte 0 chooses what the rest is (its lowest bit): 0 a PE file
// (ReadProgramVersion), 1 a version block (ParseVersionBlock); the rest sits
// in a heap block of exactly its size, so that a read past it is caught.
// Checked: a name read holds no NUL and stands, as UTF-16, in the input; the
// version read follows a VS_FIXEDFILEINFO signature in the input; a result
// read from the input cut short is the same from the whole input (every read
// is bounded, never dependent on the size otherwise); the launcher floor
// passes a program at exactly its version and name and refuses it with the
// floor one version above, or under another name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/program_version.h"
#include "fuzz_support.h"

namespace {

using zelvra::ProgramVersion;

std::optional<ProgramVersion> Read(bool block, const std::vector<std::uint8_t>& bytes, std::size_t size) {
  // A copy of exactly `size` bytes.
  const std::vector<std::uint8_t> exact(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
  return block ? zelvra::ParseVersionBlock(exact.data(), exact.size())
               : zelvra::ReadProgramVersion(exact.data(), exact.size());
}

bool Contains(const std::vector<std::uint8_t>& bytes, const std::string& pattern) {
  if (pattern.size() > bytes.size()) return false;
  for (std::size_t at = 0; at + pattern.size() <= bytes.size(); ++at) {
    if (std::memcmp(bytes.data() + at, pattern.data(), pattern.size()) == 0) return true;
  }
  return false;
}

std::string Le32(std::uint32_t value) {
  const char bytes[] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                        static_cast<char>(value >> 24)};
  return std::string(bytes, 4);
}

// Whether a VS_FIXEDFILEINFO signature in `bytes` is followed, 8 bytes on, by `version`.
bool FollowsASignature(const std::vector<std::uint8_t>& bytes, std::uint64_t version) {
  const std::string signature = Le32(0xFEEF04BD);
  const std::string versionBytes =
      Le32(static_cast<std::uint32_t>(version >> 32)) + Le32(static_cast<std::uint32_t>(version));
  for (std::size_t at = 0; at + 16 <= bytes.size(); ++at) {
    if (std::memcmp(bytes.data() + at, signature.data(), 4) == 0 &&
        std::memcmp(bytes.data() + at + 8, versionBytes.data(), 8) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool block = (data[0] & 1) != 0;
  const std::vector<std::uint8_t> bytes(data + 1, data + size);
  const std::optional<ProgramVersion> read = Read(block, bytes, bytes.size());

  for (const std::size_t cut : {bytes.size() / 2, bytes.size() - (bytes.empty() ? 0 : 1)}) {
    const std::optional<ProgramVersion> shorter = Read(block, bytes, cut);
    if (shorter) {
      FUZZ_CHECK(read && read->fileVersion == shorter->fileVersion &&
                 read->originalFilename == shorter->originalFilename);
    }
  }
  if (!read) return 0;

  FUZZ_CHECK(read->originalFilename.find(u'\0') == std::u16string::npos);
  std::string name;
  for (char16_t unit : read->originalFilename) name += {static_cast<char>(unit), static_cast<char>(unit >> 8)};
  FUZZ_CHECK(Contains(bytes, name));
  FUZZ_CHECK(FollowsASignature(bytes, read->fileVersion));

  const std::u16string own = read->originalFilename;
  FUZZ_CHECK(zelvra::MeetsLauncherFloor(read, {true, read->fileVersion, own.c_str()}));
  if (read->fileVersion != UINT64_MAX) {
    FUZZ_CHECK(!zelvra::MeetsLauncherFloor(read, {true, read->fileVersion + 1, own.c_str()}));
  }
  FUZZ_CHECK(!zelvra::MeetsLauncherFloor(read, {true, 0, (own + u"x").c_str()}));
  return 0;
}
