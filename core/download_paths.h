// Names and folders of the downloaded files.
#pragma once

#include <string>

#include "core/mbcs.h"

namespace zelvra {

inline constexpr char kDownloadFolderName[] = "ZelvraManager\\";
inline constexpr char kLaunchFileName[] = "ZVCallUpdater.exe";

// The part of `url` after its last '/': the whole URL when it has none, an
// empty name when it ends with '/'.
std::string FileNameFromUrl(const std::string& url, LeadByteTest isLeadByte);

// The local file for `primaryUrl` in `folder` (which ends with a backslash):
// the two joined with nothing between them.
std::string LocalPathForUrl(const std::string& folder, const std::string& primaryUrl,
                            LeadByteTest isLeadByte);

// The download folder below the temporary path (which ends with a backslash).
std::string DownloadFolderIn(const std::string& tempPath);

// True when `localPath` names the launcher: "ZVCallUpdater.exe" found at a
// position greater than 0 (case-sensitive, double-byte aware).
bool IsLaunchPath(const std::string& localPath, LeadByteTest isLeadByte);

}  // namespace zelvra
