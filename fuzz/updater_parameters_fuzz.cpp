// Fuzz target: the parameter string handed to the updater launcher.
//
// Input: byte 0 chooses test mode (its lowest bit); the rest is the command
// line. The program is the one the installer passes. Checked: the command
// line stands verbatim right after "\"@cmd=", and the string ends with the
// quoted "@install" or, in test mode, with the quoted access argument after it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/updater_parameters.h"
#include "fuzz_support.h"

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::size_t Count(const std::string& text, char c) {
  std::size_t n = 0;
  for (char x : text) n += x == c ? 1 : 0;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool testMode = (data[0] & 1) != 0;
  const std::string commandLine(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string program = zelvra::kUpdaterProgram;

  const std::string parameters = zelvra::BuildUpdaterParameters(commandLine, program, testMode);

  const std::string head = "\"@cmd=";
  FUZZ_CHECK(parameters.compare(0, head.size(), head) == 0);
  FUZZ_CHECK(parameters.compare(head.size(), commandLine.size(), commandLine) == 0);

  // What follows the command line does not depend on it.
  const std::string tail = parameters.substr(head.size() + commandLine.size());
  const std::string install = "\" \"@execute=Zelvra.exe\" \"@install\"";
  if (testMode) {
    FUZZ_CHECK(tail == install + " \"@5204917738162\"");
  } else {
    FUZZ_CHECK(tail == install);
  }
  FUZZ_CHECK(EndsWith(parameters, testMode ? "\"@5204917738162\"" : "\"@install\""));

  // Nothing of the command line is escaped, doubled or trimmed: the string
  // holds its quotation marks plus the pairs the hand-off adds.
  FUZZ_CHECK(Count(parameters, '"') == Count(commandLine, '"') + (testMode ? 8 : 6));
  return 0;
}
