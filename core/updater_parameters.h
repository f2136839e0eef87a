// The parameter string handed to the updater launcher.
#pragma once

#include <string>

namespace zelvra {

inline constexpr char16_t kUpdaterProgram[] = u"Zelvra.exe";
inline constexpr char16_t kCommandLineKeyword[] = u"@cmd=";
inline constexpr char16_t kExecuteKeyword[] = u"@execute=";
inline constexpr char16_t kInstallKeyword[] = u"@install";
inline constexpr char16_t kTestAccessArgument[] = u"@5204917738162";
inline constexpr char16_t kTestModeKeyword[] = u"@test";

// After starting the launcher, the installer looks for the launcher's mutex
// every kMutexProbeIntervalMs, at most kMutexProbeLimit times (6 s in all).
inline constexpr unsigned kMutexProbeIntervalMs = 200;
inline constexpr int kMutexProbeLimit = 30;

// "@cmd=<commandLine>" "@execute=<program>" "@install", each quoted, blank
// separated, and in test mode the quoted access argument last. The command
// line goes in exactly as given: its own quotation marks are neither escaped
// nor doubled, and nothing is trimmed, because the launcher takes it verbatim
// (characters outside the basic plane included, as their surrogate pairs).
std::u16string BuildUpdaterParameters(const std::u16string& commandLine, const std::u16string& program, bool testMode);

}  // namespace zelvra
