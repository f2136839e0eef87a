// Creating a folder together with every missing parent folder.
#pragma once

#include <string>

namespace zelvra {

// The two folder operations the algorithm needs, so that the real one runs
// over the file system and tests can watch every call.
class FolderOperations {
 public:
  virtual ~FolderOperations() = default;
  virtual bool IsDirectory(const std::u16string& path) = 0;
  // The result is deliberately not reported: a failure for an existing parent
  // is normal, and the final IsDirectory decides.
  virtual void CreateDirectory(const std::u16string& path) = 0;
};

// An existing folder is left alone. Otherwise each prefix of `path` up to and
// including a backslash is created in turn (a backslash at index 0 is never a
// separator; so "\\server\x" first tries "\\"), then the whole path, and the
// result is whether the folder exists now. For a path ending in a backslash
// the whole path is thus tried twice, which is harmless.
bool CreateDirectoryPath(const std::u16string& path, FolderOperations& folders);

}  // namespace zelvra
