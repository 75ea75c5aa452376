#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Owns a vn_ text result so a failing assertion does not leak it.
std::string take(char *text)
{
    std::string copy = text != nullptr ? text : "(null)";
    vn_free(text);
    return copy;
}

time_t mtime_of(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_mtime : -2;
}

void set_mtime(const std::string &path, time_t when)
{
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

} // namespace

TEST(Hash, KnownValuesAndNeverNegative)
{
    EXPECT_EQ(vn_hash_code(""), 0);
    EXPECT_EQ(vn_hash_code("a"), 126);
    EXPECT_EQ(vn_hash_code("abc"), 56825);
    EXPECT_EQ(vn_hash_code_len("abcdef", 3), 56825);
    EXPECT_EQ(vn_hash_code_len("abc", -1), 0);
    // This text works out to INT_MIN, whose absolute value does not exist.
    EXPECT_EQ(vn_hash_code("YCBa5v"), 0);
    // Bytes of 0x80 and more count as negative: the result stays positive.
    const char high[] = "\xff\xfe\x80 long enough text to wrap the hash several times";
    EXPECT_GE(vn_hash_code(high), 0);
    EXPECT_NE(vn_hash_code("\xff"), vn_hash_code("\x7f"));
}

TEST(Words, GetWordEndsTheFirstWordAtABlank)
{
    struct Case {
        const char *line;
        char ended_by_blank;
        const char *word;
        const char *rest;
    };
    const Case cases[] = {
        {"set level 4", 1, "set", "level 4"},
        {"single", 0, "single", ""},
        {"", 0, "", ""},
        {" lead", 1, "", "lead"},
    };
    for (const Case &c : cases) {
        std::string line = c.line;
        char *rest = nullptr;
        EXPECT_EQ(vn_get_word(line.data(), &rest), c.ended_by_blank) << c.line;
        EXPECT_STREQ(line.c_str(), c.word) << c.line;
        EXPECT_STREQ(rest, c.rest) << c.line;
    }
}

TEST(Words, GetWordsKeepsEmptyWords)
{
    struct Case {
        const char *line;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"a,,b", {"a", "", "b"}},
        {"", {""}},
        {",", {"", ""}},
        {"one", {"one"}},
    };
    for (const Case &c : cases) {
        std::string line = c.line;
        int count = -1;
        char **words = vn_get_words(line.data(), 0, &count, ',');
        ASSERT_EQ(count, static_cast<int>(c.words.size())) << c.line;
        for (int i = 0; i < count; i++)
            EXPECT_EQ(words[i], c.words[static_cast<size_t>(i)]) << c.line;
        vn_free(words);
    }
}

TEST(Strings, StrduplenCopiesTheCountedBytes)
{
    EXPECT_EQ(vn_strduplen(nullptr, 4), nullptr);
    EXPECT_EQ(take(vn_strduplen("abcdef", 3)), "abc");
    EXPECT_EQ(take(vn_strduplen("abc", 0)), "");
}

TEST(Strings, StrdupdpRewritesDecimalPlaces)
{
    struct Case {
        const char *text;
        int places;
        const char *expected;
    };
    const Case cases[] = {
        {"1.25", 1, "1.3"},
        {"9.96", 1, "10.0"},
        {"-9.5", 0, "-10"},
        {"+3", 2, "3.00"},
        {"12.3", 3, "12.300"},
        {"0.05", 1, "0.1"},
        {"7", 0, "7"},
        {"1.24", 1, "1.2"},
        {"99.99", 1, "100.0"},
        {"-0.96", 1, "-1.0"},
        {"-.5", 0, "-1"},
        {"5.", 0, "5."},
        {"", 2, ".00"},
        {"1", 25, "1.00000000000000000000"}, // padding stops after 20 zeros
        {"1.2.3", 1, "1.2.3"},
        {"abc", 1, "abc"},
        {"1e5", 2, "1e5"},
        {".5", 0, ".5"},
        {"1.5\xc3\xa9", 0, "1.5\xc3\xa9"},
        {"1.25", -1, "1.25"}, // no places to round to: a plain copy
    };
    for (const Case &c : cases)
        EXPECT_EQ(take(vn_strdupdp(c.text, c.places)), c.expected) << c.text << " places " << c.places;
}

TEST(Strings, AsprintfGrowsPastItsFirstBuffer)
{
    std::string long_text(5000, 'x');
    char *result = vn_asprintf("%s", long_text.c_str());
    EXPECT_EQ(std::string(result), long_text);
    vn_free(result);
    EXPECT_EQ(take(vn_asprintf("%d-%s", 42, "x")), "42-x");
}

TEST(Strings, AsprintfGivesEmptyTextOnAFormattingError)
{
    // In the C locale a wide character past ASCII cannot be converted.
    const wchar_t wide[] = {0x263A, 0};
    EXPECT_EQ(take(vn_asprintf("%ls", wide)), "");
}

TEST(FilePrintf, WritesWhatFitsAndReportsTheFullLength)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string long_text(3000, 'y');
    EXPECT_EQ(vn_file_printf(fds[1], "%s|%d", "pid", 7), 5);
    EXPECT_EQ(vn_file_printf(fds[1], "%s", long_text.c_str()), 3000);
    close(fds[1]);
    std::string written;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0)
        written.append(buffer, static_cast<size_t>(got));
    close(fds[0]);
    EXPECT_EQ(written, "pid|7" + std::string(1023, 'y'));
}

TEST(CreationMarker, MissingLogReplacesAStaleMarker)
{
    vntest::TempRoot root;
    std::string log = root.file("logs/event.log");
    std::string marker = root.write("logs/.event.log", "");
    set_mtime(marker, 1000);

    EXPECT_EQ(vn_file_return_creation_time(log.c_str()), -1);
    time_t fresh = mtime_of(marker);
    EXPECT_GT(fresh, 1000); // the stale marker was deleted and made anew

    root.write("logs/event.log", "line\n");
    EXPECT_EQ(vn_file_return_creation_time(log.c_str()), fresh);
}

TEST(CreationMarker, ExistingLogKeepsItsMarkerTime)
{
    vntest::TempRoot root;
    std::string log = root.write("event.log", "x");
    std::string marker = root.write(".event.log", "");
    set_mtime(marker, 1000);
    EXPECT_EQ(vn_file_return_creation_time(log.c_str()), 1000);

    vn_file_update_creation_time(log.c_str());
    EXPECT_GT(mtime_of(marker), 1000);
}

TEST(CreationMarker, MarkerBesideARelativeName)
{
    vntest::TempRoot root;
    ASSERT_EQ(chdir(root.path().c_str()), 0);
    EXPECT_EQ(vn_file_return_creation_time("event.log"), -1);
    EXPECT_TRUE(root.exists(".event.log"));
}

TEST(CreationMarker, UpdateLeavesAMissingMarkerMissing)
{
    vntest::TempRoot root;
    std::string log = root.write("a.log", "x");
    vn_file_update_creation_time(log.c_str());
    EXPECT_FALSE(root.exists(".a.log"));
}

TEST(CreationMarker, NameTooLongForTheMarkerFailsWithoutCreatingAnything)
{
    vntest::TempRoot root;
    // The log path fits a path buffer, but its marker, one byte longer, does not.
    std::string dir = root.path() + "/";
    std::string log = dir + std::string(4096 - dir.size(), 'n');
    ASSERT_EQ(log.size(), 4096u);
    EXPECT_EQ(vn_file_return_creation_time(log.c_str()), -1);
    vn_file_update_creation_time(log.c_str());
}
