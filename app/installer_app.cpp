#include "app/installer_app.h"

#include "framework/afxres.h"
#include "ui/installer_dlg.h"

BEGIN_MESSAGE_MAP(CInstallerApp, CWinApp)
  ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

BOOL CInstallerApp::InitInstance() {
  Enable3dControlsStatic();
  CInstallerDlg dialog(nullptr);
  dialog.m_strCmdLine = m_lpCmdLine;
  m_pMainWnd = &dialog;  // owns the message boxes and the download dialog
  dialog.DoModal();      // every way of closing the prompt ends the program
  return FALSE;
}
