// The peer table: options as the real reader fills them from files, the
// option documentation of the real morvask, the accessors at the edges of the
// table, the counts, the peer sets (also under concurrent writers) and the
// event ring.
#include "peer.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <atomic>
#include <climits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using vntest::TempRoot;

namespace {

// Reads `conf` as the configuration file of a process rooted in a fresh
// directory, registering every module's options as start-up does.
class PeerConfig : public testing::Test {
protected:
    void SetUp() override
    {
        // Cases may share one process: each starts from an empty table.
        peer_array = nullptr;
        peer_num = vn_num_peers = 0;
    }

    std::string read(const std::string &conf)
    {
        root_.write("peers.conf", conf);
        std::vector<std::string> args{"peer_test", "-r", root_.path()};
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        CaptureStderr();
        vn_config_init("peers.conf", static_cast<int>(argv.size()), argv.data());
        vn_config_parse_files();
        return GetCapturedStderr();
    }

    TempRoot root_;
};

std::vector<std::string> texts(char **array, int count)
{
    std::vector<std::string> out;
    for (int i = 0; i < count; i++)
        out.emplace_back(array[i]);
    return out;
}

} // namespace

TEST_F(PeerConfig, AddPeerRecordsTakeTheTemplateAndTheirOwnSettings)
{
    std::string err = read("add-peer\n"
                           "label feed-a\n"
                           "remote-id 7\n"
                           "remote-name upstream\n"
                           "remote-flags recvautoreplay\n"
                           "remote-type active\n"
                           "local-id 3\n"
                           "local-name me-%a\n"
                           "local-flags noconnect\n"
                           "local-type contrib\n"
                           "addr alpha beta\n"
                           "port 8001 8002 8003\n"
                           "queue-size 9\n"
                           "ssl\n"
                           "request-timeout 2.5\n"
                           "heartbeat-time 30\n"
                           "heartbeat-slack-time 1.5\n"
                           "connect-timeout 4\n"
                           "monitor-interval 6.5\n"
                           "thread-name feeds\n"
                           "end-peer\n"
                           "add-peer\n"
                           "end-peer\n");
    EXPECT_EQ(err, "");
    ASSERT_EQ(peer_num, 2);
    const peer_t &set = peer_array[0];
    EXPECT_STREQ(set.label, "feed-a");
    EXPECT_EQ(set.remote_id, 7);
    EXPECT_STREQ(set.remote_name, "upstream");
    EXPECT_EQ(set.remote_flags, 4);
    EXPECT_EQ(set.remote_type, 1);
    EXPECT_EQ(set.local_id, 3);
    EXPECT_STREQ(set.local_name, "me-%a");
    EXPECT_EQ(set.local_flags, 8);
    EXPECT_EQ(set.local_type, 2);
    EXPECT_EQ(texts(set.addr_array, set.addr_num), (std::vector<std::string>{"alpha", "beta"}));
    ASSERT_EQ(set.port_num, 3);
    EXPECT_EQ(std::vector<int>(set.port_array, set.port_array + 3), (std::vector<int>{8001, 8002, 8003}));
    EXPECT_EQ(set.queue_size, 9);
    EXPECT_EQ(set.ssl, 1);
    EXPECT_EQ(set.request_timeout, 2.5);
    EXPECT_EQ(set.heartbeat_time, 30);
    EXPECT_EQ(set.heartbeat_slack_time, 1.5);
    EXPECT_EQ(set.connect_timeout, 4);
    EXPECT_EQ(set.mon_interval, 6.5);
    EXPECT_STREQ(set.thread_name, "feeds");

    const peer_t &plain = peer_array[1];
    EXPECT_EQ(plain.label, nullptr);
    EXPECT_EQ(plain.remote_id, -1);
    EXPECT_EQ(plain.remote_name, nullptr);
    EXPECT_EQ(plain.local_id, -1);
    EXPECT_EQ(plain.local_name, nullptr);
    EXPECT_EQ(plain.addr_num, 0);
    EXPECT_EQ(plain.port_num, 0);
    EXPECT_EQ(plain.sock, -1);
    EXPECT_EQ(plain.queue_size, 50);
    EXPECT_EQ(plain.delay, 1);
    EXPECT_EQ(plain.ssl, 0);
    EXPECT_EQ(plain.request_timeout, -1.0);
    EXPECT_EQ(plain.heartbeat_time, -1);
    EXPECT_EQ(plain.heartbeat_slack_time, 2.0);
    EXPECT_EQ(plain.connect_timeout, 10);
    EXPECT_EQ(plain.mon_interval, 0.0);
    EXPECT_EQ(plain.thread_name, nullptr);
    // The records own their texts: the template still has none.
    EXPECT_EQ(default_peer.label, nullptr);
}

