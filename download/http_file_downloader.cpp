#include "download/http_file_downloader.h"

#include <memory>
#include <new>

#include "core/download_paths.h"
#include "core/http_values.h"
#include "framework/afxfile.h"
#include "framework/afxsys.h"
#include "framework/handle.h"

IMPLEMENT_DYNCREATE(CHttpFileDownloader, CWinThread)

BEGIN_MESSAGE_MAP(CHttpFileDownloader, CWinThread)
END_MESSAGE_MAP()

namespace {

constexpr UINT kPieceSize = 512;          // bytes read and written at a time
constexpr UINT kErrorTextChars = 255;     // buffer for an error description, in UTF-16 units
constexpr DWORD_PTR kContext = 1;
// Never an answer from a cache: RELOAD keeps WinInet's own cache out, and
// PRAGMA_NOCACHE sends "Pragma: no-cache" so that a caching proxy on the way
// (the session uses the system's proxy configuration) asks the server too.
// RELOAD alone sends no such header (seen with Wine's WinInet).
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_TRANSFER_BINARY;

// Closes and deletes an HTTP file when the run leaves its scope, also on an
// exception.
struct HttpFileDeleter {
  void operator()(CHttpFile* file) const {
    file->Close();
    delete file;
  }
};
using HttpFilePtr = std::unique_ptr<CHttpFile, HttpFileDeleter>;

}  // namespace

using RunLock = afx::CriticalSectionLock;

// Makes the run's session and local file reachable by Cancel while they
// exist. A cancel that came before the session existed aborts it at once.
class CancellableRun {
 public:
  CancellableRun(CHttpFileDownloader& worker, CInternetSession& session) : m_worker(worker) {
    RunLock lock(m_worker.m_runLock);
    m_worker.m_pSession = &session;
    if (m_worker.m_bCancel.load() != 0) session.Abort();
  }
  void SetLocalFile(CFile& file) {
    RunLock lock(m_worker.m_runLock);
    m_worker.m_pLocalFile = &file;
  }
  ~CancellableRun() {
    RunLock lock(m_worker.m_runLock);
    m_worker.m_pSession = nullptr;
    m_worker.m_pLocalFile = nullptr;
  }
  CancellableRun(const CancellableRun&) = delete;
  CancellableRun& operator=(const CancellableRun&) = delete;

 private:
  CHttpFileDownloader& m_worker;
};

CHttpFileDownloader::CHttpFileDownloader() { ::InitializeCriticalSection(&m_runLock); }

CHttpFileDownloader::~CHttpFileDownloader() { ::DeleteCriticalSection(&m_runLock); }

void CHttpFileDownloader::SetDownloadFolder(const CString& folder, DWORD folderError, HANDLE folderHandle) {
  m_strDownloadFolder = folder;
  m_dwFolderError = folderError;
  m_hFolder = folderHandle;
}

CString CHttpFileDownloader::SetUrls(const CString& primary, const CString& secondary, BOOL secondaryFirst) {
  m_strPrimaryUrl = primary;
  m_strSecondaryUrl = secondary;
  m_bSecondaryFirst = secondaryFirst;
  if (m_strDownloadFolder.IsEmpty()) {
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) return CString();  // none, or it does not fit
    m_strDownloadFolder = temp;
  }
  m_strFileName = CString(zelvra::FileNameFromUrl(m_strPrimaryUrl.u16()));
  m_strLocalPath = CString(zelvra::LocalPathForUrl(m_strDownloadFolder.u16(), m_strPrimaryUrl.u16()));
  return m_strLocalPath;
}

void CHttpFileDownloader::SetOwner(const CWnd* owner) {
  m_wndOwner.m_hWnd = owner != nullptr ? owner->m_hWnd : nullptr;
  m_pMainWnd = &m_wndOwner;
}

bool CHttpFileDownloader::Cancel() {
  RunLock lock(m_runLock);
  if (m_bErrorBoxDecided) return false;
  m_bCancel.store(1);
  if (m_pLocalFile != nullptr) m_pLocalFile->Abort();
  if (m_pSession != nullptr) m_pSession->Abort();
  return true;
}

