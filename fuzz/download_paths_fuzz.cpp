// Fuzz target: the names and folders of the downloaded files.
//
// Input: UTF-16 code units: the temporary path, a newline, then the URL.
// Without a newline the temporary path is empty. Checked: FileNameFromUrl
// gives the end of the URL after its last '/'; the local path is the folder
// and that name joined; IsLaunchPath agrees with a plain search and
// recognises every launcher URL's local path; FolderPathFromFinalPath (of
// both parts) drops the "\\?\" prefix before a drive, ends with exactly one
// backslash, invents no prefix, keeps the path's end, and is stable.
// IsMovedAsideName accepts every name MovedAsideName makes of a non-empty
// name, and of any other text only what such a name could be.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/download_paths.h"
#include "fuzz_support.h"

namespace {

using zelvra::kLaunchFileName;

bool EndsWith(const std::u16string& text, const std::u16string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool StartsWith(const std::u16string& text, const std::u16string& begin) {
  return text.compare(0, begin.size(), begin) == 0;
}

std::u16string WithoutTrailingBackslashes(std::u16string text) {
  while (!text.empty() && text.back() == u'\\') text.pop_back();
  return text;
}

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

void CheckFolderPathFromFinalPath(const std::u16string& finalPath) {
  const std::u16string prefix = u"\\\\?\\";
  const std::u16string folder = zelvra::FolderPathFromFinalPath(finalPath);
  FUZZ_CHECK(folder.empty() == finalPath.empty());
  if (folder.empty()) return;

  // Exactly one backslash at the end.
  FUZZ_CHECK(folder.back() == u'\\' && (folder.size() < 2 || folder[folder.size() - 2] != u'\\'));
  // A drive after the prefix loses it: the rest, with one trailing backslash.
  const std::u16string rest = StartsWith(finalPath, prefix) ? finalPath.substr(prefix.size()) : u"";
  if (rest.size() >= 2 && IsAsciiLetter(rest[0]) && rest[1] == u':' && (rest.size() == 2 || rest[2] == u'\\')) {
    FUZZ_CHECK(folder == WithoutTrailingBackslashes(rest) + u'\\');
  }
  // No prefix and no device path that the input did not have (but for the
  // one backslash added to a bare "\\?" or "\\.").
  const std::u16string closed = finalPath + u'\\';
  if (StartsWith(folder, prefix)) FUZZ_CHECK(StartsWith(closed, prefix));
  if (StartsWith(folder, u"\\\\.\\")) FUZZ_CHECK(StartsWith(closed, u"\\\\.\\"));
  // Only the prefix goes: the path's end stays.
  const std::u16string kept = WithoutTrailingBackslashes(folder);
  if (!kept.empty()) FUZZ_CHECK(EndsWith(WithoutTrailingBackslashes(finalPath), kept.substr(1)));
  FUZZ_CHECK(folder.size() <= finalPath.size() + 1);
  // The short form is final.
  FUZZ_CHECK(zelvra::FolderPathFromFinalPath(folder) == folder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string input = zelvra::fuzz::Utf16Units(data, size);
  const std::size_t newline = input.find(u'\n');
  const std::u16string tempPath = newline == std::u16string::npos ? std::u16string() : input.substr(0, newline);
  const std::u16string url = newline == std::u16string::npos ? input : input.substr(newline + 1);
  const std::u16string launchUrl = url + u"/" + kLaunchFileName;

  const std::u16string folder = zelvra::DownloadFolderIn(tempPath);
  FUZZ_CHECK(folder == tempPath + u"ZelvraManager\\");

  // The name is the URL's end after its last '/'.
  const std::u16string name = zelvra::FileNameFromUrl(url);
  FUZZ_CHECK(EndsWith(url, name));
  FUZZ_CHECK(name.find(u'/') == std::u16string::npos);
  const std::size_t cut = url.size() - name.size();
  FUZZ_CHECK(cut == 0 ? url.find(u'/') == std::u16string::npos : url[cut - 1] == u'/');

  // Folder and name joined with nothing between them.
  const std::u16string localPath = zelvra::LocalPathForUrl(folder, url);
  FUZZ_CHECK(localPath == folder + name);

  // IsLaunchPath: the launcher's name found first at a position above 0.
  for (const std::u16string* path : {&url, &localPath, &tempPath}) {
    const std::size_t at = path->find(kLaunchFileName);
    FUZZ_CHECK(zelvra::IsLaunchPath(*path) == (at != std::u16string::npos && at > 0));
  }

  // The launcher's URL always gives a launch path, unless the local path
  // begins with the launcher's name, where the first match is at 0.
  const std::u16string launchPath = zelvra::LocalPathForUrl(folder, launchUrl);
  FUZZ_CHECK(EndsWith(launchPath, kLaunchFileName));
  FUZZ_CHECK(zelvra::IsLaunchPath(launchPath) == !StartsWith(launchPath, kLaunchFileName));

  // Names moved aside: made from any name but the empty one, and recognised
  // only as this program makes them.
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < size && i < 8; ++i) number = number << 8 | data[i];
  FUZZ_CHECK(zelvra::IsMovedAsideName(zelvra::MovedAsideName(name, number)) == !name.empty());
  if (zelvra::IsMovedAsideName(url)) {
    const std::size_t mark = url.rfind(u".old-");
    FUZZ_CHECK(mark != std::u16string::npos && mark > 0);
    FUZZ_CHECK(url.find_first_not_of(u"0123456789abcdef", mark + 5) == std::u16string::npos);
  }

  CheckFolderPathFromFinalPath(tempPath);
  CheckFolderPathFromFinalPath(url);
  return 0;
}
