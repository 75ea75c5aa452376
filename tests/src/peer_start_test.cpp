// Peer start-up: the runtime started in this process from real configuration
// files (the test thread is the init thread, its loop is never run, so nothing
// connects), observed on the peer threads themselves; and the exits of start-up
// observed through real morvask processes.
#include "peer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

using vntest::RunResult;
using vntest::TempRoot;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool kThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kThreadSanitizer = false;
#endif

// Starts the runtime from `conf` in `root` with the application name `app`;
// returns vn_init's result. The record and the arguments stay reachable for
// the life of the process, as the runtime keeps them.
int start_runtime(const TempRoot &root, const std::string &conf, const std::string &app = "peerstart")
{
    root.write("peers.conf", "application-name " + app + "\nlog-level DEBUG\n" + conf);
    static vn_init_t init{};
    static std::string log_file = root.file("var/event.log");
    init.logfile = log_file.data();
    static std::vector<std::string> args{"peer_start_test", "-r", root.path()};
    static std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    vn_config_init("peers.conf", static_cast<int>(args.size()), argv.data());
    return vn_init(&init, static_cast<int>(args.size()), argv.data());
}

// What a call run on a peer's thread saw there.
struct OnThread {
    pthread_t thread{};
    std::string system_name;
};

int look_around(int, void *data)
{
    auto *seen = static_cast<OnThread *>(data);
    seen->thread = pthread_self();
    char name[16] = "";
    prctl(PR_GET_NAME, name, 0, 0, 0);
    seen->system_name = name;
    return 0;
}

OnThread on_peer_thread(int peer)
{
    OnThread seen;
    vn_peer_send_message(peer, 0, &seen, look_around);
    return seen;
}

int count_of(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

struct DealingCase {
    const char *name;
    std::string conf;
    std::vector<std::string> thread_names; // per peer
    int threads;                           // distinct system threads
    int pool_size;                         // peer-thread-pool-size after start-up
};

class ThreadDealing : public testing::TestWithParam<DealingCase> {};

} // namespace

