// bench_worker: runs the installer's download worker (CHttpFileDownloader)
// through its owner (CDownloadWorkerOwner), as the download dialog does, one
// run per URL read from standard input, and answers each with one JSON line of timings, CPU time and memory.
//
//   bench_worker.exe FOLDER        FOLDER: the download folder (Windows path)
//   stdin:  one URL per line; "quit" or end of input ends the program.
//           "raw PIECE URL" fetches URL with the same WinInet calls and the
//           same request flags but a loop of its own that reads and writes
//           PIECE bytes at a time, on the main thread: what the worker's
//           512-byte pieces cost, measured beside it. "rawread PIECE URL"
//           does the same without writing the file. "verify ROUNDS
//           PATH|PATH|..." times the signature check of the update files
//           (open, hold, WinVerifyTrust, signer fingerprint) ROUNDS times:
//           {"verify": true, "passed", "files", "seconds": [per round]}.
//   stdout: per URL {"url", "ok", "status", "bytes", "content_length",
//           "wall_s" (the owner's start to WM_DOWNLOAD_DONE), "started_s" (start to
//           WM_DOWNLOAD_STARTED), "thread_user_s", "thread_kernel_s" (the
//           worker thread's CPU time, read inside its final send, while the
//           thread is alive), "process_cpu_s" (the whole process, over the
//           run), "peak_working_set" (bytes, process peak so far),
//           "working_set" (bytes, after the run)}
//
// A worker that shows an error box or does not finish within five minutes
// ends the program with exit code 2.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "download/http_file_downloader.h"
#include "download/worker_owner.h"
#include "framework/afxapp.h"
#include "launch/update_trust.h"

namespace {

CWinApp g_app(L"Zelvra(TM) Installer");  // the worker's user agent, as in the installer

constexpr wchar_t kOwnerClass[] = L"ZelvraBenchWorkerOwner";
constexpr DWORD kRunLimitMs = 5 * 60 * 1000;

double Seconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 1e7;
}

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double ProcessCpuSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return -1;
  return Seconds(kernel) + Seconds(user);
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// One run, observed from its owner window.
struct Run {
  CDownloadWorkerOwner workers;
  HANDLE thread = nullptr;  // our own reference: the owner's goes with its join
  double resumed = 0, started = 0, final = 0;
  bool finished = false;
  UINT finalMessage = 0;
  WPARAM finalStatus = 0;
  std::uint32_t bytes = 0, contentLength = 0;
  double threadUser = -1, threadKernel = -1;
};

Run* g_run = nullptr;

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Run* run = g_run;
  if (run != nullptr && message == WM_DOWNLOAD_STARTED) {
    run->started = Now();
    return 0;
  }
  if (run != nullptr && (message == WM_DOWNLOAD_DONE || message == WM_DOWNLOAD_FAILED)) {
    run->final = Now();
    run->finished = true;
    run->finalMessage = message;
    run->finalStatus = wParam;
    // The worker waits in this send: it and its thread are alive.
    DownloadSnapshot outcome;
    static_cast<void>(run->workers.TakeFinal(&outcome));
    run->bytes = outcome.bytesReceived;
    run->contentLength = outcome.contentLength;
    FILETIME created, ended, kernel, user;
    if (GetThreadTimes(run->thread, &created, &ended, &kernel, &user)) {
      run->threadUser = Seconds(user);
      run->threadKernel = Seconds(kernel);
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Pumps messages until the run's thread has ended or the limit passed; a
// visible message box of the worker means the run failed.
bool PumpUntilThreadEnds(Run& run, DWORD limitMs) {
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    const DWORD wait = MsgWaitForMultipleObjects(1, &run.thread, FALSE, 50, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      return true;
    }
  }
}

// A UTF-8 argument as the framework's UTF-16 string.
CString WideText(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], n);
  return CString(text);
}

// "ROUNDS PATH|PATH|...": the signature check of those files, timed.
std::string VerifyRuns(const std::string& arguments) {
  const size_t space = arguments.find(' ');
  const int rounds = std::atoi(arguments.substr(0, space).c_str());
  std::vector<CString> files;
  for (size_t at = space + 1; space != std::string::npos && at <= arguments.size();) {
    const size_t bar = arguments.find('|', at);
    files.push_back(WideText(arguments.substr(at, bar == std::string::npos ? std::string::npos : bar - at)));
    if (bar == std::string::npos) break;
    at = bar + 1;
  }
  std::string seconds;
  bool passed = true;
  for (int round = 0; round < rounds; ++round) {
    CUpdateFileCheck check;
    const double start = Now();
    passed = check.Verify(files) && passed;
    const double end = Now();
    check.Close();
    char value[32];
    std::snprintf(value, sizeof(value), "%s%.6f", round == 0 ? "" : ", ", end - start);
    seconds += value;
  }
  return "{\"verify\": true, \"passed\": " + std::string(passed ? "true" : "false") +
         ", \"files\": " + std::to_string(files.size()) + ", \"seconds\": [" + seconds + "]}";
}

