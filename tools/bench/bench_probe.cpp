// bench_probe: measures another process's windows from outside, as a user's
// system sees them. Runs in the same Wine prefix as the program measured.
// Every mode prints one JSON object on one line at the end; modes that wait
// for a signal print "ready" first. Times are seconds from a high-resolution
// counter; "epoch" values are seconds since 1970 (the system clock, which
// Wine takes from the host, so they compare with the host's time.time()).
//
//   rtt --pid P --prompt HWND --dialog-title T [--interval-ms 10] [--timeout-ms 120000]
//       Waits for a visible window of P titled T (the progress dialog); from
//       then on, every interval, sends WM_NULL (SendMessageTimeout) to it and
//       to the prompt and times each round trip; every 50 ms times a posted
//       message too (BM_SETSTATE to the prompt's hidden Close button, read
//       back with BM_GETSTATE); every 100 ms reads P's working set and the
//       progress bar. Ends when the dialog is gone.
//   cancel --pid P --dialog HWND --prompt HWND --file PATH [--timeout-ms 45000]
//       Prints "ready", waits for a line on stdin, then clicks the dialog's
//       Cancel (posted BM_CLICK) and times: dialog hidden, dialog destroyed,
//       prompt's OK enabled, PATH openable without sharing, and the end of
//       each thread of P other than the dialog's (with its CPU time before
//       the click), every millisecond. Meanwhile, on threads of their own,
//       sent and posted round trips to the prompt every 10 ms.
//   startup --exe PATH --title T [--runs 5] [--pause-ms 300]
//       Starts PATH, times until a visible top-level window of it titled T
//       exists (looked for every 5 ms) and until it is idle for input, reads
//       its working set, ends it.
//   waitwin --title T [--timeout-ms 60000] [--terminate]
//       Prints "ready", then the epoch when a visible window titled T appears
//       (looked for every 5 ms), and ends its process with --terminate.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kCloseButtonId = 1004;  // the prompt's Close button, hidden until the hand-off
constexpr DWORD kSendLimitMs = 5000;  // a round trip longer than this counts as a time-out
// How often start-up looks for the new window: often enough for a few ms of
// grain, seldom enough not to compete with the starting program for the
// wineserver.
constexpr DWORD kWindowPollMs = 5;

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

double Epoch() {
  FILETIME time;
  GetSystemTimePreciseAsFileTime(&time);
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart - 116444736000000000ULL) / 1e7;
}

double FileTimeSeconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 1e7;
}

// Sleeps until the counter reaches `when` (seconds).
void SleepUntil(double when) {
  const double left = when - Now();
  if (left > 0.002) Sleep(static_cast<DWORD>((left - 0.001) * 1000));
  while (Now() < when) Sleep(0);
}

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string Json(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.6f", value);
  return text;
}

std::string Json(const std::vector<double>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    char text[32];
    std::snprintf(text, sizeof(text), "%s%.6f", i ? ", " : "", values[i]);
    out += text;
  }
  return out + "]";
}

// Command-line options: "--name value" pairs and "--flag" switches.
class Options {
 public:
  Options(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
      std::string name = argv[i];
      if (name.rfind("--", 0) != 0) continue;
      name = name.substr(2);
      if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
        values_[name] = argv[++i];
      } else {
        values_[name] = "1";
      }
    }
  }
  std::string Text(const std::string& name, const std::string& fallback = "") const {
    const auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second;
  }
  long long Number(const std::string& name, long long fallback) const {
    const auto found = values_.find(name);
    return found == values_.end() ? fallback : std::strtoll(found->second.c_str(), nullptr, 0);
  }
  bool Has(const std::string& name) const { return values_.count(name) != 0; }

 private:
  std::map<std::string, std::string> values_;
};

HWND HandleFrom(long long value) { return reinterpret_cast<HWND>(static_cast<LONG_PTR>(value)); }

