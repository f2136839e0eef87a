#include "ui/installer_dlg.h"

#include "core/updater_parameters.h"
#include "framework/afxapp.h"
#include "launch/launch_updater.h"
#include "log/install_log.h"
#include "res/resource.h"
#include "ui/download_dlg.h"
#include "ui/show_app_message.h"

BEGIN_MESSAGE_MAP(CInstallerDlg, CDialog)
  ON_WM_PAINT()
  ON_WM_QUERYDRAGICON()
  ON_MESSAGE_VOID(WM_CLOSE, OnCancel)
  ON_BN_CLICKED(IDC_BUTTON_CLOSE, OnCloseButton)
  ON_MESSAGE(WM_WINDOWPOSCHANGING, OnWindowPosChanging)
END_MESSAGE_MAP()

// The prompt's three looks: which controls each one shows and which it
// enables. First: the question with OK and Cancel (as it opens, and again
// after a hand-off that did not succeed). Working: the same with both buttons
// disabled, while the hand-off runs. Finished: only "Download complete." and
// Close; OK and Cancel stay disabled as well as hidden.
const CInstallerDlg::Look CInstallerDlg::kFirstLook = {{
    {IDCANCEL, true, true},
    {IDOK, true, true},
    {IDC_STATIC_ONLINE, true, true},
    {IDC_STATIC_QUESTION, true, true},
    {IDC_STATIC_HINT, true, true},
    {IDC_STATIC_DONE, false, true},
    {IDC_BUTTON_CLOSE, false, true},
}};
const CInstallerDlg::Look CInstallerDlg::kWorkingLook = {{
    {IDCANCEL, true, false},
    {IDOK, true, false},
    {IDC_STATIC_ONLINE, true, true},
    {IDC_STATIC_QUESTION, true, true},
    {IDC_STATIC_HINT, true, true},
    {IDC_STATIC_DONE, false, true},
    {IDC_BUTTON_CLOSE, false, true},
}};
const CInstallerDlg::Look CInstallerDlg::kFinishedLook = {{
    {IDCANCEL, false, false},
    {IDOK, false, false},
    {IDC_STATIC_ONLINE, false, true},
    {IDC_STATIC_QUESTION, false, true},
    {IDC_STATIC_HINT, false, true},
    {IDC_STATIC_DONE, true, true},
    {IDC_BUTTON_CLOSE, true, true},
}};

CInstallerDlg::CInstallerDlg(CWnd* parent) : CDialog(IDD_INSTALLER_DIALOG, parent) {
  m_hIcon = ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CInstallerDlg::~CInstallerDlg() = default;

void CInstallerDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_STATIC_HINT, m_staticHint);
  DDX_Control(pDX, IDC_BUTTON_CLOSE, m_btnClose);
  DDX_Control(pDX, IDC_STATIC_DONE, m_staticDone);
  DDX_Control(pDX, IDOK, m_btnOK);
  DDX_Control(pDX, IDCANCEL, m_btnCancel);
  DDX_Text(pDX, IDC_STATIC_QUESTION, m_strQuestion);
  DDX_Text(pDX, IDC_STATIC_ONLINE, m_strOnline);
}

BOOL CInstallerDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  m_bTestMode = m_strCmdLine.Find(AfxWide(zelvra::kTestModeKeyword)) >= 0 ? 1 : 0;
  m_bStarted = 0;

  CString done;
  done.LoadString(IDS_DOWNLOAD_COMPLETE);
  m_staticDone.SetWindowText(done);
  ShowLook(kFirstLook);

  m_strOnline.LoadString(IDS_MUST_BE_ONLINE);
  GetDlgItem(IDC_STATIC_ONLINE).SetWindowText(m_strOnline);
  m_strQuestion.LoadString(IDS_CONTINUE_QUESTION);
  GetDlgItem(IDC_STATIC_QUESTION).SetWindowText(m_strQuestion);
  // Unattended: as if OK had been chosen at once.
  if (IsUnattended()) PostMessage(WM_COMMAND, IDOK);
  return TRUE;  // the dialog manager focuses the default button, OK
}

LRESULT CInstallerDlg::OnWindowPosChanging(WPARAM, LPARAM lParam) {
  // Unattended, the prompt exists (it owns the run) but is never shown: the
  // dialog manager shows a modal dialog by itself once it is idle.
  if (IsUnattended()) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
  Default();  // the move itself goes on as always
  return 0;
}

