/* Stand-in for the updater launcher ZVCallUpdater.exe that the mirror serves.
 *
 * It records how it was started, creates the launcher's named mutex, holds it
 * for a while and exits with code 0. A GUI-subsystem program without windows,
 * as the real launcher is when it is started hidden.
 *
 * Record file: the setting "record" (a Windows path) if set, else
 * launcher-record.txt next to this program. Blocks are APPENDED, one write per
 * block, each ended by an empty line; lines are "key=value" in UTF-8, split at
 * the first "=". In values "%", CR and LF are written as %25, %0D and %0A
 * (urllib.parse.unquote undoes it). Blocks, in the order written:
 *
 *   event=start   pid, tick_ms (GetTickCount64), time_ms (ms since 1970 UTC),
 *                 exe, cwd, command_line (GetCommandLineW),
 *                 command_line_ansi_hex (the bytes of GetCommandLineA in hex),
 *                 ansi_code_page, arguments (command line after the program
 *                 name and the blanks that follow it), argc, argv0..argvN
 *                 (CommandLineToArgvW), startf_useshowwindow (0/1: STARTUPINFO
 *                 dwFlags & STARTF_USESHOWWINDOW), show_window (wShowWindow),
 *                 mutex_name, mutex_delay_ms ("never" or ms), hold_ms,
 *                 envc, env0..envN (the environment it received, each entry
 *                 "NAME=value" as GetEnvironmentStringsW gives it, in order)
 *   event=mutex   pid, tick_ms, time_ms, mutex_name, created (0/1),
 *                 already_existed (0/1), error (GetLastError after the call)
 *                 -- absent when the mutex is never created
 *   event=exit    pid, tick_ms, time_ms, exit_code
 *
 * Settings: section [launcher] of the file <system drive>\ZelvraStub\settings.ini
 * (C:\ZelvraStub\settings.ini in a Wine prefix), read at each start; not the
 * environment, which the elevated installer gives only the system's
 * variables and the user's names (a test checks just that):
 *   record          record file (default: next to the program)
 *   mutex_delay_ms  ms before the mutex is created (default 0; -1 or
 *                   "never": never created)
 *   hold_ms         ms the mutex is held before exit (default 15000)
 *   mutex_name      mutex name (default "Zelvra_CallUpdater"), so that a test
 *                   can avoid disturbing others
 */
#include <windows.h>
#include <shellapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define LAUNCHER_MUTEX_NAME L"Zelvra_CallUpdater"
#define RECORD_FILE_NAME L"launcher-record.txt"
#define DEFAULT_HOLD_MS 15000
#define NEVER (-1)

/* A growing UTF-8 text block, written to the record file in one piece. */
typedef struct {
  char* text;
  size_t length;
  size_t capacity;
} Block;

static void BlockAppend(Block* block, const char* data, size_t length) {
  if (block->length + length + 1 > block->capacity) {
    size_t capacity = (block->capacity + length + 1) * 2;
    char* grown = realloc(block->text, capacity);
    if (!grown) return;
    block->text = grown;
    block->capacity = capacity;
  }
  memcpy(block->text + block->length, data, length);
  block->length += length;
  block->text[block->length] = '\0';
}

/* Appends `key=value\n`, the value escaped so that it stays on one line. */
static void BlockLine(Block* block, const char* key, const char* value) {
  BlockAppend(block, key, strlen(key));
  BlockAppend(block, "=", 1);
  for (const char* p = value; *p; ++p) {
    if (*p == '%' || *p == '\r' || *p == '\n') {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", (unsigned char)*p);
      BlockAppend(block, escaped, 3);
    } else {
      BlockAppend(block, p, 1);
    }
  }
  BlockAppend(block, "\n", 1);
}

static void BlockLineF(Block* block, const char* key, const char* format, ...) {
  char value[64];
  va_list args;
  va_start(args, format);
  vsnprintf(value, sizeof value, format, args);
  va_end(args);
  BlockLine(block, key, value);
}

