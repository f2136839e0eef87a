#include "platform/held_folder.h"

#include <winternl.h>

#include <cwchar>
#include <string>
#include <vector>

#include "core/download_paths.h"
#include "platform/dll_search.h"
#include "platform/handle.h"

namespace zelvra {

namespace {

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE,
                                        ACCESS_MASK,
                                        POBJECT_ATTRIBUTES,
                                        PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER,
                                        ULONG,
                                        ULONG,
                                        ULONG,
                                        ULONG,
                                        PVOID,
                                        ULONG);
using NtSetInformationFileFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
using NtQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE,
                                                HANDLE,
                                                PIO_APC_ROUTINE,
                                                PVOID,
                                                PIO_STATUS_BLOCK,
                                                PVOID,
                                                ULONG,
                                                FILE_INFORMATION_CLASS,
                                                BOOLEAN,
                                                PUNICODE_STRING,
                                                BOOLEAN);
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
    ResolveExport(ntdll, n.NtCreateFile, "NtCreateFile");
    ResolveExport(ntdll, n.NtSetInformationFile, "NtSetInformationFile");
    ResolveExport(ntdll, n.NtQueryDirectoryFile, "NtQueryDirectoryFile");
    ResolveExport(ntdll, n.RtlNtStatusToDosError, "RtlNtStatusToDosError");
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

DWORD OpenInFolder(HANDLE folder,
                   const wchar_t* name,
                   ACCESS_MASK access,
                   ULONG share,
                   ULONG disposition,
                   ULONG options,
                   PSECURITY_DESCRIPTOR security,
                   HANDLE* opened) {
  *opened = nullptr;
  const Native& api = NativeApi();
  if (!api.complete) return ERROR_PROC_NOT_FOUND;
  UNICODE_STRING counted = Counted(name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, folder, security);
  IO_STATUS_BLOCK status{};
  HANDLE handle = nullptr;
  const NTSTATUS result =
      api.NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                       disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(result)) return ErrorOf(result);
  *opened = handle;
  return NO_ERROR;
}

DWORD RenameInFolder(HANDLE object, HANDLE folder, const wchar_t* newName) {
  const Native& api = NativeApi();
  if (!api.complete) return ERROR_PROC_NOT_FOUND;
  RenameRecord record(folder, newName);
  IO_STATUS_BLOCK status{};
  return ErrorOf(api.NtSetInformationFile(object, &status, record.bytes.data(), static_cast<ULONG>(record.bytes.size()),
                                          kFileRenameInformation));
}

DWORD MoveAsideInFolder(HANDLE object, HANDLE folder, const wchar_t* name) {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const unsigned long long number = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < 16 && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS); ++attempt) {
    const std::u16string aside =
        MovedAsideName(reinterpret_cast<const char16_t*>(name), number + static_cast<unsigned long long>(attempt));
    error = RenameInFolder(object, folder, reinterpret_cast<const wchar_t*>(aside.c_str()));
  }
  return error;
}

DWORD DeleteByHandle(HANDLE object) {
  const Native& api = NativeApi();
  if (!api.complete) return ERROR_PROC_NOT_FOUND;
  FILE_DISPOSITION_INFO disposition{TRUE};
  IO_STATUS_BLOCK status{};
  return ErrorOf(
      api.NtSetInformationFile(object, &status, &disposition, sizeof(disposition), kFileDispositionInformation));
}

DWORD EntryAttributes(HANDLE folder, const wchar_t* name) {
  const Native& api = NativeApi();
  if (!api.complete) return INVALID_FILE_ATTRIBUTES;
  // The folder's own handle may not be used for listing at the same time
  // elsewhere: a handle of its own, opened through the held one.
  HANDLE listing = nullptr;
  if (OpenInFolder(folder, L"", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                   FILE_DIRECTORY_FILE, nullptr, &listing) != NO_ERROR) {
    return INVALID_FILE_ATTRIBUTES;
  }
  const UniqueHandle owned(listing);
  alignas(8) unsigned char buffer[sizeof(FILE_BOTH_DIR_INFORMATION) + 2 * MAX_PATH * sizeof(wchar_t)];
  UNICODE_STRING mask = Counted(name);
  IO_STATUS_BLOCK status{};
  const NTSTATUS result = api.NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &status, buffer, sizeof(buffer),
                                                   kFileBothDirectoryInformation, TRUE, &mask, TRUE);
  if (!NT_SUCCESS(result)) return INVALID_FILE_ATTRIBUTES;
  return reinterpret_cast<const FILE_BOTH_DIR_INFORMATION*>(buffer)->FileAttributes;
}

void DeleteMovedAside(HANDLE folder) {
  HANDLE listing = nullptr;
  if (OpenInFolder(folder, L"", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                   FILE_DIRECTORY_FILE, nullptr, &listing) != NO_ERROR) {
    return;
  }
  const UniqueHandle ownedListing(listing);
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
      if ((entry->FileAttributes & kNotAFile) == 0 &&
          IsMovedAsideName(reinterpret_cast<const char16_t*>(name.c_str()))) {
        leftovers.push_back({name, entry->FileId.QuadPart});
      }
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
  for (const Leftover& leftover : leftovers) {
    HANDLE file = nullptr;
    if (OpenInFolder(folder, leftover.name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                     FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr, &file) != NO_ERROR) {
      continue;
    }
    const UniqueHandle owned(file);
    // Deleted only when what was opened is the file that was listed: a link
    // that the opening followed after all is another object.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & kNotAFile) != 0) continue;
    const LONGLONG id = static_cast<LONGLONG>((static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
    if (id != leftover.id) continue;
    static_cast<void>(DeleteByHandle(file));  // a file still in use (a program of it runs) stays for a later run
  }
}

bool IsSameFile(HANDLE first, HANDLE second) {
  BY_HANDLE_FILE_INFORMATION firstInfo{};
  BY_HANDLE_FILE_INFORMATION secondInfo{};
  return ::GetFileInformationByHandle(first, &firstInfo) && ::GetFileInformationByHandle(second, &secondInfo) &&
         firstInfo.dwVolumeSerialNumber == secondInfo.dwVolumeSerialNumber &&
         firstInfo.nFileIndexHigh == secondInfo.nFileIndexHigh && firstInfo.nFileIndexLow == secondInfo.nFileIndexLow;
}

std::wstring FinalPath(HANDLE handle) {
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = ::GetFinalPathNameByHandleW(handle, nullptr, 0, flags);
  if (needed == 0) return std::wstring();
  std::wstring path(needed, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(handle, &path[0], needed, flags);
  if (length == 0 || length >= needed) return std::wstring();
  path.resize(length);
  return path;
}

bool PathNamesHeldFolder(const std::wstring& path, HANDLE held) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return false;
  std::wstring parsed(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &parsed[0], nullptr);
  if (length == 0 || length >= needed) return false;
  parsed.resize(length);
  if (parsed != path) return false;
  const UniqueHandle named(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return named && IsSameFile(named.Get(), held);
}

DWORD CheckVolume(HANDLE folder, const std::wstring& path) {
  DWORD flags = 0;
  if (!::GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return ::GetLastError();
  }
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return ERROR_NOT_SUPPORTED;
  wchar_t volume[MAX_PATH] = {};
  if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH) ||
      !IsDriveRootVolume(reinterpret_cast<const char16_t*>(volume))) {
    return ERROR_NOT_SUPPORTED;  // a share, or a volume mounted in a folder
  }
  return ::GetDriveTypeW(volume) == DRIVE_FIXED ? NO_ERROR : ERROR_NOT_SUPPORTED;
}

}  // namespace zelvra
