// The callback layer: events handed in on another thread reach the
// application's callbacks on the init thread's loop (or on the calling thread
// with enable-threaded-callbacks), with subjects mapped back.
#include "data_services.h"
#include "signalmain/signalmain.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <latch>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr double kBoundSeconds = 30; // a loop still running then has lost a delivery

struct Seen {
    std::string kind;
    int peer = -2;
    std::vector<std::string> names;
    uintptr_t extra_slot = 0;
    int flags = -1;
    int state = -1;
    std::string message;
    bool null_message = false;
    pthread_t thread{};
};

Seen entry_of(const char *kind, int peer, std::vector<std::string> names = {})
{
    Seen entry;
    entry.kind = kind;
    entry.peer = peer;
    entry.names = std::move(names);
    return entry;
}

std::vector<Seen> seen;
bool stop_after_callback = true;

std::vector<std::string> kinds_seen()
{
    std::vector<std::string> kinds;
    for (const Seen &entry : seen)
        kinds.push_back(entry.kind);
    return kinds;
}

// Each delivery as its kind and first name.
std::vector<std::string> order_seen()
{
    std::vector<std::string> order;
    for (const Seen &entry : seen)
        order.push_back(entry.kind + " " + entry.names[0]);
    return order;
}

void finish(Seen entry)
{
    entry.thread = pthread_self();
    seen.push_back(entry);
    if (stop_after_callback)
        vn_stop();
}

void on_request(int peer, int count, char **subjects, uint16_t flags)
{
    Seen entry = entry_of("request", peer);
    for (int i = 0; i < count; i++)
        entry.names.emplace_back(subjects[i]);
    entry.extra_slot = reinterpret_cast<uintptr_t>(subjects[count]);
    entry.flags = flags;
    finish(entry);
}

void on_discard(int peer, int count, char **subjects, uint16_t flags)
{
    Seen entry = entry_of("discard", peer);
    for (int i = 0; i < count; i++)
        entry.names.emplace_back(subjects[i]);
    entry.flags = flags;
    finish(entry);
}

void on_update(int peer, vn_data_t *data)
{
    Seen entry = entry_of("update", peer, {data->subject});
    finish(entry);
}

void on_nodata(int peer, char *subject, uint16_t flags)
{
    Seen entry = entry_of("nodata", peer, {subject});
    entry.flags = flags;
    finish(entry);
}

void on_peer_status(int peer, int status, int value, void *data)
{
    Seen entry = entry_of("peer", peer, {static_cast<const char *>(data)});
    entry.state = status;
    entry.flags = value;
    finish(entry);
}

void on_object_status(int peer, char *subject, int state, uint16_t code, char *message)
{
    Seen entry = entry_of("object", peer, {subject});
    entry.state = state;
    entry.flags = code;
    entry.null_message = message == nullptr;
    if (message != nullptr)
        entry.message = message;
    finish(entry);
}

void on_service_status(char *service, int state)
{
    Seen entry = entry_of("service", -1, {service});
    entry.state = state;
    finish(entry);
}

int stop_loop(int, int, void *)
{
    vn_stop();
    return 0;
}

// ---- A stream that keeps the hand-over busy ----

// Far more updates than the init thread delivers before it owes its loop a turn.
constexpr int kStreamBound = 500000;
constexpr int kStreamAhead = 64; // queued and not yet delivered, at most

std::atomic<int> streamed{0};         // updates the streaming thread has queued
std::atomic<int> stream_delivered{0}; // written on the init thread
std::atomic<bool> stream_over{false};
std::atomic<bool> timer_ran{false};

int note_timer(int, int, void *)
{
    timer_ran = true;
    return 0;
}

// The first delivery arms a timer due at once. Each returns only once the
// next update is queued, so that the hand-over never runs dry while the
// stream lasts: only a drain that goes back to its loop lets the timer run.
void on_streamed_update(int, vn_data_t *)
{
    int delivered = ++stream_delivered;
    if (delivered == 1)
        vn_add_timed_event(0, 0, note_timer, 0, nullptr);
    while (streamed.load() <= delivered && !stream_over.load())
        std::this_thread::yield();
}

