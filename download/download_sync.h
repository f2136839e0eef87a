// CDownloadSync: what one download worker and its owner share, held by both
// (see "How a download runs" in download/worker_owner.h).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "framework/afxstring.h"
#include "platform/handle.h"

class CFile;
class CInternetSession;

// What the worker has done so far, as its owner and the tests read it.
struct DownloadSnapshot {
  std::uint32_t contentLength = 0;   // Content-Length, 0 when missing or unreadable
  std::uint32_t bytesReceived = 0;   // body bytes received in this run
  BOOL done = FALSE;                 // the whole body is received and the file closed
  std::int32_t status = 0;           // the DownloadStatus the run ended with, or 0
  bool askedForCredentials = false;  // the run showed the proxy credentials dialog
};

class CDownloadSync {
 public:
  // A new block, held once by the caller.
  static CDownloadSync* Create() { return new CDownloadSync; }
  void AddRef() { ::InterlockedIncrement(&m_nRefs); }
  // Lets go of one hold; the last one deletes the block.
  void Release() {
    if (::InterlockedDecrement(&m_nRefs) == 0) delete this;
  }
  CDownloadSync(const CDownloadSync&) = delete;
  CDownloadSync& operator=(const CDownloadSync&) = delete;

  DownloadSnapshot Snapshot() const;

  // The worker's counters and outcome, written by the worker and read by
  // the owner without a lock (each is one indivisible value; a reader may
  // see one update late).
  void BeginRun();  // all back to zero
  void SetContentLength(std::uint32_t length) { m_dwContentLength.store(length); }
  std::uint32_t ContentLength() const { return m_dwContentLength.load(); }
  std::uint32_t BytesReceived() const { return m_dwBytesReceived.load(); }
  void AddBytesReceived(std::uint32_t count) { m_dwBytesReceived.fetch_add(count); }
  void SetDone() { m_bDone.store(TRUE); }
  void SetStatus(std::int32_t status) { m_nStatus.store(status); }
  std::int32_t Status() const { return m_nStatus.load(); }

  // The owner's window, which receives the worker's messages and owns its
  // boxes; null once the owner has let it go.
  void SetOwnerWindow(HWND window);
  HWND OwnerWindow();
  // The download folder, held by this block (a duplicate of the owner's
  // handle, so that the owner may close its own whenever it likes). Read
  // inside UnlessCancelled only: a cancel lets it go.
  void SetFolder(zelvra::UniqueHandle folder) { m_folder = static_cast<zelvra::UniqueHandle&&>(folder); }
  HANDLE Folder() const { return m_folder.Get(); }

  // The run's session and local file, while they exist (null otherwise).
  void SetSession(CInternetSession* session);
  void SetLocalFile(CFile* file);
  // From the owner: asks the run to stop. Sets the cancel flag, closes the
  // local file, aborts the session and lets the folder go. False, and
  // nothing changes, once the run has decided to show its failure in a box
  // or while the proxy credentials dialog is up.
  bool Cancel();
  // From the worker: runs `act` unless the owner has cancelled, under the
  // block's lock, so that a cancel comes wholly before or wholly after it
  // (it cannot close the file between the test and a write). Returns whether
  // `act` ran. `act` may throw; the lock is let go.
  template <class Act>
  bool UnlessCancelled(Act act) {
    zelvra::CriticalSectionLock lock(m_lock);
    if (Cancelled()) return false;
    act();
    return true;
  }
  // From the worker, right before it would show a failure's box: false when
  // the owner has cancelled (no box then), else true, after which Cancel is
  // refused. `owner` receives the window the box belongs to.
  bool DecideErrorBox(HWND* owner);
  // From the worker, right before it would show the proxy credentials
  // dialog: false when the owner has cancelled (no dialog then), else true,
  // after which Cancel is refused until EndCredentialsDialog (the dialog is
  // modal to the owner's window; nothing may close the request under it).
  // `owner` receives the window the dialog belongs to.
  bool BeginCredentialsDialog(HWND* owner);
  void EndCredentialsDialog();
  // The proxy credentials the user gave in this run's dialog, for the
  // owner to hand to the next worker (a worker's session is its own, and
  // WinInet keeps credentials for a session); empty when none were given.
  void SetProxyCredentials(const CString& user, const CString& password);
  void TakeProxyCredentials(CString* user, CString* password);
  // Whether the owner has cancelled.
  bool Cancelled() const { return m_bCancel.load() != 0; }

 private:
  CDownloadSync() { ::InitializeCriticalSection(&m_lock); }
  ~CDownloadSync() { ::DeleteCriticalSection(&m_lock); }

  LONG volatile m_nRefs = 1;
  CRITICAL_SECTION m_lock;
  std::atomic<std::uint32_t> m_dwContentLength{0};
  std::atomic<std::uint32_t> m_dwBytesReceived{0};
  std::atomic<std::int32_t> m_bCancel{0};
  std::atomic<BOOL> m_bDone{FALSE};
  std::atomic<std::int32_t> m_nStatus{0};
  HWND m_hOwner = nullptr;
  zelvra::UniqueHandle m_folder;
  CInternetSession* m_pSession = nullptr;
  CFile* m_pLocalFile = nullptr;
  bool m_bErrorBoxDecided = false;
  bool m_bCredentialsDialogUp = false;
  CString m_strProxyUser;
  CString m_strProxyPassword;
  std::atomic<bool> m_bAskedForCredentials{false};
};

// Holds a CDownloadSync once, for a scope or an object's life.
class CDownloadSyncRef {
 public:
  CDownloadSyncRef() = default;
  // Takes over a hold the caller already has.
  explicit CDownloadSyncRef(CDownloadSync* sync) : m_pSync(sync) {}
  CDownloadSyncRef(CDownloadSyncRef&& other) noexcept : m_pSync(other.m_pSync) { other.m_pSync = nullptr; }
  CDownloadSyncRef& operator=(CDownloadSyncRef&& other) noexcept {
    if (this != &other) {
      Reset();
      m_pSync = other.m_pSync;
      other.m_pSync = nullptr;
    }
    return *this;
  }
  CDownloadSyncRef(const CDownloadSyncRef&) = delete;
  CDownloadSyncRef& operator=(const CDownloadSyncRef&) = delete;
  ~CDownloadSyncRef() { Reset(); }

  // A new hold of `sync`.
  static CDownloadSyncRef Share(CDownloadSync* sync) {
    sync->AddRef();
    return CDownloadSyncRef(sync);
  }
  CDownloadSync* operator->() const { return m_pSync; }
  CDownloadSync* Get() const { return m_pSync; }
  explicit operator bool() const { return m_pSync != nullptr; }
  void Reset() {
    if (m_pSync != nullptr) m_pSync->Release();
    m_pSync = nullptr;
  }

 private:
  CDownloadSync* m_pSync = nullptr;
};
