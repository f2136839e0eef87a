#include "download/download_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <vector>

#include "core/folder_security.h"

namespace {

// Owns memory the security functions allocate with LocalAlloc.
class LocalMemory {
 public:
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() {
    if (m_memory != nullptr) ::LocalFree(m_memory);
  }
  template <typename T>
  T** Receive() {
    return reinterpret_cast<T**>(&m_memory);
  }
  void* get() const { return m_memory; }

 private:
  void* m_memory = nullptr;
};

// The process's user as a SID string ("S-1-5-21-..."); empty on failure.
std::wstring ProcessUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  afx::UniqueHandle owned(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return std::wstring();
  LocalMemory text;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.Receive<wchar_t>())) {
    return std::wstring();
  }
  return static_cast<const wchar_t*>(text.get());
}

std::u16string SddlOf(PSECURITY_DESCRIPTOR descriptor) {
  LocalMemory text;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                              text.Receive<wchar_t>(), nullptr)) {
    return std::u16string();
  }
  return AfxU16(static_cast<const wchar_t*>(text.get()));
}

// The security of the download folder for this process's user, with the
// Administrators as owner or (`withOwner` false) the creator's default owner.
bool BuildDescriptor(bool withOwner, LocalMemory& descriptor) {
  const std::wstring user = ProcessUserSid();
  if (user.empty()) return false;
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(AfxWide(zelvra::DownloadFolderSddl(AfxU16(user.c_str()), withOwner)),
                                                                SDDL_REVISION_1, descriptor.Receive<void>(),
                                                                nullptr) != FALSE;
}

// Creates the folder with its security; NO_ERROR or the error code
// (ERROR_ALREADY_EXISTS when something is in its place).
DWORD CreateSecuredFolder(const std::wstring& path) {
  for (bool withOwner : {true, false}) {
    LocalMemory descriptor;
    if (!BuildDescriptor(withOwner, descriptor)) return ::GetLastError() != 0 ? ::GetLastError() : ERROR_INVALID_SID;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    if (::CreateDirectoryW(path.c_str(), &attributes)) return NO_ERROR;
    const DWORD error = ::GetLastError();
    // A token that may not name the Administrators as owner: its default
    // owner then, which the check below does not accept for a later run.
    if (error != ERROR_INVALID_OWNER) return error;
  }
  return ERROR_INVALID_OWNER;
}

// Opens what is at `path` itself, a link not followed, for reading its
// attributes and security; shares reading and writing but not deleting, so
// that it cannot be renamed or removed while the handle is open.
HANDLE OpenInPlace(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

std::u16string SecurityOf(HANDLE object) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return std::u16string();
  }
  const std::u16string sddl = SddlOf(descriptor);
  ::LocalFree(descriptor);
  return sddl;
}

// Moves what is at `path` to an unused sibling name; NO_ERROR or the error.
DWORD MoveAside(const std::wstring& path) {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  unsigned long long number = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < 16 && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS); ++attempt) {
    wchar_t aside[32];
    ::_snwprintf(aside, 31, L".old-%llx", number + static_cast<unsigned long long>(attempt));
    aside[31] = L'\0';
    error = ::MoveFileExW(path.c_str(), (path + aside).c_str(), 0) ? NO_ERROR : ::GetLastError();
  }
  return error;
}

}  // namespace

DWORD SecureDownloadFolder(const CString& folder, afx::UniqueHandle& held) {
  held.reset();
  std::wstring path = folder.str();
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  // Each round clears one thing out of the folder's place; a place that
  // keeps being taken again ends the attempt.
  DWORD error = NO_ERROR;
  for (int round = 0; round < 4; ++round) {
    error = CreateSecuredFolder(path);
    if (error != NO_ERROR && error != ERROR_ALREADY_EXISTS) return error;
    const bool created = error == NO_ERROR;
    const DWORD pathAttributes = ::GetFileAttributesW(path.c_str());
    afx::UniqueHandle opened(OpenInPlace(path));
    if (!opened) return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(opened.get(), &info)) return ::GetLastError();
    // A link shows as a reparse point to either question.
    const DWORD attributes = info.dwFileAttributes | (pathAttributes != INVALID_FILE_ATTRIBUTES ? pathAttributes : 0);
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (isFolder && !isLink && (created || zelvra::AdmitsWritesOnlyByAdministrators(SecurityOf(opened.get())))) {
      held = std::move(opened);
      return NO_ERROR;
    }
    opened.reset();
    if (isLink) {
      // The link itself goes (for a junction or a symbolic link the system
      // removes the link, never what it points to); it is never moved, and
      // what it points to is left alone.
      if (!(isFolder ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str()))) return ::GetLastError();
    } else if (isFolder || !::DeleteFileW(path.c_str())) {
      error = MoveAside(path);
      if (error != NO_ERROR) return error;
    }
    error = ERROR_ALREADY_EXISTS;
  }
  return error;
}

std::u16string DownloadFolderDescriptorSddl() {
  LocalMemory descriptor;
  if (!BuildDescriptor(true, descriptor)) return std::u16string();
  return SddlOf(descriptor.get());
}
