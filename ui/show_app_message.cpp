#include "ui/show_app_message.h"

#include "core/message_box_style.h"
#include "framework/afxapp.h"
#include "log/install_log.h"
#include "res/resource.h"

int ShowAppMessage(UINT messageId, HWND owner, UINT style) {
  AFX_ASSERT_UI_THREAD();
  CString title;
  title.LoadString(IDS_APP_TITLE);
  if (owner == nullptr) {
    CWinThread* thread = AfxGetThread();
    CWnd* main = thread != nullptr ? thread->GetMainWnd() : nullptr;
    if (main != nullptr) owner = main->m_hWnd;
  }
  const UINT shownStyle = zelvra::AppMessageBoxStyle(style);
  CString message;
  message.LoadString(messageId);
  // Unattended, nobody would answer: the text goes into the log, and the
  // box counts as closed with its default button.
  if (CInstallLog::Get().IsStarted()) {
    CInstallLog::Get().Write(message);
    return (style & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
  }
  return ::MessageBoxW(owner, message, title, shownStyle);
}
