#include "download/download_folder.h"

#include <string>
#include <utility>

#include "core/download_paths.h"
#include "core/folder_place.h"
#include "core/folder_security.h"
#include "framework/afxfile.h"
#include "platform/held_folder.h"
#include "platform/security.h"

namespace {

// The security of the download folder for this process's user, owned by the
// Administrators.
bool BuildDescriptor(zelvra::LocalMemory& descriptor) {
  const std::wstring user = zelvra::ProcessUserSid();
  if (user.empty()) return false;
  return zelvra::DescriptorFromSddl(AfxWide(zelvra::DownloadFolderSddl(AfxU16(user.c_str()))), descriptor);
}

// Rights on the download folder: list it, add files to it, pass through
// it, read its attributes and security.
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;
// Shared for reading and writing, never for deleting: a held folder can be
// neither renamed nor removed.
constexpr ULONG kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr wchar_t kFolderName[] = L"ZelvraManager";
// Each round clears one thing out of the folder's place; a place that keeps
// being taken again ends the attempt.
constexpr int kPlaceRounds = 4;

// Opens %TEMP% (`tempPath`) and receives its path as the system resolved
// it, which must name the held folder and lie on a volume whose security
// means something.
DWORD OpenTemp(const CString& tempPath, zelvra::UniqueHandle* temp, CString* resolved) {
  temp->Reset(::CreateFileW(
      tempPath,
      FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      kShareNoDelete, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!*temp) return ::GetLastError();
  const std::wstring finalPath = zelvra::FinalPath(temp->Get());
  if (finalPath.empty()) return ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_PATH_NOT_FOUND;
  *resolved = CString(zelvra::FolderPathFromFinalPath(AfxU16(finalPath.c_str())));
  // Messages name the folder, and the launcher is started, by this path: it
  // must name the held folder.
  if (!zelvra::PathNamesHeldFolder(resolved->str(), temp->Get())) return ERROR_BAD_PATHNAME;
  return zelvra::CheckVolume(temp->Get(), resolved->str());
}

// Creates the folder in `temp` and opens it in one step: the handle is to
// the folder this run made, with this security, whatever happens to the
// name afterwards. (Without the right to name the Administrators as owner
// this fails with ERROR_INVALID_OWNER, and so does the run.)
DWORD CreateFolder(HANDLE temp, zelvra::UniqueHandle* folder) {
  zelvra::LocalMemory descriptor;
  if (!BuildDescriptor(descriptor)) return ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_INVALID_SID;
  HANDLE created = nullptr;
  const DWORD error = zelvra::OpenInFolder(temp, kFolderName, kFolderAccess, kShareNoDelete, FILE_CREATE,
                                           FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, descriptor.Get(), &created);
  folder->Reset(created);
  return error;
}

// Something is in the folder's place: it is opened as itself (a link is not
// followed) and without sharing delete, so that it stays what is judged, and
// zelvra::DecideFolderPlace says what becomes of it. A folder that is kept
// goes to `kept`; anything else is cleared out of the way.
DWORD ClearPlace(HANDLE temp, zelvra::UniqueHandle* kept) {
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
      facts.security = zelvra::SecurityOf(there);
    } else {
      facts.attributesError = ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_GEN_FAILURE;
    }
  }
  const zelvra::FolderPlaceDecision decision = zelvra::DecideFolderPlace(facts);
  switch (decision.action) {
    case zelvra::FolderPlaceAction::kKeep: *kept = std::move(owned); return NO_ERROR;
    case zelvra::FolderPlaceAction::kDeleteLink:
      // For a junction or a symbolic link opened as itself the system
      // removes the link, never what it points to.
      return zelvra::DeleteByHandle(there);
    case zelvra::FolderPlaceAction::kMoveAside: return zelvra::MoveAsideInFolder(there, temp, kFolderName);
    case zelvra::FolderPlaceAction::kMoveAsideAndDelete: {
      // Renamed first: a deletion still pending would keep the name taken.
      // A delete that fails leaves the file aside, out of the way.
      const DWORD error = zelvra::MoveAsideInFolder(there, temp, kFolderName);
      if (error == NO_ERROR) static_cast<void>(zelvra::DeleteByHandle(there));
      return error;
    }
    case zelvra::FolderPlaceAction::kReopenForDeleteAndMoveAside: {
      // An entry whose security keeps the Administrators out can still be
      // renamed through the right to delete what %TEMP% holds.
      const DWORD error = zelvra::OpenInFolder(temp, kFolderName, DELETE, kShareNoDelete, FILE_OPEN,
                                               FILE_OPEN_REPARSE_POINT, nullptr, &there);
      if (error != NO_ERROR) return error;
      const zelvra::UniqueHandle reopened(there);
      return zelvra::MoveAsideInFolder(there, temp, kFolderName);
    }
    case zelvra::FolderPlaceAction::kFail: break;
  }
  return decision.error;
}

}  // namespace

DWORD CDownloadFolder::Prepare(const CString& tempPath) {
  Close();
  zelvra::UniqueHandle temp;
  CString tempFolder;
  DWORD error = OpenTemp(tempPath, &temp, &tempFolder);
  if (error != NO_ERROR) return error;
  zelvra::UniqueHandle folder;
  for (int round = 0; round < kPlaceRounds && !folder; ++round) {
    error = CreateFolder(temp.Get(), &folder);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) error = ClearPlace(temp.Get(), &folder);
    if (error != NO_ERROR) return error;
  }
  if (!folder) return ERROR_ALREADY_EXISTS;
  // Adopted: both folders are held from here on.
  m_temp = std::move(temp);
  m_folder = std::move(folder);
  m_strPath = tempFolder + kFolderName + L"\\";
  m_strTempPath = tempFolder;
  return NO_ERROR;
}

void CDownloadFolder::Close() {
  m_folder.Reset();
  m_temp.Reset();
  m_strPath.Empty();
  m_strTempPath.Empty();
}

std::u16string DownloadFolderDescriptorSddl() {
  zelvra::LocalMemory descriptor;
  if (!BuildDescriptor(descriptor)) return std::u16string();
  return zelvra::SddlOf(descriptor.Get());
}
