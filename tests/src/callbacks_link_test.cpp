// Default callback delivery over real loopback links: this process is the
// subscriber, started from its configuration with vn_init, its callbacks on
// this (the init) thread; test-side feeds on threads of their own answer its
// requests with bursts of hand-built update frames, many to one read. A seam
// in the peer layer's hand-off table counts the updates each peer thread has
// begun to screen, so that a callback can wait until its peer thread has
// moved on. Every case needs a process of its own (as CTest runs them).
#include "data_services.h"
#include "peer_harness.h"
#include "vantrix_private.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace vntest;

namespace {

constexpr int kSubscriberId = 100;
constexpr int kMaxFeeds = 2;
constexpr double kIdleSeconds = 1.5;
constexpr double kIdleCpuLimit = 0.5; // a core spinning through the idle time would use about all of it
constexpr int kPeerUp = 256;

std::string update_frame(uint16_t seq, const std::string &subject, const std::string &value)
{
    return frame(VN_DATAUPDATE,
                 Bytes().u16(seq).u16(0).u16(222).text(subject).u16(1).u32(1).text(value).data);
}

std::string status_frame(uint16_t seq, const std::string &subject, uint16_t flags)
{
    return frame(VN_STATUS, Bytes().u16(seq).u16(flags).u16(0).text(subject).text("").data);
}

// ---- The seam: updates each peer thread has begun to screen ----

std::array<std::atomic<int>, kMaxFeeds> screened{};
void (*screen_update)(int, vn_datapkt_t *);

void counting_screen(int peer, vn_datapkt_t *pkt)
{
    if (peer >= 0 && peer < kMaxFeeds)
        screened[peer]++;
    screen_update(peer, pkt);
}

// Polls without sleeping; false at the deadline.
bool wait_screened(int peer, int count)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWireDeadline);
    while (screened[peer].load() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// ---- What the application saw, written on the init thread only ----

struct Delivery {
    int peer;
    std::string subject;
    std::string value;
    uint16_t seq;
};

// A state report and how many updates the application had by then.
struct Report {
    std::string subject;
    std::string message;
    size_t after_updates;
};

struct Seen {
    std::vector<Delivery> updates;
    std::vector<Report> reports;
    // Every callback in the order the application got them.
    std::vector<std::string> events;
    int overlapping = 0;   // callbacks entered while another ran
    int off_init = 0;      // callbacks on another thread
    int changed = 0;       // records that changed during their callback
    std::array<int, kMaxFeeds> up_reports{};
    std::atomic<int> running{0};
    pthread_t init_thread{};
    // Runs inside the callback for one delivery, before its record is read again.
    std::function<void(const Delivery &)> during;
    // Runs inside the callback for a state report, with the reports so far.
    std::function<void(size_t)> on_report;
};
Seen *seen;

void on_update(int peer, vn_data_t *data)
{
    if (seen->running.fetch_add(1) != 0)
        seen->overlapping++;
    if (!pthread_equal(pthread_self(), seen->init_thread))
        seen->off_init++;
    Delivery entry{peer, data->subject, data->count == 1 ? data->fields[0].value : "", data->seq};
    if (seen->during)
        seen->during(entry);
    bool same = entry.subject == data->subject && data->count == 1 && entry.value == data->fields[0].value &&
                entry.seq == data->seq;
    if (!same)
        seen->changed++;
    seen->updates.push_back(entry);
    seen->events.push_back("update " + std::to_string(entry.seq));
    seen->running.fetch_sub(1);
}

void on_object_status(int, char *subject, int, uint16_t, char *message)
{
    seen->reports.push_back({subject, message != nullptr ? message : "", seen->updates.size()});
    seen->events.push_back("object " + seen->reports.back().message);
    if (seen->on_report)
        seen->on_report(seen->reports.size());
}

void on_peer_status(int peer, int status, int, void *)
{
    if (status == kPeerUp && peer >= 0 && peer < kMaxFeeds)
        seen->up_reports[peer]++;
    seen->events.push_back("peer " + std::to_string(status));
}

void on_service_status(char *, int state)
{
    seen->events.push_back("service " + std::to_string(state));
}

// One test-side source: it accepts the subscriber's link, answers its
// PEERINFO, waits until every subject of its own was requested and then
// sends its bursts, each in one write; it may close the link after them.
class Feed {
public:
    Feed(int id, std::vector<std::string> subjects) : id_(id), subjects_(std::move(subjects)) {}
    ~Feed()
    {
        if (thread_.joinable())
            thread_.join();
    }

    int port() const { return listener_.port(); }

    void start(std::vector<std::string> bursts, bool close_after = false)
    {
        thread_ = std::thread([this, bursts = std::move(bursts), close_after] {
            socket_ = listener_.accept();
            WireFrame info;
            if (!socket_.valid() || !socket_.read_frame(&info))
                return;
            socket_.send(frame(VN_PEERINFO, info_payload(0, 1, static_cast<uint16_t>(id_), "feed")));
            if (!await_requests())
                return;
            for (const std::string &burst : bursts)
                socket_.send(burst);
            if (close_after)
                socket_ = WireSocket();
        });
    }

    // The feed has sent everything; its link stays open.
    void join() { thread_.join(); }

private:
    bool await_requests()
    {
        size_t asked = 0;
        while (asked < subjects_.size()) {
            WireFrame request;
            if (!socket_.read_frame_of(VN_SUBJREQ, &request) || request.payload.size() < 6)
                return false;
            asked += static_cast<unsigned char>(request.payload[4]) << 8 | static_cast<unsigned char>(request.payload[5]);
        }
        return true;
    }

    int id_;
    std::vector<std::string> subjects_;
    WireListener listener_;
    WireSocket socket_;
    std::thread thread_;
};

class CallbacksLink : public testing::Test {
protected:
    void SetUp() override
    {
        seen_ = std::make_unique<Seen>();
        seen = seen_.get();
        seen->init_thread = pthread_self();
        screen_update = _vn_peer_handoff.recv_update;
        _vn_peer_handoff.recv_update = counting_screen;
    }

    // Starts this process's runtime with one peer per feed, feed i the only
    // source of a service of every subject under /f<i>/; `options` are
    // further configuration lines.
    void start_subscriber(const std::vector<Feed *> &feeds, const std::string &options = "")
    {
        std::string conf = "application-name subscriber\nvantrix-id " + std::to_string(kSubscriberId) +
                           "\nvantrix-pkt-log " + root_.file("var/packets.log") + "\n" + options;
        for (size_t i = 0; i < feeds.size(); i++) {
            std::string label = "feed" + std::to_string(i);
            conf += "add-peer\nlabel " + label + "\naddr 127.0.0.1\nport " + std::to_string(feeds[i]->port()) +
                    "\nend-peer\nadd-data-service\nservice-name " + label + "\ninclude-pattern ^/f" +
                    std::to_string(i) + "/\nadd-source-group\nrequired\nadd-priority\nlabel " + label +
                    "\nend-priority\nend-source-group\nend-data-service\n";
        }
        root_.write("var/.keep", "");
        root_.write("subscriber.conf", conf);
        args_ = {"callbacks_link_test", "--application-root", root_.path()};
        for (std::string &arg : args_)
            argv_.push_back(arg.data());
        // The runtime keeps the record for the life of the process.
        static vn_init_t init;
        init.recv_update = on_update;
        init.recv_object_status = on_object_status;
        init.recv_peer_status = on_peer_status;
        init.recv_service_status = on_service_status;
        vn_config_init("subscriber.conf", static_cast<int>(argv_.size()), argv_.data());
        ASSERT_GE(vn_init(&init, static_cast<int>(argv_.size()), argv_.data()), 0);
    }

    // Runs the loop until every link is up, each feed having answered, and
    // its up report has reached the application. A link is up before its
    // peer thread has handed that report over, and the thread waits for it:
    // a test that then holds the init thread would hold that peer thread too.
    void await_links(int count)
    {
        ASSERT_TRUE(run_loop_until([&] {
            for (int i = 0; i < count; i++)
                if (vn_peer_up(i) == 0 || seen->up_reports[i] == 0)
                    return false;
            return true;
        }));
    }

    std::vector<const Delivery *> updates_of(const std::string &subject) const
    {
        std::vector<const Delivery *> found;
        for (const Delivery &entry : seen->updates)
            if (entry.subject == subject)
                found.push_back(&entry);
        return found;
    }

    TempRoot root_;
    std::unique_ptr<Seen> seen_;
    std::vector<std::string> args_;
    std::vector<char *> argv_;
};

// `count` updates of one subject, values "<tag>:<n>", sequence numbers n.
std::string burst(const std::string &subject, const std::string &tag, int first, int count)
{
    std::string bytes;
    for (int n = first; n < first + count; n++)
        bytes += update_frame(static_cast<uint16_t>(n), subject, tag + ":" + std::to_string(n));
    return bytes;
}

} // namespace

