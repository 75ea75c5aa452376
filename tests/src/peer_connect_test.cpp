// Peer connections over real loopback sockets: accepted links matched by
// their first PEERINFO, refused and timed-out connections with their log
// lines, the second-connection rule, outgoing connects with address rotation
// and back-off, a connect whose name resolution blocks, status down and
// manual reset.
#include "msgq.h"
#include "peer.h"
#include "peer_harness.h"
#include "tls_link.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vntest;

namespace {

// A host name whose resolution on peer 0's thread waits until the test
// releases it, and then gives the loopback address. Start-up resolves it
// too (on the init thread), and is let through.
constexpr const char *kSlowName = "slow-resolver.test";

struct ResolverGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;

    bool wait_entered()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(kWireDeadline), [this] { return entered; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};
ResolverGate &resolver_gate = *new ResolverGate;

bool on_peer_zero_thread()
{
    char name[16] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    size_t len = std::strlen(name);
    return len >= 6 && std::strcmp(name + len - 6, "peer-0") == 0;
}

} // namespace

// Interposed on the C library's resolver for this test program: every name
// but the slow one resolves as usual.
extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                           struct addrinfo **res)
{
    using resolver_t = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static resolver_t real = reinterpret_cast<resolver_t>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node != nullptr && std::strcmp(node, kSlowName) == 0) {
        if (on_peer_zero_thread()) {
            std::unique_lock<std::mutex> lock(resolver_gate.mutex);
            resolver_gate.entered = true;
            resolver_gate.changed.notify_all();
            resolver_gate.changed.wait(lock, [] { return resolver_gate.released; });
        }
        node = "127.0.0.1";
    }
    return real(node, service, hints, res);
}

namespace {

constexpr int kLocalId = 11;

int status_count()
{
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    return static_cast<int>(handoffs.statuses.size());
}

std::vector<int> status_states()
{
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    std::vector<int> states;
    for (const auto &status : handoffs.statuses)
        states.push_back(status.state);
    return states;
}

// A runtime that listens on a free port for the test side to connect to.
class Accepting : public testing::Test {
protected:
    void start(const std::string &conf)
    {
        record_handoffs();
        port_ = free_tcp_port();
        runtime_ = std::make_unique<PeerRuntime>("vantrix-id " + std::to_string(kLocalId) +
                                                 "\nvantrix-name me\nvantrix-port " + std::to_string(port_) + "\n" +
                                                 conf);
        ASSERT_EQ(runtime_->start(), 0);
        ASSERT_TRUE(runtime_->wait_log("Opening port " + std::to_string(port_) + " for vantrix peer access\n"));
    }

    WireSocket dial()
    {
        WireSocket remote;
        // The accept watch starts when the init thread's loop first runs.
        for (int tries = 0; tries < 2000 && !remote.valid(); tries++)
            remote = WireSocket::connect_to(port_);
        return remote;
    }

    // Connects and sends a PEERINFO; the library answers with its own.
    WireSocket join(uint16_t id, const std::string &name, int up_count, const std::string &behind = "")
    {
        WireSocket remote = dial();
        remote.send(frame(5, info_payload(0, 2, id, name)) + behind);
        EXPECT_TRUE(handoffs.wait([&] { return static_cast<int>(handoffs.statuses.size()) >= up_count; }));
        return remote;
    }

    std::string from(const WireSocket &remote) const
    {
        return "127.0.0.1:" + std::to_string(remote.local_port());
    }

    int port_ = 0;
    std::unique_ptr<PeerRuntime> runtime_;
};

const std::string kAcceptOnly = "add-peer\nremote-id 31\nheartbeat-time 30\nend-peer\n";

std::string numbered(int number, size_t size)
{
    std::string payload = std::to_string(number) + ":";
    payload.resize(size, 'x');
    return payload;
}

// Sends to a peer from the test thread, as data services would.
void send_update(int peer, std::string payload)
{
    vn_msg_t msg{VN_DATAUPDATE, static_cast<uint32_t>(payload.size()), reinterpret_cast<unsigned char *>(payload.data()),
                 nullptr, 0};
    _vn_peer_send(peer, &msg, 0);
}

void send_numbered(int peer, int first, int count, size_t size)
{
    for (int i = first; i < first + count; i++)
        send_update(peer, numbered(i, size));
}

bool peer_went_down(int peer)
{
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    for (const auto &status : handoffs.statuses)
        if (status.peer == peer && status.state == 512)
            return true;
    return false;
}

// Lowers the slow-consumer bounds for one test and puts them back after.
struct SlowConsumerBounds {
    explicit SlowConsumerBounds(const msgq_slow_consumer_bounds_t &bounds) { _vn_msgq_slow_consumer_bounds_set(bounds); }
    ~SlowConsumerBounds() { _vn_msgq_slow_consumer_bounds_set(kMsgqSlowConsumerBounds); }
};

} // namespace

