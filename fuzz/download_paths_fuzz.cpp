// Fuzz target: the names and folders of the downloaded files.
//
// Input: the temporary path, a newline, then the URL. Without a newline the
// temporary path is empty. Checked under both lead-byte tests:
// FileNameFromUrl gives the end of the URL after its last '/' that starts a
// character; the local path is the folder and that name joined; IsLaunchPath
// agrees with the searches and recognises every launcher URL's local path.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/download_paths.h"
#include "fuzz_support.h"

namespace {

using zelvra::kLaunchFileName;
using zelvra::LeadByteTest;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool StartsWith(const std::string& text, const std::string& begin) {
  return text.compare(0, begin.size(), begin) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string tempPath =
      newline == std::string::npos ? std::string() : input.substr(0, newline);
  const std::string url = newline == std::string::npos ? input : input.substr(newline + 1);
  const std::string launchUrl = url + "/" + kLaunchFileName;

  const std::string folder = zelvra::DownloadFolderIn(tempPath);
  FUZZ_CHECK(folder == tempPath + "ZelvraManager\\");

  for (const auto& named : zelvra::fuzz::kLeadByteTests) {
    const LeadByteTest isLeadByte = named.test;

    // The name is the URL's end after its last '/' that starts a character.
    const std::string name = zelvra::FileNameFromUrl(url, isLeadByte);
    FUZZ_CHECK(EndsWith(url, name));
    const std::vector<bool> starts = zelvra::fuzz::CharacterStarts(url, isLeadByte);
    const std::size_t cut = url.size() - name.size();
    if (cut == 0) {
      FUZZ_CHECK(zelvra::MbcsReverseFind(url, '/', isLeadByte) == -1);
    } else {
      FUZZ_CHECK(url[cut - 1] == '/' && starts[cut - 1]);
    }
    for (std::size_t i = cut; i < url.size(); ++i) FUZZ_CHECK(!(starts[i] && url[i] == '/'));
    if (isLeadByte == &zelvra::NoLeadBytes) FUZZ_CHECK(name.find('/') == std::string::npos);

    // Folder and name joined with nothing between them.
    const std::string localPath = zelvra::LocalPathForUrl(folder, url, isLeadByte);
    FUZZ_CHECK(localPath == folder + name);

    // IsLaunchPath: the launcher's name found first at a position above 0.
    for (const std::string* path : {&url, &localPath, &tempPath}) {
      const bool isLaunch = zelvra::IsLaunchPath(*path, isLeadByte);
      FUZZ_CHECK(isLaunch == (zelvra::MbcsFind(*path, kLaunchFileName, 0, isLeadByte) > 0));
      if (isLeadByte == &zelvra::NoLeadBytes) {
        const std::size_t at = path->find(kLaunchFileName);
        FUZZ_CHECK(isLaunch == (at != std::string::npos && at > 0));
      }
    }

    // The launcher's URL always gives a launch path, unless the local path
    // begins with the launcher's name, where the first match is at 0.
    const std::string launchPath = zelvra::LocalPathForUrl(folder, launchUrl, isLeadByte);
    FUZZ_CHECK(EndsWith(launchPath, kLaunchFileName));
    FUZZ_CHECK(zelvra::IsLaunchPath(launchPath, isLeadByte) ==
               !StartsWith(launchPath, kLaunchFileName));
  }
  return 0;
}