TEST_F(PeerConfig, GlobalOptionsHaveTheirDefaults)
{
    EXPECT_EQ(read(""), "");
    EXPECT_STREQ(c_vantrix_name, "%a-%h");
    EXPECT_EQ(c_vantrix_interface, nullptr);
    EXPECT_STREQ(c_vantrix_pkt_log, "packet-%a.log");
    EXPECT_EQ(c_peer_thread_pool_size, -1);
    EXPECT_EQ(c_peer_monitor_interval, 30.0);
    EXPECT_EQ(c_peer_accept_wait_time, 10.0);
    EXPECT_EQ(peer_num, 0);
}

TEST_F(PeerConfig, GlobalOptionsAreSetFromTheFile)
{
    EXPECT_EQ(read("vantrix-name edge\nvantrix-interface 127.0.0.1\nvantrix-port 7000\nvantrix-sslport 7001\n"
                   "vantrix-id 12\nvantrix-pkt-log pk.log\npeer-thread-pool-size 3\nvantrix-reject-new-peers\n"
                   "vantrix-tcp-nodelay-off\npeer-monitor-interval 5\npeer-accept-wait-time 2.5\n"),
              "");
    EXPECT_STREQ(c_vantrix_name, "edge");
    EXPECT_STREQ(c_vantrix_interface, "127.0.0.1");
    EXPECT_EQ(c_vantrix_port, 7000);
    EXPECT_EQ(c_vantrix_sslport, 7001);
    EXPECT_EQ(c_vantrix_id, 12);
    EXPECT_STREQ(c_vantrix_pkt_log, "pk.log");
    EXPECT_EQ(c_peer_thread_pool_size, 3);
    EXPECT_EQ(c_vantrix_reject_new_peers, 1);
    EXPECT_EQ(c_vantrix_tcp_nodelay_off, 1);
    EXPECT_EQ(c_peer_monitor_interval, 5.0);
    EXPECT_EQ(c_peer_accept_wait_time, 2.5);
}

TEST_F(PeerConfig, HeartbeatSettingsBelowTheirBoundsAreRaisedWithAMessage)
{
    std::string err = read("add-peer\nheartbeat-time 0\nheartbeat-slack-time 0.05\nend-peer\n");
    ASSERT_EQ(peer_num, 1);
    EXPECT_EQ(peer_array[0].heartbeat_time, 1);
    EXPECT_EQ(peer_array[0].heartbeat_slack_time, 0.1);
    EXPECT_NE(err.find("peers.conf:2 'heartbeat-time' value 0 is below minimum (1)"), std::string::npos) << err;
    EXPECT_NE(err.find("peers.conf:3 'heartbeat-slack-time' value 0.050000 is below minimum (0.100000)"),
              std::string::npos)
        << err;
}

TEST_F(PeerConfig, DeprecatedRequestTimeoutIsReportedAndStillSet)
{
    std::string err = read("add-peer\nactive-request-timeout 4\nend-peer\n");
    ASSERT_EQ(peer_num, 1);
    EXPECT_EQ(peer_array[0].request_timeout, 4.0);
    EXPECT_NE(err.find("active-request-timeout"), std::string::npos) << err;
}