TEST_F(Accepting, FirstPeerInfoMatchesThePeerAndFramesBehindItAreDispatched)
{
    ASSERT_NO_FATAL_FAILURE(start(kAcceptOnly));
    std::string request = Bytes().u16(0).u16(200).u16(1).text("PIPE.1").data;
    WireSocket remote = join(31, "acc", 1, frame(3, request));
    WireFrame got;
    ASSERT_TRUE(remote.read_frame(&got));
    EXPECT_EQ(got.type, 5); // out of band, ahead of anything else
    EXPECT_EQ(got.payload, info_payload(0, 0, kLocalId, "me"));
    ASSERT_TRUE(remote.read_frame(&got));
    EXPECT_EQ(got.payload, heartbeat_payload(0, 30));
    ASSERT_TRUE(handoffs.wait([] { return !handoffs.messages.empty(); }));
    {
        std::lock_guard<std::mutex> lock(handoffs.mutex);
        EXPECT_EQ(handoffs.statuses[0].remote_id, 31);
        EXPECT_EQ(handoffs.statuses[0].remote_name, "acc");
        EXPECT_EQ(handoffs.messages[0].texts, std::vector<std::string>{"PIPE.1"});
    }
    std::string address = "127.0.0.1 " + std::to_string(remote.local_port());
    EXPECT_TRUE(runtime_->wait_log("Accepted connection from " + address + "\n"));
    EXPECT_TRUE(runtime_->wait_log("Accepting peer id 31 on " + address + "\n"));
    runtime_->on_peer(0, [](peer_t &peer) {
        EXPECT_EQ(peer.received_info, 1);
        EXPECT_EQ(peer.connected, 1);
        EXPECT_EQ(peer.remote_type, 2);
    });
    std::string header;
    std::vector<PacketRecord> records;
    ASSERT_TRUE(read_packet_log(runtime_->packet_log_path(), &header, &records));
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].direction, '<');
    EXPECT_EQ(records[0].type, 5);
    EXPECT_EQ(records[0].address, "127.0.0.1"); // the remote end of an accepted link
    EXPECT_EQ(records[0].payload, info_payload(0, 2, 31, "acc"));
    EXPECT_EQ(records[1].direction, '>');
    EXPECT_EQ(records[1].type, 5);
}

TEST_F(Accepting, RefusedConnectionsAreClosedWithTheirLogLines)
{
    // Peer 0 connects out (to a listener that never answers), peer 1 is disabled.
    WireListener silent;
    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 21\naddr 127.0.0.1\nport " + std::to_string(silent.port()) +
                                  "\nend-peer\n"
                                  "add-peer\nremote-id 41\nlocal-flags noconnect\nend-peer\n"));
    struct Case {
        std::string first;
        std::string line; // after "Rejecting peer on <address>"; empty: refused without a word
    } cases[] = {
        {frame(7, heartbeat_payload(0, 5)), " with packet type 7\n"},
        {frame(5, "abc"), " with packet type 5\n"},
        {frame(5, info_payload(0, 0, 99, "who")), " with id 99\n"},
        {frame(5, info_payload(0, 0, 21, "out")), ""},
        {frame(5, info_payload(0, 0, 41, "off")), ""},
    };
    for (const Case &c : cases) {
        WireSocket remote = dial();
        remote.send(c.first);
        EXPECT_TRUE(remote.wait_eof()) << c.line;
        std::string rejecting = "Rejecting peer on " + from(remote);
        if (c.line.empty())
            EXPECT_EQ(runtime_->count_log(rejecting), 0);
        else
            EXPECT_TRUE(runtime_->wait_log(rejecting + c.line));
    }
    EXPECT_TRUE(runtime_->wait_log("Bad VN_PEERINFO packet of length 3\n"));
    for (int peer : {0, 1})
        runtime_->on_peer(peer, [](peer_t &record) { EXPECT_EQ(record.received_info, 0); });
    EXPECT_EQ(status_count(), 0);
}