struct WindowSearch {
  DWORD pid;  // 0: any process
  std::wstring title;
  HWND found = nullptr;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  if (!IsWindowVisible(window)) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (search->pid != 0 && pid != search->pid) return TRUE;
  wchar_t title[512] = {};
  GetWindowTextW(window, title, 512);
  if (search->title != title) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindVisibleWindow(DWORD pid, const std::wstring& title) {
  WindowSearch search{pid, title};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Round trip of a sent WM_NULL in seconds; negative after a time-out.
double SentRoundTrip(HWND window) {
  DWORD_PTR result = 0;
  const double start = Now();
  const LRESULT ok = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kSendLimitMs, &result);
  const double elapsed = Now() - start;
  return ok ? elapsed : -elapsed;
}

// Round trip of a posted message: BM_SETSTATE posted to a button, then
// polled with BM_GETSTATE until the window's thread has taken it from its
// queue; the state is put back the same way. Seconds; negative after a
// time-out of `limit` seconds.
double PostedRoundTrip(HWND button, double limit) {
  const double start = Now();
  PostMessageW(button, BM_SETSTATE, TRUE, 0);
  double elapsed = -1;
  for (;;) {
    DWORD_PTR state = 0;
    if (SendMessageTimeoutW(button, BM_GETSTATE, 0, 0, SMTO_NORMAL, kSendLimitMs, &state) && (state & BST_PUSHED)) {
      elapsed = Now() - start;
      break;
    }
    if (Now() - start > limit || !IsWindow(button)) {
      elapsed = -(Now() - start);
      break;
    }
    Sleep(0);
  }
  PostMessageW(button, BM_SETSTATE, FALSE, 0);
  return elapsed;
}

struct Series {
  std::vector<double> at;   // seconds from the start of the series
  std::vector<double> rtt;  // seconds; negative: timed out after that long
  std::string ToJson() const { return "{\"at\": " + Json(at) + ", \"rtt\": " + Json(rtt) + "}"; }
};

// Times round trips to one or more windows on a thread of its own, every
// `interval` seconds (ticks missed while a round trip was slow are skipped,
// not made up), so that a slow answer never holds up the caller's polling.
class Sampler {
 public:
  enum Kind { kSent, kPosted };
  Sampler(Kind kind, std::vector<HWND> windows, double interval, double origin)
      : kind_(kind), windows_(std::move(windows)), series_(windows_.size()), interval_(interval), origin_(origin) {}
  ~Sampler() { Stop(); }
  void Start() { thread_ = CreateThread(nullptr, 0, &Sampler::Main, this, 0, nullptr); }
  void Stop() {
    stop_ = true;
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, INFINITE);
      CloseHandle(thread_);
      thread_ = nullptr;
    }
  }
  const Series& Of(size_t index) const { return series_[index]; }
  long long Ticks() const { return ticks_; }

 private:
  static DWORD WINAPI Main(void* self) {
    static_cast<Sampler*>(self)->Loop();
    return 0;
  }
  void Loop() {
    double next = Now();
    while (!stop_) {
      SleepUntil(next);
      const double now = Now();
      while (next <= now) next += interval_;
      ++ticks_;
      for (size_t i = 0; i < windows_.size() && !stop_; ++i) {
        series_[i].at.push_back(Now() - origin_);
        series_[i].rtt.push_back(kind_ == kSent ? SentRoundTrip(windows_[i]) : PostedRoundTrip(windows_[i], 5.0));
      }
    }
  }
  Kind kind_;
  std::vector<HWND> windows_;
  std::vector<Series> series_;
  double interval_, origin_;
  volatile bool stop_ = false;
  long long ticks_ = 0;
  HANDLE thread_ = nullptr;
};

struct Memory {
  SIZE_T peak = 0, maxCurrent = 0;
  bool ok = false;
  void Sample(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (process != nullptr && GetProcessMemoryInfo(process, &counters, sizeof(counters))) {
      ok = true;
      peak = std::max(peak, counters.PeakWorkingSetSize);
      maxCurrent = std::max(maxCurrent, counters.WorkingSetSize);
    }
  }
  std::string ToJson() const {
    char text[160];
    std::snprintf(text, sizeof(text), "{\"ok\": %s, \"peak_working_set\": %llu, \"max_working_set\": %llu}",
                  ok ? "true" : "false", static_cast<unsigned long long>(peak),
                  static_cast<unsigned long long>(maxCurrent));
    return text;
  }
};

void WaitForGoLine() {
  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
}

