// The environment block and the current folder of the elevated launcher.
#include "core/launch_environment.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zelvra::LauncherEnvironment;
using zelvra::LauncherEnvironmentSources;

// A block from entries written with '|' for each NUL.
std::u16string Block(const std::u16string& text) {
  std::u16string block = text;
  for (char16_t& c : block) {
    if (c == u'|') c = u'\0';
  }
  return block;
}

LauncherEnvironmentSources Sources(const std::u16string& machine, const std::u16string& inherited) {
  LauncherEnvironmentSources sources;
  sources.machine = Block(machine);
  sources.inherited = Block(inherited);
  return sources;
}

TEST(LauncherEnvironment, TakesTheMachinesVariablesTheUsersNamesAndTheCheckedTemp) {
  struct Row {
    std::u16string machine, inherited, launcher;
    const char* why;
  } rows[] = {
      {u"Path=C:\\W\\system32|OS=Windows_NT||", u"", u"Path=C:\\W\\system32|OS=Windows_NT||",
       "the machine's variables, in order"},
      {u"Path=C:\\W||",
       u"Path=C:\\Users\\x\\bin;C:\\W|DOTNET_ROOT=C:\\x|JAVA_TOOL_OPTIONS=-x|NODE_OPTIONS=-r x|"
       u"COR_PROFILER={x}|__COMPAT_LAYER=RunAsInvoker|PYTHONPATH=x|OPENSSL_CONF=x|HTTP_PROXY=x|MARKER=1||",
       u"Path=C:\\W||", "nothing of the user's but the names: PATH stays the machine's"},
      {u"A=1||",
       u"USERPROFILE=C:\\Users\\x|APPDATA=a|LOCALAPPDATA=l|HOMEDRIVE=C:|HOMEPATH=\\Users\\x|HOMESHARE=h|"
       u"USERNAME=x|USERDOMAIN=d|USERDOMAIN_ROAMINGPROFILE=r|LOGONSERVER=\\\\s|SESSIONNAME=Console||",
       u"A=1|USERPROFILE=C:\\Users\\x|APPDATA=a|LOCALAPPDATA=l|HOMEDRIVE=C:|HOMEPATH=\\Users\\x|HOMESHARE=h|"
       u"USERNAME=x|USERDOMAIN=d|USERDOMAIN_ROAMINGPROFILE=r|LOGONSERVER=\\\\s|SESSIONNAME=Console||",
       "the user's names from the installer, in its order"},
      {u"USERPROFILE=C:\\Users\\Default|USERNAME=SYSTEM|B=2||", u"userprofile=C:\\Users\\x||",
       u"B=2|userprofile=C:\\Users\\x||", "the machine's block names no user: its values go, the installer's come"},
      {u"=C:=C:\\x|=ExitCode=0|A=1||", u"=D:=D:\\y|USERNAME=x||", u"A=1|USERNAME=x||", "no per-drive entries"},
      {u"A=1|a=2|USERNAME=m||", u"USERNAME=x|username=y||", u"A=1|USERNAME=x||", "each name once, the first wins"},
      {u"A=1", u"USERNAME=x", u"A=1|USERNAME=x||", "blocks without their terminator"},
      {u"A=1||B=2||", u"USERNAME=x||TEMP=C:\\u||", u"A=1|USERNAME=x||", "nothing after a block's end"},
      {u"", u"", u"||", "nothing at all"},
      {u"USERPROF\u0131LE=x|TEMP=C:\\Windows\\Temp|tmp=y||", u"", u"||",
       "user and temporary names in any spelling the platform takes for them"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Block(row.launcher), LauncherEnvironment(Sources(row.machine, row.inherited))) << row.why;
  }
}

TEST(LauncherEnvironment, SettingsReplaceDefaultsFillAndTempComesLast) {
  LauncherEnvironmentSources sources =
      Sources(u"SystemRoot=C:\\Evil|windir=C:\\Evil|ProgramW6432=C:\\Program Files|A=1||", u"windir=C:\\U|");
  sources.machineSettings = {
      {u"SYSTEMROOT", u"C:\\Windows"}, {u"windir", u"C:\\Windows"}, {u"ComSpec", u"C:\\Windows\\System32\\cmd.exe"}};
  sources.machineDefaults = {{u"ProgramW6432", u"D:\\Other"}, {u"CommonProgramW6432", u"C:\\Program Files\\Common"}};
  sources.temp = u"C:\\Users\\x\\Temp";
  EXPECT_EQ(Block(u"SYSTEMROOT=C:\\Windows|windir=C:\\Windows|ProgramW6432=C:\\Program Files|A=1|"
                  u"ComSpec=C:\\Windows\\System32\\cmd.exe|CommonProgramW6432=C:\\Program Files\\Common|"
                  u"TEMP=C:\\Users\\x\\Temp|TMP=C:\\Users\\x\\Temp||"),
            LauncherEnvironment(sources));

  // Without the system's block: the settings and the names alone.
  sources.machine.clear();
  sources.inherited = Block(u"USERNAME=x|Path=C:\\mine||");
  sources.machineDefaults.clear();
  EXPECT_EQ(Block(u"SYSTEMROOT=C:\\Windows|windir=C:\\Windows|ComSpec=C:\\Windows\\System32\\cmd.exe|USERNAME=x|"
                  u"TEMP=C:\\Users\\x\\Temp|TMP=C:\\Users\\x\\Temp||"),
            LauncherEnvironment(sources));
}

TEST(LauncherCurrentFolder, IsTheDownloadFolderWhereThePlatformTakesIt) {
  const std::u16string system = u"C:\\Windows\\system32";
  const std::u16string fits = u"C:\\" + std::u16string(zelvra::kMaxCurrentFolderChars - 4, u'x') + u"\\";
  ASSERT_EQ(zelvra::kMaxCurrentFolderChars, fits.size());
  EXPECT_EQ(u"C:\\T\\ZelvraManager\\", zelvra::LauncherCurrentFolder(u"C:\\T\\ZelvraManager\\", system));
  EXPECT_EQ(fits, zelvra::LauncherCurrentFolder(fits, system));
  EXPECT_EQ(system, zelvra::LauncherCurrentFolder(u"C:\\x" + fits.substr(2), system)) << "one unit too long";
  EXPECT_EQ(system, zelvra::LauncherCurrentFolder(u"", system));
}

}  // namespace