class Callbacks : public ::testing::Test {
protected:
    void SetUp() override
    {
        // What an earlier test of this process saw or set is not this one's.
        seen.clear();
        stop_after_callback = true;
        streamed = 0;
        stream_delivered = 0;
        stream_over = false;
        timer_ran = false;
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_callbacks_config_init();
        _vn_map_config_init();
        _vn_map_add_pattern("/app/*", "/wire/*");
        _vn_event_init(&init_);
        ASSERT_EQ(_vn_event_thread_init(&init_, event_module(), 0), 1);
        init_thread_ = pthread_self();
        init_.recv_request = on_request;
        init_.recv_discard = on_discard;
        init_.recv_update = on_update;
        init_.recv_nodata = on_nodata;
        init_.recv_peer_status = on_peer_status;
        init_.recv_object_status = on_object_status;
        init_.recv_service_status = on_service_status;
    }

    // Runs `hand_in` on a thread of its own while the init thread's loop runs
    // until the callback stops it; tells whether the hand-in returned only
    // after the callback had run.
    bool deliver_from_other_thread(const std::function<void()> &hand_in)
    {
        std::atomic<bool> callback_ran_first{false};
        size_t before = seen.size();
        std::thread peer_thread([&] {
            hand_in();
            // The loop thread appended before the hand-in returned.
            callback_ran_first = seen.size() > before;
        });
        vn_timed_event_t *bound = vn_add_timed_event(0, kBoundSeconds, stop_loop, 0, nullptr);
        vn_loop();
        vn_del_timed_event(bound);
        peer_thread.join();
        return callback_ran_first;
    }

    // The loop's back-end, as a mask of event-module; 0 the default.
    virtual int event_module() const { return 0; }

    vn_init_t init_{};
    pthread_t init_thread_{};
};

// The same on each event back-end: each runs a pass's timers before its
// socket callbacks.
class CallbacksOnEachBackend : public Callbacks, public testing::WithParamInterface<const char *> {
protected:
    int event_module() const override
    {
        std::string name = GetParam();
        return name == "epoll" ? 1 : name == "poll" ? 4 : 8;
    }
};

INSTANTIATE_TEST_SUITE_P(Backends, CallbacksOnEachBackend, testing::Values("epoll", "poll", "select"),
                         [](const testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

vn_reqpkt_t request_of(std::vector<const char *> &subjects, uint16_t flags)
{
    vn_reqpkt_t request{};
    request.flags = flags;
    request.type = 0;
    request.count = static_cast<uint16_t>(subjects.size());
    request.subjects = const_cast<char **>(subjects.data());
    return request;
}

TEST_F(Callbacks, RequestReachesTheInitThreadWithMappedNamesAndTheFlagsSlot)
{
    _vn_callbacks_init(&init_);
    std::vector<const char *> subjects{"/wire/1", "/other/2", "/wire/3"};
    vn_reqpkt_t request = request_of(subjects, 6);
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_request(4, &request); }));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, "request");
    EXPECT_EQ(seen[0].peer, 4);
    EXPECT_EQ(seen[0].names, (std::vector<std::string>{"/app/1", "/other/2", "/app/3"}));
    EXPECT_EQ(seen[0].extra_slot, 6u);
    EXPECT_EQ(seen[0].flags, 6);
    EXPECT_TRUE(pthread_equal(seen[0].thread, init_thread_));
    // The packet itself is left as it came.
    EXPECT_STREQ(request.subjects[0], "/wire/1");
}

TEST_F(Callbacks, EmptyOneByteAndLongestSubjectsArriveWhole)
{
    _vn_map_add_pattern("*", "wire:*");
    _vn_callbacks_init(&init_);
    std::string longest = "wire:" + std::string(65530, 'z');
    std::vector<const char *> subjects{"", "x", longest.c_str(), "wire:"};
    vn_reqpkt_t request = request_of(subjects, 0);
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_request(0, &request); }));
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].names.size(), 4u);
    EXPECT_EQ(seen[0].names[0], "");
    EXPECT_EQ(seen[0].names[1], "x");
    // Mapped back into the bounded buffer: cut, never past it.
    EXPECT_EQ(seen[0].names[2], std::string(VN_MAP_BUFFER_BYTES - 1, 'z'));
    EXPECT_EQ(seen[0].names[3], "");
}

TEST_F(Callbacks, DiscardGetsItsSubjectsMappedBack)
{
    _vn_callbacks_init(&init_);
    std::vector<const char *> subjects{"/wire/x", "/wire/y"};
    vn_reqpkt_t request = request_of(subjects, 2);
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_discard(1, &request); }));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, "discard");
    EXPECT_EQ(seen[0].names, (std::vector<std::string>{"/app/x", "/app/y"}));
    EXPECT_EQ(seen[0].flags, 2);
}