TEST_F(CallbacksLink, BurstsOfTwoLinksArriveInOrderOneAtATimeWithTheirRecordsIntact)
{
    constexpr int kHead = 10;
    constexpr int kUpdates = 4000;
    Feed first(1, {"/f0/one"});
    Feed second(2, {"/f1/two"});
    ASSERT_NO_FATAL_FAILURE(start_subscriber({&first, &second}));
    // The first callback waits until its peer thread has screened the rest
    // of the head, which came in the same read: the record it holds must
    // not change meanwhile.
    bool moved_on = true;
    seen->during = [&](const Delivery &entry) {
        if (entry.subject == "/f0/one" && entry.seq == 1)
            moved_on = wait_screened(0, kHead);
    };
    first.start({burst("/f0/one", "one", 1, kHead), burst("/f0/one", "one", kHead + 1, kUpdates - kHead)});
    second.start({burst("/f1/two", "two", 1, kUpdates)});
    ASSERT_NO_FATAL_FAILURE(await_links(2));
    const char *subjects[] = {"/f0/one", "/f1/two"};
    vn_request_objects(2, const_cast<char **>(subjects), nullptr);
    ASSERT_TRUE(run_loop_until([&] { return seen->updates.size() >= 2 * kUpdates; }));
    first.join();
    second.join();

    EXPECT_TRUE(moved_on) << "the peer thread did not go on through its read while the callback ran";
    EXPECT_EQ(seen->changed, 0);
    EXPECT_EQ(seen->overlapping, 0);
    EXPECT_EQ(seen->off_init, 0);
    ASSERT_EQ(seen->updates.size(), 2u * kUpdates);
    for (const auto &[subject, tag] : std::map<std::string, std::string>{{"/f0/one", "one"}, {"/f1/two", "two"}}) {
        std::vector<const Delivery *> updates = updates_of(subject);
        ASSERT_EQ(updates.size(), static_cast<size_t>(kUpdates)) << tag;
        for (int n = 1; n <= kUpdates; n++) {
            ASSERT_EQ(updates[n - 1]->value, tag + ":" + std::to_string(n)) << tag;
            ASSERT_EQ(updates[n - 1]->seq, n) << tag;
        }
    }
}

