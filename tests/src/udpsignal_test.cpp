// UDP commands: real datagrams to a free port on 127.0.0.1 and messages
// through the process's own pipe, dispatched by the init thread's loop; the
// loop runs until a "stop" command sent last has been handled.
#include "test_support.h"
#include "vantrix_private.h"

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kBoundSeconds = 30; // a loop still running then has lost a message

int free_udp_port()
{
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t len = sizeof address;
    getsockname(sock, reinterpret_cast<sockaddr *>(&address), &len);
    close(sock);
    return ntohs(address.sin_port);
}

std::string stamped(uint32_t stamp, const std::string &text)
{
    uint32_t wire = htonl(stamp);
    std::string message(reinterpret_cast<const char *>(&wire), sizeof wire);
    return message + text;
}

struct Call {
    std::string handler;
    std::vector<std::string> words;
    int val = 0;
    pthread_t thread{};
};

std::vector<Call> calls;

int record_call(int argc, char **argv, int val, void *data)
{
    Call call{static_cast<const char *>(data), {}, val, pthread_self()};
    for (int i = 0; i < argc; i++)
        call.words.emplace_back(argv[i]);
    calls.push_back(call);
    return 1;
}

int record_once(int argc, char **argv, int val, void *data)
{
    record_call(argc, argv, val, data);
    return 0;
}

int stop_on_command(int, char **, int, void *)
{
    vn_stop();
    return 1;
}

int give_up(int, int, void *)
{
    ADD_FAILURE() << "the loop never saw its stop command";
    vn_stop();
    return 0;
}

class UdpSignalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_log_config_init();
        _vn_udpsignal_config_init();
        vn_config_set_option("log-dir", root.file("var").c_str());
        record.application_name = app_name.data();
        _vn_log_init(&record);
        record.log = vn_new_level_log("event_log", "event.log", nullptr);
        _vn_event_init(&record);
        ASSERT_EQ(_vn_event_thread_init(&record, 0, 0), 1);
    }

    // Starts the module on `port` (-1: none) and registers the stop word.
    void start(int port)
    {
        vn_config_set_option("udp-port", std::to_string(port).c_str());
        vn_config_set_option("udp-interface", "127.0.0.1");
        this->port = port;
        _vn_udpsignal_init(&record);
        add_for_test("stop", stop_on_command);
    }

    // Handlers live as long as the process: one the next test would find
    // again runs twice there.
    void TearDown() override
    {
        for (vn_udp_event_t *handler : added)
            vn_del_udp_event(handler);
    }

    // A handler for this test only.
    void add_for_test(const char *command, vn_udp_event_cb callback)
    {
        added.push_back(vn_add_udp_event(command, callback, 0, nullptr));
    }

    void send_raw(const std::string &bytes) const
    {
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(sock, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&address),
                         sizeof address),
                  static_cast<ssize_t>(bytes.size()));
        close(sock);
    }

    void send(uint32_t stamp, const std::string &text) const { send_raw(stamped(stamp, text + '\0')); }

    // Sends a stop datagram after everything sent so far and runs the loop
    // until it has been handled.
    void drive()
    {
        send(1, "stop " + std::to_string(++stops));
        run_loop();
    }

    // Runs the loop until a stop command has been handled.
    static void run_loop()
    {
        vn_timed_event_t *bound = vn_add_timed_event(0, kBoundSeconds, give_up, 0, nullptr);
        vn_loop();
        vn_del_timed_event(bound);
    }

    std::string event_log() const { return root.read("var/event.log"); }

    vntest::TempRoot root;
    std::string app_name = "udptest";
    vn_init_t record{};
    int port = -1;
    int stops = 0;
    std::vector<vn_udp_event_t *> added;
};

