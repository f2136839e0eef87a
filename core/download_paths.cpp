#include "core/download_paths.h"

namespace zelvra {

std::string FileNameFromUrl(const std::string& url, LeadByteTest isLeadByte) {
  const int slash = MbcsReverseFind(url, '/', isLeadByte);
  return slash < 0 ? url : url.substr(static_cast<size_t>(slash) + 1);
}

std::string LocalPathForUrl(const std::string& folder, const std::string& primaryUrl,
                            LeadByteTest isLeadByte) {
  return folder + FileNameFromUrl(primaryUrl, isLeadByte);
}

std::string DownloadFolderIn(const std::string& tempPath) { return tempPath + kDownloadFolderName; }

bool IsLaunchPath(const std::string& localPath, LeadByteTest isLeadByte) {
  return MbcsFind(localPath, kLaunchFileName, 0, isLeadByte) > 0;
}

}  // namespace zelvra
