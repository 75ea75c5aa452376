#include "event.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kEpoll = 1;
constexpr int kPoll = 4;
constexpr int kSelect = 8;

void make_loop(int mask)
{
    _vn_event_init(nullptr);
    ASSERT_EQ(_vn_event_thread_init(nullptr, mask, 0), 1);
}

int stop_loop(int, int, void *)
{
    vn_stop();
    return 0;
}

// Stops the loop `delay` seconds from now: a bound for tests that check an
// event does not fire again, never a guess at when something happens.
void stop_after(double delay)
{
    vn_add_timed_event(0, delay, stop_loop, 0, nullptr);
}

struct SocketPair {
    int near = -1;
    int far = -1;
    SocketPair()
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0) {
            near = ends[0];
            far = ends[1];
        }
    }
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;
    ~SocketPair()
    {
        if (near >= 0)
            close(near);
        if (far >= 0)
            close(far);
    }
};

struct Counter {
    int calls = 0;
    int result = 0; // what the callback returns
    void *handle = nullptr;
    int stop_at = 0; // on this call (when non-zero) stops the loop and ends the event
};

int count_io(sock_t, int, void *data)
{
    Counter *counter = static_cast<Counter *>(data);
    counter->calls++;
    if (counter->calls == counter->stop_at) {
        vn_stop();
        return 0;
    }
    return counter->result;
}

int count_timer(int, int, void *data)
{
    return count_io(-1, 0, data);
}

} // namespace

namespace {
std::vector<int> fired_ids;
} // namespace

// ---- Timed events (the same on every back-end; run on each since the wait
// bound differs) ----

class EventLoop : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        make_loop(GetParam());
        fired_ids.clear();
    }
};

INSTANTIATE_TEST_SUITE_P(Backends, EventLoop, ::testing::Values(kEpoll, kPoll, kSelect),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return info.param == kEpoll ? "epoll" : info.param == kPoll ? "poll" : "select";
                         });

namespace {

int record_id(int id, int, void *)
{
    fired_ids.push_back(id);
    return 0;
}

} // namespace

TEST_P(EventLoop, TimersFireInDueOrder)
{
    vn_add_timed_event(1, 0.03, record_id, 0, nullptr);
    vn_add_timed_event(2, 0.01, record_id, 0, nullptr);
    vn_add_timed_event(3, 0.02, record_id, 0, nullptr);
    stop_after(0.04);
    vn_loop();
    EXPECT_EQ(fired_ids, (std::vector<int>{2, 3, 1}));
}

namespace {

// Work put off until the loop waits: it wakes the loop through a socket the
// loop watches, so a loop that waited before running it would never wake.
struct PutOff {
    int runs = 0;
    int asked = 0; // _vn_event_before_wait's answers that were 1
    int woken = 0;
    int far = -1;
};
PutOff put_off;

void put_off_work()
{
    put_off.runs++;
    if (put_off.far >= 0) {
        EXPECT_EQ(write(put_off.far, "w", 1), 1);
    }
}

int ask_twice(int, int, void *)
{
    put_off.asked += _vn_event_before_wait(put_off_work);
    put_off.asked += _vn_event_before_wait(put_off_work);
    return 0;
}

int woken_by_work(sock_t fd, int, void *)
{
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 1);
    put_off.woken++;
    vn_stop();
    return 0;
}

int ask_and_stop(int id, int value, void *data)
{
    ask_twice(id, value, data);
    vn_stop();
    return 0;
}

} // namespace

