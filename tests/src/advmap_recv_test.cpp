// Inbound handling: updates (broadcast trackers, rogue rules), no-data
// replies, object statuses, peer changes and the stale clean-up, handed in as
// the peer layer hands them, with the application's callbacks recorded.
#include "data_services.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using vntest::AppEvent;
using vntest::DataServicesTest;

namespace {

using Labels = std::vector<std::string>;

// Peers A, B (active) and N (not active); "quotes" over ^/q/ requests
// actively from one optional group [A, B]; "news" over ^/n/ takes broadcasts
// from a group of N and A.
std::string config(const std::string &extra = "")
{
    return "add-peer\nlabel A\nremote-type active\nend-peer\n"
           "add-peer\nlabel B\nremote-type active\nend-peer\n"
           "add-peer\nlabel N\nend-peer\n" +
           extra +
           "add-data-service\nservice-name quotes\nservice-type active\ninclude-pattern ^/q/\n"
           "add-source-group\nadd-priority\nlabel A B\nend-priority\nend-source-group\nend-data-service\n"
           "add-data-service\nservice-name news\nservice-type broadcast\ninclude-pattern ^/n/\n"
           "add-source-group\nadd-priority\nlabel N\nend-priority\nend-source-group\n"
           "add-source-group\nadd-priority\nlabel A\nend-priority\nend-source-group\nend-data-service\n";
}

// Active peers A, B and C (A and B with more lines) in one priority of
// "quotes" over ^/q/.
std::string three_sources(const std::string &a_extra = "", const std::string &b_extra = "")
{
    return "add-peer\nlabel A\nremote-type active\n" + a_extra + "end-peer\n" +
           "add-peer\nlabel B\nremote-type active\n" + b_extra + "end-peer\n" +
           "add-peer\nlabel C\nremote-type active\nend-peer\n"
           "add-data-service\nservice-name quotes\ninclude-pattern ^/q/\n"
           "add-source-group\nadd-priority\nlabel A B C\nend-priority\nend-source-group\nend-data-service\n";
}

class Inbound : public DataServicesTest {
protected:
    void start_all(const std::string &extra = "")
    {
        start(config(extra));
        up("A");
        up("B");
        up("N");
    }

    std::vector<std::string> kinds()
    {
        std::vector<std::string> out;
        for (const AppEvent &event : events())
            if (event.kind != "peer" && event.kind != "service")
                out.push_back(event.kind);
        return out;
    }

