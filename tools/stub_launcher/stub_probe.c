/* Test helper for the stand-in files (console program, run under Wine):
 *
 *   stub_probe wait NAME TIMEOUT_MS    exit 0 once mutex NAME exists, 1 on time-out
 *   stub_probe gone NAME TIMEOUT_MS    exit 0 once mutex NAME no longer exists
 *   stub_probe hold NAME MS            create mutex NAME, print "holding", keep it MS ms
 *   stub_probe launch FILE PARAMS      start FILE hidden with verb "open" as the
 *                                      installer does; wait for it; exit with its
 *                                      exit code (100 when it cannot be started)
 *   stub_probe load DLL                exit 0 when the DLL loads
 *   stub_probe move FROM TO            rename FROM to TO (MoveFileW); exit 0 when
 *                                      it was renamed, else print the error, exit 1
 *
 * The mutex is looked at with OpenMutex, which never creates it, so watching
 * does not disturb the launcher's own "already existed" finding. Each line
 * printed is flushed at once.
 */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXIT_USAGE 2
#define EXIT_NOT_STARTED 100
#define POLL_MS 20

static BOOL MutexExists(const char* name) {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
  if (mutex) CloseHandle(mutex);
  return mutex != NULL;
}

/* Polls until the mutex's existence equals `wanted`; prints the time taken. */
static int WaitForMutexState(const char* name, BOOL wanted, DWORD timeoutMs) {
  ULONGLONG start = GetTickCount64();
  for (;;) {
    ULONGLONG elapsed = GetTickCount64() - start;
    if (MutexExists(name) == wanted) {
      printf("%s after %llu ms\n", wanted ? "present" : "absent", elapsed);
      return 0;
    }
    if (elapsed >= timeoutMs) {
      printf("timeout after %llu ms\n", elapsed);
      return 1;
    }
    Sleep(POLL_MS);
  }
}

static int HoldMutex(const char* name, DWORD ms) {
  HANDLE mutex = CreateMutexA(NULL, FALSE, name);
  if (!mutex) return 1;
  printf("holding\n");
  fflush(stdout);
  Sleep(ms);
  CloseHandle(mutex);
  return 0;
}

static int Launch(const char* file, const char* parameters) {
  SHELLEXECUTEINFOA launch;
  ZeroMemory(&launch, sizeof launch);
  launch.cbSize = sizeof launch;
  launch.fMask = SEE_MASK_NOCLOSEPROCESS;
  launch.lpVerb = "open";
  launch.lpFile = file;
  launch.lpParameters = parameters;
  launch.nShow = SW_HIDE;
  if (!ShellExecuteExA(&launch) || !launch.hProcess) {
    printf("not started: error %lu\n", GetLastError());
    return EXIT_NOT_STARTED;
  }
  WaitForSingleObject(launch.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(launch.hProcess, &code);
  CloseHandle(launch.hProcess);
  printf("exit code %lu\n", code);
  return (int)code;
}

/* Renames the file or folder named by the command line's third argument to
 * its fourth, read as UTF-16 from the command line. */
static int Move(void) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!arguments || count != 4) return EXIT_USAGE;
  BOOL moved = MoveFileW(arguments[2], arguments[3]);
  DWORD error = GetLastError();
  LocalFree(arguments);
  if (moved) {
    printf("moved\n");
    return 0;
  }
  printf("not moved: error %lu\n", error);
  return 1;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc == 4 && strcmp(argv[1], "wait") == 0) return WaitForMutexState(argv[2], TRUE, strtoul(argv[3], NULL, 10));
  if (argc == 4 && strcmp(argv[1], "gone") == 0) return WaitForMutexState(argv[2], FALSE, strtoul(argv[3], NULL, 10));
  if (argc == 4 && strcmp(argv[1], "hold") == 0) return HoldMutex(argv[2], strtoul(argv[3], NULL, 10));
  if (argc == 4 && strcmp(argv[1], "launch") == 0) return Launch(argv[2], argv[3]);
  if (argc == 4 && strcmp(argv[1], "move") == 0) return Move();
  if (argc == 3 && strcmp(argv[1], "load") == 0) {
    HMODULE module = LoadLibraryA(argv[2]);
    printf(module ? "loaded\n" : "not loaded: error %lu\n", GetLastError());
    return module ? 0 : 1;
  }
  fprintf(
      stderr,
      "usage: stub_probe wait|gone NAME TIMEOUT_MS | hold NAME MS | launch FILE PARAMS | load DLL | move FROM TO\n");
  return EXIT_USAGE;
}