TEST_F(Callbacks, UpdateAndNodataRecordsTakeTheApplicationSubject)
{
    _vn_callbacks_init(&init_);
    vn_data_t *update = vn_new_datapkt("/wire/u", 222, 0);
    vn_data_t *nodata = vn_new_datapkt("/plain", 0, VN_NODATA_READDENY);
    char *unmapped_subject = nodata->subject;
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_update(2, update); }));
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_nodata(3, nodata); }));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].names[0], "/app/u");
    EXPECT_STREQ(update->subject, "/app/u");
    EXPECT_EQ(seen[1].names[0], "/plain");
    EXPECT_EQ(seen[1].flags, VN_NODATA_READDENY);
    EXPECT_EQ(nodata->subject, unmapped_subject); // not replaced when nothing changes
    vn_free_datapkt(update);
    vn_free_datapkt(nodata);
}

TEST_F(Callbacks, StatusesPassTheirValuesThrough)
{
    _vn_callbacks_init(&init_);
    char remote_name[] = "src-0";
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_peer_status(0, 256, 17, remote_name); }));
    EXPECT_TRUE(
        deliver_from_other_thread([&] { _vn_callbacks_recv_object_status(5, "/wire/s", 2, 0x1101, "Mandatory source down"); }));
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_object_status(5, "/wire/t", 0, 4, nullptr); }));
    EXPECT_TRUE(deliver_from_other_thread([&] { _vn_callbacks_recv_service_status("quotes", 8, nullptr); }));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].state, 256);
    EXPECT_EQ(seen[0].flags, 17);
    EXPECT_EQ(seen[0].names[0], "src-0");
    EXPECT_EQ(seen[1].names[0], "/app/s");
    EXPECT_EQ(seen[1].state, 2);
    EXPECT_EQ(seen[1].flags, 0x1101);
    EXPECT_EQ(seen[1].message, "Mandatory source down");
    EXPECT_TRUE(seen[2].null_message);
    EXPECT_EQ(seen[3].names[0], "quotes");
    EXPECT_EQ(seen[3].state, 8);
}

// One thread's read pass hands over updates until the init thread's timer
// has run; the pass's end then waits for them, and a last delivery stops
// the loop.
TEST_P(CallbacksOnEachBackend, TheInitThreadsLoopRunsBetweenTheDrainsOfALongStream)
{
    streamed = stream_delivered = 0;
    stream_over = timer_ran = false;
    init_.recv_update = on_streamed_update;
    _vn_callbacks_init(&init_);
    int sent = 0;
    std::thread stream([&sent] {
        vn_data_t record{};
        _vn_callbacks_pass_begin();
        for (; sent < kStreamBound && !timer_ran.load(); sent++) {
            while (sent - stream_delivered.load() >= kStreamAhead)
                std::this_thread::yield();
            // The hand-over left a spent record's contents here.
            vn_free_datapkt_data(&record);
            record.subject = vn_strdup("/wire/stream");
            record.seq = static_cast<uint16_t>(sent);
            _vn_callbacks_lend(&record);
            _vn_callbacks_recv_update(0, &record);
            _vn_callbacks_lend(nullptr);
            streamed = sent + 1;
        }
        stream_over = true;
        _vn_callbacks_pass_end();
        vn_free_datapkt_data(&record);
        _vn_callbacks_recv_service_status("stream", 1, nullptr);
    });
    vn_loop();
    stream.join();
    EXPECT_TRUE(timer_ran.load());
    EXPECT_LT(sent, kStreamBound) << "the timer did not run before the stream ended";
    EXPECT_EQ(stream_delivered.load(), sent);
}

// A thread's read pass queues five updates and marks where it stood after
// the third; a report carrying that mark, delivered by the init thread
// before the loop has drained anything, comes after those three and before
// the other two.
TEST_F(Callbacks, AMarkedReportFollowsWhatItsThreadHadHandedOverThenAndNoMore)
{
    constexpr int kUpdates = 5;
    constexpr int kMarkedAfter = 3;
    stop_after_callback = false;
    _vn_callbacks_init(&init_);
    _vn_callbacks_mark_t mark{};
    std::atomic<bool> queued{false};
    std::atomic<bool> reported{false};
    std::thread pass([&] {
        vn_data_t record{};
        _vn_callbacks_pass_begin();
        for (int n = 1; n <= kUpdates; n++) {
            if (n == kMarkedAfter + 1)
                mark = _vn_callbacks_mark();
            vn_free_datapkt_data(&record);
            record.subject = vn_strdup(("/wire/" + std::to_string(n)).c_str());
            _vn_callbacks_lend(&record);
            _vn_callbacks_recv_update(0, &record);
            _vn_callbacks_lend(nullptr);
        }
        queued = true;
        // Kept open until the report has gone: the pass's end would wait
        // for everything it queued.
        while (!reported.load())
            std::this_thread::yield();
        _vn_callbacks_pass_end();
        vn_free_datapkt_data(&record);
    });
    while (!queued.load())
        std::this_thread::yield();
    _vn_callbacks_recv_service_status("quotes", 2, &mark);
    reported = true;
    EXPECT_TRUE(vntest::run_loop_until([] { return seen.size() == kUpdates + 1; }));
    pass.join();
    EXPECT_EQ(order_seen(), (std::vector<std::string>{"update /app/1", "update /app/2", "update /app/3", "service quotes",
                                               "update /app/4", "update /app/5"}));
}

