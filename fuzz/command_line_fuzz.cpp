// Fuzz target: the arguments part of a raw command line.
//
// Input: the command line itself (bytes after a NUL are ignored, as the
// platform would never pass them). Each input is cut under both lead-byte
// tests and checked against a model written from the documented rule, plus
// properties that hold whatever the rule's details.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/command_line.h"
#include "fuzz_support.h"

namespace {

using zelvra::ArgumentsOfCommandLine;
using zelvra::LeadByteTest;
using zelvra::fuzz::CharacterStarts;

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

// Offset of the arguments in `line`, straight from the rule: a quoted name
// ends at the first quotation mark that starts a character (counting from just
// after the opening mark), an unquoted one at the first byte of code 32 or
// less; the blanks (codes 1 to 32) after the name go with it.
std::size_t ModelArgumentsOffset(const std::string& line, LeadByteTest isLeadByte) {
  std::size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    const std::string_view name = std::string_view(line).substr(1);
    const std::vector<bool> starts = CharacterStarts(name, isLeadByte);
    std::size_t close = std::string::npos;
    for (std::size_t j = 0; j < name.size(); ++j) {
      if (starts[j] && name[j] == '"') {
        close = j;
        break;
      }
    }
    if (close == std::string::npos) return line.size();
    i = 1 + close + 1;
  } else {
    while (i < line.size() && static_cast<unsigned char>(line[i]) > 32) ++i;
  }
  while (i < line.size() && IsBlank(static_cast<unsigned char>(line[i]))) ++i;
  return i;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zelvra::fuzz::ExactCString buffer(data, size);
  const char* line = buffer.get();
  const std::string lineText(line);
  std::size_t offsets[2] = {0, 0};

  for (std::size_t t = 0; t < 2; ++t) {
    const LeadByteTest isLeadByte = zelvra::fuzz::kLeadByteTests[t].test;
    const char* arguments = ArgumentsOfCommandLine(line, isLeadByte);

    // A suffix of the line: inside it or at its terminator.
    FUZZ_CHECK(arguments >= line && arguments <= line + lineText.size());
    const std::size_t offset = static_cast<std::size_t>(arguments - line);
    offsets[t] = offset;
    FUZZ_CHECK(offset == ModelArgumentsOffset(lineText, isLeadByte));

    // Nothing the rule skips is left at the front.
    const unsigned char first = static_cast<unsigned char>(*arguments);
    FUZZ_CHECK(first == 0 || first > 32);

    // The arguments come back unchanged behind any other program name.
    const std::string args(arguments);
    for (const char* program :
         {"a.exe ", "\"C:\\Program Files\\Zelvra Setup.exe\"\t ", "\"\"\x01"}) {
      const std::string again = program + args;
      FUZZ_CHECK(args == ArgumentsOfCommandLine(again.c_str(), isLeadByte));
    }
  }

  // Lead bytes only matter inside a quoted name, and there they can only make
  // the name longer (a quotation mark that is a trail byte does not close it).
  if (lineText.empty() || lineText[0] != '"') FUZZ_CHECK(offsets[0] == offsets[1]);
  FUZZ_CHECK(offsets[1] >= offsets[0]);
  return 0;
}
