// Log cycling on real files in a temporary root: size limits, suffixes,
// devices and commands, the cycle timers on the init thread's loop, and the
// level commands that arrive through the UDP command pipe.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kBoundSeconds = 30; // a loop still running then has missed its event
constexpr time_t kTuesdayNoon = 1704196800; // 2024-01-02 12:00 UTC
constexpr time_t kSundayNoon = 1704628800;  // 2024-01-07 12:00 UTC

int give_up(int, int, void *)
{
    ADD_FAILURE() << "the loop never saw what it waited for";
    vn_stop();
    return 0;
}

void run_loop()
{
    vn_timed_event_t *bound = vn_add_timed_event(0, kBoundSeconds, give_up, 0, nullptr);
    vn_loop();
    vn_del_timed_event(bound);
}

std::vector<vn_log_t *> cycled;

void record_cycle(vn_log_t *log)
{
    cycled.push_back(log);
}

void stop_on_cycle(vn_log_t *log)
{
    record_cycle(log);
    vn_stop();
}

// Gives a log file a creation marker of `when`, as a log begun then would have.
void begin_file(const vntest::TempRoot &root, const std::string &name, time_t when)
{
    root.write("var/" + name, "");
    std::string marker = root.write("var/." + name, "");
    struct timeval times[2] = {{when, 0}, {when, 0}};
    utimes(marker.c_str(), times);
}

off_t size_of(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

class LogCycleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        cycled.clear();
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_log_config_init();
        _vn_udpsignal_config_init();
        vn_config_set_option("log-dir", root.file("var").c_str());
    }

    // Applies `options` and a command line, then starts the loop, the logs
    // and the command pipe as start-up does.
    void start(const std::map<std::string, std::string> &options = {}, std::vector<std::string> args = {})
    {
        for (const auto &[name, value] : options)
            vn_config_set_option(name.c_str(), value.c_str());
        args.insert(args.begin(), "cycletest");
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        vn_config_parse_args(static_cast<int>(argv.size()), argv.data(), nullptr);
        record.application_name = app_name.data();
        _vn_event_init(&record);
        ASSERT_EQ(_vn_event_thread_init(&record, 0, 0), 1);
        _vn_log_init(&record);
    }

    // Logs live until they are freed, their cycle timers too: a log left
    // to the next test would cycle there.
    void TearDown() override
    {
        for (vn_log_t *log : made)
            vn_free_log(log);
    }

    // The log, freed after the test.
    vn_log_t *for_test(vn_log_t *log)
    {
        if (log != nullptr)
            made.push_back(log);
        return log;
    }

    std::string var(const std::string &name) const { return root.file("var/" + name); }

    vntest::TempRoot root;
    std::string app_name = "cycletest";
    vn_init_t record{};
    std::vector<vn_log_t *> made;
};

TEST_F(LogCycleTest, SizeLimitKeepsTheFileUntilItIsReached)
{
    start({{"log-maxsize", "1000"}, {"log-cycle-period", "0"}});
    vn_log_t *log = for_test(vn_new_log("sized", "sized.log"));
    ASSERT_NE(log, nullptr);
    vn_log_cycled_callback(log, record_cycle);
    std::string bytes(999, 'x');
    vn_write(log, bytes.data(), bytes.size());
    EXPECT_EQ(vn_cycle_log(log, ".old", -1), -1);
    EXPECT_EQ(size_of(var("sized.log")), 999);
    EXPECT_TRUE(cycled.empty());

    vn_write(log, "x", 1);
    EXPECT_EQ(vn_cycle_log(log, ".old", -1), 0);
    EXPECT_EQ(size_of(var("sized.old")), 1000);
    EXPECT_EQ(size_of(var("sized.log")), 0);
    EXPECT_EQ(cycled.size(), 1u);
    vn_printf(log, "after\n");
    EXPECT_EQ(root.read("var/sized.log"), "after\n");
}

