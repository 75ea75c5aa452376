// The argument splitter: words, quotes, escapes and lines at the edges.
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

// Splits `text` in a buffer of exactly length + 1 bytes, so a sanitizer build
// catches any write or read beyond what the caller must provide.
Words split(const std::string &text)
{
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\x7f'); // the spare byte is the splitter's to use
    int count = -1;
    char **words = tarvelutil_argument_parse(line.data(), static_cast<int>(text.size()), &count);
    EXPECT_NE(words, nullptr);
    if (words == nullptr)
        return {};
    EXPECT_EQ(words[0], line.data());
    EXPECT_EQ(words[count], nullptr);
    Words out;
    for (int i = 0; i < count; i++)
        out.emplace_back(words[i]);
    vn_free(words);
    return out;
}

struct Case {
    const char *name;
    std::string line;
    Words words;
};

const Case kCases[] = {
    {"BlanksCollapseAndDoubleQuotesJoin", "a   \"b c\"", {"a", "b c"}},
    {"SingleQuotedPiecesBackToBack", "'it''s'", {"its"}},
    {"QuotesOfTheOtherKindAreText", "\"it's\" 'say \"hi\"'", {"it's", "say \"hi\""}},
    {"EscapedBlankJoinsOutsideQuotes", "a\\ b c", {"a b", "c"}},
    {"EscapedBlankKeepsBackslashInsideQuotes", "\"a\\ b\"", {"a\\ b"}},
    {"EscapedQuotesAndBackslash", "\\\"q\\\" \\'s\\' \\\\", {"\"q\"", "'s'", "\\"}},
    {"HexEscapesInEitherCase", "\\x41\\x4a\\X6b", {"AJk"}},
    {"HexEscapeWithoutTwoDigitsIsKept", "\\x4 \\xzz \\q", {"\\x4", "\\xzz", "\\q"}},
    {"HexZeroStartsAFurtherWord", "ab\\x00cd ef", {"ab", "cd", "ef"}},
    {"TrailingBackslashIsKept", "ab\\", {"ab\\"}},
    {"UnterminatedQuoteRunsToTheEnd", "x \"a b", {"x", "a b"}},
    {"NulInsideQuotesStartsAFurtherWord", std::string("\"a\0b\"", 5), {"a", "b"}},
    {"NulsOutsideQuotesSeparate", std::string("a\0\0b", 4), {"a", "b"}},
    {"WhiteSpaceSeparatesAndIsTrimmed", "  one\ttwo\nthree\rfour  ", {"one", "two", "three", "four"}},
    {"VerticalTabAndFormFeedStayInsideAWord", "a\vb\fc", {"a\vb\fc"}},
    {"HighBytesAreText", "\xc3\xa9t\xc3\xa9 x", {"\xc3\xa9t\xc3\xa9", "x"}},
    {"EmptyLineGivesOneEmptyWord", "", {""}},
    {"BlankLineGivesOneEmptyWord", " \t ", {""}},
};

class ArgumentSplit : public ::testing::TestWithParam<Case> {};

TEST_P(ArgumentSplit, GivesTheExpectedWords)
{
    EXPECT_EQ(split(GetParam().line), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(Lines, ArgumentSplit, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ArgumentParse, ReadsOnlyTheGivenLength)
{
    char line[] = "abc def";
    int count = 0;
    char **words = tarvelutil_argument_parse(line, 3, &count);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(words[0], "abc");
    vn_free(words);
}

TEST(ArgumentParse, NullLineOrNegativeLengthGivesNoWords)
{
    char line[] = "abc";
    int count = 7;
    EXPECT_EQ(tarvelutil_argument_parse(nullptr, 3, &count), nullptr);
    EXPECT_EQ(count, 0);
    count = 7;
    EXPECT_EQ(tarvelutil_argument_parse(line, -1, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(line, "abc");
}

// Every word start needs a slot, however many NUL escapes a line holds.
TEST(ArgumentParse, ManyNulEscapesAllGetSlots)
{
    std::string text;
    for (int i = 0; i < 500; i++)
        text += "a\\x00";
    Words words = split(text);
    ASSERT_EQ(words.size(), 501u);
    EXPECT_EQ(words[0], "a");
    EXPECT_EQ(words[499], "a");
    EXPECT_EQ(words[500], "");
}

} // namespace
