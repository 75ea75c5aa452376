// Request routing: source choice by priority, load and hint, fail-over on
// source timeouts, retries, service timeouts, discards and application data,
// on a process whose peers the test marks up and down.
#include "data_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using vntest::DataServicesTest;

namespace {

std::string peers(const std::vector<std::string> &labels)
{
    std::string text;
    for (const std::string &label : labels)
        text += "add-peer\nlabel " + label + "\nremote-type active\nend-peer\n";
    return text;
}

// One service "quotes" over ^/q/ with one group per entry of `groups`; each
// group is a list of priorities, each a list of labels; an entry starting
// with '!' is a group option line instead ("!required", "!retry-time 1").
std::string service(const std::vector<std::vector<std::string>> &groups, const std::string &extra = "")
{
    std::string text = "add-data-service\nservice-name quotes\ninclude-pattern ^/q/\n" + extra;
    for (const std::vector<std::string> &group : groups) {
        text += "add-source-group\n";
        for (const std::string &priority : group) {
            if (priority[0] == '!')
                text += priority.substr(1) + "\n";
            else
                text += "add-priority\nlabel " + priority + "\nend-priority\n";
        }
        text += "end-source-group\n";
    }
    return text + "end-data-service\n";
}

class Routing : public DataServicesTest {
protected:
    void up_all(const std::vector<std::string> &labels)
    {
        for (const std::string &label : labels)
            up(label);
    }
};

using Labels = std::vector<std::string>;

TEST_F(Routing, SecondRequestForASubjectFindsItsTrackerAndAsksNobodyElse)
{
    start(peers({"A", "B"}) + service({{"A B"}}));
    up_all({"A", "B"});
    EXPECT_STREQ(vn_request_object("/q/1"), "quotes");
    EXPECT_STREQ(vn_request_object("/q/1"), "quotes");
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 1);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 0);
    EXPECT_EQ(vn_request_object("/x/1"), nullptr);
    EXPECT_EQ(hints("/x/1"), Labels{});
}

TEST_F(Routing, LeastLoadedPeerOfAPriorityIsChosenAndTheFirstWinsATie)
{
    start(peers({"A", "B"}) + service({{"A B"}}));
    up_all({"A", "B"});
    char *names[] = {const_cast<char *>("/q/1"), const_cast<char *>("/q/2"), const_cast<char *>("/q/3"),
                     const_cast<char *>("/q/4"), const_cast<char *>("/q/5")};
    const char **services = nullptr;
    EXPECT_EQ(vn_request_objects(5, names, &services), 5);
    for (int i = 0; i < 5; i++)
        EXPECT_STREQ(services[i], "quotes");
    vn_free(services);
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
    EXPECT_EQ(hints("/q/2"), Labels{"B"});
    EXPECT_EQ(hints("/q/3"), Labels{"A"});
    EXPECT_EQ(hints("/q/4"), Labels{"B"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 3);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 2);
    // 3 against 2: the second.
    vn_request_object("/q/6");
    EXPECT_EQ(hints("/q/6"), Labels{"B"});
}

// Each subject of a list is prepared a step ahead of its request: gaps,
// repeats and subjects no service takes still fill their own slots, and a
// repeat finds the tracker its first occurrence made.
TEST_F(Routing, ListWithGapsRepeatsAndUnservedSubjectsFillEachSlotInOrder)
{
    start(peers({"A", "B"}) + service({{"A B"}}));
    up_all({"A", "B"});
    char *names[] = {nullptr,
                     const_cast<char *>("/q/1"),
                     nullptr,
                     const_cast<char *>("/x/none"),
                     const_cast<char *>("/q/1"),
                     const_cast<char *>("/q/2"),
                     nullptr};
    const char **services = nullptr;
    EXPECT_EQ(vn_request_objects(7, names, &services), 7);
    const char *expected[] = {nullptr, "quotes", nullptr, nullptr, "quotes", "quotes", nullptr};
    for (int i = 0; i < 7; i++)
        EXPECT_STREQ(services[i], expected[i]) << i;
    vn_free(services);
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
    EXPECT_EQ(hints("/q/2"), Labels{"B"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 1); // asked once for /q/1
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 1);
}

// The next subject is mapped before the one before it is requested: each
// keeps its own mapped name.
TEST_F(Routing, MappedSubjectsOfAListKeepTheirOwnNames)
{
    start(peers({"A"}) + "add-pattern * x*\n" +
          "add-data-service\nservice-name quotes\ninclude-pattern ^x\n"
          "add-source-group\nadd-priority\nlabel A\nend-priority\nend-source-group\nend-data-service\n");
    up("A");
    char *names[] = {const_cast<char *>("1"), const_cast<char *>("2"), const_cast<char *>("3")};
    EXPECT_EQ(vn_request_objects(3, names, nullptr), 3);
    for (const char *name : {"1", "2", "3"})
        EXPECT_EQ(hints(name), Labels{"A"}) << name;
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 3);
}

