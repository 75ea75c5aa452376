// Peer messages over real loopback links: the library's runtime connects to a
// test-side peer written with hand-built bytes, and the test checks the bytes
// on the wire, the hand-offs, the counters and the packet log read back from
// its file.
#include "peer.h"
#include "peer_harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace vntest;

namespace {

constexpr int kLocalId = 11;
constexpr int kRemoteId = 21;

uint64_t counter(int peer, peer_counter_t which)
{
    peer_mutex_guard hold(peer_global_lock);
    return peer < 0 ? default_peer.counters[which].value : peer_array[peer].counters[which].value;
}

std::string update_payload(uint16_t seq, const std::string &subject, int field, const std::string &value)
{
    return Bytes().u16(seq).u16(0).u16(200).text(subject).u16(1).u32(static_cast<uint32_t>(field) & 0xFFFF)
        .text(value).data;
}

std::string request_payload(const std::vector<std::string> &subjects)
{
    Bytes out;
    out.u16(0).u16(200).u16(static_cast<unsigned>(subjects.size()));
    for (const std::string &subject : subjects)
        out.text(subject);
    return out.data;
}

std::string status_payload(const std::string &subject, uint16_t code, const std::string &text)
{
    return Bytes().u16(1).u16(3).u16(code).text(subject).text(text).data;
}

int status_count_of(int state)
{
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    int count = 0;
    for (const auto &status : handoffs.statuses)
        count += status.state == state ? 1 : 0;
    return count;
}

size_t message_count()
{
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    return handoffs.messages.size();
}

// One runtime whose peers connect out to test-side listeners, and the
// handshake with the first of them.
class OutgoingLink : public testing::Test {
protected:
    void SetUp() override { record_handoffs(); }

    std::string peer_block(const WireListener &listener, int remote_id, const std::string &options)
    {
        return "add-peer\nremote-id " + std::to_string(remote_id) + "\naddr 127.0.0.1\nport " +
               std::to_string(listener.port()) + "\n" + options + "end-peer\n";
    }

    void start(const std::string &options = "heartbeat-time 30\n", const std::string &more = "")
    {
        runtime_ = std::make_unique<PeerRuntime>("vantrix-id " + std::to_string(kLocalId) +
                                                 "\nvantrix-name me\n" + peer_block(listener_, kRemoteId, options) +
                                                 more);
        ASSERT_EQ(runtime_->start(), 0);
    }

    // Accepts the library's connection, reads its PEERINFO and answers.
    void handshake(WireListener &listener, WireSocket *remote, WireFrame *info, int remote_id, size_t up_count)
    {
        *remote = listener.accept();
        ASSERT_TRUE(remote->valid());
        ASSERT_TRUE(remote->read_frame(info));
        remote->send(frame(5, info_payload(0, 1, static_cast<uint16_t>(remote_id), "feed")));
        ASSERT_TRUE(handoffs.wait([&] { return handoffs.statuses.size() >= up_count; }));
    }

    // Two outgoing peers, the second to `second` (remote id 22), both linked.
    void connect_two(WireListener &second, const std::string &more, WireSocket *first_remote,
                     WireSocket *second_remote)
    {
        start("", peer_block(second, 22, "") + more);
        WireFrame info;
        ASSERT_NO_FATAL_FAILURE(handshake(listener_, first_remote, &info, kRemoteId, 1));
        ASSERT_NO_FATAL_FAILURE(handshake(second, second_remote, &info, 22, 2));
    }

    void connect(const std::string &options = "heartbeat-time 30\n")
    {
        start(options);
        handshake(listener_, &remote_, &first_info_, kRemoteId, 1);
    }

    std::string address_text() const { return "127.0.0.1 " + std::to_string(listener_.port()); }

    WireListener listener_;
    std::unique_ptr<PeerRuntime> runtime_;
    WireSocket remote_;
    WireFrame first_info_;
};

} // namespace

