// The parameter string handed to the updater launcher.
#pragma once

#include <string>

namespace zelvra {

inline constexpr char kUpdaterProgram[] = "Zelvra.exe";
inline constexpr char kCommandLineKeyword[] = "@cmd=";
inline constexpr char kExecuteKeyword[] = "@execute=";
inline constexpr char kInstallKeyword[] = "@install";
inline constexpr char kTestAccessArgument[] = "@5204917738162";
inline constexpr char kTestModeKeyword[] = "@test";

// "@cmd=<commandLine>" "@execute=<program>" "@install", each quoted, blank
// separated, and in test mode the quoted access argument last. The command
// line goes in exactly as given: its own quotation marks are neither escaped
// nor doubled, and nothing is trimmed, because the launcher takes it verbatim.
std::string BuildUpdaterParameters(const std::string& commandLine, const std::string& program,
                                   bool testMode);

}  // namespace zelvra
