// CInstallerApp: the application object. It runs the install prompt modally
// and then lets the process end; no message loop of its own ever runs.
#pragma once

#include "framework/afxapp.h"

class CInstallerApp : public CWinApp {
 public:
  CInstallerApp() = default;
  ~CInstallerApp() override = default;

  // Shows the prompt and returns FALSE, which ends the process.
  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};
