#include "download/download_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <vector>

#include "core/download_paths.h"
#include "core/folder_place.h"
#include "core/folder_security.h"
#include "framework/afxfile.h"
#include "platform/held_folder.h"

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
  zelvra::UniqueHandle owned(token);
  DWORD size = 0;
  // Asks for the size only: fails by design, with the size in `size`.
  static_cast<void>(::GetTokenInformation(token, TokenUser, nullptr, 0, &size));
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

// The security of the download folder for this process's user, owned by the
// Administrators.
bool BuildDescriptor(LocalMemory& descriptor) {
  const std::wstring user = ProcessUserSid();
  if (user.empty()) return false;
  return ::ConvertStringSecurityDescriptorToSecurityDescriptorW(AfxWide(zelvra::DownloadFolderSddl(AfxU16(user.c_str()))),
                                                                SDDL_REVISION_1, descriptor.Receive<void>(),
                                                                nullptr) != FALSE;
}

// Rights on the download folder: list it, add files to it, pass through
// it, read its attributes and security.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                      READ_CONTROL;
// Shared for reading and writing, never for deleting: a held folder can be
// neither renamed nor removed.
constexpr ULONG kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr wchar_t kFolderName[] = L"ZelvraManager";

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

// The path of the object of `handle` as the system resolved it (every link
// on the way followed), in its "\\?\" form; empty on failure.
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

// Whether `path` (a folder's, ending with a backslash), read as the platform
// reads a path it is given, names the folder held by `held`. The path comes
// from the handle, but the platform's path parser drops a trailing dot from
// every component (and rewrites a few other forms), so that a folder "T."
// reached through a link would be started from as "T", a folder beside it
// that the user can fill. So the path must come out of the parser unchanged,
// and open the very folder that is held.
bool PathNamesHeldFolder(const std::wstring& path, HANDLE held) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return false;
  std::wstring parsed(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &parsed[0], nullptr);
  if (length == 0 || length >= needed) return false;
  parsed.resize(length);
  if (parsed != path) return false;
  const zelvra::UniqueHandle named(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return named && zelvra::IsSameFile(named.Get(), held);
}

// NO_ERROR when the held folder is on a fixed local volume that keeps
// security descriptors and is mounted at a drive letter (see
// zelvra::IsDriveRootVolume): elsewhere the folder's security would mean
// nothing.
DWORD CheckVolume(HANDLE folder, const std::wstring& path) {
  DWORD flags = 0;
  if (!::GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return ::GetLastError();
  }
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return ERROR_NOT_SUPPORTED;
  wchar_t volume[MAX_PATH] = {};
  if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH) || !zelvra::IsDriveRootVolume(AfxU16(volume))) {
    return ERROR_NOT_SUPPORTED;  // a share, or a volume mounted in a folder
  }
  return ::GetDriveTypeW(volume) == DRIVE_FIXED ? NO_ERROR : ERROR_NOT_SUPPORTED;
}

}  // namespace

