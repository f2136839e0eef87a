#include "ui/download_dlg.h"

#include "core/download_paths.h"
#include "core/progress.h"
#include "download/download_messages.h"
#include "framework/afxapp.h"
#include "log/install_log.h"
#include "res/resource.h"
#include "ui/show_app_message.h"

BEGIN_MESSAGE_MAP(CDownloadDlg, CDialog)
  ON_MESSAGE(WM_DOWNLOAD_DONE, OnDownloadDone)
  ON_MESSAGE(WM_DOWNLOAD_STARTED, OnDownloadStarted)
  ON_MESSAGE(WM_DOWNLOAD_FAILED, OnDownloadFailed)
  ON_WM_TIMER()
  ON_MESSAGE(WM_WINDOWPOSCHANGING, OnWindowPosChanging)
END_MESSAGE_MAP()

namespace {

CString LoadText(UINT id) {
  CString text;
  text.LoadString(id);
  return text;
}

}  // namespace

CDownloadDlg::CDownloadDlg(CWnd* parent, BOOL useSecondary, bool testMode)
    : CDialog(IDD_DOWNLOAD_DIALOG, parent), m_bTestMode(testMode ? TRUE : FALSE), m_bUseSecondary(useSecondary) {}

CDownloadDlg::~CDownloadDlg() {
  m_strProxyUser.Wipe();
  m_strProxyPassword.Wipe();
}

INT_PTR CDownloadDlg::DoModal() {
  AfxInitCommonControls();
  return CDialog::DoModal();
}

void CDownloadDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_PROGRESS, m_progress);
}

BOOL CDownloadDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_progress.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(zelvra::kProgressMin, zelvra::kProgressMax));

  struct File {
    const wchar_t* name;
    UINT testUrl, primaryBase, secondaryBase;
  };
  // Taken from the end: the library first, the launcher last.
  static const File kFiles[] = {
      {L"ZVCallUpdater.exe", IDS_DEV_URL_LAUNCHER, IDS_PRIMARY_BASE, IDS_SECONDARY_BASE},
      {L"ZVUpdater.exe", IDS_DEV_URL_UPDATER, IDS_PRIMARY_BASE, IDS_SECONDARY_BASE},
      {L"ZVUpdaterRes.dll", IDS_DEV_URL_UPDATER_RES, IDS_PRIMARY_EDITION_BASE, IDS_SECONDARY_EDITION_BASE},
  };
  for (const File& file : kFiles) {
    if (m_bTestMode) {
      const CString url = LoadText(file.testUrl);
      m_queue.push_back(DownloadItem{url, url});
    } else {
      m_queue.push_back(DownloadItem{LoadText(file.primaryBase) + file.name, LoadText(file.secondaryBase) + file.name});
    }
  }
  if (!m_target.Choose()) {
    // No temporary folder. With the prompt, the dialog stays open, without a
    // worker, until the user cancels. Unattended, nobody would: the run fails.
    CInstallLog& log = CInstallLog::Get();
    if (log.IsStarted()) {
      log.Write(L"no temporary folder: the downloads cannot start");
      m_bFailed = true;
      End(IDCANCEL);
    }
    return TRUE;
  }
  const DownloadItem first = m_queue.back();
  StartNextDownload(first);
  return TRUE;  // the focus goes to Cancel
}

void CDownloadDlg::StartNextDownload(DownloadItem item) {
  m_queue.pop_back();  // before anything can fail: a failed start is not retried
  CInstallLog& log = CInstallLog::Get();
  DownloadWorkerSettings settings;
  m_target.Fill(&settings);
  settings.primaryUrl = item.primary;
  settings.secondaryUrl = item.secondary;
  settings.secondaryFirst = m_bUseSecondary;
  settings.maxFileSize = ZELVRA_MAX_FILE_SIZE;  // the build's ZELVRA_MAX_FILE_SIZE
  // The proxy's question for credentials goes to the user once a run, and
  // never in an unattended one (where a 407 is a bad answer, and logged).
  settings.mayAskForCredentials = !log.IsStarted() && !m_bCredentialsAsked;
  settings.proxyUser = m_strProxyUser;
  settings.proxyPassword = m_strProxyPassword;
  if (!m_worker.Start(*this, settings, &m_strLocalPath)) {
    log.Write(L"the download of " + item.primary + L" could not start: no worker");
    m_bFailed = true;
    ShowAppMessage(IDS_DOWNLOAD_FAILED, nullptr, MB_OK);
    End(IDCANCEL);
    return;
  }
  m_localPaths.push_back(m_strLocalPath);
  if (zelvra::IsLaunchPath(m_strLocalPath.u16())) m_strLaunchPath = m_strLocalPath;
}

