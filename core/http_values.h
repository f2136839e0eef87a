// Numbers read from HTTP header texts (as the platform gives them, in UTF-16).
#pragma once

#include <cstdint>

namespace zelvra {

// A Content-Length that does not fit in 32 bits: no file that long is taken.
inline constexpr std::uint64_t kContentLengthBeyond32Bits = 0x100000000ull;

// The Content-Length text as a length: leading white space, an optional '+',
// then decimal digits up to the first non-digit, as the C library's atol
// reads it. A text with no digits and a negative value give 0, the same as a
// missing header: the length is then unknown and the download goes on
// without one. A value that does not fit in 32 bits, however long, gives
// kContentLengthBeyond32Bits.
std::uint64_t ParseContentLength(const char16_t* text);

// The status-code text as a number (leading blanks, digits up to the first
// non-digit), or -1 when it has no digits or is absurdly long.
int ParseStatusCode(const char16_t* text);

}  // namespace zelvra