// Every subject of one burst becomes fresh with its first update: its report
// of that follows the update, as it would were each update delivered before
// its thread went on. The init thread is held until its peer thread has
// screened the whole burst, one read, so that every update and report waits
// for it at once.
TEST_F(CallbacksLink, NoStateReportOvertakesTheUpdateThatMadeItsSubjectFresh)
{
    constexpr int kSubjects = 400;
    std::vector<std::string> subjects;
    std::string images;
    for (int n = 0; n < kSubjects; n++) {
        subjects.push_back("/f0/s" + std::to_string(n));
        images += update_frame(1, subjects.back(), "image");
    }
    Feed feed(1, subjects);
    ASSERT_NO_FATAL_FAILURE(start_subscriber({&feed}));
    feed.start({images});
    ASSERT_NO_FATAL_FAILURE(await_links(1));
    std::vector<char *> names;
    for (std::string &subject : subjects)
        names.push_back(subject.data());
    vn_request_objects(kSubjects, names.data(), nullptr);
    EXPECT_TRUE(wait_screened(0, kSubjects));
    auto providing = [] {
        std::map<std::string, size_t> first;
        for (const Report &report : seen->reports)
            if (report.message == "All peers providing")
                first.emplace(report.subject, report.after_updates);
        return first;
    };
    ASSERT_TRUE(run_loop_until([&] {
        return seen->updates.size() >= kSubjects && providing().size() >= kSubjects;
    }));
    feed.join();

    std::map<std::string, size_t> reported = providing();
    int overtaken = 0;
    for (const std::string &subject : subjects) {
        size_t update_at = 0;
        while (update_at < seen->updates.size() && seen->updates[update_at].subject != subject)
            update_at++;
        ASSERT_LT(update_at, seen->updates.size()) << subject;
        if (reported.at(subject) <= update_at)
            overtaken++;
    }
    EXPECT_EQ(overtaken, 0) << "of " << kSubjects << " reports reached the application before their update";
}