TEST_F(Accepting, AcceptOnlyPeerIsMatchedBeforeAnOutgoingPeerWithTheSameId)
{
    WireListener silent;
    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 31\naddr 127.0.0.1\nport " + std::to_string(silent.port()) +
                                  "\nend-peer\n" + kAcceptOnly));
    WireSocket remote = join(31, "acc", 1);
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    EXPECT_EQ(handoffs.statuses[0].peer, 1);
}

TEST_F(Accepting, SecondConnectionReplacesTheFirstWhenNewPeersAreNotRejected)
{
    ASSERT_NO_FATAL_FAILURE(start(kAcceptOnly));
    WireSocket first = join(31, "one", 1);
    const char *first_name = vn_peer_name(0);
    WireSocket second = join(31, "two", 3);
    EXPECT_TRUE(first.wait_eof());
    // A name handed out stays readable after the peer learnt another.
    EXPECT_STREQ(first_name, "one");
    EXPECT_STREQ(vn_peer_name(0), "two");
    EXPECT_EQ(status_states(), (std::vector<int>{256, 512, 256}));
    WireFrame got;
    ASSERT_TRUE(second.read_frame_of(5, &got));
    EXPECT_EQ(got.payload, info_payload(0, 0, kLocalId, "me"));
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    EXPECT_EQ(handoffs.statuses[2].remote_name, "two");
}

TEST_F(Accepting, SecondConnectionIsRefusedWhenNewPeersAreRejected)
{
    ASSERT_NO_FATAL_FAILURE(start("vantrix-reject-new-peers\n" + kAcceptOnly));
    WireSocket first = join(31, "one", 1);
    WireSocket second = dial();
    second.send(frame(5, info_payload(0, 2, 31, "two")));
    EXPECT_TRUE(second.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Rejecting peer on " + from(second) + " with id 31\n"));
    // The first link is untouched and still carries messages.
    first.send(frame(6, Bytes().u16(1).u16(0).u16(0).text("STILL").text("").data));
    ASSERT_TRUE(handoffs.wait([] { return !handoffs.messages.empty(); }));
    EXPECT_EQ(status_states(), std::vector<int>{256});
}

TEST_F(Accepting, SilentConnectionIsDroppedAfterTheAcceptWaitTime)
{
    ASSERT_NO_FATAL_FAILURE(start("peer-accept-wait-time 0.2\n" + kAcceptOnly));
    WireSocket remote = dial();
    EXPECT_TRUE(remote.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Timing out attempted peer connection from " + from(remote) + "\n"));
}

TEST_F(Accepting, HugeFirstFrameIsRefusedWithoutTakingThePeerDown)
{
    ASSERT_NO_FATAL_FAILURE(start(kAcceptOnly));
    WireSocket hostile = dial();
    hostile.send(Bytes().u16(5).u32(0xFFFFFFFF).data);
    EXPECT_TRUE(hostile.wait_eof());
    WireSocket remote = join(31, "acc", 1);
    EXPECT_EQ(vn_peer_up(0), 1);
}

TEST_F(Accepting, ProcessStatusDownClosesTheListenSocketAndStatusUpReopensIt)
{
    ASSERT_NO_FATAL_FAILURE(start(kAcceptOnly));
    WireSocket remote = join(31, "acc", 1);
    vn_set_status_down();
    EXPECT_TRUE(remote.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Setting status of peer 0 to DOWN\n"));
    bool refused = false;
    for (int tries = 0; tries < 2000 && !refused; tries++)
        refused = !WireSocket::connect_to(port_).valid();
    EXPECT_TRUE(refused);
    runtime_->on_peer(0, [](peer_t &peer) { EXPECT_EQ(peer.reject_conns, 1); });

    vn_set_status_up();
    // The peers are enabled on their own threads, after the listen socket reopened.
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.reject_conns == 0; }));
    WireSocket again = join(31, "again", 3);
    EXPECT_EQ(status_states(), (std::vector<int>{256, 512, 256}));
    EXPECT_EQ(runtime_->count_log("Opening port " + std::to_string(port_) + " for vantrix peer access\n"), 2);
}

