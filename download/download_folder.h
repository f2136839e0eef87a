// The download folder of an elevated run.
//
// The installer runs with administrator rights and starts what it downloaded,
// but its %TEMP% is the user's own: any program of that user, running without
// those rights, could plant a library beside the launcher, swap a downloaded
// file after it was closed, or make the folder a link to somewhere else. So
// an elevated run downloads into a real folder (never a link) that only
// SYSTEM and the Administrators can write, and holds it open (without sharing
// delete) for as long as it needs it, so that it can be neither renamed nor
// replaced meanwhile. The folder's path stays the same: the launcher and the
// updater rely on it.
#pragma once

#include <windows.h>

#include <string>

#include "framework/afxstring.h"
#include "framework/handle.h"

// Makes `folder` (a path ending with a backslash, whose parent exists) such a
// folder. A folder already there is kept only when its own security already
// admits writes by SYSTEM and the Administrators alone. Anything else there is
// never followed or written through: a link (junction or symbolic link) is
// removed, or the attempt fails; a file is removed; another folder (or a file
// that cannot be removed) is moved aside to a sibling named
// "<folder>.old-<number>" with everything it holds. Then a new folder is
// created with that security. On success `held` holds the folder open and the
// result is NO_ERROR; otherwise it is the system error code that stopped it.
DWORD SecureDownloadFolder(const CString& folder, afx::UniqueHandle& held);

// The security descriptor a new download folder is given, built as the
// folder's creation builds it and read back as SDDL (empty on failure).
std::u16string DownloadFolderDescriptorSddl();
