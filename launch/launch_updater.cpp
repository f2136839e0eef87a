// The hand-off: the downloads, the start of the downloaded launcher, and the
// wait for the launcher's named mutex.
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "core/updater_parameters.h"
#include "framework/afxapp.h"
#include "framework/handle.h"
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

}  // namespace

BOOL CInstallerDlg::LaunchUpdater() {
  AFX_ASSERT_UI_THREAD();
  const CString program = AfxWide(zelvra::kUpdaterProgram);
  CDownloadDlg downloads(nullptr, 0, m_bTestMode == 1);
  if (downloads.DoModal() != IDOK) return FALSE;  // the download dialog has told the user

  // A build that pins the signers of the update files checks them now and
  // holds them unchanged until the launcher has started. Files that fail
  // are all deleted, and the prompt returns to its first state.
  CUpdateFileCheck check;
  if (UpdateSignersPinned() && !check.Verify(downloads.GetLocalPaths())) {
    check.DeleteFiles();
    ShowAppMessage(IDS_UPDATE_NOT_VERIFIED, nullptr, MB_OK);
    return FALSE;
  }

  const CString launchPath = downloads.GetLaunchPath();
  const CString parameters(zelvra::BuildUpdaterParameters(m_strCmdLine.u16(), program.u16(), m_bTestMode != 0));

  SHELLEXECUTEINFOW launch;
  std::memset(&launch, 0, sizeof(launch));
  launch.cbSize = sizeof(launch);
  launch.fMask = SEE_MASK_NOCLOSEPROCESS;
  launch.hwnd = nullptr;
  launch.lpVerb = kLaunchVerb;
  launch.lpFile = launchPath;
  launch.lpParameters = parameters;
  launch.lpDirectory = nullptr;  // the launcher starts in the installer's current folder
  launch.nShow = SW_HIDE;
  const BOOL launched = ::ShellExecuteExW(&launch);
  check.Release();
  if (launched) {
    const afx::UniqueHandle process(launch.hProcess);  // nothing waits on it; closed after the wait
    WaitForUpdaterMutex(kUpdaterMutexName);
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
    const afx::UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, name));
    // A mutex that denies us access exists all the same.
    if (mutex || ::GetLastError() == ERROR_ACCESS_DENIED) return;
  }
}