    uint64_t rogue_count(const std::string &label)
    {
        return _vn_peer(peer(label))->counters[kRogueUpdate].value;
    }
};

TEST_F(Inbound, UnsolicitedUpdateOfABroadcastServiceMakesATrackerAndReportsItsState)
{
    start_all();
    update("N", "/n/1");
    settle();
    EXPECT_EQ(kinds(), (std::vector<std::string>{"update", "object"}));
    std::vector<AppEvent> states = events_of("object");
    EXPECT_EQ(states[0].subject, "/n/1");
    EXPECT_EQ(states[0].state, kObjectOptionalDown); // the group of A has no source for it
    EXPECT_EQ(hints("/n/1"), Labels{"N"});
}

TEST_F(Inbound, RogueUpdatesAreCountedAndDropped)
{
    start_all();
    struct Case {
        const char *label;
        const char *subject;
        uint16_t flags;
        bool rogue;
    };
    const Case cases[] = {
        {"A", "/n/2", 0, true},                    // an active peer's unsolicited update
        {"A", "/n/3", kRecordFromActive, false},   // ... unless flagged
        {"N", "/x/1", 0, true},                    // no service takes it
        {"N", "/q/1", 0, true},                    // the service does not take broadcasts
        {"B", "/n/4", kRecordFromActive, true},    // not a peer of the service
    };
    for (const Case &c : cases) {
        uint64_t before = rogue_count(c.label);
        size_t updates = events_of("update").size();
        update(c.label, c.subject, c.flags);
        EXPECT_EQ(rogue_count(c.label) - before, c.rogue ? 1u : 0u) << c.subject;
        EXPECT_EQ(events_of("update").size() - updates, c.rogue ? 0u : 1u) << c.subject;
    }
}

TEST_F(Inbound, TrackedSubjectFromAnActivePeerNeverAskedIsRogueUnlessFlagged)
{
    start_all();
    vn_request_object("/q/1"); // asks A
    uint64_t before = rogue_count("B");
    update("B", "/q/1");
    EXPECT_EQ(rogue_count("B") - before, 1u);
    EXPECT_TRUE(events_of("update").empty());
    update("B", "/q/1", kRecordFromActive);
    EXPECT_EQ(events_of("update").size(), 1u);
    EXPECT_EQ(hints("/q/1"), (Labels{"A", "B"}));
}

// The rogue update must not cancel the service timeout of the subject.
TEST_F(Inbound, RogueUpdateLeavesTheTimersAlone)
{
    start(config("service-request-timeout 0.05\n"));
    up("A");
    up("B");
    vn_request_object("/q/1");
    update("B", "/q/1");
    ASSERT_TRUE(run_until([&] { return !events_of("nodata").empty(); }));
    EXPECT_EQ(events_of("nodata")[0].subject, "/q/1");
    EXPECT_TRUE(events_of("update").empty());
}

TEST_F(Inbound, FirstUpdateFromTheAskedSourceMarksTheSubjectOk)
{
    start_all();
    vn_request_object("/q/1");
    update("A", "/q/1");
    update("A", "/q/1"); // a providing peer that is not pending: no further report
    settle();
    EXPECT_EQ(events_of("update").size(), 2u);
    ASSERT_EQ(events_of("object").size(), 1u);
    AppEvent state = events_of("object")[0];
    EXPECT_EQ(state.state, kObjectOk);
    EXPECT_EQ(state.message, "All peers providing");
}

TEST_F(Inbound, NodataFailsOverSilentlyUntilTheLastSourceFails)
{
    start_all();
    vn_request_object("/q/1");
    nodata("A", "/q/1", VN_NODATA_NOTFOUND);
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    EXPECT_TRUE(events_of("nodata").empty());
    nodata("B", "/q/1", VN_NODATA_UNAVAILABLE);
    settle();
    // No required peers: every one of them (none) failed, nothing outstanding.
    std::vector<AppEvent> nodatas = events_of("nodata");
    ASSERT_EQ(nodatas.size(), 1u);
    EXPECT_EQ(nodatas[0].peer, peer("B"));
    EXPECT_EQ(nodatas[0].code, VN_NODATA_UNAVAILABLE);
    EXPECT_EQ(hints("/q/1"), Labels{});
}

// "/q/1" is sourced by A, loaded with two more subjects hinted to it, so that
// picking a source again would choose another peer; then another peer of the
// group reports or is lost. The subject keeps A, alone.
enum class OtherPeerEvent { kNodata, kSourceFailed, kLost };

struct OtherPeerCase {
    const char *name;
    const char *peer;
    bool provides; // the peer provides /q/1 unasked first
    OtherPeerEvent event;
};

void PrintTo(const OtherPeerCase &c, std::ostream *out)
{
    *out << c.name;
}

class OtherPeer : public DataServicesTest, public testing::WithParamInterface<OtherPeerCase> {};

TEST_P(OtherPeer, LeavesTheSubjectWithItsSource)
{
    start(three_sources());
    up("A");
    up("B");
    up("C");
    vn_request_object("/q/1");
    char *hint[] = {const_cast<char *>("A")};
    for (const char *subject : {"/q/2", "/q/3"}) {
        vn_set_request_hint(subject, 1, hint);
        vn_request_object(subject);
    }
    const OtherPeerCase &c = GetParam();
    if (c.provides)
        update(c.peer, "/q/1", kRecordFromActive);
    switch (c.event) {
    case OtherPeerEvent::kNodata:
        nodata(c.peer, "/q/1", VN_NODATA_NOTFOUND);
        break;
    case OtherPeerEvent::kSourceFailed:
        status(c.peer, "/q/1", kStatusSourceFailed);
        break;
    case OtherPeerEvent::kLost:
        down(c.peer);
        break;
    }
    settle();
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 3);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 0);
    EXPECT_EQ(subscriptions("quotes-0-0-C"), 0);
    EXPECT_TRUE(events_of("nodata").empty());
}

INSTANTIATE_TEST_SUITE_P(Events, OtherPeer,
                         testing::Values(OtherPeerCase{"NodataFromAPeerNeverAsked", "C", false, OtherPeerEvent::kNodata},
                                         OtherPeerCase{"NodataFromAnUnaskedProvider", "B", true, OtherPeerEvent::kNodata},
                                         OtherPeerCase{"SourceFailedFromAnUnaskedProvider", "B", true,
                                                       OtherPeerEvent::kSourceFailed},
                                         OtherPeerCase{"LossOfAnUnaskedProvider", "B", true, OtherPeerEvent::kLost}),
                         [](const testing::TestParamInfo<OtherPeerCase> &info) { return std::string(info.param.name); });