// ---- The init thread's turns and the hand-over's bound ----

// Longer than the init thread may deliver before its loop gets a turn.
constexpr auto kSlowCallback = std::chrono::milliseconds(3);

// Keeps the calling thread busy, as a slow callback or screening would.
void busy_for(std::chrono::nanoseconds span)
{
    auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
    }
}
std::vector<std::string> turns; // init thread only

int note_turn(int, int, void *)
{
    turns.push_back("timer");
    return 0;
}

void on_slow_update(int, vn_data_t *data)
{
    if (turns.empty())
        vn_add_timed_event(0, 0, note_turn, 0, nullptr);
    turns.push_back(std::string("update ") + data->subject);
    // A callback that takes its time, as the application's may.
    busy_for(kSlowCallback);
}

int note_report(int, void *)
{
    turns.push_back("report");
    return 0;
}

// Queues `count` updates in one read pass, handed over together, and then,
// when asked, a report that owes them all.
void pass_of_updates(int count, bool report)
{
    vn_data_t record{};
    _vn_callbacks_pass_begin();
    for (int n = 1; n <= count; n++) {
        vn_free_datapkt_data(&record);
        record.subject = vn_strdup(std::to_string(n).c_str());
        _vn_callbacks_lend(&record);
        _vn_callbacks_recv_update(0, &record);
        _vn_callbacks_lend(nullptr);
    }
    if (report)
        _vn_callbacks_report(note_report, nullptr);
    _vn_callbacks_pass_end();
    vn_free_datapkt_data(&record);
}

// Updates handed over in one batch, each slower than the init thread's
// budget: the loop's timer runs after the first and before the second,
// whether the batch runs on its own or as what a report waits for.
TEST_F(Callbacks, TheLoopGetsItsTurnBetweenSlowDeliveriesOfOneBatchAndOfACatchUp)
{
    constexpr int kUpdates = 4;
    for (bool report : {false, true}) {
        SCOPED_TRACE(report ? "catch-up" : "batch");
        turns.clear();
        init_.recv_update = on_slow_update;
        _vn_callbacks_init(&init_);
        std::thread pass([report] { pass_of_updates(kUpdates, report); });
        size_t last = kUpdates + (report ? 2 : 1);
        EXPECT_TRUE(vntest::run_loop_until([last] { return turns.size() == last; }));
        pass.join();
        std::vector<std::string> expected{"update 1", "timer", "update 2", "update 3", "update 4"};
        if (report)
            expected.push_back("report");
        EXPECT_EQ(turns, expected);
    }
}

std::atomic<int> updates_delivered{0};

void on_counted_update(int, vn_data_t *)
{
    updates_delivered++;
}

// A thread that takes long to screen each next update (here: until the one
// before has been delivered) does not keep what it gathered: each update
// reaches the init thread while the next is still being screened, the
// first at once and the others once the gathering bound has passed.
TEST_F(Callbacks, AGatheredUpdateIsHandedOverWithoutWaitingForTheRestOfItsPass)
{
    constexpr int kUpdates = 3;
    constexpr double kWaitSeconds = 5; // a delivery that never comes fails here
    constexpr auto kSlowScreening = std::chrono::microseconds(100);
    stop_after_callback = false;
    init_.recv_update = on_counted_update;
    _vn_callbacks_init(&init_);
    std::atomic<int> waited_out{0};
    std::thread pass([&] {
        vn_data_t record{};
        _vn_callbacks_pass_begin();
        for (int n = 1; n <= kUpdates; n++) {
            busy_for(kSlowScreening);
            vn_free_datapkt_data(&record);
            record.subject = vn_strdup("/wire/slow");
            _vn_callbacks_lend(&record);
            _vn_callbacks_recv_update(0, &record);
            _vn_callbacks_lend(nullptr);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWaitSeconds);
            while (updates_delivered.load() < n && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            if (updates_delivered.load() < n)
                waited_out++;
        }
        _vn_callbacks_pass_end();
        vn_free_datapkt_data(&record);
    });
    EXPECT_TRUE(vntest::run_loop_until([] { return updates_delivered.load() == kUpdates; }));
    pass.join();
    EXPECT_EQ(waited_out.load(), 0) << "updates stayed with their thread until its pass ended";
}

