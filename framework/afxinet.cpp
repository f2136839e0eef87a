#include "framework/afxinet.h"

#include <cwchar>
#include <memory>
#include <string>
#include <utility>

#include "core/http_values.h"
#include "core/number_text.h"
#include "framework/afxapp.h"
#include "platform/dll_search.h"
#include "platform/handle.h"

namespace {

// The WinInet entry points, loaded once from the system folder.
struct WinInet {
  HMODULE module = nullptr;
  decltype(&::InternetOpenW) InternetOpenW = nullptr;
  decltype(&::InternetCloseHandle) InternetCloseHandle = nullptr;
  decltype(&::InternetReadFile) InternetReadFile = nullptr;
  decltype(&::HttpQueryInfoW) HttpQueryInfoW = nullptr;
  decltype(&::InternetSetOptionW) InternetSetOptionW = nullptr;
  decltype(&::InternetQueryOptionW) InternetQueryOptionW = nullptr;
  decltype(&::InternetGetLastResponseInfoW) InternetGetLastResponseInfoW = nullptr;
  decltype(&::InternetCrackUrlW) InternetCrackUrlW = nullptr;
  decltype(&::InternetConnectW) InternetConnectW = nullptr;
  decltype(&::HttpOpenRequestW) HttpOpenRequestW = nullptr;
  decltype(&::HttpSendRequestW) HttpSendRequestW = nullptr;
  decltype(&::InternetErrorDlg) InternetErrorDlg = nullptr;
  bool complete = false;
};

const WinInet& Api() {
  static const WinInet api = [] {
    WinInet w;
    w.module = zelvra::LoadSystemLibrary(L"wininet.dll");
    if (w.module == nullptr) return w;
    zelvra::ResolveExport(w.module, w.InternetOpenW, "InternetOpenW");
    zelvra::ResolveExport(w.module, w.InternetCloseHandle, "InternetCloseHandle");
    zelvra::ResolveExport(w.module, w.InternetReadFile, "InternetReadFile");
    zelvra::ResolveExport(w.module, w.HttpQueryInfoW, "HttpQueryInfoW");
    zelvra::ResolveExport(w.module, w.InternetSetOptionW, "InternetSetOptionW");
    zelvra::ResolveExport(w.module, w.InternetQueryOptionW, "InternetQueryOptionW");
    zelvra::ResolveExport(w.module, w.InternetGetLastResponseInfoW, "InternetGetLastResponseInfoW");
    zelvra::ResolveExport(w.module, w.InternetCrackUrlW, "InternetCrackUrlW");
    zelvra::ResolveExport(w.module, w.InternetConnectW, "InternetConnectW");
    zelvra::ResolveExport(w.module, w.HttpOpenRequestW, "HttpOpenRequestW");
    zelvra::ResolveExport(w.module, w.HttpSendRequestW, "HttpSendRequestW");
    zelvra::ResolveExport(w.module, w.InternetErrorDlg, "InternetErrorDlg");
    w.complete = w.InternetOpenW && w.InternetCloseHandle && w.InternetReadFile && w.HttpQueryInfoW &&
                 w.InternetSetOptionW && w.InternetQueryOptionW && w.InternetGetLastResponseInfoW &&
                 w.InternetCrackUrlW && w.InternetConnectW && w.HttpOpenRequestW && w.HttpSendRequestW &&
                 w.InternetErrorDlg;
    return w;
  }();
  return api;
}

// Throws unless WinInet could be loaded.
const WinInet& RequireApi() {
  const WinInet& api = Api();
  if (!api.complete) throw new CInternetException(ERROR_MOD_NOT_FOUND);
  return api;
}

// Takes the handle out of `slot` so that exactly one caller closes it.
HINTERNET TakeHandle(HINTERNET volatile& slot) {
  return static_cast<HINTERNET>(::InterlockedExchangePointer(const_cast<PVOID volatile*>(&slot), nullptr));
}

LONG volatile g_closeFailures = 0;

void CloseInternetHandle(HINTERNET handle) {
  if (handle == nullptr || Api().InternetCloseHandle == nullptr) return;
  if (!Api().InternetCloseHandle(handle)) ::InterlockedIncrement(&g_closeFailures);
}

using SessionLock = zelvra::CriticalSectionLock;

// Whether the request, after any redirects, still went to an https address.
bool StillSecure(const WinInet& api, HINTERNET request) {
  DWORD length = 0;  // in bytes
  // Asks for the size only: fails by design, with the size in `length`.
  static_cast<void>(api.InternetQueryOptionW(request, INTERNET_OPTION_URL, nullptr, &length));
  std::wstring url(length / sizeof(wchar_t) + 1, L'\0');
  if (length == 0 || !api.InternetQueryOptionW(request, INTERNET_OPTION_URL, &url[0], &length)) return false;
  std::wstring scheme = url.substr(0, 8);
  for (wchar_t& c : scheme) c = static_cast<wchar_t>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c);
  return scheme == L"https://";
}

}  // namespace