TEST_F(OutgoingLink, HandshakeSendsOwnInfoThenAForcedHeartbeatAndReportsThePeerUp)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    EXPECT_EQ(first_info_.type, 5);
    EXPECT_EQ(first_info_.payload, info_payload(0, 0, kLocalId, "me"));
    WireFrame beat;
    ASSERT_TRUE(remote_.read_frame(&beat));
    EXPECT_EQ(beat.type, 7);
    EXPECT_EQ(beat.payload, heartbeat_payload(0, 30));
    {
        std::lock_guard<std::mutex> lock(handoffs.mutex);
        ASSERT_EQ(handoffs.statuses.size(), 1u);
        EXPECT_EQ(handoffs.statuses[0].peer, 0);
        EXPECT_EQ(handoffs.statuses[0].state, 256);
        EXPECT_EQ(handoffs.statuses[0].remote_id, kRemoteId);
        EXPECT_EQ(handoffs.statuses[0].remote_name, "feed");
    }
    EXPECT_TRUE(runtime_->wait_log("Received peer info from peer id 21 on " + address_text() + "\n"));
    EXPECT_TRUE(runtime_->wait_log("Connected to peer id 21 on " + address_text() + "\n"));
    EXPECT_EQ(vn_peer_up(0), 1);
    EXPECT_EQ(vn_peer_type(0), 1);

    std::string header;
    std::vector<PacketRecord> records;
    ASSERT_TRUE(wait_packet_log(runtime_->packet_log_path(), &header, &records,
                                [](const std::vector<PacketRecord> &got) { return got.size() >= 3; }));
    std::string expected_header = "VNBLog packet v4 peertest TZ=UTC";
    expected_header.resize(80, '\0');
    EXPECT_EQ(header, expected_header);
    ASSERT_GE(records.size(), 3u);
    struct Expected {
        char direction;
        uint16_t type;
        std::string payload;
    } expected[] = {
        {'>', 5, info_payload(0, 0, kLocalId, "me")},
        {'<', 5, info_payload(0, 1, kRemoteId, "feed")},
        {'>', 7, heartbeat_payload(0, 30)},
    };
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].direction, expected[i].direction);
        EXPECT_EQ(records[i].type, expected[i].type);
        EXPECT_EQ(records[i].payload, expected[i].payload);
        EXPECT_EQ(records[i].length, expected[i].payload.size());
        EXPECT_EQ(records[i].address, "127.0.0.1"); // the local end of an outgoing link
        EXPECT_EQ(records[i].remote_id, kRemoteId);
        EXPECT_EQ(records[i].peer, 0);
        EXPECT_EQ(records[i].zero, 0);
        EXPECT_EQ(records[i].trailer, 0u);
        EXPECT_LT(records[i].micros, 1000000u);
    }
}

TEST_F(OutgoingLink, ReceivedMessagesAreCountedByTypeAndHandedOn)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    std::vector<std::string> payloads = {
        update_payload(77, "A.B", 5, "1.25"),
        Bytes().u16(3).u16(6).u16(0).text("C.D").u16(0).data, // no-data with reason 6: no reason counter
        request_payload({"R1", "R2", "R3"}),
        request_payload({"D1", "D2"}),
        status_payload("E.F", 9, "stale"),
    };
    uint16_t types[] = {8, 2, 3, 4, 6};
    uint64_t bytes = info_payload(0, 1, kRemoteId, "feed").size();
    for (size_t i = 0; i < payloads.size(); i++) {
        remote_.send(frame(types[i], payloads[i]));
        bytes += payloads[i].size();
    }
    remote_.send(frame(7, heartbeat_payload(0, 0xFFFF)));
    bytes += 4;
    ASSERT_TRUE(handoffs.wait([] { return handoffs.messages.size() >= 5; }));
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &) { return counter(0, kHeartbeatsRead) == 1; }));
    {
        std::lock_guard<std::mutex> lock(handoffs.mutex);
        const auto &m = handoffs.messages;
        EXPECT_EQ(m[0].kind, "update");
        EXPECT_EQ(m[0].texts, (std::vector<std::string>{"A.B", "1.25"}));
        EXPECT_EQ(m[1].kind, "nodata");
        EXPECT_EQ(m[1].numbers[0], 6);
        EXPECT_EQ(m[2].kind, "request");
        EXPECT_EQ(m[2].texts, (std::vector<std::string>{"R1", "R2", "R3"}));
        EXPECT_EQ(m[3].kind, "discard");
        EXPECT_EQ(m[4].kind, "status");
        EXPECT_EQ(m[4].texts, (std::vector<std::string>{"E.F", "stale"}));
        EXPECT_EQ(m[4].numbers, (std::vector<int>{3, 9}));
    }
    runtime_->on_peer(0, [](peer_t &peer) { EXPECT_EQ(peer.last_seqnum, 77); });
    struct Count {
        peer_counter_t counter;
        uint64_t value;
    } counts[] = {
        {kMessagesRead, 6}, // the PEERINFO and five messages; the heartbeat is not counted here
        {kUpdatesRead, 1},  {kNodatasRead, 1},   {kRequestsRead, 3}, {kDiscardsRead, 2},
        {kStatusRead, 1},   {kInfoRead, 1},      {kHeartbeatsRead, 1}, {kBytesRead, bytes},
        {kNotfoundRead, 0}, {kReaddenyRead, 0},  {kWritedenyRead, 0}, {kDeleteobjectRead, 0},
        {kUnavailableRead, 0},
    };
    for (const Count &count : counts) {
        EXPECT_EQ(counter(0, count.counter), count.value) << count.counter;
        EXPECT_EQ(counter(-1, count.counter), count.value) << count.counter;
    }
}

