// The DLL search of the DLL-planting test's build (ZelvraInstallerUnrestricted):
// the platform's default search, which looks in the program's folder first.
// It stands in for platform/dll_search.cpp, so that the test can show that it
// would see a planted DLL being loaded. Never part of the product.
#include "platform/dll_search.h"

#include <delayimp.h>

// No hook: the delay-load helper loads each library by its bare name.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = nullptr;
}

namespace zelvra {

void RestrictDllSearch() {}

HMODULE LoadSystemLibrary(const wchar_t* name) { return ::LoadLibraryW(name); }

}  // namespace zelvra
