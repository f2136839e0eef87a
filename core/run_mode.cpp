#include "core/run_mode.h"

namespace zelvra {

namespace {

constexpr char16_t kSilentKeyword[] = u"@silent";
constexpr char16_t kPassiveKeyword[] = u"@passive";

}  // namespace

RunMode RunModeOfCommandLine(const std::u16string& commandLine) {
  if (commandLine.find(kSilentKeyword) != std::u16string::npos) return RunMode::kSilent;
  if (commandLine.find(kPassiveKeyword) != std::u16string::npos) return RunMode::kPassive;
  return RunMode::kDefault;
}

const char16_t* RunModeName(RunMode mode) {
  switch (mode) {
    case RunMode::kPassive: return u"passive";
    case RunMode::kSilent: return u"silent";
    case RunMode::kDefault: break;
  }
  return u"default";
}

}  // namespace zelvra
