// The hand-off: the downloads, the start of the downloaded launcher, and the
// wait for the launcher's named mutex.
#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "core/launch_environment.h"
#include "core/updater_parameters.h"
#include "framework/afxapp.h"
#include "platform/elevation.h"
#include "platform/handle.h"
#include "launch/update_trust.h"
#include "res/resource.h"
#include "ui/download_dlg.h"
#include "ui/installer_dlg.h"
#include "ui/show_app_message.h"

namespace {

constexpr wchar_t kLaunchVerb[] = L"open";
constexpr wchar_t kUpdaterMutexName[] = L"Zelvra_CallUpdater";
constexpr DWORD kPollIntervalMs = 200;
constexpr int kPollLimit = 30;

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

// This program's environment without the variables through which a runtime
// would load code the user names (zelvra::LauncherEnvironment), for the
// elevated launcher: the environment is the user's to set.
std::u16string ElevatedLauncherEnvironment() {
  wchar_t* own = ::GetEnvironmentStringsW();
  if (own == nullptr) return zelvra::LauncherEnvironment(std::u16string());  // none rather than unfiltered
  const wchar_t* end = own;
  while (*end != L'\0') end += std::wcslen(end) + 1;
  std::u16string environment = zelvra::LauncherEnvironment(
      std::u16string(reinterpret_cast<const char16_t*>(own), static_cast<size_t>(end - own)));
  ::FreeEnvironmentStringsW(own);
  return environment;
}

// Starts the launcher hidden, in the installer's current folder, with the
// parameters after its quoted path (as the shell's "open" of a program
// does). NO_ERROR when it runs, with its process in `process`; otherwise the
// system error code of the failed start.
//
// Elevated, the program is started directly, by the path that was checked,
// and nothing is looked up: the shell would look the "open" verb up in the
// merged class registry, where a per-user "exefile" entry, which any program
// of the user can write, could run its own command in the launcher's place
// with this program's rights. Not elevated, there is nothing to gain that
// way, and the shell's start is kept (it can ask for elevation where the
// launcher's manifest requires it, and reports a broken file itself).
[[nodiscard]] DWORD StartLauncher(const CString& path, const CString& parameters, zelvra::UniqueHandle& process) {
  if (zelvra::IsProcessElevated()) {
    std::u16string environment = ElevatedLauncherEnvironment();
    std::wstring commandLine = L"\"" + path.str() + L"\" " + parameters.str();
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(path, &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          &environment[0], nullptr, &startup, &started)) {
      return LastErrorOr(ERROR_FILE_NOT_FOUND);
    }
    ::CloseHandle(started.hThread);  // not needed: the process handle is kept
    process.Reset(started.hProcess);
    return NO_ERROR;
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

BOOL CInstallerDlg::LaunchUpdater() {
  AFX_ASSERT_UI_THREAD();
  const CString program = AfxWide(zelvra::kUpdaterProgram);
  CDownloadDlg downloads(nullptr, 0, m_bTestMode == 1);
  if (downloads.DoModal() != IDOK) return FALSE;  // the download dialog has told the user

  // A build that pins the signers of the update files checks them now and
  // holds them unchanged until the launcher has started; with a floor for
  // the launcher, the held launcher's version block must name it and reach
  // the floor, so that an older signed launcher, or another signed program
  // under its name, is not started either. Only the launcher is held to the
  // floor: it is the one program this installer starts, and what it starts
  // is its own concern. Files that fail are all deleted, and the prompt
  // returns to its first state.
  CUpdateFileCheck check;
  if (UpdateSignersPinned() && (!check.Verify(downloads.GetLocalPaths(), downloads.GetFolderHandle()) ||
                                !check.LauncherMeetsFloor(downloads.GetLaunchPath()))) {
    check.DeleteFiles();
    ShowAppMessage(IDS_UPDATE_NOT_VERIFIED, nullptr, MB_OK);
    return FALSE;
  }

  const CString launchPath = downloads.GetLaunchPath();
  const CString parameters(zelvra::BuildUpdaterParameters(m_strCmdLine.u16(), program.u16(), m_bTestMode != 0));

  zelvra::UniqueHandle process;
  // The box below says that the launcher could not be started; the
  // system's reason has no place in it.
  const bool launched = StartLauncher(launchPath, parameters, process) == NO_ERROR;
  m_bLaunched = launched ? 1 : 0;
  check.Release();
  if (launched) {
    WaitForUpdaterMutex(kUpdaterMutexName);  // the process handle is closed after the wait
  } else {
    ShowAppMessage(IDS_RUN_UPDATER_FAILED, nullptr, MB_OK);
  }
  return TRUE;
}

void CInstallerDlg::WaitForUpdaterMutex(CString name) {
  // The probe only opens the mutex by name. Creating it, even for a moment,
  // could make a launcher that starts at that instant believe that another
  // copy of itself is already running.
  for (int probes = 0; probes < kPollLimit; ++probes) {
    ::Sleep(kPollIntervalMs);
    const zelvra::UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, name));
    // A mutex that denies us access exists all the same.
    if (mutex || ::GetLastError() == ERROR_ACCESS_DENIED) return;
  }
}
