#include "app/installer_app.h"

#include "framework/afxres.h"
#include "ui/installer_dlg.h"

BEGIN_MESSAGE_MAP(CInstallerApp, CWinApp)
  ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

BOOL CInstallerApp::InitInstance() {
  if (!m_instance.Claim()) {
    m_instance.BringRunningCopyToFront();
    m_nExitCode = kExitAnotherCopyRuns;
    return FALSE;
  }
  Enable3dControlsStatic();
  CInstallerDlg dialog(nullptr);
  dialog.m_strCmdLine = m_lpCmdLine;
  m_pMainWnd = &dialog;  // owns the message boxes and the download dialog
  // Every way of closing the prompt ends the program; how the run went
  // decides the exit code.
  if (dialog.DoModal() == -1) {
    m_nExitCode = kExitInstallFailed;  // the prompt could not be created
  } else if (dialog.m_bStarted != 1) {
    m_nExitCode = kExitUserCancelled;  // confirmed cancel, also after a failed attempt
  } else {
    m_nExitCode = dialog.m_bLaunched == 1 ? kExitLauncherStarted : kExitInstallFailed;
  }
  return FALSE;
}
