#include "framework/afxsys.h"

#include <commctrl.h>

void AfxRestrictDllSearch() {
#ifndef ZELVRA_ALLOW_DLL_SEARCH_PATH  // set only in the test build that shows the planting risk
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ::SetDllDirectoryW(L"");
#endif
}

HMODULE AfxLoadSystemLibrary(const wchar_t* name) {
#ifdef ZELVRA_ALLOW_DLL_SEARCH_PATH
  return ::LoadLibraryW(name);
#else
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
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
