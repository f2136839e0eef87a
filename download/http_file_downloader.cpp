#include "download/http_file_downloader.h"

#include <memory>
#include <new>

#include "core/download_paths.h"
#include "core/http_values.h"
#include "core/number_text.h"
#include "framework/afxfile.h"
#include "log/install_log.h"
#include "platform/handle.h"

IMPLEMENT_DYNCREATE(CHttpFileDownloader, CWinThread)

BEGIN_MESSAGE_MAP(CHttpFileDownloader, CWinThread)
END_MESSAGE_MAP()

namespace {

constexpr UINT kPieceSize = 512;       // bytes read and written at a time
constexpr UINT kErrorTextChars = 255;  // buffer for an error description, in UTF-16 units
constexpr DWORD_PTR kContext = 1;
// Never an answer from a cache: RELOAD keeps WinInet's own cache out, and
// PRAGMA_NOCACHE sends "Pragma: no-cache" so that a caching proxy on the way
// (the session uses the system's proxy configuration) asks the server too.
// RELOAD alone sends no such header (seen with Wine's WinInet). And nothing
// into the user's stores: NO_CACHE_WRITE keeps the downloaded file out of the
// cache (a folder of the user's, which an elevated run must not write into
// nor leave a copy of a program in), NO_COOKIES keeps cookies out both ways.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_TRANSFER_BINARY |
                                INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;

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

// Makes the run's session and local file reachable by a cancel while they
// exist (through the shared block). A cancel that came before the session
// existed aborts it at once.
class CancellableRun {
 public:
  CancellableRun(CDownloadSync& sync, CInternetSession& session) : m_sync(sync) { m_sync.SetSession(&session); }
  void SetLocalFile(CFile& file) { m_sync.SetLocalFile(&file); }
  ~CancellableRun() {
    m_sync.SetLocalFile(nullptr);
    m_sync.SetSession(nullptr);
  }
  CancellableRun(const CancellableRun&) = delete;
  CancellableRun& operator=(const CancellableRun&) = delete;

 private:
  CDownloadSync& m_sync;
};

CHttpFileDownloader::CHttpFileDownloader() : m_sync(CDownloadSync::Create()) {}

CHttpFileDownloader::~CHttpFileDownloader() = default;

void CHttpFileDownloader::SetDownloadFolder(const CString& folder, DWORD folderError, HANDLE folderHandle) {
  m_strDownloadFolder = folder;
  m_dwFolderError = folderError;
  if (folderHandle == nullptr) return;
  HANDLE duplicate = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), folderHandle, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    // Without a handle of its own the run may not write by path instead.
    if (m_dwFolderError == NO_ERROR)
      m_dwFolderError = ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_INVALID_HANDLE;
    return;
  }
  m_sync->SetFolder(zelvra::UniqueHandle(duplicate));
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
  m_sync->SetOwnerWindow(m_wndOwner.m_hWnd);
  m_pMainWnd = &m_wndOwner;
}

bool CHttpFileDownloader::ShowErrorBox(const CString& text) {
  BeforeErrorBoxDecision();
  HWND owner = nullptr;
  if (!m_sync->DecideErrorBox(&owner)) return false;
  // Unattended, nobody would close the box: its text goes into the log.
  if (CInstallLog::Get().IsStarted()) {
    CInstallLog::Get().Write(m_strFileName + L": " + text);
    return true;
  }
  m_wndOwner.m_hWnd = owner;  // the framework's box is owned by the thread's main window
  AfxMessageBox(text, MB_OK, 0);
  return true;
}

void CHttpFileDownloader::Notify(UINT message, WPARAM wParam) {
  // To the owner's window as the block has it now: none once the owner has
  // let it go.
  if (HWND owner = m_sync->OwnerWindow()) ::SendMessageW(owner, message, wParam, 0);
}

int CHttpFileDownloader::Fail(DownloadStatus status) {
  m_sync->SetStatus(status);
  Notify(WM_DOWNLOAD_FAILED, static_cast<WPARAM>(status));
  return -1;
}

int CHttpFileDownloader::Run() {
  m_sync->BeginRun();

  if (m_strPrimaryUrl.IsEmpty()) return Fail(DOWNLOAD_NO_URL);
  // The framework's calls report their failures as exceptions; this layer
  // reports through Fail.
  try {
    return Download();
  } catch (CException* error) {
    const int result = ReportError(*error);
    error->Delete();
    return result;
  } catch (const std::bad_alloc&) {
    return ReportError(CMemoryException());
  }
}

int CHttpFileDownloader::ReportFileError(const CFileException& error) {
  wchar_t description[kErrorTextChars] = {};
  error.GetErrorMessage(description, kErrorTextChars);
  return Fail(ShowErrorBox(CString(L"Error1:") + description) ? DOWNLOAD_FILE_CREATE_FAILED : DOWNLOAD_CANCELLED);
}

