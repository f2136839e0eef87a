// Fuzz target: the environment block the elevated launcher receives.
//
// Input: UTF-16 code units; the first half is the system's block, the second
// the installer's own environment. Checked: the result is a block (it ends
// with an empty entry, and holds no other); no name appears twice, and none
// is a per-drive entry; every entry but TEMP and TMP is the system's entry or
// one of the installer's entries of a user's name, unchanged; TEMP and TMP
// are the checked folder; a variable the installer adds that is not a user's
// name never passes, whatever its case, while USERNAME added first always
// does.
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

std::u16string UpperName(const std::u16string& entry) {
  const size_t equals = entry.find(u'=', 1);
  std::u16string name = entry.substr(0, equals);
  for (char16_t& c : name) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return name;
}

bool Contains(const std::vector<std::u16string>& entries, const std::u16string& entry) {
  for (const std::u16string& e : entries) {
    if (e == entry) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string units = zelvra::fuzz::Utf16Units(data, size);
  zelvra::LauncherEnvironmentSources sources;
  sources.machine = units.substr(0, units.size() / 2);
  std::u16string marker = u"DOTNET_ROOT=C:\\x";
  for (size_t i = 0; i < 11 && i < size; ++i) {
    if ((data[i] & 1) && marker[i] >= u'A' && marker[i] <= u'Z') marker[i] = static_cast<char16_t>(marker[i] + 32);
  }
  sources.inherited = u"USERNAME=fuzz";
  sources.inherited += u'\0';
  sources.inherited += marker;
  sources.inherited += u'\0';
  sources.inherited += units.substr(units.size() / 2);
  sources.temp = u"C:\\Temp";
  const std::u16string launcher = zelvra::LauncherEnvironment(sources);

  FUZZ_CHECK(launcher.size() >= 2 && launcher[launcher.size() - 1] == u'\0' && launcher[launcher.size() - 2] == u'\0');
  FUZZ_CHECK(launcher.find(std::u16string(2, u'\0')) == launcher.size() - 2);
  const std::vector<std::u16string> machine = Entries(sources.machine);
  const std::vector<std::u16string> inherited = Entries(sources.inherited);
  std::vector<std::u16string> names;
  bool sawUser = false;
  for (const std::u16string& entry : Entries(launcher)) {
    const std::u16string name = UpperName(entry);
    FUZZ_CHECK(!name.empty() && name[0] != u'=');
    for (const std::u16string& seen : names) FUZZ_CHECK(seen != name);
    names.push_back(name);
    FUZZ_CHECK(name != u"DOTNET_ROOT");
    if (name == u"TEMP" || name == u"TMP") {
      FUZZ_CHECK(entry.substr(entry.find(u'=') + 1) == sources.temp);
    } else {
      FUZZ_CHECK(Contains(machine, entry) || Contains(inherited, entry));
    }
    if (entry == u"USERNAME=fuzz") sawUser = true;
  }
  FUZZ_CHECK(sawUser);
  return 0;
}
