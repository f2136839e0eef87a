#include "core/launch_environment.h"

namespace zelvra {

namespace {

// The user's half. Whose installation it is: the profile and the roaming and
// local application data folders, the home folder, the user's and domain's
// names, the logon server and the session's name. Each names the user or a
// folder of the user's own, which the launcher needs in order to install
// for that user, and none names code that the system would load.
constexpr const char16_t* kLauncherUserVariables[] = {
    u"USERPROFILE", u"APPDATA",     u"LOCALAPPDATA",
    u"HOMEDRIVE",   u"HOMEPATH",    u"HOMESHARE",
    u"USERNAME",    u"USERDOMAIN",  u"USERDOMAIN_ROAMINGPROFILE",
    u"LOGONSERVER", u"SESSIONNAME", nullptr,
};

// The temporary folder, set last from the checked path.
constexpr const char16_t* kTempVariables[] = {u"TEMP", u"TMP"};

// A unit as the comparison of names sees it: ASCII letters in upper case,
// and the two letters beyond ASCII whose upper case is an ASCII one (dotless
// i, long s), so that no spelling the platform's comparison could take for
// another name is told apart from it.
char16_t NameFold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c == u'\u0131') return u'I';
  if (c == u'\u017f') return u'S';
  return c;
}

// The name of an entry: up to the first '=' after its first unit (a name may
// begin with '=', as the per-drive folders' "=C:=C:\x" do), else all of it.
std::u16string NameOf(const std::u16string& entry) {
  const size_t equals = entry.find(u'=', 1);
  return entry.substr(0, equals == std::u16string::npos ? entry.size() : equals);
}

bool SameName(const std::u16string& name, const char16_t* other) {
  size_t at = 0;
  while (at < name.size() && other[at] != u'\0' && NameFold(name[at]) == NameFold(other[at])) ++at;
  return at == name.size() && other[at] == u'\0';
}

bool IsUserVariable(const std::u16string& name) {
  for (const char16_t* const* user = kLauncherUserVariables; *user != nullptr; ++user) {
    if (SameName(name, *user)) return true;
  }
  return false;
}

bool IsTempVariable(const std::u16string& name) {
  for (const char16_t* temp : kTempVariables) {
    if (SameName(name, temp)) return true;
  }
  return false;
}

// The entries of a block, up to its first empty one.
std::vector<std::u16string> EntriesOf(const std::u16string& block) {
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

// The environment as it is built: entries in order, one per name.
class Builder {
 public:
  // Adds `entry` unless its name is there already.
  void Add(const std::u16string& entry) {
    if (Find(NameOf(entry)) == m_entries.size()) m_entries.push_back(entry);
  }
  // Replaces the entry of `name`, or adds one.
  void Set(const std::u16string& name, const std::u16string& value) {
    const size_t at = Find(name);
    const std::u16string entry = name + u'=' + value;
    if (at == m_entries.size()) {
      m_entries.push_back(entry);
    } else {
      m_entries[at] = entry;
    }
  }
  std::u16string Block() const {
    std::u16string block;
    for (const std::u16string& entry : m_entries) {
      block += entry;
      block += u'\0';
    }
    if (block.empty()) block += u'\0';
    block += u'\0';
    return block;
  }

 private:
  size_t Find(const std::u16string& name) const {
    for (size_t at = 0; at < m_entries.size(); ++at) {
      if (SameName(NameOf(m_entries[at]), name.c_str())) return at;
    }
    return m_entries.size();
  }

  std::vector<std::u16string> m_entries;
};

}  // namespace

std::u16string LauncherEnvironment(const LauncherEnvironmentSources& sources) {
  Builder launcher;
  // The machine's half: the system's own variables (PATH without the user's
  // entries, PATHEXT, the processor, ProgramFiles and, in a 32-bit process,
  // ProgramW6432 and CommonProgramW6432 for the 64-bit folders), then the
  // ones the installer sets itself. A user's variable, or a temporary folder
  // (the system's own), from the machine's block would name the wrong user.
  for (const std::u16string& entry : EntriesOf(sources.machine)) {
    const std::u16string name = NameOf(entry);
    if (name.empty() || name[0] == u'=' || IsUserVariable(name) || IsTempVariable(name)) continue;
    launcher.Add(entry);
  }
  for (const EnvironmentSetting& setting : sources.machineSettings) launcher.Set(setting.name, setting.value);
  for (const EnvironmentSetting& setting : sources.machineDefaults) launcher.Add(setting.name + u'=' + setting.value);
  // The user's half, from the installer's own environment.
  for (const std::u16string& entry : EntriesOf(sources.inherited)) {
    if (IsUserVariable(NameOf(entry))) launcher.Add(entry);
  }
  // The temporary folder that was checked: the launcher finds its own files
  // below it by the path the installer trusted.
  if (!sources.temp.empty()) {
    for (const char16_t* temp : kTempVariables) launcher.Set(temp, sources.temp);
  }
  return launcher.Block();
}

std::u16string LauncherCurrentFolder(const std::u16string& downloadFolder, const std::u16string& systemFolder) {
  if (!downloadFolder.empty() && downloadFolder.size() <= kMaxCurrentFolderChars) return downloadFolder;
  return systemFolder;
}

}  // namespace zelvra
