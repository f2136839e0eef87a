#include "launch/launch_updater.h"

#include <shellapi.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "core/download_paths.h"
#include "core/number_text.h"
#include "core/updater_parameters.h"
#include "framework/afxapp.h"
#include "launch/launcher_start.h"
#include "launch/update_trust.h"
#include "log/install_log.h"
#include "platform/handle.h"
#include "platform/held_folder.h"

namespace {

constexpr wchar_t kLaunchVerb[] = L"open";
constexpr wchar_t kUpdaterMutexName[] = L"Zelvra_CallUpdater";
// StartLauncher's answer when an elevated run has no held folder to start from.
constexpr DWORD kFolderNotHeld = ERROR_INVALID_HANDLE;

#ifndef _WIN64
// The launch record of the 32-bit release build, as the platform expects it.
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "SHELLEXECUTEINFOW of the x86 build");
#endif

// The calling thread's last error, or `fallback` when the failed call set
// none.
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = ::GetLastError();
  return error != NO_ERROR ? error : fallback;
}

// Starts the launcher hidden, with the parameters after its quoted path (as
// the shell's "open" of a program does). NO_ERROR when it runs, with its
// process in `process`; otherwise the system error code of the failed start.
//
// Elevated, the program is started directly, as the file that was checked,
// and nothing is looked up (zelvra::StartHeldProgram): the shell would look
// the "open" verb up in the merged class registry, where a per-user
// "exefile" entry, which any program of the user can write, could run its
// own command in the launcher's place with this program's rights. It starts
// in its own folder, which then cannot be renamed while it (or a child that
// inherits the folder) runs, so that what it later does by path in its
// folder stays there; a relative path in its command line resolves there
// too. Its environment holds the system's variables and the user's names
// only (zelvra::LauncherEnvironment). `check` holds the files of a pinned
// build; otherwise the launcher is opened through the held folder here and
// held until it runs.
//
// Not elevated, there is nothing to gain that way, and the shell's start is
// kept: in the installer's current folder, with its environment (it can ask
// for elevation where the launcher's manifest requires it, and reports a
// broken file itself).
[[nodiscard]] DWORD StartLauncher(const CString& path,
                                  const CString& parameters,
                                  const CDownloadTarget& target,
                                  const CUpdateFileCheck& check,
                                  zelvra::UniqueHandle& process) {
  if (target.Elevated()) {
    const CDownloadFolder& folder = target.Folder();
    if (!folder.IsHeld()) return kFolderNotHeld;
    zelvra::HeldLauncherStart start;
    zelvra::UniqueHandle opened;
    start.heldFile = check.HeldFile(path);
    if (start.heldFile == nullptr) {
      HANDLE file = nullptr;
      const DWORD error =
          zelvra::OpenInFolder(folder.Handle(), AfxWide(zelvra::kLaunchFileName), GENERIC_READ, FILE_SHARE_READ,
                               FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr, &file);
      if (error != NO_ERROR) return error;
      opened.Reset(file);
      start.heldFile = file;
    }
    start.currentFolder = zelvra::ElevatedLauncherFolder(folder.Path());
    start.environment = zelvra::ElevatedLauncherEnvironment(folder.TempPath());
    return zelvra::StartHeldProgram(path, parameters, start, process);
  }
  SHELLEXECUTEINFOW launch;
  std::memset(&launch, 0, sizeof(launch));
  launch.cbSize = sizeof(launch);
  launch.fMask = SEE_MASK_NOCLOSEPROCESS;
  launch.hwnd = nullptr;
  launch.lpVerb = kLaunchVerb;
  launch.lpFile = path;
  launch.lpParameters = parameters;
  launch.lpDirectory = nullptr;  // the launcher starts in the installer's current folder
  launch.nShow = SW_HIDE;
  if (!::ShellExecuteExW(&launch)) return LastErrorOr(ERROR_FILE_NOT_FOUND);
  process.Reset(launch.hProcess);
  return NO_ERROR;
}

}  // namespace

HandOffResult LaunchUpdater(const std::vector<CString>& paths,
                            const CString& launchPath,
                            const CDownloadTarget& target,
                            const CString& commandLine,
                            bool testMode) {
  CInstallLog& log = CInstallLog::Get();
  HandOffResult result;
  // A build that pins the signers of the update files checks them now and
  // holds them unchanged until the launcher has started; with a floor for
  // the launcher, the held launcher's version block must name it and reach
  // the floor, so that an older signed launcher, or another signed program
  // under its name, is not started either. Only the launcher is held to the
  // floor: it is the one program this installer starts, and what it starts
  // is its own concern. Files that fail are all deleted.
  CUpdateFileCheck check;
  auto refuse = [&](HandOffOutcome outcome, const wchar_t* why) {
    check.DeleteFiles();
    log.Write(CString(L"check: ") + why + L"; the files were removed");
    result.outcome = outcome;
    return result;
  };
  if (UpdateSignersPinned()) {
    if (!check.Verify(paths, target.Folder().Handle())) {
      return refuse(HandOffOutcome::kRefusedSignature, L"the update files' signatures were refused");
    }
    if (!check.LauncherMeetsFloor(launchPath)) {
      return refuse(HandOffOutcome::kRefusedVersion,
                    L"the launcher's version block is missing, names another program or is below the build's floor");
    }
    log.Write(L"check: the update files carry valid signatures of pinned signers, and the launcher meets the floor");
  } else {
    log.Write(L"check: this build pins no signers; the update files are not checked");
  }

  const CString program = AfxWide(zelvra::kUpdaterProgram);
  const CString parameters(zelvra::BuildUpdaterParameters(commandLine.u16(), program.u16(), testMode));
  zelvra::UniqueHandle process;
  const DWORD error = StartLauncher(launchPath, parameters, target, check, process);
  check.Close();
  if (error != NO_ERROR) {
    log.Write(L"launch: " + launchPath + L" could not be started: system error " + CString(zelvra::DecimalText(error)));
    result.outcome = error == kFolderNotHeld ? HandOffOutcome::kRefusedFolder : HandOffOutcome::kLaunchFailed;
    result.launchError = error;
    return result;
  }
  log.Write(L"launch: started " + launchPath);
  result.outcome = HandOffOutcome::kLaunched;
  result.mutexProbes = WaitForUpdaterMutex(kUpdaterMutexName);  // the process handle is closed after the wait
  log.Write(result.mutexProbes > 0
                ? CString(L"mutex: seen after ") +
                      CString(zelvra::DecimalText(static_cast<unsigned>(result.mutexProbes))) + L" probes"
                : CString(L"mutex: not seen"));
  return result;
}

int WaitForUpdaterMutex(const CString& name) {
  // The probe only opens the mutex by name. Creating it, even for a moment,
  // could make a launcher that starts at that instant believe that another
  // copy of itself is already running.
  for (int probes = 1; probes <= zelvra::kMutexProbeLimit; ++probes) {
    ::Sleep(zelvra::kMutexProbeIntervalMs);
    const zelvra::UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, name));
    // A mutex that denies us access exists all the same.
    if (mutex || ::GetLastError() == ERROR_ACCESS_DENIED) return probes;
  }
  return 0;
}