// ---- The report line against deliveries made at once ----

int note_lined_report(int, void *)
{
    finish(entry_of("report", -1));
    return 0;
}

// A report waiting in the line, made on another thread or on the init thread
// itself, reaches the application before what the init thread then delivers
// at once: a service's report or the loss of its link.
TEST_F(Callbacks, ADeliveryTheInitThreadMakesAtOnceFollowsTheReportsLinedUpBeforeIt)
{
    struct Case {
        const char *name;
        bool reported_elsewhere;
        const char *then;
    };
    const Case cases[] = {
        {"a peer thread's report, then a service's", true, "service"},
        {"its own report, then a service's", false, "service"},
        {"its own report, then its link's loss", false, "peer"},
    };
    stop_after_callback = false;
    _vn_callbacks_init(&init_);
    char remote_name[] = "src-0";
    for (const Case &each : cases) {
        SCOPED_TRACE(each.name);
        seen.clear();
        if (each.reported_elsewhere)
            std::thread([] { EXPECT_EQ(_vn_callbacks_report(note_lined_report, nullptr), 1); }).join();
        else
            EXPECT_EQ(_vn_callbacks_report(note_lined_report, nullptr), 1);
        if (std::string(each.then) == "service")
            _vn_callbacks_recv_service_status("quotes", 1, nullptr);
        else
            _vn_callbacks_recv_peer_status(0, kPeerDown, 0, remote_name);
        EXPECT_TRUE(vntest::run_loop_until([] { return seen.size() == 2; }));
        EXPECT_EQ(kinds_seen(), (std::vector<std::string>{"report", each.then}));
    }
}

std::atomic<bool> second_published{false};
_vn_callbacks_mark_t between_updates{}; // written before second_published
std::atomic<int> updates_running{0};
std::atomic<int> updates_overlapping{0};

// The first update's callback delivers, at once, a service's report that
// carries its thread's mark between the two updates.
void on_update_reporting_between(int peer, vn_data_t *data)
{
    if (updates_running.fetch_add(1) != 0)
        updates_overlapping++;
    finish(entry_of("update", peer, {data->subject}));
    if (std::string(data->subject) == "/plain/1") {
        while (!second_published.load())
            std::this_thread::yield();
        _vn_callbacks_recv_service_status("quotes", 1, &between_updates);
    }
    updates_running.fetch_sub(1);
}

// A thread hands over u1, marks, and hands over u2. A report carrying that
// mark, delivered at once inside u1's callback, owes only u1, which is
// running: it comes before u2, and u2 does not start inside u1's callback.
TEST_F(Callbacks, AReportDeliveredInsideItsMarksLastUpdateNeitherRunsTheNextNorWaits)
{
    stop_after_callback = false;
    init_.recv_update = on_update_reporting_between;
    _vn_callbacks_init(&init_);
    std::thread pass([] {
        vn_data_t record{};
        _vn_callbacks_pass_begin();
        for (int n = 1; n <= 2; n++) {
            vn_free_datapkt_data(&record);
            record.subject = vn_strdup(("/plain/" + std::to_string(n)).c_str());
            _vn_callbacks_lend(&record);
            _vn_callbacks_recv_update(0, &record);
            _vn_callbacks_lend(nullptr);
            if (n == 1)
                between_updates = _vn_callbacks_mark();
        }
        // A mark publishes what its thread gathered: u2 can be reached.
        _vn_callbacks_mark();
        second_published = true;
        _vn_callbacks_pass_end();
        vn_free_datapkt_data(&record);
    });
    EXPECT_TRUE(vntest::run_loop_until([] { return seen.size() == 3; }));
    pass.join();
    EXPECT_EQ(order_seen(), (std::vector<std::string>{"update /plain/1", "service quotes", "update /plain/2"}));
    EXPECT_EQ(updates_overlapping.load(), 0);
}

// ---- A thread beyond the slots ----

