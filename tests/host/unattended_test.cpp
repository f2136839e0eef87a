// The unattended run: its mode from the command line, and its log's lines.
#include <gtest/gtest.h>

#include <string>

#include "core/log_line.h"
#include "core/run_mode.h"

namespace zelvra {
namespace {

TEST(RunMode, SilentWinsThenPassiveAnywhereCaseSensitively) {
  struct Case {
    std::u16string commandLine;
    RunMode mode;
  } cases[] = {
      {u"", RunMode::kDefault},
      {u"@silent", RunMode::kSilent},
      {u"\"C:\\x\\ZelvraInstaller.exe\" @passive", RunMode::kPassive},
      {u"@passive @silent", RunMode::kSilent},
      {u"@silent @passive", RunMode::kSilent},
      {u"x@silenty", RunMode::kSilent},
      {u"@SILENT @Passive", RunMode::kDefault},
      {u"@silen @passiv silent passive", RunMode::kDefault},
      {u"@test @passive", RunMode::kPassive},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.mode, RunModeOfCommandLine(c.commandLine)) << ::testing::PrintToString(c.commandLine);
  EXPECT_EQ(std::u16string(u"silent"), RunModeName(RunMode::kSilent));
  EXPECT_EQ(std::u16string(u"passive"), RunModeName(RunMode::kPassive));
  EXPECT_EQ(std::u16string(u"default"), RunModeName(RunMode::kDefault));
}

TEST(LogLine, UtcTimeThenTheTextOnOneLineInUtf8) {
  const LogTime time{2026, 12, 9, 7, 5, 3, 42};
  struct Case {
    std::u16string text;
    std::string line;
  } cases[] = {
      {u"start", "2026-12-09T07:05:03.042Z start\r\n"},
      {u"Error : Fail to download.\nTry to run again.",
       "2026-12-09T07:05:03.042Z Error : Fail to download. Try to run again.\r\n"},
      {u"a\r\n\r\nb\tc", "2026-12-09T07:05:03.042Z a b c\r\n"},
      {u"\ub2e4\uc6b4 \u00e9", "2026-12-09T07:05:03.042Z \xeb\x8b\xa4\xec\x9a\xb4 \xc3\xa9\r\n"},
      {u"\U0001F600", "2026-12-09T07:05:03.042Z \xf0\x9f\x98\x80\r\n"},
      {std::u16string(1, u'\xd800') + u"x" + std::u16string(1, u'\xdc00'),
       "2026-12-09T07:05:03.042Z \xef\xbf\xbdx\xef\xbf\xbd\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, LogLine(time, c.text));
}

}  // namespace
}  // namespace zelvra
