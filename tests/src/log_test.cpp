// Logs: real files, devices and commands in a temporary root, the exact line
// format under several time zones, levels and their copies, and the ring of
// last lines.
#include "test_support.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <syslog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

// A stamped line: "YYYY/MM/DD-hh:mm:ss.mmm +hhmm: " and the rest; 'd' marks
// a digit, 's' the offset's sign.
constexpr const char *kStampShape = "dddd/dd/dd-dd:dd:dd.ddd sdddd: ";
constexpr size_t kStampBytes = 31;
constexpr size_t kTimeBytes = 19;

bool fits_shape(const std::string &line)
{
    if (line.size() < kStampBytes)
        return false;
    for (size_t i = 0; i < kStampBytes; i++) {
        char want = kStampShape[i];
        char have = line[i];
        bool ok = want == 'd' ? isdigit(static_cast<unsigned char>(have)) != 0
                  : want == 's' ? have == '+' || have == '-'
                                : have == want;
        if (!ok)
            return false;
    }
    return true;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

struct StampedLine {
    std::string time;
    std::string offset;
    std::string rest;
};

StampedLine parse_stamped(const std::string &line)
{
    if (!fits_shape(line)) {
        ADD_FAILURE() << "not a stamped line: " << line;
        return {};
    }
    return {line.substr(0, kTimeBytes), line.substr(24, 5), line.substr(kStampBytes)};
}

// Read from the clock the log reads: time() follows a coarser clock that can
// still show the previous second just after gettimeofday has moved on.
std::string local_now()
{
    struct timeval stamp;
    gettimeofday(&stamp, nullptr);
    time_t now = stamp.tv_sec;
    struct tm local;
    localtime_r(&now, &local);
    char text[64];
    strftime(text, sizeof text, "%Y/%m/%d-%T", &local);
    return text;
}

void set_zone(const char *zone)
{
    setenv("TZ", zone, 1);
    tzset();
}

std::vector<std::string> history_of(vn_log_t *log)
{
    int count = 0;
    char **lines = _vn_log_history_lines(log, &count);
    std::vector<std::string> copy;
    for (int i = 0; i < count; i++) {
        copy.emplace_back(lines[i]);
        vn_free(lines[i]);
    }
    vn_free(lines);
    return copy;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { set_zone("UTC0"); }

    // Registers the log options, applies `options` over a log directory in
    // the root, and starts the module as start-up does.
    void start(const std::map<std::string, std::string> &options = {})
    {
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_log_config_init();
        vn_config_set_option("log-dir", root.file("var").c_str());
        for (const auto &[name, value] : options)
            vn_config_set_option(name.c_str(), value.c_str());
        record.application_name = app_name.data();
        _vn_log_init(&record);
    }

    std::string path(const std::string &name) const { return root.file("var/" + name); }
    std::string read(const std::string &name) const { return root.read("var/" + name); }

    vntest::TempRoot root;
    std::string app_name = "logtest";
    vn_init_t record{};
};

TEST_F(LogTest, OffsetFromGmtKeepsItsSignAndMinutes)
{
    struct Case {
        const char *zone; // POSIX TZ: the offset is written west-positive
        const char *offset;
    };
    const Case cases[] = {
        {"<-0030>0:30", "-0030"}, {"<+0530>-5:30", "+0530"}, {"<-0530>5:30", "-0530"},
        {"UTC0", "+0000"},        {"<+0100>-1", "+0100"},
    };
    start();
    for (const Case &zone : cases) {
        SCOPED_TRACE(zone.zone);
        set_zone(zone.zone);
        std::string name = std::string("zone") + zone.offset + ".log";
        vn_log_t *log = vn_new_level_log("zone", name.c_str(), nullptr);
        ASSERT_NE(log, nullptr);
        std::string before = local_now();
        vn_log(log, 6, "hello %d\n", 5);
        std::string after = local_now();
        std::vector<std::string> lines = lines_of(read(name));
        ASSERT_EQ(lines.size(), 1u);
        StampedLine line = parse_stamped(lines[0]);
        EXPECT_EQ(line.offset, zone.offset);
        EXPECT_EQ(line.rest, "INFO: hello 5");
        // The date and time are local to the zone.
        EXPECT_LE(before, line.time);
        EXPECT_GE(after, line.time);
        vn_free_log(log);
    }
}

TEST_F(LogTest, TimestampIsTheHeadOfTheLine)
{
    set_zone("<-0030>0:30");
    char stamp[64];
    int length = _vn_log_timestamp(stamp, sizeof stamp);
    std::string text(stamp);
    EXPECT_EQ(length, static_cast<int>(text.size()));
    StampedLine line = parse_stamped(text);
    EXPECT_EQ(line.offset, "-0030");
    EXPECT_EQ(line.rest, "");
}

// Levels and flags: what reaches the file, and with which prefix.
TEST_F(LogTest, LevelNumberAndFlagsDecideTheLine)
{
    struct Case {
        int level;
        const char *line; // empty: nothing written
    };
    const Case cases[] = {
        {0, "CONFIG: m"},        {1, "m"},           {2, "CRIT: m"},
        {3, "ERROR: m"},         {6, "INFO: m"},     {7, ""},
        {9, ""},                 {2 | 0x400, "CRIT: m"}, {7 | 0x80, ""},
        {5 | 0x800, "WARN: m"},  {4 | 0x80, "NOTIFY: m"},
    };
    start();
    for (const Case &one : cases) {
        SCOPED_TRACE(one.level);
        std::string name = "level" + std::to_string(one.level) + ".log";
        vn_log_t *log = vn_new_level_log("levels", name.c_str(), nullptr);
        ASSERT_NE(log, nullptr);
        vn_log(log, one.level, "m\n");
        std::vector<std::string> lines = lines_of(read(name));
        if (*one.line == '\0') {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(parse_stamped(lines[0]).rest, one.line);
        }
        vn_free_log(log);
    }
}

std::vector<std::pair<int, std::string>> hooked;

void record_message(vn_log_t *, int level, const char *fmt, va_list ap)
{
    char text[256];
    vsnprintf(text, sizeof text, fmt, ap);
    hooked.emplace_back(level, text);
}

TEST_F(LogTest, MessageHookSeesEveryMessageWithItsFlagsBeforeTheLevelTest)
{
    start();
    vn_log_t *log = vn_new_level_log("hooked", "hooked.log", nullptr);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(vn_log_set_message_cb(log, record_message), nullptr);
    vn_log(log, 7, "quiet %s\n", "detail");
    vn_log(log, 3 | 0x400, "loud %d\n", 3);
    ASSERT_EQ(hooked.size(), 2u);
    EXPECT_EQ(hooked[0], std::make_pair(7, std::string("quiet detail\n")));
    EXPECT_EQ(hooked[1], std::make_pair(3 | 0x400, std::string("loud 3\n")));
    EXPECT_EQ(lines_of(read("hooked.log")).size(), 1u);
    EXPECT_EQ(vn_log_set_message_cb(log, nullptr), record_message);
}

TEST_F(LogTest, StandardErrorCopyCarriesTheApplicationNameUnlessFileOnly)
{
    start();
    vn_log_t *log = vn_new_level_log("copies", "copies.log", nullptr);
    ASSERT_NE(log, nullptr);
    testing::internal::CaptureStderr();
    vn_log(log, 3 | 0x100, "to both\n");
    vn_log(log, 3 | 0x100 | 0x400, "file only\n");
    vn_log(log, 7 | 0x100, "below the level\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "logtest: to both\n");
    std::vector<std::string> lines = lines_of(read("copies.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(parse_stamped(lines[1]).rest, "ERROR: file only");
}

TEST_F(LogTest, LogWithoutLevelsIgnoresVnLogButTakesThePrintfWriters)
{
    start();
    vn_log_t *log = vn_new_log("plain", "plain.log");
    ASSERT_NE(log, nullptr);
    vn_log(log, 2, "never\n");
    vn_printf_time(log, "stamped %d\n", 1);
    vn_printf(log, "bare %s\n", "text");
    vn_syslog(log, LOG_DEBUG, "%s", "syslog copy");
    std::vector<std::string> lines = lines_of(read("plain.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(parse_stamped(lines[0]).rest, "stamped 1");
    EXPECT_EQ(lines[1], "bare text");
    EXPECT_EQ(parse_stamped(lines[2]).rest, "syslog copy");
    EXPECT_EQ(vn_log_get_level(log), -1);
    EXPECT_EQ(vn_log_set_log_level(log, "DEBUG"), -1);
}

TEST_F(LogTest, OverlongLinesAreCutToTheBufferWithANewline)
{
    start();
    vn_log_t *log = vn_new_level_log("long", "long.log", nullptr);
    ASSERT_NE(log, nullptr);
    std::string huge(40000, 'x');
    vn_log(log, 6, "%s\n", huge.c_str());
    std::string written = read("long.log");
    ASSERT_EQ(written.size(), 32767u);
    EXPECT_EQ(written.back(), '\n');
    EXPECT_EQ(written[written.size() - 2], 'x');

    vn_log_t *plain = vn_new_log("short", "short.log");
    ASSERT_NE(plain, nullptr);
    vn_printf(plain, "%s", huge.c_str());
    std::string bare = read("short.log");
    EXPECT_EQ(bare.size(), 4095u);
    EXPECT_EQ(bare.back(), '\n');

    vn_log_t *sys = vn_new_log("sys", "sys.log");
    ASSERT_NE(sys, nullptr);
    vn_syslog(sys, LOG_DEBUG, "%s", huge.c_str());
    std::string syslogged = read("sys.log");
    EXPECT_EQ(syslogged.size(), 32767u);
    EXPECT_EQ(syslogged.back(), '\n');
}

TEST_F(LogTest, LevelNamesAreExactAndOutOfTableLevelsHaveEmptyTexts)
{
    EXPECT_EQ(vn_debug_level("FINEST"), 9);
    EXPECT_EQ(vn_debug_level("CRIT"), 2);
    EXPECT_EQ(vn_debug_level("info"), -1);
    EXPECT_EQ(vn_debug_level("CONFIG"), -1);
    EXPECT_EQ(vn_debug_level(""), -1);
    EXPECT_STREQ(vn_debug_string(3), "ERROR: ");
    EXPECT_STREQ(vn_debug_string(0), "CONFIG: ");
    EXPECT_STREQ(vn_debug_string(3 | 0x80), "ERROR: ");
    EXPECT_STREQ(vn_debug_string(10), "");
    EXPECT_STREQ(vn_debug_string(-1), "");
    EXPECT_STREQ(vn_debug_config_string(7), "DEBUG");
    EXPECT_STREQ(vn_debug_config_string(1), "");
    EXPECT_STREQ(vn_debug_config_string(100), "");
}

std::vector<int> level_changes;

void note_level(vn_log_t *, int level)
{
    level_changes.push_back(level);
}

TEST_F(LogTest, LevelLogFollowsLogLevelUntilGivenItsOwn)
{
    start({{"log-level", "WARN"}});
    vn_log_t *log = vn_new_level_log("own", "own.log", note_level);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(vn_log_get_level(log), 5);
    vn_log(log, 6, "hidden\n");
    EXPECT_EQ(vn_log_set_log_level(log, "debug"), -1);
    EXPECT_EQ(vn_log_set_log_level(log, "DEBUG"), 0);
    EXPECT_EQ(level_changes, std::vector<int>{7});
    EXPECT_EQ(vn_log_get_level(log), 7);
    vn_log(log, 7, "shown\n");
    std::vector<std::string> lines = lines_of(read("own.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse_stamped(lines[0]).rest, "DEBUG: shown");
}

TEST_F(LogTest, UnknownLogLevelFallsBackToInfo)
{
    start({{"log-level", "LOUD"}});
    vn_log_t *log = vn_new_level_log("fallback", "fallback.log", nullptr);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(vn_log_get_level(log), 6);
}

TEST_F(LogTest, AddLogRecordGivesItsLogAnOwnLevel)
{
    vn_config_set_ctx(vn_config_new_ctx());
    _vn_log_config_init();
    std::string log_dir = "--log-dir=" + root.file("var");
    std::vector<std::string> args = {"logtest",     log_dir,          "--add-log", "--name=audit",
                                     "--level=FINER", "--end-log",     "--add-log", "--name=muddled",
                                     "--level=finer", "--end-log"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    vn_config_parse_args(static_cast<int>(argv.size()), argv.data(), nullptr);
    record.application_name = app_name.data();
    _vn_log_init(&record);

    vn_log_t *audit = vn_new_level_log("audit", "audit.log", nullptr);
    vn_log_t *muddled = vn_new_level_log("muddled", "muddled.log", nullptr);
    vn_log_t *other = vn_new_level_log("other", "other.log", nullptr);
    ASSERT_NE(audit, nullptr);
    ASSERT_NE(muddled, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(vn_log_get_level(audit), 8);
    EXPECT_EQ(vn_log_get_level(muddled), 6); // an unknown record level is ignored
    EXPECT_EQ(vn_log_get_level(other), 6);
}

TEST_F(LogTest, HistoryRingKeepsTheLastLinesWithoutNewlines)
{
    struct Case {
        const char *max_history;
        int written;
        int first_kept; // 0: the ring stays empty
    };
    const Case cases[] = {{"10", 25, 16}, {"10", 3, 1}, {"0", 5, 0}, {"-4", 5, 0}};
    start();
    for (const Case &one : cases) {
        SCOPED_TRACE(std::string(one.max_history) + " " + std::to_string(one.written));
        vn_config_set_option("log-max-history", one.max_history);
        _vn_log_init(&record);
        vn_log_t *log = vn_new_log("ring", "ring.log");
        ASSERT_NE(log, nullptr);
        for (int i = 1; i <= one.written; i++)
            vn_printf(log, "line %d\n", i);
        std::vector<std::string> expected;
        for (int i = one.first_kept; one.first_kept != 0 && i <= one.written; i++)
            expected.push_back("line " + std::to_string(i));
        EXPECT_EQ(history_of(log), expected);
        vn_free_log(log);
    }
}

TEST_F(LogTest, StampedAndLevelLinesEnterTheRingButSyslogLinesDoNot)
{
    start();
    vn_log_t *log = vn_new_level_log("mixed", "mixed.log", nullptr);
    ASSERT_NE(log, nullptr);
    vn_log(log, 4, "notified\n");
    vn_syslog(log, LOG_DEBUG, "to syslog");
    vn_printf_time(log, "stamped\n");
    std::vector<std::string> ring = history_of(log);
    ASSERT_EQ(ring.size(), 2u);
    EXPECT_EQ(parse_stamped(ring[0]).rest, "NOTIFY: notified");
    EXPECT_EQ(parse_stamped(ring[1]).rest, "stamped");
}

TEST_F(LogTest, FileNamesResolveAgainstTheLogDirectory)
{
    start({{"log-dir", "/var/x"}});
    struct Case {
        const char *format;
        const char *resolved;
    };
    const Case cases[] = {
        {"event.log", "/var/x/event.log"},
        {"|cat -u", "|cat -u"},
        {"/abs/b.log", "/abs/b.log"},
        {"%z.log", "/var/x/.log"},
    };
    for (const Case &one : cases) {
        char *resolved = vn_log_filename(one.format);
        EXPECT_STREQ(resolved, one.resolved);
        vn_free(resolved);
    }
}

TEST_F(LogTest, NamesAndFileNameAreKept)
{
    start();
    vn_log_t *log = vn_new_log("named", "named.log");
    ASSERT_NE(log, nullptr);
    EXPECT_STREQ(vn_log_getname(log), "named");
    EXPECT_EQ(vn_log_getfilename(log), path("named.log"));
    EXPECT_EQ(vn_log_getname(nullptr), nullptr);
}

TEST_F(LogTest, LogThatCannotBeOpenedIsNotMade)
{
    start();
    EXPECT_EQ(vn_new_level_log("lost", root.file("missing/dir/lost.log").c_str(), nullptr), nullptr);
    EXPECT_EQ(vn_new_log("none", nullptr), nullptr);
    vn_log(nullptr, 2, "nothing\n");
    EXPECT_EQ(vn_log_get_level(nullptr), -1);
}

TEST_F(LogTest, DeviceLogIsWrittenInPlace)
{
    start();
    vn_log_t *log = vn_new_level_log("null", "/dev/null", nullptr);
    ASSERT_NE(log, nullptr);
    vn_log(log, 2, "gone\n");
    EXPECT_EQ(history_of(log).size(), 1u);
}

// Waits for the one command a test started and returns its exit status.
int wait_for_command()
{
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    EXPECT_GT(pid, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(LogTest, PipedLogFeedsACommandThatSeesTheEndOfItsInput)
{
    start();
    // Push the socket pair above the descriptors the child closes, so that
    // a write end leaked into the command would keep it waiting for ever.
    std::vector<int> spare;
    for (int i = 0; i < 40; i++)
        spare.push_back(open("/dev/null", O_RDONLY));
    std::string out = path("piped.out");
    std::string command = "|dd  of=" + out + " status=none";
    vn_log_t *log = vn_new_level_log("piped", command.c_str(), nullptr);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(vn_log_getfilename(log), command);
    vn_log(log, 2, "first\n");
    vn_printf(log, "second\n");
    vn_free_log(log);
    EXPECT_EQ(wait_for_command(), 0);
    std::vector<std::string> lines = lines_of(vntest::read_file(out));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(parse_stamped(lines[0]).rest, "CRIT: first");
    EXPECT_EQ(lines[1], "second");
    for (int fd : spare)
        close(fd);
}

TEST_F(LogTest, PipedCommandThatCannotRunEndsItsChild)
{
    start();
    vn_log_t *log = vn_new_log("nowhere", "|/nonexistent/command with words");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(wait_for_command(), 127);
    vn_free_log(log);
}

TEST_F(LogTest, WritesToTheNullDeviceReportTheirWholeLength)
{
    start();
    vn_log_t *log = vn_new_headed_log("packets", "/dev/null", "VNBLog packet v4");
    ASSERT_NE(log, nullptr);
    const unsigned char record_bytes[] = {0x00, 0x01, 0xff};
    EXPECT_EQ(vn_write(log, record_bytes, sizeof record_bytes), 3);
    struct iovec parts[3] = {{const_cast<char *>("ab"), 2}, {const_cast<char *>("cde"), 3}, {nullptr, 0}};
    EXPECT_EQ(vn_writev(log, parts, 3), 5);
    vn_free_log(log);
}

TEST_F(LogTest, HeadedLogStartsAnEmptyFileWithItsHeader)
{
    start();
    std::string text = "VNBLog packet v4 logtest TZ=UTC" + std::string(60, '-');
    vn_log_t *log = vn_new_headed_log("packets", "packets.log", text.c_str());
    ASSERT_NE(log, nullptr);
    const unsigned char record_bytes[] = {0x00, 0x01, 0xff, 0x0a};
    EXPECT_EQ(vn_write(log, record_bytes, sizeof record_bytes), 4);
    struct iovec parts[2] = {{const_cast<char *>("ab"), 2}, {const_cast<char *>("cd"), 2}};
    EXPECT_EQ(vn_writev(log, parts, 2), 4);
    vn_printf(log, "text\n");
    EXPECT_TRUE(history_of(log).empty());
    vn_free_log(log);

    std::string expected = text.substr(0, 78) + std::string(2, '\0');
    expected += std::string(reinterpret_cast<const char *>(record_bytes), sizeof record_bytes) + "abcd" + "text\n";
    EXPECT_EQ(read("packets.log"), expected);

    // Reopened on a file that has content: no second header.
    log = vn_new_headed_log("packets", "packets.log", "other header");
    ASSERT_NE(log, nullptr);
    vn_free_log(log);
    EXPECT_EQ(read("packets.log"), expected);
}

TEST_F(LogTest, ShortHeaderIsPaddedWithZeros)
{
    start();
    vn_log_t *log = vn_new_headed_log("short", "short.bin", "HDR");
    ASSERT_NE(log, nullptr);
    vn_free_log(log);
    EXPECT_EQ(read("short.bin"), std::string("HDR") + std::string(77, '\0'));
}

TEST_F(LogTest, CallbacksAreSwappedAndFreedLogsLeaveTheList)
{
    start();
    vn_log_t *log = vn_new_level_log("swap", "swap.log", nullptr);
    ASSERT_NE(log, nullptr);
    auto cycled = [](vn_log_t *) {};
    EXPECT_EQ(vn_log_cycled_callback(log, cycled), nullptr);
    EXPECT_EQ(vn_log_cycled_callback(log, nullptr), cycled);
    vn_log_change_level_callback(log, note_level);
    EXPECT_EQ(vn_log_set_log_level(log, "CRIT"), 0);
    EXPECT_EQ(level_changes, std::vector<int>{2});
    vn_free_log(log);
    vn_free_log(nullptr);
}

} // namespace