bool CHttpFileDownloader::ErrorBoxWanted() {
  BeforeErrorBoxDecision();
  RunLock lock(m_runLock);
  if (m_bCancel.load() != 0) return false;
  m_bErrorBoxDecided = true;
  return true;
}

void CHttpFileDownloader::Notify(UINT message, WPARAM wParam) {
  ::SendMessageW(m_wndOwner.m_hWnd, message, wParam, 0);
}

int CHttpFileDownloader::Run() {
  m_nStatus = DOWNLOAD_NONE;
  m_dwContentLength = 0;
  m_dwBytesReceived = 0;
  m_bDone = FALSE;

  if (m_strPrimaryUrl.IsEmpty()) {
    m_nStatus = DOWNLOAD_NO_URL;
    Notify(WM_DOWNLOAD_FAILED, DOWNLOAD_NO_URL);
    return -1;
  }
  try {
    return Download();
  } catch (CException* error) {
    return ReportException(error);
  } catch (const std::bad_alloc&) {
    return ReportException(nullptr);  // described as the framework's memory exception
  }
}

int CHttpFileDownloader::ReportException(CException* error) {
  if (!ErrorBoxWanted()) {
    // The owner cancelled (and aborted the blocked call): that is no error.
    if (error != nullptr) error->Delete();
    m_nStatus = DOWNLOAD_CANCELLED;
    Notify(WM_DOWNLOAD_FAILED, DOWNLOAD_CANCELLED);
    return -1;
  }
  wchar_t description[kErrorTextChars] = {};
  if (error != nullptr) {
    error->GetErrorMessage(description, kErrorTextChars);
    error->Delete();
  } else {
    CMemoryException().GetErrorMessage(description, kErrorTextChars);
  }
  const CString message = CString(L"Error2:") + description;
  AfxMessageBox(message, MB_OK, 0);
  Notify(WM_DOWNLOAD_FAILED, static_cast<WPARAM>(m_nStatus));
  return -1;
}

int CHttpFileDownloader::Download() {
  CInternetSession session(nullptr, kContext, PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);
  session.SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
  session.SetOption(INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);
  session.SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);
  // Declared so that, also when an exception unwinds them, the HTTP file
  // closes before its session and Cancel forgets the local file before the
  // file object is gone.
  CFile local;
  CancellableRun cancellable(*this, session);

  std::uint32_t contentLength = 0;
  HttpFilePtr file(OpenUrlWithFallback(session, m_bSecondaryFirst, &contentLength));
  if (!file) {
    session.Close();
    return -1;
  }
  m_dwContentLength = contentLength;

  // The cancelled ending: nothing more is written; the partial file stays.
  auto endCancelled = [&]() {
    local.Abort();  // already closed by Cancel, if it was open
    file.reset();
    session.Close();
    m_nStatus = DOWNLOAD_CANCELLED;
    Notify(WM_DOWNLOAD_FAILED, DOWNLOAD_CANCELLED);
    return -1;
  };

  CFileException fileError;
  BOOL opened = FALSE;
  bool cancelled;
  {
    // A cancel either comes before the file is created (and none is) or
    // finds it registered and closes it.
    RunLock lock(m_runLock);
    cancelled = m_bCancel.load() != 0;
    if (!cancelled && m_dwFolderError != NO_ERROR) {
      fileError = CFileException(CFileException::OsErrorToException(static_cast<LONG>(m_dwFolderError)),
                                 static_cast<LONG>(m_dwFolderError), m_strLocalPath);
    } else if (!cancelled) {
      // In a held folder (an elevated run's), a file left there is replaced
      // rather than truncated: truncating keeps the old file's security and
      // any other names it has (a hard link), so the download could land
      // where the old file's maker chose. A new file takes the folder's
      // security.
      opened = m_hFolder != nullptr
                   ? local.CreateInFolder(m_hFolder, m_strFileName, m_strLocalPath, &fileError)
                   : local.Open(m_strLocalPath, CFile::modeCreate | CFile::modeWrite | CFile::typeBinary, &fileError);
      if (opened) cancellable.SetLocalFile(local);
    }
  }
  if (cancelled) return endCancelled();
  if (!opened) {
    if (!ErrorBoxWanted()) return endCancelled();
    wchar_t description[kErrorTextChars] = {};
    fileError.GetErrorMessage(description, kErrorTextChars);
    const CString message = CString(L"Error1:") + description;
    AfxMessageBox(message, MB_OK, 0);
    file.reset();
    m_nStatus = DOWNLOAD_FILE_CREATE_FAILED;
    Notify(WM_DOWNLOAD_FAILED, DOWNLOAD_FILE_CREATE_FAILED);
    session.Close();
    return -1;
  }

  Notify(WM_DOWNLOAD_STARTED, 0);
  BYTE piece[kPieceSize];
  for (;;) {
    const UINT count = file->Read(piece, kPieceSize);
    if (count == 0) {
      // A body that ends before the announced length is a broken connection,
      // not a complete file: a cut-off program must never be started.
      const std::uint32_t announced = m_dwContentLength.load();
      if (announced != 0 && m_dwBytesReceived.load() < announced) {
        throw new CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
      }
      local.Close();
      file.reset();
      session.Close();
      m_bDone = TRUE;
      Notify(WM_DOWNLOAD_DONE, 0);
      return 0;
    }
    {
      // Cancel cannot close the file between the test and the write.
      RunLock lock(m_runLock);
      cancelled = m_bCancel.load() != 0;
      if (!cancelled) {
        // A body longer than any file taken is cut short here; the piece
        // that would pass the limit is not written.
        if (count > m_dwMaxFileSize - m_dwBytesReceived.load()) {
          throw new CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
        }
        m_dwBytesReceived += count;  // the counter moves before the write
        local.Write(piece, count);
      }
    }
    if (cancelled) return endCancelled();  // the piece just read is neither counted nor written
  }
}

