// Accept pacing over real loopback sockets: a node process whose descriptor
// table is full pauses its listen watch instead of spinning on accept, and
// takes a real peer soon after descriptors free up; connections that never
// send their PEERINFO are capped.
#include "peer_harness.h"
#include "peer_node.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

using namespace vntest;

namespace {

constexpr const char *kPaused = "Cannot accept on vantrix port ";
constexpr int kMaxWaiting = 256;

int count_of(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        count++;
    return count;
}

WireSocket handshake(int port, uint16_t id, const std::string &name)
{
    WireSocket remote = WireSocket::connect_to(port);
    if (remote.valid())
        remote.send(frame(5, info_payload(0, 0, id, name)));
    return remote;
}

} // namespace

TEST(AcceptPacing, FullDescriptorTablePausesAcceptsAndAPeerIsTakenSoonAfterItFrees)
{
    Node node;
    int port = start_listening(node, [](int listen) { return node_conf(10, "alpha", listen, accept_peer("b", 42)); });
    ASSERT_GT(port, 0);
    node.command("fd-limit full");
    ASSERT_TRUE(node.expect("fd-limit"));
    // Waits in the listen queue, where the node cannot take it.
    WireSocket waiting = WireSocket::connect_to(port);
    ASSERT_TRUE(waiting.valid());
    // Three pauses, each longer than the one before.
    ASSERT_TRUE(node.wait_log(std::string(kPaused) + std::to_string(port) + " (Too many open files): accepts paused "
                                                                           "for 0.4 s\n"))
        << node.event_log();
    node.command("fd-limit restore");
    ASSERT_TRUE(node.expect("fd-limit"));
    auto freed = std::chrono::steady_clock::now();
    int pauses = count_of(node.event_log(), kPaused);
    // Counted once the table is free again: the sanitizers' checks of the
    // command's streams need a descriptor.
    node.command("accepts");
    std::string line;
    ASSERT_TRUE(node.expect("accepts ", &line));
    long calls = 0, failed = 0;
    std::istringstream(line.substr(8)) >> calls >> failed;
    // One failed accept per pause, never a loop of them.
    EXPECT_GE(pauses, 3);
    EXPECT_LE(failed, pauses + 1);
    WireSocket peer = handshake(port, 42, "b");
    WireFrame info;
    ASSERT_TRUE(peer.read_frame_of(5, &info));
    EXPECT_TRUE(node.expect("up 0 42"));
    // The longest pause is a second.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - freed).count(), 3.0);
}

TEST(AcceptPacing, ConnectionsBeyondTheCapOfThoseAwaitingPeerInfoAreClosedAtOnce)
{
    record_handoffs();
    int port = free_tcp_port();
    // Waiting connections are not timed out while the test runs.
    PeerRuntime runtime("vantrix-id 11\nvantrix-name me\npeer-accept-wait-time 600\nvantrix-port " +
                        std::to_string(port) + "\nadd-peer\nremote-id 31\nend-peer\n");
    ASSERT_EQ(runtime.start(), 0);
    ASSERT_TRUE(runtime.wait_log("Opening port " + std::to_string(port) + " for vantrix peer access\n"));
    // In batches the listen queue never overflows, so each connection is
    // taken at once rather than after the kernel's retries.
    constexpr int kBatch = 16;
    std::vector<WireSocket> idle;
    while (static_cast<int>(idle.size()) < kMaxWaiting) {
        for (int i = 0; i < kBatch; i++) {
            WireSocket remote;
            // The accept watch starts when the init thread's loop first runs.
            for (int tries = 0; tries < 2000 && !remote.valid(); tries++)
                remote = WireSocket::connect_to(port);
            ASSERT_TRUE(remote.valid());
            idle.push_back(std::move(remote));
        }
        ASSERT_TRUE(runtime.wait_log("Accepted connection from", kWireDeadline, static_cast<int>(idle.size())));
    }

    auto started = std::chrono::steady_clock::now();
    constexpr int kBeyond = 20;
    for (int i = 0; i < kBeyond; i++) {
        WireSocket extra = WireSocket::connect_to(port);
        ASSERT_TRUE(extra.valid());
        ASSERT_TRUE(extra.wait_eof()) << i;
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string refusing = "Refusing connection from 127.0.0.1 ";
    int lines = runtime.count_log(refusing);
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, static_cast<int>(std::ceil(elapsed)) + 1); // at most one a second
    EXPECT_EQ(runtime.count_log("Accepted connection from"), kMaxWaiting);

    // A place that frees up takes a real peer again.
    idle.pop_back();
    ASSERT_TRUE(runtime.wait_log(" with packet type 0\n"));
    WireSocket peer = handshake(port, 31, "acc");
    WireFrame info;
    EXPECT_TRUE(peer.read_frame_of(5, &info));
}