DWORD CDownloadFolder::Prepare(const CString& tempPath) {
  Release();
  HANDLE temp = ::CreateFileW(tempPath, FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE |
                                            FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                              kShareNoDelete, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (temp == INVALID_HANDLE_VALUE) return ::GetLastError();
  zelvra::UniqueHandle heldTemp(temp);
  const std::wstring finalPath = FinalPath(temp);
  if (finalPath.empty()) return ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_PATH_NOT_FOUND;
  const CString tempFolder(zelvra::FolderPathFromFinalPath(AfxU16(finalPath.c_str())));
  // Messages name the folder, and the launcher is started, by this path: it
  // must name the held folder.
  if (!PathNamesHeldFolder(tempFolder.str(), temp)) return ERROR_BAD_PATHNAME;
  DWORD error = CheckVolume(temp, tempFolder.str());
  if (error != NO_ERROR) return error;

  // Each round clears one thing out of the folder's place; a place that
  // keeps being taken again ends the attempt.
  for (int round = 0; round < 4; ++round) {
    LocalMemory descriptor;
    if (!BuildDescriptor(descriptor)) return ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_INVALID_SID;
    // Created and opened in one step: the handle is to the folder this run
    // made, with this security, whatever happens to the name afterwards.
    // (Without the right to name the Administrators as owner this fails
    // with ERROR_INVALID_OWNER, and so does the run.)
    HANDLE folder = nullptr;
    error = zelvra::OpenInFolder(temp, kFolderName, kFolderAccess, kShareNoDelete, FILE_CREATE,
                            FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, descriptor.get(), &folder);
    if (error == NO_ERROR) {
      m_folder.Reset(folder);
      break;
    }
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return error;

    // Something is in the folder's place. What it is, opened as itself (a
    // link is not followed) and without sharing delete, so that it stays
    // what is judged; zelvra::DecideFolderPlace says what becomes of it.
    zelvra::FolderPlaceFacts facts;
    const DWORD listed = zelvra::EntryAttributes(temp, kFolderName);
    HANDLE there = nullptr;
    facts.openError = zelvra::OpenInFolder(temp, kFolderName, kFolderAccess | DELETE, kShareNoDelete, FILE_OPEN,
                                      FILE_OPEN_REPARSE_POINT, nullptr, &there);
    zelvra::UniqueHandle owned(there);
    if (owned) {
      BY_HANDLE_FILE_INFORMATION info{};
      if (::GetFileInformationByHandle(there, &info)) {
        // A link shows as a reparse point to either question.
        const DWORD attributes = info.dwFileAttributes | (listed != INVALID_FILE_ATTRIBUTES ? listed : 0);
        facts.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        facts.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        facts.security = SecurityOf(there);
      } else {
        facts.attributesError = ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_GEN_FAILURE;
      }
    }
    const zelvra::FolderPlaceDecision decision = zelvra::DecideFolderPlace(facts);
    error = NO_ERROR;
    switch (decision.action) {
      case zelvra::FolderPlaceAction::kKeep:
        m_folder = std::move(owned);
        break;
      case zelvra::FolderPlaceAction::kDeleteLink:
        // For a junction or a symbolic link opened as itself the system
        // removes the link, never what it points to.
        error = zelvra::DeleteByHandle(there);
        break;
      case zelvra::FolderPlaceAction::kMoveAside:
        error = zelvra::MoveAsideInFolder(there, temp, kFolderName);
        break;
      case zelvra::FolderPlaceAction::kMoveAsideAndDelete:
        // Renamed first: a deletion still pending would keep the name taken.
        // A delete that fails leaves the file aside, out of the way.
        error = zelvra::MoveAsideInFolder(there, temp, kFolderName);
        if (error == NO_ERROR) static_cast<void>(zelvra::DeleteByHandle(there));
        break;
      case zelvra::FolderPlaceAction::kReopenForDeleteAndMoveAside: {
        // An entry whose security keeps the Administrators out can still be
        // renamed through the right to delete what %TEMP% holds.
        error = zelvra::OpenInFolder(temp, kFolderName, DELETE, kShareNoDelete, FILE_OPEN, FILE_OPEN_REPARSE_POINT,
                                nullptr, &there);
        if (error != NO_ERROR) return error;
        const zelvra::UniqueHandle reopened(there);
        error = zelvra::MoveAsideInFolder(there, temp, kFolderName);
        break;
      }
      case zelvra::FolderPlaceAction::kFail:
        return decision.error;
    }
    if (error != NO_ERROR) return error;
    if (m_folder) break;
  }
  if (!m_folder) return ERROR_ALREADY_EXISTS;
  m_temp = std::move(heldTemp);
  m_strPath = tempFolder + kFolderName + L"\\";
  m_strTempPath = tempFolder;
  return NO_ERROR;
}

void CDownloadFolder::Release() {
  m_folder.Reset();
  m_temp.Reset();
  m_strPath.Empty();
  m_strTempPath.Empty();
}

std::u16string DownloadFolderDescriptorSddl() {
  LocalMemory descriptor;
  if (!BuildDescriptor(descriptor)) return std::u16string();
  return SddlOf(descriptor.get());
}
