#include "core/directory_path.h"

namespace zelvra {

bool CreateDirectoryPath(const std::u16string& path, FolderOperations& folders) {
  if (folders.IsDirectory(path)) return true;
  for (size_t position = path.find(u'\\', 1); position != std::u16string::npos;
       position = path.find(u'\\', position + 1)) {
    folders.CreateDirectory(path.substr(0, position + 1));
  }
  folders.CreateDirectory(path);
  return folders.IsDirectory(path);
}

}  // namespace zelvra
