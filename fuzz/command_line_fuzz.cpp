// Fuzz target: the arguments part of a raw command line.
//
// Input: the command line as UTF-16 code units (units after a NUL are
// ignored, as the platform would never pass them). Each input is cut and
// checked against a model written from the documented rule, plus properties
// that hold whatever the rule's details.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/command_line.h"
#include "fuzz_support.h"

namespace {

using zelvra::ArgumentsOfCommandLine;

bool IsBlank(char16_t c) { return c >= 1 && c <= 32; }
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Offset of the arguments in `line`, straight from the rule: a quoted name
// ends at the next quotation mark, an unquoted one at the first unit of code
// 32 or less; the blanks (codes 1 to 32) after the name go with it.
std::size_t ModelArgumentsOffset(const std::u16string& line) {
  std::size_t i = 0;
  if (!line.empty() && line[0] == u'"') {
    const std::size_t close = line.find(u'"', 1);
    if (close == std::u16string::npos) return line.size();
    i = close + 1;
  } else {
    while (i < line.size() && line[i] > 32) ++i;
  }
  while (i < line.size() && IsBlank(line[i])) ++i;
  return i;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zelvra::fuzz::ExactU16CString buffer(data, size);
  const char16_t* line = buffer.get();
  const std::u16string lineText(line);
  const char16_t* arguments = ArgumentsOfCommandLine(line);

  // A suffix of the line: inside it or at its terminator.
  FUZZ_CHECK(arguments >= line && arguments <= line + lineText.size());
  const std::size_t offset = static_cast<std::size_t>(arguments - line);
  FUZZ_CHECK(offset == ModelArgumentsOffset(lineText));

  // Nothing the rule skips is left at the front, and the cut never falls
  // between the two halves of a surrogate pair.
  FUZZ_CHECK(*arguments == 0 || *arguments > 32);
  FUZZ_CHECK(offset == 0 || !(IsHighSurrogate(line[offset - 1]) && IsLowSurrogate(line[offset])));

  // The arguments come back unchanged behind any other program name.
  const std::u16string args(arguments);
  for (const char16_t* program : {u"a.exe ", u"\"C:\\Program Files\\Zelvra Setup.exe\"\t ", u"\"\"\x01",
                                  u"\"C:\\Users\\\uae40\uccA0\uc218\\\U0001F600 Setup.exe\" "}) {
    const std::u16string again = program + args;
    FUZZ_CHECK(args == ArgumentsOfCommandLine(again.c_str()));
  }
  return 0;
}
