#include "framework/afxfile.h"

#include <cwchar>
#include <vector>

#include "framework/afxres.h"
#include "platform/handle.h"
#include "platform/held_folder.h"

namespace {

struct OsErrorCause {
  LONG osError;
  int cause;
};

// The framework's standard mapping of system error codes to causes.
constexpr OsErrorCause kOsErrorCauses[] = {
    {NO_ERROR, CFileException::none},
    {ERROR_FILE_NOT_FOUND, CFileException::fileNotFound},
    {ERROR_PATH_NOT_FOUND, CFileException::badPath},
    {ERROR_TOO_MANY_OPEN_FILES, CFileException::tooManyOpenFiles},
    {ERROR_ACCESS_DENIED, CFileException::accessDenied},
    {ERROR_INVALID_HANDLE, CFileException::fileNotFound},
    {ERROR_BAD_FORMAT, CFileException::invalidFile},
    {ERROR_INVALID_ACCESS, CFileException::accessDenied},
    {ERROR_INVALID_DRIVE, CFileException::badPath},
    {ERROR_CURRENT_DIRECTORY, CFileException::removeCurrentDir},
    {ERROR_NOT_SAME_DEVICE, CFileException::badPath},
    {ERROR_NO_MORE_FILES, CFileException::fileNotFound},
    {ERROR_WRITE_PROTECT, CFileException::accessDenied},
    {ERROR_BAD_UNIT, CFileException::hardIO},
    {ERROR_NOT_READY, CFileException::hardIO},
    {ERROR_BAD_COMMAND, CFileException::hardIO},
    {ERROR_CRC, CFileException::hardIO},
    {ERROR_BAD_LENGTH, CFileException::badSeek},
    {ERROR_SEEK, CFileException::badSeek},
    {ERROR_NOT_DOS_DISK, CFileException::invalidFile},
    {ERROR_SECTOR_NOT_FOUND, CFileException::badSeek},
    {ERROR_WRITE_FAULT, CFileException::accessDenied},
    {ERROR_READ_FAULT, CFileException::badSeek},
    {ERROR_SHARING_VIOLATION, CFileException::sharingViolation},
    {ERROR_LOCK_VIOLATION, CFileException::lockViolation},
    {ERROR_WRONG_DISK, CFileException::badPath},
    {ERROR_SHARING_BUFFER_EXCEEDED, CFileException::tooManyOpenFiles},
    {ERROR_HANDLE_EOF, CFileException::endOfFile},
    {ERROR_HANDLE_DISK_FULL, CFileException::diskFull},
    {ERROR_DUP_NAME, CFileException::badPath},
    {ERROR_BAD_NETPATH, CFileException::badPath},
    {ERROR_NETWORK_BUSY, CFileException::accessDenied},
    {ERROR_DEV_NOT_EXIST, CFileException::badPath},
    {ERROR_ADAP_HDW_ERR, CFileException::hardIO},
    {ERROR_BAD_NET_RESP, CFileException::accessDenied},
    {ERROR_UNEXP_NET_ERR, CFileException::hardIO},
    {ERROR_BAD_REM_ADAP, CFileException::invalidFile},
    {ERROR_NO_SPOOL_SPACE, CFileException::directoryFull},
    {ERROR_NETNAME_DELETED, CFileException::accessDenied},
    {ERROR_NETWORK_ACCESS_DENIED, CFileException::accessDenied},
    {ERROR_BAD_DEV_TYPE, CFileException::invalidFile},
    {ERROR_BAD_NET_NAME, CFileException::badPath},
    {ERROR_TOO_MANY_NAMES, CFileException::tooManyOpenFiles},
    {ERROR_SHARING_PAUSED, CFileException::badPath},
    {ERROR_REQ_NOT_ACCEP, CFileException::accessDenied},
    {ERROR_FILE_EXISTS, CFileException::accessDenied},
    {ERROR_CANNOT_MAKE, CFileException::accessDenied},
    {ERROR_ALREADY_ASSIGNED, CFileException::badPath},
    {ERROR_INVALID_PASSWORD, CFileException::accessDenied},
    {ERROR_NET_WRITE_FAULT, CFileException::hardIO},
    {ERROR_DISK_CHANGE, CFileException::fileNotFound},
    {ERROR_DRIVE_LOCKED, CFileException::lockViolation},
    {ERROR_BUFFER_OVERFLOW, CFileException::badPath},
    {ERROR_DISK_FULL, CFileException::diskFull},
    {ERROR_NO_MORE_SEARCH_HANDLES, CFileException::tooManyOpenFiles},
    {ERROR_INVALID_TARGET_HANDLE, CFileException::invalidFile},
    {ERROR_INVALID_CATEGORY, CFileException::hardIO},
    {ERROR_INVALID_NAME, CFileException::badPath},
    {ERROR_INVALID_LEVEL, CFileException::badPath},
    {ERROR_NO_VOLUME_LABEL, CFileException::badPath},
    {ERROR_NEGATIVE_SEEK, CFileException::badSeek},
    {ERROR_SEEK_ON_DEVICE, CFileException::badSeek},
    {ERROR_DIR_NOT_ROOT, CFileException::badPath},
    {ERROR_DIR_NOT_EMPTY, CFileException::removeCurrentDir},
    {ERROR_LABEL_TOO_LONG, CFileException::badPath},
    {ERROR_BAD_PATHNAME, CFileException::badPath},
    {ERROR_LOCK_FAILED, CFileException::lockViolation},
    {ERROR_BUSY, CFileException::accessDenied},
    {ERROR_INVALID_ORDINAL, CFileException::invalidFile},
    {ERROR_ALREADY_EXISTS, CFileException::accessDenied},
    {ERROR_INVALID_EXE_SIGNATURE, CFileException::invalidFile},
    {ERROR_BAD_EXE_FORMAT, CFileException::invalidFile},
    {ERROR_FILENAME_EXCED_RANGE, CFileException::badPath},
    {ERROR_META_EXPANSION_TOO_LONG, CFileException::badPath},
    {ERROR_DIRECTORY, CFileException::badPath},
    {ERROR_OPERATION_ABORTED, CFileException::hardIO},
    {ERROR_IO_INCOMPLETE, CFileException::hardIO},
    {ERROR_IO_PENDING, CFileException::hardIO},
    {ERROR_SWAPERROR, CFileException::accessDenied},
};

}  // namespace