TEST_F(UdpSignalTest, CommandRunsEveryHandlerOfItsWordInAnyCaseNewestFirst)
{
    start(free_udp_port());
    static char older[] = "older", newer[] = "newer", other[] = "other";
    vn_add_udp_event("log-level", record_call, 7, older);
    vn_add_udp_event("Log-Level", record_call, 8, newer);
    vn_add_udp_event("debug", record_call, 9, other);
    send(100, "LOG-LEVEL  event_log DEBUG");
    drive();

    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].handler, "newer");
    EXPECT_EQ(calls[0].val, 8);
    EXPECT_EQ(calls[1].handler, "older");
    std::vector<std::string> words = {"LOG-LEVEL", "event_log", "DEBUG"};
    EXPECT_EQ(calls[1].words, words);
    std::string log = event_log();
    EXPECT_NE(log.find("INFO: Processing UDP Command 'Log-Level' with arguments 'event_log DEBUG'\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("not found"), std::string::npos) << log;
}

TEST_F(UdpSignalTest, SameCommandWithTheSameStampRunsOnceAndAgainWithTheNextStamp)
{
    start(free_udp_port());
    static char name[] = "repeat";
    vn_add_udp_event("peer-reconnect", record_call, 0, name);
    send(500, "peer-reconnect 3");
    send(500, "peer-reconnect 3");
    drive();
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(event_log().find("not found"), std::string::npos) << event_log();

    send(500, "peer-reconnect 4"); // other text, same second
    send(501, "peer-reconnect 4");
    drive();
    EXPECT_EQ(calls.size(), 3u);
}

TEST_F(UdpSignalTest, HandlerReturningZeroRunsOnceAndItsWordIsThenUnknown)
{
    start(free_udp_port());
    static char name[] = "once";
    vn_add_udp_event("one-shot", record_once, 0, name);
    send(10, "one-shot");
    send(11, "one-shot");
    drive();
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_NE(event_log().find("INFO: UDP Command 'one-shot' not found\n"), std::string::npos) << event_log();
}

TEST_F(UdpSignalTest, TextWithoutWordsIsReportedAndShortDatagramsAreIgnored)
{
    start(free_udp_port());
    send(1, "   ");
    send(2, "");
    send_raw(std::string("\0\0\0", 3));
    send_raw("");
    drive();
    std::string log = event_log();
    EXPECT_NE(log.find("INFO: UDP Command '   ' not found\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: UDP Command '' not found\n"), std::string::npos) << log;
    size_t reports = 0;
    for (size_t at = log.find("not found"); at != std::string::npos; at = log.find("not found", at + 1))
        reports++;
    EXPECT_EQ(reports, 2u) << log;
}

TEST_F(UdpSignalTest, FullSizeDatagramKeepsItsTextWithoutATerminator)
{
    start(free_udp_port());
    static char name[] = "long";
    vn_add_udp_event("long", record_call, 0, name);
    std::string word(2048 - 4 - 5, 'x'); // "long " and the word fill the datagram
    send_raw(stamped(1, "long " + word));
    send_raw(stamped(2, "long " + word + "yyyy")); // longer: cut at 2048 bytes
    drive();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].words.at(1), word);
    EXPECT_EQ(calls[1].words.at(1), word);
}

namespace {

vn_udp_event_t *victim;

int remove_victim(int argc, char **argv, int val, void *data)
{
    vn_del_udp_event(victim);
    return record_call(argc, argv, val, data);
}

int remove_itself(int argc, char **argv, int val, void *data)
{
    vn_del_udp_event(victim);
    record_call(argc, argv, val, data);
    return 0; // already gone: must not be freed twice
}

} // namespace

TEST_F(UdpSignalTest, HandlerMayRemoveHandlersOfTheCommandBeingRun)
{
    start(free_udp_port());
    static char later[] = "later", remover[] = "remover", self[] = "self";
    vn_udp_event_t *removed = vn_add_udp_event("change", record_call, 0, later);
    vn_add_udp_event("change", remove_victim, 0, remover);
    victim = removed;
    send(1, "change");
    drive();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handler, "remover");

    calls.clear();
    victim = vn_add_udp_event("self", remove_itself, 0, self);
    send(2, "self");
    send(3, "self");
    drive();
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(UdpSignalTest, OwnCommandsFromAnyThreadRunOnTheInitThreadWithoutAPort)
{
    start(-1);
    static char name[] = "own";
    vn_add_udp_event("peer-status-up", record_call, 0, name);
    std::thread sender([] {
        char first[] = "2", second[] = "now";
        char *words[] = {first, second, nullptr};
        EXPECT_EQ(vn_udpsignal_send_argv("peer-status-up", words), 0);
        EXPECT_EQ(vn_udpsignal_send("stop"), 0);
    });
    sender.join();
    run_loop();
    ASSERT_EQ(calls.size(), 1u);
    std::vector<std::string> words = {"peer-status-up", "2", "now"};
    EXPECT_EQ(calls[0].words, words);
    EXPECT_TRUE(pthread_equal(calls[0].thread, pthread_self()));

    EXPECT_EQ(vn_udpsignal_send(std::string(2044, 'x').c_str()), -1); // no room for stamp and NUL
}

namespace {

// Sends a good command as soon as the bad one is refused, so that it
// arrives after the refusal rather than in the same read.
void send_after_refusal(vn_log_t *, int, const char *fmt, va_list)
{
    if (std::strstr(fmt, "refused") != nullptr)
        vn_udpsignal_send("stop");
}

} // namespace

std::set<int> open_descriptors()
{
    std::set<int> fds;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(entry.path().filename().string()));
    return fds;
}

