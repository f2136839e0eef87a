#include "core/updater_parameters.h"

namespace zelvra {

std::string BuildUpdaterParameters(const std::string& commandLine, const std::string& program,
                                   bool testMode) {
  std::string parameters;
  parameters += '"';
  parameters += kCommandLineKeyword;
  parameters += commandLine;
  parameters += '"';
  parameters += " \"";
  parameters += kExecuteKeyword;
  parameters += program;
  parameters += '"';
  parameters += " \"";
  parameters += kInstallKeyword;
  parameters += '"';
  if (testMode) {
    parameters += " \"";
    parameters += kTestAccessArgument;
    parameters += '"';
  }
  return parameters;
}

}  // namespace zelvra