int RoundTrips(const Options& options) {
  const DWORD pid = static_cast<DWORD>(options.Number("pid", 0));
  const HWND prompt = HandleFrom(options.Number("prompt", 0));
  const std::wstring title = Wide(options.Text("dialog-title"));
  const double interval = static_cast<double>(options.Number("interval-ms", 10)) / 1000.0;
  const double timeout = static_cast<double>(options.Number("timeout-ms", 120000)) / 1000.0;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  const HWND closeButton = GetDlgItem(prompt, kCloseButtonId);

  std::printf("ready\n");
  std::fflush(stdout);
  const double waitStart = Now();
  HWND dialog = nullptr;
  while (dialog == nullptr && Now() - waitStart < timeout) {
    dialog = FindVisibleWindow(pid, title);
    if (dialog == nullptr) Sleep(1);
  }
  if (dialog == nullptr) {
    std::printf("{\"ok\": false, \"error\": \"no dialog\"}\n");
    return 2;
  }
  const HWND progressBar = GetDlgItem(dialog, 1001);
  const double start = Now();
  const double foundEpoch = Epoch();
  Sampler sent(Sampler::kSent, {dialog, prompt}, interval, start);
  Sampler posted(Sampler::kPosted, {closeButton}, 0.05, start);
  sent.Start();
  if (closeButton != nullptr) posted.Start();
  Memory memory;
  std::vector<double> progressAt, progressPos;
  while (IsWindow(dialog) && IsWindowVisible(dialog) && Now() - start < timeout) {
    memory.Sample(process);
    DWORD_PTR position = 0;
    if (progressBar != nullptr &&
        SendMessageTimeoutW(progressBar, PBM_GETPOS, 0, 0, SMTO_NORMAL, kSendLimitMs, &position)) {
      progressAt.push_back(Now() - start);
      progressPos.push_back(static_cast<double>(position));
    }
    Sleep(100);
  }
  sent.Stop();
  posted.Stop();
  const long long ticks = sent.Ticks();
  const double duration = Now() - start;
  memory.Sample(process);
  if (process != nullptr) CloseHandle(process);
  std::printf(
      "{\"ok\": true, \"found_epoch\": %s, \"duration_s\": %s, \"ticks\": %lld, \"interval_s\": %s, "
      "\"dialog\": %s, \"prompt\": %s, \"posted\": %s, \"memory\": %s, \"progress\": {\"at\": %s, \"pos\": %s}}\n",
      Json(foundEpoch).c_str(), Json(duration).c_str(), ticks, Json(interval).c_str(), sent.Of(0).ToJson().c_str(),
      sent.Of(1).ToJson().c_str(), posted.Of(0).ToJson().c_str(), memory.ToJson().c_str(), Json(progressAt).c_str(),
      Json(progressPos).c_str());
  return 0;
}

struct WatchedThread {
  DWORD id;
  HANDLE handle;
  double cpu;         // seconds of CPU before the click
  double ended = -1;  // seconds after the click
};

std::vector<WatchedThread> OtherThreads(DWORD pid, DWORD uiThread) {
  std::vector<WatchedThread> threads;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return threads;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid || entry.th32ThreadID == uiThread) continue;
    HANDLE handle = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    if (handle == nullptr) continue;
    FILETIME created, ended, kernel, user;
    double cpu = -1;
    if (GetThreadTimes(handle, &created, &ended, &kernel, &user)) cpu = FileTimeSeconds(kernel) + FileTimeSeconds(user);
    threads.push_back(WatchedThread{entry.th32ThreadID, handle, cpu});
  }
  CloseHandle(snapshot);
  return threads;
}

// Whether nobody else has the file open: it opens without sharing.
bool OpensExclusively(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

int CancelTimeline(const Options& options) {
  const DWORD pid = static_cast<DWORD>(options.Number("pid", 0));
  const HWND dialog = HandleFrom(options.Number("dialog", 0));
  const HWND prompt = HandleFrom(options.Number("prompt", 0));
  const std::wstring path = Wide(options.Text("file"));
  const double timeout = static_cast<double>(options.Number("timeout-ms", 45000)) / 1000.0;
  const HWND cancel = GetDlgItem(dialog, IDCANCEL);
  const HWND okButton = GetDlgItem(prompt, IDOK);
  const HWND closeButton = GetDlgItem(prompt, kCloseButtonId);
  const DWORD uiThread = GetWindowThreadProcessId(dialog, nullptr);

  WaitForGoLine();
  std::vector<WatchedThread> threads = OtherThreads(pid, uiThread);
  const bool fileFreeBefore = OpensExclusively(path);

  const double clickEpoch = Epoch();
  const double click = Now();
  PostMessageW(cancel, BM_CLICK, 0, 0);
  Sampler sent(Sampler::kSent, {prompt}, 0.01, click);
  Sampler posted(Sampler::kPosted, {closeButton}, 0.01, click);
  sent.Start();
  if (closeButton != nullptr) posted.Start();
  double hidden = -1, destroyed = -1, promptReady = -1, fileFree = -1;
  bool samplersRunning = true;
  for (;;) {
    const double now = Now() - click;
    if (hidden < 0 && !(IsWindow(dialog) && IsWindowVisible(dialog))) hidden = now;
    if (destroyed < 0 && !IsWindow(dialog)) destroyed = now;
    if (promptReady < 0 && IsWindowEnabled(okButton) && IsWindowEnabled(prompt)) promptReady = now;
    if (fileFree < 0 && OpensExclusively(path)) fileFree = now;
    bool allEnded = true;
    for (WatchedThread& thread : threads) {
      if (thread.ended < 0 && WaitForSingleObject(thread.handle, 0) == WAIT_OBJECT_0) thread.ended = now;
      if (thread.ended < 0) allEnded = false;
    }
    // The prompt's thread is measured until shortly after the dialog is gone.
    if (samplersRunning && destroyed >= 0 && promptReady >= 0 && now > destroyed + 0.5) {
      sent.Stop();
      posted.Stop();
      samplersRunning = false;
    }
    if ((!samplersRunning && fileFree >= 0 && allEnded) || now > timeout) break;
    Sleep(1);
  }
  sent.Stop();
  posted.Stop();

  std::string threadList = "[";
  for (size_t i = 0; i < threads.size(); ++i) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s{\"tid\": %lu, \"cpu_s\": %.6f, \"ended_s\": %.6f}", i ? ", " : "",
                  static_cast<unsigned long>(threads[i].id), threads[i].cpu, threads[i].ended);
    threadList += text;
    CloseHandle(threads[i].handle);
  }
  threadList += "]";
  std::printf(
      "{\"ok\": true, \"click_epoch\": %s, \"file_free_before\": %s, \"hidden_s\": %s, \"destroyed_s\": %s, "
      "\"prompt_ready_s\": %s, \"file_free_s\": %s, \"threads\": %s, \"prompt_sent\": %s, \"prompt_posted\": %s}\n",
      Json(clickEpoch).c_str(), fileFreeBefore ? "true" : "false", Json(hidden).c_str(), Json(destroyed).c_str(),
      Json(promptReady).c_str(), Json(fileFree).c_str(), threadList.c_str(), sent.Of(0).ToJson().c_str(),
      posted.Of(0).ToJson().c_str());
  return 0;
}