TEST_P(EventLoop, WorkPutOffUntilTheWaitRunsOnceBeforeItAndBeforeTheLoopIsLeft)
{
    put_off = PutOff{};
    EXPECT_EQ(_vn_event_before_wait(put_off_work), 0); // no loop runs here: do it now
    SocketPair pair;
    put_off.far = pair.far;
    vn_add_read_event(pair.near, woken_by_work, 0, nullptr);
    vn_add_timed_event(0, 0, ask_twice, 0, nullptr);
    stop_after(30); // a bound for a loop that would otherwise wait for good
    vn_loop();
    EXPECT_EQ(put_off.asked, 2);
    EXPECT_EQ(put_off.runs, 1);
    EXPECT_EQ(put_off.woken, 1);

    // Asked in the pass that stops the loop: done before vn_loop returns.
    put_off = PutOff{};
    vn_add_timed_event(0, 0, ask_and_stop, 0, nullptr);
    vn_loop();
    EXPECT_EQ(put_off.asked, 2);
    EXPECT_EQ(put_off.runs, 1);
    EXPECT_EQ(_vn_event_before_wait(put_off_work), 0);
}

TEST_P(EventLoop, StopBeforeLoopReturnsWithoutWaiting)
{
    Counter far_timer;
    vn_add_timed_event(0, 3600, count_timer, 0, &far_timer);
    vn_stop();
    vn_loop();
    EXPECT_EQ(far_timer.calls, 0);
}

TEST_P(EventLoop, HeapKeepsDueOrderThroughAddsAndDeletes)
{
    struct Fired {
        std::vector<double> times;
        std::map<int, double> due;
    } fired;
    auto record_time = [](int id, int, void *data) {
        Fired *seen = static_cast<Fired *>(data);
        seen->times.push_back(seen->due[id]);
        return 0;
    };
    std::mt19937 random(7);
    std::uniform_real_distribution<double> spread(0.0, 0.05);
    std::vector<vn_timed_event_t *> events;
    for (int id = 0; id < 400; id++) {
        vn_timed_event_t *ev = vn_add_timed_event(id, spread(random), record_time, 0, &fired);
        fired.due[id] = ev->time;
        events.push_back(ev);
    }
    std::set<int> deleted;
    for (int id = 0; id < 400; id += 3) {
        EXPECT_EQ(vn_del_timed_event(events[id]), 1);
        fired.due.erase(id);
        deleted.insert(id);
    }
    stop_after(0.06);
    vn_loop();
    ASSERT_EQ(fired.times.size(), 400 - deleted.size());
    EXPECT_TRUE(std::is_sorted(fired.times.begin(), fired.times.end()));
}

TEST_P(EventLoop, CallbackResultDecidesWhatHappensNext)
{
    struct Case {
        int result;
        int expected_calls;
    } cases[] = {{0, 1}, {2, 1}, {-1, 1}, {1, 3}};
    std::vector<Counter> counters(std::size(cases));
    for (size_t i = 0; i < std::size(cases); i++) {
        counters[i].result = cases[i].result;
        counters[i].handle = vn_add_timed_event(0, 0.001, count_timer, 0, &counters[i]);
    }
    // The repeating one stops the loop on its third call.
    counters.back().stop_at = 3;
    vn_loop();
    for (size_t i = 0; i < std::size(cases); i++)
        EXPECT_EQ(counters[i].calls, cases[i].expected_calls) << "result " << cases[i].result;
    // The event kept by -1 is still a valid handle until deleted.
    EXPECT_EQ(vn_del_timed_event(static_cast<vn_timed_event_t *>(counters[2].handle)), 1);
}

TEST_P(EventLoop, EventDeletedInItsOwnCallbackIsNotRepeated)
{
    Counter counter;
    auto delete_self_on_second_call = [](int, int, void *data) {
        Counter *seen = static_cast<Counter *>(data);
        if (++seen->calls == 2)
            vn_del_timed_event(static_cast<vn_timed_event_t *>(seen->handle));
        return 1;
    };
    counter.handle = vn_add_timed_event(0, 0.001, delete_self_on_second_call, 0, &counter);
    stop_after(0.05);
    vn_loop();
    EXPECT_EQ(counter.calls, 2);
}

