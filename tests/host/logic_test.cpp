// Message-box styles, the updater's parameter string, URL and path handling,
// progress arithmetic, header values and dialog placement.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/download_paths.h"
#include "core/http_values.h"
#include "core/message_box_style.h"
#include "core/number_text.h"
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
      {0x0, 0x30},  {0x1, 0x31},  {0x3, 0x33}, {0x4, 0x34},  // OK, OK/Cancel, Yes/No/Cancel, Yes/No
      {0x2, 0x2},   {0x5, 0x5},                              // Abort/Retry/Ignore, Retry/Cancel: unchanged
      {0x10, 0x10}, {0x44, 0x44},                            // an icon is kept
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown, FrameworkMessageBoxStyle(c.requested)) << std::hex << c.requested;
}

TEST(BuildUpdaterParameters, MatchesTheLauncherContract) {
  EXPECT_EQ(u"\"@cmd=\" \"@execute=Zelvra.exe\" \"@install\"", BuildUpdaterParameters(u"", kUpdaterProgram, false));
  EXPECT_EQ(u"\"@cmd=@test\" \"@execute=Zelvra.exe\" \"@install\" \"@5204917738162\"",
            BuildUpdaterParameters(u"@test", kUpdaterProgram, true));
  // The command line goes in verbatim: inner quotes, double blanks, trailing blank.
  EXPECT_EQ(u"\"@cmd=\"C:\\a b\"  x@testy \" \"@execute=Zelvra.exe\" \"@install\" \"@5204917738162\"",
            BuildUpdaterParameters(u"\"C:\\a b\"  x@testy ", kUpdaterProgram, true));
  // Korean, Thai and a surrogate pair next to '@' and '"' stay as they are.
  EXPECT_EQ(u"\"@cmd=\uae40@\U0001F600\"\u0e01\" \"@execute=Zelvra.exe\" \"@install\"",
            BuildUpdaterParameters(u"\uae40@\U0001F600\"\u0e01", kUpdaterProgram, false));
}

TEST(BuildUpdaterParameters, MutexWaitIsThirtyProbesTwoHundredMillisecondsApart) {
  // Both exactly: end to end, only a lower bound of the wait can be seen.
  EXPECT_EQ(200u, kMutexProbeIntervalMs);
  EXPECT_EQ(30, kMutexProbeLimit);
}

TEST(DownloadPaths, FileNameComesFromTheLastSlashOfThePrimaryUrl) {
  EXPECT_EQ(u"ZVUpdater.exe", FileNameFromUrl(u"http://h:1/Zelvra/ZVUpdater.exe"));
  EXPECT_EQ(u"no-slash", FileNameFromUrl(u"no-slash"));
  EXPECT_EQ(u"", FileNameFromUrl(u"http://h/Zelvra/"));
  EXPECT_EQ(u"\U0001F600\uac00.exe", FileNameFromUrl(u"http://h/\uac00/\U0001F600\uac00.exe"));
  EXPECT_EQ(u"C:\\T\\ZelvraManager\\ZVUpdaterRes.dll",
            LocalPathForUrl(u"C:\\T\\ZelvraManager\\", u"http://h/Zelvra-TTS-WUX/ZVUpdaterRes.dll"));
  EXPECT_EQ(u"C:\\T\\", LocalPathForUrl(u"C:\\T\\", u"http://h/x/"));
  EXPECT_EQ(u"C:\\T\\ZelvraManager\\", DownloadFolderIn(u"C:\\T\\"));
  EXPECT_EQ(u"C:\\Users\\\uae40\uccA0\uc218\\ZelvraManager\\", DownloadFolderIn(u"C:\\Users\\\uae40\uccA0\uc218\\"));
}

