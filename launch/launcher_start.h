// The start of the downloaded launcher by the elevated run: started exactly
// as the file that was checked, in its own folder, with an environment of
// the system's and the user's names only.
//
// A path handed to the platform is parsed again when the process is made, and
// between the check and the start a program of the user could make it lead
// elsewhere (a folder on the way renamed, a volume mounted in a folder). So
// the launcher is started suspended, and resumed only when what runs is the
// file held open through the download folder: the started image's native
// name is the held file's (on Windows the image's name is fixed when it is
// mapped), and the launch path, opened again, is that very file (the same
// volume and file index; under Wine only this shows a swap, since Wine keeps
// the name a handle was opened with). Anything else is ended before it ran
// a single instruction.
#pragma once

#include <windows.h>

#include <string>

#include "framework/afxstring.h"
#include "platform/handle.h"

namespace zelvra {

// The error a start reports when what was started is not the held file.
constexpr DWORD kStartedImageNotHeldFile = ERROR_FILE_INVALID;

// What the elevated start gives the launcher besides its command line.
struct HeldLauncherStart {
  HANDLE heldFile = nullptr;   // the launcher's file, held open through the download folder
  CString currentFolder;       // the folder it starts in
  std::u16string environment;  // its environment block (zelvra::LauncherEnvironment)
};

// Starts the program at `path` hidden, suspended, with `parameters` after its
// quoted path and what `start` says; resumes it when it runs the image of
// `start.heldFile` (see above). NO_ERROR, with the running process in
// `process`; otherwise the system error of the failed start, or
// kStartedImageNotHeldFile after the suspended process was ended.
[[nodiscard]] DWORD StartHeldProgram(const CString& path,
                                     const CString& parameters,
                                     const HeldLauncherStart& start,
                                     UniqueHandle& process);

// The elevated launcher's environment (zelvra::LauncherEnvironment): the
// system's variables, the user's names from this process's environment, and
// `tempFolder` (ending with a backslash) as TEMP and TMP.
std::u16string ElevatedLauncherEnvironment(const CString& tempFolder);

// The folder the elevated launcher starts in: `downloadFolder` (ending with a
// backslash), or the system folder where that path is too long to be a
// current folder.
CString ElevatedLauncherFolder(const CString& downloadFolder);

}  // namespace zelvra
