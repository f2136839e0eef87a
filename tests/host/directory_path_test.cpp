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
  std::set<std::u16string> existing{u"C:\\", u"C:"};
  std::set<std::u16string> broken;
  std::vector<std::u16string> created;  // every CreateDirectory call, in order

  bool IsDirectory(const std::u16string& path) override { return existing.count(Trimmed(path)) != 0; }
  void CreateDirectory(const std::u16string& path) override {
    created.push_back(path);
    const std::u16string folder = Trimmed(path);
    if (broken.count(folder) != 0 || folder.empty()) return;
    const size_t slash = folder.rfind(u'\\');
    const std::u16string parent = slash == std::u16string::npos ? u"" : folder.substr(0, slash);
    if (slash == std::u16string::npos || existing.count(parent) != 0 || existing.count(parent + u'\\') != 0) {
      existing.insert(folder);
    }
  }

 private:
  static std::u16string Trimmed(const std::u16string& path) {
    if (path.size() > 3 && path.back() == u'\\') return path.substr(0, path.size() - 1);
    return path;
  }
};

TEST(CreateDirectoryPath, ExistingFolderMakesNoCall) {
  RecordingFolders folders;
  folders.existing.insert(u"C:\\Temp");
  EXPECT_TRUE(CreateDirectoryPath(u"C:\\Temp\\", folders));
  EXPECT_TRUE(folders.created.empty());
}

TEST(CreateDirectoryPath, TrailingBackslashCreatesEachPrefixThenTheWholePathTwice) {
  RecordingFolders folders;
  EXPECT_TRUE(CreateDirectoryPath(u"C:\\Temp\\ZelvraManager\\", folders));
  const std::vector<std::u16string> expected = {u"C:\\", u"C:\\Temp\\", u"C:\\Temp\\ZelvraManager\\",
                                                u"C:\\Temp\\ZelvraManager\\"};
  EXPECT_EQ(expected, folders.created);
}

TEST(CreateDirectoryPath, PathWithoutBackslashMakesOneCall) {
  RecordingFolders folders;
  EXPECT_TRUE(CreateDirectoryPath(u"Downloads", folders));
  EXPECT_EQ(std::vector<std::u16string>{u"Downloads"}, folders.created);
}

TEST(CreateDirectoryPath, LeadingDoubleBackslashIsTriedFirstAsAPrefix) {
  RecordingFolders folders;
  CreateDirectoryPath(u"\\\\server\\share\\dir", folders);
  const std::vector<std::u16string> expected = {u"\\\\", u"\\\\server\\", u"\\\\server\\share\\",
                                                u"\\\\server\\share\\dir"};
  EXPECT_EQ(expected, folders.created);
}

TEST(CreateDirectoryPath, FailureAtTheEndIsReportedEvenWhenParentsWereMade) {
  RecordingFolders folders;
  folders.broken.insert(u"C:\\Temp\\ZelvraManager");
  EXPECT_FALSE(CreateDirectoryPath(u"C:\\Temp\\ZelvraManager\\", folders));
  EXPECT_TRUE(folders.IsDirectory(u"C:\\Temp"));
}

TEST(CreateDirectoryPath, EveryBackslashNextToKoreanOrAnEmojiIsASeparator) {
  RecordingFolders folders;
  EXPECT_TRUE(CreateDirectoryPath(u"C:\\\uae40\\\U0001F600\\", folders));
  const std::vector<std::u16string> expected = {u"C:\\", u"C:\\\uae40\\", u"C:\\\uae40\\\U0001F600\\",
                                                u"C:\\\uae40\\\U0001F600\\"};
  EXPECT_EQ(expected, folders.created);
}

}  // namespace
}  // namespace zelvra