TEST(DownloadPaths, LaunchPathIsRecognisedAfterTheFirstCharacterOnly) {
  EXPECT_TRUE(IsLaunchPath(u"C:\\T\\ZelvraManager\\ZVCallUpdater.exe"));
  EXPECT_TRUE(IsLaunchPath(u"C:\\\uae40\U0001F600\\ZelvraManager\\ZVCallUpdater.exe"));
  EXPECT_FALSE(IsLaunchPath(u"C:\\T\\ZelvraManager\\ZVUpdater.exe"));
  EXPECT_FALSE(IsLaunchPath(u"C:\\T\\ZelvraManager\\ZVUpdaterRes.dll"));
  EXPECT_FALSE(IsLaunchPath(u"ZVCallUpdater.exe"));  // at position 0
  EXPECT_FALSE(IsLaunchPath(u"C:\\zvcallupdater.exe"));
}

TEST(DownloadPaths, MovedAsideNamesAreRecognisedExactly) {
  EXPECT_EQ(u"ZVCallUpdater.exe.old-1d9a3c2b4e5f607", MovedAsideName(u"ZVCallUpdater.exe", 0x1d9a3c2b4e5f607ull));
  struct Case {
    std::u16string entry;
    bool movedAside;
  };
  const Case cases[] = {
      {MovedAsideName(u"ZVCallUpdater.exe", 0x1d9a3c2b4e5f607ull), true},
      {MovedAsideName(u"\uc790\ub8cc", 0), true},
      {MovedAsideName(u"x", ~0ull), true},              // 16 digits
      {u"ZVUpdater.exe.old-1d9a3c2b4e5f6070a", false},  // 17 digits
      {u"ZVUpdater.exe.old-", false},                   // no number
      {u".old-1d9a", false},                            // no name before the mark
      {u"ZVUpdater.exe.old-1D9A", false},               // not as this program writes it
      {u"ZVUpdater.exe.old-1d9a.exe", false},           // something after the number
      {u"ZVUpdater.exe.old-12 ", false},
      {u"ZVUpdater.exe", false},
      {u"ZVUpdater.exe.old-x.old-12", true},  // the last mark counts
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.movedAside, IsMovedAsideName(c.entry)) << std::string(c.entry.begin(), c.entry.end());
  }
}

