// CDownloadWorkerOwner: the download dialog's side of its workers, and the
// one place that decides their lifetime.
//
// How a download runs
// -------------------
// Three parties take part: the owner (on the dialog's thread, for the dialog's
// window), one worker per file (a CHttpFileDownloader, a thread of its own)
// and the block they share (a CDownloadSync, held by both by reference count,
// so that it outlives whichever of them goes first).
//
// - Start. The owner creates the worker suspended, gives it its settings and
//   the owner's window, takes a hold of its block and a handle of its thread,
//   and resumes it. From here on the worker *runs*: its reports are the
//   dialog's business.
// - Reports. The worker sends (never posts) WM_DOWNLOAD_STARTED once its file
//   is created, then exactly one final message: WM_DOWNLOAD_DONE or
//   WM_DOWNLOAD_FAILED (download_messages.h). Its counters and outcome are in
//   the block, which the owner reads without a lock (Snapshot). The handler of
//   the final message takes the outcome (TakeFinal); from then on no worker
//   runs, and the worker deletes itself as soon as that handler returns.
// - Boxes. A worker shows why it failed in a box of its own thread, owned by
//   the dialog, and the proxy's credentials dialog the same way. Whether it
//   shows one is decided under the block's lock, as a cancel is: a cancel
//   before the decision means no box and a report of DOWNLOAD_CANCELLED; once
//   the box is decided (or while the credentials dialog is up) a cancel is
//   refused, and the box's failure ends the dialog as any failure does.
// - Cancel. A cancel that is taken sets the block's flag, closes the local
//   file (nothing more is written; the partial file stays), aborts the
//   session and lets the folder go; the worker runs no more at once. The
//   worker tests the flag under the same lock right before it creates its
//   file and before each write, so nothing is written after a cancel. The
//   dialog hides at once, then joins the worker for at most 300 ms
//   (CDownloadDlg::CANCEL_JOIN_MS): an aborted call normally returns in
//   milliseconds, but Wine cannot wake a blocked WinInet read, which then
//   waits for its receive time-out.
// - Let go. Before the dialog's window goes, the owner takes the window out
//   of the block: a worker still going (blocked, or in its final send)
//   reports to no one afterwards and touches nothing of the dialog. Such a
//   worker ends by itself; its block goes with its last hold.
//
// Only the running worker is ever called or listened to; messages of a
// cancelled or ended one are handled and ignored.
#pragma once

#include <windows.h>

#include <cstdint>

#include "download/download_sync.h"
#include "framework/afxapp.h"
#include "framework/afxstring.h"
#include "framework/afxwin.h"
#include "platform/handle.h"

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
  // false when no worker could be created or started. `localPath` receives
  // the path of the file the worker writes (empty without a folder or
  // temporary path).
  bool Start(const CWnd& owner, const DownloadWorkerSettings& settings, CString* localPath);
  // Whether a worker runs: its reports are to be acted on.
  bool IsRunning() const { return m_running; }
  // The counters and outcome so far of the worker started last, until it
  // is let go (zeros then).
  DownloadSnapshot Snapshot() const;
  // For the handler of a final message: false when it came from a worker
  // that no longer runs (not to be acted on); else `outcome` receives what
  // the worker ended with, and no worker runs any more.
  bool TakeFinal(DownloadSnapshot* outcome);
  // The proxy credentials the user gave in the dialog of the worker started
  // last, taken out of the shared block (empty when none were given): for
  // the next worker, after TakeFinal said the worker asked.
  void TakeProxyCredentials(CString* user, CString* password);
  // Asks the running worker to stop. False when it refuses (it has decided
  // to show why it failed; its final report comes as usual); true otherwise,
  // and no worker runs any more.
  bool Cancel();
  // Waits up to `timeoutMs` for the thread of the worker started last to
  // end, handling the messages it sends meanwhile (a handler may start or let
  // go of workers). Once a worker: a later join returns at once. True when
  // the thread has ended.
  bool Join(DWORD timeoutMs);
  // Before the owner's window goes: the window is taken out of the shared
  // block, and no worker counts as running.
  void LetGo();
  // The thread of the worker started last (0 before the first), for finding
  // its windows.
  DWORD WorkerThreadId() const { return m_threadId; }

 protected:
  // Seams for tests: the class of the workers (a CHttpFileDownloader; null:
  // that one), and a resume that fails as ResumeThread can.
  const CRuntimeClass* m_pWorkerClass = nullptr;
  bool m_bFailResume = false;

 private:
  bool m_running = false;         // a worker runs (see IsRunning)
  CDownloadSyncRef m_sync;        // the block of the worker started last
  zelvra::UniqueHandle m_thread;  // its thread, until joined
  DWORD m_threadId = 0;
};