int CFileException::OsErrorToException(LONG osError) {
  for (const OsErrorCause& entry : kOsErrorCauses) {
    if (entry.osError == osError) return entry.cause;
  }
  return genericException;
}

CString CFileException::Describe() const {
  CString format;
  format.LoadString(AFX_IDP_FILE_NONE + static_cast<UINT>(m_cause));
  CString name = m_strFileName;
  if (name.IsEmpty()) name.LoadString(AFX_IDS_UNNAMED_FILE);
  const int placeholder = format.Find(L"%1");
  if (placeholder < 0) return format;
  return format.Left(placeholder) + name + format.Mid(placeholder + 2);
}

CFile::~CFile() { Abort(); }

BOOL CFile::Open(const wchar_t* fileName, UINT openFlags, CFileException* error) {
  m_strFileName = fileName;
  DWORD access = GENERIC_READ;
  if ((openFlags & 3) == modeWrite) access = GENERIC_WRITE;
  if ((openFlags & 3) == modeReadWrite) access = GENERIC_READ | GENERIC_WRITE;
  const DWORD disposition = (openFlags & modeCreate) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;
  // Not shared: no other opener may read or write the file while it is open.
  m_hFile = ::CreateFileW(fileName, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_hFile != INVALID_HANDLE_VALUE) return TRUE;
  if (error != nullptr) {
    error->m_lOsError = static_cast<LONG>(::GetLastError());
    error->m_cause = CFileException::OsErrorToException(error->m_lOsError);
    error->m_strFileName = fileName;
  }
  return FALSE;
}

void CFile::Write(const void* buffer, UINT count) {
  if (count == 0) return;
  DWORD written = 0;
  if (!::WriteFile(m_hFile, buffer, count, &written, nullptr)) {
    const LONG osError = static_cast<LONG>(::GetLastError());
    throw new CFileException(CFileException::OsErrorToException(osError), osError, m_strFileName);
  }
  if (written != count) throw new CFileException(CFileException::diskFull, ERROR_DISK_FULL, m_strFileName);
}

namespace {
// Takes the handle out of `slot` so that exactly one caller closes it.
HANDLE TakeFileHandle(HANDLE volatile& slot) {
  return ::InterlockedExchangePointer(const_cast<PVOID volatile*>(&slot), INVALID_HANDLE_VALUE);
}
}  // namespace

void CFile::Abort() {
  HANDLE file = TakeFileHandle(m_hFile);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
}

void CFile::Close() {
  HANDLE file = TakeFileHandle(m_hFile);
  if (file != INVALID_HANDLE_VALUE && !::CloseHandle(file)) {
    const LONG osError = static_cast<LONG>(::GetLastError());
    throw new CFileException(CFileException::OsErrorToException(osError), osError, L"");
  }
}

BOOL CFile::CreateInFolder(HANDLE folder, const wchar_t* name, const wchar_t* fileName, CFileException* error) {
  m_strFileName = fileName;
  auto fail = [&](DWORD osError) {
    if (error != nullptr) {
      error->m_lOsError = static_cast<LONG>(osError);
      error->m_cause = CFileException::OsErrorToException(error->m_lOsError);
      error->m_strFileName = fileName;
    }
    return FALSE;
  };
  if (name == nullptr || *name == L'\0') return fail(ERROR_ACCESS_DENIED);  // the folder itself is no file
  HANDLE old = nullptr;
  DWORD result = zelvra::OpenInFolder(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      FILE_OPEN, FILE_OPEN_REPARSE_POINT, nullptr, &old);
  if (result == NO_ERROR) {
    // Renamed first: a file whose deletion is still pending (a scanner
    // holding it) keeps its name until it is closed, and the new file could
    // not be created in its place.
    const zelvra::UniqueHandle owned(old);
    result = zelvra::MoveAsideInFolder(old, folder, name);
    if (result != NO_ERROR) return fail(result);
    static_cast<void>(zelvra::DeleteByHandle(old));  // the name is free whether or not the old one can go now
  } else if (result != ERROR_FILE_NOT_FOUND && result != ERROR_PATH_NOT_FOUND) {
    return fail(result);
  }
  HANDLE created = nullptr;
  result =
      zelvra::OpenInFolder(folder, name, GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, nullptr, &created);
  if (result != NO_ERROR) return fail(result);
  m_hFile = created;
  return TRUE;
}