constexpr int kHandoffSlots = 256;

std::vector<std::string> beyond_order; // init thread only
std::atomic<int> holder_reports{0};
tarvelutil_signalany_t *beyond_channel;
std::latch *beyond_go;
std::atomic<bool> send_seen{true};

int note_holder_report(int, void *)
{
    holder_reports++;
    return 0;
}

int note_beyond(int, void *record)
{
    beyond_order.emplace_back(static_cast<const char *>(record));
    return 0;
}

// Lets the thread beyond the slots report and send, holds on until its send
// is queued in the channel, and runs past the init thread's budget, so that
// the drain posts itself behind that send.
void deliver_update_past_budget(int, vn_data_t *, uint64_t)
{
    beyond_order.emplace_back("update");
    beyond_go->count_down();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kBoundSeconds);
    while (tarvelutil_queue_count(beyond_channel->queue) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    send_seen = tarvelutil_queue_count(beyond_channel->queue) > 0;
    busy_for(kSlowCallback);
}

// Every slot is held (the last by a thread in a read pass), so the next
// thread's report goes into the line with no placeholder and its synchronous
// delivery through the channel's send. The report still comes first.
TEST_F(Callbacks, AThreadBeyondTheSlotsKeepsItsReportAheadOfItsNextDelivery)
{
    beyond_channel = tarvelutil_signalany_create(nullptr);
    ASSERT_NE(beyond_channel, nullptr);
    _vn_callbacks_handoff_init(beyond_channel);
    std::latch release(1);
    std::latch go(1);
    beyond_go = &go;
    std::atomic<int> holding{0};
    std::vector<std::thread> holders;
    for (int i = 0; i < kHandoffSlots - 1; i++) {
        holders.emplace_back([&] {
            _vn_callbacks_report(note_holder_report, nullptr);
            if (_vn_callbacks_mark().slot != nullptr)
                holding++;
            release.wait();
        });
    }
    ASSERT_TRUE(vntest::run_loop_until([&] { return holder_reports.load() == kHandoffSlots - 1; }));
    std::atomic<bool> pass_has_slot{false};
    std::thread pass([&] {
        vn_data_t record{};
        _vn_callbacks_pass_begin();
        record.subject = vn_strdup("/plain/last");
        _vn_callbacks_lend(&record);
        EXPECT_EQ(_vn_callbacks_handoff_update(0, &record, deliver_update_past_budget), 1);
        _vn_callbacks_lend(nullptr);
        pass_has_slot = _vn_callbacks_mark().slot != nullptr;
        _vn_callbacks_pass_end();
        vn_free_datapkt_data(&record);
    });
    std::atomic<bool> beyond_has_slot{true};
    std::thread beyond([&] {
        go.wait();
        _vn_callbacks_report(note_beyond, const_cast<char *>("report"));
        beyond_has_slot = _vn_callbacks_mark().slot != nullptr;
        _vn_callbacks_handoff(note_beyond, const_cast<char *>("sync"));
    });
    EXPECT_TRUE(vntest::run_loop_until([] { return beyond_order.size() == 3; }));
    beyond.join();
    pass.join();
    release.count_down();
    for (std::thread &holder : holders)
        holder.join();
    EXPECT_EQ(holding.load(), kHandoffSlots - 1);
    EXPECT_TRUE(pass_has_slot.load());
    EXPECT_FALSE(beyond_has_slot.load());
    EXPECT_TRUE(send_seen.load());
    EXPECT_EQ(beyond_order, (std::vector<std::string>{"update", "report", "sync"}));
}

// ---- The hand-over's rules over random interleavings ----
//
// Threads run seeded sequences of read passes, updates, state reports,
// synchronous deliveries and waited-for service reports, with pauses of their
// own, while the init thread's callbacks now and then take longer than its
// budget and its own timer makes reports too. Whatever the interleaving, the
// application must get each thread's deliveries in the order the thread made
// them, every report in the order reports were made, each exactly once.
// VANTRIX_HANDOFF_RANDOM_SECONDS runs it longer, VANTRIX_HANDOFF_RANDOM_SEED
// replays one seed.

enum class Op { kBegin, kEnd, kUpdate, kReport, kSync, kService, kPause };

struct Made {
    int thread;
    int index;  // in its thread's sequence; -1 for the init thread's reports
    int report; // in the order reports were made, else -1
};

std::mutex made_mutex; // orders reports as a tracker's hold does
int reports_made = 0;
std::vector<Made> got; // init thread only
std::atomic<int> callbacks_running{0};
std::atomic<int> overlaps{0};

