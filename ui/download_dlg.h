// CDownloadDlg: the modal progress dialog that fetches the three updater
// files, one worker thread per file, into the download folder, and ends with
// IDOK when all are present, IDCANCEL after a failure or a cancel.
#pragma once

#include <vector>

#include "download/download_target.h"
#include "download/worker_owner.h"
#include "framework/afxwin.h"
#include "platform/handle.h"

// One queued file: the URL tried first and the one tried on a bad answer.
struct DownloadItem {
  CString primary;
  CString secondary;
};

class CDownloadDlg : public CDialog {
 public:
  // `useSecondary` goes to every worker unchanged (0: primary first);
  // `testMode` selects the development host's URLs.
  CDownloadDlg(CWnd* parent, BOOL useSecondary, bool testMode);
  ~CDownloadDlg() override;

  // The local path of the downloaded launcher; empty unless its download was
  // started. Meaningful after IDOK.
  CString GetLaunchPath() const { return m_strLaunchPath; }
  // The local paths of the files whose downloads were started, in order.
  // After IDOK: the three downloaded files.
  const std::vector<CString>& GetLocalPaths() const { return m_localPaths; }
  // Where the files are; elevated, the download folder is held until this
  // dialog is destroyed.
  const CDownloadTarget& GetDownloadTarget() const { return m_target; }

  // Never shown (an unattended "@silent" run): the dialog exists, for the
  // workers to report to, but the dialog manager's showing is refused.
  void SetHidden(bool hidden) { m_bHidden = hidden; }
  // After IDCANCEL: whether the downloads failed (a worker's failure, or no
  // download could start), rather than being cancelled by the user.
  bool Failed() const { return m_bFailed; }

  // Registers the progress bar's class before the dialog is created: only
  // this dialog needs the common controls, so the prompt starts without them.
  INT_PTR DoModal() override;

  // Creates the folder and every missing parent; TRUE when it exists then
  // (CreateFolderPath, download/download_target.h).
  BOOL CreateDirectoryPath(CString path);

  static constexpr UINT_PTR PROGRESS_TIMER_ID = 900;
  static constexpr UINT TIMER_PERIOD_MS = 100;
  // How long a cancel waits for the worker to let go of the connection and
  // the file (it is aborted, so this is normally milliseconds).
  static constexpr DWORD CANCEL_JOIN_MS = 300;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  LRESULT OnDownloadDone(WPARAM wParam, LPARAM lParam);
  LRESULT OnDownloadStarted(WPARAM wParam, LPARAM lParam);
  LRESULT OnDownloadFailed(WPARAM wParam, LPARAM lParam);
  void OnTimer(UINT_PTR timerId);
  LRESULT OnWindowPosChanging(WPARAM wParam, LPARAM lParam);

  DECLARE_MESSAGE_MAP()

 private:
  void StartNextDownload(DownloadItem item);
  // For a final message: false when it came from a worker that no longer
  // runs; else the worker's outcome is taken (the credentials its user gave,
  // for the next) and the bar's timer stopped.
  bool TakeFinal();
  // Ends the dialog with `result`; no worker reports to it any more.
  void End(int result);

  // The workers (see "How a download runs" in download/worker_owner.h).
  CDownloadWorkerOwner m_worker;
  std::vector<DownloadItem> m_queue;  // used as a stack: taken from the end
  BOOL m_bTestMode;
  BOOL m_bUseSecondary;
  bool m_bHidden = false;
  bool m_bFailed = false;
  bool m_bCredentialsAsked = false;  // a worker of this dialog showed the proxy credentials dialog
  // What the user gave in it, for the later files (their sessions are new).
  CString m_strProxyUser;
  CString m_strProxyPassword;
  CString m_strLaunchPath;
  CString m_strLocalPath;
  CProgressCtrl m_progress;
  std::vector<CString> m_localPaths;  // every m_strLocalPath, in order

  // Where the files go, chosen as the dialog starts. Elevated, the download
  // folder (and %TEMP%) is held open until the dialog is destroyed (after
  // the launch), so that nobody can rename, replace or re-point it in
  // between.
  CDownloadTarget m_target;
};