int StartUp(const Options& options) {
  const std::wstring exe = Wide(options.Text("exe"));
  const std::wstring title = Wide(options.Text("title"));
  const int runs = static_cast<int>(options.Number("runs", 5));
  const DWORD pause = static_cast<DWORD>(options.Number("pause-ms", 300));
  // This process's own user-interface set-up (the first window calls) must
  // not compete with the program being started.
  FindVisibleWindow(0, L"");
  Sleep(200);
  for (int run = 0; run < runs; ++run) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const double start = Now();
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      std::printf("{\"run\": %d, \"ok\": false, \"error\": \"CreateProcess %lu\"}\n", run,
                  static_cast<unsigned long>(GetLastError()));
      std::fflush(stdout);
      return 2;
    }
    const double created = Now() - start;
    double visible = -1;
    while (Now() - start < 60) {
      if (FindVisibleWindow(info.dwProcessId, title) != nullptr) {
        visible = Now() - start;
        break;
      }
      if (WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0) break;
      Sleep(kWindowPollMs);
    }
    double idle = -1;
    if (visible >= 0 && WaitForInputIdle(info.hProcess, 10000) == 0) idle = Now() - start;
    Memory memory;
    memory.Sample(info.hProcess);
    TerminateProcess(info.hProcess, 0);
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    std::printf("{\"run\": %d, \"ok\": %s, \"created_s\": %s, \"visible_s\": %s, \"idle_s\": %s, \"memory\": %s}\n",
                run, visible >= 0 ? "true" : "false", Json(created).c_str(), Json(visible).c_str(), Json(idle).c_str(),
                memory.ToJson().c_str());
    std::fflush(stdout);
    Sleep(pause);
  }
  return 0;
}

int WaitWindow(const Options& options) {
  const std::wstring title = Wide(options.Text("title"));
  const double timeout = static_cast<double>(options.Number("timeout-ms", 60000)) / 1000.0;
  std::printf("ready\n");
  std::fflush(stdout);
  const double start = Now();
  HWND window = nullptr;
  while (window == nullptr && Now() - start < timeout) {
    window = FindVisibleWindow(0, title);
    if (window == nullptr) Sleep(kWindowPollMs);
  }
  if (window == nullptr) {
    std::printf("{\"ok\": false, \"error\": \"no window\"}\n");
    return 2;
  }
  const double epoch = Epoch();
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (options.Has("terminate")) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process != nullptr) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
  }
  std::printf("{\"ok\": true, \"epoch\": %s, \"pid\": %lu}\n", Json(epoch).c_str(), static_cast<unsigned long>(pid));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const Options options(argc, argv);
  int code = 1;
  if (mode == "rtt") {
    code = RoundTrips(options);
  } else if (mode == "cancel") {
    code = CancelTimeline(options);
  } else if (mode == "startup") {
    code = StartUp(options);
  } else if (mode == "waitwin") {
    code = WaitWindow(options);
  } else {
    std::fprintf(stderr, "usage: bench_probe rtt|cancel|startup|waitwin ... (see the top of bench_probe.cpp)\n");
  }
  std::fflush(stdout);
  return code;
}