void note_got(const Made &made)
{
    if (callbacks_running.fetch_add(1) != 0)
        overlaps++;
    got.push_back(made);
    callbacks_running.fetch_sub(1);
}

int deliver_made(int, void *record)
{
    note_got(*static_cast<Made *>(record));
    return 0;
}

int deliver_owned_made(int, void *record)
{
    deliver_made(0, record);
    delete static_cast<Made *>(record);
    return 0;
}

std::atomic<bool> slow_now{false};

void on_random_update(int peer, vn_data_t *data)
{
    note_got({peer, data->seq, -1});
    if (slow_now.exchange(false))
        busy_for(kSlowCallback);
}

void report_made(int thread, int index)
{
    std::lock_guard<std::mutex> hold(made_mutex);
    Made *made = new Made{thread, index, reports_made++};
    if (_vn_callbacks_report(deliver_owned_made, made) == 0)
        deliver_owned_made(0, made);
}

// Made outside the mutex, as a service's deliverer waits only once the
// service's lock is released: its place is checked against its own thread's
// deliveries only.
void service_made(int thread, int index)
{
    Made made{thread, index, -1};
    _vn_callbacks_report_and_wait(deliver_made, &made, nullptr);
}

std::vector<Op> random_ops(std::mt19937 &random, int count)
{
    std::vector<Op> ops;
    bool in_pass = false;
    for (int i = 0; i < count; i++) {
        int roll = static_cast<int>(random() % 100);
        if (roll < 8)
            ops.push_back(in_pass ? Op::kEnd : Op::kBegin), in_pass = !in_pass;
        else if (roll < 60 && in_pass)
            ops.push_back(Op::kUpdate);
        else if (roll < 75)
            ops.push_back(Op::kReport);
        else if (roll < 82)
            ops.push_back(Op::kSync);
        else if (roll < 86)
            ops.push_back(Op::kService);
        else
            ops.push_back(Op::kPause);
    }
    if (in_pass)
        ops.push_back(Op::kEnd);
    return ops;
}

void run_ops(int thread, const std::vector<Op> &ops, uint32_t seed)
{
    std::mt19937 random(seed);
    vn_data_t record{};
    for (int index = 0; index < static_cast<int>(ops.size()); index++) {
        switch (ops[index]) {
        case Op::kBegin:
            _vn_callbacks_pass_begin();
            break;
        case Op::kEnd:
            _vn_callbacks_pass_end();
            break;
        case Op::kUpdate:
            vn_free_datapkt_data(&record);
            record.subject = vn_strdup("/plain/random");
            record.seq = static_cast<uint16_t>(index);
            _vn_callbacks_lend(&record);
            _vn_callbacks_recv_update(thread, &record);
            _vn_callbacks_lend(nullptr);
            break;
        case Op::kReport:
            report_made(thread, index);
            break;
        case Op::kSync: {
            Made made{thread, index, -1};
            _vn_callbacks_handoff(deliver_made, &made);
            break;
        }
        case Op::kService:
            service_made(thread, index);
            break;
        case Op::kPause:
            busy_for(std::chrono::microseconds(random() % 40));
            break;
        }
    }
    vn_free_datapkt_data(&record);
}

// What the application got, against the rules; empty when they held.
std::string broken_rule(const std::vector<std::vector<Op>> &ops)
{
    std::vector<int> next(ops.size(), 0);
    int next_report = 0;
    for (const Made &made : got) {
        if (made.index >= 0) {
            // Each thread's deliveries in its own order, none lost between.
            const std::vector<Op> &mine = ops[static_cast<size_t>(made.thread)];
            while (next[made.thread] < made.index && (mine[next[made.thread]] == Op::kBegin ||
                                                      mine[next[made.thread]] == Op::kEnd ||
                                                      mine[next[made.thread]] == Op::kPause))
                next[made.thread]++;
            if (made.index != next[made.thread])
                return "thread " + std::to_string(made.thread) + ": got " + std::to_string(made.index) +
                       " where " + std::to_string(next[made.thread]) + " was due";
            next[made.thread]++;
        }
        if (made.report < 0)
            continue;
        if (made.report < next_report)
            return "report " + std::to_string(made.report) + " after report " + std::to_string(next_report - 1);
        next_report = made.report + 1;
    }
    return "";
}

int init_thread_report(int, int, void *)
{
    report_made(-1, -1);
    slow_now = true;
    return 1;
}