LRESULT CDownloadDlg::OnDownloadStarted(WPARAM, LPARAM) {
  if (!m_worker.IsRunning()) return 0;  // from a cancelled worker
  // Without a timer (none left to the process) the bar stands still; the
  // download goes on.
  static_cast<void>(SetTimer(PROGRESS_TIMER_ID, TIMER_PERIOD_MS, nullptr));
  return 0;
}

void CDownloadDlg::OnTimer(UINT_PTR) {
  if (m_worker.IsRunning()) {
    const DownloadSnapshot progress = m_worker.Snapshot();
    const int position = zelvra::ProgressPosition(progress.bytesReceived, progress.contentLength);
    m_progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0);
  }
  Default();
}

bool CDownloadDlg::TakeFinal() {
  DownloadSnapshot outcome;
  if (!m_worker.TakeFinal(&outcome)) return false;  // from a cancelled worker
  if (outcome.askedForCredentials) {
    m_bCredentialsAsked = true;
    m_worker.TakeProxyCredentials(&m_strProxyUser, &m_strProxyPassword);
  }
  KillTimer(PROGRESS_TIMER_ID);
  return true;
}

LRESULT CDownloadDlg::OnDownloadDone(WPARAM, LPARAM) {
  if (!TakeFinal()) return 0;
  m_progress.SendMessage(PBM_SETPOS, 0, 0);
  if (!m_queue.empty()) {
    const DownloadItem next = m_queue.back();
    StartNextDownload(next);
  } else {
    End(IDOK);
  }
  return 0;
}

LRESULT CDownloadDlg::OnDownloadFailed(WPARAM, LPARAM) {
  if (!TakeFinal()) return 0;
  m_bFailed = true;
  ShowAppMessage(IDS_DOWNLOAD_FAILED, nullptr, MB_OK);
  End(IDCANCEL);
  return 0;
}

LRESULT CDownloadDlg::OnWindowPosChanging(WPARAM, LPARAM lParam) {
  // Never shown (see SetHidden); the move itself goes on as always.
  if (m_bHidden) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
  Default();
  return 0;
}

void CDownloadDlg::OnOK() {
  // No command ends the dialog as a success: only the last file's
  // WM_DOWNLOAD_DONE does. An IDOK (the Enter key, or one sent by another
  // program) while files are missing or half written would have the
  // launcher started from them.
}

void CDownloadDlg::OnCancel() {
  const bool workerRunning = m_worker.IsRunning();
  // A worker that has already begun to show why its download failed is not
  // stopped: its report comes and ends this dialog as any failure does.
  if (!m_worker.Cancel()) return;
  if (workerRunning) {
    // Gone for the user at once; the join below is brief. The owner (the
    // prompt, disabled by this modal dialog) is enabled before this window
    // hides: hiding the active window activates its owner only when the owner
    // can take it, else the system activates some other application's window
    // and the prompt comes back behind it.
    if (HWND owner = ::GetWindow(m_hWnd, GW_OWNER)) ::EnableWindow(owner, TRUE);
    ShowWindow(SW_HIDE);
    m_worker.Join(CANCEL_JOIN_MS);
  }
  m_worker.LetGo();
  CInstallLog::Get().Write(L"the downloads were cancelled");
  CDialog::OnCancel();
}

void CDownloadDlg::End(int result) {
  m_worker.LetGo();
  EndDialog(result);
}

BOOL CDownloadDlg::CreateDirectoryPath(CString path) { return CreateFolderPath(path) ? TRUE : FALSE; }