TEST_P(EventLoop, EventDeletedByAnotherCallbackNeverFires)
{
    Counter victim;
    vn_timed_event_t *doomed = vn_add_timed_event(0, 0.02, count_timer, 0, &victim);
    auto delete_other = [](int, int, void *data) {
        vn_del_timed_event(static_cast<vn_timed_event_t *>(data));
        return 0;
    };
    vn_add_timed_event(0, 0.01, delete_other, 0, doomed);
    stop_after(0.04);
    vn_loop();
    EXPECT_EQ(victim.calls, 0);
}

TEST_P(EventLoop, LateRepeatingEventCatchesUpOneIntervalAtATime)
{
    Counter counter;
    counter.result = 1;
    vn_timed_event_t *ev = vn_add_timed_event(0, 1.0, count_timer, 0, &counter);
    // As if the loop had been blocked for five seconds.
    vn_set_timed_delay_next(ev, -4.0);
    stop_after(0.2);
    vn_loop();
    EXPECT_GE(counter.calls, 5);
    EXPECT_LE(counter.calls, 6);
}

TEST_P(EventLoop, DelayNextMovesAPendingEventInDueOrder)
{
    vn_timed_event_t *first = vn_add_timed_event(1, 0.01, record_id, 0, nullptr);
    vn_add_timed_event(2, 0.02, record_id, 0, nullptr);
    vn_set_timed_delay_next(first, 0.03); // now due at 0.03
    stop_after(0.05);
    vn_loop();
    EXPECT_EQ(fired_ids, (std::vector<int>{2, 1}));
}

TEST_P(EventLoop, RepeatingEventWithoutIntervalFiresOncePerPass)
{
    Counter spinning;
    spinning.result = 1;
    vn_add_timed_event(0, 0, count_timer, 0, &spinning);
    // A socket that stays readable counts the passes and ends the loop.
    SocketPair pair;
    ASSERT_EQ(write(pair.far, "x", 1), 1);
    Counter passes;
    passes.result = 1;
    passes.stop_at = 3;
    vn_add_read_event(pair.near, count_io, 0, &passes);
    vn_loop();
    EXPECT_GE(spinning.calls, 2);
    EXPECT_LE(spinning.calls, 4);
}

namespace {

// Seconds from the clock the loop reads: time() follows a coarser clock that
// can still show the previous second just after gettimeofday has moved on.
time_t wall_seconds()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return now.tv_sec;
}

} // namespace

TEST_P(EventLoop, ClockIsReadOncePerWake)
{
    time_t before = wall_seconds();
    uint64_t relative_before = vn_get_relative_time();
    stop_after(0.01);
    vn_loop();
    EXPECT_GE(vn_get_time(), before);
    EXPECT_LE(vn_get_time(), wall_seconds());
    EXPECT_GT(vn_get_relative_time(), relative_before);
    // Both break-downs share the loop's one buffer.
    EXPECT_EQ(vn_localtime(), vn_gmtime());
}

// ---- Socket watches ----

namespace {

struct Server {
    int listener = -1;
    int accepted = -1;
    std::string received;
};

int on_data(sock_t fd, int, void *data)
{
    Server *server = static_cast<Server *>(data);
    char buffer[64];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0)
        server->received.append(buffer, static_cast<size_t>(got));
    if (server->received == "hello") {
        vn_stop();
        return 0;
    }
    return 1;
}

int on_accept(sock_t fd, int value, void *data)
{
    Server *server = static_cast<Server *>(data);
    EXPECT_EQ(value, 42);
    server->accepted = accept(fd, nullptr, nullptr);
    EXPECT_NE(vn_add_read_event(server->accepted, on_data, 0, server), nullptr);
    return 0;
}

} // namespace

TEST_P(EventLoop, AcceptsAndReadsOverLoopback)
{
    Server server;
    server.listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(server.listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server.listener, 4), 0);
    getsockname(server.listener, reinterpret_cast<sockaddr *>(&address), &length);
    ASSERT_NE(vn_add_read_event(server.listener, on_accept, 42, &server), nullptr);

    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(write(client, "hel", 3), 3);
    ASSERT_EQ(write(client, "lo", 2), 2);
    vn_loop();
    EXPECT_EQ(server.received, "hello");
    close(client);
    close(server.accepted);
    close(server.listener);
}

