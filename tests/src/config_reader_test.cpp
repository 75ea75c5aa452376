// The configuration file reader, driven through real files in a temporary
// directory: option values, the messages written and the exit codes.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdlib>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct Peer {
    int port;
    char *host;
};

// The options' variables; at namespace scope, like a module's, they keep what
// the registry stores in them reachable for the leak checker.
int port_ = 0;
char *name_ = nullptr;
char flag_ = 0;
Peer *peers_ = nullptr;
int peer_count_ = 0;
Peer peer_template_ = {80, nullptr};

class ReaderTest : public testing::Test {
protected:
    void SetUp() override
    {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd_ = cwd;
        ASSERT_EQ(chdir(root_.path().c_str()), 0);
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_config_config_init();
        vn_config_add_option(0, "port", "", VN_CONFIG_INT, &port_);
        vn_config_add_option(0, "name", "", VN_CONFIG_STRING, &name_);
        vn_config_add_option(0, "flag", "", VN_CONFIG_BOOL, &flag_);
        vn_config_add_group("add-peer", "", &peers_, &peer_template_, sizeof(Peer), &peer_count_);
        vn_config_add_option(0, "port", "", VN_CONFIG_INT, reinterpret_cast<void *>(offsetof(Peer, port)));
        vn_config_end_group("end-peer", "");
        vn_config_add_search("");
        vn_config_add_search("etc");
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd_.c_str()), 0); }

    // Reads `text` as main.conf and returns what was written to standard error.
    std::string read(const std::string &text)
    {
        root_.write("main.conf", text);
        CaptureStderr();
        EXPECT_EQ(vn_config_parse_file("main.conf"), 1);
        return GetCapturedStderr();
    }

    vntest::TempRoot root_;
    std::string old_cwd_;
};

std::string repeat(const std::string &line, int times)
{
    std::string text;
    for (int i = 0; i < times; i++)
        text += line;
    return text;
}

TEST_F(ReaderTest, ConditionalsChooseTheLinesApplied)
{
    struct Case {
        const char *text;
        int port;
        const char *messages;
    } cases[] = {
        // A nested if in a branch not taken stays inactive, even when true.
        {"if 1\nport 1\nelse\nif 1\nport 2\nendif\nendif\n", 1, ""},
        // An if without a condition is an inactive level of its own: its
        // else is not taken and its endif does not close the outer if.
        {"if 1\n  if\n  port 1\n  else\n  port 5\n  endif\n  port 2\nendif\n", 2, "main.conf:2 Expected expression\n"},
        {"if 0\nif\nendif\nport 3\nendif\n", 0, "main.conf:2 Expected expression\n"},
        {"if 1\nport 1\nelseif 1\nport 2\nelse\nport 3\nendif\n", 1, ""},
        {"if 0\nport 1\nelseif 2 > 1\nport 2\nelse\nport 3\nendif\n", 2, ""},
        {"if 0\nport 1\nelseif 0\nport 2\nelse\nport 3\nendif\n", 3, ""},
        {"If 0\nport 1\nELSE\nport 9\nEndIf\n", 9, ""},
        {"if host alpha\nport 7\nendif\nif host beta\nport 8\nendif\n", 7, ""},
        {"if 0.5\nport 1\nendif\n", 0, ""},
        {"endif\nelse\nelseif 1\nport 4\n", 4,
         "main.conf:1 Can't delete a test level as there are none available\n"
         "main.conf:2 Can't Perform an 'else' outside an if/endif\n"
         "main.conf:3 Can't Perform an 'elseif' outside an if/endif\n"},
    };
    static char *host = vn_strdup("alpha");
    vn_config_set_test("host", &host);
    for (const Case &c : cases) {
        port_ = 0;
        EXPECT_EQ(read(c.text), c.messages) << c.text;
        EXPECT_EQ(port_, c.port) << c.text;
    }
}

TEST_F(ReaderTest, IfBeyondTheHundredthLevelIsReportedAndInactive)
{
    std::string text = repeat("if 1\n", 100) + "if 1\nport 1\nendif\nname inner\n" + repeat("endif\n", 100) + "flag\n";
    EXPECT_EQ(read(text), "main.conf:101 Too many sub tests in file - Max 100\n");
    EXPECT_EQ(port_, 0);
    EXPECT_STREQ(name_, "inner");
    EXPECT_EQ(flag_, 1);
}

TEST_F(ReaderTest, MissingEndifEndsTheProcess)
{
    root_.write("main.conf", "if 1\nport 1\n");
    EXPECT_EXIT(vn_config_parse_file("main.conf"), testing::ExitedWithCode(1), "Missing endif in file main.conf");
}

TEST_F(ReaderTest, CommentsQuotesAndBlanks)
{
    EXPECT_EQ(read("  name value   # comment\n\n   # whole line\nport\t12\t\nflag\n"), "");
    EXPECT_STREQ(name_, "value");
    EXPECT_EQ(port_, 12);
    EXPECT_EQ(flag_, 1);
    read("name \"a # b\"  # c\n");
    EXPECT_STREQ(name_, "a # b");
    read("name 'say \"hi\"'\n");
    EXPECT_STREQ(name_, "say \"hi\"");
    read("name a\\#b\n");
    EXPECT_STREQ(name_, "a\\#b");
    read("flag false\n");
    EXPECT_EQ(flag_, 0);
    read("flag 0\n"); // only "false" turns a boolean off
    EXPECT_EQ(flag_, 1);
}