TEST_F(OutgoingLink, UpdatesWithoutRecordsAreCountedByTheEndOfTheirReadPassAndBeforeLaterMessages)
{
    // Without packet-log records, a burst's updates are counted once per read
    // pass: nothing after the last of them may be needed to bring the
    // counters up, and a message behind them is counted after them.
    start("heartbeat-time 30\n", "vantrix-pkt-log /dev/null\n");
    ASSERT_NO_FATAL_FAILURE(handshake(listener_, &remote_, &first_info_, kRemoteId, 1));
    constexpr uint64_t kUpdates = 3000; // several reads of the socket
    uint64_t bytes = info_payload(0, 1, kRemoteId, "feed").size();
    std::string burst;
    for (uint64_t i = 0; i < kUpdates; i++) {
        std::string payload = update_payload(static_cast<uint16_t>(i), "A.B", 5, std::to_string(i));
        burst += frame(8, payload);
        bytes += payload.size();
    }
    remote_.send(burst);
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &) { return counter(0, kUpdatesRead) == kUpdates; }));
    EXPECT_EQ(counter(0, kMessagesRead), kUpdates + 1);
    EXPECT_EQ(counter(0, kBytesRead), bytes);
    EXPECT_EQ(counter(-1, kUpdatesRead), kUpdates);
    runtime_->on_peer(0, [](peer_t &peer) { EXPECT_GT(peer.last_msg_recv_time, 0); });
    std::string status = status_payload("E.F", 9, "stale");
    remote_.send(frame(8, update_payload(1, "A.B", 5, "last")) + frame(6, status));
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &) { return counter(0, kStatusRead) == 1; }));
    EXPECT_EQ(counter(0, kUpdatesRead), kUpdates + 1);
    EXPECT_EQ(counter(0, kMessagesRead), kUpdates + 3);
    EXPECT_EQ(message_count(), kUpdates + 2);
}

TEST_F(OutgoingLink, BadPacketsAreLoggedAndDroppedWhileTheLinkStaysUp)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    struct Case {
        uint16_t type;
        std::string payload;
        const char *line;
    } cases[] = {
        {8, "abc", "Bad VN_DATAUPDATE packet of length 3\n"},
        {1, "abcd", "Bad VN_DATAUPDATE packet of length 4\n"},
        {2, "ab", "Bad VN_NODATA packet of length 2\n"},
        {3, Bytes().u16(0).u16(0).u16(2).text("only").data, "Bad VN_SUBJREQ packet of length 12\n"},
        {4, "abcde", "Bad VN_SUBJDSC packet of length 5\n"},
        {5, "abc", "Bad VN_PEERINFO packet of length 3\n"},
        {6, "abcdefg", "Bad VN_STATUS packet of length 7\n"},
        {7, "ab", "Bad VN_HEARTBEAT packet of length 2\n"},
    };
    for (const Case &c : cases)
        remote_.send(frame(c.type, c.payload));
    remote_.send(frame(6, status_payload("still", 1, "up")));
    ASSERT_TRUE(handoffs.wait([] { return handoffs.messages.size() >= 1; }));
    for (const Case &c : cases)
        EXPECT_TRUE(runtime_->wait_log(c.line)) << c.line;
    EXPECT_EQ(message_count(), 1u);
    EXPECT_EQ(counter(0, kMessagesRead), 2u); // the PEERINFO and the good status
    EXPECT_EQ(vn_peer_up(0), 1);
}

class UnknownType : public OutgoingLink, public testing::WithParamInterface<int> {};

