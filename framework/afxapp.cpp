#include "framework/afxapp.h"

#include <process.h>

#include <string>
#include <cstdlib>

#include "core/command_line.h"
#include "core/message_box_style.h"
#include "framework/afxres.h"
#include "platform/dll_search.h"

namespace {

CWinApp* g_app = nullptr;                     // the one application object
HINSTANCE g_resources = nullptr;              // module whose resources are loaded
thread_local CWinThread* t_thread = nullptr;  // the calling thread's framework object
thread_local CWnd t_activeWindow;             // wrapper handed out by GetMainWnd

}  // namespace

// ---------------------------------------------------------------------------
// CWinThread

const CRuntimeClass CWinThread::classCWinThread = {nullptr, &CObject::classCObject};

const CRuntimeClass* CWinThread::GetRuntimeClass() const { return &classCWinThread; }

CWinThread::CWinThread() = default;

CWinThread::~CWinThread() {
  if (m_hThread != nullptr) ::CloseHandle(m_hThread);
  if (t_thread == this) t_thread = nullptr;
}

CWnd* CWinThread::GetMainWnd() {
  if (m_pMainWnd != nullptr) return m_pMainWnd;
  HWND active = ::GetActiveWindow();
  if (active == nullptr) return nullptr;
  t_activeWindow.m_hWnd = active;
  return &t_activeWindow;
}

void CWinThread::Delete() {
  if (m_bAutoDelete) delete this;
}

BOOL CWinThread::CreateThread(DWORD createFlags, UINT stackSize, LPSECURITY_ATTRIBUTES security) {
  unsigned threadId = 0;
  const uintptr_t handle =
      ::_beginthreadex(security, stackSize, &CWinThread::ThreadEntry, this, CREATE_SUSPENDED, &threadId);
  if (handle == 0) return FALSE;
  m_hThread = reinterpret_cast<HANDLE>(handle);
  m_nThreadID = threadId;
  // The thread's set-up: a thread without a main window of its own reports to
  // the application's.
  if (m_pMainWnd == nullptr && g_app != nullptr) m_pMainWnd = g_app->m_pMainWnd;
  if ((createFlags & CREATE_SUSPENDED) == 0) ::ResumeThread(m_hThread);
  return TRUE;
}

unsigned __stdcall CWinThread::ThreadEntry(void* param) {
  auto* thread = static_cast<CWinThread*>(param);
  t_thread = thread;
  const int exitCode = thread->InitInstance() ? thread->Run() : thread->ExitInstance();
  t_thread = nullptr;
  thread->Delete();
  return static_cast<unsigned>(exitCode);
}

CWinThread* AfxBeginThread(const CRuntimeClass* runtimeClass,
                           int priority,
                           UINT stackSize,
                           DWORD createFlags,
                           LPSECURITY_ATTRIBUTES security) {
  if (runtimeClass == nullptr || !runtimeClass->IsDerivedFrom(&CWinThread::classCWinThread)) return nullptr;
  auto* thread = static_cast<CWinThread*>(runtimeClass->CreateObject());
  if (thread == nullptr) return nullptr;
  if (!thread->CreateThread(createFlags | CREATE_SUSPENDED, stackSize, security)) {
    delete thread;
    return nullptr;
  }
  static_cast<void>(thread->SetThreadPriority(priority));  // a thread that keeps the default priority runs all the same
  if ((createFlags & CREATE_SUSPENDED) == 0) thread->ResumeThread();
  return thread;
}

// ---------------------------------------------------------------------------
// CWinApp

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
  ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

CWinApp::CWinApp(const wchar_t* appName) : m_pszAppName(appName) {
  g_app = this;
  m_bAutoDelete = FALSE;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

CWinThread* AfxGetThread() { return t_thread != nullptr ? t_thread : g_app; }

CWnd* AfxGetMainWnd() {
  CWinThread* thread = AfxGetThread();
  return thread != nullptr ? thread->GetMainWnd() : nullptr;
}

HINSTANCE AfxGetResourceHandle() { return g_resources != nullptr ? g_resources : ::GetModuleHandleW(nullptr); }

void AfxAssertUiThread(const char* where) {
  if (g_app == nullptr || g_app->m_nThreadID == 0 || g_app->m_nThreadID == ::GetCurrentThreadId()) return;
  std::wstring text;
  for (const char* c = where; *c != '\0'; ++c) text += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  text += L" must run on the user-interface thread\n";
  ::OutputDebugStringW(text.c_str());
  std::abort();
}

int AfxMessageBox(const wchar_t* text, UINT type, UINT /*helpId*/) {
  HWND owner = nullptr;
  if (CWnd* main = AfxGetMainWnd(); main != nullptr && main->m_hWnd != nullptr) {
    owner = ::GetLastActivePopup(main->m_hWnd);
  }
  const wchar_t* title = g_app != nullptr && g_app->m_pszAppName != nullptr ? g_app->m_pszAppName : L"";
  return ::MessageBoxW(owner, text, title, zelvra::FrameworkMessageBoxStyle(type));
}

// ---------------------------------------------------------------------------
// Entry

namespace {

// The application's name: string 57344 (loaded into 256 characters), else the
// executable's file name without its extension.
CString DefaultAppName(HINSTANCE instance) {
  wchar_t buffer[256] = {};
  if (::LoadStringW(instance, 0xE000, buffer, 256) > 0) return CString(buffer);
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(instance, path, MAX_PATH);
  CString name(path);
  const int slash = name.ReverseFind(L'\\');
  if (slash >= 0) name = name.Mid(slash + 1);
  const int dot = name.ReverseFind(L'.');
  if (dot >= 0) name = name.Left(dot);
  return name;
}

}  // namespace

int AfxWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  zelvra::RestrictDllSearch();
  CWinApp* app = g_app;
  if (app == nullptr) return -1;
  g_resources = instance;
  app->m_nThreadID = ::GetCurrentThreadId();
  t_thread = app;
  // The arguments are cut from the raw command line by the framework's own
  // rule; the start-up code of the toolchain uses a different one.
  app->m_lpCmdLine = const_cast<wchar_t*>(
      reinterpret_cast<const wchar_t*>(zelvra::ArgumentsOfCommandLine(AfxU16(::GetCommandLineW()))));
  if (app->m_pszAppName == nullptr) {
    app->m_strAppName = DefaultAppName(instance);
    app->m_pszAppName = app->m_strAppName.GetString();
  }
  int exitCode;
  if (!app->InitInstance()) {
    if (app->m_pMainWnd != nullptr && app->m_pMainWnd->m_hWnd != nullptr) ::DestroyWindow(app->m_pMainWnd->m_hWnd);
    exitCode = app->ExitInstance();
  } else {
    exitCode = app->Run();
  }
  return exitCode;
}
