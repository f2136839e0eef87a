// CDownloadTarget: where a run's files go, chosen once as the download
// dialog starts, and what each worker is given of it.
//
// Elevated, the files go into the download folder made safe and held in the
// held %TEMP% (CDownloadFolder); a folder that cannot be made safe is kept as
// an error, and each worker fails its file with it, before any request. Not
// elevated, they go by path into the folder in %TEMP%, made as needed. The
// unattended log is made in the same place.
#pragma once

#include <windows.h>

#include "download/download_folder.h"
#include "download/worker_owner.h"
#include "framework/afxstring.h"

class CDownloadTarget {
 public:
  // Chooses the target in the system's temporary folder; false when the
  // system has none (nothing can be downloaded then).
  bool Choose();
  // Gives a worker the folder: its path, its held handle (elevated) or why
  // it could not be made safe.
  void Fill(DownloadWorkerSettings* settings) const;
  // Elevated: the held download folder (not held otherwise).
  const CDownloadFolder& Folder() const { return m_folder; }
  // Whether the run is elevated, as Choose found it: the one place the
  // run's elevation decides where files go and how the launcher starts.
  bool Elevated() const { return m_bElevated; }

 private:
  bool m_bElevated = false;
  CString m_strFolder;         // the folder's path, ending with a backslash
  DWORD m_dwError = NO_ERROR;  // elevated: why the folder could not be made safe
  CDownloadFolder m_folder;
};

// Creates the folder `path` and every missing parent; true when it exists
// then.
bool CreateFolderPath(const CString& path);
