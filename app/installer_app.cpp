#include "app/installer_app.h"

#include "core/number_text.h"
#include "core/run_mode.h"
#include "framework/afxres.h"
#include "log/install_log.h"
#include "platform/elevation.h"
#include "res/resource.h"
#include "ui/installer_dlg.h"

BEGIN_MESSAGE_MAP(CInstallerApp, CWinApp)
  ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

BOOL CInstallerApp::InitInstance() {
  const CString commandLine(m_lpCmdLine);
  const zelvra::RunMode mode = zelvra::RunModeOfCommandLine(commandLine.u16());
  const bool unattended = mode != zelvra::RunMode::kDefault;
  CInstallLog& log = CInstallLog::Get();
  if (!m_instance.Claim()) {
    // An unattended copy shows nothing, not even another copy's window, and
    // leaves the running copy's log alone: a line to its standard error only.
    if (unattended) {
      log.Start();
      log.NoFile();
      log.Write(L"another copy of the installer runs; exit code " + CString(zelvra::DecimalText(kExitAnotherCopyRuns)));
    } else {
      m_instance.BringRunningCopyToFront();
    }
    m_nExitCode = kExitAnotherCopyRuns;
    return FALSE;
  }
  if (unattended) {
    log.Start();
    log.Write(CString(L"start: Zelvra(TM) Installer "
                      L"" ZELVRA_VERSION_TEXT ", mode ") +
              CString(AfxWide(zelvra::RunModeName(mode))) +
              (zelvra::IsProcessElevated() ? L", elevated" : L", not elevated"));
  }
  Enable3dControlsStatic();
  CInstallerDlg dialog(nullptr);
  dialog.m_strCmdLine = m_lpCmdLine;
  dialog.m_runMode = mode;
  m_pMainWnd = &dialog;  // owns the message boxes and the download dialog
  // Every way of closing the prompt ends the program; how the run went
  // decides the exit code.
  if (dialog.DoModal() == -1) {
    m_nExitCode = kExitInstallFailed;  // the prompt could not be created
  } else if (dialog.m_bStarted != 1) {
    // Default: the confirmed cancel, also after a failed attempt. Unattended:
    // the user's Cancel of the download dialog, else the failure.
    m_nExitCode = unattended && dialog.m_bFailed == 1 ? kExitInstallFailed : kExitUserCancelled;
  } else {
    m_nExitCode = dialog.m_bLaunched == 1 ? kExitLauncherStarted : kExitInstallFailed;
  }
  log.Write(L"exit code " + CString(zelvra::DecimalText(static_cast<unsigned>(m_nExitCode))));
  return FALSE;
}
