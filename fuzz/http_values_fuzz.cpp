// Fuzz target: the numbers read from the Content-Length and status-code texts.
//
// Input: the header text as UTF-16 code units (units after a NUL are ignored,
// as in the string the platform fills in). Both parsers are compared with a
// model built on the C library's strtoull and the documented limits, over a
// narrow copy in which every unit beyond ASCII is a DEL (neither blank, sign
// nor digit); the first four bytes also give a 32-bit length that must
// survive a round trip through its decimal text.
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/http_values.h"
#include "fuzz_support.h"

namespace {

using zelvra::ParseContentLength;
using zelvra::ParseStatusCode;

const char* SkipSpace(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  return text;
}

// As atol reads it, with the limits of the header: no digits or a negative
// value give 0, one beyond 32 bits gives 2^32.
std::uint64_t ModelContentLength(const char* text) {
  text = SkipSpace(text);
  if (*text == '-') return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text) return 0;
  if (errno == ERANGE || value > 0xFFFFFFFFull) return zelvra::kContentLengthBeyond32Bits;
  return value;
}

// Leading white space, then digits only (no sign); -1 without digits or for a
// value above 99999.
int ModelStatusCode(const char* text) {
  text = SkipSpace(text);
  if (!std::isdigit(static_cast<unsigned char>(*text))) return -1;
  errno = 0;
  const unsigned long long value = std::strtoull(text, nullptr, 10);
  if (errno == ERANGE || value > 99999) return -1;
  return static_cast<int>(value);
}

// The narrow copy the models read.
std::string AsciiModelText(const char16_t* text) {
  std::string ascii;
  for (; *text != u'\0'; ++text) ascii += *text < 0x80 ? static_cast<char>(*text) : '\x7f';
  return ascii;
}

std::u16string Utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zelvra::fuzz::ExactU16CString text(data, size);
  const std::string model = AsciiModelText(text.get());

  FUZZ_CHECK(ParseContentLength(text.get()) == ModelContentLength(model.c_str()));
  const int status = ParseStatusCode(text.get());
  FUZZ_CHECK(status == ModelStatusCode(model.c_str()));
  FUZZ_CHECK(status >= -1 && status <= 99999);

  if (size >= 4) {
    std::uint32_t length = 0;
    std::memcpy(&length, data, sizeof length);
    const std::string decimal = std::to_string(length);
    FUZZ_CHECK(ParseContentLength(Utf16(decimal).c_str()) == length);
    FUZZ_CHECK(ParseContentLength(Utf16(" \t+" + decimal + "\r\n").c_str()) == length);
    FUZZ_CHECK(ParseContentLength(Utf16("-" + decimal).c_str()) == 0);
    // One bit more than 32 is too long, not the value cut to 32 bits.
    FUZZ_CHECK(ParseContentLength(Utf16(std::to_string(length + 0x100000000ull)).c_str()) ==
               zelvra::kContentLengthBeyond32Bits);
    const int code = static_cast<int>(length % 100000);
    FUZZ_CHECK(ParseStatusCode(Utf16("  " + std::to_string(code) + " OK").c_str()) == code);
  }
  return 0;
}
