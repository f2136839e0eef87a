/* A DLL planted beside the installer under the name of a system library
 * (built twice: wininet.dll and comctl32.dll). It exports nothing; all it does
 * is leave a trace when a process loads it, which an elevated installer must
 * never do.
 *
 * On DLL_PROCESS_ATTACH it appends one line to the marker file
 *   <its own file name> TAB <full path of the process's executable> CRLF
 * in UTF-8, and stays loaded (returns TRUE). The marker file is
 * %ZELVRA_PLANT_MARKER% (a Windows path) when that is set, else
 * planted-dll-marker.txt beside the DLL.
 */
#include <windows.h>

#define MARKER_VARIABLE L"ZELVRA_PLANT_MARKER"
#define MARKER_FILE_NAME L"planted-dll-marker.txt"
#define PATH_CHARS 1024

/* The file-name part of a path (after the last backslash or slash). */
static const wchar_t* FileNameOf(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\' || *p == L'/') name = p + 1;
  }
  return name;
}

/* The marker's path: the variable's value, or the DLL's folder + the default name. */
static BOOL MarkerPath(HMODULE self, wchar_t* path, DWORD chars) {
  DWORD length = GetEnvironmentVariableW(MARKER_VARIABLE, path, chars);
  if (length > 0 && length < chars) return TRUE;
  length = GetModuleFileNameW(self, path, chars);
  if (length == 0 || length >= chars) return FALSE;
  wchar_t* name = (wchar_t*)FileNameOf(path);
  const wchar_t* file = MARKER_FILE_NAME;
  if ((size_t)(name - path) + lstrlenW(file) + 1 > chars) return FALSE;
  lstrcpyW(name, file);
  return TRUE;
}

static void AppendUtf8(char* buffer, int capacity, int* used, const wchar_t* text) {
  int written = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer + *used, capacity - *used, NULL, NULL);
  if (written > 0) *used += written - 1; /* without the terminating zero */
}

static void WriteMarker(HMODULE self) {
  wchar_t marker[PATH_CHARS], dll[PATH_CHARS], exe[PATH_CHARS];
  if (!MarkerPath(self, marker, PATH_CHARS)) return;
  if (GetModuleFileNameW(self, dll, PATH_CHARS) == 0) lstrcpyW(dll, L"?");
  if (GetModuleFileNameW(NULL, exe, PATH_CHARS) == 0) lstrcpyW(exe, L"?");

  char line[4 * PATH_CHARS + 8];
  int used = 0;
  AppendUtf8(line, sizeof(line), &used, FileNameOf(dll));
  AppendUtf8(line, sizeof(line), &used, L"\t");
  AppendUtf8(line, sizeof(line), &used, exe);
  AppendUtf8(line, sizeof(line), &used, L"\r\n");

  /* Appending with FILE_APPEND_DATA: both planted DLLs may write to one file. */
  HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD done = 0;
  WriteFile(file, line, (DWORD)used, &done, NULL);
  CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    WriteMarker(instance);
  }
  return TRUE;
}
