#include "download/download_target.h"

#include <shlwapi.h>

#include <string>

#include "core/directory_path.h"
#include "core/download_paths.h"
#include "log/install_log.h"
#include "platform/elevation.h"
#include "platform/held_folder.h"

namespace {

// The folder operations over the file system.
class FileSystemFolders : public zelvra::FolderOperations {
 public:
  bool IsDirectory(const std::u16string& path) override { return ::PathIsDirectoryW(AfxWide(path)) != FALSE; }
  // The result is not looked at: a folder that exists fails, and whether the
  // whole path exists in the end is asked of IsDirectory.
  void CreateDirectory(const std::u16string& path) override {
    static_cast<void>(::CreateDirectoryW(AfxWide(path), nullptr));
  }
};

// The temporary path, ending with a backslash, or empty when the system has
// none. A path longer than MAX_PATH is fetched whole into a larger buffer
// rather than cut or overrun.
CString TemporaryPath() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
  if (length == 0) return CString();
  if (length < MAX_PATH) return CString(buffer, static_cast<int>(length));
  std::wstring larger(length + 1, L'\0');
  const DWORD again = ::GetTempPathW(length + 1, &larger[0]);
  if (again == 0 || again > length) return CString();
  larger.resize(again);
  return CString(larger);
}

}  // namespace

bool CreateFolderPath(const CString& path) {
  FileSystemFolders folders;
  return zelvra::CreateDirectoryPath(path.u16(), folders);
}

bool CDownloadTarget::Choose() {
  const CString tempPath = TemporaryPath();
  if (tempPath.IsEmpty()) return false;
  CInstallLog& log = CInstallLog::Get();
  m_bElevated = zelvra::IsProcessElevated();
  m_strFolder = CString(zelvra::DownloadFolderIn(tempPath.u16()));
  if (!m_bElevated) {
    log.CreateAt(tempPath);
    return true;
  }
  CreateFolderPath(tempPath);
  m_dwError = m_folder.Prepare(tempPath);
  if (m_dwError != NO_ERROR) {
    log.NoFile();
    return true;
  }
  // What an earlier run moved aside and could not delete then (a launcher
  // of it still ran) goes now, where it can. The log is made in the held
  // %TEMP%. Held, the folder is named as the held %TEMP% resolved; every
  // file goes through its handle.
  zelvra::DeleteMovedAside(m_folder.Handle());
  log.CreateIn(m_folder.TempHandle());
  m_strFolder = m_folder.Path();
  return true;
}

void CDownloadTarget::Fill(DownloadWorkerSettings* settings) const {
  // Not elevated, a folder that went meanwhile is made again; one that
  // cannot be made shows up as the worker's failure to create its file.
  if (!m_bElevated) CreateFolderPath(m_strFolder);
  settings->folder = m_strFolder;
  settings->folderError = m_dwError;
  settings->folderHandle = m_folder.Handle();
}
