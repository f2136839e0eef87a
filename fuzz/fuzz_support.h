// What every fuzz target shares: a check that stops the run with a message,
// a NUL-terminated copy of the input in a buffer of exactly its size (so that
// AddressSanitizer sees a read past the terminator), and an independent
// statement of where the characters of a multibyte text begin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/mbcs.h"

// Stops the run (libFuzzer then saves the input) when a property fails.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace zelvra::fuzz {

// The lead-byte tests every target runs its input under.
struct NamedLeadByteTest {
  const char* name;
  LeadByteTest test;
};
inline constexpr NamedLeadByteTest kLeadByteTests[] = {{"single-byte", &NoLeadBytes},
                                                       {"949", &IsLeadByte949}};

// A C string holding `size` bytes of `data` (up to any NUL among them) in a
// heap block of exactly size + 1 bytes.
class ExactCString {
 public:
  ExactCString(const std::uint8_t* data, std::size_t size) : bytes_(new char[size + 1]) {
    if (size != 0) std::memcpy(bytes_.get(), data, size);
    bytes_[size] = '\0';
  }
  const char* get() const { return bytes_.get(); }

 private:
  std::unique_ptr<char[]> bytes_;
};

// starts[i] is true when a character begins at byte i; starts[size] is true
// (the end is a boundary). A byte is a trail byte exactly when the byte before
// it is a lead byte that is not itself a trail byte, and it is not NUL (a lead
// byte before a NUL or at the end stands alone).
inline std::vector<bool> CharacterStarts(std::string_view text, LeadByteTest isLeadByte) {
  std::vector<bool> starts(text.size() + 1, true);
  for (std::size_t i = 1; i < text.size(); ++i) {
    const bool trail =
        starts[i - 1] && isLeadByte(static_cast<unsigned char>(text[i - 1])) && text[i] != '\0';
    starts[i] = !trail;
  }
  return starts;
}

}  // namespace zelvra::fuzz