namespace {

size_t heap_in_use()
{
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// A 60,000-byte remote name, distinct per round.
std::string long_name(int round)
{
    return vntest::numbered("name-", round, "-") + std::string(60000, 'x');
}

} // namespace

TEST_F(Accepting, RemoteNamesOfManyHandshakesDoNotPileUp)
{
    ASSERT_NO_FATAL_FAILURE(start(kAcceptOnly));
    WireSocket link;
    const char *held = nullptr;
    size_t before = 0;
    constexpr int kWarmUp = 20, kRounds = 320;
    for (int round = 0; round < kRounds; round++) {
        std::string name = long_name(round);
        WireSocket remote = dial();
        remote.send(frame(5, info_payload(0, 2, 31, name)));
        ASSERT_TRUE(handoffs.wait([&] {
            for (const auto &status : handoffs.statuses)
                if (status.state == 256 && status.remote_name == name)
                    return true;
            return false;
        })) << round;
        {
            std::lock_guard<std::mutex> lock(handoffs.mutex);
            handoffs.statuses.clear(); // the recorder's copies of the names
        }
        link = std::move(remote); // the replaced link closes
        if (round == kWarmUp) {
            before = heap_in_use();
            held = vn_peer_name(0);
        }
        // A name handed out is still readable after 15 more changes.
        if (round == kWarmUp + 15) {
            EXPECT_EQ(std::string(held), long_name(kWarmUp));
        }
    }
    EXPECT_EQ(std::string(vn_peer_name(0)), long_name(kRounds - 1));
    // 300 names of 60,000 bytes kept would be 18 MB.
    EXPECT_LT(heap_in_use(), before + 3 * 1000 * 1000);
}

// ---- A connect whose name resolution blocks ----

namespace {

// Peer 0 connects out to the slow name, peer 1 only accepts.
class SlowResolver : public Accepting {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> lock(resolver_gate.mutex);
        resolver_gate.entered = false;
        resolver_gate.released = false;
    }
    // Before the runtime goes: peer 0's thread may still wait in the resolver.
    void TearDown() override { resolver_gate.release(); }

    void start_resolving()
    {
        start("add-peer\nremote-id 21\naddr " + std::string(kSlowName) + "\nport " +
              std::to_string(listener_.port()) + "\nend-peer\n" + kAcceptOnly);
    }

    WireListener listener_;
};

} // namespace

TEST_F(SlowResolver, OtherPeersAndSendersGoOnWhileAConnectResolvesItsAddress)
{
    ASSERT_NO_FATAL_FAILURE(start_resolving());
    ASSERT_TRUE(resolver_gate.wait_entered());
    // The init thread matches another peer's PEERINFO and that peer answers.
    WireSocket remote = join(31, "acc", 1);
    WireFrame got;
    ASSERT_TRUE(remote.read_frame_of(5, &got));
    // A send to the resolving peer returns (it has no queue yet).
    auto send = std::async(std::launch::async, [] {
        std::string payload = heartbeat_payload(0, 5);
        vn_msg_t msg = message_of(VN_HEARTBEAT, payload);
        _vn_peer_send(0, &msg, 0);
    });
    EXPECT_EQ(send.wait_for(std::chrono::duration<double>(kWireDeadline)), std::future_status::ready);
    resolver_gate.release();
    send.wait();
    // Once the name resolves the connect goes on as usual.
    WireSocket link = listener_.accept();
    ASSERT_TRUE(link.valid());
    ASSERT_TRUE(link.read_frame_of(5, &got));
    EXPECT_EQ(got.payload, info_payload(0, 0, kLocalId, "me"));
}

TEST_F(SlowResolver, ConnectOfAPeerDisabledWhileItResolvedIsGivenUp)
{
    ASSERT_NO_FATAL_FAILURE(start_resolving());
    ASSERT_TRUE(resolver_gate.wait_entered());
    // The lock is free while the name resolves.
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(kWireDeadline);
    ASSERT_EQ(pthread_mutex_timedlock(&peer_array[0].peer_lock, &deadline), 0);
    peer_array[0].reject_conns = 1;
    pthread_mutex_unlock(&peer_array[0].peer_lock);
    resolver_gate.release();
    runtime_->on_peer(0, [](peer_t &peer) {
        EXPECT_EQ(peer.sock, -1);
        EXPECT_EQ(peer.conn_rev, nullptr);
        EXPECT_EQ(peer.conn_tev, nullptr);
        EXPECT_EQ(peer.reconn_ev, nullptr);
    });
}

// ---- Outgoing ----

namespace {

class Outgoing : public testing::Test {
protected:
    void start(const std::string &peer)
    {
        record_handoffs();
        runtime_ = std::make_unique<PeerRuntime>("vantrix-id " + std::to_string(kLocalId) + "\nvantrix-name me\n" +
                                                 peer);
        ASSERT_EQ(runtime_->start(), 0);
    }

    std::string connecting(const std::string &address, int port) const
    {
        return "Connecting to peer id 21 on " + address + " " + std::to_string(port) + "\n";
    }

