// Numbers as text, without the C library's formatting engine (a small
// program should not carry printf for three numbers).
#pragma once

#include <cstdint>
#include <string>

namespace zelvra {

// Decimal digits, no sign or padding: 0 gives "0".
std::u16string DecimalText(std::uint64_t value);

// Lowercase hexadecimal digits, no prefix or padding: 0 gives "0".
std::u16string HexText(std::uint64_t value);

}  // namespace zelvra
