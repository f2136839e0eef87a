// CHttpFileDownloader: fetches one file over HTTP into a local folder on a
// thread of its own, trying a primary URL first and a secondary URL when the
// primary answers badly, and reports to its owner window by the messages of
// download_messages.h.
//
// The owner creates it with AfxBeginThread (suspended), calls
// SetDownloadFolder, SetUrls and SetOwner and resumes the thread. The
// object deletes itself when its thread ends, which is right after the owner's
// handler of the final message (WM_DOWNLOAD_DONE or WM_DOWNLOAD_FAILED) has
// returned.
#pragma once

#include <atomic>
#include <cstdint>

#include "download/download_messages.h"
#include "framework/afxapp.h"
#include "framework/afxfile.h"
#include "framework/afxinet.h"
#include "framework/afxstring.h"

class CHttpFileDownloader : public CWinThread {
  DECLARE_DYNCREATE(CHttpFileDownloader)

 protected:
  CHttpFileDownloader();  // created by AfxBeginThread only

 public:
  ~CHttpFileDownloader() override;

  // The folder that receives the file; it ends with a backslash.
  // `folderError`, when not NO_ERROR, is why the owner could not make the
  // folder safe to write into: the run then fails to create its file with
  // that error, as it would for a folder that cannot be made at all.
  // `folderHandle`, when given, is that folder held open by the owner (for
  // the whole run): the file is then created through it, replacing any file
  // of its name, and `folder` only names it in messages.
  void SetDownloadFolder(const CString& folder, DWORD folderError = NO_ERROR, HANDLE folderHandle = nullptr);
  // Stores the URLs and the first-attempt flag and returns the local path:
  // the folder followed by the last path segment of the primary URL. Without
  // a folder the system's temporary folder is used; when that cannot be had
  // the result is empty.
  CString SetUrls(const CString& primary, const CString& secondary, BOOL secondaryFirst);
  // The largest file the run takes, in bytes (without a call: what the
  // 32-bit counters can count). An answer that announces a longer one is a
  // bad answer, as one with a status other than 200 is; a body that runs
  // past it ends the run as a body cut short does, and no piece that would
  // take the file past it is written. Called before the worker is resumed.
  void SetMaxFileSize(std::uint32_t bytes) { m_dwMaxFileSize = bytes; }
  // Makes `owner`'s window the worker's main window: the three messages go
  // to it and the worker's message boxes are owned by it. Called on the
  // owner's thread before the worker is resumed; the worker keeps the window
  // handle, never the owner object, which may be gone before the run ends
  // (after a cancel).
  void SetOwner(const CWnd* owner);
  // Asks the run to stop, from the owner's thread. The local file is closed
  // at once (nothing more is written to it, and a new run may create it
  // again), and the network call the run is blocked in is aborted where the
  // platform supports that; the run then reports DOWNLOAD_CANCELLED without a
  // message box. Returns false, and changes nothing, when the run has
  // already decided to show why it failed: that box comes, and the run ends
  // with its failure as usual. Only valid while the worker's thread runs.
  bool Cancel();

  BOOL InitInstance() override { return TRUE; }
  int Run() override;
  int ExitInstance() override { return CWinThread::ExitInstance(); }

  // Shared with the owner's timer (read) and Cancel (write), without a lock.
  std::atomic<std::uint32_t> m_dwContentLength{0};  // Content-Length, 0 when missing or unreadable
  std::atomic<std::uint32_t> m_dwBytesReceived{0};  // body bytes received in this run
  BOOL m_bDone = FALSE;                             // the whole body is received and the file closed
  CString m_strLocalPath;
  CString m_strPrimaryUrl;
  std::int32_t m_nStatus = DOWNLOAD_NONE;
  CString m_strSecondaryUrl;
  CString m_strDownloadFolder;
  std::atomic<std::int32_t> m_bCancel{0};
  BOOL m_bSecondaryFirst = FALSE;

  // Time-outs of every request, in milliseconds: a server that accepts the
  // connection and then says nothing, or stalls in the middle of the body,
  // ends the run through the error path after at most this long without data.
  static constexpr DWORD kConnectTimeoutMs = 15000;
  static constexpr DWORD kSendTimeoutMs = 30000;
  static constexpr DWORD kReceiveTimeoutMs = 30000;

  DECLARE_MESSAGE_MAP()

 protected:
  // Called on the worker's thread right before the run decides whether a
  // failure is still shown in a box. Does nothing; a test's worker cancels
  // here, at exactly that moment.
  virtual void BeforeErrorBoxDecision() {}

 private:
  // Decides, under the run lock, whether the failure about to be reported is
  // shown in a box: false when the owner has cancelled (no box; the run ends
  // as a cancelled one), else true, after which Cancel is refused.
  bool ErrorBoxWanted();
  // Steps from opening the session to the final message; framework
  // exceptions escape to Run.
  int Download();
  // The HTTP file of the attempt (primary, or secondary when `useSecondary`)
  // that answered 200 with no Content-Length above the limit, and that length
  // (0: none) in `contentLength`; or null once the failure has been reported.
  CHttpFile* OpenUrlWithFallback(CInternetSession& session, BOOL useSecondary, std::uint32_t* contentLength);
  // The Content-Length of the answer: 0 when missing or unreadable,
  // zelvra::kContentLengthBeyond32Bits when it does not fit in 32 bits.
  std::uint64_t QueryContentLength(CHttpFile* file);
  // Ends the run for an exception: a message box, unless the owner cancelled.
  int ReportException(CException* error);
  void Notify(UINT message, WPARAM wParam);

  // The session and the local file of the run, for Cancel to abort; guarded
  // by m_runLock, which a write of a piece also holds.
  friend class CancellableRun;
  CRITICAL_SECTION m_runLock;
  CInternetSession* m_pSession = nullptr;
  CFile* m_pLocalFile = nullptr;
  bool m_bErrorBoxDecided = false;  // guarded by m_runLock: a cancel comes too late
  DWORD m_dwFolderError = NO_ERROR;  // see SetDownloadFolder
  std::uint32_t m_dwMaxFileSize = 0xFFFFFFFFu;  // see SetMaxFileSize
  HANDLE m_hFolder = nullptr;        // the owner's, not closed here
  CString m_strFileName;             // the local file's name in the folder
  // The owner window, as a handle taken by SetOwner; m_pMainWnd points here.
  CWnd m_wndOwner;
};
