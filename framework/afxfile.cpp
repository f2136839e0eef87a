#include "framework/afxfile.h"

#include <winternl.h>

#include <cwchar>
#include <vector>

#include "core/download_paths.h"
#include "framework/afxres.h"
#include "framework/afxsys.h"
#include "framework/handle.h"

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

// ---------------------------------------------------------------------------
// Through a held folder

namespace {

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
using NtQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS);

// The native entry points, from ntdll (loaded in every process).
struct Native {
  NtCreateFileFn NtCreateFile = nullptr;
  NtSetInformationFileFn NtSetInformationFile = nullptr;
  NtQueryDirectoryFileFn NtQueryDirectoryFile = nullptr;
  RtlNtStatusToDosErrorFn RtlNtStatusToDosError = nullptr;
  bool complete = false;
};

const Native& NativeApi() {
  static const Native api = [] {
    Native n;
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return n;
    AfxResolveExport(ntdll, n.NtCreateFile, "NtCreateFile");
    AfxResolveExport(ntdll, n.NtSetInformationFile, "NtSetInformationFile");
    AfxResolveExport(ntdll, n.NtQueryDirectoryFile, "NtQueryDirectoryFile");
    AfxResolveExport(ntdll, n.RtlNtStatusToDosError, "RtlNtStatusToDosError");
    n.complete = n.NtCreateFile && n.NtSetInformationFile && n.NtQueryDirectoryFile && n.RtlNtStatusToDosError;
    return n;
  }();
  return api;
}

DWORD ErrorOf(NTSTATUS status) {
  if (NT_SUCCESS(status)) return NO_ERROR;
  const DWORD error = NativeApi().RtlNtStatusToDosError(status);
  return error != NO_ERROR ? error : ERROR_GEN_FAILURE;
}

UNICODE_STRING Counted(const wchar_t* text) {
  const size_t bytes = std::wcslen(text) * sizeof(wchar_t);
  UNICODE_STRING counted;
  counted.Length = static_cast<USHORT>(bytes);
  counted.MaximumLength = static_cast<USHORT>(bytes);
  counted.Buffer = const_cast<PWSTR>(text);
  return counted;
}

// The native rename record: FILE_RENAME_INFORMATION with its name inline.
struct RenameRecord {
  explicit RenameRecord(HANDLE folder, const wchar_t* name) {
    const size_t chars = std::wcslen(name);
    bytes.assign(offsetof(FILE_RENAME_INFO, FileName) + (chars + 1) * sizeof(wchar_t), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(bytes.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = folder;
    info->FileNameLength = static_cast<DWORD>(chars * sizeof(wchar_t));
    std::wmemcpy(info->FileName, name, chars);
  }
  std::vector<unsigned char> bytes;
};

constexpr FILE_INFORMATION_CLASS kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr FILE_INFORMATION_CLASS kFileDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);
constexpr FILE_INFORMATION_CLASS kFileBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(3);

}  // namespace

DWORD AfxOpenInFolder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                      ULONG options, PSECURITY_DESCRIPTOR security, HANDLE* opened) {
  *opened = nullptr;
  const Native& api = NativeApi();
  if (!api.complete) return ERROR_PROC_NOT_FOUND;
  UNICODE_STRING counted = Counted(name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, folder, security);
  IO_STATUS_BLOCK status{};
  HANDLE handle = nullptr;
  const NTSTATUS result = api.NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr,
                                           FILE_ATTRIBUTE_NORMAL, share, disposition,
                                           options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(result)) return ErrorOf(result);
  *opened = handle;
  return NO_ERROR;
}

DWORD AfxRenameInFolder(HANDLE object, HANDLE folder, const wchar_t* newName) {
  const Native& api = NativeApi();
  if (!api.complete) return ERROR_PROC_NOT_FOUND;
  RenameRecord record(folder, newName);
  IO_STATUS_BLOCK status{};
  return ErrorOf(api.NtSetInformationFile(object, &status, record.bytes.data(),
                                          static_cast<ULONG>(record.bytes.size()), kFileRenameInformation));
}