TEST_F(LogCycleTest, FileThatCannotBeMovedIsKeptAndARemovedOneIsBegunAfresh)
{
    start({{"log-cycle-period", "0"}});
    vn_log_t *log = for_test(vn_new_log("stuck", "stuck.log"));
    ASSERT_NE(log, nullptr);
    vn_log_cycled_callback(log, record_cycle);
    vn_printf(log, "before\n");
    EXPECT_EQ(vn_cycle_log(log, "/absent/old", -1), -1);
    EXPECT_TRUE(cycled.empty());
    vn_printf(log, "after\n");
    EXPECT_EQ(root.read("var/stuck.log"), "before\nafter\n");

    // A file removed behind the log's back is begun afresh.
    ASSERT_EQ(unlink(var("stuck.log").c_str()), 0);
    EXPECT_EQ(vn_cycle_log(log, ".old", -1), 0);
    vn_printf(log, "fresh\n");
    EXPECT_EQ(root.read("var/stuck.log"), "fresh\n");
}

TEST_F(LogCycleTest, DefaultSuffixIsTheWeekdayTheFileWasBegun)
{
    struct Case {
        const char *name;
        time_t begun;
        const char *moved;
    };
    const Case cases[] = {{"tue.log", kTuesdayNoon, "tue.2"}, {"sun.log", kSundayNoon, "sun.7"}};
    for (const Case &c : cases)
        begin_file(root, c.name, c.begun);
    start({{"log-cycle-period", "0"}});
    for (const Case &c : cases) {
        vn_log_t *log = for_test(vn_new_log(c.name, c.name));
        ASSERT_NE(log, nullptr);
        vn_printf(log, "first file\n");
        EXPECT_EQ(vn_cycle_log(log, nullptr, -1), 0);
        EXPECT_EQ(root.read(std::string("var/") + c.moved), "first file\n") << c.name;
        // The next file is begun now, which its marker records.
        EXPECT_GT(vn_file_return_creation_time(var(c.name).c_str()), time(nullptr) - 60) << c.name;
    }
}

TEST_F(LogCycleTest, ExplicitSuffixGoesToEveryLogWithItsPatterns)
{
    start({{"log-cycle-period", "0"}});
    vn_log_t *plain = for_test(vn_new_log("plain", "plain.log"));
    vn_log_t *other = for_test(vn_new_level_log("other", "other.txt", nullptr));
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(other, nullptr);
    vn_cycle_all_logs(".v%M.%m-old", 0);
    EXPECT_TRUE(root.exists("var/plain.v5.2-old"));
    EXPECT_TRUE(root.exists("var/other.txt.v5.2-old"));
}

TEST_F(LogCycleTest, DevicesAreReopenedInPlaceAndCommandsAreNeverCycled)
{
    start({{"log-cycle-period", "0"}});
    vn_log_t *device = for_test(vn_new_log("device", "/dev/null"));
    std::string sink = var("sink.txt");
    vn_log_t *piped = for_test(vn_new_log("piped", ("|tee " + sink).c_str()));
    ASSERT_NE(device, nullptr);
    ASSERT_NE(piped, nullptr);
    vn_log_cycled_callback(device, record_cycle);
    vn_log_cycled_callback(piped, record_cycle);

    EXPECT_EQ(vn_cycle_log(device, ".old", 0), 0);
    EXPECT_EQ(vn_cycle_log(piped, ".old", 0), -1);
    ASSERT_EQ(cycled.size(), 1u);
    EXPECT_EQ(cycled[0], device);
    EXPECT_EQ(vn_write(device, "x", 1), 1);
    EXPECT_FALSE(root.exists("var/sink.txt.old"));
    EXPECT_NE(access("/dev/null.old", F_OK), 0);
}

TEST_F(LogCycleTest, RelativeLogDirectoryIsNotPutInFrontTwice)
{
    ASSERT_EQ(chdir(root.path().c_str()), 0);
    vn_config_set_option("log-dir", "var");
    start({{"log-cycle-period", "0"}});
    vn_log_t *log = for_test(vn_new_log("rel", "rel.log"));
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(vn_cycle_log(log, ".old", 0), 0);
    EXPECT_TRUE(root.exists("var/rel.old"));
    EXPECT_FALSE(root.exists("var/var"));
}