// ---------------------------------------------------------------------------
// CInternetException

CInternetException::CInternetException(DWORD error) : m_dwError(error) {
  const WinInet& api = Api();
  if (error == ERROR_INTERNET_EXTENDED_ERROR && api.InternetGetLastResponseInfoW != nullptr) {
    DWORD detail = 0;
    DWORD length = 0;
    static_cast<void>(api.InternetGetLastResponseInfoW(&detail, nullptr, &length));  // the size only
    if (length > 0) {
      std::wstring buffer(length + 1, L'\0');
      DWORD size = length + 1;  // in characters
      if (api.InternetGetLastResponseInfoW(&detail, &buffer[0], &size)) {
        buffer.resize(size);
        m_strDescription = CString(buffer);
        return;
      }
    }
  }
  zelvra::LocalMemory allocated;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  if (api.module != nullptr && error >= INTERNET_ERROR_BASE && error <= INTERNET_ERROR_LAST) {
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  }
  const DWORD length = ::FormatMessageW(flags, api.module, error, 0,
                                        reinterpret_cast<wchar_t*>(allocated.Receive<wchar_t>()), 0, nullptr);
  const auto* text = static_cast<const wchar_t*>(allocated.Get());
  if (length > 0 && text != nullptr) {
    m_strDescription = CString(text, static_cast<int>(length));
    // Messages end with a line break that a message box does not need.
    int end = m_strDescription.GetLength();
    while (end > 0 && (m_strDescription.GetAt(end - 1) == L'\n' || m_strDescription.GetAt(end - 1) == L'\r')) --end;
    m_strDescription = m_strDescription.Left(end);
  }
  if (m_strDescription.IsEmpty()) {
    // The platform has no text for this code: name the code, so that the
    // user and support still learn what failed.
    m_strDescription = CString(L"Internet error ") + CString(zelvra::DecimalText(error));
  }
}

// ---------------------------------------------------------------------------
// CHttpFile

CHttpFile::~CHttpFile() { Close(); }

BOOL CHttpFile::QueryInfoStatusCode(DWORD& statusCode) const {
  wchar_t buffer[80] = {};
  DWORD length = sizeof(buffer);  // in bytes: 80 characters with the terminator
  if (!QueryInfo(HTTP_QUERY_STATUS_CODE, buffer, &length)) return FALSE;
  const int code = zelvra::ParseStatusCode(AfxU16(buffer));
  if (code < 0) return FALSE;
  statusCode = static_cast<DWORD>(code);
  return TRUE;
}

BOOL CHttpFile::QueryInfo(DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD* index) const {
  HINTERNET file = m_hFile;
  if (file == nullptr || Api().HttpQueryInfoW == nullptr) return FALSE;
  return Api().HttpQueryInfoW(file, infoLevel, buffer, bufferLength, index);
}

UINT CHttpFile::Read(void* buffer, UINT count) {
  const WinInet& api = RequireApi();
  DWORD read = 0;
  if (!api.InternetReadFile(m_hFile, buffer, count, &read)) {
    DWORD error = ::GetLastError();
    // Some WinInets report a receive time-out with the socket's own code;
    // the user is better served by WinInet's "timed out" text.
    constexpr DWORD kSocketTimedOut = 10060;
    if (error == kSocketTimedOut) error = ERROR_INTERNET_TIMEOUT;
    throw new CInternetException(error != 0 ? error : ERROR_INTERNET_OPERATION_CANCELLED);
  }
  return read;
}