TEST_P(UnknownType, ClosesWithReasonFourAndTheRemoteSeesEndOfFile)
{
    int queue_size = GetParam();
    ASSERT_NO_FATAL_FAILURE(connect("queue-size " + std::to_string(queue_size) + "\n"));
    remote_.send(frame(42, "xyz"));
    EXPECT_TRUE(runtime_->wait_log("Received unknown message type 42 of length 3 from peer 0\n"));
    EXPECT_TRUE(runtime_->wait_log("Connection closed to peer 21 on " + address_text() +
                                   " - invalid message received\n"));
    EXPECT_TRUE(remote_.wait_eof());
    ASSERT_TRUE(handoffs.wait([] { return handoffs.statuses.size() >= 2; }));
    {
        std::lock_guard<std::mutex> lock(handoffs.mutex);
        EXPECT_EQ(handoffs.statuses[1].state, 512);
    }
    runtime_->on_peer(0, [&](peer_t &peer) {
        EXPECT_EQ(peer.msgq != nullptr, queue_size != 0); // a queue-size keeps the queue for the next link
        EXPECT_EQ(peer.connected, 0);
        EXPECT_EQ(peer.delay, 1);
    });
    // A link that had its PEERINFO comes back after one second.
    WireSocket again = listener_.accept();
    EXPECT_TRUE(again.valid());
}

INSTANTIATE_TEST_SUITE_P(QueueSizes, UnknownType, testing::Values(50, 0));

TEST_F(OutgoingLink, MessagesSentWhileTheLinkIsDownGoOutAfterBothPeerInfos)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    remote_ = WireSocket(); // the remote goes away
    ASSERT_TRUE(handoffs.wait([] { return handoffs.statuses.size() >= 2; }));
    EXPECT_TRUE(runtime_->wait_log("Lost connection to peer 21 on " + address_text() + "\n"));
    std::string status = status_payload("KEPT", 1, "while down");
    vn_msg_t msg = message_of(6, status);
    _vn_peer_send(0, &msg, 0);

    WireSocket back = listener_.accept();
    ASSERT_TRUE(back.valid());
    WireFrame got;
    ASSERT_TRUE(back.read_frame(&got));
    EXPECT_EQ(got.type, 5); // nothing queued goes ahead of the PEERINFO ...
    back.send(frame(5, info_payload(0, 1, kRemoteId, "feed")));
    ASSERT_TRUE(back.read_frame_of(6, &got)); // ... and it follows the remote's
    EXPECT_EQ(got.payload, status);
    EXPECT_TRUE(handoffs.wait([] { return handoffs.statuses.size() >= 3; }));
    EXPECT_EQ(status_count_of(256), 2);
}

TEST_F(OutgoingLink, PeerInfoWithTheStatusBitReachesThePeerStatusCallback)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    remote_.send(frame(5, info_payload(0x0400, 0x0100, kRemoteId, "feed", 7, "hello")));
    remote_.send(frame(5, info_payload(0, 1, kRemoteId, "feed", 8, "ignored")));
    remote_.send(frame(6, status_payload("marker", 1, "")));
    ASSERT_TRUE(handoffs.wait([] { return handoffs.messages.size() >= 2; }));
    std::lock_guard<std::mutex> lock(handoffs.mutex);
    ASSERT_EQ(handoffs.messages.size(), 2u);
    EXPECT_EQ(handoffs.messages[0].kind, "statusmsg");
    EXPECT_EQ(handoffs.messages[0].numbers, (std::vector<int>{0x0400, 7}));
    EXPECT_EQ(handoffs.messages[0].texts, std::vector<std::string>{"hello"});
    EXPECT_EQ(handoffs.messages[1].kind, "status");
    EXPECT_EQ(handoffs.statuses.size(), 1u); // no second "up"
    EXPECT_EQ(runtime_->count_log("Received peer info from peer id 21"), 3);
}

TEST_F(OutgoingLink, HeartbeatPeriodsAreAdoptedOnlyWhenSmallerAndUsable)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    // 0, "none", -3 as a signed 16-bit number, and a larger period change nothing.
    for (uint16_t period : {0, 0xFFFF, 0xFFFD, 40})
        remote_.send(frame(7, heartbeat_payload(0, period)));
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &) { return counter(0, kHeartbeatsRead) == 4; }));
    runtime_->on_peer(0, [](peer_t &peer) { EXPECT_EQ(peer.heartbeat_time, 30); });

    remote_.send(frame(7, heartbeat_payload(0, 1)));
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.heartbeat_time == 1; }));
    // The adopted period is sent at once and then whenever the line is idle for it.
    int beats = 0;
    WireFrame beat;
    while (beats < 3 && remote_.read_frame_of(7, &beat)) {
        if (beat.payload == heartbeat_payload(0, 1))
            beats++;
        remote_.send(frame(7, heartbeat_payload(0, 1))); // stay alive
    }
    EXPECT_EQ(beats, 3);
    EXPECT_EQ(vn_peer_up(0), 1);
}

