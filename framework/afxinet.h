// Internet classes over WinInet: a session with the system's proxy
// configuration, an http GET that gives an HTTP file, and CInternetException.
//
// WinInet is not a known system DLL, so it is loaded late and from the system
// folder only (see platform/dll_search.h). A session can be aborted from another thread:
// the blocked call in its HTTP file then fails, which ends the reading thread
// promptly instead of waiting on a stalled server.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "framework/afxcore.h"
#include "framework/afxstring.h"

#define PRE_CONFIG_INTERNET_ACCESS INTERNET_OPEN_TYPE_PRECONFIG

class CInternetException : public CException {
 public:
  // Captures the description on the throwing thread: the platform's message
  // text for the WinInet error, or for an extended error (12003) the
  // server's last response text.
  explicit CInternetException(DWORD error);
  DWORD m_dwError;

 protected:
  CString Describe() const override { return m_strDescription; }

 private:
  CString m_strDescription;
};

class CInternetSession;

class CHttpFile {
 public:
  CHttpFile(const CHttpFile&) = delete;
  CHttpFile& operator=(const CHttpFile&) = delete;
  ~CHttpFile();

  // The status code of the answer (HTTP_QUERY_STATUS_CODE as text in an
  // 80-character buffer, read as a decimal number); FALSE when it cannot be
  // read.
  BOOL QueryInfoStatusCode(DWORD& statusCode) const;
  // A header as text, as HttpQueryInfoW gives it (sizes in bytes).
  BOOL QueryInfo(DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD* index = nullptr) const;
  // Reads up to `count` body bytes; 0 at the end. Throws CInternetException.
  UINT Read(void* buffer, UINT count);
  // Sends the request again (after ErrorDlg asked for it), the answer so far
  // read away first. Throws CInternetException.
  void SendRequest();
  // Sets or reads a text option of the request (the proxy's user name and
  // password); FALSE or empty when it cannot.
  BOOL SetOption(DWORD option, const CString& value);
  CString QueryOption(DWORD option) const;
  // The system's dialog for `error` on this request (InternetErrorDlg), owned
  // by `parent`; its result (ERROR_INTERNET_FORCE_RETRY: send the request
  // again; ERROR_CANCELLED: the user cancelled).
  DWORD ErrorDlg(HWND parent, DWORD error, DWORD flags, void** data = nullptr);
  // Closes the request; safe against a concurrent Abort of the session.
  void Close();

 private:
  friend class CInternetSession;
  // Closes the request, then its connection; each handle exactly once,
  // whoever (Close, the session's Close or Abort) comes first.
  void CloseHandles();
  CHttpFile(CInternetSession* session, HINTERNET connection, HINTERNET file)
      : m_pSession(session), m_hConnection(connection), m_hFile(file) {}
  CInternetSession* m_pSession;
  HINTERNET volatile m_hConnection;  // the connection to the server the request runs on
  HINTERNET volatile m_hFile;        // the request
};

class CInternetSession {
 public:
  // Opens the session at once; throws CInternetException when it cannot. A
  // null agent stands for the application's name.
  explicit CInternetSession(const wchar_t* agent = nullptr,
                            DWORD_PTR context = 1,
                            DWORD accessType = PRE_CONFIG_INTERNET_ACCESS,
                            const wchar_t* proxyName = nullptr,
                            const wchar_t* proxyBypass = nullptr,
                            DWORD flags = 0);
  CInternetSession(const CInternetSession&) = delete;
  CInternetSession& operator=(const CInternetSession&) = delete;
  ~CInternetSession();

  // Opens the URL with a GET request (connection, request, send; redirects
  // are followed). Returns an HTTP file for http and https URLs, null (no
  // file object) for a scheme the session cannot represent as one, and
  // throws CInternetException when the request cannot be made at all.
  CHttpFile* OpenURL(const wchar_t* url,
                     DWORD_PTR context = 1,
                     DWORD flags = INTERNET_FLAG_TRANSFER_ASCII,
                     const wchar_t* headers = nullptr,
                     DWORD headersLength = 0);
  // Sets a numeric option on the session. The time-outs (connect, send,
  // receive) are also applied to every request the session opens, since not
  // every WinInet carries them over from the session by itself.
  BOOL SetOption(DWORD option, DWORD value);
  // Closes any HTTP file still open in the session, then the session:
  // WinInet closes a handle's children with it, so a child closed after its
  // parent would be closed twice.
  void Close();

  // Closes the session and any HTTP file open in it (children first), from
  // any thread; a call blocked in that file then fails. Later calls on them
  // fail too.
  void Abort();

 private:
  friend class CHttpFile;
  DWORD_PTR m_dwContext;
  HINTERNET volatile m_hSession = nullptr;
  CHttpFile* m_pOpenFile = nullptr;  // the file that Abort closes, guarded by m_lock
  DWORD m_dwConnectTimeout = 0, m_dwSendTimeout = 0, m_dwReceiveTimeout = 0;  // 0: the platform's
  CRITICAL_SECTION m_lock;
};

// How many WinInet handles this process failed to close: a handle closed a
// second time, or after the handle it was opened from (which closes it too).
// Always 0 in a sound program; the tests check it.
LONG AfxInternetCloseFailures();