void CHttpFile::SendRequest() {
  const WinInet& api = RequireApi();
  // What is left of the answer being replaced (a 407's short body) is read
  // away, so that the request can go out again on its connection.
  char rest[512];
  DWORD read = 0;
  for (int pieces = 0; pieces < 64 && api.InternetReadFile(m_hFile, rest, sizeof(rest), &read) && read != 0; ++pieces) {
  }
  if (!api.HttpSendRequestW(m_hFile, nullptr, 0, nullptr, 0)) {
    const DWORD error = ::GetLastError();
    throw new CInternetException(error != 0 ? error : ERROR_INTERNET_OPERATION_CANCELLED);
  }
}

BOOL CHttpFile::SetOption(DWORD option, const CString& value) {
  HINTERNET file = m_hFile;
  if (file == nullptr || Api().InternetSetOptionW == nullptr) return FALSE;
  // The length in characters, without the terminator.
  return Api().InternetSetOptionW(file, option, const_cast<wchar_t*>(value.GetString()),
                                  static_cast<DWORD>(value.GetLength()));
}

CString CHttpFile::QueryOption(DWORD option) const {
  HINTERNET file = m_hFile;
  if (file == nullptr || Api().InternetQueryOptionW == nullptr) return CString();
  wchar_t value[INTERNET_MAX_USER_NAME_LENGTH + 1] = {};
  DWORD length = sizeof(value) - sizeof(wchar_t);  // in bytes
  if (!Api().InternetQueryOptionW(file, option, value, &length)) return CString();
  return CString(value);
}

DWORD CHttpFile::ErrorDlg(HWND parent, DWORD error, DWORD flags, void** data) {
  const WinInet& api = RequireApi();
  return api.InternetErrorDlg(parent, m_hFile, error, flags, data);
}

void CHttpFile::Close() {
  if (m_pSession != nullptr) {
    // Closed inside the lock: an Abort between forgetting the file and
    // closing its handles would close the session and with it these
    // handles, and the close here would then hit recycled handle values.
    SessionLock lock(m_pSession->m_lock);
    if (m_pSession->m_pOpenFile == this) m_pSession->m_pOpenFile = nullptr;
    CloseHandles();
    return;
  }
  CloseHandles();
}

void CHttpFile::CloseHandles() {
  CloseInternetHandle(TakeHandle(m_hFile));
  CloseInternetHandle(TakeHandle(m_hConnection));
}

// ---------------------------------------------------------------------------
// CInternetSession

CInternetSession::CInternetSession(const wchar_t* agent,
                                   DWORD_PTR context,
                                   DWORD accessType,
                                   const wchar_t* proxyName,
                                   const wchar_t* proxyBypass,
                                   DWORD flags)
    : m_dwContext(context) {
  ::InitializeCriticalSection(&m_lock);
  if (agent == nullptr) {
    CWinApp* app = AfxGetApp();
    agent = app != nullptr && app->m_pszAppName != nullptr ? app->m_pszAppName : L"";
  }
  try {
    const WinInet& api = RequireApi();
    m_hSession = api.InternetOpenW(agent, accessType, proxyName, proxyBypass, flags);
  } catch (...) {
    ::DeleteCriticalSection(&m_lock);
    throw;
  }
  if (m_hSession == nullptr) {
    const DWORD error = ::GetLastError();
    ::DeleteCriticalSection(&m_lock);
    throw new CInternetException(error);
  }
}

CInternetSession::~CInternetSession() {
  Close();
  ::DeleteCriticalSection(&m_lock);
}

BOOL CInternetSession::SetOption(DWORD option, DWORD value) {
  if (option == INTERNET_OPTION_CONNECT_TIMEOUT) m_dwConnectTimeout = value;
  if (option == INTERNET_OPTION_SEND_TIMEOUT) m_dwSendTimeout = value;
  if (option == INTERNET_OPTION_RECEIVE_TIMEOUT) m_dwReceiveTimeout = value;
  HINTERNET session = m_hSession;
  if (session == nullptr || Api().InternetSetOptionW == nullptr) return FALSE;
  return Api().InternetSetOptionW(session, option, &value, sizeof(value));
}