// The service timeout gave up on the subject and kept its tracker for the
// application's data; the source's late no-data must not ask another one.
TEST_F(Inbound, LateNodataAfterTheServiceTimeoutAsksNobodyElse)
{
    start(config("service-request-timeout 0.02\n"));
    up("A");
    up("B");
    int data = 0;
    vn_request_object("/q/1"); // A
    vn_set_object_data("/q/1", &data);
    ASSERT_TRUE(run_until([&] { return !events_of("nodata").empty(); }));
    nodata("A", "/q/1", VN_NODATA_NOTFOUND);
    settle();
    EXPECT_EQ(hints("/q/1"), Labels{});
    EXPECT_EQ(events_of("nodata").size(), 1u);
    EXPECT_EQ(vn_get_object_data("/q/1"), &data);
    // Nor does a no-data from a peer that provided it unasked since.
    update("B", "/q/1", kRecordFromActive);
    nodata("B", "/q/1", VN_NODATA_NOTFOUND);
    EXPECT_EQ(hints("/q/1"), Labels{});
    vn_request_object("/q/1"); // a new request asks again
    EXPECT_EQ(hints("/q/1").size(), 1u);
}

TEST_F(Inbound, DeleteObjectAlwaysReachesTheApplication)
{
    start_all();
    vn_request_object("/q/1");
    update("A", "/q/1");
    nodata("A", "/q/1", VN_NODATA_DELETEOBJECT);
    std::vector<AppEvent> nodatas = events_of("nodata");
    ASSERT_EQ(nodatas.size(), 1u);
    EXPECT_EQ(nodatas[0].code, VN_NODATA_DELETEOBJECT);
    EXPECT_EQ(hints("/q/1"), Labels{});
}

TEST_F(Inbound, NodataAndStatusForUnknownSubjectsChangeNothing)
{
    start_all();
    for (const std::string &subject : {std::string(), std::string("x"), std::string(65535, 's')}) {
        nodata("A", subject, VN_NODATA_NOTFOUND);
        status("A", subject, kStatusStale);
        update("A", subject);
    }
    settle();
    EXPECT_TRUE(events_of("nodata").empty());
    EXPECT_TRUE(events_of("object").empty());
    EXPECT_TRUE(events_of("update").empty());
}

TEST_F(Inbound, StatusFlagsZeroPassesStraightThrough)
{
    start_all();
    status("A", "/anything", 0, 77);
    std::vector<AppEvent> states = events_of("object");
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].state, 0);
    EXPECT_EQ(states[0].code, 77);
    EXPECT_EQ(states[0].message, "from source");
}

TEST_F(Inbound, StaleStatusFromTheSourceIsReported)
{
    start_all();
    vn_request_object("/q/1");
    update("A", "/q/1");
    status("A", "/q/1", kStatusStale, 5);
    status("A", "/q/1", kStatusFresh, 6);
    settle();
    std::vector<AppEvent> states = events_of("object");
    ASSERT_EQ(states.size(), 3u);
    EXPECT_EQ(states[1].state, kObjectOptionalDown);
    EXPECT_EQ(states[1].code, 5);
    EXPECT_EQ(states[2].state, kObjectOk);
    EXPECT_EQ(states[2].message, "from source");
}

TEST_F(Inbound, LosingTheSourceMovesTheSubjectToTheNextOne)
{
    start_all();
    vn_request_object("/q/1");
    update("A", "/q/1");
    down("A");
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 1);
    update("B", "/q/1");
    settle();
    EXPECT_EQ(events_of("object").back().state, kObjectOk);
}

// A peer going down that was neither asked for a subject nor providing it
// leaves that subject's source and state alone.
TEST_F(Inbound, LosingAnUninvolvedPeerLeavesTheSubjectAlone)
{
    start_all();
    vn_request_object("/q/0"); // A
    vn_request_object("/q/1"); // B
    update("B", "/q/1");
    settle();
    size_t reports = events_of("object").size();
    down("A");
    settle();
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 2); // /q/0 moved to B as well
    for (size_t i = reports; i < events_of("object").size(); i++)
        EXPECT_NE(events_of("object")[i].subject, "/q/1");
}

TEST_F(Inbound, PeerComingBackIsAskedForSubjectsWithoutASource)
{
    start(config());
    up("N");
    vn_request_object("/q/1"); // nobody of the group is up
    EXPECT_EQ(hints("/q/1"), Labels{});
    up("B");
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    up("A"); // the group has a source now
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
}

TEST_F(Inbound, BroadcastSubjectGoesStaleWhenItsPeerGoesDown)
{
    start_all();
    update("N", "/n/1");
    down("N");
    settle();
    EXPECT_EQ(events_of("object").back().state, kObjectOptionalDown);
    EXPECT_EQ(hints("/n/1"), Labels{});
}

