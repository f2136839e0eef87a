// The arguments part of a raw command line, and the "@test" search.
#include <gtest/gtest.h>

#include <string>

#include "core/command_line.h"
#include "core/mbcs.h"

namespace zelvra {
namespace {

struct ArgumentsCase {
  const char* name;
  std::string commandLine;
  std::string arguments;
};

class ArgumentsOfCommandLineTest : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(ArgumentsOfCommandLineTest, CutsTheProgramNameAndTheBlanksAfterIt) {
  const ArgumentsCase& c = GetParam();
  EXPECT_EQ(c.arguments, ArgumentsOfCommandLine(c.commandLine.c_str(), &NoLeadBytes));
}

INSTANTIATE_TEST_SUITE_P(
    Rule, ArgumentsOfCommandLineTest,
    ::testing::Values(
        ArgumentsCase{"NoArguments", "\"C:\\Program Files\\Setup.exe\"", ""},
        ArgumentsCase{"UnquotedNoArguments", "C:\\Setup.exe", ""},
        ArgumentsCase{"QuotedPathTwoBlanksThenArgumentsKeptExactly",
                      "\"C:\\My Files\\Setup.exe\"  a  \"b c\"  d ", "a  \"b c\"  d "},
        ArgumentsCase{"UnquotedNameEndsAtFirstBlank", "Setup.exe @test", "@test"},
        ArgumentsCase{"TabsAndControlCharactersAfterTheName", "Setup.exe\t\x01\x1f x\ty\t", "x\ty\t"},
        ArgumentsCase{"UnquotedNameEndsAtAControlCharacter", "Setup.exe\x05x", "x"},
        ArgumentsCase{"QuoteInsideUnquotedNameIsPartOfIt", "Set\"up.exe\" x", "x"},
        ArgumentsCase{"UnterminatedQuoteTakesTheWholeLine", "\"C:\\Setup.exe x y", ""},
        ArgumentsCase{"QuotedNameWithoutBlankBeforeArguments", "\"Setup.exe\"x", "x"},
        ArgumentsCase{"EmptyQuotedName", "\"\" x", "x"},
        ArgumentsCase{"EmptyLine", "", ""},
        ArgumentsCase{"OnlyBlanksAfterName", "Setup.exe    ", ""},
        ArgumentsCase{"QuotesInArgumentsStay", "a.exe \"@cmd=\" \"x\"", "\"@cmd=\" \"x\""},
        ArgumentsCase{"HighBytesAreNotBlanks", "a.exe \xb0\xa1 b", "\xb0\xa1 b"}),
    [](const ::testing::TestParamInfo<ArgumentsCase>& info) { return std::string(info.param.name); });

TEST(ArgumentsOfCommandLine, QuotedNameStepsOverDoubleByteCharactersOfCodePage949) {
  // 0xB0 0x22 is one character in code page 949 whose trail byte is a quotation
  // mark: it must not close the quoted name.
  const std::string line = std::string("\"C:\\\xb0\x22\\Setup.exe\" arg");
  EXPECT_STREQ("arg", ArgumentsOfCommandLine(line.c_str(), &IsLeadByte949));
  // In a single-byte code page the same byte pair does close it.
  EXPECT_STREQ("\\Setup.exe\" arg", ArgumentsOfCommandLine(line.c_str(), &NoLeadBytes));
}

TEST(ArgumentsOfCommandLine, LeadByteAtTheVeryEndDoesNotReadPastTheLine) {
  const std::string line = std::string("\"C:\\x\xb0");
  EXPECT_STREQ("", ArgumentsOfCommandLine(line.c_str(), &IsLeadByte949));
}

TEST(ArgumentsOfCommandLine, NullLineGivesNoArguments) {
  EXPECT_STREQ("", ArgumentsOfCommandLine(nullptr, &NoLeadBytes));
}

struct FindCase {
  const char* name;
  std::string text;
  std::string what;
  int start;
  int expected949;
};

class MbcsFindTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(MbcsFindTest, FindsOnCharacterBoundariesOnly) {
  const FindCase& c = GetParam();
  EXPECT_EQ(c.expected949, MbcsFind(c.text, c.what, c.start, &IsLeadByte949));
}

INSTANTIATE_TEST_SUITE_P(
    TestFlag, MbcsFindTest,
    ::testing::Values(
        FindCase{"AtStart", "@test", "@test", 0, 0},
        FindCase{"InsideALongerWord", "abc@testing x", "@test", 0, 3},
        FindCase{"CaseSensitive", "@TEST", "@test", 0, -1},
        FindCase{"Missing", "", "@test", 0, -1},
        // 0x81 0x40 is one character whose trail byte looks like '@'.
        FindCase{"TrailByteThatLooksLikeAtSignIsNoMatch", "\x81@test", "@test", 0, -1},
        FindCase{"MatchAfterADoubleByteCharacter", "\x81\x41@test", "@test", 0, 2},
        FindCase{"StartInsideTheText", "@test @test", "@test", 1, 6},
        FindCase{"StartBeyondTheEnd", "\\a", "\\", 3, -1},
        FindCase{"StartAtTheEnd", "ab", "b", 2, -1},
        FindCase{"EmptyNeedleAtStart", "ab", "", 1, 1},
        FindCase{"NegativeStart", "ab", "a", -1, -1},
        FindCase{"LoneLeadByteAtTheEnd", "a\x81", "\x81", 0, 1}),
    [](const ::testing::TestParamInfo<FindCase>& info) { return std::string(info.param.name); });

TEST(MbcsReverseFind, SkipsTrailBytes) {
  // 0x81 0x2F would be a '/' trail byte if 0x2F could trail; use 0x5C for '\'.
  EXPECT_EQ(1, MbcsReverseFind("a/\x81\x5c", '/', &IsLeadByte949));
  EXPECT_EQ(3, MbcsReverseFind("a/\x81\x5c", '\\', &NoLeadBytes));
  EXPECT_EQ(-1, MbcsReverseFind("a/\x81\x5c", '\\', &IsLeadByte949));
  EXPECT_EQ(-1, MbcsReverseFind("", '/', &NoLeadBytes));
}

}  // namespace
}  // namespace zelvra
