// Runs one CHttpFileDownloader through a CDownloadWorkerOwner, as the
// download dialog does, on the test thread: a hidden top-level window records the worker's
// three messages (with a snapshot of the worker's fields taken inside the
// send, while the worker object is certainly alive), and the worker's error
// boxes are read and answered from this thread while it pumps messages.
// Every wait has a time limit, so a misbehaving worker fails a test instead
// of hanging it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "download/http_file_downloader.h"
#include "download/worker_owner.h"

namespace worker_test {

// Whether the local file could be opened by someone else at a moment.
enum class FileState { kMissing, kFree, kLocked };

// One message the owner window received, with what the worker's fields held
// while the worker waited in the send.
struct Notification {
  UINT message = 0;
  WPARAM wParam = 0;
  std::uint32_t contentLength = 0;
  std::uint32_t bytesReceived = 0;
  BOOL done = FALSE;
  std::int32_t status = 0;
  FileState localFile = FileState::kMissing;
  DWORD tick = 0;  // GetTickCount when it arrived
};

// One message box the worker showed, as the user saw it.
struct SeenBox {
  HWND window = nullptr;
  std::wstring title;
  std::wstring text;
  HWND owner = nullptr;
  DWORD tick = 0;  // GetTickCount when it was found
};

const char* MessageName(UINT message);

// The owner, with its seams: the workers' class, and a resume that fails.
class TestOwner : public CDownloadWorkerOwner {
 public:
  void SetWorkerClass(const CRuntimeClass* workerClass) { m_pWorkerClass = workerClass; }
  void FailResume() { m_bFailResume = true; }
};

class WorkerRun {
 public:
  // A run of `workerClass` (a CHttpFileDownloader class; that one by
  // default) for the folder (held open, as an elevated run's dialog holds
  // it, when it exists) and the URLs, reporting to this run's window.
  WorkerRun(const std::string& folder,
            const std::string& primaryUrl,
            const std::string& secondaryUrl,
            BOOL secondaryFirst = FALSE,
            DWORD folderError = NO_ERROR,
            const CRuntimeClass* workerClass = nullptr);
  ~WorkerRun();
  WorkerRun(const WorkerRun&) = delete;
  WorkerRun& operator=(const WorkerRun&) = delete;

  // The local path the owner's start gave.
  const std::string& LocalPath() const { return localPath_; }
  HWND Owner() const { return owner_; }
  TestOwner& Workers() { return workers_; }
  // Before Start.
  void SetMaxFileSize(std::uint32_t bytes) { settings_.maxFileSize = bytes; }
  // Closes this run's own handle of the folder (the worker's is its own).
  void CloseFolder();
  // Called after the final message was recorded, inside its send.
  std::function<void()> onFinal;

  // Makes the owner object (not its window) forget the window, as a
  // destroyed owner object would; the worker was given the window before.
  void ForgetOwnerObject() { ownerWnd_.m_hWnd = nullptr; }
  // Starts the worker through the owner; whether it started.
  bool Start();
  // The owner's Cancel.
  bool Cancel() { return workers_.Cancel(); }
  // The worker's counters and outcome so far.
  DownloadSnapshot Snapshot() const { return workers_.Snapshot(); }
  // Pumps this thread's messages and answers the worker's boxes until `done`
  // holds or `timeoutMs` passed; returns whether `done` held.
  bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
  // Until the final message (WM_DOWNLOAD_DONE or WM_DOWNLOAD_FAILED).
  bool WaitFinal(DWORD timeoutMs = 20000);
  // Until the worker's thread has ended (pumping meanwhile).
  bool WaitThreadEnd(DWORD timeoutMs = 10000);
  bool Final() const { return final_; }
  // The thread's exit code, once it ended.
  DWORD ExitCode() const;

  const std::vector<Notification>& Notifications() const { return notifications_; }
  const std::vector<SeenBox>& Boxes() const { return boxes_; }
  // When the worker was started and when its final message arrived
  // (GetTickCount).
  DWORD StartTick() const { return startTick_; }
  DWORD FinalTick() const { return finalTick_; }

 private:
  static LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Record(UINT message, WPARAM wParam);
  void AnswerBoxes();

  HWND owner_ = nullptr;
  CWnd ownerWnd_;
  TestOwner workers_;
  DownloadWorkerSettings settings_;
  DWORD threadId_ = 0;
  HANDLE thread_ = nullptr;  // our own: the owner's goes with its join
  HANDLE folder_ = nullptr;  // the download folder, held for the run
  std::string localPath_;
  std::vector<Notification> notifications_;
  std::vector<SeenBox> boxes_;
  bool final_ = false;
  DWORD startTick_ = 0;
  DWORD finalTick_ = 0;
};

// The state of the file at `path` for another opener that allows every
// kind of sharing.
FileState LocalFileState(const std::string& path);

// The whole content of a file; `ok` false when it cannot be read.
std::string ReadWholeFile(const std::string& path, bool* ok = nullptr);

// UTF-8 <-> UTF-16, for comparing box texts with expected texts.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& text);

}  // namespace worker_test
