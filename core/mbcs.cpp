#include "core/mbcs.h"

namespace zelvra {

bool NoLeadBytes(unsigned char) { return false; }

bool IsLeadByte949(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

namespace {

// Width in bytes of the character that starts at `pos`: 2 for a lead byte
// that has a trail byte after it, else 1.
size_t CharWidth(std::string_view text, size_t pos, LeadByteTest isLeadByte) {
  if (isLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size() &&
      text[pos + 1] != '\0') {
    return 2;
  }
  return 1;
}

}  // namespace

int MbcsFind(std::string_view text, std::string_view what, int start,
             LeadByteTest isLeadByte) {
  if (start < 0 || static_cast<size_t>(start) > text.size()) return -1;
  size_t pos = 0;
  // Advance to the first character boundary at or after `start`.
  while (pos < static_cast<size_t>(start)) pos += CharWidth(text, pos, isLeadByte);
  for (; pos <= text.size(); pos += CharWidth(text, pos, isLeadByte)) {
    if (text.size() - pos < what.size()) return -1;
    if (text.compare(pos, what.size(), what) == 0) return static_cast<int>(pos);
    if (pos == text.size()) return -1;
  }
  return -1;
}

int MbcsReverseFind(std::string_view text, char ch, LeadByteTest isLeadByte) {
  int found = -1;
  for (size_t pos = 0; pos < text.size(); pos += CharWidth(text, pos, isLeadByte)) {
    if (text[pos] == ch) found = static_cast<int>(pos);
  }
  return found;
}

}  // namespace zelvra
