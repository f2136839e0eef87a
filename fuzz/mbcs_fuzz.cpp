// Fuzz target: the double-byte-aware searches MbcsFind and MbcsReverseFind.
//
// Input: byte 0 is the start position as a signed byte (-128 to 127); the
// rest is the needle, a newline, then the text (the text may hold any byte,
// NUL included). Without a newline the needle is empty and the rest is the
// text. The reverse search looks for the needle's first byte, or '/' when the
// needle is empty.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/mbcs.h"
#include "fuzz_support.h"

namespace {

using zelvra::LeadByteTest;
using zelvra::MbcsFind;
using zelvra::MbcsReverseFind;

int ToResult(std::size_t position) {
  return position == std::string_view::npos ? -1 : static_cast<int>(position);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int start = static_cast<std::int8_t>(data[0]);
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t newline = rest.find('\n');
  // Own copies of exactly their size, so that ASan sees any read past either.
  const std::string what = newline == std::string::npos ? std::string() : rest.substr(0, newline);
  const std::string text = newline == std::string::npos ? rest : rest.substr(newline + 1);
  const char ch = what.empty() ? '/' : what[0];
  const bool startInside = start >= 0 && static_cast<std::size_t>(start) <= text.size();

  int found[2] = {-1, -1};
  for (std::size_t t = 0; t < 2; ++t) {
    const LeadByteTest isLeadByte = zelvra::fuzz::kLeadByteTests[t].test;
    const std::vector<bool> starts = zelvra::fuzz::CharacterStarts(text, isLeadByte);

    // MbcsFind: the first character start at or after `start` where the needle
    // matches; nothing for a start outside the text.
    int expected = -1;
    if (startInside) {
      for (std::size_t p = static_cast<std::size_t>(start); p + what.size() <= text.size(); ++p) {
        if (starts[p] && text.compare(p, what.size(), what) == 0) {
          expected = static_cast<int>(p);
          break;
        }
      }
    }
    const int position = MbcsFind(text, what, start, isLeadByte);
    FUZZ_CHECK(position == expected);
    if (position >= 0) {
      FUZZ_CHECK(position >= start);
      FUZZ_CHECK(text.compare(static_cast<std::size_t>(position), what.size(), what) == 0);
    }
    found[t] = position;

    // MbcsReverseFind: the last character start that holds `ch`.
    int expectedLast = -1;
    for (std::size_t p = 0; p < text.size(); ++p) {
      if (starts[p] && text[p] == ch) expectedLast = static_cast<int>(p);
    }
    FUZZ_CHECK(MbcsReverseFind(text, ch, isLeadByte) == expectedLast);
  }

  // In a single-byte code page both are the plain byte searches.
  if (startInside) {
    FUZZ_CHECK(found[0] == ToResult(text.find(what, static_cast<std::size_t>(start))));
  } else {
    FUZZ_CHECK(found[0] == -1);
  }
  FUZZ_CHECK(MbcsReverseFind(text, ch, &zelvra::NoLeadBytes) == ToResult(text.rfind(ch)));
  // A match on a character start is a byte match too, never an earlier one.
  if (found[1] >= 0) FUZZ_CHECK(found[0] >= 0 && found[0] <= found[1]);
  return 0;
}