TEST_F(OutgoingLink, SentHeartbeatPeriodIsClampedToASigned16BitNumber)
{
    ASSERT_NO_FATAL_FAILURE(connect("heartbeat-time 40000\n"));
    WireFrame beat;
    ASSERT_TRUE(remote_.read_frame_of(7, &beat));
    EXPECT_EQ(beat.payload, heartbeat_payload(0, 32767));
}

// A receiver that takes the peer down from inside the dispatch must not free
// the queue under its reader: the close is posted and runs after it.
TEST_F(OutgoingLink, StatusDownFromInsideADispatchClosesTheLinkAfterIt)
{
    _vn_peer_handoff.recv_request = [](int peer, vn_reqpkt_t *) { vn_set_status_down_to_peer(peer); };
    ASSERT_NO_FATAL_FAILURE(connect());
    remote_.send(frame(3, request_payload({"DOWN.1"})) + frame(3, request_payload({"DOWN.2"})));
    EXPECT_TRUE(remote_.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Setting status of peer 0 to DOWN\n"));
    runtime_->on_peer(0, [](peer_t &peer) {
        EXPECT_EQ(peer.msgq, nullptr);
        EXPECT_EQ(peer.reject_conns, 1);
    });
}

TEST_F(OutgoingLink, SilentPeerIsClosedForAMissedHeartbeatAndItsQueueDiscarded)
{
    ASSERT_NO_FATAL_FAILURE(connect("heartbeat-time 1\nheartbeat-slack-time 0.1\n"));
    EXPECT_TRUE(remote_.wait_eof());
    EXPECT_TRUE(runtime_->wait_log("Connection closed to peer 21 on " + address_text() + " - missed heartbeat\n"));
    runtime_->on_peer(0, [](peer_t &peer) {
        EXPECT_EQ(peer.msgq, nullptr);
        EXPECT_EQ(peer.heartbeat_event, nullptr);
    });
    ASSERT_TRUE(handoffs.wait([] { return handoffs.statuses.size() >= 2; }));
    WireSocket again = listener_.accept();
    EXPECT_TRUE(again.valid());
}

TEST_F(OutgoingLink, SendsAreFramedCountedAndLogged)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    std::string nodata = Bytes().u16(4).u16(2).u16(0).text("N.A").u16(0).data;
    vn_msg_t msg = message_of(2, nodata);
    _vn_peer_send(0, &msg, 2);
    _vn_peer_send(1, &msg, 2);  // no such peer
    _vn_peer_send(-1, &msg, 2); // nor this
    std::string long_text(1000, 's'); // longer than any fixed status buffer
    vn_set_status_msg_to_peer(0, 9, long_text.c_str());

    WireFrame got;
    ASSERT_TRUE(remote_.read_frame_of(2, &got));
    EXPECT_EQ(got.payload, nodata);
    ASSERT_TRUE(remote_.read_frame_of(5, &got));
    EXPECT_EQ(got.payload, info_payload(0x0400, 0x0100, kLocalId, "me", 9, long_text));

    EXPECT_EQ(counter(0, kNodatasWritten), 1u);
    EXPECT_EQ(counter(0, kReaddenyWritten), 1u);
    EXPECT_EQ(counter(0, kNotfoundWritten), 0u);
    EXPECT_EQ(counter(0, kInfoWritten), 2u); // the handshake's and the status message
    uint64_t heartbeats = counter(0, kHeartbeatsWritten);
    EXPECT_EQ(counter(0, kMessagesWritten), 3u + heartbeats);

    std::string header;
    std::vector<PacketRecord> records;
    auto sent_count = [](const std::vector<PacketRecord> &got) {
        return std::count_if(got.begin(), got.end(), [](const PacketRecord &record) {
            return record.direction == '>' && record.type != 7;
        });
    };
    ASSERT_TRUE(wait_packet_log(runtime_->packet_log_path(), &header, &records,
                                [&](const std::vector<PacketRecord> &got) { return sent_count(got) >= 3; }));
    std::vector<std::string> sent;
    for (const PacketRecord &record : records)
        if (record.direction == '>' && record.type != 7)
            sent.push_back(record.payload);
    EXPECT_EQ(sent, (std::vector<std::string>{info_payload(0, 0, kLocalId, "me"), nodata,
                                              info_payload(0x0400, 0x0100, kLocalId, "me", 9, long_text)}));
}

