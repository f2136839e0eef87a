#include "tests/win/worker_harness.h"

#include <algorithm>

namespace worker_test {

namespace {

constexpr wchar_t kOwnerClass[] = L"ZelvraWorkerTestOwner";
constexpr DWORD kPollMs = 15;          // how often the pump looks for boxes
constexpr DWORD kClickGraceMs = 3000;  // time a box has to go after its OK button was clicked

ATOM RegisterOwnerClass(WNDPROC proc) {
  static ATOM atom = [proc] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kOwnerClass;
    return RegisterClassW(&windowClass);
  }();
  return atom;
}

std::wstring WindowText(HWND window) {
  wchar_t buffer[2048] = {};
  GetWindowTextW(window, buffer, 2048);
  return buffer;
}

struct BoxSearch {
  std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
  wchar_t cls[32] = {};
  GetClassNameW(window, cls, 32);
  if (wcscmp(cls, L"#32770") == 0 && IsWindowVisible(window)) {
    reinterpret_cast<BoxSearch*>(param)->boxes.push_back(window);
  }
  return TRUE;
}

}  // namespace

const char* MessageName(UINT message) {
  switch (message) {
    case WM_DOWNLOAD_STARTED: return "STARTED";
    case WM_DOWNLOAD_FAILED: return "FAILED";
    case WM_DOWNLOAD_DONE: return "DONE";
    default: return "?";
  }
}

FileState LocalFileState(const std::string& path) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return FileState::kFree;
  }
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileState::kMissing : FileState::kLocked;
}

std::string ReadWholeFile(const std::string& path, bool* ok) {
  if (ok != nullptr) *ok = false;
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string content;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) content.append(buffer, read);
  CloseHandle(file);
  if (ok != nullptr) *ok = true;
  return content;
}

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], n);
  return text;
}

std::string Utf8(const std::wstring& text) {
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

WorkerRun::WorkerRun(const std::string& folder,
                     const std::string& primaryUrl,
                     const std::string& secondaryUrl,
                     BOOL secondaryFirst,
                     DWORD folderError,
                     const CRuntimeClass* workerClass) {
  RegisterOwnerClass(&WorkerRun::OwnerProc);
  owner_ = CreateWindowExW(0, kOwnerClass, L"worker test owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(owner_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ownerWnd_.m_hWnd = owner_;
  workers_.SetWorkerClass(workerClass);
  const HANDLE held =
      CreateFileW(Wide(folder).c_str(), FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  folder_ = held != INVALID_HANDLE_VALUE ? held : nullptr;
  settings_.folder = CString(Wide(folder));
  settings_.folderError = folderError;
  settings_.folderHandle = folder_;
  settings_.primaryUrl = CString(Wide(primaryUrl));
  settings_.secondaryUrl = CString(Wide(secondaryUrl));
  settings_.secondaryFirst = secondaryFirst;
}

WorkerRun::~WorkerRun() {
  // A run that a test gave up on may still be going: it must not report into
  // a later test's window, so the owner lets it go and the window goes.
  workers_.LetGo();
  SetWindowLongPtrW(owner_, GWLP_USERDATA, 0);
  DestroyWindow(owner_);
  CloseFolder();  // the worker holds a duplicate
  if (thread_ != nullptr) CloseHandle(thread_);
}

bool WorkerRun::Start() {
  startTick_ = GetTickCount();
  CString localPath;
  const bool started = workers_.Start(ownerWnd_, settings_, &localPath);
  localPath_ = Utf8(localPath.str());
  if (!started) return false;
  // The worker cannot end before this thread handles its final message.
  threadId_ = workers_.WorkerThreadId();
  thread_ = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, threadId_);
  return true;
}

void WorkerRun::CloseFolder() {
  if (folder_ != nullptr) CloseHandle(folder_);
  folder_ = nullptr;
}

DWORD WorkerRun::ExitCode() const {
  DWORD code = STILL_ACTIVE;
  if (thread_ != nullptr) GetExitCodeThread(thread_, &code);
  return code;
}

LRESULT CALLBACK WorkerRun::OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* run = reinterpret_cast<WorkerRun*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (run != nullptr &&
      (message == WM_DOWNLOAD_STARTED || message == WM_DOWNLOAD_FAILED || message == WM_DOWNLOAD_DONE)) {
    run->Record(message, wParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void WorkerRun::Record(UINT message, WPARAM wParam) {
  Notification n;
  n.message = message;
  n.wParam = wParam;
  n.tick = GetTickCount();
  // Taken inside the send, while the worker waits in it (also after a cancel).
  const DownloadSnapshot snapshot = workers_.Snapshot();
  n.contentLength = snapshot.contentLength;
  n.bytesReceived = snapshot.bytesReceived;
  n.done = snapshot.done;
  n.status = snapshot.status;
  n.localFile = localPath_.empty() ? FileState::kMissing : LocalFileState(localPath_);
  notifications_.push_back(n);
  if (message != WM_DOWNLOAD_STARTED) {
    DownloadSnapshot outcome;
    static_cast<void>(workers_.TakeFinal(&outcome));  // false after a cancel
    final_ = true;
    finalTick_ = n.tick;
    if (onFinal) onFinal();
  }
}

void WorkerRun::AnswerBoxes() {
  if (threadId_ == 0) return;
  BoxSearch search;
  EnumThreadWindows(threadId_, &CollectBox, reinterpret_cast<LPARAM>(&search));
  for (HWND box : search.boxes) {
    const auto known = std::find_if(boxes_.begin(), boxes_.end(), [box](const SeenBox& b) { return b.window == box; });
    if (known != boxes_.end()) {
      // Still up long after the click: close it by its command instead.
      if (GetTickCount() - known->tick > kClickGraceMs) {
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
      }
      continue;
    }
    SeenBox seen;
    seen.window = box;
    seen.title = WindowText(box);
    // The text control is 0xFFFF on Windows and 100 under Wine.
    HWND text = GetDlgItem(box, 0xFFFF);
    if (text == nullptr) text = GetDlgItem(box, 100);
    seen.text = WindowText(text);
    seen.owner = GetWindow(box, GW_OWNER);
    seen.tick = GetTickCount();
    boxes_.push_back(seen);
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  }
}

bool WorkerRun::PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    AnswerBoxes();
    if (done()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min(kPollMs, timeoutMs - elapsed), QS_ALLINPUT);
  }
}

bool WorkerRun::WaitFinal(DWORD timeoutMs) {
  return PumpUntil([this] { return final_; }, timeoutMs);
}

bool WorkerRun::WaitThreadEnd(DWORD timeoutMs) {
  if (thread_ == nullptr) return false;
  return PumpUntil([this] { return WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }, timeoutMs);
}

}  // namespace worker_test
