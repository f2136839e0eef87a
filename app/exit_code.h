// How the process ends, as deployment tools (software distribution, scripts)
// read it: the codes of the Windows Installer convention, which they already
// map. Ends that the platform forces (an abort, a failed stack check) keep
// the platform's own codes.
#pragma once

#include <windows.h>

enum ExitCode : int {
  kExitLauncherStarted = ERROR_SUCCESS,                  // the launcher runs (whether or not its mutex came)
  kExitUserCancelled = ERROR_INSTALL_USEREXIT,           // 1602: ended by the user without a hand-off
  kExitInstallFailed = ERROR_INSTALL_FAILURE,            // 1603: the launcher, or the prompt, could not be started
  kExitAnotherCopyRuns = ERROR_INSTALL_ALREADY_RUNNING,  // 1618: handed over to the copy already running
};
