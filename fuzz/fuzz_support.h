// What every fuzz target shares: a check that stops the run with a message,
// and the input read as UTF-16 text, the way the platform hands text over
// (code units of two bytes, little-endian; an odd last byte is dropped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

// Stops the run (libFuzzer then saves the input) when a property fails.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace zelvra::fuzz {

// The UTF-16 code units of `size` bytes (little-endian pairs).
inline std::u16string Utf16Units(const std::uint8_t* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  return text;
}

// A NUL-terminated UTF-16 string holding the units of `size` bytes (up to any
// NUL among them) in a heap block of exactly units + 1, so that
// AddressSanitizer sees a read past the terminator.
class ExactU16CString {
 public:
  ExactU16CString(const std::uint8_t* data, std::size_t size) {
    const std::u16string units = Utf16Units(data, size);
    units_.reset(new char16_t[units.size() + 1]);
    units.copy(units_.get(), units.size());
    units_[units.size()] = u'\0';
  }
  const char16_t* get() const { return units_.get(); }

 private:
  std::unique_ptr<char16_t[]> units_;
};

}  // namespace zelvra::fuzz