// A source sends updates, marks its subject stale, sends more and closes the
// link, all in one write. The init thread is held in the first update until
// the peer thread has screened every update, so that the stale report, the
// updates after it and the loss of the link all wait for the init thread at
// once: the application must get them in the order they happened.
TEST_F(CallbacksLink, AStateReportKeepsItsPlaceAmongTheUpdatesAndReportsOfItsThread)
{
    constexpr int kBefore = 300;
    constexpr int kAfter = 200;
    Feed feed(1, {"/f0/x"});
    ASSERT_NO_FATAL_FAILURE(start_subscriber({&feed}));
    bool held = true;
    seen->during = [&](const Delivery &entry) {
        if (entry.seq == 1)
            held = wait_screened(0, kBefore + kAfter);
    };
    feed.start({burst("/f0/x", "x", 1, kBefore) + status_frame(1, "/f0/x", kStatusStale) +
                burst("/f0/x", "x", kBefore + 1, kAfter)},
               true);
    ASSERT_NO_FATAL_FAILURE(await_links(1));
    seen->events.clear();
    vn_request_object("/f0/x");
    ASSERT_TRUE(run_loop_until([&] { return vn_peer_up(0) == 0 && seen->updates.size() >= kBefore + kAfter; }));
    feed.join();
    // What the loss of the link brings is delivered before the link is seen down.
    ASSERT_TRUE(run_loop_until([&] { return seen->events.size() >= kBefore + kAfter + 4; }));

    EXPECT_TRUE(held);
    std::vector<std::string> expected{"update 1", "object All peers providing"};
    for (int n = 2; n <= kBefore + kAfter; n++) {
        expected.push_back("update " + std::to_string(n));
        if (n == kBefore)
            expected.push_back("object Mandatory source down");
        if (n == kBefore + 1) // fresh again
            expected.push_back("object All peers providing");
    }
    // Then the loss of the link: the service's report and the subject's
    // before the peer's own.
    expected.push_back("service " + std::to_string(kServiceDown));
    expected.push_back("object Mandatory source down");
    expected.push_back("peer 512");
    auto first_difference = std::mismatch(expected.begin(), expected.end(), seen->events.begin(), seen->events.end());
    size_t at = static_cast<size_t>(first_difference.first - expected.begin());
    std::string around;
    for (size_t i = at >= 2 ? at - 2 : 0; i < std::min(at + 5, seen->events.size()); i++)
        around += "[" + seen->events[i] + "] ";
    EXPECT_EQ(at, expected.size()) << "the application got " << around << "where it expected ["
                                   << (at < expected.size() ? expected[at] : "nothing more") << "]";
}

// ---- A second seam: object statuses the peer thread has handed in ----

std::atomic<int> statuses_handed_in{0};
void (*hand_in_status)(int, char *, uint16_t, uint16_t, char *);

void counting_status(int peer, char *name, uint16_t flags, uint16_t code, char *message)
{
    hand_in_status(peer, name, flags, code, message);
    statuses_handed_in++;
}

// A source flips its subject between stale and fresh in one long stream, so
// that every status makes a state report. Until the init thread's timer has
// run, each report returns only once the next one has been made: only a
// report run that goes back to its loop lets the timer run before the
// stream's last report. On each event back-end.
class CallbacksReportStream : public CallbacksLink, public testing::WithParamInterface<const char *> {};

