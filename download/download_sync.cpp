#include "download/download_sync.h"

#include "framework/afxfile.h"
#include "framework/afxinet.h"

using SyncLock = zelvra::CriticalSectionLock;

DownloadSnapshot CDownloadSync::Snapshot() const {
  DownloadSnapshot snapshot;
  snapshot.contentLength = m_dwContentLength.load();
  snapshot.bytesReceived = m_dwBytesReceived.load();
  snapshot.done = m_bDone.load();
  snapshot.status = m_nStatus.load();
  snapshot.askedForCredentials = m_bAskedForCredentials.load();
  return snapshot;
}

void CDownloadSync::BeginRun() {
  m_nStatus.store(0);
  m_dwContentLength.store(0);
  m_dwBytesReceived.store(0);
  m_bDone.store(FALSE);
}

void CDownloadSync::SetOwnerWindow(HWND window) {
  SyncLock lock(m_lock);
  m_hOwner = window;
}

HWND CDownloadSync::OwnerWindow() {
  SyncLock lock(m_lock);
  return m_hOwner;
}

void CDownloadSync::SetSession(CInternetSession* session) {
  SyncLock lock(m_lock);
  m_pSession = session;
  // A cancel that came before the session existed aborts it at once.
  if (session != nullptr && Cancelled()) session->Abort();
}

void CDownloadSync::SetLocalFile(CFile* file) {
  SyncLock lock(m_lock);
  m_pLocalFile = file;
}

bool CDownloadSync::Cancel() {
  SyncLock lock(m_lock);
  if (m_bErrorBoxDecided || m_bCredentialsDialogUp) return false;
  m_bCancel.store(1);
  if (m_pLocalFile != nullptr) m_pLocalFile->Abort();
  if (m_pSession != nullptr) m_pSession->Abort();
  // A cancelled run creates nothing more (it tests the flag under this lock
  // before it creates its file), and a next run may need the folder's place
  // free at once, while this worker may stay blocked in the network a while.
  m_folder.Reset();
  return true;
}

bool CDownloadSync::DecideErrorBox(HWND* owner) {
  SyncLock lock(m_lock);
  *owner = m_hOwner;
  if (Cancelled()) return false;
  m_bErrorBoxDecided = true;
  return true;
}

bool CDownloadSync::BeginCredentialsDialog(HWND* owner) {
  SyncLock lock(m_lock);
  *owner = m_hOwner;
  if (Cancelled()) return false;
  m_bCredentialsDialogUp = true;
  m_bAskedForCredentials.store(true);
  return true;
}

void CDownloadSync::EndCredentialsDialog() {
  SyncLock lock(m_lock);
  m_bCredentialsDialogUp = false;
}

void CDownloadSync::SetProxyCredentials(const CString& user, const CString& password) {
  SyncLock lock(m_lock);
  m_strProxyUser = user;
  m_strProxyPassword = password;
}

void CDownloadSync::TakeProxyCredentials(CString* user, CString* password) {
  SyncLock lock(m_lock);
  *user = m_strProxyUser;
  *password = m_strProxyPassword;
  m_strProxyUser.Wipe();
  m_strProxyPassword.Wipe();
}