int CHttpFileDownloader::ReportError(const CException& error) {
  wchar_t description[kErrorTextChars] = {};
  error.GetErrorMessage(description, kErrorTextChars);
  // The owner cancelled (and aborted the blocked call): that is no error.
  if (!ShowErrorBox(CString(L"Error2:") + description)) return Fail(DOWNLOAD_CANCELLED);
  return Fail(static_cast<DownloadStatus>(m_sync->Status()));
}

int CHttpFileDownloader::Download() {
  // A folder that could not be made safe takes no file: the run fails as
  // for a file that cannot be created, before any request.
  CFileException fileError;
  if (m_dwFolderError != NO_ERROR) {
    fileError.m_cause = CFileException::OsErrorToException(static_cast<LONG>(m_dwFolderError));
    fileError.m_lOsError = static_cast<LONG>(m_dwFolderError);
    fileError.m_strFileName = m_strLocalPath;
    return ReportFileError(fileError);
  }
  CInternetSession session(nullptr, kContext, PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);
  session.SetOption(INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
  session.SetOption(INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs);
  session.SetOption(INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs);
  // Declared so that, also when an exception unwinds them, the HTTP file
  // closes before its session and Cancel forgets the local file before the
  // file object is gone.
  CFile local;
  CancellableRun cancellable(*m_sync.Get(), session);

  std::uint32_t contentLength = 0;
  HttpFilePtr file(OpenUrlWithFallback(session, m_bSecondaryFirst, &contentLength));
  if (!file) {
    session.Close();
    return -1;
  }
  m_sync->SetContentLength(contentLength);

  // Every ending but the success starts here: the local file is closed as
  // it stands (a partial file stays; a cancel may have closed it already),
  // then the answer and the session, before anything is reported.
  auto closeAll = [&]() {
    local.Abort();
    file.reset();
    session.Close();
  };

  BOOL opened = FALSE;
  // A cancel either comes before the file is created (and none is) or
  // finds it registered and closes it.
  const bool created = m_sync->UnlessCancelled([&] {
    // In a held folder (an elevated run's), a file left there is replaced
    // rather than truncated: truncating keeps the old file's security and
    // any other names it has (a hard link), so the download could land
    // where the old file's maker chose. A new file takes the folder's
    // security.
    opened = m_sync->Folder() != nullptr
                 ? local.CreateInFolder(m_sync->Folder(), m_strFileName, m_strLocalPath, &fileError)
                 : local.Open(m_strLocalPath, CFile::modeCreate | CFile::modeWrite | CFile::typeBinary, &fileError);
    if (opened) cancellable.SetLocalFile(local);
  });
  if (!created || !opened) closeAll();
  if (!created) return Fail(DOWNLOAD_CANCELLED);
  if (!opened) return ReportFileError(fileError);

  Notify(WM_DOWNLOAD_STARTED, 0);
  BYTE piece[kPieceSize];
  for (;;) {
    const UINT count = file->Read(piece, kPieceSize);
    if (count == 0) {
      // A body that ends before the announced length is a broken connection,
      // not a complete file: a cut-off program must never be started.
      const std::uint32_t announced = m_sync->ContentLength();
      if (announced != 0 && m_sync->BytesReceived() < announced) break;
      local.Close();
      file.reset();
      session.Close();
      m_sync->SetDone();
      CInstallLog::Get().Write(m_strFileName + L": " + CString(zelvra::DecimalText(m_sync->BytesReceived())) +
                               L" bytes written to " + m_strLocalPath);
      Notify(WM_DOWNLOAD_DONE, 0);
      return 0;
    }
    // A body longer than any file taken is cut short here; the piece that
    // would pass the limit is not written.
    bool tooLong = false;
    const bool written = m_sync->UnlessCancelled([&] {
      tooLong = count > m_dwMaxFileSize - m_sync->BytesReceived();
      if (tooLong) return;
      m_sync->AddBytesReceived(count);  // the counter moves before the write
      local.Write(piece, count);
    });
    if (!written) {
      closeAll();
      return Fail(DOWNLOAD_CANCELLED);  // the piece just read is neither counted nor written
    }
    if (tooLong) break;
  }
  // A body cut short of its length, or longer than any file taken.
  closeAll();
  return ReportError(CInternetException(ERROR_INTERNET_CONNECTION_ABORTED));
}

CHttpFile* CHttpFileDownloader::OpenUrlWithFallback(CInternetSession& session,
                                                    BOOL secondaryOnly,
                                                    std::uint32_t* contentLength) {
  // At most two attempts: the primary, and on a bad answer the secondary.
  // A bad answer of the last attempt is the run's failure; an error raised
  // by a request ends the run at once (Run reports it).
  DownloadStatus badAnswer = DOWNLOAD_NONE;
  CInstallLog& log = CInstallLog::Get();
  for (BOOL secondary = secondaryOnly;; secondary = TRUE) {
    const CString& url = secondary ? m_strSecondaryUrl : m_strPrimaryUrl;
    const CString attempt =
        m_strFileName + L": GET " + url + (secondary ? L" (secondary server)" : L" (primary server)");
    // Logged first: a request that raises an error ends the run with its
    // box's text, which the log then has after this line.
    log.Write(attempt);
    HttpFilePtr file(session.OpenURL(url, kContext, kRequestFlags, nullptr, 0));
    DWORD statusCode = 0;
    bool lastAttempt = secondary != FALSE;
    if (!file) {
      badAnswer = DOWNLOAD_OPEN_FAILED;
      log.Write(attempt + L": no answer");
    } else if (!file->QueryInfoStatusCode(statusCode)) {
      badAnswer = DOWNLOAD_STATUS_UNREADABLE;
      log.Write(attempt + L": no status");
    } else {
      bool answered = false;  // the proxy was given credentials, and the request sent again
      if (statusCode == HTTP_STATUS_PROXY_AUTH_REQ) {
        log.Write(attempt + L": HTTP 407, the proxy asks for credentials (" + ProxyAuthScheme(*file) + L")");
        if (!m_strProxyUser.IsEmpty()) {
          // The credentials the user gave earlier in the run, once.
          lastAttempt = true;
          AnswerProxy(*file, m_strProxyUser, m_strProxyPassword);
          m_strProxyUser.Wipe();
          m_strProxyPassword.Wipe();
          answered = true;
          if (!file->QueryInfoStatusCode(statusCode)) statusCode = 0;
        } else if (m_bMayAskForCredentials) {
          // The user answers once for this file, whatever the answer.
          m_bMayAskForCredentials = false;
          lastAttempt = true;
          answered = AskForCredentials(*file);
          if (answered && !file->QueryInfoStatusCode(statusCode)) statusCode = 0;
        }
      }
      // A file announced as longer than any taken is refused as a bad
      // answer, before anything is written.
      const std::uint64_t length = statusCode == HTTP_STATUS_OK ? QueryContentLength(file.get()) : 0;
      if (statusCode != HTTP_STATUS_PROXY_AUTH_REQ || answered) {
        log.Write(attempt + L": HTTP " + CString(zelvra::DecimalText(statusCode)) +
                  (statusCode == HTTP_STATUS_OK ? L", length " + CString(zelvra::DecimalText(length)) : CString()));
      }
      if (statusCode == HTTP_STATUS_OK && length <= m_dwMaxFileSize) {
        *contentLength = static_cast<std::uint32_t>(length);
        return file.release();
      }
      badAnswer = DOWNLOAD_HTTP_NOT_OK;
    }
    if (lastAttempt) break;
  }
  log.Write(m_strFileName + L": failed: no server gave it");
  Fail(badAnswer);
  return nullptr;
}

bool CHttpFileDownloader::AskForCredentials(CHttpFile& file) {
  HWND owner = nullptr;
  if (!m_sync->BeginCredentialsDialog(&owner)) return false;
  // The system's own dialog: it asks for the proxy's user name and password
  // and, with the flags to change options, gives them to the request.
  const DWORD answer = file.ErrorDlg(
      owner, ERROR_INTERNET_INCORRECT_PASSWORD,
      FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS);
  m_sync->EndCredentialsDialog();
  if (answer != ERROR_INTERNET_FORCE_RETRY || m_sync->Cancelled()) return false;
  // What the dialog gave the request, kept for the rest of the run: the next
  // file's session starts without it.
  CString user = file.QueryOption(INTERNET_OPTION_PROXY_USERNAME);
  CString password = file.QueryOption(INTERNET_OPTION_PROXY_PASSWORD);
  if (!user.IsEmpty()) m_sync->SetProxyCredentials(user, password);
  user.Wipe();
  password.Wipe();
  file.SendRequest();
  return true;
}

void CHttpFileDownloader::AnswerProxy(CHttpFile& file, const CString& user, const CString& password) {
  static_cast<void>(file.SetOption(INTERNET_OPTION_PROXY_USERNAME, user));
  static_cast<void>(file.SetOption(INTERNET_OPTION_PROXY_PASSWORD, password));
  file.SendRequest();
}

CString CHttpFileDownloader::ProxyAuthScheme(CHttpFile& file) {
  wchar_t text[128] = {};
  DWORD length = sizeof(text) - sizeof(wchar_t);  // in bytes, room for the terminator
  if (!file.QueryInfo(HTTP_QUERY_PROXY_AUTHENTICATE, text, &length)) return CString(L"an unnamed scheme");
  CString scheme(text);
  const int blank = scheme.Find(L" ");
  return blank > 0 ? scheme.Left(blank) : scheme;
}

std::uint64_t CHttpFileDownloader::QueryContentLength(CHttpFile* file) {
  if (file == nullptr) return 0;
  wchar_t text[32] = {};
  DWORD length = sizeof(text);  // in bytes: 32 characters with the terminator
  if (!file->QueryInfo(HTTP_QUERY_CONTENT_LENGTH, text, &length)) return 0;
  return zelvra::ParseContentLength(AfxU16(text));
}