CHttpFile* CHttpFileDownloader::OpenUrlWithFallback(CInternetSession& session, BOOL useSecondary,
                                                    std::uint32_t* contentLength) {
  const CString& url = useSecondary ? m_strSecondaryUrl : m_strPrimaryUrl;
  HttpFilePtr file(session.OpenURL(url, kContext, kRequestFlags, nullptr, 0));
  if (!file) {
    if (!useSecondary) return OpenUrlWithFallback(session, TRUE, contentLength);
    m_nStatus = DOWNLOAD_OPEN_FAILED;
    Notify(WM_DOWNLOAD_FAILED, DOWNLOAD_OPEN_FAILED);
    return nullptr;
  }
  DWORD statusCode = 0;
  if (!file->QueryInfoStatusCode(statusCode)) {
    file.reset();
    if (!useSecondary) return OpenUrlWithFallback(session, TRUE, contentLength);
    m_nStatus = DOWNLOAD_STATUS_UNREADABLE;
    Notify(WM_DOWNLOAD_FAILED, DOWNLOAD_STATUS_UNREADABLE);
    return nullptr;
  }
  if (statusCode == HTTP_STATUS_OK) {
    // A file announced as longer than any taken is refused as a bad answer,
    // before anything is written.
    const std::uint64_t length = QueryContentLength(file.get());
    if (length <= m_dwMaxFileSize) {
      *contentLength = static_cast<std::uint32_t>(length);
      return file.release();
    }
  }
  file.reset();
  if (!useSecondary) return OpenUrlWithFallback(session, TRUE, contentLength);
  m_nStatus = DOWNLOAD_HTTP_NOT_OK;
  Notify(WM_DOWNLOAD_FAILED, DOWNLOAD_HTTP_NOT_OK);
  return nullptr;
}

std::uint64_t CHttpFileDownloader::QueryContentLength(CHttpFile* file) {
  if (file == nullptr) return 0;
  wchar_t text[32] = {};
  DWORD length = sizeof(text);  // in bytes: 32 characters with the terminator
  if (!file->QueryInfo(HTTP_QUERY_CONTENT_LENGTH, text, &length)) return 0;
  return zelvra::ParseContentLength(AfxU16(text));
}