TEST_P(EventLoop, WatchResultDecidesWhatHappensNext)
{
    struct Case {
        int result;
        int expected_calls;
    } cases[] = {{0, 1}, {5, 1}, {-1, 1}};
    std::vector<SocketPair> pairs(std::size(cases));
    std::vector<Counter> counters(std::size(cases));
    for (size_t i = 0; i < std::size(cases); i++) {
        counters[i].result = cases[i].result;
        counters[i].handle = vn_add_write_event(pairs[i].near, count_io, 0, &counters[i]);
    }
    stop_after(0.05);
    vn_loop();
    for (size_t i = 0; i < std::size(cases); i++)
        EXPECT_EQ(counters[i].calls, cases[i].expected_calls) << "result " << cases[i].result;
    EXPECT_EQ(vn_del_write_event(static_cast<vn_write_event_t *>(counters[2].handle)), 1);
}

TEST_P(EventLoop, WatchDeletingItselfAndReturningOneIsNotCalledAgain)
{
    SocketPair pair;
    ASSERT_EQ(write(pair.far, "x", 1), 1);
    Counter counter;
    auto delete_self = [](sock_t, int, void *data) {
        Counter *seen = static_cast<Counter *>(data);
        seen->calls++;
        vn_del_read_event(static_cast<vn_read_event_t *>(seen->handle));
        return 1;
    };
    counter.handle = vn_add_read_event(pair.near, delete_self, 0, &counter);
    stop_after(0.05);
    vn_loop();
    EXPECT_EQ(counter.calls, 1);
}

namespace {

// Read and write watches on one socket; the read callback deletes both.
struct BothWatches {
    vn_read_event_t *read = nullptr;
    vn_write_event_t *write = nullptr;
    int read_calls = 0;
    int write_calls = 0;
};

int delete_both(sock_t, int, void *data)
{
    BothWatches *both = static_cast<BothWatches *>(data);
    both->read_calls++;
    vn_del_write_event(both->write);
    vn_del_read_event(both->read);
    return 1;
}

int count_write(sock_t, int, void *data)
{
    static_cast<BothWatches *>(data)->write_calls++;
    return 1;
}

} // namespace

TEST_P(EventLoop, DeletingASocketsWatchesInsideItsDispatchIsSafe)
{
    SocketPair pair;
    ASSERT_EQ(write(pair.far, "x", 1), 1); // readable and writable at once
    BothWatches both;
    both.read = vn_add_read_event(pair.near, delete_both, 0, &both);
    both.write = vn_add_write_event(pair.near, count_write, 0, &both);
    stop_after(0.05);
    vn_loop();
    EXPECT_EQ(both.read_calls, 1);
    EXPECT_EQ(both.write_calls, 0);
}

TEST_P(EventLoop, HangUpReachesTheReadWatch)
{
    SocketPair pair;
    close(pair.far);
    pair.far = -1;
    Counter counter;
    counter.stop_at = 1;
    vn_add_read_event(pair.near, count_io, 0, &counter);
    vn_loop();
    EXPECT_EQ(counter.calls, 1);
}

TEST_P(EventLoop, RemovingSomeSocketsKeepsTheOthersDelivering)
{
    // More sockets than the poll back-end's first allocation.
    constexpr int kSockets = 12;
    constexpr int kRemoved = 3;
    std::vector<SocketPair> pairs(kSockets);
    std::vector<Counter> counters(kSockets);
    std::vector<vn_read_event_t *> reads(kSockets);
    std::vector<vn_write_event_t *> writes(kSockets);
    for (int i = 0; i < kSockets; i++) {
        ASSERT_EQ(write(pairs[i].far, "x", 1), 1);
        reads[i] = vn_add_read_event(pairs[i].near, count_io, 0, &counters[i]);
        writes[i] = vn_add_write_event(pairs[i].far, count_io, 0, &counters[i]);
    }
    for (int i = 0; i < kRemoved; i++) {
        vn_del_read_event(reads[i]);
        vn_del_write_event(writes[i]);
    }
    // Reads of the middle sockets go too: their write watches must stay.
    for (int i = kRemoved; i < 2 * kRemoved; i++)
        vn_del_read_event(reads[i]);
    stop_after(0.05);
    vn_loop();
    for (int i = 0; i < kSockets; i++) {
        int expected = i < kRemoved ? 0 : i < 2 * kRemoved ? 1 : 2;
        EXPECT_EQ(counters[i].calls, expected) << "socket " << i;
    }
}

