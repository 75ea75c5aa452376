// Call channels between real threads and a real event loop.
#include "signalmain/signalmain.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kEpoll = 1;

// Everything a call records: the calls in order, with "|" between loop
// passes when a pass marker is running.
struct CallLog {
    std::string order;
    pthread_t owner;
    bool off_owner = false;
    int stop_after = 0;
};

CallLog *call_log;

int record_call(int type, void *)
{
    call_log->order += static_cast<char>(type);
    if (!pthread_equal(call_log->owner, pthread_self()))
        call_log->off_owner = true;
    if (--call_log->stop_after == 0)
        vn_stop();
    return 0;
}

// Repeats once per timer pass, marking where one pass ends.
int mark_pass(int, int, void *)
{
    call_log->order += '|';
    return 1;
}

// The calls between two pass markers ran in one wake-up.
std::vector<std::string> calls_per_wake(const std::string &order)
{
    std::vector<std::string> wakes;
    std::string current;
    for (char c : order) {
        if (c != '|') {
            current += c;
        } else if (!current.empty()) {
            wakes.push_back(current);
            current.clear();
        }
    }
    if (!current.empty())
        wakes.push_back(current);
    return wakes;
}

template <typename Predicate>
void spin_until(Predicate done)
{
    while (!done())
        std::this_thread::yield();
}

class SignalAny : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(vn_thread_init(kEpoll, 0), 0);
        log.owner = pthread_self();
        call_log = &log;
        channel = tarvelutil_signalany_create(nullptr);
        ASSERT_NE(channel, nullptr);
    }

    void post_from_other_thread(const std::string &types, int async)
    {
        std::thread sender([&] {
            for (char type : types)
                tarvelutil_signalany_send(channel, type, record_call, nullptr, async);
        });
        sender.join();
    }

    CallLog log;
    tarvelutil_signalany_t *channel = nullptr;
};

TEST_F(SignalAny, ExecOnTheOwnerRunsAtOnceWithoutQueueing)
{
    for (int async : {0, 1}) {
        log.order.clear();
        EXPECT_EQ(tarvelutil_signalany_exec(channel, 'a', record_call, nullptr, async), 0);
        EXPECT_EQ(log.order, "a");
        EXPECT_EQ(tarvelutil_queue_count(channel->queue), 0);
    }
}

TEST_F(SignalAny, AsynchronousCallsFromAnotherThreadRunInOrderInOneWake)
{
    post_from_other_thread("abc", 1);
    EXPECT_EQ(log.order, ""); // nothing runs before the owner's loop does
    log.stop_after = 3;
    vn_add_timed_event(0, 0, mark_pass, 0, nullptr);
    vn_loop();
    EXPECT_EQ(calls_per_wake(log.order), std::vector<std::string>{"abc"});
    EXPECT_FALSE(log.off_owner);
}

TEST_F(SignalAny, YieldCountSpreadsCallsOverWakes)
{
    tarvelutil_signalany_set_yield_count(channel, 2);
    EXPECT_EQ(tarvelutil_signalany_get_yield_count(channel), 2);
    post_from_other_thread("abcde", 1);
    log.stop_after = 5;
    vn_add_timed_event(0, 0, mark_pass, 0, nullptr);
    vn_loop();
    EXPECT_EQ(calls_per_wake(log.order), (std::vector<std::string>{"ab", "cd", "e"}));
}

TEST_F(SignalAny, SynchronousSenderReturnsOnlyAfterItsCallRanOnTheOwner)
{
    std::atomic<bool> returned{false};
    std::string seen_on_return;
    log.stop_after = 1;
    std::thread sender([&] {
        tarvelutil_signalany_send(channel, 's', record_call, nullptr, 0);
        seen_on_return = log.order; // ordered after the call by the channel's handshake
        returned = true;
    });
    spin_until([&] { return tarvelutil_queue_count(channel->queue) == 1; });
    EXPECT_FALSE(returned.load()); // the sender waits while the owner is not looping
    vn_loop();
    sender.join();
    EXPECT_EQ(seen_on_return, "s");
    EXPECT_FALSE(log.off_owner);
}

