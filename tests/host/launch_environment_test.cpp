// The environment block the elevated launcher receives.
#include "core/launch_environment.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zelvra::LauncherEnvironment;

// A block from entries written with '|' for each NUL.
std::u16string Block(const std::u16string& text) {
  std::u16string block = text;
  for (char16_t& c : block) {
    if (c == u'|') c = u'\0';
  }
  return block;
}

TEST(LauncherEnvironment, DropsTheVariablesThatLoadCodeAndKeepsEverythingElse) {
  struct Row {
    std::u16string given;
    std::u16string passed;
    const char* why;
  } rows[] = {
      {u"PATH=C:\\Windows|TEMP=C:\\T|||", u"PATH=C:\\Windows|TEMP=C:\\T||", "kept as they are, in order"},
      {u"=C:=C:\\x|=ExitCode=0|A=1||", u"=C:=C:\\x|=ExitCode=0|A=1||", "the hidden per-drive entries stay"},
      {u"COR_ENABLE_PROFILING=1|COR_PROFILER={x}|COR_PROFILER_PATH=p|COR_PROFILER_PATH_32=p|"
       u"COR_PROFILER_PATH_64=p|A=1||",
       u"A=1||", "the .NET Framework profiler"},
      {u"CORECLR_ENABLE_PROFILING=1|CORECLR_PROFILER={x}|CORECLR_PROFILER_PATH=p|CORECLR_PROFILER_PATH_32=p|"
       u"CORECLR_PROFILER_PATH_64=p|CORECLR_PROFILER_PATH_ARM64=p||",
       u"||", "the .NET Core profiler; nothing left"},
      {u"DOTNET_STARTUP_HOOKS=h.dll|DOTNET_ADDITIONAL_DEPS=d.json|__COMPAT_LAYER=RunAsInvoker|B=2||", u"B=2||",
       "start-up hooks, extra dependencies, compatibility layers"},
      {u"cor_profiler=x|Dotnet_Startup_Hooks=h|__compat_layer=WinXP||", u"||", "names in any case"},
      {u"COR_PROF\u0131LER=x|DOTNET_\u017fTARTUP_HOOKS=h||", u"||", "letters whose upper case is ASCII"},
      {u"COR_PROFILER=|COR_PROFILER||", u"||", "empty value, no '=' at all"},
      {u"COR_PROFILER_PATH_X=1|COR_PROFILE=1|XCOR_PROFILER=1|COR_PROFILER =1|=COR_PROFILER=1||",
       u"COR_PROFILER_PATH_X=1|COR_PROFILE=1|XCOR_PROFILER=1|COR_PROFILER =1|=COR_PROFILER=1||",
       "other names, however close"},
      {u"A=x=COR_PROFILER|B=__COMPAT_LAYER||", u"A=x=COR_PROFILER|B=__COMPAT_LAYER||", "a hidden name as a value"},
      {u"A=1|COR_PROFILER=x", u"A=1||", "no terminator: the block ends with the text"},
      {u"A=1||COR_PROFILER=x|B=2||", u"A=1||", "nothing after the end of the block"},
      {u"", u"||", "an empty block"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Block(row.passed), LauncherEnvironment(Block(row.given)))
        << row.why << ": " << ::testing::PrintToString(row.given);
  }
}

}  // namespace
