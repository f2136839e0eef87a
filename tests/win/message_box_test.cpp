// Message boxes shown through ShowAppMessage and AfxMessageBox, inspected from
// another thread the way a user sees them: title, text, buttons, default
// button, icon and owner window.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "framework/afxapp.h"
#include "res/resource.h"
#include "ui/show_app_message.h"

namespace {

CWinApp g_app;  // named from string 57344, like the installer

struct SeenBox {
  std::wstring title;
  std::wstring text;
  std::vector<int> buttons;  // IDs in window order
  int defaultButton = 0;
  HWND owner = nullptr;
  bool found = false;
};

// An EnumThreadWindows callback (CALLBACK: __stdcall on 32-bit, which a
// lambda is not): keeps the first dialog-class window and stops.
BOOL CALLBACK KeepDialogWindow(HWND window, LPARAM param) {
  wchar_t cls[32] = {};
  GetClassNameW(window, cls, 32);
  if (wcscmp(cls, L"#32770") == 0) {
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
  }
  return TRUE;
}

// Finds the first dialog-class window of `threadId`.
HWND FindBoxOfThread(DWORD threadId) {
  HWND found = nullptr;
  EnumThreadWindows(threadId, KeepDialogWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

std::wstring TextOf(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

// Waits for the box on `threadId`, records it, then presses `answer`.
SeenBox InspectAndAnswer(DWORD threadId, int answer) {
  SeenBox seen;
  HWND box = nullptr;
  // Generous: Wine may hold a new box back while another program that was
  // just started still owns the foreground.
  for (int i = 0; i < 3000 && box == nullptr; ++i) {
    box = FindBoxOfThread(threadId);
    if (box == nullptr) Sleep(10);
  }
  if (box == nullptr) return seen;
  for (int i = 0; i < 3000 && !IsWindowVisible(box); ++i) Sleep(10);
  seen.found = true;
  seen.title = TextOf(box);
  seen.owner = GetWindow(box, GW_OWNER);
  // The text control is 0xFFFF on Windows and 100 under Wine.
  HWND text = GetDlgItem(box, 0xFFFF);
  if (text == nullptr) text = GetDlgItem(box, 100);
  seen.text = TextOf(text);
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (_wcsicmp(cls, L"Button") != 0 || !IsWindowVisible(child)) continue;
    const int id = GetDlgCtrlID(child);
    seen.buttons.push_back(id);
    if ((GetWindowLongW(child, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON) seen.defaultButton = id;
  }
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
  return seen;
}

std::wstring Loaded(UINT id) {
  const wchar_t* text = nullptr;
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
    mainWnd_.m_hWnd = owner_;
    g_app.m_pMainWnd = &mainWnd_;
    if (g_app.m_pszAppName == nullptr) g_app.m_pszAppName = L"Zelvra(TM) Installer";
  }
  void TearDown() override {
    g_app.m_pMainWnd = nullptr;
    DestroyWindow(owner_);
  }

  // Shows a box through `show` on this thread while another thread inspects
  // and answers it; returns what was seen and the call's result.
  template <typename Show>
  SeenBox Run(Show show, int answer, int* result) {
    const DWORD self = GetCurrentThreadId();
    SeenBox seen;
    std::thread watcher([&] { seen = InspectAndAnswer(self, answer); });
    *result = show();
    watcher.join();
    return seen;
  }

  HWND owner_ = nullptr;
  CWnd mainWnd_;
};

TEST_F(MessageBoxTest, YesNoQuestionHasNoAsDefaultAndIsOwnedByTheMainWindow) {
  int result = 0;
  const SeenBox seen = Run([] { return ShowAppMessage(IDS_CANCEL_QUESTION, nullptr, MB_YESNO); }, IDNO, &result);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(Loaded(IDS_APP_TITLE), seen.title);
  EXPECT_EQ(L"Zelvra(TM) Installer", seen.title);
  EXPECT_EQ(Loaded(IDS_CANCEL_QUESTION), seen.text);
  EXPECT_EQ((std::vector<int>{IDYES, IDNO}), seen.buttons);
  EXPECT_EQ(IDNO, seen.defaultButton);
  EXPECT_EQ(owner_, seen.owner);
  EXPECT_EQ(IDNO, result);
}

TEST_F(MessageBoxTest, ErrorMessagesHaveOnlyOkAndReturnIt) {
  for (UINT id : {IDS_DOWNLOAD_FAILED, IDS_RUN_UPDATER_FAILED}) {
    int result = 0;
    const SeenBox seen = Run([id] { return ShowAppMessage(id, nullptr, MB_OK); }, IDOK, &result);
    ASSERT_TRUE(seen.found) << id;
    EXPECT_EQ(Loaded(id), seen.text) << id;
    EXPECT_EQ(std::vector<int>{IDOK}, seen.buttons) << id;
    EXPECT_EQ(owner_, seen.owner) << id;
    EXPECT_EQ(IDOK, result) << id;
  }
}

TEST_F(MessageBoxTest, WithoutAMainWindowTheActiveWindowOwnsTheBox) {
  g_app.m_pMainWnd = nullptr;
  SetActiveWindow(owner_);
  int result = 0;
  const SeenBox seen = Run([] { return ShowAppMessage(IDS_DOWNLOAD_FAILED, nullptr, MB_OK); }, IDOK, &result);
  EXPECT_EQ(owner_, seen.owner);
}

TEST_F(MessageBoxTest, AnOwnerGivenByTheCallerIsUsed) {
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20, 200, 100, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
  int result = 0;
  const SeenBox seen = Run([other] { return ShowAppMessage(IDS_DOWNLOAD_FAILED, other, MB_OK); }, IDOK, &result);
  EXPECT_EQ(other, seen.owner);
  DestroyWindow(other);
}

TEST_F(MessageBoxTest, YesAnswerIsReturned) {
  int result = 0;
  Run([] { return ShowAppMessage(IDS_CANCEL_QUESTION, nullptr, MB_YESNO); }, IDYES, &result);
  EXPECT_EQ(IDYES, result);
}

TEST_F(MessageBoxTest, WithoutAMainWindowOrAnActiveWindowTheBoxHasNoOwner) {
  g_app.m_pMainWnd = nullptr;
  DestroyWindow(owner_);  // nothing is active on this thread any more
  int result = 0;
  const SeenBox seen = Run([] { return ShowAppMessage(IDS_DOWNLOAD_FAILED, nullptr, MB_OK); }, IDOK, &result);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(nullptr, seen.owner);
}

TEST_F(MessageBoxTest, FrameworkBoxIsTitledWithTheApplicationNameAndOwnedByTheMainWindow) {
  int result = 0;
  const SeenBox seen = Run([] { return AfxMessageBox(L"Error2:text", MB_OK, 0); }, IDOK, &result);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(L"Zelvra(TM) Installer", seen.title);
  EXPECT_EQ(L"Error2:text", seen.text);
  EXPECT_EQ(std::vector<int>{IDOK}, seen.buttons);
  EXPECT_EQ(owner_, seen.owner);
}

}  // namespace
