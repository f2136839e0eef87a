// Threads and the application: CWinThread with the framework's per-thread
// state, CWinApp, thread creation from a run-time class, the framework's
// message box and the entry routine.
#pragma once

#include <windows.h>

#include "framework/afxcore.h"
#include "framework/afxwin.h"

class CWinThread : public CCmdTarget {
 public:
  CWinThread();
  ~CWinThread() override;

  CWnd* m_pMainWnd = nullptr;  // the thread's main window
  HANDLE m_hThread = nullptr;  // closed by the destructor
  DWORD m_nThreadID = 0;
  BOOL m_bAutoDelete = TRUE;  // delete the object when its thread ends

  // m_pMainWnd if set, else the window that is active for the calling
  // thread (a temporary wrapper), else null.
  virtual CWnd* GetMainWnd();

  virtual BOOL InitInstance() { return FALSE; }
  // The thread's main routine; its result is the thread's exit code. The
  // framework's own message loop is not needed by this program: a thread
  // whose InitInstance succeeds and that does not override Run ends at once.
  virtual int Run() { return ExitInstance(); }
  virtual int ExitInstance() { return 0; }

  // Creates the thread (suspended when asked) for this object.
  BOOL CreateThread(DWORD createFlags = 0, UINT stackSize = 0, LPSECURITY_ATTRIBUTES security = nullptr);
  DWORD ResumeThread() { return ::ResumeThread(m_hThread); }
  BOOL SetThreadPriority(int priority) { return ::SetThreadPriority(m_hThread, priority); }

  // Deletes the object when m_bAutoDelete is set.
  virtual void Delete();

  static const CRuntimeClass classCWinThread;
  const CRuntimeClass* GetRuntimeClass() const override;

 private:
  static unsigned __stdcall ThreadEntry(void* param);
};

class CWinApp : public CWinThread {
 public:
  explicit CWinApp(const wchar_t* appName = nullptr);
  ~CWinApp() override;

  const wchar_t* m_pszAppName = nullptr;  // the application's name: message-box titles, user agent
  wchar_t* m_lpCmdLine = nullptr;         // the arguments, without the program's own name

  // The framework's default help handler; this program ships no help file.
  void OnHelp() {}

  DECLARE_MESSAGE_MAP()

 private:
  friend int AfxWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);
  CString m_strAppName;  // storage behind m_pszAppName when the name was loaded
};

CWinApp* AfxGetApp();
// The calling thread's framework thread object, or the application object
// when the thread has none.
CWinThread* AfxGetThread();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetResourceHandle();

// Creates an object of `runtimeClass` (a CWinThread class) and its thread.
// With CREATE_SUSPENDED the thread does not run until resumed; a still null
// m_pMainWnd has by then been pointed at the application's main window.
// Returns null, having deleted the object, when the thread cannot be created.
CWinThread* AfxBeginThread(const CRuntimeClass* runtimeClass,
                           int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0,
                           DWORD createFlags = 0,
                           LPSECURITY_ATTRIBUTES security = nullptr);

// The framework's message box: titled with the application's name, owned by
// the last active pop-up of the calling thread's main window, and with the
// exclamation icon added to an icon-less OK, OK/Cancel, Yes/No/Cancel or
// Yes/No style.
int AfxMessageBox(const wchar_t* text, UINT type = MB_OK, UINT helpId = 0);

// The entry routine: restricts the DLL search, sets up the application
// object (command line, name), calls InitInstance and ends the process.
int AfxWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

// Asserts (in every build) that the caller runs on the user-interface thread.
void AfxAssertUiThread(const char* where);
#define AFX_ASSERT_UI_THREAD() AfxAssertUiThread(__func__)
