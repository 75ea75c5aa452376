// The managed-language accessors and vn_init_dotnet, driven through the C
// program api_dotnet_caller as a wrapper would call them.
#include "test_support.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

class ApiDotnetTest : public ::testing::Test {
protected:
    vntest::RunResult call(const std::vector<std::string> &args)
    {
        root_.write("caller.conf", "application-root " + root_.path() + "\n");
        std::vector<std::string> argv{API_DOTNET_CALLER_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return vntest::run(argv, root_.path(), {{"TZ", "UTC"}});
    }

    vntest::TempRoot root_;
};

// The lines that begin with `prefix`, in order.
std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    }
    return found;
}

TEST_F(ApiDotnetTest, AccessorsReadAndWriteARecord)
{
    vntest::RunResult run = call({"eventlog"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    std::string accessors;
    for (const std::string &line : lines_starting(run.out, "")) {
        if (line.rfind("cb ", 0) != 0 && line.rfind("log_kept=", 0) != 0)
            accessors += line + "\n";
    }
    EXPECT_EQ(accessors, "peers=0\n"
                         "subject=FEED.SUBJECT\n"
                         "type=222\n"
                         "flags=0x1000\n"
                         "flags_set=0x2345\n"
                         "fields=2\n"
                         "field[-1]=null INT_MIN 0x0\n"
                         "field[0]=twenty-two 22 0x2345\n"
                         "field[1]=minus seven -7 0x1\n"
                         "field[2]=null INT_MIN 0x0\n");
}

TEST_F(ApiDotnetTest, WithALogFileEachMessageReachesOnlyTheCallbackOnce)
{
    vntest::RunResult run = call({"logfile"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(lines_starting(run.out, "log_kept="), std::vector<std::string>{"log_kept=1"});
    // The hook runs whatever the log's level, with the level's flags.
    EXPECT_EQ(lines_starting(run.out, "cb 6 hello"), std::vector<std::string>{"cb 6 hello from the wrapper"});
    EXPECT_EQ(lines_starting(run.out, "cb 7 "), std::vector<std::string>{"cb 7 below the log level"});
    EXPECT_EQ(lines_starting(run.out, "cb 1026 "), std::vector<std::string>{"cb 1026 with a flag"});
    EXPECT_FALSE(root_.exists("var/dotnet-event.log"));
    EXPECT_FALSE(root_.exists("var/event-caller.log"));
}

TEST_F(ApiDotnetTest, WithoutALogFileTheEventLogGetsTheLineWithItsNewline)
{
    vntest::RunResult run = call({"eventlog"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(lines_starting(run.out, "log_kept="), std::vector<std::string>{"log_kept=1"});
    EXPECT_EQ(lines_starting(run.out, "cb 6 hello"), std::vector<std::string>{"cb 6 hello from the wrapper"});
    std::string log = root_.read("var/event-caller.log");
    EXPECT_NE(log.find(" INFO: hello from the wrapper\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("below the log level"), std::string::npos) << log;
}

TEST_F(ApiDotnetTest, WithoutACallbackTheMessagesAreDropped)
{
    vntest::RunResult run = call({"logfile", "nocb"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(lines_starting(run.out, "cb ").empty()) << run.out;
    EXPECT_EQ(lines_starting(run.out, "log_kept="), std::vector<std::string>{"log_kept=1"});
    EXPECT_FALSE(root_.exists("var/dotnet-event.log"));
}

} // namespace
