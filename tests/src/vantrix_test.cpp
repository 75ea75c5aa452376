#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

std::string expand(const char *format, size_t bufsize = 4096)
{
    std::string buffer(bufsize, 'x');
    vn_filename_expand(format, buffer.data(), bufsize);
    return buffer.c_str();
}

std::string host_name()
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

} // namespace

TEST(FilenameExpand, PatternsWithoutAStartUpRecord)
{
    setenv("HOME", "/home/feed", 1);
    struct Case {
        const char *format;
        std::string expected;
    } cases[] = {
        {"plain/name.log", "plain/name.log"},
        {"v%M.%m", "v5.2"},
        {"%u/.rc", "/home/feed/.rc"},
        {"%h", host_name()},
        {"%a.%x/%%", "./"},   // no name yet; unknown letters and %% give nothing
        {"%r/var/%a.pid", "/var/.pid"},
        {"end%", "end"},      // a trailing % ends the expansion
    };
    for (const Case &c : cases)
        EXPECT_EQ(expand(c.format), c.expected) << c.format;
}

TEST(FilenameExpand, HomeUnsetExpandsToNothing)
{
    unsetenv("HOME");
    EXPECT_EQ(expand("[%u]"), "[]");
}

TEST(FilenameExpand, OutputIsCutOneShortOfTheBuffer)
{
    EXPECT_EQ(expand("abcdef", 1), "");
    EXPECT_EQ(expand("abcdef", 4), "abc");
    EXPECT_EQ(expand("%M%m%M%m", 3), "52");
}

TEST(FilenameExpand, VersionIsFiveTwo)
{
    int major = 0, minor = 0;
    _vn_get_version(&major, &minor);
    EXPECT_EQ(major, 5);
    EXPECT_EQ(minor, 2);
}

TEST(ExitLog, WithoutARecordWritesNoneAndExitsWithTheCode)
{
    EXPECT_EXIT(_vn_exit_log(2, "Cannot create event_log: %s\n", "x.log"),
                testing::ExitedWithCode(2), "^NONE: Cannot create event_log: x.log\n\n$");
}