TEST_F(UdpSignalTest, PipeMessageWithAnImpossibleLengthIsRefusedAndLaterOnesRun)
{
    // The pipe is the pair of sockets the module opens; its write end is the
    // second, higher descriptor of the pair.
    std::set<int> before = open_descriptors();
    start(-1);
    int write_end = -1;
    for (int fd : open_descriptors()) {
        struct stat status;
        if (before.count(fd) == 0 && fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode))
            write_end = std::max(write_end, fd);
    }
    ASSERT_GE(write_end, 0);

    vn_log_set_message_cb(record.log, send_after_refusal);
    uint32_t impossible = 1u << 30;
    std::string frame(reinterpret_cast<const char *>(&impossible), sizeof impossible);
    frame += "garbage that is no message";
    ASSERT_EQ(write(write_end, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    run_loop();
    EXPECT_NE(event_log().find("UDP pipe message of 1073741824 bytes refused"), std::string::npos) << event_log();
}

// ---- Own commands never block their sender ----

namespace {

constexpr int kBurst = 2000;

// The numbers of the "seq" commands in the order they ran; the loop stops
// once `expected_seq` of them have run.
std::vector<int> ran_seq;
int expected_seq = 0;

int record_seq(int argc, char **argv, int, void *)
{
    if (argc >= 2)
        ran_seq.push_back(std::atoi(argv[1]));
    if (static_cast<int>(ran_seq.size()) == expected_seq)
        vn_stop();
    return 1;
}

// Sends "seq 0 <padding>", "seq 1 <padding>", ... until `count` are sent or
// one is refused; returns how many were reported as sent.
int send_seq(int count, const std::string &padding)
{
    int sent = 0;
    while (sent < count && vn_udpsignal_send(vntest::numbered("seq ", sent, padding.c_str()).c_str()) == 0)
        sent++;
    return sent;
}

std::vector<int> first_numbers(int count)
{
    std::vector<int> numbers(static_cast<size_t>(count));
    for (int i = 0; i < count; i++)
        numbers[static_cast<size_t>(i)] = i;
    return numbers;
}

int burst_sent = 0;

int send_burst_from_timer(int, int, void *)
{
    burst_sent = send_seq(kBurst, "");
    return 0;
}

} // namespace

// Far more commands than the pipe holds: the init thread, the pipe's only
// reader, sends them from a callback, another thread sends them while the
// loop runs or before it runs at all.
TEST_F(UdpSignalTest, ThousandsOfOwnCommandsNeverBlockTheSenderAndAllRunInOrder)
{
    start(-1);
    add_for_test("seq", record_seq);
    enum class Sender { InitThreadTimer, ThreadWhileLoopRuns, ThreadBeforeLoop };
    for (Sender sender : {Sender::InitThreadTimer, Sender::ThreadWhileLoopRuns, Sender::ThreadBeforeLoop}) {
        SCOPED_TRACE(static_cast<int>(sender));
        ran_seq.clear();
        expected_seq = kBurst;
        burst_sent = 0;
        if (sender == Sender::InitThreadTimer) {
            vn_add_timed_event(0, 0, send_burst_from_timer, 0, nullptr);
            run_loop();
        } else if (sender == Sender::ThreadWhileLoopRuns) {
            std::thread thread([] { burst_sent = send_seq(kBurst, ""); });
            run_loop();
            thread.join();
        } else {
            std::thread thread([] { burst_sent = send_seq(kBurst, ""); });
            thread.join();
            run_loop();
        }
        EXPECT_EQ(burst_sent, kBurst);
        EXPECT_EQ(ran_seq, first_numbers(kBurst));
    }
}

TEST_F(UdpSignalTest, OwnCommandsBeyondTheBoundAreRefusedAndEverySentOneRuns)
{
    start(-1);
    add_for_test("seq", record_seq);
    ran_seq.clear();
    constexpr int kTries = 5000; // 10 MB of commands, far beyond the pipe and the bound
    int sent = send_seq(kTries, " " + std::string(2000, 'p'));
    ASSERT_LT(sent, kTries) << "no send was refused";
    ASSERT_GT(sent, kBurst / 10);
    expected_seq = sent;
    run_loop();
    EXPECT_EQ(ran_seq, first_numbers(sent));
    EXPECT_EQ(vn_udpsignal_send("seq again"), 0) << "the bound holds only while the commands wait";
}

namespace {

std::vector<std::string> job_words;

void record_job(int argc, char **argv)
{
    job_words.assign(argv, argv + argc);
}

} // namespace

TEST_F(UdpSignalTest, JobRunsForItsWordUntilRemovedInAnyCase)
{
    start(free_udp_port());
    EXPECT_EQ(vn_udpsignal_addjob("cache-dump", record_job, "unused"), 0);
    send(1, "cache-dump all");
    drive();
    std::vector<std::string> words = {"cache-dump", "all"};
    EXPECT_EQ(job_words, words);

    EXPECT_EQ(vn_udpsignal_deljob("CACHE-DUMP", record_job), 0);
    EXPECT_EQ(vn_udpsignal_deljob("cache-dump", record_job), -1);
    job_words.clear();
    send(2, "cache-dump all");
    drive();
    EXPECT_TRUE(job_words.empty());
    EXPECT_NE(event_log().find("UDP Command 'cache-dump all' not found"), std::string::npos) << event_log();
}

TEST_F(UdpSignalTest, JobWithoutAFunctionIsRefusedAndItsWordStaysUnknown)
{
    start(free_udp_port());
    EXPECT_EQ(vn_udpsignal_addjob("cache-dump", nullptr, "unused"), -1);
    send(1, "cache-dump all");
    drive();
    EXPECT_NE(event_log().find("UDP Command 'cache-dump all' not found"), std::string::npos) << event_log();
}

namespace {

std::vector<std::pair<int, std::string>> exits;

void record_exit(int32_t code, const char *text)
{
    exits.emplace_back(code, text);
}

// A port held by a socket without SO_REUSEADDR, which the module cannot share.
struct BusyPort {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    BusyPort()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t len = sizeof address;
        getsockname(sock, reinterpret_cast<sockaddr *>(&address), &len);
        port = ntohs(address.sin_port);
    }
    ~BusyPort() { close(sock); }
};

} // namespace