// The option documentation of the real tool lists the peer options in their
// registration order with their help texts, defaults and bounds.
TEST(PeerOptions, DocumentedInRegistrationOrderWithDefaultsAndBounds)
{
    TempRoot root;
    vntest::RunResult result = vntest::run_morvask({"--write-config-options", "options.txt"}, root.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    std::istringstream lines(root.read("options.txt"));
    std::vector<std::string> block;
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        inside = inside || line.rfind("option||vantrix-name|", 0) == 0;
        if (inside)
            block.push_back(line);
        if (line.rfind("option||peer-accept-wait-time|", 0) == 0)
            break;
    }
    const std::vector<std::string> kFlags = {
        "enum|none|0|||No special restart or reconnection",
        "enum|recvautoreplay|4|||When restarting, this peer should accept replay updates.",
        "enum|noconnect|8|||Prevents the automatic connection to peers on startup.",
    };
    const std::vector<std::string> kTypes = {
        "enum|none|0|||This source is broadcast and can't accept contributions",
        "enum|broadcast|0|||This source is broadcast and can't accept contributions",
        "enum|active|1|||This source is active",
        "enum|contrib|2|||This source can accept contributions",
    };
    std::vector<std::string> expected = {
        "option||vantrix-name|String|0|0|%a-%h|||VantroPeers||Vantro Name",
        "option||vantrix-interface|String|0|0||||VantroPeers||Vantro Listen Address",
        "option||vantrix-port|Integer|0|0|0|||VantroPeers||Vantro Listen Port",
        "option||vantrix-sslport|Integer|0|0|0|||VantroPeers||Vantro SSL Listen Port",
        "option||vantrix-id|Integer|0|0|0|||VantroPeers||Vantro ID Number",
        "option||vantrix-pkt-log|String|0|0|packet-%a.log|||VantroPeers||Vantro Packet Log File",
        "option||peer-thread-pool-size|Integer|0|0|-1|||VantroPeers||Number of threads for peers",
        "group|add-peer|Start of group|VantroPeers||Add a Vantro Peer",
        "option||label|String|0|0||||||Label for this peer",
        "option||remote-id|Integer|0|0|-1|||||Remote Peer ID",
        "option||remote-name|String|0|0||||||Remote Peer Name",
        "option||remote-flags|Integer|0|0|0|||||Remote Peer flags",
    };
    auto append = [&expected](const std::vector<std::string> &rows) {
        expected.insert(expected.end(), rows.begin(), rows.end());
    };
    append(kFlags);
    expected.push_back("option||remote-type|Integer|0|0|0|||||Remote Peer Type");
    append(kTypes);
    expected.push_back("option||local-id|Integer|0|0|-1|||||Local Peer ID");
    expected.push_back("option||local-name|String|0|0||||||Local Peer Name");
    expected.push_back("option||local-flags|Integer|0|0|0|||||Local Peer Flags");
    append(kFlags);
    expected.push_back("option||local-type|Integer|0|0|0|||||Local Peer Type");
    append(kTypes);
    append({
        "option||addr|String Array|0|0||||||Peer Address",
        "option||port|Integer Array|0|0||||||Peer Port",
        "option||queue-size|Integer|0|0|50|||||Message Queue Size",
        "option||ssl|Boolean|0|0|FALSE|||||Enable SSL for this peer",
        "option||active-request-timeout|Floating Point Value|0|1|-1.000000|||||Use add-peer/request-timeout instead",
        "option||request-timeout|Floating Point Value|0|0|-1.000000|||||Source request timeout",
        "option||heartbeat-time|Integer|0|0|-1|1||VantroPeers||Time between heartbeats",
        "option||heartbeat-slack-time|Floating Point Value|0|0|2.000000|0.100000||VantroPeers||Time when added to "
        "heartbeat triggers disconnect",
        "option||connect-timeout|Integer|0|0|10|||VantroPeers||Timeout for connections",
        "option||monitor-interval|Floating Point Value|0|0|0.000000|||||Interval between updating monitoring "
        "statistics",
        "option||thread-name|String|0|0||||||Name of the thread for running this peer",
        "endgroup||end-peer|End of group|0|0||||||End Peer section",
        "option||vantrix-reject-new-peers|Boolean|0|0|FALSE|||VantroPeers||Reject Peers with same ID",
        "option||vantrix-tcp-nodelay-off|Boolean|0|0|FALSE|||VantroPeers||Turn off TCP_NODELAY",
        "option||peer-monitor-interval|Floating Point Value|0|0|30.000000|||VantroPeers||Interval between collation "
        "of statistics",
        "option||peer-accept-wait-time|Floating Point Value|0|0|10.000000|||VantroPeers||Time to wait for an info "
        "packet when accepting a connection",
    });
    EXPECT_EQ(block, expected);
}