TEST_P(ThreadDealing, PeersRunOnTheirNamedThreads)
{
    const DealingCase &c = GetParam();
    TempRoot root;
    ASSERT_GE(start_runtime(root, c.conf), 0);
    ASSERT_EQ(vn_num_peers, static_cast<int>(c.thread_names.size()));
    std::set<pthread_t> threads;
    for (int i = 0; i < vn_num_peers; i++) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(peer_array[i].thread_name, c.thread_names[static_cast<size_t>(i)].c_str());
        EXPECT_STREQ(peer_array[i].thread->name, peer_array[i].thread_name);
        OnThread seen = on_peer_thread(i);
        EXPECT_TRUE(pthread_equal(seen.thread, peer_array[i].thread->thread_id));
        EXPECT_FALSE(pthread_equal(seen.thread, pthread_self()));
        threads.insert(seen.thread);
    }
    EXPECT_EQ(static_cast<int>(threads.size()), c.threads);
    EXPECT_EQ(c_peer_thread_pool_size, c.pool_size);
    std::string log = root.read("var/event.log");
    EXPECT_EQ(count_of(log, "is starting up"), c.threads) << log;
    EXPECT_NE(log.find("Peer 0 is on thread <" + c.thread_names[0] + ">"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Start, ThreadDealing,
    testing::Values(
        DealingCase{"OwnThreadEach", "add-peer\nend-peer\nadd-peer\nend-peer\n", {"peer-0", "peer-1"}, 2, -1},
        DealingCase{"PoolDealtInTurn",
                    "peer-thread-pool-size 2\nadd-peer\nend-peer\nadd-peer\nend-peer\nadd-peer\nend-peer\n",
                    {"ptpt-0", "ptpt-1", "ptpt-0"},
                    2,
                    2},
        DealingCase{"PoolLoweredToThePeerCount",
                    "peer-thread-pool-size 5\nadd-peer\nend-peer\nadd-peer\nend-peer\n",
                    {"ptpt-0", "ptpt-1"},
                    2,
                    2},
        DealingCase{"SharedNameSharesAThread",
                    "add-peer\nthread-name feeds\nend-peer\nadd-peer\nend-peer\nadd-peer\nthread-name feeds\n"
                    "end-peer\n",
                    {"feeds", "peer-1", "feeds"},
                    2,
                    -1},
        DealingCase{"PoolContinuesPastNamedPeers",
                    "peer-thread-pool-size 2\nadd-peer\nend-peer\nadd-peer\nthread-name own\nend-peer\nadd-peer\n"
                    "end-peer\nadd-peer\nend-peer\n",
                    {"ptpt-0", "own", "ptpt-1", "ptpt-0"},
                    3,
                    2}),
    [](const testing::TestParamInfo<DealingCase> &info) { return info.param.name; });

TEST(PeerStart, PeerNamingAPoolThreadIsLoggedAndKeepsIt)
{
    TempRoot root;
    ASSERT_GE(start_runtime(root, "peer-thread-pool-size 2\nadd-peer\nthread-name ptpt-1\nend-peer\nadd-peer\nend-peer\n"),
              0);
    EXPECT_STREQ(peer_array[0].thread_name, "ptpt-1");
    EXPECT_STREQ(peer_array[1].thread_name, "ptpt-0");
    EXPECT_NE(root.read("var/event.log").find("Configured thread name for peer 0 is a pool thread <ptpt-1>"),
              std::string::npos);
}

// The system name: as much of the application name as leaves room for the
// thread name in 15 characters, at least 5 of it, cut to 15.
TEST(PeerStart, SystemThreadNamesAreCutToFifteenCharacters)
{
    TempRoot root;
    ASSERT_GE(start_runtime(root,
                            "add-peer\nthread-name peer-12\nend-peer\n"
                            "add-peer\nthread-name twelve-chars\nend-peer\n"
                            "add-peer\nthread-name t\nend-peer\n",
                            "tenletters"),
              0);
    EXPECT_EQ(on_peer_thread(0).system_name, "tenlett-peer-12");
    EXPECT_EQ(on_peer_thread(1).system_name, "tenle-twelve-ch");
    EXPECT_EQ(on_peer_thread(2).system_name, "tenletters-t");
    EXPECT_NE(root.read("var/event.log").find("Setting name of thread to <tenlett-peer-12> "), std::string::npos);
}

TEST(PeerStart, RecordsAreCompletedFromTheProcessSettings)
{
    TempRoot root;
    ASSERT_GE(start_runtime(root, "vantrix-id 21\nvantrix-name node-%a\npeer-monitor-interval 12\n"
                                  "add-peer\nlocal-name me-%n\nlocal-flags noconnect\nlocal-type active\n"
                                  "monitor-interval 3\nend-peer\n"
                                  "add-peer\nlabel second\nremote-name far\nlocal-id 4\nend-peer\n"),
              0);
    const peer_t &first = peer_array[0];
    EXPECT_EQ(first.num, 0);
    EXPECT_STREQ(first.mon_name, "0");
    EXPECT_STREQ(first.label, "0");
    EXPECT_STREQ(first.local_name, "me-peerstart");
    EXPECT_STREQ(first.remote_name, "src-0");
    EXPECT_EQ(first.local_id, 21);
    EXPECT_EQ(first.mon_interval, 3.0);
    // The no-connect flag disables the peer and is not sent on.
    EXPECT_EQ(first.reject_conns, 1);
    EXPECT_EQ(first.local_flags, 0);
    EXPECT_EQ(first.local_type, 1);
    EXPECT_EQ(vn_peer_enabled_state(0), 0);

    const peer_t &second = peer_array[1];
    EXPECT_STREQ(second.label, "second");
    EXPECT_STREQ(second.local_name, "node-peerstart");
    EXPECT_STREQ(second.remote_name, "far");
    EXPECT_EQ(second.local_id, 4);
    EXPECT_EQ(second.mon_interval, 12.0);
    EXPECT_EQ(second.reject_conns, 0);
    EXPECT_EQ(vn_peer_by_label("second"), 1);
    EXPECT_EQ(vn_peer_by_label("0"), 0);

    EXPECT_STREQ(default_peer.mon_name, "global");
    EXPECT_EQ(default_peer.mon_interval, 12.0);
    ASSERT_NE(default_peer.thread, nullptr);
    EXPECT_STREQ(default_peer.thread->name, "DefaultPeerThread");
    EXPECT_TRUE(pthread_equal(default_peer.thread->thread_id, pthread_self()));
    EXPECT_TRUE(root.exists("var/packet-peerstart.log"));
}

TEST(PeerStart, WithoutPeersNoPacketLogAndNoThread)
{
    TempRoot root;
    ASSERT_GE(start_runtime(root, ""), 0);
    EXPECT_EQ(vn_num_peers, 0);
    EXPECT_FALSE(root.exists("var/packet-peerstart.log"));
    EXPECT_EQ(count_of(root.read("var/event.log"), "is starting up"), 0);
    ASSERT_NE(default_peer.thread, nullptr);
    EXPECT_STREQ(default_peer.mon_name, "global");
}

TEST(PeerStart, SendMessageRunsOnTheInitThreadForTheGlobalRecordsThread)
{
    TempRoot root;
    ASSERT_GE(start_runtime(root, "add-peer\nend-peer\n"), 0);
    // The init thread owns its channel, so the call runs at once here.
    OnThread seen;
    tarvelutil_signalany_exec(default_peer.thread->signalany, 0, look_around, &seen, 0);
    EXPECT_TRUE(pthread_equal(seen.thread, pthread_self()));
}

// Name templates

TEST(VantrixName, TemplatesExpandHostAndApplicationWithin255Characters)
{
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    std::string short_host(host);
    short_host = short_host.substr(0, short_host.find('.'));
    std::string app = vn_get_app_name();
    struct Case {
        std::string name;
        std::string expected;
    } cases[] = {
        {"%a-%h", app + "-" + short_host},
        {"%n", app},
        {"x%xy", "x%xy"},
        {"%%", "%%"},
        {"end%", "end%"},
        {"", ""},
        {std::string(300, 'z'), std::string(255, 'z')},
        {std::string(253, 'z') + "%a", std::string(253, 'z') + app.substr(0, 2)},
        {std::string(254, 'z') + "%q", std::string(254, 'z') + "%"},
        {std::string(255, 'z') + "%a", std::string(255, 'z')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char *expanded = _vn_create_vantrix_name(c.name.c_str());
        EXPECT_EQ(expanded, c.expected);
        vn_free(expanded);
    }
}

// Exits, through real processes

namespace {

RunResult run_on(const TempRoot &root, const std::string &conf, const std::string &prefix = "")
{
    root.write("morvask.conf", "application-name peerstart\n" + conf);
    std::vector<std::string> args{MORVASK_BIN, "--application-root", root.path()};
    if (prefix.empty())
        return vntest::run(args, root.path());
    std::string command = prefix + " exec";
    for (const std::string &arg : args)
        command += " '" + arg + "'";
    return vntest::run({"/bin/sh", "-c", command}, root.path());
}

struct ExitCase {
    const char *name;
    std::string conf;
    int code;
    std::string message; // empty: none expected
};

class StartExits : public testing::TestWithParam<ExitCase> {};

std::string many_peers(int count)
{
    std::string conf;
    for (int i = 0; i < count; i++)
        conf += "add-peer\nend-peer\n";
    return conf;
}

} // namespace

TEST_P(StartExits, EndWithTheirCodeAndMessage)
{
    const ExitCase &c = GetParam();
    TempRoot root;
    RunResult result = run_on(root, c.conf);
    EXPECT_EQ(result.exit_code, c.code) << result.err;
    if (c.message.empty())
        EXPECT_EQ(result.err, "");
    else
        EXPECT_NE(result.err.find("peerstart: " + c.message), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Start, StartExits,
    testing::Values(
        ExitCase{"DuplicateLabel", "add-peer\nlabel a\nend-peer\nadd-peer\nlabel b\nend-peer\nadd-peer\nlabel a\nend-peer\n",
                 1, "Peer label <a> is duplicated defined in peer index 0 and peer index 2\n"},
        ExitCase{"LabelEqualToAnEarlierNumber", "add-peer\nend-peer\nadd-peer\nlabel 0\nend-peer\n", 1,
                 "Peer label <0> is duplicated defined in peer index 0 and peer index 1\n"},
        ExitCase{"AcceptOnlyRemoteIdTakenByAnAcceptOnlyPeer",
                 "add-peer\nremote-id 5\nend-peer\nadd-peer\nremote-id 5\nend-peer\n", 1,
                 "Peer remote-id <5> is duplicated defined in peer index 0 and peer index 1\n"},
        ExitCase{"RemoteIdOfAnEarlierPeerWithPortsOnly",
                 "add-peer\nremote-id 5\nport 7001\nend-peer\nadd-peer\nremote-id 5\nend-peer\n", 1,
                 "Peer remote-id <5> is duplicated defined in peer index 0 and peer index 1\n"},
        ExitCase{"RemoteIdOfAnEarlierPeerWithAddresses",
                 "add-peer\nremote-id 5\naddr 127.0.0.1\nend-peer\nadd-peer\nremote-id 5\nend-peer\n", 0, ""},
        ExitCase{"RemoteIdOfALaterPeerWithPorts",
                 "add-peer\nremote-id 5\nend-peer\nadd-peer\nremote-id 5\nport 7001\nend-peer\n", 0, ""},
        ExitCase{"TooManyPeers", many_peers(1024), 1, "Too many peers configured, 1024, maximum is 1023\n"},
        ExitCase{"MostPeers", "peer-thread-pool-size 4\n" + many_peers(1023), 0, ""},
        ExitCase{"PacketLogThatCannotBeMade", "vantrix-pkt-log /nonexistent-dir/pk-%a.log\nadd-peer\nend-peer\n", 2,
                 "Cannot create packet_log: /nonexistent-dir/pk-peerstart.log"}),
    [](const testing::TestParamInfo<ExitCase> &info) { return info.param.name; });

TEST(PeerStart, PacketLogNameHasNoLengthLimitOfItsOwn)
{
    TempRoot root;
    std::string dir = "var";
    for (int level = 0; level < 4; level++) {
        dir += "/" + std::string(200, static_cast<char>('a' + level));
        std::filesystem::create_directories(root.file(dir));
    }
    std::string name = root.file(dir) + "/pk-%a.log";
    RunResult result = run_on(root, "vantrix-pkt-log " + name + "\nadd-peer\nend-peer\n");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(root.exists(dir + "/pk-peerstart.log"));
}

// A thread that cannot be made must end start-up instead of leaving it
// waiting at the barrier for ever. A stack limit larger than the memory
// makes every new thread's stack unmappable.
TEST(PeerStart, PeerThreadThatCannotBeCreatedEndsStartUpWithCodeOne)
{
    if (kThreadSanitizer)
        GTEST_SKIP() << "ThreadSanitizer cannot start a process under this stack limit";
    TempRoot root;
    RunResult result = run_on(root, "add-peer\nend-peer\n", "ulimit -s 4000000000 &&");
    if (result.exit_code == 0)
        GTEST_SKIP() << "threads with a 4 TB stack could still be made here";
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find("peerstart: Cannot start peer thread <peer-0>: "), std::string::npos) << result.err;
}