    // Starts one outgoing peer to the ports of `listeners` and takes its
    // connection on the first, up to the library's PEERINFO.
    WireSocket first_link(const std::vector<WireListener *> &listeners)
    {
        std::string ports;
        for (WireListener *listener : listeners)
            ports += vntest::numbered(" ", listener->port());
        start("add-peer\nremote-id 21\naddr 127.0.0.1\nport" + ports + "\nend-peer\n");
        WireSocket remote = listeners[0]->accept();
        WireFrame info;
        EXPECT_TRUE(remote.read_frame(&info));
        return remote;
    }

    std::unique_ptr<PeerRuntime> runtime_;
};

struct Backoff {
    int delay;
    int failcnt;
};

Backoff backoff_of(PeerRuntime &runtime)
{
    Backoff seen{};
    runtime.on_peer(0, [&](peer_t &peer) { seen = {peer.delay, peer.failcnt}; });
    return seen;
}

} // namespace

TEST_F(Outgoing, FailedPassesRotateAddressesAndBackOff)
{
    // Nothing listens on either port; the second port has no address of its
    // own and uses the last configured one.
    int first = free_tcp_port(), second = free_tcp_port();
    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 21\naddr 127.0.0.2\nport " + std::to_string(first) + " " +
                                  std::to_string(second) + "\nend-peer\n"));
    ASSERT_TRUE(runtime_->wait_log(connecting("127.0.0.2", second)));
    std::string log = runtime_->event_log();
    EXPECT_LT(log.find(connecting("127.0.0.2", first)), log.find(connecting("127.0.0.2", second)));
    EXPECT_TRUE(runtime_->wait_log("Failed connecting to peer id 21 on 127.0.0.2 " + std::to_string(first)));

    auto next_failure = [&] {
        int seen = runtime_->count_log("Failed connecting to peer id 21");
        return runtime_->wait_log("Failed connecting to peer id 21", kWireDeadline, seen + 1);
    };
    ASSERT_TRUE(next_failure());
    EXPECT_EQ(backoff_of(*runtime_).delay, 1);
    // The tenth failed pass at one delay doubles it ...
    runtime_->on_peer(0, [](peer_t &peer) { peer.failcnt = 9; });
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.delay == 2; }));
    EXPECT_EQ(backoff_of(*runtime_).failcnt, 0);
    // ... and never past 32 seconds.
    runtime_->on_peer(0, [](peer_t &peer) {
        peer.delay = 32;
        peer.failcnt = 9;
    });
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.failcnt >= 10; }));
    EXPECT_EQ(backoff_of(*runtime_).delay, 32);
}

TEST_F(Outgoing, ConnectThatNeverCompletesTimesOut)
{
    // A listener whose queue is full leaves further connects unanswered.
    int full = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(full, 0), 0);
    socklen_t len = sizeof address;
    getsockname(full, reinterpret_cast<sockaddr *>(&address), &len);
    int port = ntohs(address.sin_port);
    WireSocket filler = WireSocket::connect_to(port);
    ASSERT_TRUE(filler.valid());

    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 21\naddr 127.0.0.1\nport " + std::to_string(port) +
                                  "\nconnect-timeout 1\nend-peer\n"));
    EXPECT_TRUE(runtime_->wait_log("Failed connecting to peer id 21 on 127.0.0.1 " + std::to_string(port) +
                                   " (Non-blocking Timeout)\n"));
    close(full);
}

TEST_F(Outgoing, PeerWithoutAddressConnectsToTheLocalHost)
{
    int port = free_tcp_port();
    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 21\nport " + std::to_string(port) + "\nend-peer\n"));
    EXPECT_TRUE(runtime_->wait_log(connecting("127.0.0.1", port)));
}

TEST_F(Outgoing, PeerInfoTimeoutClosesTheSocketAndRetries)
{
    WireListener listener;
    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 21\naddr 127.0.0.1\nport " + std::to_string(listener.port()) +
                                  "\nconnect-timeout 1\nend-peer\n"));
    WireSocket remote = listener.accept();
    ASSERT_TRUE(remote.valid());
    EXPECT_TRUE(remote.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Failed connecting to peer id 21 on 127.0.0.1 " + std::to_string(listener.port()) +
                                   " (PEERINFO Timeout)\n"));
    WireSocket again = listener.accept();
    EXPECT_TRUE(again.valid());
}

