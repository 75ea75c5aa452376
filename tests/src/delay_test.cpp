// Delay channels in a running runtime linked to a test-side peer over
// loopback: the live send, each channel's delayed copies under its prefix,
// block-realtime, batches larger than their size, and channels the
// application makes with and without its own callback; and an adapter of
// its own process publishing through a channel.
#include "child_process.h"
#include "packet_log_bytes.h"
#include "peer.h"
#include "peer_harness.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace vntest;

namespace {

constexpr int kLocalId = 11;
constexpr int kRemoteId = 21;

vn_data_t *record(const std::string &subject, const std::string &value)
{
    vn_data_t *data = vn_init_data(subject.c_str(), 222, 0);
    vn_add_data(data, 1, value.c_str());
    return data;
}

class DelayLink : public testing::Test {
protected:
    void SetUp() override { record_handoffs(); }

    void connect(const std::string &options)
    {
        runtime_ = std::make_unique<PeerRuntime>("vantrix-id " + std::to_string(kLocalId) + "\nadd-peer\nremote-id " +
                                                 std::to_string(kRemoteId) + "\naddr 127.0.0.1\nport " +
                                                 std::to_string(listener_.port()) +
                                                 "\nheartbeat-time 30\nend-peer\n" + options);
        ASSERT_EQ(runtime_->start(), 0);
        remote_ = listener_.accept();
        WireFrame info;
        ASSERT_TRUE(remote_.read_frame_of(VN_PEERINFO, &info));
        remote_.send(frame(VN_PEERINFO, info_payload(0, 1, kRemoteId, "feed")));
        ASSERT_TRUE(handoffs.wait([] { return !handoffs.statuses.empty(); }));
    }

    // The next `count` updates the remote peer receives.
    std::vector<ReadUpdate> receive(size_t count)
    {
        std::vector<ReadUpdate> updates;
        WireFrame update_frame;
        while (updates.size() < count && remote_.read_frame_of(VN_DATAUPDATE, &update_frame)) {
            updates.emplace_back();
            EXPECT_TRUE(read_update(update_frame.payload, &updates.back()));
        }
        return updates;
    }

    std::vector<std::string> receive_subjects(size_t count)
    {
        std::vector<std::string> subjects;
        for (const ReadUpdate &update : receive(count))
            subjects.push_back(update.subject);
        return subjects;
    }

    WireListener listener_;
    std::unique_ptr<PeerRuntime> runtime_;
    WireSocket remote_;
};

struct Delivery {
    pthread_t thread;
    vn_data_t *data;
    std::string subject;
};

std::mutex delivered_mutex;
std::condition_variable delivered_changed;
std::vector<Delivery> delivered;

void record_delivery(void *param, vn_data_t *data)
{
    std::lock_guard<std::mutex> lock(delivered_mutex);
    delivered.push_back({pthread_self(), data, data->subject});
    EXPECT_EQ(param, &delivered);
    delivered_changed.notify_all();
}

bool wait_delivered(size_t count)
{
    std::unique_lock<std::mutex> lock(delivered_mutex);
    return delivered_changed.wait_for(lock, std::chrono::duration<double>(kWireDeadline),
                                      [count] { return delivered.size() >= count; });
}

// Returns once the init thread has finished what it was running: a channel
// is done with a record only after its callback has returned.
void finish_init_thread_work()
{
    tarvelutil_signalany_exec(default_peer.thread->signalany, 0, [](int, void *) { return 0; }, nullptr, 0);
}

} // namespace

TEST_F(DelayLink, RecordsGoLiveThenOnEachChannelUnderItsPrefixShortestDelayFirst)
{
    ASSERT_NO_FATAL_FAILURE(connect("delay-batch-time 0.05\n"
                                    "add-delay\ndelay-time 0.6\nprefix /slow/\nend-delay\n"
                                    "add-delay\ndelay-time 0.2\nend-delay\n"));
    for (const char *subject : {"A", "B", "C"})
        vn_send_data(record(subject, std::string("v") + subject));
    std::vector<ReadUpdate> updates = receive(9);
    std::vector<std::string> subjects;
    for (const ReadUpdate &update : updates)
        subjects.push_back(update.subject);
    EXPECT_EQ(subjects, (std::vector<std::string>{"A", "B", "C", "/0.2A", "/0.2B", "/0.2C", "/slow/A", "/slow/B",
                                                  "/slow/C"}));
    ASSERT_EQ(updates.size(), 9u);
    // The last channel to send a record frees it; the copies before it are whole.
    EXPECT_EQ(updates[8].fields, (std::vector<WireField>{{1, "vC"}}));
    EXPECT_EQ(updates[5].fields, (std::vector<WireField>{{1, "vC"}}));
}