TEST_F(OutgoingLink, SendToAllReachesEveryPeerWithOneTimeStamp)
{
    WireListener second;
    WireSocket first_remote, second_remote;
    ASSERT_NO_FATAL_FAILURE(connect_two(second, "", &first_remote, &second_remote));
    std::string status = status_payload("ALL", 1, "x");
    vn_msg_t msg = message_of(6, status);
    _vn_peer_send_to_all(&msg, 0);
    WireFrame got;
    ASSERT_TRUE(first_remote.read_frame_of(6, &got));
    EXPECT_EQ(got.payload, status);
    ASSERT_TRUE(second_remote.read_frame_of(6, &got));
    EXPECT_EQ(got.payload, status);

    std::string header;
    std::vector<PacketRecord> records;
    ASSERT_TRUE(wait_packet_log(runtime_->packet_log_path(), &header, &records, [](const std::vector<PacketRecord> &got) {
        return std::count_if(got.begin(), got.end(), [](const PacketRecord &record) { return record.type == 6; }) >= 2;
    }));
    std::vector<PacketRecord> statuses;
    for (const PacketRecord &record : records)
        if (record.type == 6)
            statuses.push_back(record);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].peer, 0);
    EXPECT_EQ(statuses[1].peer, 1);
    EXPECT_EQ(statuses[1].remote_id, 22);
    EXPECT_EQ(statuses[0].seconds, statuses[1].seconds);
    EXPECT_EQ(statuses[0].micros, statuses[1].micros);
    EXPECT_EQ(counter(-1, kStatusWritten), 2u);
}

// Reads a FIFO until `done` holds and nothing more is in it.
std::string drain_fifo(int fd, const std::atomic<bool> &done)
{
    std::string bytes;
    for (;;) {
        char chunk[65536];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            bytes.append(chunk, static_cast<size_t>(got));
            continue;
        }
        if (done.load())
            return bytes;
        struct pollfd watch {fd, POLLIN, 0};
        poll(&watch, 1, 100);
    }
}