TEST_F(ReaderTest, LongLineIsReadAsSeveralStatements)
{
    std::string value(1018, 'a');
    read("name " + value + "port 3\n");
    EXPECT_EQ(std::string(name_), value);
    EXPECT_EQ(port_, 3);
}

TEST_F(ReaderTest, GroupsInActiveAndInactiveBranches)
{
    EXPECT_EQ(read("if 0\nbogus 1\nadd-peer\nport 5\nend-peer\nendif\n"), "main.conf:2 Unknown option: bogus\n");
    EXPECT_EQ(peer_count_, 0);

    EXPECT_EQ(read("add-peer\nport 5\nend-anything\nport 6\nadd-peer\nend-peer\n"), "");
    ASSERT_EQ(peer_count_, 2);
    EXPECT_EQ(peers_[0].port, 5);
    EXPECT_EQ(peers_[1].port, 80);
    EXPECT_EQ(port_, 6);

    // Opened on an inactive line, the group has no record for the field.
    EXPECT_EQ(read("if 0\nadd-peer\nendif\nport 7\nend-peer\n"),
              "main.conf:4 No record for group add-peer - ignoring port\n");
    EXPECT_EQ(peer_count_, 2);
    EXPECT_EQ(peers_[1].port, 80);
}

TEST_F(ReaderTest, UnknownOptionInAGroupNamesTheGroup)
{
    EXPECT_EQ(read("add-peer\ncolour red\nend-peer\n"), "main.conf:2 Unknown option: add-peer:colour\n");
}

TEST_F(ReaderTest, IncludesFollowTheirSearchOrder)
{
    root_.write("sub/a.conf", "include-file b.conf\n");
    root_.write("sub/b.conf", "port 21\n");
    root_.write("inc/1.conf", "name one\n");
    root_.write("inc/2.conf", "name two\nflag\n");
    EXPECT_EQ(read("include-file sub/a.conf\ninclude-file inc/*.conf\ninclude-file nothing*.conf\n"
                   "include-file missing.conf\ninclude-file\n"),
              "main.conf:4 Configuration File 'missing.conf' not available\n");
    EXPECT_EQ(port_, 21);
    EXPECT_STREQ(name_, "two");
    EXPECT_EQ(flag_, 1);
}

TEST_F(ReaderTest, FileBeingReadIsNotIncludedAgain)
{
    // Directly, twice, and through another file: each include is refused
    // once, instead of being read again until the depth limit.
    root_.write("sub/other.conf", "include-file ../main.conf\nname other\n");
    EXPECT_EQ(read("port 1\ninclude-file main.conf\ninclude-file ./main.conf\ninclude-file sub/other.conf\n"
                   "include-file *.conf\n"),
              "main.conf:2 Configuration File 'main.conf' is already being read - not including it\n"
              "main.conf:3 Configuration File './main.conf' is already being read - not including it\n"
              "sub/other.conf:1 Configuration File 'sub/../main.conf' is already being read - not including it\n"
              "main.conf:5 Configuration File 'main.conf' is already being read - not including it\n");
    EXPECT_EQ(port_, 1);
    EXPECT_STREQ(name_, "other");
}

TEST_F(ReaderTest, IncludeChainStopsAtTheDepthLimit)
{
    for (int i = 1; i <= 33; i++)
        root_.write(vntest::numbered("c", i, ".conf"), vntest::numbered("include-file c", i + 1, ".conf\n"));
    EXPECT_EQ(read("include-file c1.conf\n"),
              "c31.conf:1 Include depth of 32 exceeded - not including 'c32.conf'\n");
}

TEST_F(ReaderTest, IncludedDeviceIsRefusedAndPipesStayAllowed)
{
    EXPECT_EQ(read("include-file /dev/zero\ninclude-file \"|echo port 4\"\n"),
              "main.conf:1 Configuration File '/dev/zero' is not a regular file - not including it\n");
    EXPECT_EQ(port_, 4);
}

TEST_F(ReaderTest, VerboseReadingMessagesNameTheFile)
{
    root_.write("other.conf", "port 2\n");
    std::string messages = read("verbose-config\ninclude-file other.conf\n");
    EXPECT_EQ(messages, "Reading config file " + root_.path() + "/other.conf\n");
}

TEST_F(ReaderTest, PipesAndEmptySources)
{
    root_.write("main.conf", "");
    root_.write("etc/main.conf", "port 5\n");
    vn_config_add_file("main.conf");
    vn_config_parse_files();
    EXPECT_EQ(port_, 0); // an empty local file counts as read

    EXPECT_EQ(vn_config_parse_file("|printf 'port 6\\n'"), 1);
    EXPECT_EQ(port_, 6);
    CaptureStderr();
    EXPECT_EQ(vn_config_parse_file("|true"), 0);
    EXPECT_EQ(GetCapturedStderr(), "Nothing read from file |true\n");
    EXPECT_EQ(vn_config_parse_file("missing.conf"), 0);
}

