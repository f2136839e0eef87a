#include "framework/afxwin.h"

#include <vector>

#include "core/placement.h"
#include "framework/afxapp.h"
#include "platform/dll_search.h"

// ---------------------------------------------------------------------------
// CWnd

void CWnd::GetWindowText(CString& text) const {
  const int length = ::GetWindowTextLengthW(m_hWnd);
  if (length <= 0) {
    text.Empty();
    return;
  }
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  const int copied = ::GetWindowTextW(m_hWnd, buffer.data(), length + 1);
  text = CString(buffer.data(), copied > 0 ? copied : 0);
}

bool CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  const bool outer = m_bDefaultRequested;  // handlers may nest (modal loops)
  m_bDefaultRequested = false;
  bool handled = DispatchMessageMap(message, wParam, lParam, result);
  if (m_bDefaultRequested) handled = false;
  m_bDefaultRequested = outer;
  return handled;
}

// ---------------------------------------------------------------------------
// Data exchange

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  if (control.m_hWnd == nullptr) control.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
}

void DDX_Text(CDataExchange* pDX, int id, CString& value) {
  CWnd item = pDX->m_pDlgWnd->GetDlgItem(id);
  if (pDX->m_bSaveAndValidate) {
    item.GetWindowText(value);
  } else {
    item.SetWindowText(value);
  }
}

// ---------------------------------------------------------------------------
// CDialog

BEGIN_MESSAGE_MAP(CDialog, CWnd)
  ON_COMMAND(IDOK, OnOK)
  ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDHelp(templateId), m_pParentWnd(parent) {}

CDialog::~CDialog() {
  // A thread whose main window this was must not keep pointing at it.
  CWinThread* thread = AfxGetThread();
  if (thread != nullptr && thread->m_pMainWnd == this) thread->m_pMainWnd = nullptr;
}

INT_PTR CDialog::DoModal() {
  AFX_ASSERT_UI_THREAD();
  // Without a parent the dialog is owned by the application's main window,
  // unless that window is this dialog itself.
  HWND owner = nullptr;
  if (m_pParentWnd != nullptr) {
    owner = m_pParentWnd->m_hWnd;
  } else if (CWnd* main = AfxGetMainWnd(); main != nullptr && main != this) {
    owner = main->m_hWnd;
  }
  return ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDHelp), owner, &CDialog::DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange exchange(this, saveAndValidate);
  DoDataExchange(&exchange);
  return TRUE;
}

namespace {

zelvra::Rect ToRect(const RECT& r) { return zelvra::Rect{r.left, r.top, r.right, r.bottom}; }

RECT WorkAreaOf(HWND window) {
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  HMONITOR monitor = ::MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
  if (monitor != nullptr && ::GetMonitorInfoW(monitor, &info)) return info.rcWork;
  RECT area{};
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  return area;
}

}  // namespace

void CDialog::CenterOnFirstShow(const RECT& rectBeforeInit) {
  RECT now{};
  ::GetWindowRect(m_hWnd, &now);
  if (::IsWindowVisible(m_hWnd) || !::EqualRect(&now, &rectBeforeInit)) return;
  // Over a visible, not minimised owner; else in the work area of the screen
  // that holds the main window (the primary screen for this program).
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  RECT center{}, workArea{};
  if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &center);
    workArea = WorkAreaOf(owner);
  } else {
    CWnd* main = AfxGetMainWnd();
    HWND reference = main != nullptr && main->m_hWnd != nullptr ? main->m_hWnd : m_hWnd;
    workArea = WorkAreaOf(reference);
    center = workArea;
  }
  const zelvra::Rect placed = zelvra::CenteredPlacement(ToRect(now), ToRect(center), ToRect(workArea));
  ::SetWindowPos(m_hWnd, nullptr, placed.left, placed.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    dialog->m_hWnd = hWnd;
    RECT before{};
    ::GetWindowRect(hWnd, &before);
    const BOOL setDefaultFocus = dialog->OnInitDialog();
    dialog->CenterOnFirstShow(before);
    return setDefaultFocus;
  }
  auto* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
  if (dialog == nullptr) return FALSE;  // messages before WM_INITDIALOG
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hWnd, DWLP_USER, 0);
    dialog->m_hWnd = nullptr;
    return FALSE;
  }
  LRESULT result = 0;
  if (!dialog->WindowProc(message, wParam, lParam, &result)) return FALSE;
  switch (message) {
    // These messages return their result directly from a dialog procedure.
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM: return static_cast<INT_PTR>(result);
    default: ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result); return TRUE;
  }
}

void AfxInitCommonControls() {
  static const bool initialised = [] {
    HMODULE comctl = zelvra::LoadSystemLibrary(L"comctl32.dll");
    if (comctl == nullptr) return false;
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(::GetProcAddress(comctl, "InitCommonControlsEx")));
    if (init == nullptr) return false;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    return init(&controls) != FALSE;
  }();
  (void)initialised;
}
