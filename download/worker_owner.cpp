#include "download/worker_owner.h"

#include "download/http_file_downloader.h"
#include "framework/afxapp.h"

void CDownloadWorkerOwner::LetGo() {
  if (m_sync) m_sync->SetOwnerWindow(nullptr);
  m_sync.Reset();
  m_thread.Reset();
  m_pWorker = nullptr;
}

bool CDownloadWorkerOwner::Start(const CWnd& owner, const DownloadWorkerSettings& settings, CString* localPath) {
  AFX_ASSERT_UI_THREAD();
  LetGo();  // the worker before, if any, has sent its final message
  auto* worker = static_cast<CHttpFileDownloader*>(
      AfxBeginThread(RUNTIME_CLASS(CHttpFileDownloader), THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED, nullptr));
  if (worker == nullptr) return false;
  worker->SetDownloadFolder(settings.folder, settings.folderError, settings.folderHandle);
  worker->SetMaxFileSize(settings.maxFileSize);
  worker->SetMayAskForCredentials(settings.mayAskForCredentials);
  worker->SetProxyCredentials(settings.proxyUser, settings.proxyPassword);
  *localPath = worker->SetUrls(settings.primaryUrl, settings.secondaryUrl, settings.secondaryFirst);
  worker->SetOwner(&owner);  // on this thread, before the worker runs
  m_sync = CDownloadSyncRef::Share(worker->Sync());
  // The worker closes its own thread handle when it deletes itself; the join
  // needs one that stays valid. Without one a cancel does not wait.
  HANDLE thread = nullptr;
  if (::DuplicateHandle(::GetCurrentProcess(), worker->m_hThread, ::GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE,
                        0)) {
    m_thread.Reset(thread);
  }
  if (worker->ResumeThread() == static_cast<DWORD>(-1)) {
    // Never runs: it stays suspended (and its object allocated) for the
    // rest of the process, and the start counts as failed.
    LetGo();
    return false;
  }
  m_pWorker = worker;
  return true;
}

DownloadSnapshot CDownloadWorkerOwner::Snapshot() const {
  return IsRunning() ? m_sync->Snapshot() : DownloadSnapshot();
}

void CDownloadWorkerOwner::TakeProxyCredentials(CString* user, CString* password) {
  if (IsRunning()) m_sync->TakeProxyCredentials(user, password);
}

void CDownloadWorkerOwner::Ended() { m_pWorker = nullptr; }

bool CDownloadWorkerOwner::Cancel() {
  AFX_ASSERT_UI_THREAD();
  if (!IsRunning()) return true;
  if (!m_sync->Cancel()) return false;
  m_pWorker = nullptr;
  return true;
}

void CDownloadWorkerOwner::JoinCancelled(DWORD timeoutMs) {
  HANDLE thread = m_thread.Get();
  if (thread == nullptr) return;
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return;
    const DWORD wait = ::MsgWaitForMultipleObjects(1, &thread, FALSE, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE);
    if (wait != WAIT_OBJECT_0 + 1) return;  // ended, timed out or failed
    MSG message;
    // Runs the sent messages; their handlers find no worker running.
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}