TEST_F(ReaderTest, FilesAreFoundThroughTheSearchPathsInOrder)
{
    root_.write("etc/app.conf", "port 5\nname app\n");
    root_.write("second.conf", "name second\n");
    vn_config_add_file("app.conf");
    vn_config_add_file(nullptr);
    vn_config_add_file("second.conf");
    vn_config_parse_files();
    EXPECT_EQ(port_, 5);
    EXPECT_STREQ(name_, "second");
}

TEST_F(ReaderTest, CompleteDumpHoldsRawAndProcessedLines)
{
    setenv("VNTK_CONFIG_DUMP", "Complete", 1);
    setenv("VNTK_CONFIG_DUMP_DIR", root_.file("var").c_str(), 1);
    root_.write("etc/app.conf", "define P 7\nport ${P}  # seven\n");
    vn_config_add_file("app.conf");
    vn_config_parse_files();
    EXPECT_EQ(port_, 7);
    EXPECT_EQ(root_.read("var/app.conf"), "# etc/app.conf:1 << define P 7\ndefine P 7\n"
                                          "# etc/app.conf:2 << port ${P}  # seven\nport 7  # seven\n");
}

TEST_F(ReaderTest, DumpNeverOverwritesTheFileBeingRead)
{
    setenv("VNTK_CONFIG_DUMP", "processed", 1);
    setenv("VNTK_CONFIG_DUMP_DIR", root_.path().c_str(), 1);
    root_.write("app.conf", "port 8\n");
    vn_config_add_file("app.conf");
    CaptureStderr();
    vn_config_parse_files();
    EXPECT_EQ(GetCapturedStderr(),
              "Not writing configuration dump " + root_.path() + "/app.conf: it is the file being read\n");
    EXPECT_EQ(port_, 8);
    EXPECT_EQ(root_.read("app.conf"), "port 8\n");
}

TEST_F(ReaderTest, VariablesAndMacrosExpandBeforeTheLineIsRead)
{
    EXPECT_EQ(read("define P 5\nport ${P}\ndefmacro m(v, w)\nport ${v}\nname x${w}\nendmacro\nm(8)\nname ${ccd}\n"),
              "");
    EXPECT_EQ(port_, 8);
    char real[PATH_MAX];
    ASSERT_NE(realpath(root_.path().c_str(), real), nullptr);
    EXPECT_STREQ(name_, real);
}

TEST_F(ReaderTest, UndefinedVariableWarningFollowsTheLastOptionLine)
{
    // Line 4 expands while the inactive line 2 is the last option line; line
    // 4 itself is active, so line 5 is warned about.
    EXPECT_EQ(read("if 0\nport 1\nendif\nport 3${NOSUCH}\nport 4${NOSUCH2}\n"),
              "main.conf:5 Undefined variable: 'NOSUCH2'; assuming empty string\n");
    EXPECT_EQ(port_, 4);
}

TEST_F(ReaderTest, ConditionsInAMacroBodyAreDecidedAtEachCall)
{
    EXPECT_EQ(read("defmacro peer(v)\nadd-peer\nif ${v} == 1\nport 10\nelse\nport 20\nendif\nend-peer\n"
                   "endmacro\npeer(1)\npeer(2)\npeer(1)\n"),
              "");
    ASSERT_EQ(peer_count_, 3);
    EXPECT_EQ(peers_[0].port, 10);
    EXPECT_EQ(peers_[1].port, 20);
    EXPECT_EQ(peers_[2].port, 10);
}

TEST_F(ReaderTest, ExpansionMessagesNameTheFileAndLineOfTheCall)
{
    root_.write("inc.conf", "\nbad()\nport ${EVAL:1+}\n");
    std::string messages = read("defmacro bad()\nbogus ${missing}\nendmacro\ninclude-file inc.conf\n"
                                "port 2${EVAL:2*3}\n");
    EXPECT_EQ(messages.substr(0, messages.find("inc.conf:3 Bad expression")),
              "inc.conf:2 Undefined variable: 'missing'; assuming empty string\n"
              "inc.conf:2 Unknown option: bogus\n");
    EXPECT_NE(messages.find("inc.conf:3 Bad expression: 1+"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("main.conf"), std::string::npos) << messages;
    EXPECT_EQ(port_, 26);
}

TEST_F(ReaderTest, PercentMappingsStayWithinALine)
{
    char text[1024];
    std::string pattern = repeat("%a", 511) + "%";
    snprintf(text, sizeof text, "%s", pattern.c_str());
    vn_config_percent_mappings_r(text);
    EXPECT_EQ(strlen(text), 1023u);
    snprintf(text, sizeof text, "x%%qy%%");
    vn_config_percent_mappings_r(text);
    EXPECT_STREQ(text, "x%qy%");
}

} // namespace
