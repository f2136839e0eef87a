#include "core/http_values.h"

namespace zelvra {

namespace {
bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
}  // namespace

std::uint64_t ParseContentLength(const char16_t* text) {
  if (text == nullptr) return 0;
  while (IsSpace(*text)) ++text;
  if (*text == u'-') return 0;
  if (*text == u'+') ++text;
  std::uint64_t value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + static_cast<unsigned>(*text - u'0');
    if (value > 0xFFFFFFFFull) return kContentLengthBeyond32Bits;
  }
  return value;
}

int ParseStatusCode(const char16_t* text) {
  if (text == nullptr) return -1;
  while (IsSpace(*text)) ++text;
  if (!IsDigit(*text)) return -1;
  int value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + (*text - u'0');
    if (value > 99999) return -1;
  }
  return value;
}

}  // namespace zelvra