void CInstallerDlg::OnOK() {
  if (m_bStarted == 1) {
    PostMessage(WM_CLOSE);
    return;
  }
  ShowLook(kWorkingLook);
  if (!LaunchUpdater()) {
    if (IsUnattended()) {
      PostMessage(WM_CLOSE);  // nobody could try again
      return;
    }
    ShowLook(kFirstLook);  // the user may try again or leave
    return;
  }
  m_bStarted = 1;
  if (IsUnattended()) {
    PostMessage(WM_CLOSE);
    return;
  }
  ShowLook(kFinishedLook);
}

BOOL CInstallerDlg::LaunchUpdater() {
  AFX_ASSERT_UI_THREAD();
  CDownloadDlg downloads(nullptr, 0, m_bTestMode == 1);
  downloads.SetHidden(m_runMode == zelvra::RunMode::kSilent);
  m_pDownloads = &downloads;
  const INT_PTR result = downloads.DoModal();
  m_pDownloads = nullptr;
  if (result != IDOK) {  // the download dialog has told the user
    m_bFailed = downloads.Failed() ? 1 : 0;
    return FALSE;
  }
  if (m_bCancelled == 1) {  // confirmed on the prompt as the downloads ended
    CInstallLog::Get().Write(L"the downloads were cancelled");
    return FALSE;
  }
  const HandOffResult handOff = ::LaunchUpdater(downloads.GetLocalPaths(), downloads.GetLaunchPath(),
                                                downloads.GetDownloadTarget(), m_strCmdLine, m_bTestMode == 1);
  switch (handOff.outcome) {
    case HandOffOutcome::kLaunched: m_bLaunched = 1; return TRUE;
    case HandOffOutcome::kRefusedSignature:
    case HandOffOutcome::kRefusedVersion:
      // The prompt returns to its first state.
      m_bFailed = 1;
      ShowAppMessage(IDS_UPDATE_NOT_VERIFIED, nullptr, MB_OK);
      return FALSE;
    case HandOffOutcome::kRefusedFolder:
    case HandOffOutcome::kLaunchFailed:
      // The box says that the launcher could not be started; the system's
      // reason has no place in it (the log has it).
      ShowAppMessage(IDS_RUN_UPDATER_FAILED, nullptr, MB_OK);
      return TRUE;
  }
  return TRUE;
}

void CInstallerDlg::ShowLook(const Look& look) {
  // Only what changes is touched, control by control in the table's order.
  // A control's own visibility is its style: before the dialog is first
  // shown, every control reads as invisible to IsWindowVisible.
  for (const ControlLook& control : look) {
    CWnd window = GetDlgItem(control.id);
    const LONG_PTR style = ::GetWindowLongPtrW(window.m_hWnd, GWL_STYLE);
    if (((style & WS_DISABLED) == 0) != control.enabled) window.EnableWindow(control.enabled ? TRUE : FALSE);
    if (((style & WS_VISIBLE) != 0) != control.visible) window.ShowWindow(control.visible ? SW_SHOW : SW_HIDE);
  }
}

void CInstallerDlg::OnCancel() {
  if (m_bStarted == 0 && !IsUnattended() && ShowAppMessage(IDS_CANCEL_QUESTION, nullptr, MB_YESNO) != IDYES) return;
  m_bCancelled = 1;
  // Asked while the downloads run: they are cancelled as the download
  // dialog's own Cancel would, and the hand-off launches nothing.
  if (m_pDownloads != nullptr && m_pDownloads->m_hWnd != nullptr) m_pDownloads->SendMessage(WM_COMMAND, IDCANCEL);
  CDialog::OnCancel();
}

void CInstallerDlg::OnCloseButton() { PostMessage(WM_CLOSE); }

void CInstallerDlg::OnPaint() {
  if (!IsIconic()) {
    Default();
    return;
  }
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(m_hWnd, &paint);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = ::GetSystemMetrics(SM_CXICON);
  const int iconHeight = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(&client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  ::DrawIcon(dc, x, y, m_hIcon);
  ::EndPaint(m_hWnd, &paint);
}

HCURSOR CInstallerDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }
