// How a run of the installer goes: with its prompt, or unattended (the
// keywords an administrator's deployment tool gives).
#pragma once

#include <string>

namespace zelvra {

enum class RunMode {
  kDefault,  // the prompt, the download dialog, the boxes and the finished look
  kPassive,  // the download dialog only, with its bar and its Cancel
  kSilent,   // no window ever visible
};

// The mode of a run from its whole command line: "@silent" anywhere in it,
// compared case-sensitively as "@test" is, gives kSilent (also beside
// "@passive"); else "@passive" gives kPassive; else kDefault. The keywords
// are found inside other words too ("x@silenty"), as "@test" is.
RunMode RunModeOfCommandLine(const std::u16string& commandLine);

// The mode's name as the log writes it: "default", "passive", "silent".
const char16_t* RunModeName(RunMode mode);

}  // namespace zelvra
