#include "core/http_values.h"

namespace zelvra {

namespace {
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

std::uint32_t ParseContentLength(const char* text) {
  if (text == nullptr) return 0;
  while (IsSpace(*text)) ++text;
  if (*text == '-') return 0;
  if (*text == '+') ++text;
  std::uint64_t value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + static_cast<unsigned>(*text - '0');
    if (value > 0xFFFFFFFFull) return 0;
  }
  return static_cast<std::uint32_t>(value);
}

int ParseStatusCode(const char* text) {
  if (text == nullptr) return -1;
  while (IsSpace(*text)) ++text;
  if (!IsDigit(*text)) return -1;
  int value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + (*text - '0');
    if (value > 99999) return -1;
  }
  return value;
}

}  // namespace zelvra
