// Fuzz target: the environment block the elevated launcher receives.
//
// Input: the installer's environment block as UTF-16 code units. Checked:
// the result is a block (it ends with an empty entry, and holds no other);
// its entries are entries of the input, in their order; filtering it again
// changes nothing; a profiler variable added to the input, spelt in a case
// the input's first bytes choose, never reaches the result, while an
// ordinary one added beside it always does.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/launch_environment.h"
#include "fuzz_support.h"

namespace {

// The entries of a block, up to its first empty one.
std::vector<std::u16string> Entries(const std::u16string& block) {
  std::vector<std::u16string> entries;
  for (size_t start = 0; start < block.size();) {
    size_t end = block.find(u'\0', start);
    if (end == std::u16string::npos) end = block.size();
    if (end == start) break;
    entries.push_back(block.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string given = zelvra::fuzz::Utf16Units(data, size);
  const std::u16string passed = zelvra::LauncherEnvironment(given);

  FUZZ_CHECK(passed.size() >= 2 && passed[passed.size() - 1] == u'\0' && passed[passed.size() - 2] == u'\0');
  FUZZ_CHECK(passed.find(std::u16string(2, u'\0')) == passed.size() - 2);
  const std::vector<std::u16string> in = Entries(given);
  const std::vector<std::u16string> out = Entries(passed);
  size_t at = 0;
  for (const std::u16string& entry : out) {
    while (at < in.size() && in[at] != entry) ++at;
    FUZZ_CHECK(at < in.size());
    ++at;
  }
  FUZZ_CHECK(zelvra::LauncherEnvironment(passed) == passed);

  std::u16string hidden = u"COR_PROFILER_PATH=C:\\x.dll";
  for (size_t i = 0; i < 17 && i < size; ++i) {
    if ((data[i] & 1) && hidden[i] >= u'A' && hidden[i] <= u'Z') hidden[i] = static_cast<char16_t>(hidden[i] + 32);
  }
  const std::u16string kept = u"ZELVRA_KEPT=1";
  std::u16string extended;
  extended += kept;
  extended += u'\0';
  extended += hidden;
  extended += u'\0';
  for (const std::u16string& entry : in) {
    extended += entry;
    extended += u'\0';
  }
  const std::vector<std::u16string> extendedOut = Entries(zelvra::LauncherEnvironment(extended));
  FUZZ_CHECK(!extendedOut.empty() && extendedOut[0] == kept);
  FUZZ_CHECK(extendedOut.size() == out.size() + 1);
  return 0;
}
