// Numbers read from HTTP header texts (as the platform gives them, in UTF-16).
#pragma once

#include <cstdint>

namespace zelvra {

// The Content-Length text as a 32-bit length: leading white space, an
// optional '+', then decimal digits up to the first non-digit, as the C
// library's atol reads it. A text with no digits, a negative value, and a
// value that does not fit in 32 bits all give 0, the same as a missing
// header: the length is then unknown and the download goes on without one.
std::uint32_t ParseContentLength(const char16_t* text);

// The status-code text as a number (leading blanks, digits up to the first
// non-digit), or -1 when it has no digits or is absurdly long.
int ParseStatusCode(const char16_t* text);

}  // namespace zelvra
