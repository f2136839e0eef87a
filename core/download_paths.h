// Names and folders of the downloaded files.
#pragma once

#include <cstdint>
#include <string>

namespace zelvra {

inline constexpr char16_t kDownloadFolderName[] = u"ZelvraManager\\";
inline constexpr char16_t kLaunchFileName[] = u"ZVCallUpdater.exe";

// The part of `url` after its last '/': the whole URL when it has none, an
// empty name when it ends with '/'.
std::u16string FileNameFromUrl(const std::u16string& url);

// The local file for `primaryUrl` in `folder` (which ends with a backslash):
// the two joined with nothing between them.
std::u16string LocalPathForUrl(const std::u16string& folder, const std::u16string& primaryUrl);

// The download folder below the temporary path (which ends with a backslash).
std::u16string DownloadFolderIn(const std::u16string& tempPath);

// True when `localPath` names the launcher: "ZVCallUpdater.exe" found first
// at a position greater than 0 (case-sensitive).
bool IsLaunchPath(const std::u16string& localPath);

// A folder's path as the platform gives it for an open handle (the DOS form,
// "\\?\C:\Users\x\Temp" or "\\?\UNC\server\share\dir"), in the form shown to
// the user and passed on: "C:\Users\x\Temp\", "\\server\share\dir\".
//
// The "\\?\" prefix (exactly so) is dropped before a drive, an ASCII letter
// and ':' that end the path or are followed by a backslash. "\\?\UNC\" ("UNC"
// in any case) becomes "\\" when a server name follows that is neither "."
// nor "?" (the short form would then name a device or another prefixed
// path). Every other prefixed path, such as "\\?\Volume{...}\x", has no
// shorter form and keeps its prefix; a path without the prefix is kept. The
// result ends with exactly one backslash in place of any trailing ones; an
// empty path stays empty.
std::u16string FolderPathFromFinalPath(const std::u16string& finalPath);

// Whether `volumePath` (the volume path of the download folder's parent, as
// the platform gives it) is a whole volume mounted at a drive letter:
// exactly an ASCII letter, ':' and a backslash. A volume mounted in a folder
// ("C:\Data\") is not: its mount point is an entry of a folder on another
// volume, and whoever may change that folder can mount something else there
// between the checks and the start. A share has no such volume path either.
bool IsDriveRootVolume(const std::u16string& volumePath);

// The name something gets when it is moved aside in its folder, out of the
// way of a new file or folder of its name: "<name>.old-<number>", the number
// in lowercase hexadecimal.
std::u16string MovedAsideName(const std::u16string& name, std::uint64_t number);

// True when `entry` is a name that MovedAsideName gives: a name of at least
// one unit, ".old-", then 1 to 16 lowercase hexadecimal digits and nothing
// else.
bool IsMovedAsideName(const std::u16string& entry);

}  // namespace zelvra