TEST_F(Outgoing, StatusDownClosesALinkAwaitingPeerInfoAndStatusUpReconnects)
{
    WireListener listener;
    WireSocket remote = first_link({&listener});
    ASSERT_TRUE(remote.valid());
    vn_set_status_down_to_peer(0);
    EXPECT_TRUE(remote.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Setting status of peer 0 to DOWN\n"));
    runtime_->on_peer(0, [](peer_t &peer) {
        EXPECT_EQ(peer.reject_conns, 1);
        EXPECT_EQ(peer.sock, -1);
        EXPECT_EQ(peer.msgq, nullptr);
        EXPECT_EQ(peer.reconn_ev, nullptr);
    });
    vn_set_status_up_to_peer(0);
    EXPECT_TRUE(runtime_->wait_log("Setting status of peer 0 to UP\n"));
    WireSocket again = listener.accept();
    EXPECT_TRUE(again.valid());
}

TEST_F(Outgoing, ManualResetMovesTheLinkToTheChosenPort)
{
    WireListener first, second;
    WireSocket remote = first_link({&first, &second});
    ASSERT_TRUE(remote.valid());
    remote.send(frame(5, info_payload(0, 0, 21, "feed")));
    ASSERT_TRUE(handoffs.wait([] { return handoffs.statuses.size() >= 1; }));
    runtime_->on_peer(0, [](peer_t &peer) { peer_reset_connection(1, &peer); });
    EXPECT_TRUE(remote.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Requesting reconnection of peer 0\n"));
    EXPECT_TRUE(runtime_->wait_log("Connection closed to peer 21 on 127.0.0.1 " + std::to_string(first.port()) +
                                   " - manual reset\n"));
    WireSocket moved = second.accept();
    EXPECT_TRUE(moved.valid());
    EXPECT_EQ(status_states(), (std::vector<int>{256, 512}));
}

// ---- Backlogs and slow consumers ----

TEST_F(Accepting, ReconnectedPeerGetsItsWholeBacklogAndThenWhatIsSentAfter)
{
    // Room for a backlog several times what a loopback socket holds.
    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 31\nqueue-size 1100\nend-peer\n"));
    join(31, "acc", 1); // and closed at once
    ASSERT_TRUE(handoffs.wait([] { return handoffs.statuses.size() == 2; }));
    constexpr int kBacklog = 1000;
    constexpr size_t kSize = 16000; // one to a write buffer
    send_numbered(0, 0, kBacklog, kSize);
    WireSocket back = join(31, "acc", 3);
    send_numbered(0, kBacklog, 10, kSize);
    WireFrame got;
    ASSERT_TRUE(back.read_frame(&got));
    EXPECT_EQ(got.type, 5);
    for (int i = 0; i < kBacklog + 10; i++) {
        ASSERT_TRUE(back.read_frame(&got)) << i;
        ASSERT_EQ(got.payload, numbered(i, kSize)) << i;
    }
}

TEST_F(Accepting, PeerThatStopsReadingIsCutWhileOthersFlowAndWorksAgainAfterReconnecting)
{
    constexpr uint64_t kBound = 4 << 20;
    constexpr size_t kSize = 1000;
    SlowConsumerBounds bounds({kBound, kBound, 3600});
    ASSERT_NO_FATAL_FAILURE(start("add-peer\nremote-id 31\nqueue-size 50\nend-peer\n"
                                  "add-peer\nremote-id 32\nqueue-size 50\nend-peer\n"));
    WireSocket stalled = join(31, "slow", 1); // and never read
    WireSocket healthy = join(32, "fast", 2);
    int healthy_got = 0;
    bool healthy_in_order = true;
    std::thread reader([&] {
        WireFrame got;
        while (healthy.read_frame_of(VN_DATAUPDATE, &got) && got.payload != "end")
            healthy_in_order = healthy_in_order && got.payload == numbered(healthy_got++, kSize);
    });
    int sent = 0;
    // Far more than the bound and the socket together, should the cut never come.
    while (!peer_went_down(0) && sent < 100000) {
        send_update(0, numbered(sent, kSize));
        send_update(1, numbered(sent, kSize));
        sent++;
    }
    send_update(1, "end");
    reader.join();
    EXPECT_EQ(healthy_got, sent);
    EXPECT_TRUE(healthy_in_order);
    ASSERT_TRUE(peer_went_down(0));
    std::string address = "127.0.0.1 " + std::to_string(stalled.local_port());
    std::string line = "Closing slow consumer peer id 31 on " + address + " with ";
    ASSERT_TRUE(runtime_->wait_log("Lost connection to peer 31 on " + address + "\n"));
    std::string log = runtime_->event_log();
    size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos);
    unsigned long long queued = 0;
    ASSERT_EQ(std::sscanf(log.c_str() + at + line.size(), "%llu bytes queued\n", &queued), 1);
    EXPECT_GT(queued, kBound);
    EXPECT_LE(queued, kBound + kSize + 6);
    runtime_->on_peer(0, [](peer_t &peer) {
        ASSERT_NE(peer.msgq, nullptr);
        msgq_lock lock(peer.msgq);
        EXPECT_LT(peer.msgq->writeq_len, 50); // what queue-size allows
    });
    stalled = WireSocket();
    WireSocket back = join(31, "slow", 4);
    send_update(0, "again");
    WireFrame got;
    ASSERT_TRUE(back.read_frame(&got));
    EXPECT_EQ(got.type, 5);
    // The newest of what was kept, in order, then what came after.
    int kept = 0;
    std::string last;
    while (back.read_frame_of(VN_DATAUPDATE, &got) && got.payload != "again") {
        kept++;
        last = got.payload;
    }
    EXPECT_EQ(got.payload, "again");
    EXPECT_GT(kept, 0);
    EXPECT_EQ(last, numbered(sent - 1, kSize));
}

// ---- A frame sent while a loss is reported ----

namespace {

struct StatusCalls {
    std::mutex mutex;
    std::condition_variable changed;
    int ups = 0;
    int downs = 0;

    bool wait(int up_count, int down_count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(kWireDeadline),
                                [&] { return ups >= up_count && downs >= down_count; });
    }
};
StatusCalls &status_calls = *new StatusCalls;

constexpr const char *kSentWhileDown = "SENT.WHILE.DOWN";

// The application's peer-status callback. With threaded callbacks it runs
// on the peer's thread inside the report of the loss, while the queue still
// holds the link that ended.
void count_status(int status)
{
    std::lock_guard<std::mutex> lock(status_calls.mutex);
    (status == 512 ? status_calls.downs : status_calls.ups)++;
    status_calls.changed.notify_all();
}

void send_when_down(int peer, int status, int, void *)
{
    if (status == 512) {
        vn_data_t *data = vn_init_data(kSentWhileDown, 222, 0);
        vn_add_data(data, 1, "kept");
        vn_send_data_to_peer(peer, data);
    }
    count_status(status);
}

} // namespace

