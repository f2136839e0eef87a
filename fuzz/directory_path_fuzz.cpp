// Fuzz target: CreateDirectoryPath over a simulated folder tree.
//
// Input: bytes 0-3 are a bit mask of which paths exist beforehand (bit
// length % 32 of the path), bytes 4-7 a bit mask of which CreateDirectory
// calls fail (bit call number % 32); the rest is the folder path as UTF-16
// code units. The calls must be: IsDirectory on the path; if that is false,
// CreateDirectory on each prefix that ends at a backslash (never the one at
// index 0), shortest first, then on the whole path, then IsDirectory on the
// path, whose answer is the result. Paths are cut at 1024 units: the routine
// searches for every backslash, so longer ones only slow the run down.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/directory_path.h"
#include "fuzz_support.h"

namespace {

struct Call {
  bool create;  // CreateDirectory, else IsDirectory
  std::u16string path;
  bool answer;  // what IsDirectory returned
  bool operator==(const Call& other) const {
    return create == other.create && path == other.path && (create || answer == other.answer);
  }
};

class SimulatedFolders : public zelvra::FolderOperations {
 public:
  SimulatedFolders(std::uint32_t existing, std::uint32_t failing) : existing_(existing), failing_(failing) {}

  bool ExistedBefore(const std::u16string& path) const { return ((existing_ >> (path.size() % 32)) & 1) != 0; }

  bool IsDirectory(const std::u16string& path) override {
    const bool answer = ExistedBefore(path) || made_.count(path) != 0;
    calls.push_back({false, path, answer});
    return answer;
  }
  void CreateDirectory(const std::u16string& path) override {
    if (((failing_ >> (creates_++ % 32)) & 1) == 0) made_.insert(path);
    calls.push_back({true, path, false});
  }

  std::vector<Call> calls;

 private:
  std::uint32_t existing_, failing_;
  std::set<std::u16string> made_;
  std::size_t creates_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint32_t existing = 0, failing = 0;
  std::memcpy(&existing, data, 4);
  std::memcpy(&failing, data + 4, 4);
  const std::u16string path = zelvra::fuzz::Utf16Units(data + 8, std::min<std::size_t>(size - 8, 2048));

  SimulatedFolders folders(existing, failing);
  const bool result = zelvra::CreateDirectoryPath(path, folders);
  const std::vector<Call>& calls = folders.calls;

  FUZZ_CHECK(!calls.empty());
  FUZZ_CHECK(!calls.front().create && calls.front().path == path);
  if (calls.front().answer) {
    // An existing folder is left alone.
    FUZZ_CHECK(calls.size() == 1 && result);
    return 0;
  }

  // Generic shape: prefixes that end at a backslash past index 0, growing,
  // then the whole path, then the final check that gives the result.
  FUZZ_CHECK(calls.size() >= 3);
  std::size_t lastLength = 0;
  for (std::size_t i = 1; i + 2 < calls.size(); ++i) {
    const std::u16string& prefix = calls[i].path;
    FUZZ_CHECK(calls[i].create);
    FUZZ_CHECK(prefix.size() >= 2 && prefix.back() == u'\\');
    FUZZ_CHECK(path.compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(prefix.size() > lastLength);
    lastLength = prefix.size();
  }
  const Call& whole = calls[calls.size() - 2];
  FUZZ_CHECK(whole.create && whole.path == path);
  FUZZ_CHECK(!calls.back().create && calls.back().path == path);
  FUZZ_CHECK(result == calls.back().answer);

  // Exactly the backslashes are separators.
  std::vector<Call> expected{{false, path, false}};
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == u'\\') expected.push_back({true, path.substr(0, i + 1), false});
  }
  expected.push_back({true, path, false});
  expected.push_back({false, path, calls.back().answer});
  FUZZ_CHECK(calls == expected);
  return 0;
}