TEST_P(EventLoop, SetCallbackReplacesCallbackValueAndData)
{
    SocketPair pair;
    Counter unused;
    Counter counter;
    counter.stop_at = 1;
    vn_write_event_t *ev = vn_add_write_event(pair.near, count_io, 0, &unused);
    vn_write_event_set_callback(ev, count_io, 7, &counter);
    vn_loop();
    EXPECT_EQ(unused.calls, 0);
    EXPECT_EQ(counter.calls, 1);
    EXPECT_EQ(reinterpret_cast<event_base_t *>(ev)->val, 7);
}

TEST_P(EventLoop, SocketsOutsideTheTableAreRefused)
{
    SocketPair pair;
    int limit = GetParam() == kSelect ? FD_SETSIZE : 65536;
    // The highest socket the back-end can index is accepted.
    int last = dup2(pair.near, FD_SETSIZE - 1);
    ASSERT_EQ(last, FD_SETSIZE - 1);
    Counter counter;
    vn_read_event_t *accepted = vn_add_read_event(last, count_io, 0, &counter);
    EXPECT_NE(accepted, nullptr);
    vn_del_read_event(accepted);
    close(last);
    for (int fd : {-1, -2, limit, limit + 1000}) {
        EXPECT_EQ(vn_add_read_event(fd, count_io, 0, &counter), nullptr) << fd;
        EXPECT_EQ(vn_add_write_event(fd, count_io, 0, &counter), nullptr) << fd;
        EXPECT_EQ(vn_add_except_event(fd, count_io, 0, &counter), nullptr) << fd;
    }
}

// epoll takes no regular files: the add fails instead of handing back a watch
// that never fires, and leaves the descriptor free for a later watch.
TEST(EventEpoll, DescriptorTheKernelRefusesIsNotWatched)
{
    make_loop(kEpoll);
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    Counter counter;
    EXPECT_EQ(vn_add_read_event(fileno(file), count_io, 0, &counter), nullptr);
    EXPECT_EQ(vn_add_write_event(fileno(file), count_io, 0, &counter), nullptr);
    SocketPair pair;
    ASSERT_EQ(dup2(pair.far, fileno(file)), fileno(file));
    counter.stop_at = 1;
    ASSERT_NE(vn_add_read_event(fileno(file), count_io, 0, &counter), nullptr);
    ASSERT_EQ(write(pair.near, "x", 1), 1);
    vn_loop();
    EXPECT_EQ(counter.calls, 1);
    fclose(file);
}

namespace {

// Where and how often an event's data was disposed of by a delete.
struct Disposal {
    pthread_t owner;
    int count = 0;
    bool on_owner = true;
    int stop_at = 0;
};

void dispose_on_delete(int, void *data)
{
    Disposal *disposal = static_cast<Disposal *>(data);
    disposal->count++;
    disposal->on_owner = disposal->on_owner && pthread_equal(disposal->owner, pthread_self());
    if (disposal->count == disposal->stop_at)
        vn_stop();
}

int never_called_timer(int, int, void *)
{
    ADD_FAILURE() << "a deleted timer fired";
    return 0;
}

int never_called_watch(sock_t, int, void *)
{
    ADD_FAILURE() << "a deleted watch fired";
    return 0;
}

} // namespace

