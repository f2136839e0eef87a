// CInstallerDlg: the install prompt, the program's main window. It asks the
// user to start, runs the hand-off (downloads, launch, wait) on OK, and then
// shows "Download complete." with a Close button.
#pragma once

#include <array>

#include "core/run_mode.h"
#include "framework/afxwin.h"

class CInstallerDlg : public CDialog {
 public:
  explicit CInstallerDlg(CWnd* parent = nullptr);
  ~CInstallerDlg() override;

  CStatic m_staticHint;  // 1006, the anti-virus hint
  CButton m_btnClose;    // 1004, shown once the hand-off has run to its end
  CStatic m_staticDone;  // 1005, "Download complete."
  CButton m_btnOK;
  CButton m_btnCancel;
  CString m_strQuestion;  // text of 1003
  CString m_strOnline;    // text of 1002
  HICON m_hIcon = nullptr;
  CString m_strCmdLine;  // the application's command line, as start-up copied it
  BOOL m_bTestMode;      // 1 when the command line contains "@test"
  BOOL m_bStarted;       // 1 once the hand-off has run to its end (the launcher started, or its failed start told)
  BOOL m_bLaunched = 0;  // 1 once the hand-off has started the downloaded launcher
  // Unattended ("@silent", "@passive"): the prompt is never shown, the
  // hand-off starts at once, and the prompt ends after it, whatever it did.
  zelvra::RunMode m_runMode = zelvra::RunMode::kDefault;
  BOOL m_bFailed = 0;  // 1 when an unattended hand-off failed (not cancelled by the user)
  // The download dialog while it runs, and whether the prompt's own cancel
  // (its Cancel, or a WM_CLOSE from outside, "End task" say) was confirmed
  // meanwhile: then the downloads are cancelled and nothing is launched.
  CWnd* m_pDownloads = nullptr;
  BOOL m_bCancelled = 0;

  // The hand-off: runs the download dialog and, after its success, passes
  // the files to the launch (::LaunchUpdater, launch/launch_updater.h), then
  // tells the user what that did. TRUE once the launch was tried, whatever
  // it did; FALSE when the downloads failed or were cancelled or the files
  // were refused.
  BOOL LaunchUpdater();
  bool IsUnattended() const { return m_runMode != zelvra::RunMode::kDefault; }

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnCloseButton();
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  LRESULT OnWindowPosChanging(WPARAM wParam, LPARAM lParam);

  DECLARE_MESSAGE_MAP()

 private:
  // One control in one of the prompt's looks.
  struct ControlLook {
    int id;
    bool visible;
    bool enabled;
  };
  using Look = std::array<ControlLook, 7>;
  static const Look kFirstLook, kWorkingLook, kFinishedLook;
  // Gives each control of `look` its visibility and enabled state.
  void ShowLook(const Look& look);
};