DWORD AfxMoveAsideInFolder(HANDLE object, HANDLE folder, const wchar_t* name) {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const unsigned long long number = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < 16 && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS); ++attempt) {
    const std::u16string aside = zelvra::MovedAsideName(AfxU16(name), number + static_cast<unsigned long long>(attempt));
    error = AfxRenameInFolder(object, folder, AfxWide(aside));
  }
  return error;
}

DWORD AfxDeleteByHandle(HANDLE object) {
  const Native& api = NativeApi();
  if (!api.complete) return ERROR_PROC_NOT_FOUND;
  FILE_DISPOSITION_INFO disposition{TRUE};
  IO_STATUS_BLOCK status{};
  return ErrorOf(api.NtSetInformationFile(object, &status, &disposition, sizeof(disposition),
                                          kFileDispositionInformation));
}

DWORD AfxEntryAttributes(HANDLE folder, const wchar_t* name) {
  const Native& api = NativeApi();
  if (!api.complete) return INVALID_FILE_ATTRIBUTES;
  // The folder's own handle may not be used for listing at the same time
  // elsewhere: a handle of its own, opened through the held one.
  HANDLE listing = nullptr;
  if (AfxOpenInFolder(folder, L"", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, &listing) != NO_ERROR) {
    return INVALID_FILE_ATTRIBUTES;
  }
  const afx::UniqueHandle owned(listing);
  alignas(8) unsigned char buffer[sizeof(FILE_BOTH_DIR_INFORMATION) + 2 * MAX_PATH * sizeof(wchar_t)];
  UNICODE_STRING mask = Counted(name);
  IO_STATUS_BLOCK status{};
  const NTSTATUS result = api.NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &status, buffer, sizeof(buffer),
                                                   kFileBothDirectoryInformation, TRUE, &mask, TRUE);
  if (!NT_SUCCESS(result)) return INVALID_FILE_ATTRIBUTES;
  return reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(buffer)->FileAttributes;
}

void AfxDeleteMovedAside(HANDLE folder) {
  HANDLE listing = nullptr;
  if (AfxOpenInFolder(folder, L"", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, &listing) != NO_ERROR) {
    return;
  }
  const afx::UniqueHandle ownedListing(listing);
  constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;  // as listed or as opened
  struct Leftover {
    std::wstring name;
    LONGLONG id;
  };
  std::vector<Leftover> leftovers;
  alignas(8) unsigned char buffer[4096];
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  while (::GetFileInformationByHandleEx(listing, kind, buffer, sizeof(buffer))) {
    kind = FileIdBothDirectoryInfo;
    for (size_t at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
      const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if ((entry->FileAttributes & kNotAFile) == 0 && zelvra::IsMovedAsideName(AfxU16(name.c_str()))) {
        leftovers.push_back({name, entry->FileId.QuadPart});
      }
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
  for (const Leftover& leftover : leftovers) {
    HANDLE file = nullptr;
    if (AfxOpenInFolder(folder, leftover.name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                        FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr, &file) != NO_ERROR) {
      continue;
    }
    const afx::UniqueHandle owned(file);
    // Deleted only when what was opened is the file that was listed: a link
    // that the opening followed after all is another object.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & kNotAFile) != 0) continue;
    const LONGLONG id = static_cast<LONGLONG>((static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
    if (id != leftover.id) continue;
    AfxDeleteByHandle(file);  // a file still in use (a program of it runs) stays for a later run
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
  DWORD result = AfxOpenInFolder(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 FILE_OPEN, FILE_OPEN_REPARSE_POINT, nullptr, &old);
  if (result == NO_ERROR) {
    // Renamed first: a file whose deletion is still pending (a scanner
    // holding it) keeps its name until it is closed, and the new file could
    // not be created in its place.
    const afx::UniqueHandle owned(old);
    result = AfxMoveAsideInFolder(old, folder, name);
    if (result != NO_ERROR) return fail(result);
    AfxDeleteByHandle(old);  // the name is free whether or not the old one can go now
  } else if (result != ERROR_FILE_NOT_FOUND && result != ERROR_PATH_NOT_FOUND) {
    return fail(result);
  }
  HANDLE created = nullptr;
  result = AfxOpenInFolder(folder, name, GENERIC_WRITE, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, nullptr, &created);
  if (result != NO_ERROR) return fail(result);
  m_hFile = created;
  return TRUE;
}
