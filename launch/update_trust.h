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
//
// A pinned build may also set a floor for the launcher
// (ZELVRA_LAUNCHER_MIN_VERSION, ZELVRA_LAUNCHER_ORIGINAL_NAME): the pin alone
// takes every file the pinned key ever signed, also an older launcher or
// another of the maker's programs served under the launcher's name. With a
// floor, the launcher's version block, read from the bytes of the held file,
// must give the configured OriginalFilename and a file version of at least
// the floor's. Only the launcher is held to it: it is the one program this
// installer starts, and what it starts is its own concern.
#pragma once

#include <windows.h>

#include <vector>

#include "core/program_version.h"
#include "framework/afxstring.h"
#include "platform/handle.h"

// The pinned fingerprints (lowercase hex), ended by a null, and the floor for
// the launcher; defined by the build's generated update_signers.cpp.
extern const char* const kPinnedUpdateSigners[];
extern const zelvra::LauncherFloor kLauncherFloor;

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
  // Whether the held file at `launcher` passes the build's floor for the
  // launcher (kLauncherFloor), read from a read-only mapping of its handle;
  // true when the build sets none. Call after Verify passed.
  [[nodiscard]] bool LauncherMeetsFloor(const CString& launcher) const;
  // Lets the files go (once the launcher has started).
  void Close();
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