TEST_F(UdpSignalTest, PortThatCannotBeOpenedGoesToTheExitHookAndStartUpGoesOn)
{
    BusyPort busy;
    record.exit_func = record_exit;
    start(busy.port);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].first, 3);
    EXPECT_EQ(exits[0].second, "Couldn't listen on UDP port " + std::to_string(busy.port) + "\n");

    static char name[] = "own";
    vn_add_udp_event("still-here", record_call, 0, name);
    vn_udpsignal_send("still-here");
    vn_udpsignal_send("stop");
    run_loop();
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(UdpSignalTest, PortThatCannotBeOpenedEndsTheProcessWithCode3)
{
    BusyPort busy;
    EXPECT_EXIT(start(busy.port), ::testing::ExitedWithCode(3),
                "^Couldn't listen on UDP port " + std::to_string(busy.port) + "\n$");
    EXPECT_NE(event_log().find("CRIT: Couldn't listen on UDP port"), std::string::npos) << event_log();
}

// ---- The udpSignal element ----


// The udpSignal element's attributes as "name=value" texts; "none" without one.
std::vector<std::string> udp_element(const std::string &file)
{
    xmlDocPtr doc = xmlReadFile(file.c_str(), nullptr, 0);
    if (doc == nullptr)
        return {"unreadable"};
    std::vector<std::string> attributes = {"none"};
    for (xmlNodePtr node = xmlDocGetRootElement(doc)->children; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE || xmlStrcmp(node->name, BAD_CAST "udpSignal") != 0)
            continue;
        attributes.clear();
        for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
            xmlChar *value = xmlNodeGetContent(attr->children);
            attributes.push_back(std::string(reinterpret_cast<const char *>(attr->name)) + "=" +
                                 reinterpret_cast<const char *>(value));
            xmlFree(value);
        }
    }
    xmlFreeDoc(doc);
    return attributes;
}

TEST_F(UdpSignalTest, ElementCarriesTheConfiguredPortAndAddress)
{
    struct Case {
        const char *port;
        const char *interface; // null: left unset
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"7777", nullptr, {"port=7777"}},
        {"-1", "10.0.0.1", {"none"}},
        {"7778", "10.0.0.1", {"port=7778", "address=10.0.0.1"}},
    };
    vntest::install_libxml();
    for (const Case &c : cases) {
        vn_config_set_option("udp-port", c.port);
        if (c.interface != nullptr)
            vn_config_set_option("udp-interface", c.interface);
        std::string file = root.file(std::string("udp") + c.port + ".xml");
        vn_xml_write_config(file.c_str(), nullptr);
        EXPECT_EQ(udp_element(file), c.expected) << c.port;
    }
}

TEST_F(UdpSignalTest, MorvaskWritesTheElementAndReportsAMissingPort)
{
    std::string free_port = std::to_string(free_udp_port());
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> element;
        bool reported; // "UDP Message port not configured" in the event log
    };
    const Case cases[] = {
        {{"--udp-port", free_port, "--udp-interface", "127.0.0.1"}, {"port=" + free_port, "address=127.0.0.1"}, false},
        {{}, {"none"}, true},
    };
    for (const Case &c : cases) {
        vntest::TempRoot app;
        std::vector<std::string> args = {"--application-root", app.path(), "--application-name", "feed"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        vntest::RunResult result = vntest::run_morvask(args, app.path());
        ASSERT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(udp_element(app.file("Vantro.xml")), c.element) << c.args.size();
        std::string log = app.read("var/feed.log");
        EXPECT_EQ(log.find("CONFIG: UDP Message port not configured\n") != std::string::npos, c.reported) << log;
    }
}

} // namespace
