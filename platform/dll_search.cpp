// The restricted DLL search: the definitions of dll_search.h and the
// delay-load hook, in a library of their own that every build of the
// installer links (the DLL-planting test's build links one that keeps the
// platform's default search instead: tests/win/planted_dll).
#include "platform/dll_search.h"

#include <delayimp.h>

namespace {

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

// Called by the delay-load helper before it loads one of the delay-loaded
// system libraries (the first call into it). The library comes from the
// system folder or not at all: the helper's own fallback would search the
// program's folder.
FARPROC WINAPI DelayLoadHook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary) return nullptr;
  zelvra::RestrictDllSearch();
  wchar_t name[MAX_PATH] = {};  // the names are plain ASCII
  for (int i = 0; info->szDll[i] != '\0' && i + 1 < MAX_PATH; ++i) name[i] = static_cast<unsigned char>(info->szDll[i]);
  HMODULE module = zelvra::LoadSystemLibrary(name);
  if (module == nullptr) {
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);  // the DelayLoadInfo itself
    ::RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
  }
  return reinterpret_cast<FARPROC>(module);
}

}  // namespace

// The delay-load helper's notification hook (a name the helper looks up).
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = DelayLoadHook;
}

namespace zelvra {

void RestrictDllSearch() {
  static const bool restricted = [] {
    if (SetDefaultDllDirectoriesFn setDefault = SetDefaultDllDirectoriesEntry()) {
      setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // Drops the current folder from the search; where it fails, libraries
    // are still loaded by LoadSystemLibrary's flags or full path.
    static_cast<void>(::SetDllDirectoryW(L""));
    return true;
  }();
  (void)restricted;
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  if (SetDefaultDllDirectoriesEntry() != nullptr) {
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // Without the search flags: the full path, and its dependencies looked up
  // from the system folder first.
  wchar_t path[MAX_PATH];
  if (!SystemPath(name, path)) return nullptr;
  return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace zelvra
