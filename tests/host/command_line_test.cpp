// The arguments part of a raw command line.
#include <gtest/gtest.h>

#include <string>

#include "core/command_line.h"

namespace zelvra {
namespace {

struct ArgumentsCase {
  const char* name;
  std::u16string commandLine;
  std::u16string arguments;
};

class ArgumentsOfCommandLineTest : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(ArgumentsOfCommandLineTest, CutsTheProgramNameAndTheBlanksAfterIt) {
  const ArgumentsCase& c = GetParam();
  EXPECT_EQ(c.arguments, ArgumentsOfCommandLine(c.commandLine.c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Rule,
    ArgumentsOfCommandLineTest,
    ::testing::Values(ArgumentsCase{"NoArguments", u"\"C:\\Program Files\\Setup.exe\"", u""},
                      ArgumentsCase{"UnquotedNoArguments", u"C:\\Setup.exe", u""},
                      ArgumentsCase{"QuotedPathTwoBlanksThenArgumentsKeptExactly",
                                    u"\"C:\\My Files\\Setup.exe\"  a  \"b c\"  d ", u"a  \"b c\"  d "},
                      ArgumentsCase{"UnquotedNameEndsAtFirstBlank", u"Setup.exe @test", u"@test"},
                      ArgumentsCase{"TabsAndControlCharactersAfterTheName", u"Setup.exe\t\x01\x1f x\ty\t", u"x\ty\t"},
                      ArgumentsCase{"UnquotedNameEndsAtAControlCharacter", u"Setup.exe\x05x", u"x"},
                      ArgumentsCase{"QuoteInsideUnquotedNameIsPartOfIt", u"Set\"up.exe\" x", u"x"},
                      ArgumentsCase{"UnterminatedQuoteTakesTheWholeLine", u"\"C:\\Setup.exe x y", u""},
                      ArgumentsCase{"QuotedNameWithoutBlankBeforeArguments", u"\"Setup.exe\"x", u"x"},
                      ArgumentsCase{"EmptyQuotedName", u"\"\" x", u"x"},
                      ArgumentsCase{"EmptyLine", u"", u""},
                      ArgumentsCase{"OnlyBlanksAfterName", u"Setup.exe    ", u""},
                      ArgumentsCase{"QuotesInArgumentsStay", u"a.exe \"@cmd=\" \"x\"", u"\"@cmd=\" \"x\""},
                      ArgumentsCase{"OtherLettersAreNotBlanks", u"a.exe \uac00\u00a0\u3000 b", u"\uac00\u00a0\u3000 b"},
                      // Korean and a surrogate pair right before the closing quotation
                      // mark: no unit of them is taken for a mark or a blank.
                      ArgumentsCase{"QuotedNameWithKoreanAndAnEmoji",
                                    u"\"C:\\\uae40\\\U0001F600\" \uc218\U0001F600 @test", u"\uc218\U0001F600 @test"},
                      ArgumentsCase{"UnquotedNameWithAnEmoji", u"\U0001F600.exe\t\"\U0001F600\"", u"\"\U0001F600\""},
                      ArgumentsCase{"LoneSurrogateAtTheEndOfAQuotedName", u"\"C:\\x\xd83d", u""}),
    [](const ::testing::TestParamInfo<ArgumentsCase>& info) { return std::string(info.param.name); });

TEST(ArgumentsOfCommandLine, NullLineGivesNoArguments) { EXPECT_EQ(std::u16string(), ArgumentsOfCommandLine(nullptr)); }

}  // namespace
}  // namespace zelvra
