// The environment the elevated run gives the launcher, and the folder it
// starts in.
//
// The launcher and everything it starts run with administrator rights, but
// the installer's own environment is the user's to set (HKCU\Environment,
// the program that started it): a variable that names a runtime's hook, a
// `windir` or `SystemRoot` that names the user's copy of the system, a user
// folder early in PATH would each run the user's code with those rights. So
// the launcher's block is built from an allowed list: the machine's
// variables from the system itself, the few that say whose installation it
// is from the installer's own, and the checked temporary folder.
#pragma once

#include <string>
#include <vector>

namespace zelvra {

// One variable the installer sets.
struct EnvironmentSetting {
  std::u16string name;
  std::u16string value;
};

// The pieces the launcher's environment is made of. Blocks are as the
// platform gives them: "NAME=value" entries, each ended by a NUL, the block
// ended by an empty entry (or by the end of the text).
struct LauncherEnvironmentSources {
  // The system's variables (CreateEnvironmentBlock without a user token:
  // only what administrators can write), or empty when it could not be had.
  std::u16string machine;
  // The installer's own environment.
  std::u16string inherited;
  // The system's variables the installer sets itself, replacing the block's:
  // SystemRoot, windir and ComSpec from the system's Windows folder.
  std::vector<EnvironmentSetting> machineSettings;
  // The system's variables the installer knows from elsewhere, given only
  // where the block lacks them: in the 32-bit build, ProgramW6432 and
  // CommonProgramW6432, the 64-bit Program Files folders.
  std::vector<EnvironmentSetting> machineDefaults;
  // The temporary folder as the installer checked it (the download folder's
  // parent), given as TEMP and TMP.
  std::u16string temp;
};

// The launcher's environment block: every variable of `machine`, then
// `machineSettings` in place of (or beside) the machine's of the same names,
// `machineDefaults` where neither has the name, then the user's names (USERPROFILE, APPDATA, USERNAME and the like)
// that `inherited` has, in its spelling, then TEMP and TMP; nothing else, and no per-drive entry ("=C:=C:\x"). Names
// compare as the platform compares them, without regard to case; each name appears once, in the order its first source
// gave it. The result ends with an empty entry: every entry's NUL and one more.
std::u16string LauncherEnvironment(const LauncherEnvironmentSources& sources);

// The folder the elevated launcher starts in: `downloadFolder` (ending with
// a backslash) where the platform takes it as a current folder, which limits
// it to MAX_PATH - 1 characters with that backslash; otherwise
// `systemFolder`.
std::u16string LauncherCurrentFolder(const std::u16string& downloadFolder, const std::u16string& systemFolder);

// The longest current folder the platform takes, with its final backslash.
constexpr size_t kMaxCurrentFolderChars = 259;

}  // namespace zelvra