TEST_P(EventLoop, DeletesFromAnotherThreadRunOnTheOwnerLoop)
{
    Disposal disposal;
    disposal.owner = pthread_self();
    disposal.stop_at = 2;
    SocketPair pair;
    vn_timed_event_t *timer = vn_add_timed_event(0, 1000, never_called_timer, 0, &disposal);
    vn_read_event_t *watch = vn_add_read_event(pair.near, never_called_watch, 0, &disposal);
    std::thread other([&] {
        EXPECT_EQ(vn_del_timed_event_free_data(timer, dispose_on_delete), 1);
        EXPECT_EQ(vn_del_read_event_free_data(watch, dispose_on_delete), 1);
    });
    other.join();
    EXPECT_EQ(disposal.count, 0); // posted, not yet run
    vn_loop();
    EXPECT_EQ(disposal.count, 2);
    EXPECT_TRUE(disposal.on_owner);
}

namespace {

// Timers deleted from other threads record their value as their data goes;
// the first one's disposal, on the owner, has another thread delete `late`
// while the owner is still running the batch the first belongs to.
struct DeleteOrder {
    pthread_t owner;
    std::string order;
    bool on_owner = true;
    vn_timed_event_t *late = nullptr;
    size_t stop_at = 0;
};

DeleteOrder *delete_order;

void record_delete(int val, void *)
{
    delete_order->order += std::to_string(val);
    delete_order->on_owner = delete_order->on_owner && pthread_equal(delete_order->owner, pthread_self());
    if (val == 1) {
        std::thread deleter([] { EXPECT_EQ(vn_del_timed_event_free_data(delete_order->late, record_delete), 1); });
        deleter.join();
    }
    if (delete_order->order.size() == delete_order->stop_at)
        vn_stop();
}

} // namespace

TEST_P(EventLoop, DeletesFromOtherThreadsRunOnceInOrderAlsoWhenAskedDuringABatch)
{
    constexpr double kGiveUpSeconds = 10.0;
    DeleteOrder order;
    order.owner = pthread_self();
    order.stop_at = 4;
    delete_order = &order;
    std::vector<vn_timed_event_t *> timers;
    for (int val = 1; val <= 3; val++)
        timers.push_back(vn_add_timed_event(0, 1000, never_called_timer, val, nullptr));
    order.late = vn_add_timed_event(0, 1000, never_called_timer, 4, nullptr);
    std::thread first([&] {
        for (vn_timed_event_t *timer : timers)
            EXPECT_EQ(vn_del_timed_event_free_data(timer, record_delete), 1);
    });
    first.join();
    EXPECT_EQ(order.order, ""); // gathered, not yet run
    stop_after(kGiveUpSeconds); // a lost delete fails instead of hanging
    vn_loop();
    EXPECT_EQ(order.order, "1234");
    EXPECT_TRUE(order.on_owner);
    // Every delete released its event: only the bound is left in the heap.
    EXPECT_EQ(_vn_event_get_globals()->timed_event_heap->size, 1);
}

namespace {

// Loops live as long as the process, also past the end of their thread.
event_globals_t *channel_less_loop = nullptr;

// Makes the calling thread's loop while no descriptor is left, so that its
// call channel cannot be made.
void make_loop_without_channel()
{
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowest_free = dup(0);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    struct rlimit exhausted = saved;
    exhausted.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
    int made = vn_thread_init(kPoll, 0);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(made, 0);
    channel_less_loop = _vn_event_get_globals();
    ASSERT_EQ(channel_less_loop->signalany, nullptr);
}

} // namespace

