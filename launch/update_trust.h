// The check of the downloaded update files before the launcher starts, in a
// build that pins the certificates allowed to sign them (ZELVRA_UPDATE_SIGNERS).
//
// The files are opened for reading, sharing reading only, and stay open until
// the launcher has started: from the check to the start no program can
// change, replace or delete them. Each must then carry an intact Authenticode
// signature (the platform's WinVerifyTrust, without user interface or network
// retrieval) whose signing certificate is one of the pinned ones. The pin is
// the trust decision: a signature whose chain to a trusted root cannot be
// built offline (the root not cached yet on a fresh Windows) still passes
// when its digest is intact and its signer pinned.
#pragma once

#include <windows.h>

#include <vector>

#include "framework/afxstring.h"
#include "platform/handle.h"

// The pinned fingerprints (lowercase hex), ended by a null; defined by the
// build's generated update_signers.cpp.
extern const char* const kPinnedUpdateSigners[];

// Whether this build checks the update files at all.
bool UpdateSignersPinned();

class CUpdateFileCheck {
 public:
  CUpdateFileCheck() = default;
  CUpdateFileCheck(const CUpdateFileCheck&) = delete;
  CUpdateFileCheck& operator=(const CUpdateFileCheck&) = delete;

  // Opens and holds every file, then checks each; true when all of them
  // passed. The files stay held either way, until Release or DeleteFiles.
  // With `folder` (the held download folder of an elevated run) each file is
  // opened through it by its name, never by its path.
  [[nodiscard]] bool Verify(const std::vector<CString>& files, HANDLE folder = nullptr);
  // The held handle of `path`, one of the files given to Verify; null when
  // it is not held.
  HANDLE HeldFile(const CString& path) const;
  // Lets the files go (once the launcher has started).
  void Release();
  // Lets the files go and deletes every one of them.
  void DeleteFiles();

 private:
  struct CheckedFile {
    CString path;
    zelvra::UniqueHandle handle;  // null when the file could not be opened
  };
  std::vector<CheckedFile> m_files;
  bool m_bDeletable = false;  // the files were opened with the right to delete them
};