TEST(PeerLossReport, FrameSentFromThePeerDownCallbackGoesOutAfterTheNextPeerInfo)
{
    int port = free_tcp_port();
    PeerRuntime runtime("vantrix-id " + std::to_string(kLocalId) + "\nvantrix-name me\nvantrix-port " +
                        std::to_string(port) + "\nenable-threaded-callbacks\n" +
                        "add-peer\nremote-id 31\nqueue-size 50\nheartbeat-time 30\nend-peer\n");
    runtime.prepare_init([](vn_init_t &init) { init.recv_peer_status = send_when_down; });
    ASSERT_EQ(runtime.start(), 0);
    ASSERT_TRUE(runtime.wait_log("Opening port " + std::to_string(port) + " for vantrix peer access\n"));
    auto join = [port] {
        WireSocket remote;
        for (int tries = 0; tries < 2000 && !remote.valid(); tries++)
            remote = WireSocket::connect_to(port);
        remote.send(frame(5, info_payload(0, 2, 31, "acc")));
        return remote;
    };
    {
        WireSocket first = join();
        ASSERT_TRUE(status_calls.wait(1, 0));
        // All that was sent is read first, so that the close ends the link
        // in order (a close with bytes unread would reset it).
        WireFrame got;
        ASSERT_TRUE(first.read_frame_of(5, &got));
        ASSERT_TRUE(first.read_frame_of(7, &got));
    }
    ASSERT_TRUE(status_calls.wait(1, 1));
    WireSocket back = join();
    WireFrame got;
    ASSERT_TRUE(back.read_frame(&got));
    EXPECT_EQ(got.type, 5);
    ASSERT_TRUE(back.read_frame_of(VN_DATAUPDATE, &got));
    EXPECT_NE(got.payload.find(kSentWhileDown), std::string::npos);
}

// ---- A reconnection's handshake ----

