// Message-box styles, the updater's parameter string, URL and path handling,
// progress arithmetic, header values and dialog placement.
#include <gtest/gtest.h>

#include <string>

#include "core/download_paths.h"
#include "core/http_values.h"
#include "core/message_box_style.h"
#include "core/placement.h"
#include "core/progress.h"
#include "core/updater_parameters.h"

namespace zelvra {
namespace {

TEST(AppMessageBoxStyle, CompletesTheRequestedStyle) {
  struct Case {
    unsigned requested, shown;
  };
  const Case cases[] = {
      {0x0, 0x30},     // OK: exclamation added
      {0x4, 0x124},    // exactly Yes/No: question icon, No is the default
      {0x40, 0x40},    // exactly information: unchanged
      {0x24, 0x34},    // Yes/No with an icon is not "exactly Yes/No"
      {0x104, 0x134},  // nor is Yes/No with a default button
      {0x41, 0x71},    // information with another button set gets the exclamation too
      {0x10, 0x30},    // an icon already named still gets 0x30 OR-ed in
      {0x1, 0x31},
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, AppMessageBoxStyle(c.requested)) << std::hex << c.requested;
}

TEST(FrameworkMessageBoxStyle, AddsTheExclamationOnlyToIconlessCommonButtonSets) {
  struct Case {
    unsigned requested, shown;
  };
  const Case cases[] = {
      {0x0, 0x30}, {0x1, 0x31}, {0x3, 0x33}, {0x4, 0x34},  // OK, OK/Cancel, Yes/No/Cancel, Yes/No
      {0x2, 0x2},   {0x5, 0x5},                             // Abort/Retry/Ignore, Retry/Cancel: unchanged
      {0x10, 0x10}, {0x44, 0x44},                           // an icon is kept
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, FrameworkMessageBoxStyle(c.requested)) << std::hex << c.requested;
}

TEST(BuildUpdaterParameters, MatchesTheLauncherContract) {
  EXPECT_EQ("\"@cmd=\" \"@execute=Zelvra.exe\" \"@install\"", BuildUpdaterParameters("", kUpdaterProgram, false));
  EXPECT_EQ("\"@cmd=@test\" \"@execute=Zelvra.exe\" \"@install\" \"@5204917738162\"",
            BuildUpdaterParameters("@test", kUpdaterProgram, true));
  // The command line goes in verbatim: inner quotes, double blanks, trailing blank.
  EXPECT_EQ("\"@cmd=\"C:\\a b\"  x@testy \" \"@execute=Zelvra.exe\" \"@install\" \"@5204917738162\"",
            BuildUpdaterParameters("\"C:\\a b\"  x@testy ", kUpdaterProgram, true));
}

TEST(DownloadPaths, FileNameComesFromTheLastSlashOfThePrimaryUrl) {
  EXPECT_EQ("ZVUpdater.exe", FileNameFromUrl("http://h:1/Zelvra/ZVUpdater.exe", &NoLeadBytes));
  EXPECT_EQ("no-slash", FileNameFromUrl("no-slash", &NoLeadBytes));
  EXPECT_EQ("", FileNameFromUrl("http://h/Zelvra/", &NoLeadBytes));
  EXPECT_EQ("C:\\T\\ZelvraManager\\ZVUpdaterRes.dll",
            LocalPathForUrl("C:\\T\\ZelvraManager\\", "http://h/Zelvra-TTS-WUX/ZVUpdaterRes.dll", &NoLeadBytes));
  EXPECT_EQ("C:\\T\\", LocalPathForUrl("C:\\T\\", "http://h/x/", &NoLeadBytes));
  EXPECT_EQ("C:\\T\\ZelvraManager\\", DownloadFolderIn("C:\\T\\"));
}

TEST(DownloadPaths, LaunchPathIsRecognisedAfterTheFirstCharacterOnly) {
  EXPECT_TRUE(IsLaunchPath("C:\\T\\ZelvraManager\\ZVCallUpdater.exe", &NoLeadBytes));
  EXPECT_FALSE(IsLaunchPath("C:\\T\\ZelvraManager\\ZVUpdater.exe", &NoLeadBytes));
  EXPECT_FALSE(IsLaunchPath("C:\\T\\ZelvraManager\\ZVUpdaterRes.dll", &NoLeadBytes));
  EXPECT_FALSE(IsLaunchPath("ZVCallUpdater.exe", &NoLeadBytes));  // at position 0
  EXPECT_FALSE(IsLaunchPath("C:\\zvcallupdater.exe", &NoLeadBytes));
}

TEST(ProgressPosition, IsTruncatedPercentOfTheLength) {
  struct Case {
    std::uint32_t received, length;
    int position;
  };
  const Case cases[] = {
      {300, 400, 75}, {1, 3, 33}, {2, 3, 66}, {400, 400, 100}, {0, 400, 0},
      {500, 400, 100},                     // more than announced: the bar stays full
      {0xFFFFFFFFu, 0xFFFFFFFFu, 100},     // no overflow at the top of the range
      {0x7FFFFFFFu, 0xFFFFFFFFu, 49},
  };
  for (const Case& c : cases) EXPECT_EQ(c.position, ProgressPosition(c.received, c.length)) << c.received << "/" << c.length;
}

TEST(ProgressPosition, WithoutALengthMovesWithTheDataAndNeverDivides) {
  EXPECT_EQ(0, ProgressPosition(0, 0));
  EXPECT_EQ(1, ProgressPosition(1, 0));
  EXPECT_EQ(2, ProgressPosition(4096, 0));
  EXPECT_EQ(100, ProgressPosition(99 * 4096, 0));
  EXPECT_EQ(1, ProgressPosition(100 * 4096, 0));  // wraps around within the range
  for (std::uint32_t received : {1u, 4095u, 123456u, 0xFFFFFFFFu}) {
    const int position = ProgressPosition(received, 0);
    EXPECT_GE(position, kProgressMin);
    EXPECT_LE(position, kProgressMax);
  }
}

TEST(ParseContentLength, ReadsLikeAtolWithDefinedLimits) {
  struct Case {
    const char* text;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"1234", 1234}, {"  42", 42}, {"\t7", 7}, {"+5", 5}, {"12abc", 12}, {"0", 0},
      {"", 0}, {"abc", 0}, {"-5", 0}, {"-0", 0},
      {"4294967295", 4294967295u},                 // the largest 32-bit length
      {"4294967296", 0},                           // does not fit: unknown
      {"99999999999999999999999999999", 0},        // far too large: unknown, no overflow
      {"2147483648", 2147483648u},                 // above a signed long, still a valid length
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, ParseContentLength(c.text)) << '"' << c.text << '"';
  EXPECT_EQ(0u, ParseContentLength(nullptr));
}

TEST(ParseStatusCode, ReadsTheDecimalCode) {
  EXPECT_EQ(200, ParseStatusCode("200"));
  EXPECT_EQ(404, ParseStatusCode(" 404"));
  EXPECT_EQ(-1, ParseStatusCode(""));
  EXPECT_EQ(-1, ParseStatusCode("OK"));
  EXPECT_EQ(-1, ParseStatusCode("99999999999"));
  EXPECT_EQ(-1, ParseStatusCode(nullptr));
}

TEST(CenteredPlacement, CentresThenKeepsTheWindowInsideTheWorkArea) {
  const Rect work{0, 0, 1000, 700};
  // Centred in the work area.
  Rect placed = CenteredPlacement(Rect{0, 0, 200, 100}, work, work);
  EXPECT_EQ(400, placed.left);
  EXPECT_EQ(300, placed.top);
  EXPECT_EQ(200, placed.Width());
  // Over an owner near the bottom-right corner: pushed back inside.
  placed = CenteredPlacement(Rect{0, 0, 200, 100}, Rect{900, 650, 1000, 700}, work);
  EXPECT_EQ(800, placed.left);
  EXPECT_EQ(600, placed.top);
  // Over an owner partly off the top-left: the corner stays inside.
  placed = CenteredPlacement(Rect{0, 0, 200, 100}, Rect{-300, -200, -100, -100}, work);
  EXPECT_EQ(0, placed.left);
  EXPECT_EQ(0, placed.top);
  // Larger than the work area: the top-left corner wins.
  placed = CenteredPlacement(Rect{0, 0, 1200, 900}, work, Rect{10, 20, 1000, 700});
  EXPECT_EQ(10, placed.left);
  EXPECT_EQ(20, placed.top);
}

}  // namespace
}  // namespace zelvra