static void BlockLineW(Block* block, const char* key, const wchar_t* value) {
  int size = WideCharToMultiByte(CP_UTF8, 0, value, -1, NULL, 0, NULL, NULL);
  char* utf8 = size > 0 ? malloc((size_t)size) : NULL;
  if (utf8 && WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8, size, NULL, NULL) > 0) {
    BlockLine(block, key, utf8);
  } else {
    BlockLine(block, key, "");
  }
  free(utf8);
}

/* Milliseconds since 1970-01-01 UTC, comparable with the mirror's log times. */
static unsigned long long UnixTimeMs(void) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks = {.LowPart = now.dwLowDateTime, .HighPart = now.dwHighDateTime};
  return ticks.QuadPart / 10000ULL - 11644473600000ULL;
}

static void BlockHeader(Block* block, const char* event) {
  BlockLine(block, "event", event);
  BlockLineF(block, "pid", "%lu", GetCurrentProcessId());
  BlockLineF(block, "tick_ms", "%llu", GetTickCount64());
  BlockLineF(block, "time_ms", "%llu", UnixTimeMs());
}

/* Appends the block and an empty line to the record file; several launchers
 * may append at once, so each block is one write. */
static void WriteBlock(const wchar_t* path, Block* block) {
  BlockAppend(block, "\n", 1);
  for (int attempt = 0; attempt < 50; ++attempt) {
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, block->text, (DWORD)block->length, &written, NULL);
      CloseHandle(file);
      break;
    }
    if (GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(20);
  }
  block->length = 0;
}

/* The settings file: <system drive>\ZelvraStub\settings.ini. */
static void SettingsPath(wchar_t* path, size_t size) {
  wchar_t windows[MAX_PATH] = L"C:\\";
  UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length < 3 || length >= MAX_PATH) wcscpy(windows, L"C:\\");
  swprintf(path, size, L"%.2ls\\ZelvraStub\\settings.ini", windows);
}

/* The setting's value, or NULL when it is not set. Caller frees. */
static wchar_t* SettingValue(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  SettingsPath(path, MAX_PATH);
  wchar_t* value = malloc(MAX_PATH * 4 * sizeof(wchar_t));
  if (!value) return NULL;
  DWORD length = GetPrivateProfileStringW(L"launcher", name, L"", value, MAX_PATH * 4, path);
  if (length == 0) {
    free(value);
    return NULL;
  }
  return value;
}

/* Milliseconds from the settings: `fallback` when unset or unreadable,
 * NEVER for "never" or any negative number. */
static long MillisecondsSetting(const wchar_t* name, long fallback) {
  wchar_t* text = SettingValue(name);
  long value = fallback;
  if (text) {
    wchar_t* end = NULL;
    long parsed = wcstol(text, &end, 10);
    if (_wcsicmp(text, L"never") == 0) {
      value = NEVER;
    } else if (end != text && *end == L'\0') {
      value = parsed < 0 ? NEVER : parsed;
    }
  }
  free(text);
  return value;
}

/* The command line after the program name and the blanks that follow it, by
 * the rule the C runtime uses for WinMain's lpCmdLine. */