TEST_F(Routing, LowerPriorityServesOnlyWhileNoHigherPeerIsRequestable)
{
    start(peers({"A", "B", "C"}) + service({{"A", "B C"}}));
    up_all({"B", "C"});
    vn_request_object("/q/1");
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    up("A"); // the group already has a source: nothing is asked again
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    vn_request_object("/q/2");
    EXPECT_EQ(hints("/q/2"), Labels{"A"});
}

TEST_F(Routing, HintedPeerIsChosenEvenWhenBusierAndInALowerPriority)
{
    start(peers({"A", "B", "C"}) + service({{"A", "B C"}}));
    up_all({"A", "B", "C"});
    char *hint[] = {const_cast<char *>("C"), const_cast<char *>("nobody")};
    EXPECT_EQ(vn_set_request_hint("/q/0", 1, hint), 1);
    vn_request_object("/q/0"); // C is now busier than B
    EXPECT_EQ(vn_set_request_hint("/q/1", 2, hint), 1);
    vn_request_object("/q/1");
    EXPECT_EQ(hints("/q/1"), Labels{"C"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
    EXPECT_EQ(subscriptions("quotes-0-1-C"), 2);
}

// A hint names another priority than the current source's: failing over
// from the current source releases that source's count, not one of the
// hinted priority.
TEST_F(Routing, HintNeverTouchesTheCountersOfAnotherPriority)
{
    start(peers({"A", "B", "C"}) + service({{"A", "B C"}}));
    up_all({"A", "B", "C"});
    vn_request_object("/q/1");
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
    char *hint[] = {const_cast<char *>("C")};
    EXPECT_EQ(vn_set_request_hint("/q/1", 1, hint), 1);
    nodata("A", "/q/1", VN_NODATA_NOTFOUND); // fails over, to the hinted peer
    EXPECT_EQ(hints("/q/1"), Labels{"C"});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
    EXPECT_EQ(subscriptions("quotes-0-1-B"), 0);
    EXPECT_EQ(subscriptions("quotes-0-1-C"), 1);
    vn_discard_object("/q/1");
    EXPECT_EQ(subscriptions("quotes-0-1-C"), 0);
}

TEST_F(Routing, SourceTimeoutsFailOverThenTheServiceGivesUp)
{
    start(peers({"A", "B"}) + "source-request-timeout 0.02\n" + service({{"!required", "A B"}}));
    up_all({"A", "B"});
    vn_request_object("/q/1");
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
    // A times out and is discarded; B is asked; B times out; every required
    // peer failed and no previous provider is up: the application hears.
    ASSERT_TRUE(run_until([&] { return !events_of("nodata").empty(); }));
    std::vector<vntest::AppEvent> nodatas = events_of("nodata");
    ASSERT_EQ(nodatas.size(), 1u);
    EXPECT_EQ(nodatas[0].subject, "/q/1");
    EXPECT_EQ(nodatas[0].peer, 0);
    EXPECT_EQ(nodatas[0].code, VN_NODATA_NOTFOUND);
    EXPECT_EQ(hints("/q/1"), Labels{});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 0);
}

TEST_F(Routing, OptionalGroupThatRunsOutOfSourcesReportsItsState)
{
    start(peers({"A", "B"}) + "source-request-timeout 0.02\n" + service({{"A"}, {"B"}}));
    up_all({"A", "B"});
    vn_request_object("/q/1");
    update("B", "/q/1");
    // A times out and is discarded; B still provides, so nothing is given up.
    ASSERT_TRUE(run_until([&] { return hints("/q/1") == Labels{"B"}; }));
    settle();
    EXPECT_TRUE(events_of("nodata").empty());
    std::vector<vntest::AppEvent> states = events_of("object");
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back().state, kObjectOptionalDown);
    EXPECT_EQ(states.back().message, "Optional source down");
}

TEST_F(Routing, GroupWhosePreviousProviderIsUpIsRetriedWithItsSetsCleared)
{
    start(peers({"A", "B"}) + "source-request-timeout 0.02\n" + service({{"!retry-time 1", "A B"}}));
    up_all({"A", "B"});
    vn_request_object("/q/1");
    update("A", "/q/1"); // A provides and becomes a previous provider
    status("A", "/q/1", kStatusSourceFailed); // A fails: discarded, B asked
    EXPECT_EQ(hints("/q/1"), Labels{"B"});
    // B times out; A is still up and provided before: after retry-time the
    // group starts over and asks A again.
    ASSERT_TRUE(run_until([&] { return hints("/q/1") == Labels{"A"}; }));
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 1);
    EXPECT_EQ(subscriptions("quotes-0-0-B"), 0);
}

TEST_F(Routing, ServiceTimeoutGivesUpOnlyWhenNothingArrived)
{
    start(peers({"A", "B"}) + service({{"A B"}}, "request-timeout 0.02\n"));
    up_all({"A", "B"});
    vn_request_object("/q/late");
    vn_request_object("/q/served");
    update("B", "/q/served");
    ASSERT_TRUE(run_until([&] { return !events_of("nodata").empty(); }));
    settle();
    std::vector<vntest::AppEvent> nodatas = events_of("nodata");
    ASSERT_EQ(nodatas.size(), 1u);
    EXPECT_EQ(nodatas[0].subject, "/q/late");
    EXPECT_EQ(nodatas[0].code, VN_NODATA_NOTFOUND);
    EXPECT_EQ(hints("/q/late"), Labels{});
    EXPECT_EQ(hints("/q/served"), Labels{"B"});
}