TEST_P(CallbacksReportStream, TheInitThreadsLoopRunsWhileStateReportsKeepComing)
{
    constexpr int kFlips = 50000;
    hand_in_status = _vn_peer_handoff.recv_object_status;
    _vn_peer_handoff.recv_object_status = counting_status;
    Feed feed(1, {"/f0/flip"});
    ASSERT_NO_FATAL_FAILURE(start_subscriber({&feed}, std::string("event-module ") + GetParam() + "\n"));
    std::string stream = update_frame(1, "/f0/flip", "image");
    for (int n = 1; n <= kFlips; n++)
        stream += status_frame(static_cast<uint16_t>(n), "/f0/flip", n % 2 != 0 ? kStatusStale : kStatusFresh);
    static bool timer_ran;
    static size_t reports_when_timer_ran;
    timer_ran = false;
    reports_when_timer_ran = 0;
    bool kept_coming = true;
    seen->on_report = [&](size_t reports) {
        if (reports == 1) {
            vn_add_timed_event(
                0, 0,
                [](int, int, void *) {
                    timer_ran = true;
                    reports_when_timer_ran = seen->reports.size();
                    return 0;
                },
                0, nullptr);
        }
        // The first report comes from the update, report n + 1 from status n.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWireDeadline);
        while (!timer_ran && statuses_handed_in.load() < static_cast<int>(std::min<size_t>(reports, kFlips))) {
            if (std::chrono::steady_clock::now() > deadline) {
                kept_coming = false;
                return;
            }
            std::this_thread::yield();
        }
    };
    feed.start({stream});
    ASSERT_NO_FATAL_FAILURE(await_links(1));
    vn_request_object("/f0/flip");
    ASSERT_TRUE(run_loop_until([&] { return seen->reports.size() >= kFlips + 1u; }));
    feed.join();

    EXPECT_TRUE(kept_coming);
    EXPECT_TRUE(timer_ran);
    EXPECT_LT(reports_when_timer_ran, kFlips + 1u) << "the timer did not run before the last report";
    EXPECT_EQ(seen->reports.size(), kFlips + 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, CallbacksReportStream, testing::Values("epoll", "poll", "select"),
                         [](const testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

// An update the peer thread screened before the application dropped its
// subject, but whose turn comes after, is not delivered; the other subject
// of the same reads goes on.
class CallbacksDrop : public CallbacksLink, public testing::WithParamInterface<const char *> {};

TEST_P(CallbacksDrop, NoUpdateOfADroppedSubjectFollowsTheCallbackThatDroppedIt)
{
    constexpr int kHeadPairs = 20;
    constexpr int kPairs = 300;
    constexpr int kDropAt = 5;
    Feed feed(1, {"/f0/A", "/f0/B"});
    ASSERT_NO_FATAL_FAILURE(start_subscriber({&feed}));
    std::string head, rest;
    for (int n = 1; n <= kPairs; n++) {
        std::string pair = update_frame(static_cast<uint16_t>(n), "/f0/A", "A:" + std::to_string(n)) +
                           update_frame(static_cast<uint16_t>(n), "/f0/B", "B:" + std::to_string(n));
        (n <= kHeadPairs ? head : rest) += pair;
    }
    bool overtaken = true;
    std::string drop = GetParam();
    seen->during = [&](const Delivery &entry) {
        if (entry.subject != "/f0/A" || entry.seq != kDropAt)
            return;
        // Both updates of the next few pairs are screened, A still tracked.
        overtaken = wait_screened(0, 2 * (kDropAt + 3));
        if (drop == "discard")
            vn_discard_object("/f0/A");
        else
            vn_purge_object("/f0/A");
    };
    feed.start({head, rest});
    ASSERT_NO_FATAL_FAILURE(await_links(1));
    const char *subjects[] = {"/f0/A", "/f0/B"};
    vn_request_objects(2, const_cast<char **>(subjects), nullptr);
    ASSERT_TRUE(run_loop_until([&] {
        std::vector<const Delivery *> b = updates_of("/f0/B");
        return !b.empty() && b.back()->seq == kPairs;
    }));
    feed.join();

    EXPECT_TRUE(overtaken);
    std::vector<const Delivery *> a = updates_of("/f0/A");
    ASSERT_EQ(a.size(), static_cast<size_t>(kDropAt));
    for (int n = 1; n <= kDropAt; n++)
        EXPECT_EQ(a[n - 1]->seq, n);
    std::vector<const Delivery *> b = updates_of("/f0/B");
    ASSERT_EQ(b.size(), static_cast<size_t>(kPairs));
    for (int n = 1; n <= kPairs; n++)
        ASSERT_EQ(b[n - 1]->seq, n);
    EXPECT_EQ(seen->overlapping, 0);
}

INSTANTIATE_TEST_SUITE_P(DiscardOrPurge, CallbacksDrop, testing::Values("discard", "purge"));

TEST_F(CallbacksLink, SubscriberUsesAlmostNoCpuWhileNothingArrives)
{
    constexpr int kUpdates = 2000;
    Feed feed(1, {"/f0/one"});
    ASSERT_NO_FATAL_FAILURE(start_subscriber({&feed}));
    feed.start({burst("/f0/one", "one", 1, kUpdates)});
    ASSERT_NO_FATAL_FAILURE(await_links(1));
    vn_request_object("/f0/one");
    ASSERT_TRUE(run_loop_until([&] { return seen->updates.size() >= kUpdates; }));
    feed.join();

    auto cpu_seconds = [] {
        struct rusage usage {};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    double before = cpu_seconds();
    // The loop runs, idle, for the measured time; the link stays up.
    vn_add_timed_event(
        0, kIdleSeconds,
        [](int, int, void *) {
            vn_stop();
            return 0;
        },
        0, nullptr);
    vn_loop();
    EXPECT_LT(cpu_seconds() - before, kIdleCpuLimit);
    EXPECT_EQ(vn_peer_up(0), 1);
}
