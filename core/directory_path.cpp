#include "core/directory_path.h"

namespace zelvra {

bool CreateDirectoryPath(const std::string& path, FolderOperations& folders,
                         LeadByteTest isLeadByte) {
  if (folders.IsDirectory(path)) return true;
  int position = 0;
  for (;;) {
    position = MbcsFind(path, "\\", position + 1, isLeadByte);
    if (position < 0) break;
    folders.CreateDirectory(path.substr(0, static_cast<size_t>(position) + 1));
  }
  folders.CreateDirectory(path);
  return folders.IsDirectory(path);
}

}  // namespace zelvra