// The clean-up lists both subjects, then waits for the application's no-data
// of the first; meanwhile a source makes the second fresh, which stays.
TEST_F(Inbound, StaleCleanupSkipsASubjectMadeFreshMeanwhile)
{
    start("add-peer\nlabel A\nremote-type active\nend-peer\n"
          "add-peer\nlabel B\nremote-type active\nend-peer\n"
          "cleanup-stale-timeout 0.02\n"
          "add-data-service\nservice-name quotes\ninclude-pattern ^/q/\n"
          "add-source-group\nadd-priority\nlabel A\nend-priority\nadd-priority\nlabel B\nend-priority\n"
          "end-source-group\nend-data-service\n");
    up("A");
    up("B");
    for (const char *subject : {"/q/1", "/q/2"}) {
        vn_request_object(subject);
        update("A", subject);
    }
    down("A"); // both move to B and wait for it, stale
    std::string kept;
    vntest::on_app_event([&](const AppEvent &event) {
        if (event.kind != "nodata" || !kept.empty())
            return;
        kept = event.subject == "/q/1" ? "/q/2" : "/q/1";
        update("B", kept);
    });
    ASSERT_TRUE(run_until([&] { return !events_of("nodata").empty(); }));
    settle();
    vntest::on_app_event(nullptr);
    EXPECT_EQ(events_of("nodata").size(), 1u);
    EXPECT_EQ(hints(kept), Labels{"B"});
    EXPECT_EQ(events_of("object").back().subject, kept);
    EXPECT_EQ(events_of("object").back().state, kObjectOk);
}

TEST_F(Inbound, StaleSubjectsAreCleanedUpAfterTheirPeerWentDown)
{
    start_all("cleanup-stale-timeout 0.02\n");
    vn_request_object("/q/1");
    update("A", "/q/1");
    status("A", "/q/1", kStatusStale);
    down("A");
    ASSERT_TRUE(run_until([&] { return !events_of("nodata").empty(); }));
    AppEvent cleaned = events_of("nodata")[0];
    EXPECT_EQ(cleaned.subject, "/q/1");
    EXPECT_EQ(cleaned.code, VN_NODATA_DELETEOBJECT);
}

// A source timer due on the init thread while another thread has re-armed
// its slot (posting the delete of the old event behind it) finds its token
// gone and does nothing; the posted delete frees it.
TEST_F(Inbound, TimerRacingARearmOnAnotherThreadDoesNothing)
{
    start(three_sources("request-timeout 0.0001\n", "request-timeout 30\n"));
    up("A");
    up("B");
    up("C");
    vn_request_object("/q/1"); // A, its timer armed on this (init) thread
    std::mutex mutex;
    std::condition_variable changed;
    bool failed_over = false;
    // A peer thread with a loop of its own, kept to the end of the process
    // as the runtime keeps its peer threads.
    std::thread([&] {
        vn_thread_init(0, 0);
        nodata("A", "/q/1", VN_NODATA_NOTFOUND); // B, its timer armed here
        {
            // Notified under the lock: the test may end, and these go,
            // as soon as it can take the lock again.
            std::lock_guard<std::mutex> hold(mutex);
            failed_over = true;
            changed.notify_all();
        }
        vn_loop();
    }).detach();
    {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait(hold, [&] { return failed_over; });
    }
    // A's timer is long due: the next pass fires it before it reads the delete.
    settle();
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 1);
    EXPECT_EQ(subscriptions("quotes-0-0-C"), 0);
}

TEST_F(Inbound, ConcurrentPeerThreadsKeepCountsAndTrackersConsistent)
{
    start(config("source-request-timeout 0.001\n"));
    up("A");
    up("B");
    up("N");
    constexpr int kSubjects = 200;
    std::vector<std::string> subjects;
    for (int i = 0; i < kSubjects; i++)
        subjects.push_back("/q/" + std::to_string(i));
    std::vector<char *> names;
    for (std::string &subject : subjects)
        names.push_back(subject.data());
    std::atomic<int> finished{0};
    // The source timers armed on the init thread fire while these threads
    // cancel them (posting deletes to the init thread's loop).
    auto peer_thread = [&](const char *label) {
        for (int round = 0; round < 3; round++)
            for (const std::string &subject : subjects) {
                update(label, subject);
                nodata(label, subject, VN_NODATA_NOTFOUND);
            }
        finished++;
    };
    vn_request_objects(kSubjects, names.data(), nullptr);
    std::thread a(peer_thread, "A");
    std::thread b(peer_thread, "B");
    ASSERT_TRUE(run_until([&] { return finished.load() == 2; }));
    a.join();
    b.join();
    vn_discard_objects(kSubjects, names.data());
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 0);
}

} // namespace
