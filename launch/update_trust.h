// The check of the downloaded update files before the launcher starts, in a
// build that pins the certificates allowed to sign them (ZELVRA_UPDATE_SIGNERS).
//
// The files are opened for reading, sharing reading only, and stay open until
// the launcher has started: from the check to the start no program can
// change, replace or delete them. Each must then carry a valid Authenticode
// signature (the platform's WinVerifyTrust, without user interface or network
// retrieval) whose signing certificate is one of the pinned ones. On Windows
// that signature must also chain to a root the machine trusts.
#pragma once

#include <windows.h>

#include <utility>
#include <vector>

#include "framework/afxstring.h"
#include "framework/handle.h"

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
  bool Verify(const std::vector<CString>& files);
  // Lets the files go (once the launcher has started).
  void Release();
  // Lets the files go and deletes every one of them.
  void DeleteFiles();

 private:
  std::vector<std::pair<CString, afx::UniqueHandle>> m_files;
};