TEST(EventThreads, DeleteThatCannotReachTheOwnerLoopIsRefusedAndLogged)
{
    vntest::TempRoot root;
    vn_init_t record{};
    record.log = vn_new_level_log("event_log", root.file("event.log").c_str(), nullptr);
    ASSERT_NE(record.log, nullptr);
    make_loop(kPoll);
    _vn_event_init(&record); // loops made by vn_thread_init log through the record
    SocketPair pair;
    Disposal disposal;
    vn_timed_event_t *timer = nullptr;
    vn_read_event_t *watch = nullptr;
    std::thread owner([&] {
        make_loop_without_channel();
        timer = vn_add_timed_event(0, 1000, never_called_timer, 0, &disposal);
        watch = vn_add_read_event(pair.near, never_called_watch, 0, &disposal);
    });
    owner.join();
    ASSERT_NE(timer, nullptr);
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(vn_del_timed_event_free_data(timer, dispose_on_delete), 0);
    EXPECT_EQ(vn_del_read_event(watch), 0);
    EXPECT_EQ(disposal.count, 0) << "the data of an event left in place was disposed of";
    std::string log = root.read("event.log");
    for (const char *function : {"vn_del_timed_event_free_data", "vn_del_read_event"})
        EXPECT_NE(log.find(std::string("ERROR: ") + function + " refused: event 0x"), std::string::npos) << log;
}

namespace {
// Loops live as long as the process, also past the end of their thread.
event_globals_t *ended_thread_loop = nullptr;
} // namespace

TEST(EventThreads, EachThreadRunsItsOwnLoop)
{
    make_loop(kPoll);
    vn_stop(); // stops only this thread's loop
    Counter counter;
    std::thread other([&] {
        ASSERT_EQ(vn_thread_init(kEpoll, 0), 0);
        ended_thread_loop = _vn_event_get_globals();
        counter.result = 1;
        counter.stop_at = 3;
        vn_add_timed_event(0, 0.001, count_timer, 0, &counter);
        vn_loop();
    });
    other.join();
    EXPECT_EQ(counter.calls, 3);
    EXPECT_NE(ended_thread_loop, _vn_event_get_globals());
}

// ---- Back-end choice ----