TEST_F(SignalAny, SynchronousSendOnTheOwnerRunsAtOnceInsteadOfWaitingForever)
{
    EXPECT_EQ(tarvelutil_signalany_send(channel, 'o', record_call, nullptr, 0), 0);
    EXPECT_EQ(log.order, "o");
}

// Per sender: how many of its calls had run each time its send returned.
struct SenderTally {
    std::atomic<int> ran{0};
};

std::atomic<int> total_ran{0};
constexpr int kSenders = 4;
constexpr int kSendsEach = 50;

int count_sender_call(int, void *data)
{
    static_cast<SenderTally *>(data)->ran++;
    if (++total_ran == kSenders * kSendsEach)
        vn_stop();
    return 0;
}

TEST_F(SignalAny, SynchronousSendersAreAdmittedOneAtATime)
{
    std::vector<SenderTally> tallies(kSenders);
    std::vector<std::thread> senders;
    std::atomic<int> early_returns{0};
    std::atomic<int> most_queued{0};
    for (SenderTally &tally : tallies) {
        senders.emplace_back([&] {
            for (int i = 1; i <= kSendsEach; i++) {
                tarvelutil_signalany_send(channel, 0, count_sender_call, &tally, 0);
                if (tally.ran.load() != i)
                    early_returns++;
                // The one admitted sender's call is the only one ever queued.
                int queued = tarvelutil_queue_count(channel->queue);
                if (queued > most_queued.load())
                    most_queued = queued;
            }
        });
    }
    vn_loop();
    for (std::thread &sender : senders)
        sender.join();
    EXPECT_EQ(early_returns.load(), 0);
    EXPECT_LE(most_queued.load(), 1);
    EXPECT_EQ(total_ran.load(), kSenders * kSendsEach);
}

// A call that owns its record, as the loop's posted deletes do.
struct OwnedCall {
    char type;
};

int run_owned_call(int, void *data)
{
    OwnedCall *call = static_cast<OwnedCall *>(data);
    record_call(call->type, nullptr);
    delete call;
    return 0;
}

TEST_F(SignalAny, DeleteRunsQueuedCallsAndReleasesEveryWaitingSender)
{
    for (char type : std::string("abc"))
        tarvelutil_signalany_send(channel, 0, run_owned_call, new OwnedCall{type}, 1);
    std::atomic<int> senders_back{0};
    std::thread first([&] {
        tarvelutil_signalany_send(channel, 'S', record_call, nullptr, 0);
        senders_back++;
    });
    // The first sender's call is queued behind the three and it holds the
    // channel, so the second waits to be admitted.
    spin_until([&] { return tarvelutil_queue_count(channel->queue) == 4; });
    std::thread second([&] {
        tarvelutil_signalany_send(channel, 'T', record_call, nullptr, 0);
        senders_back++;
    });
    spin_until([&] { return channel->senders.load() == 2; });
    // Returns once both calls have run and both senders are done with the
    // channel; the sanitizer build catches any sender touching it afterwards.
    EXPECT_EQ(tarvelutil_signalany_delete(channel), 0);
    EXPECT_EQ(log.order, "abcST");
    first.join();
    second.join();
    EXPECT_EQ(senders_back.load(), 2);
}

TEST_F(SignalAny, DeleteFromAnotherThreadHappensOnTheOwnerAfterQueuedCalls)
{
    post_from_other_thread("ab", 1);
    std::thread deleter([&] { EXPECT_EQ(tarvelutil_signalany_delete(channel), 0); });
    deleter.join();
    // Queued behind the delete: run before the channel goes.
    tarvelutil_signalany_send(channel, 'c', record_call, nullptr, 1);
    log.stop_after = 3;
    vn_loop();
    EXPECT_EQ(log.order, "abc");
    EXPECT_FALSE(log.off_owner);
}

// Wake-up bytes waiting in the channel's pipe.
int pending_wake_bytes(tarvelutil_signalany_t *channel)
{
    int bytes = -1;
    ioctl(channel->message_pipe[0], FIONREAD, &bytes);
    return bytes;
}

// Posts three calls from another thread while the owner runs this one.
int post_while_running(int type, void *data)
{
    record_call(type, nullptr);
    tarvelutil_signalany_t *channel = static_cast<tarvelutil_signalany_t *>(data);
    std::thread sender([channel] {
        for (char later : std::string("xyz"))
            tarvelutil_signalany_send(channel, later, record_call, nullptr, 1);
    });
    sender.join();
    call_log->order += std::to_string(pending_wake_bytes(channel));
    return 0;
}