TEST_F(LogCycleTest, FileOlderThanAPeriodIsCycledAsSoonAsTheLoopRuns)
{
    begin_file(root, "stale.log", time(nullptr) - 3 * 86400);
    start();
    vn_log_t *log = for_test(vn_new_log("stale", "stale.log"));
    ASSERT_NE(log, nullptr);
    vn_printf(log, "old line\n");
    vn_log_cycled_callback(log, stop_on_cycle);
    run_loop();
    ASSERT_EQ(cycled.size(), 1u);
    EXPECT_EQ(size_of(var("stale.log")), 0);
}

TEST_F(LogCycleTest, FreedLogHandsItsRecordsTimerToAnotherLogOfTheRecord)
{
    begin_file(root, "first.log", time(nullptr) - 3 * 86400);
    begin_file(root, "second.log", time(nullptr) - 3 * 86400);
    start({}, {"--add-log", "--name=shared", "--period=60", "--time=0", "--end-log"});
    vn_log_t *first = vn_new_log("shared", "first.log");
    vn_log_t *second = for_test(vn_new_log("shared", "second.log"));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    vn_free_log(first); // its timer would otherwise cycle a freed log
    vn_log_cycled_callback(second, stop_on_cycle);
    run_loop();
    ASSERT_EQ(cycled.size(), 1u);
    EXPECT_EQ(cycled[0], second);
}

TEST_F(LogCycleTest, NegativePeriodsAreRaisedToZeroAndArmNoTimer)
{
    // A plain timer of a negative period would be due again at once, forever.
    start({{"log-cycle-period", "-5"}, {"log-cycle-time", "-1"}},
          {"--add-log", "--name=own", "--period=-5", "--time=-1", "--end-log"});
    char value[32];
    EXPECT_STREQ(_vn_config_get_option_value("log-cycle-period", value, sizeof value), "0");
    vn_log_t *global = for_test(vn_new_log("global", "global.log"));
    vn_log_t *own = for_test(vn_new_log("own", "own.log"));
    ASSERT_NE(global, nullptr);
    ASSERT_NE(own, nullptr);
    // Without a timer the loop sees only the stop.
    vn_log_cycled_callback(global, record_cycle);
    vn_log_cycled_callback(own, record_cycle);
    vn_add_timed_event(0, 0.2, [](int, int, void *) { vn_stop(); return 0; }, 0, nullptr);
    vn_loop();
    EXPECT_TRUE(cycled.empty());
}

int send_level_commands(int, int, void *)
{
    vn_udpsignal_send("log-level DEBUG");
    vn_udpsignal_send("debug NOPE");
    vn_udpsignal_send("LOG-LEVEL a b");
    vn_udpsignal_send("stop");
    return 0;
}

int stop_command(int, char **, int, void *)
{
    vn_stop();
    return 1;
}