std::string RunOnce(HWND owner, CWnd& ownerWnd, const std::string& folder, const std::string& url) {
  Run run;
  DownloadWorkerSettings settings;
  settings.folder = WideText(folder);
  settings.primaryUrl = WideText(url);
  settings.secondaryUrl = settings.primaryUrl;
  CString localPath;
  g_run = &run;
  const double cpuBefore = ProcessCpuSeconds();
  run.resumed = Now();
  if (!run.workers.Start(ownerWnd, settings, &localPath)) {
    g_run = nullptr;
    return "{\"url\": " + JsonText(url) + ", \"ok\": false, \"error\": \"no thread\"}";
  }
  // The worker cannot end before this thread handles its final message.
  run.thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, run.workers.WorkerThreadId());
  const bool ended = PumpUntilThreadEnds(run, kRunLimitMs);
  g_run = nullptr;
  const double cpuAfter = ProcessCpuSeconds();
  (void)owner;
  if (!ended) {
    std::printf("{\"url\": %s, \"ok\": false, \"error\": \"the worker did not end in time\"}\n", JsonText(url).c_str());
    std::fflush(stdout);
    ExitProcess(2);
  }
  CloseHandle(run.thread);

  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof(memory);
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
  const bool ok = run.finished && run.finalMessage == WM_DOWNLOAD_DONE;
  char line[1024];
  std::snprintf(line, sizeof(line),
                "{\"url\": %s, \"ok\": %s, \"status\": %d, \"bytes\": %u, \"content_length\": %u, "
                "\"wall_s\": %.6f, \"started_s\": %.6f, \"thread_user_s\": %.6f, \"thread_kernel_s\": %.6f, "
                "\"process_cpu_s\": %.6f, \"peak_working_set\": %llu, \"working_set\": %llu}",
                JsonText(url).c_str(), ok ? "true" : "false", static_cast<int>(run.finalStatus),
                static_cast<unsigned>(run.bytes), static_cast<unsigned>(run.contentLength),
                run.finished ? run.final - run.resumed : -1.0, run.started > 0 ? run.started - run.resumed : -1.0,
                run.threadUser, run.threadKernel, cpuAfter - cpuBefore,
                static_cast<unsigned long long>(memory.PeakWorkingSetSize),
                static_cast<unsigned long long>(memory.WorkingSetSize));
  return line;
}

std::string RawRun(const std::string& folder, unsigned piece, bool write, const std::string& url) {
  const std::string path = folder + "raw.bin";
  std::vector<char> buffer(piece);
  const double cpuBefore = ProcessCpuSeconds();
  FILETIME created, ended, kernel0, user0, kernel1, user1;
  GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel0, &user0);
  const double start = Now();
  unsigned long long total = 0;
  bool ok = false;
  HINTERNET session = InternetOpenA("Zelvra(TM) Installer", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET request =
      session == nullptr
          ? nullptr
          : InternetOpenUrlA(session, url.c_str(), nullptr, 0,
                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_TRANSFER_BINARY, 1);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (request != nullptr && file != INVALID_HANDLE_VALUE) {
    for (;;) {
      DWORD read = 0;
      if (!InternetReadFile(request, buffer.data(), piece, &read)) break;
      if (read == 0) {
        ok = true;
        break;
      }
      DWORD written = read;
      if (write && (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read)) break;
      total += read;
    }
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (request != nullptr) InternetCloseHandle(request);
  if (session != nullptr) InternetCloseHandle(session);
  const double wall = Now() - start;
  GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel1, &user1);
  const double cpuAfter = ProcessCpuSeconds();
  char line[1024];
  std::snprintf(line, sizeof(line),
                "{\"url\": %s, \"raw_piece\": %u, \"write\": %s, \"ok\": %s, \"bytes\": %llu, \"wall_s\": %.6f, "
                "\"thread_user_s\": %.6f, \"thread_kernel_s\": %.6f, \"process_cpu_s\": %.6f}",
                JsonText(url).c_str(), piece, write ? "true" : "false", ok ? "true" : "false", total, wall,
                Seconds(user1) - Seconds(user0), Seconds(kernel1) - Seconds(kernel0), cpuAfter - cpuBefore);
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_worker FOLDER  (URLs on standard input)\n");
    return 1;
  }
  std::string folder = argv[1];
  if (folder.empty() || folder.back() != '\\') folder += '\\';

  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = OwnerProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = kOwnerClass;
  RegisterClassW(&windowClass);
  HWND owner = CreateWindowExW(0, kOwnerClass, L"bench worker owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
  CWnd ownerWnd;
  ownerWnd.m_hWnd = owner;

  std::string url;
  while (std::getline(std::cin, url)) {
    while (!url.empty() && (url.back() == '\r' || url.back() == ' ')) url.pop_back();
    if (url.empty()) continue;
    if (url == "quit") break;
    std::string line;
    if (url.rfind("verify ", 0) == 0) {
      line = VerifyRuns(url.substr(7));
    } else if (url.rfind("raw ", 0) == 0 || url.rfind("rawread ", 0) == 0) {
      const bool write = url.rfind("raw ", 0) == 0;
      const std::string rest = url.substr(url.find(' ') + 1);
      const size_t space = rest.find(' ');
      const unsigned piece = static_cast<unsigned>(std::strtoul(rest.substr(0, space).c_str(), nullptr, 10));
      line = RawRun(folder, piece == 0 ? 512 : piece, write, space == std::string::npos ? "" : rest.substr(space + 1));
    } else {
      line = RunOnce(owner, ownerWnd, folder, url);
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  ownerWnd.m_hWnd = nullptr;
  DestroyWindow(owner);
  return 0;
}