TEST_F(OutgoingLink, SenderNeverWaitsOnAnotherThreadsPacketLogWrite)
{
    // The packet log is a FIFO that the test reads only at the end: a
    // thread whose records fill it is held inside its write to the log.
    TempRoot fifo_root;
    std::string fifo = fifo_root.file("packets.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int log_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(log_reader, 0);
    int capacity = fcntl(log_reader, F_GETPIPE_SZ);
    ASSERT_NO_FATAL_FAILURE(start("heartbeat-time 30\n", "vantrix-pkt-log " + fifo + "\n"));
    ASSERT_NO_FATAL_FAILURE(handshake(listener_, &remote_, &first_info_, kRemoteId, 1));
    auto send_status = [](const std::string &text) {
        std::string payload = text;
        payload.resize(30000, '.');
        vn_msg_t msg = message_of(6, payload);
        _vn_peer_send(0, &msg, 0);
    };
    constexpr int kFill = 6; // records beyond what the FIFO holds
    std::atomic<bool> filler_done{false};
    std::atomic<pid_t> filler_tid{0};
    std::thread filler([&] {
        filler_tid = static_cast<pid_t>(syscall(SYS_gettid));
        for (int i = 0; i < kFill; i++)
            send_status(numbered("fill-", i));
        filler_done = true;
    });
    // The kernel shows the system call a thread is blocked in.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWireDeadline);
    bool blocked = false;
    while (!blocked && std::chrono::steady_clock::now() < deadline) {
        int held = 0;
        ioctl(log_reader, FIONREAD, &held);
        std::string state = read_file("/proc/self/task/" + std::to_string(filler_tid.load()) + "/syscall");
        blocked = held > capacity / 2 && state.compare(0, 3, std::to_string(SYS_writev) + " ") == 0;
        std::this_thread::yield();
    }
    EXPECT_TRUE(blocked) << "the filler was never held in its write to the log";
    auto other = std::async(std::launch::async, [&] { send_status("other"); });
    bool returned = other.wait_for(std::chrono::duration<double>(kWireDeadline)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "a sender waited on the filler's write to the log";
    EXPECT_FALSE(filler_done.load());
    std::string bytes = drain_fifo(log_reader, filler_done);
    filler.join();
    other.get();
    close(log_reader);
    std::vector<std::string> wire;
    WireFrame got;
    while (wire.size() < kFill + 1u && remote_.read_frame_of(6, &got))
        wire.push_back(got.payload);
    ASSERT_EQ(wire.size(), kFill + 1u);
    std::ofstream(fifo_root.file("copy.log"), std::ios::binary) << bytes;
    std::string header;
    std::vector<PacketRecord> records;
    ASSERT_TRUE(read_packet_log(fifo_root.file("copy.log"), &header, &records)); // every record whole
    std::vector<std::string> logged;
    for (const PacketRecord &record : records)
        if (record.direction == '>' && record.type == 6)
            logged.push_back(record.payload);
    EXPECT_EQ(logged, wire); // the log has the frames' order
}

TEST_F(OutgoingLink, SendsWithThePacketLogOnTheNullDeviceAreCountedForEveryPeer)
{
    // No record is made then, and a send to all counts its peers together.
    WireListener second;
    WireSocket first_remote, second_remote;
    ASSERT_NO_FATAL_FAILURE(connect_two(second, "vantrix-pkt-log /dev/null\n", &first_remote, &second_remote));
    std::string status = status_payload("ALL", 1, "x");
    vn_msg_t msg = message_of(6, status);
    uint64_t messages_before = counter(-1, kMessagesWritten);
    _vn_peer_send_to_all(&msg, 0);
    _vn_peer_send(1, &msg, 0);
    WireFrame got;
    ASSERT_TRUE(first_remote.read_frame_of(6, &got));
    ASSERT_TRUE(second_remote.read_frame_of(6, &got));
    ASSERT_TRUE(second_remote.read_frame_of(6, &got));
    EXPECT_EQ(counter(0, kStatusWritten), 1u);
    EXPECT_EQ(counter(1, kStatusWritten), 2u);
    EXPECT_EQ(counter(-1, kStatusWritten), 3u);
    EXPECT_EQ(counter(1, kBytesWritten) - counter(0, kBytesWritten), status.size());
    EXPECT_EQ(counter(-1, kMessagesWritten) - messages_before, 3u);
    runtime_->on_peer(1, [](peer_t &peer) { EXPECT_GT(peer.last_msg_send_time, 0); });
    EXPECT_FALSE(runtime_->root().exists("var/packets.log"));
}

TEST_F(OutgoingLink, UpdatesSentFromALoopAreCountedWhenItsPassEndsAndOthersAtOnce)
{
    // Without records a loop's sends of updates are counted together once
    // its pass is over; a thread that runs no loop has them counted at once.
    WireListener second;
    WireSocket first_remote, second_remote;
    ASSERT_NO_FATAL_FAILURE(connect_two(second, "vantrix-pkt-log /dev/null\n", &first_remote, &second_remote));
    std::string update = update_payload(1, "A.B", 5, "value");
    vn_msg_t msg = message_of(8, update);
    uint64_t messages_before = counter(-1, kMessagesWritten);
    _vn_peer_send_to_all(&msg, 0);
    EXPECT_EQ(counter(0, kUpdatesWritten), 1u);
    EXPECT_EQ(counter(1, kUpdatesWritten), 1u);

    constexpr uint64_t kToAll = 300;
    constexpr uint64_t kToSecond = 200;
    runtime_->on_peer(0, [&](peer_t &) {
        for (uint64_t i = 0; i < kToAll; i++)
            _vn_peer_send_to_all(&msg, 0);
        for (uint64_t i = 0; i < kToSecond; i++)
            _vn_peer_send(1, &msg, 0);
    });
    // Nothing further is sent: the loop's own turn brings the counts up.
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &) { return counter(1, kUpdatesWritten) == 1 + kToAll + kToSecond; }));
    EXPECT_EQ(counter(0, kUpdatesWritten), 1 + kToAll);
    EXPECT_EQ(counter(-1, kUpdatesWritten), 2 + 2 * kToAll + kToSecond);
    EXPECT_EQ(counter(-1, kMessagesWritten) - messages_before, 2 + 2 * kToAll + kToSecond);
    EXPECT_EQ(counter(1, kBytesWritten) - counter(0, kBytesWritten), kToSecond * update.size());
    runtime_->on_peer(1, [](peer_t &peer) { EXPECT_GT(peer.last_msg_send_time, 0); });
    WireFrame got;
    for (uint64_t i = 0; i < 1 + kToAll + kToSecond; i++)
        ASSERT_TRUE(second_remote.read_frame_of(8, &got)) << i;
}

