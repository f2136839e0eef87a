#include "framework/afxsys.h"

#include <commctrl.h>
#include <cstdint>
#include <delayimp.h>

namespace {

#ifndef ZELVRA_ALLOW_DLL_SEARCH_PATH
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// SetDefaultDllDirectories, where kernel32 has it (Windows 8, and Windows 7
// with KB2533623). Looked up at run time: importing it would keep the
// program from starting at all where it is missing.
SetDefaultDllDirectoriesFn SetDefaultDllDirectoriesEntry() {
  static const SetDefaultDllDirectoriesFn entry = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  return entry;
}

// Writes the system folder followed by a backslash and `name` into `path`
// (MAX_PATH characters); false when it does not fit.
bool SystemPath(const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
  const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  UINT at = length;
  path[at++] = L'\\';
  for (const wchar_t* c = name; *c != L'\0'; ++c) {
    if (at + 1 >= MAX_PATH) return false;
    path[at++] = *c;
  }
  path[at] = L'\0';
  return true;
}
#endif

// Called by the delay-load helper before it loads one of the delay-loaded
// system libraries (the first call into it). The library comes from the
// system folder or not at all: the helper's own fallback would search the
// program's folder.
FARPROC WINAPI DelayLoadHook(unsigned notification, PDelayLoadInfo info) {
#ifdef ZELVRA_ALLOW_DLL_SEARCH_PATH
  (void)notification;
  (void)info;
  return nullptr;  // the platform's default search
#else
  if (notification != dliNotePreLoadLibrary) return nullptr;
  AfxRestrictDllSearch();
  wchar_t name[MAX_PATH] = {};  // the names are plain ASCII
  for (int i = 0; info->szDll[i] != '\0' && i + 1 < MAX_PATH; ++i) name[i] = static_cast<unsigned char>(info->szDll[i]);
  HMODULE module = AfxLoadSystemLibrary(name);
  if (module == nullptr) {
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);  // the DelayLoadInfo itself
    ::RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
  }
  return reinterpret_cast<FARPROC>(module);
#endif
}

}  // namespace

// The delay-load helper's notification hook (a name the helper looks up).
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = DelayLoadHook;
}

// The stack protector's guard and its failure routine, defined here rather
// than taken from the toolchain's libssp, which seeds its guard through the
// crypto API as the program starts: that loads advapi32 and a crypto
// provider before WinMain runs. The guard is seeded the way the Visual C++
// run-time seeds its stack cookie, from values that differ from one start to
// the next and cost no library load: the high-resolution counter, the system
// time, the process and thread ids, the tick count, and the addresses of the
// guard and of a stack variable (both moved by ASLR).
extern "C" {
uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x2B992DDFA232ull);  // until seeded, as early as possible

// A check failed: the stack is corrupt, so nothing of the process runs any
// further (no handlers, no unwinding). Where the processor and the system
// offer the fast-fail interrupt (Windows 8 and later) it ends the process
// with the stack-cookie code; otherwise the process terminates itself.
__attribute__((noreturn, used, no_stack_protector)) void __stack_chk_fail() {
  if (::IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
  }
  ::TerminateProcess(::GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}
}

namespace {

// The first of the program's constructors: no function that checks the guard
// is active when it changes, and this one does not check it itself.
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard() {
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  uint64_t mixed = static_cast<uint64_t>(counter.QuadPart);
  mixed ^= (static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
  mixed ^= static_cast<uint64_t>(::GetCurrentProcessId()) << 16;
  mixed ^= static_cast<uint64_t>(::GetCurrentThreadId()) << 40;
  mixed ^= static_cast<uint64_t>(::GetTickCount()) << 24;
  volatile int onTheStack = 0;
  mixed ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&onTheStack)) << 8;
  mixed ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&__stack_chk_guard)) << 20;
  // A 64-bit finaliser spreads every input bit over the whole value.
  mixed ^= mixed >> 33;
  mixed *= 0xFF51AFD7ED558CCDull;
  mixed ^= mixed >> 33;
  mixed *= 0xC4CEB9FE1A85EC53ull;
  mixed ^= mixed >> 33;
  uintptr_t guard = static_cast<uintptr_t>(mixed);
  if (sizeof(uintptr_t) < sizeof(uint64_t)) guard ^= static_cast<uintptr_t>(mixed >> 32);
  if (guard == 0) guard = static_cast<uintptr_t>(0x2B992DDFA232ull);
  __stack_chk_guard = guard;
}

}  // namespace

void AfxRestrictDllSearch() {
#ifndef ZELVRA_ALLOW_DLL_SEARCH_PATH  // set only in the test build that shows the planting risk
  static const bool restricted = [] {
    if (SetDefaultDllDirectoriesFn setDefault = SetDefaultDllDirectoriesEntry()) {
      setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    ::SetDllDirectoryW(L"");
    return true;
  }();
  (void)restricted;
#endif
}

HMODULE AfxLoadSystemLibrary(const wchar_t* name) {
#ifdef ZELVRA_ALLOW_DLL_SEARCH_PATH
  return ::LoadLibraryW(name);
#else
  if (SetDefaultDllDirectoriesEntry() != nullptr) {
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // Without the search flags: the full path, and its dependencies looked up
  // from the system folder first.
  wchar_t path[MAX_PATH];
  if (!SystemPath(name, path)) return nullptr;
  return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
#endif
}

void AfxInitCommonControls() {
  static const bool initialised = [] {
    HMODULE comctl = AfxLoadSystemLibrary(L"comctl32.dll");
    if (comctl == nullptr) return false;
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(::GetProcAddress(comctl, "InitCommonControlsEx")));
    if (init == nullptr) return false;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    return init(&controls) != FALSE;
  }();
  (void)initialised;
}

bool AfxIsProcessElevated() {
#ifdef ZELVRA_TEST_UNELEVATED  // set only in the test build that runs the unelevated path under Wine
  return false;
#else
  static const bool elevated = [] {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const BOOL known = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    ::CloseHandle(token);
    return known != FALSE && elevation.TokenIsElevated != 0;
  }();
  return elevated;
#endif
}
