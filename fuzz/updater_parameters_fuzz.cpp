// Fuzz target: the parameter string handed to the updater launcher.
//
// Input: byte 0 chooses test mode (its lowest bit); the rest is the command
// line as UTF-16 code units. The program is the one the installer passes.
// Checked: the command line stands verbatim right after "\"@cmd=" (surrogate
// pairs, lone surrogates and NULs included), and the string ends with the
// quoted "@install" or, in test mode, with the quoted access argument after it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/updater_parameters.h"
#include "fuzz_support.h"

namespace {

bool EndsWith(const std::u16string& text, const std::u16string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::size_t Count(const std::u16string& text, char16_t c) {
  std::size_t n = 0;
  for (char16_t x : text) n += x == c ? 1 : 0;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool testMode = (data[0] & 1) != 0;
  const std::u16string commandLine = zelvra::fuzz::Utf16Units(data + 1, size - 1);
  const std::u16string program = zelvra::kUpdaterProgram;

  const std::u16string parameters = zelvra::BuildUpdaterParameters(commandLine, program, testMode);

  const std::u16string head = u"\"@cmd=";
  FUZZ_CHECK(parameters.compare(0, head.size(), head) == 0);
  FUZZ_CHECK(parameters.compare(head.size(), commandLine.size(), commandLine) == 0);

  // What follows the command line does not depend on it.
  const std::u16string tail = parameters.substr(head.size() + commandLine.size());
  const std::u16string install = u"\" \"@execute=Zelvra.exe\" \"@install\"";
  if (testMode) {
    FUZZ_CHECK(tail == install + u" \"@5204917738162\"");
  } else {
    FUZZ_CHECK(tail == install);
  }
  FUZZ_CHECK(EndsWith(parameters, testMode ? u"\"@5204917738162\"" : u"\"@install\""));

  // Nothing of the command line is escaped, doubled or trimmed: the string
  // holds its quotation marks plus the pairs the hand-off adds.
  FUZZ_CHECK(Count(parameters, u'"') == Count(commandLine, u'"') + (testMode ? 8 : 6));
  return 0;
}
