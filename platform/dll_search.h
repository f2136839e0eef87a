// Loading of the platform's libraries. An elevated program must never load a
// library from its own folder (a planted copy would run with its rights):
//
// - the executable imports only kernel32 and the C runtime directly; every
//   other system library it calls (user32, shell32, shlwapi, advapi32, ...)
//   is delay-loaded, and the delay-load hook here loads it from the system
//   folder only, restricting the process's DLL search first;
// - the libraries that are not known system DLLs (WinInet, the common
//   controls) are loaded late through LoadSystemLibrary, also from the
//   system folder only.
#pragma once

#include <windows.h>

namespace zelvra {

// Restricts the default DLL search of the process to the system folder and
// drops the current folder from it. Idempotent; called before the first
// library other than kernel32 is loaded. Where the system lacks
// SetDefaultDllDirectories (an unpatched Windows 7 or older) only the current
// folder is dropped, and LoadSystemLibrary loads by full system path.
void RestrictDllSearch();

// Loads a library from the system folder only, and its dependencies from
// there too; null when that fails.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Points `fn` at the export `name` of `module` (null when it has none).
template <typename Fn>
void ResolveExport(HMODULE module, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace zelvra
