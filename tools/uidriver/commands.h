// The driver's command set: one request object in, one answer object out.
// The protocol is described in README.md next to this file.
#pragma once

#include <string>

#include "json.h"
#include "processes.h"

namespace uidriver {

class CommandSet {
 public:
  // Answers one request line with one answer line (no line break). Never
  // throws: every failure becomes {"ok": false, "error": ...}. Sets *quit
  // when the request asks the driver to end.
  std::string HandleLine(const std::string& line, bool* quit);

  // Ends what the driver started; called when its input ends unexpectedly.
  void KillLaunched() { processes_.KillLaunched(); }

 private:
  Json Dispatch(const std::string& name, const Json& request, bool* quit);

  ProcessTable processes_;
};

}  // namespace uidriver
