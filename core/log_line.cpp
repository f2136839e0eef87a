#include "core/log_line.h"

namespace zelvra {

namespace {

// `value` in exactly `digits` decimal digits (its last ones).
void AppendDigits(std::string& out, unsigned value, int digits) {
  std::string text(static_cast<size_t>(digits), '0');
  for (int at = digits - 1; at >= 0; --at, value /= 10)
    text[static_cast<size_t>(at)] = static_cast<char>('0' + value % 10);
  out += text;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string LogLine(const LogTime& time, const std::u16string& text) {
  std::string line;
  const struct {
    unsigned value;
    int digits;
    char after;
  } fields[] = {{time.year, 4, '-'},   {time.month, 2, '-'},  {time.day, 2, 'T'},         {time.hour, 2, ':'},
                {time.minute, 2, ':'}, {time.second, 2, '.'}, {time.milliseconds, 3, 'Z'}};
  for (const auto& field : fields) {
    AppendDigits(line, field.value, field.digits);
    line += field.after;
  }
  line += ' ';
  bool lineBreak = false;
  for (size_t at = 0; at < text.size(); ++at) {
    char32_t c = text[at];
    if (c == u'\r' || c == u'\n') {
      if (!lineBreak) line += ' ';
      lineBreak = true;
      continue;
    }
    lineBreak = false;
    if (c < 0x20 || c == 0x7F) {
      c = u' ';
    } else if (c >= 0xD800 && c <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[at + 1] - 0xDC00);
      ++at;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(line, c);
  }
  line += "\r\n";
  return line;
}

}  // namespace zelvra