TEST_F(DelayLink, TheLastChannelToSendFreesTheRecordWhateverItsDelay)
{
    // The longest delay closes its batches sooner and sends first.
    ASSERT_NO_FATAL_FAILURE(connect("add-delay\ndelay-time 0.3\nbatch-time 0.05\nprefix /long/\nend-delay\n"
                                    "add-delay\ndelay-time 0.2\nbatch-time 0.6\nprefix /short/\nend-delay\n"));
    vn_send_data(record("A", "kept"));
    std::vector<ReadUpdate> updates = receive(3);
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[1].subject, "/long/A");
    EXPECT_EQ(updates[2].subject, "/short/A");
    EXPECT_EQ(updates[2].fields, (std::vector<WireField>{{1, "kept"}}));
}

TEST_F(DelayLink, BlockRealtimeSendsOnlyTheDelayedCopiesAndBatchesGrowPastTheirSize)
{
    ASSERT_NO_FATAL_FAILURE(connect("block-realtime\ndelay-batch-time 0.05\n"
                                    "add-delay\ndelay-time 0.1\nbatch-size 1\nbatch-time 0.2\nend-delay\n"));
    std::vector<std::string> expected;
    for (int i = 0; i < 25; i++) {
        std::string subject = std::string("R").append(std::to_string(i));
        vn_send_data(record(subject, "x"));
        expected.push_back(std::string("/0.1").append(subject));
    }
    EXPECT_EQ(receive_subjects(25), expected);
    // An empty batch stopped the timer; the next record starts it again.
    vn_send_data(record("AGAIN", "y"));
    EXPECT_EQ(receive_subjects(1), std::vector<std::string>{"/0.1AGAIN"});
}

TEST_F(DelayLink, ApplicationChannelsRunOnTheInitThreadAndLeaveRecordsToTheApplication)
{
    ASSERT_NO_FATAL_FAILURE(connect(""));
    vn_delay_t *own = vn_new_delay_with_callback(0.05, nullptr, 0.02, &delivered, record_delivery);
    vn_data_t *first = record("FIRST", "1");
    vn_data_t *second = record("SECOND", "2");
    vn_delay_data(own, first);
    vn_delay_data(own, second);
    ASSERT_TRUE(wait_delivered(2));
    {
        std::lock_guard<std::mutex> lock(delivered_mutex);
        ASSERT_EQ(delivered.size(), 2u);
        EXPECT_EQ(delivered[0].data, first);
        EXPECT_EQ(delivered[0].subject, "/0.05FIRST");
        EXPECT_EQ(delivered[1].subject, "/0.05SECOND");
        for (const Delivery &delivery : delivered)
            EXPECT_TRUE(pthread_equal(delivery.thread, vn_main_thread()));
    }
    // Once the init thread has finished the batch, the subjects are back and
    // the records are still the application's.
    finish_init_thread_work();
    EXPECT_STREQ(first->subject, "FIRST");
    vn_free_data(first);
    vn_free_data(second);

    // The default callback sends to the peers; a prefix longer than any fixed buffer arrives whole.
    const std::string prefix(300, 'p');
    vn_delay_t *sending = vn_new_delay(0.01, prefix.c_str(), 0.02);
    vn_data_t *third = record(std::string(100, 's'), "3");
    vn_delay_data(sending, third);
    EXPECT_EQ(receive_subjects(1), std::vector<std::string>{prefix + std::string(100, 's')});
    finish_init_thread_work();
    EXPECT_EQ(std::string(third->subject), std::string(100, 's'));
    vn_free_data(third);
}

TEST(DelayProcess, APublishingAdapterSendsEachRecordLiveAndAgainAfterTheDelay)
{
    TempRoot root;
    WireListener listener;
    root.write("publisher.conf", "vantrix-id " + std::to_string(kLocalId) +
                                     "\ndelay-batch-time 0.05\nadd-delay\ndelay-time 0.2\nend-delay\n"
                                     "add-peer\nremote-id " + std::to_string(kRemoteId) + "\naddr 127.0.0.1\nport " +
                                     std::to_string(listener.port()) + "\nheartbeat-time 30\nend-peer\n");
    ChildProcess adapter({PUBLISHER_ADAPTER_BIN}, root.path(), true);
    ASSERT_TRUE(adapter.wait_for_line([](const std::string &line) { return line == "ready"; }));
    WireSocket remote = listener.accept();
    WireFrame info;
    ASSERT_TRUE(remote.read_frame_of(VN_PEERINFO, &info));
    remote.send(frame(VN_PEERINFO, info_payload(0, 1, kRemoteId, "feed")));
    adapter.send_line("publish quote/1 first");
    adapter.send_line("publish quote/2 second");
    std::vector<std::pair<std::string, std::string>> received;
    WireFrame update_frame;
    while (received.size() < 4 && remote.read_frame_of(VN_DATAUPDATE, &update_frame)) {
        ReadUpdate update;
        ASSERT_TRUE(read_update(update_frame.payload, &update));
        ASSERT_EQ(update.fields.size(), 1u);
        received.emplace_back(update.subject, update.fields[0].value);
    }
    EXPECT_EQ(received, (std::vector<std::pair<std::string, std::string>>{
                            {"quote/1", "first"}, {"quote/2", "second"}, {"/0.2quote/1", "first"},
                            {"/0.2quote/2", "second"}}));
}