// Accessors

TEST_F(PeerConfig, AccessorsAnswerForPeersInTheTable)
{
    read("add-peer\nlabel a\nremote-id 4\nremote-name far\nremote-flags recvautoreplay\nremote-type contrib\n"
         "local-type active\nrequest-timeout 3\nend-peer\n"
         "add-peer\nlabel b\nend-peer\n");
    vn_num_peers = peer_num; // what start-up does once the table is complete
    peer_array[1].reject_conns = 1;
    char *name = nullptr;
    EXPECT_EQ(vn_peer_details(0, &name), 4);
    EXPECT_STREQ(name, "far");
    EXPECT_EQ(vn_peer_id(0), 4);
    EXPECT_STREQ(vn_peer_name(0), "far");
    EXPECT_EQ(vn_peer_flags(0), 4);
    EXPECT_EQ(vn_peer_type(0), 2);
    EXPECT_EQ(vn_peer_local_type(0), 1);
    EXPECT_EQ(vn_peer_enabled_state(0), 1);
    EXPECT_EQ(vn_peer_enabled_state(1), 0);
    EXPECT_EQ(_vn_peer_request_timeout(0), 3.0);
    EXPECT_EQ(_vn_peer(1), &peer_array[1]);
    EXPECT_STREQ(vn_peer_label_byindex(1), "b");
    EXPECT_EQ(vn_peer_by_label("b"), 1);
    EXPECT_EQ(vn_peer_by_label("c"), -1);
    EXPECT_EQ(vn_peer_by_label(nullptr), -1);
}