static const wchar_t* ArgumentsPart(const wchar_t* commandLine) {
  const wchar_t* p = commandLine;
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

static void RecordStart(Block* block, const wchar_t* mutexName, long delayMs, long holdMs) {
  BlockHeader(block, "start");

  wchar_t exe[MAX_PATH * 4];
  DWORD exeLength = GetModuleFileNameW(NULL, exe, MAX_PATH * 4);
  exe[exeLength < MAX_PATH * 4 ? exeLength : 0] = L'\0';
  BlockLineW(block, "exe", exe);
  wchar_t cwd[MAX_PATH * 4];
  DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
  cwd[cwdLength < MAX_PATH * 4 ? cwdLength : 0] = L'\0';
  BlockLineW(block, "cwd", cwd);

  const wchar_t* commandLine = GetCommandLineW();
  BlockLineW(block, "command_line", commandLine);
  const char* ansi = GetCommandLineA();
  size_t ansiLength = strlen(ansi);
  char* hex = malloc(ansiLength * 2 + 1);
  if (hex) {
    for (size_t i = 0; i < ansiLength; ++i) snprintf(hex + 2 * i, 3, "%02x", (unsigned char)ansi[i]);
    hex[ansiLength * 2] = '\0';
    BlockLine(block, "command_line_ansi_hex", hex);
    free(hex);
  }
  BlockLineF(block, "ansi_code_page", "%u", GetACP());
  BlockLineW(block, "arguments", ArgumentsPart(commandLine));

  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(commandLine, &argc);
  BlockLineF(block, "argc", "%d", argv ? argc : 0);
  for (int i = 0; argv && i < argc; ++i) {
    char key[16];
    snprintf(key, sizeof key, "argv%d", i);
    BlockLineW(block, key, argv[i]);
  }
  if (argv) LocalFree(argv);

  STARTUPINFOW startup = {.cb = sizeof startup};
  GetStartupInfoW(&startup);
  BlockLineF(block, "startf_useshowwindow", "%d", (startup.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0);
  BlockLineF(block, "show_window", "%u", startup.wShowWindow);

  BlockLineW(block, "mutex_name", mutexName);
  if (delayMs == NEVER) {
    BlockLine(block, "mutex_delay_ms", "never");
  } else {
    BlockLineF(block, "mutex_delay_ms", "%ld", delayMs);
  }
  BlockLineF(block, "hold_ms", "%ld", holdMs);

  wchar_t* environment = GetEnvironmentStringsW();
  int count = 0;
  for (const wchar_t* entry = environment; entry && *entry; entry += wcslen(entry) + 1) {
    char key[16];
    snprintf(key, sizeof key, "env%d", count++);
    BlockLineW(block, key, entry);
  }
  BlockLineF(block, "envc", "%d", count);
  if (environment) FreeEnvironmentStringsW(environment);
}

/* The record file: from the settings, else next to this program. */
static wchar_t* RecordPath(void) {
  wchar_t* path = SettingValue(L"record");
  if (path && *path) return path;
  free(path);
  path = calloc(MAX_PATH * 4, sizeof(wchar_t));
  if (!path) return NULL;
  DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return path;
  wchar_t* slash = wcsrchr(path, L'\\');
  size_t folder = slash ? (size_t)(slash - path + 1) : 0;
  if (folder + wcslen(RECORD_FILE_NAME) < MAX_PATH * 4) wcscpy(path + folder, RECORD_FILE_NAME);
  return path;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  wchar_t* recordPath = RecordPath();
  wchar_t* mutexName = SettingValue(L"mutex_name");
  if (!mutexName || !*mutexName) {
    free(mutexName);
    mutexName = _wcsdup(LAUNCHER_MUTEX_NAME);
  }
  long delayMs = MillisecondsSetting(L"mutex_delay_ms", 0);
  long holdMs = MillisecondsSetting(L"hold_ms", DEFAULT_HOLD_MS);
  if (holdMs == NEVER) holdMs = DEFAULT_HOLD_MS;

  Block block = {0};
  RecordStart(&block, mutexName, delayMs, holdMs);
  WriteBlock(recordPath, &block);

  HANDLE mutex = NULL;
  if (delayMs != NEVER) {
    Sleep((DWORD)delayMs);
    mutex = CreateMutexW(NULL, FALSE, mutexName);
    DWORD error = GetLastError();
    BlockHeader(&block, "mutex");
    BlockLineW(&block, "mutex_name", mutexName);
    BlockLineF(&block, "created", "%d", mutex != NULL);
    BlockLineF(&block, "already_existed", "%d", mutex != NULL && error == ERROR_ALREADY_EXISTS);
    BlockLineF(&block, "error", "%lu", error);
    WriteBlock(recordPath, &block);
  }
  Sleep((DWORD)holdMs);
  if (mutex) CloseHandle(mutex);

  BlockHeader(&block, "exit");
  BlockLine(&block, "exit_code", "0");
  WriteBlock(recordPath, &block);
  free(block.text);
  free(mutexName);
  free(recordPath);
  return 0;
}
