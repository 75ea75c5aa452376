// The packet log's writer over a real link: records made outside the send
// path, each followed by its settle point, leave the log drained, so that a
// sender on another thread goes on and every record reaches the file.
#include "peer.h"
#include "peer_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

using namespace vntest;

namespace {

// A sender waits for the log's writer once the log is this far behind.
constexpr size_t kLogBehindBytes = 8u << 20;
constexpr size_t kRecordPayloadBytes = 30000;
constexpr int kRecords = static_cast<int>(kLogBehindBytes / kRecordPayloadBytes) + 16;
constexpr uint16_t kStatusType = 6;

size_t records_of(const std::vector<PacketRecord> &records, const std::string &payload)
{
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&](const PacketRecord &record) {
        return record.direction == '>' && record.type == kStatusType && record.payload == payload;
    }));
}

TEST(PeerPacketLog, RecordsSettledByTheirMakerLeaveNoDrainOwedToTheNextSender)
{
    record_handoffs();
    WireListener listener;
    PeerRuntime runtime("vantrix-id 11\nvantrix-name me\nadd-peer\nremote-id 21\naddr 127.0.0.1\nport " +
                        std::to_string(listener.port()) + "\nheartbeat-time 30\nend-peer\n");
    ASSERT_EQ(runtime.start(), 0);
    WireSocket remote = listener.accept();
    ASSERT_TRUE(remote.valid());
    WireFrame info;
    ASSERT_TRUE(remote.read_frame(&info));
    remote.send(frame(5, info_payload(0, 1, 21, "feed")));
    ASSERT_TRUE(handoffs.wait([] { return !handoffs.statuses.empty(); }));

    // More than the log may fall behind, made on this thread as the request
    // sender makes its records: under the peer's lock, settled after it.
    std::string made(kRecordPayloadBytes, 'r');
    vn_msg_t made_msg = message_of(kStatusType, made);
    peer_t &peer = peer_array[0];
    for (int i = 0; i < kRecords; i++) {
        peer_log_turn turn;
        peer_mutex_guard hold(peer.peer_lock);
        _vn_peer_log_msg(&peer, &made_msg);
    }

    std::string sent = "sent after the records";
    vn_msg_t sent_msg = message_of(kStatusType, sent);
    auto send = std::async(std::launch::async, [&] { _vn_peer_send(0, &sent_msg, 0); });
    bool returned = send.wait_for(std::chrono::duration<double>(kWireDeadline)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the sender waited for a drain that this thread owed";
    if (!returned)
        peer_log_settle(); // lets the stuck sender go, so that the test ends
    send.get();
    WireFrame got;
    ASSERT_TRUE(remote.read_frame_of(kStatusType, &got));
    EXPECT_EQ(got.payload, sent);

    std::string header;
    std::vector<PacketRecord> records;
    EXPECT_TRUE(wait_packet_log(runtime.packet_log_path(), &header, &records, [&](const std::vector<PacketRecord> &in) {
        return records_of(in, sent) == 1;
    }));
    EXPECT_EQ(records_of(records, made), static_cast<size_t>(kRecords));
    EXPECT_EQ(records_of(records, sent), 1u);
}

} // namespace