TEST_F(SignalAny, CallsPostedWhileTheOwnerRunsCallsCostNoWakeByte)
{
    std::thread first([&] { tarvelutil_signalany_send(channel, 'g', post_while_running, channel, 1); });
    first.join();
    EXPECT_EQ(pending_wake_bytes(channel), 1);
    log.stop_after = 4;
    vn_add_timed_event(0, 0, mark_pass, 0, nullptr);
    vn_loop();
    // No byte was written while the owner was reading, and all ran in one wake.
    EXPECT_EQ(calls_per_wake(log.order), std::vector<std::string>{"g0xyz"});
    // Once the owner found the queue empty, the next post wakes it again.
    post_from_other_thread("q", 1);
    EXPECT_EQ(pending_wake_bytes(channel), 1);
}

// The idle gate: once, at the chosen stage, another thread posts 'b' and has
// returned before the owner goes on.
int gate_stage = -1;

void post_at_gate(tarvelutil_signalany_t *channel, int stage)
{
    if (stage != gate_stage)
        return;
    gate_stage = -1;
    std::thread sender([channel] { tarvelutil_signalany_send(channel, 'b', record_call, nullptr, 1); });
    sender.join();
}

// Ends a loop whose call was lost, so that the test fails instead of hanging.
int give_up(int, int, void *)
{
    call_log->order += "(lost)";
    vn_stop();
    return 0;
}

TEST_F(SignalAny, CallPostedAsTheOwnerGoesIdleIsRunAfterAll)
{
    constexpr double kGiveUpSeconds = 10.0;
    struct Case {
        int stage; // 0: before the owner clears its flag, 1: after
        int yield_count;
    };
    for (Case test : {Case{0, 0}, Case{1, 0}, Case{0, 1}, Case{1, 1}}) {
        SCOPED_TRACE(testing::Message() << "stage " << test.stage << ", yield count " << test.yield_count);
        log.order.clear();
        tarvelutil_signalany_set_yield_count(channel, test.yield_count);
        channel->idle_gate = post_at_gate;
        gate_stage = test.stage;
        post_from_other_thread("a", 1);
        log.stop_after = 2;
        vn_timed_event_t *watchdog = vn_add_timed_event(0, kGiveUpSeconds, give_up, 0, nullptr);
        vn_loop();
        vn_del_timed_event(watchdog);
        EXPECT_EQ(log.order, "ab");
        EXPECT_EQ(gate_stage, -1); // the gate was reached
    }
    channel->idle_gate = nullptr;
}

TEST(SignalMain, DefaultChannelIsMadeOnceAndDeletedByExit)
{
    ASSERT_EQ(vn_thread_init(kEpoll, 0), 0);
    CallLog log;
    log.owner = pthread_self();
    call_log = &log;
    EXPECT_EQ(tarvelutil_signalmain_exec('x', record_call, nullptr, 0), -1); // no channel yet: not run
    EXPECT_EQ(tarvelutil_signalmain_init(nullptr), 0);
    EXPECT_EQ(tarvelutil_signalmain_init(nullptr), 0);
    EXPECT_EQ(tarvelutil_signalmain_set_yield_count(3), 0);
    EXPECT_EQ(tarvelutil_signalmain_get_yield_count(0), 3);
    std::thread sender([] { tarvelutil_signalmain_send('m', record_call, nullptr, 0); });
    log.stop_after = 1;
    vn_loop();
    sender.join();
    EXPECT_EQ(log.order, "m");
    EXPECT_EQ(tarvelutil_signalmain_exit(), 0);
    EXPECT_EQ(tarvelutil_signalmain_exit(), 0);
    EXPECT_EQ(tarvelutil_signalmain_get_yield_count(0), -1);
}

TEST(SignalAnyWithoutLoop, CreateOnAThreadWithoutALoopGivesNull)
{
    std::thread bare([] { EXPECT_EQ(tarvelutil_signalany_create(nullptr), nullptr); });
    bare.join();
}

} // namespace