TEST(DownloadPaths, FolderPathFromFinalPathDropsThePrefixWhereAShortFormExists) {
  struct Case {
    std::u16string finalPath, folder;
  };
  const Case cases[] = {
      {u"\\\\?\\C:\\Users\\x\\AppData\\Local\\Temp", u"C:\\Users\\x\\AppData\\Local\\Temp\\"},
      {u"\\\\?\\C:\\Users\\\uae40\uccA0\uc218\\Temp\\", u"C:\\Users\\\uae40\uccA0\uc218\\Temp\\"},
      {u"\\\\?\\d:\\T\\\\\\", u"d:\\T\\"},  // any trailing separators become one
      {u"\\\\?\\C:\\", u"C:\\"},            // the root
      {u"\\\\?\\C:", u"C:\\"},
      {u"\\\\?\\UNC\\server\\share\\dir", u"\\\\server\\share\\dir\\"},
      {u"\\\\?\\unc\\server\\share\\", u"\\\\server\\share\\"},
      {u"\\\\?\\Volume{0b1e8e5a-1c2d-11ef-9a3b-806e6f6e6963}\\x",
       u"\\\\?\\Volume{0b1e8e5a-1c2d-11ef-9a3b-806e6f6e6963}\\x\\"},  // no shorter form
      {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\"},
      // Would change meaning when shortened: kept with the prefix.
      {u"\\\\?\\C:x", u"\\\\?\\C:x\\"},                          // drive-relative
      {u"\\\\?\\1:\\x", u"\\\\?\\1:\\x\\"},                      // not a letter
      {u"\\\\?\\UNC\\.\\pipe\\x", u"\\\\?\\UNC\\.\\pipe\\x\\"},  // "\\.\" is a device
      {u"\\\\?\\UNC\\?\\C:\\x", u"\\\\?\\UNC\\?\\C:\\x\\"},      // "\\?\" again
      {u"\\\\?\\UNC\\\\x", u"\\\\?\\UNC\\\\x\\"},                // no server
      {u"\\\\?\\UNC\\", u"\\\\?\\UNC\\"},
      {u"\\\\?\\", u"\\\\?\\"},
      {u"\\\\?\\\\\\", u"\\\\?\\"},
      {u"\\\\.\\C:\\x", u"\\\\.\\C:\\x\\"},  // not the prefix ("\\.\" exactly is another one)
      {u"C:\\Temp", u"C:\\Temp\\"},          // no prefix: kept
      {u"C:\\Temp\\\\", u"C:\\Temp\\"},
      {u"\\\\server\\share", u"\\\\server\\share\\"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.folder, FolderPathFromFinalPath(c.finalPath)) << ::testing::PrintToString(c.finalPath);
  }
}

TEST(DownloadPaths, OnlyAVolumeAtADriveLetterIsAcceptedForTheDownloadFolder) {
  for (const char16_t* volume : {u"C:\\", u"z:\\"}) EXPECT_TRUE(zelvra::IsDriveRootVolume(volume));
  for (const char16_t* volume :
       {u"C:\\Data\\", u"C:", u"C:/", u"1:\\", u"\\\\server\\share\\", u"\\\\?\\Volume{1}\\", u"\u00c4:\\", u""}) {
    EXPECT_FALSE(zelvra::IsDriveRootVolume(volume)) << ::testing::PrintToString(std::u16string(volume));
  }
}

TEST(ProgressPosition, IsTruncatedPercentOfTheLength) {
  struct Case {
    std::uint32_t received, length;
    int position;
  };
  const Case cases[] = {
      {300, 400, 75},
      {1, 3, 33},
      {2, 3, 66},
      {400, 400, 100},
      {0, 400, 0},
      {500, 400, 100},                  // more than announced: the bar stays full
      {0xFFFFFFFFu, 0xFFFFFFFFu, 100},  // no overflow at the top of the range
      {0x7FFFFFFFu, 0xFFFFFFFFu, 49},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.position, ProgressPosition(c.received, c.length)) << c.received << "/" << c.length;
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
    const char16_t* text;
    std::uint64_t value;
  };
  const Case cases[] = {
      {u"1234", 1234},
      {u"  42", 42},
      {u"\t7", 7},
      {u"+5", 5},
      {u"12abc", 12},
      {u"0", 0},
      {u"", 0},
      {u"abc", 0},
      {u"-5", 0},
      {u"-0", 0},
      {u"4294967295", 4294967295u},                                    // the largest 32-bit length
      {u"4294967296", kContentLengthBeyond32Bits},                     // does not fit: refused
      {u"99999999999999999999999999999", kContentLengthBeyond32Bits},  // far too large, no overflow
      {u"-99999999999999999999999999999", 0},                          // negative: unknown
      {u"2147483648", 2147483648u},                                    // above a signed long, still a valid length
      {u"\u3000"
       u"5",
       0},
      {u"\uff15", 0},  // other blanks and digits are not read
      {u"7\U0001F600", 7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.value, ParseContentLength(c.text)) << ::testing::PrintToString(std::u16string(c.text));
  }
  EXPECT_EQ(0u, ParseContentLength(nullptr));
}

TEST(ParseStatusCode, ReadsTheDecimalCode) {
  EXPECT_EQ(200, ParseStatusCode(u"200"));
  EXPECT_EQ(404, ParseStatusCode(u" 404"));
  EXPECT_EQ(-1, ParseStatusCode(u""));
  EXPECT_EQ(-1, ParseStatusCode(u"OK"));
  EXPECT_EQ(-1, ParseStatusCode(u"99999999999"));
  EXPECT_EQ(-1, ParseStatusCode(u"\uff12\uff10\uff10"));
  EXPECT_EQ(-1, ParseStatusCode(nullptr));
}

TEST(NumberText, DigitsWithoutPaddingOrPrefix) {
  const struct {
    std::uint64_t value;
    const char16_t* decimal;
    const char16_t* hex;
  } rows[] = {
      {0, u"0", u"0"},
      {9, u"9", u"9"},
      {10, u"10", u"a"},
      {255, u"255", u"ff"},
      {12057, u"12057", u"2f19"},
      {0xFFFFFFFFFFFFFFFFull, u"18446744073709551615", u"ffffffffffffffff"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.decimal, zelvra::DecimalText(row.value));
    EXPECT_EQ(row.hex, zelvra::HexText(row.value));
  }
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
