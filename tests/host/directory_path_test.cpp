// The calls CreateDirectoryPath makes, over a simulated folder tree.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/directory_path.h"

namespace zelvra {
namespace {

// A folder tree in memory that records every call. Creating a folder works
// when its parent exists (the root "C:\" always does) unless it is in `broken`.
class RecordingFolders : public FolderOperations {
 public:
  std::set<std::string> existing{"C:\\", "C:"};
  std::set<std::string> broken;
  std::vector<std::string> created;  // every CreateDirectory call, in order

  bool IsDirectory(const std::string& path) override { return existing.count(Trimmed(path)) != 0; }
  void CreateDirectory(const std::string& path) override {
    created.push_back(path);
    const std::string folder = Trimmed(path);
    if (broken.count(folder) != 0 || folder.empty()) return;
    const size_t slash = folder.rfind('\\');
    const std::string parent = slash == std::string::npos ? "" : folder.substr(0, slash);
    if (slash == std::string::npos || existing.count(parent) != 0 || existing.count(parent + "\\") != 0) {
      existing.insert(folder);
    }
  }

 private:
  static std::string Trimmed(const std::string& path) {
    if (path.size() > 3 && path.back() == '\\') return path.substr(0, path.size() - 1);
    return path;
  }
};

TEST(CreateDirectoryPath, ExistingFolderMakesNoCall) {
  RecordingFolders folders;
  folders.existing.insert("C:\\Temp");
  EXPECT_TRUE(CreateDirectoryPath("C:\\Temp\\", folders, &NoLeadBytes));
  EXPECT_TRUE(folders.created.empty());
}

TEST(CreateDirectoryPath, TrailingBackslashCreatesEachPrefixThenTheWholePathTwice) {
  RecordingFolders folders;
  EXPECT_TRUE(CreateDirectoryPath("C:\\Temp\\ZelvraManager\\", folders, &NoLeadBytes));
  const std::vector<std::string> expected = {"C:\\", "C:\\Temp\\", "C:\\Temp\\ZelvraManager\\",
                                             "C:\\Temp\\ZelvraManager\\"};
  EXPECT_EQ(expected, folders.created);
}

TEST(CreateDirectoryPath, PathWithoutBackslashMakesOneCall) {
  RecordingFolders folders;
  EXPECT_TRUE(CreateDirectoryPath("Downloads", folders, &NoLeadBytes));
  EXPECT_EQ(std::vector<std::string>{"Downloads"}, folders.created);
}

TEST(CreateDirectoryPath, LeadingDoubleBackslashIsTriedFirstAsAPrefix) {
  RecordingFolders folders;
  CreateDirectoryPath("\\\\server\\share\\dir", folders, &NoLeadBytes);
  const std::vector<std::string> expected = {"\\\\", "\\\\server\\", "\\\\server\\share\\",
                                             "\\\\server\\share\\dir"};
  EXPECT_EQ(expected, folders.created);
}

TEST(CreateDirectoryPath, FailureAtTheEndIsReportedEvenWhenParentsWereMade) {
  RecordingFolders folders;
  folders.broken.insert("C:\\Temp\\ZelvraManager");
  EXPECT_FALSE(CreateDirectoryPath("C:\\Temp\\ZelvraManager\\", folders, &NoLeadBytes));
  EXPECT_TRUE(folders.IsDirectory("C:\\Temp"));
}

TEST(CreateDirectoryPath, BackslashAsTrailByteIsNoSeparator) {
  RecordingFolders folders;
  // 0x81 0x5C is one double-byte character in code page 949.
  CreateDirectoryPath("C:\\a\x81\x5c" "b\\", folders, &IsLeadByte949);
  const std::vector<std::string> expected = {"C:\\", "C:\\a\x81\x5c" "b\\", "C:\\a\x81\x5c" "b\\"};
  EXPECT_EQ(expected, folders.created);
}

}  // namespace
}  // namespace zelvra
