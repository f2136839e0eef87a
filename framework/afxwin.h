// Windows and dialogs: CWnd, modal CDialog from a template, the three control
// wrappers the program binds, and dialog data exchange.
//
// One static dialog procedure stores the CDialog at WM_INITDIALOG and routes
// every later message through the object's message map; a message that no
// entry handles, or whose handler calls Default(), goes on to the dialog
// manager's default processing.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "framework/afxcore.h"
#include "framework/afxstring.h"

class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  explicit CWnd(HWND hWnd) : m_hWnd(hWnd) {}

  HWND m_hWnd = nullptr;

  // A non-owning wrapper of the child window with that ID (m_hWnd null when
  // there is none).
  CWnd GetDlgItem(int id) const { return CWnd(::GetDlgItem(m_hWnd, id)); }

  void SetWindowText(const wchar_t* text) { ::SetWindowTextW(m_hWnd, text); }
  void GetWindowText(CString& text) const;
  BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
  }
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs, TIMERPROC proc) { return ::SetTimer(m_hWnd, id, elapseMs, proc); }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  HICON SetIcon(HICON icon, BOOL big) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
  }

  // Asks that the message being handled also get the default processing.
  void Default() { m_bDefaultRequested = true; }

  // Routes one message through the message map. Returns false when the
  // message should get the default processing.
  bool WindowProc(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

 private:
  bool m_bDefaultRequested = false;
};

class CStatic : public CWnd {};
class CButton : public CWnd {};

// The progress bar: the dialog sends it the progress messages itself.
class CProgressCtrl : public CWnd {};

class CDialog;

// The direction of one data exchange: to the controls, or back from them.
class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, BOOL saveAndValidate) : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
  BOOL m_bSaveAndValidate;
  CDialog* m_pDlgWnd;
};

// Binds the control with that ID to `control` (once).
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
// Moves the text of the control with that ID to or from `value`.
void DDX_Text(CDataExchange* pDX, int id, CString& value);

class CDialog : public CWnd {
 public:
  CDialog(UINT templateId, CWnd* parent);
  ~CDialog() override;

  // Runs the dialog modally. Returns the value given to EndDialog, or -1
  // when the dialog cannot be created (for example a missing template).
  virtual INT_PTR DoModal();

  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange* pDX);
  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  void EndDialog(int result) { ::EndDialog(m_hWnd, result); }

 protected:
  UINT m_nIDHelp;
  CWnd* m_pParentWnd;

  DECLARE_MESSAGE_MAP()

  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Centres a dialog that initialisation neither showed nor moved.
  void CenterOnFirstShow(const RECT& rectBeforeInit);
};

// Registers the common control classes (the progress bar) once, loading the
// common controls from the system folder.
void AfxInitCommonControls();

// Placeholder for the framework's three-dimensional dialog controls: every
// supported system draws dialog controls in three dimensions itself.
inline BOOL Enable3dControlsStatic() { return TRUE; }
