// The hand-off after the downloads: the check of the downloaded files (in a
// build that pins their signers), the start of the downloaded launcher, and
// the wait for its named mutex. It shows nothing: the prompt tells the user
// what the result means.
#pragma once

#include <windows.h>

#include <vector>

#include "download/download_target.h"
#include "framework/afxstring.h"

// What the hand-off did.
enum class HandOffOutcome {
  kLaunched,          // the launcher runs; mutexProbes tells when its mutex was seen
  kLaunchFailed,      // its start failed with launchError
  kRefusedFolder,     // elevated, and the download folder is not held: nothing started
  kRefusedSignature,  // the files' signatures were refused; the files are deleted
  kRefusedVersion,    // the launcher's version block was refused; the files are deleted
};

struct HandOffResult {
  HandOffOutcome outcome = HandOffOutcome::kLaunchFailed;
  DWORD launchError = NO_ERROR;  // kLaunchFailed: the system's error
  int mutexProbes = 0;           // kLaunched: the probes until the mutex was seen, 0 when it never came
};

// Checks the downloaded files (`paths`, every one in order, the launcher's
// at `launchPath`, where `target` put them), starts the launcher with the
// parameters made from the installer's `commandLine` and waits for its
// mutex; every step is logged.
HandOffResult LaunchUpdater(const std::vector<CString>& paths,
                            const CString& launchPath,
                            const CDownloadTarget& target,
                            const CString& commandLine,
                            bool testMode);

// Waits (in steps of zelvra::kMutexProbeIntervalMs, at most
// zelvra::kMutexProbeLimit probes) until the named mutex exists; returns the
// probes it took, 0 when the mutex never came.
int WaitForUpdaterMutex(const CString& name);
