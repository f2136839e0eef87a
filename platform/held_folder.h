// Files and folders reached through a held folder handle, never by a path
// that could be re-pointed between a check and a use. The native calls come
// from ntdll, looked up at run time. Names are relative to the folder; every
// result is NO_ERROR or a system error code.
#pragma once

#include <windows.h>

#include <string>

namespace zelvra {

// Opens or creates `name` in `folder` (NtCreateFile with the folder as root
// directory). `disposition` and `options` are the native ones (FILE_OPEN,
// FILE_CREATE; FILE_DIRECTORY_FILE, FILE_OPEN_REPARSE_POINT, ...);
// FILE_SYNCHRONOUS_IO_NONALERT is always added. `security`, when given, is
// the new object's descriptor.
[[nodiscard]] DWORD OpenInFolder(HANDLE folder,
                                 const wchar_t* name,
                                 ACCESS_MASK access,
                                 ULONG share,
                                 ULONG disposition,
                                 ULONG options,
                                 PSECURITY_DESCRIPTOR security,
                                 HANDLE* opened);
// Renames the object of `object` (opened with DELETE) to `newName` in `folder`.
[[nodiscard]] DWORD RenameInFolder(HANDLE object, HANDLE folder, const wchar_t* newName);
// Renames the object of `object` (opened with DELETE) to an unused name
// "<name>.old-<number>" in `folder`.
[[nodiscard]] DWORD MoveAsideInFolder(HANDLE object, HANDLE folder, const wchar_t* name);
// Deletes the files of `folder` that were moved aside there and could not
// be deleted then, where that is possible now. Each is opened by its name
// through the folder, as itself, and deleted by handle; folders, links (also
// where opening one would follow it) and files still in use are left.
void DeleteMovedAside(HANDLE folder);
// Marks the object of `object` (opened with DELETE) for deletion; it goes
// when its last handle closes. For a link opened as itself, the link goes.
[[nodiscard]] DWORD DeleteByHandle(HANDLE object);
// Whether `first` and `second` are handles to the same file or folder: the
// same volume serial number and file index (false when either cannot say).
bool IsSameFile(HANDLE first, HANDLE second);
// The attributes of the entry `name` of `folder` as the folder lists it (a
// link shows as a reparse point there, whatever opening it does), or
// INVALID_FILE_ATTRIBUTES.
DWORD EntryAttributes(HANDLE folder, const wchar_t* name);

// The path of the object of `handle` as the system resolved it (every link
// on the way followed), in its "\\?\" form; empty on failure.
std::wstring FinalPath(HANDLE handle);
// Whether `path` (a folder's, ending with a backslash), read as the platform
// reads a path it is given, names the folder held by `held`. The platform's
// path parser drops a trailing dot from every component (and rewrites a few
// other forms), so that a folder "T." reached through a link would be
// started from as "T", a folder beside it that the user can fill. So the
// path must come out of the parser unchanged, and open the very folder that
// is held.
bool PathNamesHeldFolder(const std::wstring& path, HANDLE held);
// NO_ERROR when the held folder is on a fixed local volume that keeps
// security descriptors and is mounted at a drive letter (see
// IsDriveRootVolume): elsewhere a folder's security would mean nothing.
[[nodiscard]] DWORD CheckVolume(HANDLE folder, const std::wstring& path);

}  // namespace zelvra