namespace {

struct Backlog {
    const char *name;
    bool ssl;
    int frames;
    size_t size;
};

void PrintTo(const Backlog &backlog, std::ostream *out)
{
    *out << backlog.name;
}

// Kept while the link was down, sent from the report of its loss: with
// threaded callbacks that runs on the peer's thread, before the reconnect
// that thread makes later can begin.
std::atomic<int> backlog_frames{0};
std::atomic<size_t> backlog_size{0};

void send_backlog_when_down(int peer, int status, int, void *)
{
    if (status == 512)
        send_numbered(peer, 0, backlog_frames.load(), backlog_size.load());
    count_status(status);
}

// The test's end of the link, plain or TLS, behind one face.
class RemoteEnd {
public:
    RemoteEnd(WireSocket socket, SSL_CTX *tls)
    {
        // A small window, so that a backlog larger than it cannot go at once.
        int window = 65536;
        setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        if (tls != nullptr)
            tls_ = std::make_unique<TlsLink>(socket.release(), tls, true);
        else
            plain_ = std::move(socket);
    }
    bool ok() const { return tls_ != nullptr ? tls_->ok() : plain_.valid(); }
    void send(const std::string &bytes) { tls_ != nullptr ? tls_->send(bytes) : plain_.send(bytes); }
    bool read_frame_of(uint16_t type, WireFrame *frame)
    {
        return tls_ != nullptr ? tls_->read_frame_of(type, frame) : plain_.read_frame_of(type, frame);
    }
    bool idle() const { return tls_ != nullptr ? tls_->idle() : plain_.idle(); }

private:
    WireSocket plain_;
    std::unique_ptr<TlsLink> tls_;
};

class Reconnection : public testing::TestWithParam<Backlog> {};

} // namespace

TEST_P(Reconnection, NewLinkCarriesOnlyThePeerInfoUntilTheAnswerAndThenEveryKeptFrameOnce)
{
    const Backlog &backlog = GetParam();
    backlog_frames = backlog.frames;
    backlog_size = backlog.size;
    TempRoot certs;
    CtxPtr tls;
    if (backlog.ssl) {
        make_certificate(certs, "server");
        tls = tls_server_context(certs, "server");
    }
    WireListener listener;
    PeerRuntime runtime("vantrix-id " + std::to_string(kLocalId) + "\nvantrix-name me\nenable-threaded-callbacks\n" +
                        "add-peer\nremote-id 21\naddr 127.0.0.1\nport " + std::to_string(listener.port()) +
                        "\nqueue-size " + std::to_string(backlog.frames + 10) + "\nheartbeat-time 30\n" +
                        (backlog.ssl ? "ssl\nend-peer\nstart-ssl\nenable-client\nend-ssl\n" : "end-peer\n"));
    runtime.prepare_init([](vn_init_t &init) { init.recv_peer_status = send_backlog_when_down; });
    ASSERT_EQ(runtime.start(), 0);
    WireFrame got;
    {
        RemoteEnd first(listener.accept(), tls.get());
        ASSERT_TRUE(first.ok());
        ASSERT_TRUE(first.read_frame_of(5, &got));
        first.send(frame(5, info_payload(0, 0, 21, "feed")));
        ASSERT_TRUE(status_calls.wait(1, 0));
    }
    ASSERT_TRUE(status_calls.wait(1, 1));
    RemoteEnd again(listener.accept(), tls.get());
    ASSERT_TRUE(again.ok());
    ASSERT_TRUE(again.read_frame_of(5, &got));
    // The peer's thread has finished the step that wrote the PEERINFO: what
    // it wrote is in the socket by now.
    runtime.on_peer(0, [](peer_t &) {});
    EXPECT_TRUE(again.idle()) << "more than the PEERINFO before the answer";
    again.send(frame(5, info_payload(0, 0, 21, "feed")));
    ASSERT_TRUE(status_calls.wait(2, 1));
    send_update(0, "after");
    for (int i = 0; i < backlog.frames; i++) {
        ASSERT_TRUE(again.read_frame_of(VN_DATAUPDATE, &got)) << i;
        ASSERT_EQ(got.payload.substr(0, 12), numbered(i, backlog.size).substr(0, 12)) << i;
        ASSERT_TRUE(got.payload == numbered(i, backlog.size)) << i;
    }
    ASSERT_TRUE(again.read_frame_of(VN_DATAUPDATE, &got));
    EXPECT_EQ(got.payload, "after");
}

INSTANTIATE_TEST_SUITE_P(Backlogs, Reconnection,
                         testing::Values(Backlog{"PlainSmall", false, 2, 100}, Backlog{"PlainLarge", false, 24, 16000},
                                         Backlog{"SslSmall", true, 2, 100}, Backlog{"SslLarge", true, 24, 16000}),
                         [](const testing::TestParamInfo<Backlog> &info) { return std::string(info.param.name); });
