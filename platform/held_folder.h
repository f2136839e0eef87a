// Files and folders reached through a held folder handle, never by a path
// that could be re-pointed between a check and a use. The native calls come
// from ntdll, looked up at run time. Names are relative to the folder; every
// result is NO_ERROR or a system error code.
#pragma once

#include <windows.h>

namespace zelvra {

// Opens or creates `name` in `folder` (NtCreateFile with the folder as root
// directory). `disposition` and `options` are the native ones (FILE_OPEN,
// FILE_CREATE; FILE_DIRECTORY_FILE, FILE_OPEN_REPARSE_POINT, ...);
// FILE_SYNCHRONOUS_IO_NONALERT is always added. `security`, when given, is
// the new object's descriptor.
[[nodiscard]] DWORD OpenInFolder(HANDLE folder, const wchar_t* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                      ULONG options, PSECURITY_DESCRIPTOR security, HANDLE* opened);
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

}  // namespace zelvra