// The runtime itself calls the application with peer -1, which hands such
// numbers straight back.
TEST_F(PeerConfig, AccessorsRefuseNumbersOutsideTheTable)
{
    read("add-peer\nlabel only\nremote-id 4\nremote-name far\nremote-type active\nend-peer\n");
    vn_num_peers = peer_num;
    for (int peer : {-1, 1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(peer);
        char *text = reinterpret_cast<char *>(&peer); // anything but null
        EXPECT_EQ(vn_peer_details(peer, &text), -1);
        EXPECT_EQ(text, nullptr);
        text = reinterpret_cast<char *>(&peer);
        EXPECT_EQ(vn_peer_host_details(peer, &text), -1);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(vn_peer_id(peer), -1);
        EXPECT_EQ(vn_peer_name(peer), nullptr);
        EXPECT_EQ(vn_peer_flags(peer), 0);
        EXPECT_EQ(vn_peer_type(peer), 0);
        EXPECT_EQ(vn_peer_local_type(peer), 0);
        EXPECT_EQ(vn_peer_enabled_state(peer), 0);
        EXPECT_EQ(vn_peer_up(peer), 0);
        EXPECT_EQ(vn_peer_label_byindex(peer), nullptr);
        EXPECT_EQ(_vn_peer(peer), nullptr);
        EXPECT_EQ(_vn_peer_request_timeout(peer), -1.0);
        vn_peer_send_message(peer, 0, nullptr, [](int, void *) {
            ADD_FAILURE() << "ran for a peer outside the table";
            return 0;
        });
    }
    EXPECT_EQ(vn_peer_details(0, nullptr), 4); // the name is optional
}

TEST(PeerTable, BeforeStartUpNoNumberIsInTheTable)
{
    EXPECT_EQ(vn_num_peers, 0);
    EXPECT_EQ(_vn_peer(0), nullptr);
    EXPECT_EQ(vn_peer_by_label("0"), -1);
}

TEST(PeerTable, DecrementPeersKeepsTheMaximumWithinItsRange)
{
    struct Case {
        int num;
        int expected;
    } cases[] = {{1, 1022}, {-5, 1023}, {2000, 0}, {INT_MIN, 1023}, {INT_MAX, 0}, {0, 1023}};
    for (const Case &c : cases) {
        max_peers = 1023;
        vn_decrement_peers(c.num);
        EXPECT_EQ(max_peers, c.expected) << c.num;
    }
}

// Counts

TEST(PeerCounts, RequestsAndDiscardsCountOnThePeerAndTheGlobalRecord)
{
    peer_t peer{};
    _vn_peer_update_reqdsc_count(&peer, VN_SUBJREQ, 5);
    _vn_peer_update_reqdsc_count(&peer, VN_SUBJDSC, 2);
    for (const peer_t *record : {&peer, &default_peer}) {
        EXPECT_EQ(record->counters[kMessagesWritten].value, 2u);
        EXPECT_EQ(record->counters[kRequestsWritten].value, 5u);
        EXPECT_EQ(record->counters[kDiscardsWritten].value, 2u);
        EXPECT_EQ(record->counters[kActiveSubscriptions].value, 3u);
        uint64_t dirty = (uint64_t{1} << kMessagesWritten) | (uint64_t{1} << kRequestsWritten) |
                         (uint64_t{1} << kDiscardsWritten) | (uint64_t{1} << kActiveSubscriptions);
        EXPECT_EQ(record->mon_dirty, dirty);
    }
    _vn_peer_update_rogue_count(&peer);
    EXPECT_EQ(peer.counters[kRogueUpdate].value, 1u);
    EXPECT_EQ(default_peer.counters[kRogueUpdate].value, 1u);
    EXPECT_TRUE(peer.mon_dirty & (uint64_t{1} << kRogueUpdate));
}

TEST(PeerCounts, ActiveSubscriptionsNeverGoBelowZero)
{
    peer_t peer{};
    _vn_peer_update_reqdsc_count(&peer, VN_SUBJREQ, 2);
    _vn_peer_update_reqdsc_count(&peer, VN_SUBJDSC, 5);
    EXPECT_EQ(peer.counters[kActiveSubscriptions].value, 0u);
    EXPECT_EQ(default_peer.counters[kActiveSubscriptions].value, 0u);
    _vn_peer_update_reqdsc_count(&peer, VN_SUBJREQ, 1);
    EXPECT_EQ(peer.counters[kActiveSubscriptions].value, 1u);
    _vn_peer_update_reqdsc_count(&peer, VN_SUBJDSC, -4); // a negative count changes nothing
    EXPECT_EQ(peer.counters[kActiveSubscriptions].value, 1u);
}

// Sets

namespace {

vn_set_t set_of(std::initializer_list<int> peers)
{
    vn_set_t set{};
    for (int peer : peers)
        set.bits[peer / 32] |= vnset_element_t{1} << (peer % 32);
    return set;
}

} // namespace

TEST(PeerSets, OperationsWorkOverAllWords)
{
    struct Case {
        const char *name;
        vn_set_t a, b, c;
        int iszero_a, and_iszero, and3_iszero, isequal;
        vn_set_t or_ab, and_ab;
    } cases[] = {
        {"empty", set_of({}), set_of({}), set_of({}), 1, 1, 1, 1, set_of({}), set_of({})},
        {"shared middle bit", set_of({1, 2}), set_of({2, 3}), set_of({2}), 0, 0, 0, 0, set_of({1, 2, 3}),
         set_of({2})},
        {"two of three share", set_of({1}), set_of({1}), set_of({2}), 0, 0, 1, 1, set_of({1}), set_of({1})},
        {"last word", set_of({1023}), set_of({1023, 0}), set_of({1023}), 0, 0, 0, 0, set_of({0, 1023}),
         set_of({1023})},
        {"word edges", set_of({31, 32}), set_of({33, 63}), set_of({31}), 0, 1, 1, 0, set_of({31, 32, 33, 63}),
         set_of({})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vn_iszero(&c.a), c.iszero_a);
        EXPECT_EQ(vn_and_iszero(&c.a, &c.b), c.and_iszero);
        EXPECT_EQ(vn_and3_iszero(&c.a, &c.b, &c.c), c.and3_iszero);
        EXPECT_EQ(vn_isequal(&c.a, &c.b), c.isequal);
        vn_set_t result;
        vn_or(&c.a, &c.b, &result);
        EXPECT_TRUE(vn_isequal(&result, &c.or_ab));
        vn_and(&c.a, &c.b, &result);
        EXPECT_TRUE(vn_isequal(&result, &c.and_ab));
        // The result may be one of the operands.
        vn_set_t in_place = c.a;
        vn_or(&in_place, &c.b, &in_place);
        EXPECT_TRUE(vn_isequal(&in_place, &c.or_ab));
    }
}

namespace {

// A table of `count` peers whose numbers the set helpers read.
class PeerTableFixture : public testing::Test {
protected:
    void make_table(int count, int remote_type)
    {
        table_.assign(static_cast<size_t>(count), peer_t{});
        for (int i = 0; i < count; i++) {
            table_[static_cast<size_t>(i)].num = i;
            table_[static_cast<size_t>(i)].remote_type = remote_type;
        }
        peer_array = table_.data();
        peer_num = vn_num_peers = count;
    }
    void TearDown() override
    {
        peer_array = nullptr;
        peer_num = vn_num_peers = 0;
        _vn_peers_up = vn_set_t{};
    }

    std::vector<peer_t> table_;
};

using PeerSetWriters = PeerTableFixture;

} // namespace

TEST_F(PeerSetWriters, TypesFollowTheRemoteTypes)
{
    make_table(40, 0);
    peer_set_remote_type(&peer_array[33], 1);
    peer_set_remote_type(&peer_array[2], 2);
    vn_set_t expected = set_of({33});
    EXPECT_TRUE(vn_isequal(&_vn_peers_active, &expected));
    EXPECT_EQ(vn_peer_all_type(0xFF), 3);
    EXPECT_EQ(vn_peer_all_type(2), 2);
    EXPECT_EQ(vn_peer_type(33), 1);
    peer_set_remote_type(&peer_array[33], 0);
    EXPECT_TRUE(vn_iszero(&_vn_peers_active));
    EXPECT_EQ(vn_peer_all_type(0xFF), 2);
}

// Peer threads change neighbouring bits of one word at the same time: no
// change may be lost.
TEST_F(PeerSetWriters, ConcurrentUpAndDownLoseNoBit)
{
    constexpr int kThreads = 8;
    constexpr int kPeers = 256;
    constexpr int kRounds = 2000;
    make_table(kPeers, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int round = 0; round < kRounds; round++) {
                for (int peer = t; peer < kPeers; peer += kThreads) {
                    peer_mark_up(&peer_array[peer]);
                    if (round % 2 == 0 || peer % 3 == 0)
                        peer_mark_down(&peer_array[peer]);
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    vn_set_t expected{};
    for (int peer = 0; peer < kPeers; peer++) {
        if (peer % 3 != 0)
            expected.bits[peer / 32] |= vnset_element_t{1} << (peer % 32);
    }
    EXPECT_TRUE(vn_isequal(&_vn_peers_up, &expected));
}

// A reader must never see the active set emptied half-way through a
// recomputation while every peer stays active.
TEST_F(PeerSetWriters, ReadersNeverSeeAHalfRecomputedSet)
{
    make_table(100, 1);
    peer_recalc_types();
    vn_set_t all = _vn_peers_active;
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (!vn_isequal(&_vn_peers_active, &all) || vn_peer_all_type(1) != 1)
                wrong++;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++) {
        writers.emplace_back([t] {
            for (int round = 0; round < 5000; round++) {
                if (round % 2 == 0)
                    peer_recalc_types();
                else
                    peer_set_remote_type(&peer_array[t], 1);
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    done = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Event ring

TEST(PeerEvents, RingKeepsTheNineNewestOldestFirst)
{
    peer_t peer{};
    EXPECT_TRUE(peer_monitor_event_list(&peer).empty());
    for (int i = 0; i < 12; i++)
        peer_monitor_event_add(&peer, "event %d", i);
    std::vector<std::string> expected;
    for (int i = 3; i < 12; i++)
        expected.push_back("event " + std::to_string(i));
    EXPECT_EQ(peer_monitor_event_list(&peer), expected);
}

TEST(PeerEvents, LongTextsAreCutToTheSlot)
{
    peer_t peer{};
    std::string long_text(500, 'x');
    peer_monitor_event_add(&peer, "%s", long_text.c_str());
    std::vector<std::string> events = peer_monitor_event_list(&peer);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], std::string(kPeerEventBytes - 1, 'x'));
}

// The peer part of Vantro.xml, written by the real morvask

namespace {

// An element and its descendants as lines of "name attr=value ...", in
// document order, indented by depth.
void render(xmlNodePtr node, int depth, std::vector<std::string> *lines)
{
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        std::string line(static_cast<size_t>(depth) * 2, ' ');
        line += reinterpret_cast<const char *>(node->name);
        for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
            xmlChar *value = xmlNodeListGetString(node->doc, attr->children, 1);
            line += std::string(" ") + reinterpret_cast<const char *>(attr->name) + "=" +
                    reinterpret_cast<const char *>(value);
            xmlFree(value);
        }
        lines->push_back(line);
        render(node->children, depth + 1, lines);
    }
}

struct PeerXml {
    std::vector<std::string> root;  // the root element's own line
    std::vector<std::string> peers; // every peer element with its children
};

PeerXml morvask_peer_xml(const std::string &conf)
{
    TempRoot root;
    root.write("morvask.conf", "application-name feed\nvantrix-name node-%a\n" + conf);
    vntest::RunResult result = vntest::run_morvask({"--application-root", root.path()}, root.path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    PeerXml xml;
    xmlDocPtr doc = xmlReadFile(root.file("Vantro.xml").c_str(), nullptr, 0);
    if (doc == nullptr) {
        ADD_FAILURE() << "no Vantro.xml";
        return xml;
    }
    xmlNodePtr top = xmlDocGetRootElement(doc);
    std::vector<std::string> all;
    render(top, 0, &all);
    xml.root.push_back(all.front());
    for (size_t i = 1, inside = 0; i < all.size(); i++) {
        bool top_level = all[i].rfind("  ", 0) == 0 && all[i].rfind("    ", 0) != 0;
        if (top_level)
            inside = all[i].rfind("  peer", 0) == 0;
        if (inside)
            xml.peers.push_back(all[i]);
    }
    xmlFreeDoc(doc);
    return xml;
}

} // namespace

TEST(PeerXmlOut, WithoutPeersTheRootGetsOnlyItsAttributes)
{
    PeerXml xml = morvask_peer_xml("vantrix-id 3\n");
    EXPECT_EQ(xml.root, (std::vector<std::string>{"vantro id=3 appName=feed"}));
    EXPECT_TRUE(xml.peers.empty());
}

TEST(PeerXmlOut, EveryPeerIsWrittenWithItsLinks)
{
    PeerXml xml = morvask_peer_xml("vantrix-id 12\nvantrix-sslport 7443\nvantrix-reject-new-peers\n"
                                   "add-peer\nssl\nqueue-size 9\nheartbeat-time 2000000000\nheartbeat-slack-time 2.3\n"
                                   "local-name me-%a\nlocal-type active|contrib\nremote-id 4\nremote-name up\n"
                                   "remote-type contrib\naddr 10.0.0.1\nport 8001 8002\nend-peer\n"
                                   "add-peer\nlocal-id 6\nremote-type active\nport 9000\nend-peer\n"
                                   "add-peer\naddr 10.0.0.5 10.0.0.6 10.0.0.7\nport 7001 7002\nend-peer\n"
                                   "add-peer\nend-peer\n");
    EXPECT_EQ(xml.root, (std::vector<std::string>{"vantro id=12 appName=feed SSLPort=7443"}));
    std::vector<std::string> expected = {
        // Heartbeat milliseconds past 32 bits, a slack with no exact double;
        // one address for two ports.
        "  peer ssl=true msgQueueSize=9 ejectExistingConnection=false",
        "    heartbeat time=2000000000000 slackTime=2300",
        "    local name=me-feed id=12 type=ACTIVE CONTRIB",
        "    remote name=up id=4 type=CONTRIB",
        "    destination address=10.0.0.1 port=8001",
        "    destination address=10.0.0.1 port=8002",
        // No address at all: localhost.
        "  peer msgQueueSize=50 ejectExistingConnection=false",
        "    local name=node-feed id=6",
        "    remote name=src-1 type=ACTIVE",
        "    destination address=localhost port=9000",
        // More addresses than ports: one destination per port.
        "  peer msgQueueSize=50 ejectExistingConnection=false",
        "    local name=node-feed id=12",
        "    remote name=src-2",
        "    destination address=10.0.0.5 port=7001",
        "    destination address=10.0.0.6 port=7002",
        // Accept-only.
        "  peer msgQueueSize=50 ejectExistingConnection=false",
        "    local name=node-feed id=12",
        "    remote name=src-3",
    };
    EXPECT_EQ(xml.peers, expected);
}