// A number from the environment; `otherwise` when unset or not a number.
// Seeds are printed as unsigned 32-bit values and must replay as such.
unsigned long env_number(const char *name, unsigned long otherwise)
{
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return otherwise;
    char *end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' ? value : otherwise;
}

TEST_F(Callbacks, RandomInterleavingsKeepEachThreadsOrderAndTheReportOrder)
{
    constexpr int kThreads = 3;
    constexpr int kOpsPerThread = 300;
    stop_after_callback = false;
    init_.recv_update = on_random_update;
    _vn_callbacks_init(&init_);
    vn_add_timed_event(0, 0.001, init_thread_report, 0, nullptr);
    auto seconds = static_cast<long>(env_number("VANTRIX_HANDOFF_RANDOM_SECONDS", 2));
    bool replay = std::getenv("VANTRIX_HANDOFF_RANDOM_SEED") != nullptr;
    auto seed = static_cast<uint32_t>(env_number("VANTRIX_HANDOFF_RANDOM_SEED", std::random_device{}()));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int rounds = 0;
    do {
        std::mt19937 random(seed);
        std::vector<std::vector<Op>> ops;
        for (int t = 0; t < kThreads; t++)
            ops.push_back(random_ops(random, kOpsPerThread));
        got.clear();
        size_t expected = 0;
        for (const std::vector<Op> &mine : ops)
            for (Op op : mine)
                expected += op == Op::kUpdate || op == Op::kReport || op == Op::kSync || op == Op::kService;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back(run_ops, t, std::cref(ops[static_cast<size_t>(t)]), seed + static_cast<uint32_t>(t));
        // A thread's sequence ends once its last delivery has run, but
        // reports it left behind need not have.
        auto from_threads = [] {
            return std::count_if(got.begin(), got.end(), [](const Made &made) { return made.index >= 0; });
        };
        bool all = vntest::run_loop_until([&] { return static_cast<size_t>(from_threads()) == expected; });
        for (std::thread &thread : threads)
            thread.join();
        ASSERT_TRUE(all) << "seed " << seed << ": " << from_threads() << " of " << expected << " arrived";
        std::string broken = broken_rule(ops);
        ASSERT_EQ(broken, "") << "seed " << seed;
        ASSERT_EQ(overlaps.load(), 0) << "seed " << seed;
        seed++;
        rounds++;
    } while (!replay && std::chrono::steady_clock::now() < until);
    RecordProperty("rounds", rounds);
}

TEST_F(Callbacks, OnTheInitThreadDeliveryRunsAtOnce)
{
    _vn_callbacks_init(&init_);
    stop_after_callback = false;
    _vn_callbacks_recv_service_status("quotes", 1, nullptr);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(pthread_equal(seen[0].thread, init_thread_));
}

TEST_F(Callbacks, ThreadedCallbacksRunOnTheCallingThread)
{
    vn_config_set_option("enable-threaded-callbacks", nullptr);
    _vn_callbacks_init(&init_);
    stop_after_callback = false;
    std::vector<const char *> subjects{"/wire/1"};
    vn_reqpkt_t request = request_of(subjects, 0);
    pthread_t caller{};
    std::thread peer_thread([&] {
        caller = pthread_self();
        _vn_callbacks_recv_request(0, &request);
    });
    peer_thread.join();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(pthread_equal(seen[0].thread, caller));
    EXPECT_EQ(seen[0].names[0], "/app/1");
}

TEST_F(Callbacks, MissingCallbacksDropTheirEventsWithoutWaiting)
{
    init_ = vn_init_t{};
    _vn_callbacks_init(&init_);
    std::vector<const char *> subjects{"/wire/1"};
    vn_reqpkt_t request = request_of(subjects, 0);
    vn_data_t *update = vn_new_datapkt("/wire/u", 222, 0);
    // No loop runs: a delivery that waited for the init thread would hang here.
    std::thread peer_thread([&] {
        _vn_callbacks_recv_request(0, &request);
        _vn_callbacks_recv_discard(0, &request);
        _vn_callbacks_recv_update(0, update);
        _vn_callbacks_recv_nodata(0, update);
        _vn_callbacks_recv_peer_status(0, 512, 0, nullptr);
        _vn_callbacks_recv_object_status(0, "/wire/u", 1, 0, nullptr);
        _vn_callbacks_recv_service_status("s", 1, nullptr);
    });
    peer_thread.join();
    EXPECT_TRUE(seen.empty());
    EXPECT_STREQ(update->subject, "/wire/u");
    vn_free_datapkt(update);
}

} // namespace