TEST(EventBackendChoice, EpollIsTakenBeforeDevpollWithoutAMessage)
{
    _vn_event_init(nullptr);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(_vn_event_thread_init(nullptr, 3, 0), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(EventBackendChoice, NoUsableBackendEndsTheProcessWithCodeOne)
{
    struct Case {
        int mask;
        const char *message;
    } cases[] = {
        {2, "Failed to initialise 'devpoll' event module\n.*No supported event module configured \\(2\\)"},
        {16, "No supported event module configured \\(16\\)"},
    };
    _vn_event_init(nullptr);
    for (const Case &c : cases)
        EXPECT_EXIT(_vn_event_thread_init(nullptr, c.mask, 0), ::testing::ExitedWithCode(1), c.message);
}

// ---- Calendar ----

namespace {

class ZoneGuard {
public:
    explicit ZoneGuard(const char *zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        unsetenv("TZ");
        tzset();
    }
};

constexpr const char *kLondon = "GMT0BST,M3.5.0/1,M10.5.0";

} // namespace

TEST(EventCalendar, GmtOffsetCountsTheTurnOfTheDayAndYear)
{
    struct Case {
        const char *zone;
        time_t when;
        int expected;
    } cases[] = {
        {"CET-1", 1704065400, 60},     // 2023-12-31 23:30 UTC, local already 1 January
        {"EST5", 1704074400, -300},    // 2024-01-01 02:00 UTC, local still 31 December
        {"<+0530>-5:30", 1700000000, 330},
        {kLondon, 1720000000, 60},     // July: summer time
        {kLondon, 1700000000, 0},
    };
    for (const Case &c : cases) {
        ZoneGuard zone(c.zone);
        EXPECT_EQ(vn_get_gmt_offset(c.when), c.expected) << c.zone << " at " << c.when;
    }
}

TEST(EventCalendar, TimeZoneNameComesFromTz)
{
    ZoneGuard zone("Europe/Oslo");
    char buffer[8];
    EXPECT_STREQ(vn_get_timezone(buffer, sizeof buffer), "Europe/");
    char whole[64];
    EXPECT_STREQ(vn_get_timezone(whole, sizeof whole), "Europe/Oslo");
}

class PeriodicEvents : public ::testing::Test {
protected:
    void SetUp() override { make_loop(kPoll); }
};

namespace {

int keep_going(int, int, void *)
{
    return 1;
}

struct tm local_at(double when)
{
    time_t whole = static_cast<time_t>(when);
    struct tm broken;
    localtime_r(&whole, &broken);
    return broken;
}

} // namespace

TEST_F(PeriodicEvents, HourlyEventIsDueAtTheNextWholeLocalHour)
{
    ZoneGuard zone("<+0530>-5:30");
    double now = time(nullptr);
    vn_timed_event_t *ev = vn_add_periodic_event(0, 60, 0, keep_going, 0, nullptr);
    ASSERT_NE(ev, nullptr);
    struct tm due = local_at(ev->time);
    EXPECT_EQ(due.tm_min, 0);
    EXPECT_EQ(due.tm_sec, 0);
    EXPECT_GT(ev->time, now);
    EXPECT_LE(ev->time, now + 3601);
    EXPECT_EQ(ev->delay, 3600);
}

TEST_F(PeriodicEvents, WeeklyEventIsDueAtItsLocalWeekdayAndTime)
{
    ZoneGuard zone(kLondon);
    double now = time(nullptr);
    vn_timed_event_t *ev = vn_add_periodic_event(1440 + 540, 10080, 0, keep_going, 0, nullptr);
    ASSERT_NE(ev, nullptr);
    struct tm due = local_at(ev->time);
    EXPECT_EQ(due.tm_wday, 2); // Tuesday
    EXPECT_EQ(due.tm_hour, 9);
    EXPECT_EQ(due.tm_min, 0);
    EXPECT_GT(ev->time, now);
    EXPECT_LE(ev->time, now + 7 * 86400 + 3601);
    EXPECT_EQ(ev->delay, 604800);
}

TEST_F(PeriodicEvents, NonPositivePeriodIsRefused)
{
    EXPECT_EQ(vn_add_periodic_event(0, 0, 0, keep_going, 0, nullptr), nullptr);
    EXPECT_EQ(vn_add_periodic_event(0, -60, 0, keep_going, 0, nullptr), nullptr);
}

TEST_F(PeriodicEvents, DaylightSavingShiftKeepsTheLocalTime)
{
    struct Case {
        const char *zone;
        time_t due;          // this firing
        double expected_gap; // seconds to the replacement
    } cases[] = {
        {kLondon, 1711800000, 82800}, // 2024-03-30 12:00 GMT; clocks go forward overnight
        {kLondon, 1729940400, 90000}, // 2024-10-26 12:00 BST; clocks go back overnight
        // 2018-11-03 23:30 local; the clocks jump from midnight to 01:00.
        {"<-03>3<-02>,M11.1.0/0,M2.3.0/0", 1541298600, 82800},
    };
    for (const Case &c : cases) {
        ZoneGuard zone(c.zone);
        vn_timed_event_t *ev = vn_add_timed_event(9, 60, keep_going, 5, nullptr);
        ev->time = static_cast<double>(c.due);
        vn_timed_event_t *handle = ev;
        double before = time(nullptr);
        EXPECT_EQ(vn_check_periodic_event(1440, &handle), 0) << c.due;
        ASSERT_NE(handle, ev);
        EXPECT_EQ(handle->id, 9);
        EXPECT_EQ(handle->event_base.val, 5);
        EXPECT_EQ(handle->delay, 86400);
        EXPECT_GE(handle->time - before, c.expected_gap);
        EXPECT_LT(handle->time - before, c.expected_gap + 2) << c.due;
    }
}

TEST_F(PeriodicEvents, NoShiftRepeatsTheEventAsItIs)
{
    ZoneGuard zone(kLondon);
    vn_timed_event_t *ev = vn_add_timed_event(0, 60, keep_going, 0, nullptr);
    ev->time = 1720000000; // July, far from a change
    vn_timed_event_t *handle = ev;
    EXPECT_EQ(vn_check_periodic_event(1440, &handle), 1);
    EXPECT_EQ(handle, ev);
}