CHttpFile* CInternetSession::OpenURL(const wchar_t* url,
                                     DWORD_PTR context,
                                     DWORD flags,
                                     const wchar_t* headers,
                                     DWORD headersLength) {
  const WinInet& api = RequireApi();
  wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH + 1] = {};
  std::wstring path(url != nullptr ? std::wcslen(url) + 1 : 1, L'\0');
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = 1;  // ask for the scheme to be located
  parts.lpszHostName = host;
  parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH + 1;  // in characters
  parts.lpszUrlPath = &path[0];
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  parts.dwExtraInfoLength = 1;
  if (url == nullptr || !api.InternetCrackUrlW(url, 0, 0, &parts)) {
    throw new CInternetException(ERROR_INTERNET_INVALID_URL);
  }
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return nullptr;  // not a resource the session represents as an HTTP file
  }
  path.resize(parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;

  // The request's handles belong to a file object that the session knows
  // from the moment they exist: an Abort from another thread then closes
  // them (children first) and the cleanup here finds them gone, so each is
  // closed exactly once. A handle that Abort took with its parent (the
  // session closes its children) is forgotten, not closed again.
  std::unique_ptr<CHttpFile> httpFile(new CHttpFile(this, nullptr, nullptr));
  auto fail = [](DWORD error) {
    throw new CInternetException(error != 0 ? error : ERROR_INTERNET_OPERATION_CANCELLED);
  };
  HINTERNET connection =
      api.InternetConnectW(m_hSession, host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, context);
  if (connection == nullptr) fail(::GetLastError());
  {
    SessionLock lock(m_lock);
    if (m_hSession == nullptr) fail(ERROR_INTERNET_OPERATION_CANCELLED);  // the connection went with it
    httpFile->m_hConnection = connection;
    m_pOpenFile = httpFile.get();
  }
  static const wchar_t* const kAcceptTypes[] = {L"*/*", nullptr};
  HINTERNET request = api.HttpOpenRequestW(connection, L"GET", path.c_str(), nullptr, nullptr,
                                           const_cast<LPCWSTR*>(kAcceptTypes), flags, context);
  if (request == nullptr) fail(::GetLastError());
  {
    SessionLock lock(m_lock);
    if (httpFile->m_hConnection == nullptr) fail(ERROR_INTERNET_OPERATION_CANCELLED);  // the request went with it
    httpFile->m_hFile = request;
  }
  // The time-outs go on the request itself before it is sent: that is where
  // every WinInet honours them, for the connection and for each read.
  const std::pair<DWORD, DWORD> timeouts[] = {{INTERNET_OPTION_CONNECT_TIMEOUT, m_dwConnectTimeout},
                                              {INTERNET_OPTION_SEND_TIMEOUT, m_dwSendTimeout},
                                              {INTERNET_OPTION_RECEIVE_TIMEOUT, m_dwReceiveTimeout}};
  for (const auto& timeout : timeouts) {
    DWORD value = timeout.second;
    if (value != 0) api.InternetSetOptionW(request, timeout.first, &value, sizeof(value));
  }
  if (!api.HttpSendRequestW(request, headers, headers != nullptr ? headersLength : 0, nullptr, 0)) {
    fail(::GetLastError());
  }
  // An HTTPS address is never answered over plain HTTP: a redirect from it to
  // an http address is refused (WinInet refuses it itself unless told not
  // to; not every WinInet does).
  if (parts.nScheme == INTERNET_SCHEME_HTTPS && !StillSecure(api, request)) {
    fail(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
  }
  {
    SessionLock lock(m_lock);
    // Aborted while the request was under way: the answer is not wanted.
    if (m_hSession == nullptr) fail(ERROR_INTERNET_OPERATION_CANCELLED);
  }
  return httpFile.release();
}

void CInternetSession::Close() {
  SessionLock lock(m_lock);
  if (m_pOpenFile != nullptr) {
    m_pOpenFile->CloseHandles();
    m_pOpenFile->m_pSession = nullptr;
    m_pOpenFile = nullptr;
  }
  CloseInternetHandle(TakeHandle(m_hSession));
}

void CInternetSession::Abort() {
  // The file object stays attached: its own thread closes it, and finds its
  // handles gone.
  SessionLock lock(m_lock);
  if (m_pOpenFile != nullptr) m_pOpenFile->CloseHandles();
  CloseInternetHandle(TakeHandle(m_hSession));
}

LONG AfxInternetCloseFailures() { return g_closeFailures; }
