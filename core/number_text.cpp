#include "core/number_text.h"

namespace zelvra {

namespace {

std::u16string DigitsIn(std::uint64_t value, unsigned base) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  char16_t buffer[64];
  size_t at = sizeof(buffer) / sizeof(buffer[0]);
  do {
    buffer[--at] = kDigits[value % base];
    value /= base;
  } while (value != 0);
  return std::u16string(buffer + at, sizeof(buffer) / sizeof(buffer[0]) - at);
}

}  // namespace

std::u16string DecimalText(std::uint64_t value) { return DigitsIn(value, 10); }

std::u16string HexText(std::uint64_t value) { return DigitsIn(value, 16); }

}  // namespace zelvra
