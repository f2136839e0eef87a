#include "log/install_log.h"

#include "core/log_line.h"
#include "platform/handle.h"

CInstallLog& CInstallLog::Get() {
  static CInstallLog log;
  return log;
}

CInstallLog::CInstallLog() { ::InitializeCriticalSection(&m_lock); }

CInstallLog::~CInstallLog() { ::DeleteCriticalSection(&m_lock); }

void CInstallLog::Start() {
  zelvra::CriticalSectionLock lock(m_lock);
  // A handle the process was given (a redirection, a deployment agent's
  // pipe); a GUI program started plainly has none.
  HANDLE standardError = ::GetStdHandle(STD_ERROR_HANDLE);
  m_hStandardError = standardError != INVALID_HANDLE_VALUE ? standardError : nullptr;
  m_bStarted = true;
}

void CInstallLog::CreateIn(HANDLE temp) {
  zelvra::CriticalSectionLock lock(m_lock);
  if (!m_bStarted || m_bFileDecided) return;
  m_bFileDecided = true;
  // A file that cannot be made leaves the log to the standard error.
  if (m_file.CreateInFolder(temp, kFileName, kFileName)) WriteKept();
  m_strKept.clear();
}

void CInstallLog::CreateAt(const CString& tempPath) {
  zelvra::CriticalSectionLock lock(m_lock);
  if (!m_bStarted || m_bFileDecided) return;
  m_bFileDecided = true;
  if (m_file.Open(tempPath + kFileName, CFile::modeCreate | CFile::modeWrite | CFile::typeBinary)) WriteKept();
  m_strKept.clear();
}

void CInstallLog::NoFile() {
  zelvra::CriticalSectionLock lock(m_lock);
  m_bFileDecided = true;
  m_strKept.clear();
}

void CInstallLog::Write(const CString& text) {
  if (!m_bStarted) return;
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  const zelvra::LogTime time{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
  const std::string line = zelvra::LogLine(time, text.u16());
  zelvra::CriticalSectionLock lock(m_lock);
  if (!m_bFileDecided) m_strKept += line;
  Emit(line, true);
}

void CInstallLog::WriteKept() { Emit(m_strKept, false); }

void CInstallLog::Emit(const std::string& bytes, bool toStandardError) {
  // Written as it comes, unbuffered: a run that is ended from outside (a
  // deployment's time limit) leaves every line so far. A failed write is
  // not retried; the run goes on.
  DWORD written = 0;
  if (m_file.m_hFile != INVALID_HANDLE_VALUE) {
    static_cast<void>(::WriteFile(m_file.m_hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  }
  if (toStandardError && m_hStandardError != nullptr) {
    static_cast<void>(::WriteFile(m_hStandardError, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  }
}
