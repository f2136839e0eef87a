// Loading of the platform's libraries. An elevated program must never load a
// library from its own folder (a planted copy would run with its rights), so
// the search is restricted to the system folder before anything else loads,
// and the libraries that are not known system DLLs (WinInet, the common
// controls) are loaded late, from the system folder only.
#pragma once

#include <windows.h>

// Restricts the default DLL search of the process to the system folder and
// drops the current folder from it. Called first thing at start-up.
void AfxRestrictDllSearch();

// Loads a library from the system folder only; null when that fails.
HMODULE AfxLoadSystemLibrary(const wchar_t* name);

// Registers the common control classes (the progress bar) once.
void AfxInitCommonControls();