TEST_F(LogCycleTest, LevelCommandsChangeTheEventLogsLevelAndReportMistakes)
{
    start({{"log-cycle-period", "0"}});
    record.log = vn_new_level_log("event_log", "event.log", nullptr);
    ASSERT_NE(record.log, nullptr);
    _vn_udpsignal_init(&record);
    vn_add_udp_event("stop", stop_command, 0, nullptr);
    vn_add_timed_event(0, 0, send_level_commands, 0, nullptr);
    run_loop();

    EXPECT_EQ(vn_log_get_level(record.log), 7);
    std::string text = root.read("var/event.log");
    for (const char *line : {"NOTIFY: Logging level switched to DEBUG\n",
                             "ERROR: Incorrect parameter for log-level udp command - <NOPE>\n",
                             "WARN: Incorrect number (3) of arguments given for log-level udp command\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

// ---- The logging and packetLog elements ----

// An element's attributes as "name=value", then its pattern child's
// patternString as "pattern=value"; {"none"} without the element.
std::vector<std::string> element_of(const std::string &file, const char *element)
{
    xmlDocPtr doc = xmlReadFile(file.c_str(), nullptr, 0);
    if (doc == nullptr)
        return {"unreadable"};
    std::vector<std::string> found = {"none"};
    auto add_attributes = [&found](xmlNodePtr node, const std::string &prefix) {
        for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
            xmlChar *value = xmlNodeGetContent(attr->children);
            found.push_back(prefix + reinterpret_cast<const char *>(attr->name) + "=" +
                            reinterpret_cast<const char *>(value));
            xmlFree(value);
        }
    };
    for (xmlNodePtr node = xmlDocGetRootElement(doc)->children; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE || xmlStrcmp(node->name, BAD_CAST element) != 0)
            continue;
        found.clear();
        add_attributes(node, "");
        for (xmlNodePtr child = node->children; child != nullptr; child = child->next)
            if (child->type == XML_ELEMENT_NODE)
                add_attributes(child, std::string(reinterpret_cast<const char *>(child->name)) + ".");
    }
    xmlFreeDoc(doc);
    return found;
}

TEST(LogXml, MorvaskWritesTheEventLogsElementInBothFormats)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> expected; // "%l" stands for the event log's file name
    };
    const Case cases[] = {
        {{"--xml-config-format", "5.0", "--log-level", "DEBUG", "--log-maxsize", "500", "--log-cycle-period", "60"},
         {"default=true", "useParentHandlers=false", "level=FINE", "maxSize=500", "cyclePeriod=60", "cycleTime=240",
          "pattern.patternString=%l"}},
        {{"--xml-config-format", "4.4", "--log-level", "ERROR", "--log-use-parent-handlers", "--log-maxsize", "500"},
         {"default=true", "defaultFileName=%l", "useParentHandlers=true", "level=INFO"}},
    };
    for (const Case &c : cases) {
        vntest::TempRoot app;
        std::vector<std::string> args = {"--application-root", app.path(), "--application-name", "feed"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        vntest::RunResult result = vntest::run_morvask(args, app.path());
        ASSERT_EQ(result.exit_code, 0) << result.err;
        std::vector<std::string> expected;
        for (std::string item : c.expected) {
            size_t mark = item.find("%l");
            if (mark != std::string::npos)
                item.replace(mark, 2, app.file("var/feed.log"));
            expected.push_back(item);
        }
        EXPECT_EQ(element_of(app.file("Vantro.xml"), "logging"), expected) << c.args[1];
    }
}


TEST_F(LogCycleTest, PacketLogElementNamesItsFileOrSaysThereIsNone)
{
    start({{"log-maxsize", "2048"}});
    vntest::install_libxml();
    std::string file = root.file("none.xml");
    vn_xml_write_config(file.c_str(), nullptr);
    EXPECT_EQ(element_of(file, "packetLog"), std::vector<std::string>{"none"});

    vn_log_t *packets = vn_new_headed_log("packet_log", "packets.log", "header");
    ASSERT_NE(packets, nullptr);
    file = root.file("packets.xml");
    vn_xml_write_config(file.c_str(), nullptr);
    std::vector<std::string> expected = {"maxSize=2048", "cyclePeriod=1440", "cycleTime=240",
                                         "pattern.patternString=" + var("packets.log")};
    EXPECT_EQ(element_of(file, "packetLog"), expected);

    vn_free_log(packets);
    ASSERT_NE(vn_new_headed_log("packet_log", "/dev/null", "header"), nullptr);
    file = root.file("null.xml");
    vn_xml_write_config(file.c_str(), nullptr);
    EXPECT_EQ(element_of(file, "packetLog"), std::vector<std::string>{"noPacketLog=true"});
}

// ---- The logging template's methods and lines ----

std::string answer_text(vn_monitor_t *value)
{
    std::string text = value != nullptr && value->data.c != nullptr ? value->data.c : "(none)";
    vn_monitor_free(value);
    return text;
}

std::vector<std::string> lines_of(vn_monitor_t *value)
{
    std::vector<std::string> lines;
    if (value != nullptr && (value->datatype & VN_MONITOR_ARRAY) != 0)
        for (int i = 0; i < value->data.array.size; i++)
            lines.emplace_back(value->data.array.data.c[i]);
    vn_monitor_free(value);
    return lines;
}

void stop_on_level(vn_log_t *, int)
{
    vn_stop();
}

