#include "vantrix_private.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

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

TEST(Uptime, RoundsUpToTheMinuteAndShowsDays)
{
    struct Case {
        time_t seconds;
        const char *expected;
    } cases[] = {
        {0, "up 00:00"},
        {61, "up 00:02"},
        {3600, "up 01:00"},
        {90000, "up 1 days, 01:00"},
    };
    for (const Case &c : cases) {
        char text[50];
        _vn_format_uptime(c.seconds, text, sizeof text);
        EXPECT_STREQ(text, c.expected) << c.seconds;
    }
}

namespace {

// Starts the runtime in this process with `args` after the program path.
int start(vn_init_t *init, std::vector<std::string> args, const char *program = "/usr/bin/feed.exe")
{
    static std::vector<std::string> storage;
    static std::vector<char *> argv;
    storage = std::move(args);
    storage.insert(storage.begin(), program);
    argv.clear();
    for (std::string &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(storage.size());
    vn_config_init("none.conf", argc, argv.data());
    return vn_init(init, argc, argv.data());
}

std::vector<std::pair<int, std::string>> exits;

void record_exit(int32_t code, const char *text)
{
    exits.emplace_back(code, text);
}

} // namespace

TEST(Identity, NameFromTheCommandLosesExeAndThePath)
{
    static vn_init_t init = {};
    start(&init, {"--application-root", "/opt/app/"});
    EXPECT_STREQ(init.application_name, "feed");
    EXPECT_STREQ(vn_get_app_name(), "feed");
    EXPECT_STREQ(init.application_root, "/opt/app");
    EXPECT_EQ(expand("%r/var/%a.pid"), "/opt/app/var/feed.pid");
}

TEST(Identity, ReadOnlyExeNameOfTheRecordIsCopiedShortened)
{
    vntest::TempRoot root;
    static vn_init_t init = {};
    init.application_name = const_cast<char *>("quotes.exe");
    start(&init, {"--application-root", root.path()});
    EXPECT_STREQ(init.application_name, "quotes");
    EXPECT_TRUE(root.exists("var/event-quotes.log"));
}

TEST(Identity, ConfiguredNameReplacesTheRecords)
{
    vntest::TempRoot root;
    static vn_init_t init = {};
    init.application_name = const_cast<char *>("quotes");
    start(&init, {"-n", "feedname", "--application-root", root.path()});
    EXPECT_STREQ(init.application_name, "feedname");
    EXPECT_STREQ(vn_get_app_name(), "feedname");
}

TEST(Identity, RootDefaultsToTheWorkingDirectory)
{
    vntest::TempRoot root;
    ASSERT_EQ(chdir(root.path().c_str()), 0);
    static vn_init_t init = {};
    start(&init, {});
    EXPECT_EQ(std::string(init.application_root), root.path());
}

TEST(Identity, RootStartedInSlashIsTmp)
{
    ASSERT_EQ(chdir("/"), 0);
    static vn_init_t init = {};
    start(&init, {});
    EXPECT_STREQ(init.application_root, "/tmp");
}

TEST(Identity, RelativeRootBecomesTheAbsoluteDirectory)
{
    vntest::TempRoot root;
    root.write("app/.keep", "");
    ASSERT_EQ(chdir(root.path().c_str()), 0);
    static vn_init_t init = {};
    start(&init, {"--application-root", "app/"});
    EXPECT_EQ(std::string(init.application_root), root.file("app"));
}

TEST(ExitLog, UsesTheConfiguredNameBeforeTheRecordHasOne)
{
    const char *argv[] = {"prog", "-n", "feed", nullptr};
    vn_config_init("none.conf", 3, const_cast<char **>(argv));
    EXPECT_EQ(expand("%a.log"), "feed.log");
    EXPECT_EXIT(_vn_exit_log(1, "Missing endif in file %s\n", "a.conf"), testing::ExitedWithCode(1),
                "^feed: Missing endif in file a.conf\n");
}

TEST(ExitLog, ExitHookStopsStartUpAtTheFirstFatalError)
{
    static vn_init_t init = {};
    init.exit_func = record_exit;
    EXPECT_EQ(start(&init, {"-d", "--application-root", "/nonexistent/feed"}), -1);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].first, 4);
    EXPECT_EQ(exits[0].second, "Cannot change to application root /nonexistent/feed: No such file or directory\n");
}

TEST(ProcessMonitoring, TemplatesAreDeclaredAndTheMemoryGetterAnswers)
{
    vntest::TempRoot root;
    static vn_init_t init = {};
    init.application_name = const_cast<char *>("quotes");
    start(&init, {"--application-root", root.path()});

    char *text = nullptr;
    size_t size = 0;
    FILE *document = open_memstream(&text, &size);
    vn_monitor_document_templates(document);
    fclose(document);
    std::string templates(text, size);
    free(text);
    size_t system = templates.find("quotes.server.system");
    size_t library = templates.find("quotes.server.vantrix");
    ASSERT_NE(system, std::string::npos) << templates;
    ASSERT_NE(library, std::string::npos) << templates;
    EXPECT_LT(system, library);
    for (const char *member : {"current-directory", "cpu-usage", "shutdown", "memory-usage", "addresses",
                               "vantrix-build-number"})
        EXPECT_NE(templates.find(member), std::string::npos) << member;

    vn_monitor_t *memory = vnmon_get_active("quotes.server.system", "SINGLETON", "memory-usage");
    ASSERT_NE(memory, nullptr);
    std::string shown = memory->data.c != nullptr ? memory->data.c : "";
    EXPECT_NE(shown.find(" kB"), std::string::npos) << shown;
    vn_monitor_free(memory);
}
