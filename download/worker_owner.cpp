#include "download/worker_owner.h"

#include <utility>

#include "download/http_file_downloader.h"
#include "framework/afxapp.h"

void CDownloadWorkerOwner::LetGo() {
  if (m_sync) m_sync->SetOwnerWindow(nullptr);
  m_sync.Reset();
  m_running = false;
}

bool CDownloadWorkerOwner::Start(const CWnd& owner, const DownloadWorkerSettings& settings, CString* localPath) {
  AFX_ASSERT_UI_THREAD();
  LetGo();  // the worker before, if any, has sent its final message
  auto* worker = static_cast<CHttpFileDownloader*>(
      AfxBeginThread(m_pWorkerClass != nullptr ? m_pWorkerClass : RUNTIME_CLASS(CHttpFileDownloader),
                     THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr));
  if (worker == nullptr) return false;
  worker->SetDownloadFolder(settings.folder, settings.folderError, settings.folderHandle);
  worker->SetMaxFileSize(settings.maxFileSize);
  worker->SetMayAskForCredentials(settings.mayAskForCredentials);
  worker->SetProxyCredentials(settings.proxyUser, settings.proxyPassword);
  *localPath = worker->SetUrls(settings.primaryUrl, settings.secondaryUrl, settings.secondaryFirst);
  worker->SetOwner(&owner);  // on this thread, before the worker runs
  m_sync = CDownloadSyncRef::Share(worker->Sync());
  // The worker closes its own thread handle when it deletes itself; the join
  // needs one that stays valid. Without one the join does not wait.
  HANDLE thread = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), worker->m_hThread, ::GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE,
                         0)) {
    thread = nullptr;
  }
  m_thread.Reset(thread);
  m_threadId = worker->m_nThreadID;
  if (m_bFailResume || worker->ResumeThread() == static_cast<DWORD>(-1)) {
    // Never runs: it stays suspended (and its object allocated) for the
    // rest of the process, and the start counts as failed. Cancelled first,
    // its block lets go of the folder's duplicate, so that a later run may
    // move the folder; and there is nothing to join.
    m_sync->Cancel();
    LetGo();
    m_thread.Reset();
    return false;
  }
  m_running = true;
  return true;
}

DownloadSnapshot CDownloadWorkerOwner::Snapshot() const { return m_sync ? m_sync->Snapshot() : DownloadSnapshot(); }

bool CDownloadWorkerOwner::TakeFinal(DownloadSnapshot* outcome) {
  AFX_ASSERT_UI_THREAD();
  if (!m_running) return false;
  *outcome = m_sync->Snapshot();
  m_running = false;
  return true;
}

void CDownloadWorkerOwner::TakeProxyCredentials(CString* user, CString* password) {
  if (m_sync) m_sync->TakeProxyCredentials(user, password);
}

bool CDownloadWorkerOwner::Cancel() {
  AFX_ASSERT_UI_THREAD();
  if (!m_running) return true;
  if (!m_sync->Cancel()) return false;
  m_running = false;
  return true;
}

bool CDownloadWorkerOwner::Join(DWORD timeoutMs) {
  // The handle is the wait's own: a start or let-go in a handler of the sent
  // messages cannot close it under the wait.
  const zelvra::UniqueHandle owned(std::move(m_thread));
  HANDLE thread = owned.Get();
  if (thread == nullptr) return true;
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    const DWORD wait = ::MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_SENDMESSAGE);
    if (wait == WAIT_OBJECT_0) return true;
    if (wait != WAIT_OBJECT_0 + 1) return false;  // timed out or failed
    MSG message;
    // Runs the sent messages; the joined worker runs no more for them.
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}
