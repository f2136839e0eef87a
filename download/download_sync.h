// CDownloadSync: what one download worker and its owner share, in one block
// that both hold by reference count, so that a worker that outlives its owner
// (a cancel whose join timed out) touches nothing the owner freed.
//
// The counters are read by the owner's timer and written by the worker
// without a lock (each is one indivisible 32-bit value; a reader may see one
// update late). Everything else is under the block's lock: the owner's
// window (the owner clears it before its window goes, so a late worker
// reports to no one), the session and the local file of the run while they
// exist (so that a cancel can abort them), and whether the run has decided
// to show a failure in a box (after which a cancel is refused).
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
  std::uint32_t contentLength = 0;  // Content-Length, 0 when missing or unreadable
  std::uint32_t bytesReceived = 0;  // body bytes received in this run
  BOOL done = FALSE;                // the whole body is received and the file closed
  std::int32_t status = 0;          // the DownloadStatus the run ended with, or 0
  bool askedForCredentials = false; // the run showed the proxy credentials dialog
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

  // The owner's window, which receives the worker's messages and owns its
  // boxes; null once the owner has let it go.
  void SetOwnerWindow(HWND window);
  HWND OwnerWindow();
  // The download folder, held by this block (a duplicate of the owner's
  // handle, so that the owner may close its own whenever it likes).
  void SetFolder(zelvra::UniqueHandle folder) { m_folder = static_cast<zelvra::UniqueHandle&&>(folder); }
  // Read under Lock(): a cancel lets it go.
  HANDLE Folder() const { return m_folder.Get(); }

  // The run's session and local file, while they exist (null otherwise).
  void SetSession(CInternetSession* session);
  void SetLocalFile(CFile* file);
  // From the owner: asks the run to stop. Sets the cancel flag, closes the
  // local file, aborts the session and lets the folder go. False, and nothing changes, once the
  // run has decided to show its failure in a box.
  bool Cancel();
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
  // Whether the owner has cancelled; `lock` held.
  bool Cancelled() const { return m_bCancel.load() != 0; }

  // Held for the test of the cancel flag and the write of a piece together,
  // so that a cancel cannot close the file between them.
  CRITICAL_SECTION& Lock() { return m_lock; }

  std::atomic<std::uint32_t> m_dwContentLength{0};
  std::atomic<std::uint32_t> m_dwBytesReceived{0};
  std::atomic<std::int32_t> m_bCancel{0};
  std::atomic<BOOL> m_bDone{FALSE};
  std::atomic<std::int32_t> m_nStatus{0};

 private:
  CDownloadSync() { ::InitializeCriticalSection(&m_lock); }
  ~CDownloadSync() { ::DeleteCriticalSection(&m_lock); }

  LONG volatile m_nRefs = 1;
  CRITICAL_SECTION m_lock;
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
