// CDownloadWorkerOwner: the download dialog's side of its workers, and the
// one place that decides their lifetime. It starts a worker (created
// suspended, configured, resumed), is the only thing that knows whether one
// runs, cancels and joins it, and holds the block it shares with it.
//
// A worker runs from its start until its final message (WM_DOWNLOAD_DONE or
// WM_DOWNLOAD_FAILED) has been handled, or until it is cancelled; after that
// its reports are not the dialog's business any more. A cancelled worker may
// still be blocked in the network for a while (Wine cannot wake a blocked
// WinInet read); the owner waits for it briefly and then lets it go: the
// shared block outlives the dialog, and the dialog's window is taken out of
// it first, so that the worker reports to no one and touches nothing freed.
#pragma once

#include <windows.h>

#include <cstdint>

#include "download/download_sync.h"
#include "framework/afxstring.h"
#include "framework/afxwin.h"
#include "platform/handle.h"

class CHttpFileDownloader;

// What one worker is given.
struct DownloadWorkerSettings {
  CString folder;                 // the folder's path, ending with a backslash
  DWORD folderError = NO_ERROR;   // why the folder could not be made safe, if so
  HANDLE folderHandle = nullptr;  // the held folder, or null (not elevated)
  CString primaryUrl;
  CString secondaryUrl;
  BOOL secondaryFirst = FALSE;
  std::uint32_t maxFileSize = 0xFFFFFFFFu;
  // Whether the worker may show the system's dialog for proxy credentials
  // when the proxy answers 407 (once a run, and never unattended).
  bool mayAskForCredentials = false;
  // Proxy credentials the user gave earlier in the run, given to the
  // proxy when it asks again (empty: none).
  CString proxyUser;
  CString proxyPassword;
};

class CDownloadWorkerOwner {
 public:
  CDownloadWorkerOwner() = default;
  CDownloadWorkerOwner(const CDownloadWorkerOwner&) = delete;
  CDownloadWorkerOwner& operator=(const CDownloadWorkerOwner&) = delete;
  ~CDownloadWorkerOwner() { LetGo(); }

  // Starts a worker that reports to `owner`, on the owner's thread. Returns
  // false when no worker could be created. `localPath` receives the path of
  // the file the worker writes (empty without a folder or temporary path).
  bool Start(const CWnd& owner, const DownloadWorkerSettings& settings, CString* localPath);
  // Whether a worker runs: its reports are to be acted on.
  bool IsRunning() const { return m_pWorker != nullptr; }
  // The running worker's counters and outcome so far (zeros without one).
  DownloadSnapshot Snapshot() const;
  // The proxy credentials the running worker's user gave in its dialog,
  // taken out of the shared block (empty when none were given).
  void TakeProxyCredentials(CString* user, CString* password);
  // Called by the handler of the running worker's final message: from here
  // on the worker is gone for the owner (it deletes itself once the handler
  // returns).
  void Ended();
  // Asks the running worker to stop. False when it refuses (it has decided
  // to show why it failed; its final report comes as usual); true otherwise,
  // and no worker runs any more.
  bool Cancel();
  // After a cancel: waits up to `timeoutMs` for the worker's thread to end,
  // handling the messages it sends meanwhile (which are not acted on).
  void JoinCancelled(DWORD timeoutMs);
  // Before the owner's window goes: the window is taken out of the shared
  // block, so that a worker still going (or still in its final send)
  // reports to no one afterwards, and no worker counts as running.
  void LetGo();

  CHttpFileDownloader* m_pWorker = nullptr;  // the running worker, not owned; null when none runs
  CDownloadSyncRef m_sync;                   // the block of the worker started last
  zelvra::UniqueHandle m_thread;             // its thread, for the join after a cancel
};
