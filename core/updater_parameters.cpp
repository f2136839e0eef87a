#include "core/updater_parameters.h"

namespace zelvra {

std::u16string BuildUpdaterParameters(const std::u16string& commandLine, const std::u16string& program, bool testMode) {
  std::u16string parameters;
  parameters += u'"';
  parameters += kCommandLineKeyword;
  parameters += commandLine;
  parameters += u'"';
  parameters += u" \"";
  parameters += kExecuteKeyword;
  parameters += program;
  parameters += u'"';
  parameters += u" \"";
  parameters += kInstallKeyword;
  parameters += u'"';
  if (testMode) {
    parameters += u" \"";
    parameters += kTestAccessArgument;
    parameters += u'"';
  }
  return parameters;
}

}  // namespace zelvra