TEST_F(OutgoingLink, PendingRequestsGoOutInBatchesOfWholeMessages)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    // 64 subjects of 200 bytes fill more than one 8192-byte message; the 64th sends the list.
    std::vector<std::string> subjects;
    for (int i = 0; i < 64; i++)
        subjects.push_back(std::string(198, 'a') + std::to_string(10 + i));
    vn_reqpkt_t list{};
    list.type = 200;
    for (std::string &subject : subjects)
        _vn_reqpkt_add(3, 0, &list, subject.data());
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(list.subjects, nullptr);

    // A subject that fits no message is dropped; the rest still go.
    std::string huge(9000, 'h'), small = "S.1";
    _vn_reqpkt_add(4, 0, &list, huge.data());
    _vn_reqpkt_add(4, 0, &list, small.data());
    _vn_reqpkt_send(4, 0, &list);
    EXPECT_EQ(list.count, 0);

    std::vector<std::string> received;
    int messages = 0;
    WireFrame got;
    while (received.size() < 64 && remote_.read_frame_of(3, &got)) {
        messages++;
        ASSERT_LE(got.payload.size(), 8192u);
        size_t count = static_cast<unsigned char>(got.payload[4]) << 8 | static_cast<unsigned char>(got.payload[5]);
        size_t at = 6;
        for (size_t i = 0; i < count; i++) {
            size_t len = static_cast<unsigned char>(got.payload[at]) << 8 | static_cast<unsigned char>(got.payload[at + 1]);
            received.push_back(got.payload.substr(at + 2, len));
            at += 2 + len;
        }
    }
    EXPECT_EQ(received, subjects);
    EXPECT_GE(messages, 2);
    ASSERT_TRUE(remote_.read_frame_of(4, &got));
    EXPECT_EQ(got.payload, Bytes().u16(0).u16(200).u16(1).text(small).data);
    EXPECT_EQ(counter(0, kRequestsWritten), 64u);
    EXPECT_EQ(counter(0, kDiscardsWritten), 1u);
}

TEST_F(OutgoingLink, PacketLogOfAnEarlierRunIsAppendedWithoutANewHeader)
{
    runtime_ = std::make_unique<PeerRuntime>(peer_block(listener_, kRemoteId, ""));
    runtime_->root().write("var/packets.log", "earlier");
    ASSERT_EQ(runtime_->start(), 0);
    ASSERT_NO_FATAL_FAILURE(handshake(listener_, &remote_, &first_info_, kRemoteId, 1));
    std::string bytes = read_file(runtime_->packet_log_path());
    EXPECT_EQ(bytes.substr(0, 7), "earlier");
    EXPECT_EQ(bytes.find("VNBLog"), std::string::npos);
    EXPECT_GT(bytes.size(), 7u + 28u);
}

TEST(PeerReplay, ReplayedUpdatesPassByTheLocalFlagsAndRemoteType)
{
    record_handoffs();
    PeerRuntime runtime("add-peer\nlocal-flags recvautoreplay\nremote-type active\nend-peer\n"
                        "add-peer\nlocal-flags recvautoreplay\nend-peer\n"
                        "add-peer\nend-peer\n");
    ASSERT_EQ(runtime.start(), 0);
    struct Case {
        int peer;
        uint16_t flags;
        bool passes;
    } cases[] = {
        {0, 0, false},      // an active source replays only flagged records
        {0, 0x2000, true},
        {1, 0, true},
        {2, 0x2000, false}, // the peer does not take replays
        {3, 0x2000, false}, // no such peer
        {-1, 0x2000, false},
    };
    uint16_t seq = 100;
    for (const Case &c : cases) {
        vn_datapkt_t *pkt = vn_new_datapkt("R.1", 200, c.flags);
        pkt->seq = ++seq;
        _vn_peer_handle_replay(c.peer, pkt, 0);
        vn_free_datapkt(pkt);
        std::lock_guard<std::mutex> lock(handoffs.mutex);
        bool passed = !handoffs.messages.empty() && handoffs.messages.back().numbers[1] == seq;
        EXPECT_EQ(passed, c.passes) << c.peer << " " << c.flags;
    }
    runtime.on_peer(1, [](peer_t &peer) { EXPECT_EQ(peer.last_seqnum, 103); });
}
