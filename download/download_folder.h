// The download folder of an elevated run.
//
// The installer runs with administrator rights and starts what it downloaded,
// but its %TEMP% is the user's own: any program of that user, running without
// those rights, could plant a library beside the launcher, swap a downloaded
// file after it was closed, make the folder a link to somewhere else, or
// re-point a link anywhere on the way to %TEMP% (the user's environment names
// it). So an elevated run opens %TEMP% once, takes the folder it really is,
// and from then on works only through handles: it creates its own
// "ZelvraManager" in that held folder, in one step, as a real folder that only
// SYSTEM and the Administrators can write, and creates, checks and replaces
// each file through the folder's handle. The handles stay open until the
// launcher has started, and Windows refuses to rename a folder while handles
// beneath it are open, so no path of the run can be re-pointed meanwhile.
#pragma once

#include <windows.h>

#include <string>

#include "framework/afxstring.h"
#include "platform/handle.h"

class CDownloadFolder {
 public:
  // Opens `tempPath` (the temporary path, ending with a backslash; its
  // folders exist) and makes "ZelvraManager" in it such a folder. %TEMP%
  // must be a local fixed volume that keeps security descriptors. A folder
  // already there is kept only when its own security admits writes by SYSTEM
  // and the Administrators alone. Anything else there is never followed or
  // written through: a link (junction or symbolic link) is removed, or the
  // attempt fails; a file is removed; another folder, or anything that
  // cannot be opened or removed, is renamed aside to "ZelvraManager.old-
  // <number>" with everything it holds. A new folder is owned by the
  // Administrators; a token that cannot name them fails. A %TEMP% whose
  // resolved path, as the platform parses a path, does not name the held
  // folder (a component ending in a dot) fails with ERROR_BAD_PATHNAME
  // before anything is made in it. Returns NO_ERROR, with both folders held,
  // or the system error code that stopped it.
  [[nodiscard]] DWORD Prepare(const CString& tempPath);

  bool IsHeld() const { return static_cast<bool>(m_folder); }
  // The held download folder.
  HANDLE Handle() const { return m_folder.Get(); }
  // The held %TEMP%, the download folder's parent.
  HANDLE TempHandle() const { return m_temp.Get(); }
  // The download folder's path as the held %TEMP% resolved (no "\\?\"
  // prefix where a drive letter or share names it), ending with a backslash:
  // the form shown in messages and used to start the launcher.
  const CString& Path() const { return m_strPath; }
  // The held %TEMP%'s path in the same form, ending with a backslash: the
  // download folder's parent.
  const CString& TempPath() const { return m_strTempPath; }
  // Lets both folders go.
  void Close();

 private:
  zelvra::UniqueHandle m_temp;
  zelvra::UniqueHandle m_folder;
  CString m_strPath;
  CString m_strTempPath;
};

// The security descriptor a new download folder is given, built as the
// folder's creation builds it and read back as SDDL (empty on failure).
std::u16string DownloadFolderDescriptorSddl();
