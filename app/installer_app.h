// CInstallerApp: the application object. It runs the install prompt modally
// and then lets the process end; no message loop of its own ever runs. One
// copy runs at a time in a logon session (app/single_instance.h), and the
// process's exit code says how the run ended (app/exit_code.h).
#pragma once

#include "app/exit_code.h"
#include "app/single_instance.h"
#include "framework/afxapp.h"

class CInstallerApp : public CWinApp {
 public:
  CInstallerApp() = default;
  ~CInstallerApp() override = default;

  // Shows the prompt and returns FALSE, which ends the process; a copy that
  // finds another one running hands over to it instead and shows nothing.
  BOOL InitInstance() override;
  // The process's exit code: how InitInstance's run ended.
  int ExitInstance() override { return m_nExitCode; }

  DECLARE_MESSAGE_MAP()

 private:
  int m_nExitCode = kExitInstallFailed;
  CSingleInstance m_instance;  // held until the process ends
};
