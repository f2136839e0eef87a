#include "core/download_paths.h"

#include "core/number_text.h"

namespace zelvra {

namespace {

constexpr char16_t kLongPathPrefix[] = u"\\\\?\\";
constexpr char16_t kMovedAsideMark[] = u".old-";
constexpr size_t kMovedAsideMarkLength = 5;
constexpr size_t kMaxHexDigits = 16;  // a 64-bit number
constexpr size_t kLongPathPrefixLength = 4;

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// Whether `rest` (what follows "\\?\") starts with a drive: "X:" alone or
// followed by a backslash.
bool StartsWithDrive(const std::u16string& rest) {
  return rest.size() >= 2 && IsAsciiLetter(rest[0]) && rest[1] == u':' && (rest.size() == 2 || rest[2] == u'\\');
}

// Whether `rest` starts with "UNC\" (in any case) and a server name that the
// short "\\server" form reads as a server.
bool StartsWithUncServer(const std::u16string& rest) {
  if (rest.size() < 5 || AsciiUpper(rest[0]) != u'U' || AsciiUpper(rest[1]) != u'N' || AsciiUpper(rest[2]) != u'C' ||
      rest[3] != u'\\') {
    return false;
  }
  const std::u16string server = rest.substr(4, rest.find(u'\\', 4) - 4);
  return !server.empty() && server != u"." && server != u"?";
}

}  // namespace

std::u16string FileNameFromUrl(const std::u16string& url) {
  const size_t slash = url.rfind(u'/');
  return slash == std::u16string::npos ? url : url.substr(slash + 1);
}

std::u16string LocalPathForUrl(const std::u16string& folder, const std::u16string& primaryUrl) {
  return folder + FileNameFromUrl(primaryUrl);
}

std::u16string DownloadFolderIn(const std::u16string& tempPath) { return tempPath + kDownloadFolderName; }

bool IsLaunchPath(const std::u16string& localPath) {
  const size_t at = localPath.find(kLaunchFileName);
  return at != std::u16string::npos && at > 0;
}

std::u16string FolderPathFromFinalPath(const std::u16string& finalPath) {
  if (finalPath.empty()) return finalPath;
  std::u16string path = finalPath;
  size_t keep = 0;  // units at the front that trailing backslashes never eat
  if (path.compare(0, kLongPathPrefixLength, kLongPathPrefix) == 0) {
    const std::u16string rest = path.substr(kLongPathPrefixLength);
    if (StartsWithDrive(rest)) {
      path = rest;
    } else if (StartsWithUncServer(rest)) {
      path = u"\\\\" + rest.substr(4);
    } else {
      keep = kLongPathPrefixLength;
    }
  }
  size_t end = path.size();
  while (end > keep && path[end - 1] == u'\\') --end;
  path.resize(end);
  if (end == keep && keep != 0) return path;  // the bare prefix already ends with one
  return path + u'\\';
}

bool IsDriveRootVolume(const std::u16string& volumePath) {
  if (volumePath.size() != 3 || volumePath[1] != u':' || volumePath[2] != u'\\') return false;
  const char16_t letter = volumePath[0];
  return (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z');
}

std::u16string MovedAsideName(const std::u16string& name, std::uint64_t number) {
  return name + kMovedAsideMark + HexText(number);
}

bool IsMovedAsideName(const std::u16string& entry) {
  const size_t mark = entry.rfind(kMovedAsideMark);
  if (mark == std::u16string::npos || mark == 0) return false;
  const size_t digits = entry.size() - mark - kMovedAsideMarkLength;
  if (digits == 0 || digits > kMaxHexDigits) return false;
  for (size_t i = mark + kMovedAsideMarkLength; i < entry.size(); ++i) {
    const char16_t c = entry[i];
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) return false;
  }
  return true;
}

}  // namespace zelvra