TEST_F(LogCycleTest, MonitoringMethodsCycleAndSetTheLevelOnTheInitThread)
{
    start({{"log-cycle-period", "0"}, {"log-max-history", "2"}});
    vn_log_t *early = for_test(vn_new_level_log("early", "early.log", stop_on_level));
    ASSERT_NE(early, nullptr);
    _vn_udpsignal_init(&record);
    _vn_log_monitor_config(&record);
    vn_log_t *binary = vn_new_headed_log("packets", "packets.log", "header");
    ASSERT_NE(binary, nullptr);
    const std::string tmpl = "cycletest.server.logging";
    char method[] = "set-debug-level", level[] = "DEBUG";
    char *two[] = {method, level};

    EXPECT_EQ(lines_of(vnmon_get_active(tmpl.c_str(), "early", "loglines")),
              std::vector<std::string>{"No loglines available"});
    EXPECT_EQ(answer_text(vnmon_call_method(tmpl.c_str(), "early", "set-debug-level", 1, two)), "-1");
    EXPECT_EQ(answer_text(vnmon_call_method(tmpl.c_str(), "early", "set-debug-level", 2, two)), "0");
    run_loop(); // the level command reaches the log through the command pipe
    EXPECT_EQ(vn_log_get_level(early), 7);

    vn_log_cycled_callback(early, stop_on_cycle);
    EXPECT_EQ(answer_text(vnmon_call_method(tmpl.c_str(), "nosuch", "cycle", 1, two)), "Unknown logfile");
    EXPECT_EQ(answer_text(vnmon_call_method(tmpl.c_str(), "early", "cycle", 1, two)), "Logfile cycled");
    run_loop();
    EXPECT_EQ(cycled, std::vector<vn_log_t *>{early});

    vn_printf(early, "one\n");
    vn_printf(early, "two\n");
    vn_printf(early, "three\n");
    EXPECT_EQ(lines_of(vnmon_get_active(tmpl.c_str(), "early", "loglines")),
              (std::vector<std::string>{"two", "three"}));
    EXPECT_EQ(lines_of(vnmon_get_active(tmpl.c_str(), "packets", "loglines")),
              std::vector<std::string>{"Binary logfile - no loglines available"});
    EXPECT_EQ(lines_of(vnmon_get_active(tmpl.c_str(), "nosuch", "loglines")),
              std::vector<std::string>{"Unknown logname"});
}

// The getters run on the monitoring module's thread while the init thread
// makes and frees logs of the name they ask for.
TEST_F(LogCycleTest, GettersOnAnotherThreadMeetLogsBeingMadeAndFreed)
{
    start({{"log-cycle-period", "0"}});
    _vn_log_monitor_config(&record);
    const std::string tmpl = "cycletest.server.logging";
    constexpr int kRounds = 2000;
    constexpr int kMaxCycleCalls = 50; // each leaves a request in the cycle pipe, which nothing reads here
    std::atomic<bool> done{false};
    std::vector<std::vector<std::string>> odd_answers;
    std::thread monitoring([&] {
        const std::vector<std::vector<std::string>> expected = {
            {"Unknown logname"}, {"No loglines available"}, {"made"}};
        for (int calls = 0; !done.load(); calls++) {
            std::vector<std::string> lines = lines_of(vnmon_get_active(tmpl.c_str(), "churn", "loglines"));
            if (std::find(expected.begin(), expected.end(), lines) == expected.end())
                odd_answers.push_back(lines);
            if (calls < kMaxCycleCalls)
                answer_text(vnmon_call_method(tmpl.c_str(), "churn", "cycle", 0, nullptr));
        }
    });
    for (int round = 0; round < kRounds; round++) {
        vn_log_t *log = vn_new_level_log("churn", "churn.log", nullptr);
        if (log == nullptr) {
            ADD_FAILURE() << "no log made in round " << round;
            break;
        }
        vn_printf(log, "made\n");
        vn_free_log(log);
    }
    done.store(true);
    monitoring.join();
    EXPECT_TRUE(odd_answers.empty()) << odd_answers.size() << " answers were neither a log's lines nor unknown";
}

} // namespace