// The tracker's subject is already in the peers' namespace: the timeout's
// no-data carries it as it is and the application gets its own name back.
TEST_F(Routing, TimeoutNodataIsMappedBackOnceOnly)
{
    start(peers({"A"}) + "add-pattern * x*\n" +
          "add-data-service\nservice-name quotes\ninclude-pattern ^x\nrequest-timeout 0.02\n"
          "add-source-group\nadd-priority\nlabel A\nend-priority\nend-source-group\nend-data-service\n");
    up("A");
    EXPECT_STREQ(vn_request_object("1"), "quotes");
    EXPECT_EQ(hints("1"), Labels{"A"});
    ASSERT_TRUE(run_until([&] { return !events_of("nodata").empty(); }));
    EXPECT_EQ(events_of("nodata")[0].subject, "1");
}

TEST_F(Routing, DiscardAndPurgeForgetTheSubject)
{
    start(peers({"A"}) + service({{"A"}}));
    up("A");
    char *names[] = {const_cast<char *>("/q/1"), const_cast<char *>("/q/2"), const_cast<char *>("/q/none")};
    vn_request_objects(2, names, nullptr);
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 2);
    vn_discard_objects(3, names);
    EXPECT_EQ(hints("/q/1"), Labels{});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
    vn_request_object("/q/3");
    vn_purge_object("/q/3");
    EXPECT_EQ(hints("/q/3"), Labels{});
    EXPECT_EQ(subscriptions("quotes-0-0-A"), 0);
}

TEST_F(Routing, TrackerWithApplicationDataOutlivesItsDiscardAndIsAskedAgain)
{
    start(peers({"A"}) + service({{"A"}}));
    up("A");
    int mine = 0;
    vn_set_object_data("/q/1", &mine);
    EXPECT_EQ(hints("/q/1"), Labels{}); // made, but not requested
    vn_request_object("/q/1");
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
    vn_discard_object("/q/1");
    EXPECT_EQ(vn_get_object_data("/q/1"), &mine);
    EXPECT_EQ(hints("/q/1"), Labels{});
    EXPECT_STREQ(vn_request_object("/q/1"), "quotes");
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
}

TEST_F(Routing, AvailabilityDependsOnWhichSourcesAreReachable)
{
    std::string text = peers({"A", "B"}) + "add-peer\nlabel P\nend-peer\n" +
                       service({{"!required", "A"}, {"B"}}) +
                       "add-data-service\nservice-name passive\ninclude-pattern ^/p/\n"
                       "add-source-group\nadd-priority\nlabel P\nend-priority\nend-source-group\nend-data-service\n";
    start(text);
    EXPECT_EQ(vn_object_available("/nothing"), -1);
    EXPECT_EQ(vn_object_available("/q/1"), 0);
    up("B");
    EXPECT_EQ(vn_object_available("/q/1"), 2);
    up("A");
    EXPECT_EQ(vn_object_available("/q/1"), 3);
    down("B");
    EXPECT_EQ(vn_object_available("/q/1"), 1);
    up("P"); // up but not active: not reachable, yet every required peer (none) is up
    EXPECT_EQ(vn_object_available("/p/1"), -3);
    EXPECT_EQ(vn_object_can_contrib("/q/1"), 0);
    EXPECT_EQ(vn_object_can_contrib("/x"), -1);
}

TEST_F(Routing, RequestsFromAnotherThreadRunOnTheInitThread)
{
    start(peers({"A"}) + service({{"A"}}));
    up("A");
    std::atomic<bool> done{false};
    const char *service_name = nullptr;
    std::thread app_thread([&] {
        service_name = vn_request_object("/q/1");
        done = true;
    });
    ASSERT_TRUE(run_until([&] { return done.load(); }));
    app_thread.join();
    EXPECT_STREQ(service_name, "quotes");
    EXPECT_EQ(hints("/q/1"), Labels{"A"});
}

TEST_F(Routing, FloodsOfUnservedSubjectsLeaveNothingBehind)
{
    start(peers({"A"}) + service({{"A"}}));
    up("A");
    std::vector<std::string> subjects;
    for (int i = 0; i < 20000; i++)
        subjects.push_back("/unserved/" + std::to_string(i));
    subjects.push_back("");
    subjects.push_back(std::string(65535, 'u'));
    std::vector<char *> names;
    for (std::string &subject : subjects)
        names.push_back(subject.data());
    const char **services = nullptr;
    EXPECT_EQ(vn_request_objects(static_cast<int>(names.size()), names.data(), &services), static_cast<int>(names.size()));
    for (size_t i = 0; i < names.size(); i++)
        EXPECT_EQ(services[i], nullptr);
    vn_free(services);
    std::string tmpl = template_name("dataservice");
    vn_monitor_t *count = vnmon_get_active(tmpl.c_str(), "quotes", "num-objects");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->data.ul, 0u);
    vn_monitor_free(count);
}

} // namespace
