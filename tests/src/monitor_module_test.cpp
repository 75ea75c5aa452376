// The monitoring module loaded for real: a recording module built in the test
// tree, loaded by morvask runs and by a full start-up in this process whose
// loop then runs "monitor-method" commands sent through the command pipe.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr double kBoundSeconds = 30;
const std::string kModuleName = "monitor_recorder.so";

std::string module_dir()
{
    return MONITOR_MODULE_DIR;
}

vntest::RunResult run_morvask_on(const vntest::TempRoot &root, const std::string &conf,
                                 std::map<std::string, std::string> env = {})
{
    root.write("morvask.conf", "application-name morv\n" + conf);
    env["VANTRIX_MONITOR_RECORD"] = root.file("calls");
    return vntest::run_morvask({"--application-root", root.path()}, root.path(), env);
}

bool has_line(const std::string &text, const std::string &line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(MonitorModuleLoad, MorvaskHandsTheModuleItsTemplatesButNeverActivatesIt)
{
    vntest::TempRoot root;
    vntest::RunResult result = run_morvask_on(root, "monitor-moddir " + module_dir() + "\nmonitor-module " + kModuleName + "\n");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    std::string calls = root.read("calls");
    EXPECT_TRUE(calls.rfind("init morv " + kModuleName + " log\n", 0) == 0) << calls;
    EXPECT_TRUE(has_line(calls, "template SERVERTYPE 2")) << calls;
    EXPECT_TRUE(has_line(calls, "create SERVERTYPE SINGLETON Server Type | Information about the Server Type"));
    EXPECT_TRUE(has_line(calls, "template morv.server.system 12"));
    EXPECT_TRUE(has_line(calls, "update morv.server.vantrix SINGLETON vantrix-version 5.2.0"));
    EXPECT_EQ(calls.find("activate"), std::string::npos);
}

TEST(MonitorModuleLoad, ModuleIsFoundThroughEachFormOfItsName)
{
    struct Case {
        const char *what;
        std::string conf;
    } cases[] = {
        {"root directory", "monitor-module " + kModuleName + "\n"}, // the default "%r/lib"
        {"named directory", "monitor-moddir " + module_dir() + "\nmonitor-module " + kModuleName + "\n"},
        {"absolute module", "monitor-moddir /nonexistent\nmonitor-module " + module_dir() + "/" + kModuleName + "\n"},
        {"deprecated name", "monitor-moddir " + module_dir() + "\nmonitor-plugin " + kModuleName + "\n"},
    };
    for (const Case &c : cases) {
        vntest::TempRoot root;
        std::filesystem::create_directories(root.file("lib"));
        std::filesystem::copy_file(module_dir() + "/" + kModuleName, root.file("lib/" + kModuleName));
        vntest::RunResult result = run_morvask_on(root, c.conf);
        EXPECT_EQ(result.exit_code, 0) << c.what << ": " << result.err;
        EXPECT_TRUE(has_line(root.read("calls"), "template SERVERTYPE 2")) << c.what;
    }
}

TEST(MonitorModuleLoad, ModuleThatCannotBeUsedEndsStartUpWithCode1)
{
    std::string library = VANTRIX_LIBRARY_FILE;
    std::string library_dir = std::filesystem::path(library).parent_path();
    struct Case {
        std::string conf;
        std::string message;
    } cases[] = {
        {"monitor-module nosuch.so\n", "morv: Error opening monitor module nosuch.so\n"},
        // A library without "monitor_init".
        {"monitor-moddir " + library_dir + "\nmonitor-module " + library + "\n",
         "morv: Error opening monitor module " + library_dir + "/ ("},
    };
    for (const Case &c : cases) {
        vntest::TempRoot root;
        vntest::RunResult result = run_morvask_on(root, c.conf);
        EXPECT_EQ(result.exit_code, 1) << c.conf;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
}

TEST(MonitorModuleLoad, ModuleWhoseInitFailsGetsNoFurtherCalls)
{
    vntest::TempRoot root;
    vntest::RunResult result =
        run_morvask_on(root, "monitor-moddir " + module_dir() + "\nmonitor-module " + kModuleName + "\n",
                       {{"VANTRIX_MONITOR_FAIL_INIT", "1"}});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(root.read("calls"), "init morv " + kModuleName + " log\n");
}

// ---- A running process ----

std::vector<std::string> method_words;

vn_monitor_t *echo_method(const char *tmpl, const char *key, const char *property, int argc, char **argv)
{
    method_words.assign(argv, argv + argc);
    return vn_monitor_new_string(tmpl, key, property, "done");
}

int stop_loop(int, char **, int, void *)
{
    vn_stop();
    return 1;
}

class MonitorModuleRun : public ::testing::Test {
protected:
    void SetUp() override { setenv("VANTRIX_MONITOR_RECORD", root.file("calls").c_str(), 1); }

    // Starts the runtime on `conf` in this process.
    void start(const std::string &conf)
    {
        root.write("app.conf", "application-name live\nmonitor-moddir " + module_dir() + "\nmonitor-module " +
                                   kModuleName + "\n" + conf);
        ASSERT_GE(vntest::start_runtime("live", root.file("app.conf"), root.path()), 0);
        vn_add_udp_event("stop", stop_loop, 0, nullptr);
    }

    // Sends the commands, then a stop command of its own (a repeated text
    // would not run again within the second), and runs the loop until it is
    // handled.
    void run_commands(const std::vector<std::string> &commands)
    {
        for (const std::string &command : commands)
            ASSERT_EQ(vn_udpsignal_send(command.c_str()), 0);
        ASSERT_EQ(vn_udpsignal_send(("stop " + std::to_string(++stops)).c_str()), 0);
        vn_timed_event_t *bound = vn_add_timed_event(0, kBoundSeconds, [](int, int, void *) {
            ADD_FAILURE() << "the loop never saw its stop command";
            vn_stop();
            return 0;
        }, 0, nullptr);
        vn_loop();
        vn_del_timed_event(bound);
    }

    std::string calls() const { return root.read("calls"); }
    std::string event_log() const { return root.read("var/event-live.log"); }

    vntest::TempRoot root;
    int stops = 0;
};

TEST_F(MonitorModuleRun, LoopActivatesTheModuleOnceAsTypeVantrix)
{
    start("");
    run_commands({});
    run_commands({});
    std::string recorded = calls();
    EXPECT_TRUE(has_line(recorded, "update SERVERTYPE SINGLETON server-type [vantrix]")) << recorded;
    EXPECT_TRUE(has_line(recorded, "update SERVERTYPE SINGLETON root [live]"));
    EXPECT_EQ(recorded.find("activate"), recorded.rfind("activate"));
    EXPECT_NE(recorded.find("activate"), std::string::npos);
}

TEST_F(MonitorModuleRun, ServerTypesAddedByTheApplicationReplaceTheDefault)
{
    start("");
    vn_monitor_add_server_type("pricing", "eu");
    vn_monitor_add_server_type("quotes", nullptr);
    run_commands({});
    std::string recorded = calls();
    EXPECT_TRUE(has_line(recorded, "update SERVERTYPE SINGLETON server-type [pricing,quotes]")) << recorded;
    EXPECT_TRUE(has_line(recorded, "update SERVERTYPE SINGLETON root [eu,live]"));
    EXPECT_EQ(recorded.find("server-type [vantrix"), std::string::npos);
}

TEST_F(MonitorModuleRun, MonitorMethodCommandsRunGrantedMethodsAndMaskThePassword)
{
    start("add-monuser\nuser ops\npass s3cret-pw\nend-monuser\n");
    vn_monitor_add_template_member("T", "echo", "Echo", VN_MONITOR_STRING | VN_MONITOR_METHOD, nullptr,
                                   reinterpret_cast<void *>(echo_method));
    run_commands({"monitor-method ops s3cret-pw T k echo a b"});
    EXPECT_EQ(method_words, (std::vector<std::string>{"echo", "a", "b"}));
    method_words.clear();
    run_commands({"monitor-method ops s3cret-pw T k2 echo"});
    EXPECT_EQ(method_words, (std::vector<std::string>{"echo"}));
    method_words.clear();
    run_commands({"monitor-method ops wrong-pw T k echo x", "monitor-method ops s3cret-pw T",
                  "monitor-method ops s3cret-pw T k missing x"});
    EXPECT_TRUE(method_words.empty());

    std::string log = event_log();
    for (const char *line : {
             "Processing UDP Command 'monitor-method' with arguments 'ops ******** T k echo a b'\n",
             "Granting monitoring access to user <ops> pass <********> from 127.0.0.1\n",
             "NOTIFY: UDP calling method <T>.<k>.<echo> with arguments {<a><b>}\n",
             "NOTIFY: UDP calling method <T>.<k2>.<echo> with arguments {}\n",
             "Denying monitoring access to user <ops> pass <********> from 127.0.0.1\n",
             "WARN: Too few (4) arguments given for monitor-method udp command\n",
             "NOTIFY: UDP could not execute method <T>.<k>.<missing> with arguments: {<x>}\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find("s3cret-pw"), std::string::npos);
    EXPECT_EQ(log.find("wrong-pw"), std::string::npos);
}

} // namespace
