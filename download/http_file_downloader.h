// CHttpFileDownloader: fetches one file over HTTP into a local folder on a
// thread of its own, trying a primary URL first and a secondary URL when the
// primary answers badly, and reports to its owner window by the messages of
// download_messages.h. CDownloadWorkerOwner starts, cancels and joins it:
// see "How a download runs" in download/worker_owner.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "download/download_messages.h"
#include "download/download_sync.h"
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
  // that error, as it would for a folder that cannot be made at all, before
  // any request.
  // `folderHandle`, when given, is that folder held open by the owner: the
  // worker holds a duplicate of it for its whole run, creates the file
  // through it, replacing any file of its name, and `folder` only names it in
  // messages. (A duplicate that cannot be made is a folder error.)
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
  // Whether the run may show the system's dialog for proxy credentials
  // (without a call: no). With it, an answer 407 (the proxy asks who the
  // user is) brings the dialog up on the worker's thread, owned by the
  // owner's window and decided as a box is (a cancel before it means none);
  // credentials given, the same request goes out again, and WinInet keeps
  // them for what follows. Cancelled, or 407 again, the file's attempts end
  // with DOWNLOAD_HTTP_NOT_OK at once: the secondary is not asked. Without
  // it a 407 is a bad answer like any other. Called before the worker is
  // resumed.
  void SetMayAskForCredentials(bool may) { m_bMayAskForCredentials = may; }
  // Credentials the user gave the proxy earlier in the run: a 407 gets them,
  // and the request goes out once more, before any dialog; 407 again, the
  // file's attempts end as after a dialog.
  void SetProxyCredentials(const CString& user, const CString& password) {
    m_strProxyUser = user;
    m_strProxyPassword = password;
  }
  // Makes `owner`'s window the worker's main window: the three messages go
  // to it and the worker's message boxes are owned by it. Called on the
  // owner's thread before the worker is resumed; the worker keeps the window
  // handle (in the shared block, where the owner clears it), never the owner
  // object.
  void SetOwner(const CWnd* owner);
  BOOL InitInstance() override { return TRUE; }
  int Run() override;
  int ExitInstance() override { return CWinThread::ExitInstance(); }

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
  // The block this worker shares with its owner.
  CDownloadSync* Sync() const { return m_sync.Get(); }

 private:
  // Shows `text` (a failure's description after its "Error1:"/"Error2:") in
  // the worker's box, unless the owner has cancelled; false then, and no box
  // was shown.
  bool ShowErrorBox(const CString& text);
  // Steps from opening the session to the final message; the framework's
  // exceptions escape to Run.
  int Download();
  // The HTTP file of the first attempt (primary, or secondary when
  // `secondaryOnly`, then the secondary) that answered 200 with no
  // Content-Length above the limit, and that length (0: none) in
  // `contentLength`; or null once the failure has been reported.
  CHttpFile* OpenUrlWithFallback(CInternetSession& session, BOOL secondaryOnly, std::uint32_t* contentLength);
  // The Content-Length of the answer: 0 when missing or unreadable,
  // zelvra::kContentLengthBeyond32Bits when it does not fit in 32 bits.
  std::uint64_t QueryContentLength(CHttpFile* file);
  // Shows the proxy credentials dialog for `file`'s 407 and sends the
  // request again when the user gave credentials, which the shared block
  // then holds for the owner; false when the dialog was cancelled, or not
  // shown because the owner cancelled.
  bool AskForCredentials(CHttpFile& file);
  // Answers `file`'s 407 with `user` and `password` and sends the request
  // again.
  void AnswerProxy(CHttpFile& file, const CString& user, const CString& password);
  // The scheme the proxy's Proxy-Authenticate header asks for ("Basic",
  // "NTLM", ...), or "an unnamed scheme".
  static CString ProxyAuthScheme(CHttpFile& file);
  // Ends the run for a local file that cannot be created: its "Error1:" box,
  // unless the owner cancelled.
  int ReportFileError(const CFileException& error);
  // Ends the run for `error`: its "Error2:" box, unless the owner cancelled.
  int ReportError(const CException& error);
  // Ends the run with `status`: keeps it and reports WM_DOWNLOAD_FAILED.
  int Fail(DownloadStatus status);
  void Notify(UINT message, WPARAM wParam);
  friend class CDownloadWorkerOwner;  // holds the block, gives the settings

  CDownloadSyncRef m_sync;  // shared with the owner
  CString m_strLocalPath;
  CString m_strPrimaryUrl;
  CString m_strSecondaryUrl;
  CString m_strDownloadFolder;
  BOOL m_bSecondaryFirst = FALSE;

  DWORD m_dwFolderError = NO_ERROR;             // see SetDownloadFolder
  std::uint32_t m_dwMaxFileSize = 0xFFFFFFFFu;  // see SetMaxFileSize
  bool m_bMayAskForCredentials = false;         // see SetMayAskForCredentials
  CString m_strProxyUser;                       // see SetProxyCredentials
  CString m_strProxyPassword;
  CString m_strFileName;  // the local file's name in the folder
  // The owner window for the worker's boxes; m_pMainWnd points here.
  CWnd m_wndOwner;
};
