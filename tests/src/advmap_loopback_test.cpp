// Request routing end to end on loopback: this process is the subscriber,
// started from its configuration with vn_init; its sources are example
// publisher processes, each on a port of its own, killed and restarted as a
// case needs. Every case needs a process of its own (as CTest runs them).
#include "child_process.h"
#include "peer_harness.h"
#include "data_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using vntest::AppEvent;
using vntest::ChildProcess;

namespace {

constexpr int kSubscriberId = 100;

// Holds the thread that logs `trigger` to the event log, runs `action` there,
// and lets the thread go once `awaited` has been logged (on any thread). The
// log's message callback sees every line, whatever the log's level.
struct LogGate {
    std::mutex mutex;
    std::condition_variable changed;
    std::string trigger;
    std::function<void()> action;
    std::string awaited;
    bool seen = false;
};

// Never destroyed: the runtime's threads log through it to the end of the process.
LogGate &log_gate = *new LogGate;

void gate_message(vn_log_t *, int, const char *format, va_list args)
{
    char text[1024];
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> hold(log_gate.mutex);
        if (!log_gate.awaited.empty() && text == log_gate.awaited) {
            log_gate.seen = true;
            log_gate.changed.notify_all();
            return;
        }
        if (text != log_gate.trigger || !log_gate.action)
            return;
        std::swap(action, log_gate.action);
    }
    action();
    std::unique_lock<std::mutex> hold(log_gate.mutex);
    log_gate.changed.wait_for(hold, std::chrono::seconds(20), [] { return log_gate.seen; });
}

uint64_t rogue_count(int peer)
{
    peer_mutex_guard hold(peer_global_lock);
    return peer_array[peer].counters[kRogueUpdate].value;
}

struct Source {
    int port = 0;
    int id = 0;
    std::string extra; // more lines of its configuration
    std::unique_ptr<ChildProcess> process;
};

class Loopback : public testing::Test {
protected:
    // Declares a source (an example publisher) of that label.
    void source(const std::string &label, const std::string &extra = "")
    {
        Source &entry = sources_[label];
        entry.port = vntest::free_tcp_port();
        entry.id = static_cast<int>(sources_.size());
        entry.extra = extra;
        order_.push_back(label);
    }

    void start_source(const std::string &label)
    {
        Source &entry = sources_[label];
        std::string dir = label;
        root_.write(dir + "/var/.keep", "");
        root_.write(dir + "/publisher.conf", "application-name " + label + "\nvantrix-id " +
                                                 std::to_string(entry.id) + "\nvantrix-port " +
                                                 std::to_string(entry.port) + "\nupdate-interval 0.05\n" +
                                                 entry.extra + "add-peer\nlabel subscriber\nremote-id " +
                                                 std::to_string(kSubscriberId) + "\nlocal-type active\nend-peer\n");
        entry.process = std::make_unique<ChildProcess>(
            std::vector<std::string>{std::string(EXAMPLES_BIN_DIR) + "/example_publisher", "--application-root",
                                     root_.file(dir)},
            root_.file(dir));
    }

    void kill_source(const std::string &label) { sources_[label].process->stop(true); }

    // Declares a source that the test plays itself behind `listener`.
    void wire_source(const std::string &label, const vntest::WireListener &listener)
    {
        Source &entry = sources_[label];
        entry.port = listener.port();
        entry.id = static_cast<int>(sources_.size());
        order_.push_back(label);
    }

    // Takes this process's link to a wire source and answers its PEERINFO as an active peer.
    vntest::WireSocket accept_link(vntest::WireListener &listener, const std::string &label)
    {
        vntest::WireSocket link = listener.accept();
        vntest::WireFrame info;
        EXPECT_TRUE(link.read_frame(&info));
        link.send(vntest::frame(5, vntest::info_payload(0, 1, static_cast<uint16_t>(sources_[label].id), label)));
        return link;
    }

    // Starts this process's runtime with one peer per declared source and
    // `services`; `watch`, when given, sees every line of its event log from the start.
    void start_subscriber(const std::string &services, vn_log_message_cb watch = nullptr)
    {
        std::string conf = "application-name subscriber\nvantrix-id " + std::to_string(kSubscriberId) + "\n";
        for (const std::string &label : order_)
            conf += "add-peer\nlabel " + label + "\naddr 127.0.0.1\nport " + std::to_string(sources_[label].port) +
                    "\nend-peer\n";
        root_.write("subscriber/var/.keep", "");
        root_.write("subscriber/subscriber.conf", conf + services);
        args_ = {"loopback_test", "--application-root", root_.file("subscriber")};
        for (std::string &arg : args_)
            argv_.push_back(arg.data());
        // The runtime keeps the record for the life of the process.
        static vn_init_t init;
        vntest::record_callbacks(&init);
        if (watch != nullptr) {
            // The record's own log, watched before any thread writes to it.
            init.log = vn_new_level_log("event_log", root_.file("subscriber/var/event.log").c_str(), nullptr);
            vn_log_set_message_cb(init.log, watch);
        }
        vn_config_init("subscriber.conf", static_cast<int>(argv_.size()), argv_.data());
        ASSERT_GE(vn_init(&init, static_cast<int>(argv_.size()), argv_.data()), 0);
    }

    // Sources A and B (A's configuration extended by `a_extra`), both
    // running, and this process's runtime linked to both.
    void start_pair(const std::string &services, const std::string &a_extra = "", vn_log_message_cb watch = nullptr)
    {
        source("A", a_extra);
        source("B");
        start_source("A");
        start_source("B");
        start_subscriber(services, watch);
        ASSERT_TRUE(run_until([&] { return peer_is_up("A") && peer_is_up("B"); }));
    }

    int peer(const std::string &label) { return vn_peer_by_label(label.c_str()); }

    std::vector<std::string> requests(const std::string &label)
    {
        return sources_[label].process->lines_starting("request ");
    }

    std::vector<std::string> discards(const std::string &label)
    {
        return sources_[label].process->lines_starting("discard ");
    }

    bool asked_for(const std::string &label, const std::string &subject)
    {
        for (const std::string &line : requests(label))
            if (line.ends_with(" " + subject))
                return true;
        return false;
    }

    // Updates of a subject from a peer that reached the application.
    size_t updates_from(const std::string &label, const std::string &subject)
    {
        size_t count = 0;
        for (const AppEvent &event : vntest::recorded_events())
            if (event.kind == "update" && event.peer == peer(label) && event.subject == subject)
                count++;
        return count;
    }

    std::vector<int> service_states()
    {
        std::vector<int> states;
        for (const AppEvent &event : vntest::recorded_events())
            if (event.kind == "service")
                states.push_back(event.state);
        return states;
    }

    // Up as far as request routing knows: the link is up and its last peer
    // report has reached the application, which data services see first.
    bool peer_is_up(const std::string &label)
    {
        int num = peer(label);
        int last_state = -1;
        for (const AppEvent &event : vntest::recorded_events())
            if (event.kind == "peer" && event.peer == num)
                last_state = event.state;
        return vn_peer_up(num) != 0 && last_state == 256;
    }

    bool run_until(const std::function<bool()> &done) { return vntest::run_loop_until(done); }

    vntest::TempRoot root_;
    std::map<std::string, Source> sources_;
    std::vector<std::string> order_;
    std::vector<std::string> args_;
    std::vector<char *> argv_;
};

std::string service(const std::string &groups, const std::string &extra = "")
{
    return "add-data-service\nservice-name demo\ninclude-pattern ^/demo/\n" + extra + groups + "end-data-service\n";
}

std::string group(const std::vector<std::string> &priorities, bool required = true)
{
    std::string text = "add-source-group\n";
    if (required)
        text += "required\n";
    for (const std::string &labels : priorities)
        text += "add-priority\nlabel " + labels + "\nend-priority\n";
    return text + "end-source-group\n";
}

TEST_F(Loopback, LostSourceFailsOverToTheNextPriorityAndKeepsItWhenItReturns)
{
    start_pair(service(group({"A", "B"})));
    vn_request_object("/demo/1");
    ASSERT_TRUE(run_until([&] { return updates_from("A", "/demo/1") >= 2; }));
    EXPECT_FALSE(asked_for("B", "/demo/1"));

    kill_source("A");
    ASSERT_TRUE(run_until([&] { return updates_from("B", "/demo/1") >= 2; }));
    EXPECT_TRUE(asked_for("B", "/demo/1"));

    start_source("A"); // it returns; the subject stays with its new source
    ASSERT_TRUE(run_until([&] { return peer_is_up("A"); }));
    size_t from_b = updates_from("B", "/demo/1");
    ASSERT_TRUE(run_until([&] { return updates_from("B", "/demo/1") >= from_b + 3; }));
    EXPECT_TRUE(requests("A").empty());
}

TEST_F(Loopback, SilentSourceTimesOutIsDiscardedAndTheNextOneServes)
{
    start_pair("source-request-timeout 0.2\n" + service(group({"A B"})), "answer-requests false\n");
    vn_request_object("/demo/1");
    ASSERT_TRUE(run_until([&] { return updates_from("B", "/demo/1") >= 1; }));
    EXPECT_TRUE(asked_for("A", "/demo/1"));
    ASSERT_TRUE(run_until([&] { return !discards("A").empty(); }));
    EXPECT_EQ(discards("A")[0], "discard 0 /demo/1");
}

TEST_F(Loopback, SubjectsAreSpreadOverTheLeastLoadedPeersOfAPriority)
{
    start_pair(service(group({"A B"})));
    std::vector<std::string> subjects;
    for (int i = 0; i < 10; i++)
        subjects.push_back("/demo/" + std::to_string(i));
    std::vector<char *> names;
    for (std::string &subject : subjects)
        names.push_back(subject.data());
    vn_request_objects(static_cast<int>(names.size()), names.data(), nullptr);
    ASSERT_TRUE(run_until([&] { return requests("A").size() + requests("B").size() == 10; }));
    EXPECT_EQ(requests("A").size(), 5u);
    EXPECT_EQ(requests("B").size(), 5u);
    // One request packet per peer: both saw their five subjects.
    for (const std::string &subject : subjects)
        EXPECT_NE(asked_for("A", subject), asked_for("B", subject)) << subject;
}

TEST_F(Loopback, HintedSourceIsAskedFirst)
{
    start_pair(service(group({"A B"})));
    char *hint[] = {const_cast<char *>("B")};
    EXPECT_EQ(vn_set_request_hint("/demo/h", 1, hint), 1);
    vn_request_object("/demo/h");
    ASSERT_TRUE(run_until([&] { return updates_from("B", "/demo/h") >= 1; }));
    EXPECT_TRUE(requests("A").empty());
}

TEST_F(Loopback, ServiceStateFollowsItsSourcesGoingAndComing)
{
    start_pair(service(group({"A"}) + group({"B"}, false)));
    ASSERT_TRUE(run_until([&] { return !service_states().empty() && service_states().back() == kServiceOk; }));
    size_t seen = service_states().size();
    kill_source("B");
    ASSERT_TRUE(run_until([&] { return service_states().size() == seen + 1; }));
    EXPECT_EQ(service_states().back(), kServiceLimited);
    kill_source("A");
    ASSERT_TRUE(run_until([&] { return service_states().size() == seen + 2; }));
    EXPECT_EQ(service_states().back(), kServiceDown);
    start_source("A");
    ASSERT_TRUE(run_until([&] { return service_states().size() == seen + 3; }));
    EXPECT_EQ(service_states().back(), kServiceLimited);
    const char *name = nullptr;
    EXPECT_EQ(vn_get_service_by_index(0, &name), kServiceLimited);
}

// The init thread has batched a request to A when A is lost and A's thread
// moves the subject to B, all before the batch is sent: the request must not
// wait in A's kept queue for A's next link. The gate holds the init thread in
// the same walk, at the next subject, until A's thread has chosen B.
TEST_F(Loopback, RequestBatchedForASourceLostMeanwhileNeverReachesItsNextLink)
{
    start_pair(service(group({"A B"})) + "add-data-service\nservice-name other\ninclude-pattern ^/other/\n" +
                   group({"B"}) + "end-data-service\n",
               "", gate_message);
    std::string b = std::to_string(peer("B"));
    {
        std::lock_guard<std::mutex> hold(log_gate.mutex);
        log_gate.trigger = "We can request object </other/1> from peer " + b + "\n";
        log_gate.awaited = "We can request object </demo/1> from peer " + b + "\n";
        log_gate.action = [this] { kill_source("A"); };
    }
    char *names[] = {const_cast<char *>("/demo/1"), const_cast<char *>("/other/1")};
    vn_request_objects(2, names, nullptr);
    {
        std::lock_guard<std::mutex> hold(log_gate.mutex);
        ASSERT_TRUE(log_gate.seen);
    }
    ASSERT_TRUE(run_until([&] { return updates_from("B", "/demo/1") >= 1; }));

    start_source("A");
    ASSERT_TRUE(run_until([&] { return peer_is_up("A"); }));
    vn_request_object("/demo/2"); // A, the least loaded now; it follows anything A's queue kept
    ASSERT_TRUE(run_until([&] { return updates_from("A", "/demo/2") >= 1; }));
    EXPECT_FALSE(asked_for("A", "/demo/1"));
    EXPECT_EQ(rogue_count(peer("A")), 0u);
}

// Wire sources A and B, linked to this process's runtime with `services`.
class WireLoopback : public Loopback {
protected:
    void start_wire_pair(const std::string &services)
    {
        wire_source("A", a_listener_);
        wire_source("B", b_listener_);
        start_subscriber(services);
        // The links are made while the init thread's loop runs.
        std::thread links([&] {
            a_ = accept_link(a_listener_, "A");
            b_ = accept_link(b_listener_, "B");
        });
        bool up = run_until([&] { return peer_is_up("A") && peer_is_up("B"); });
        links.join();
        ASSERT_TRUE(up);
    }

    // Sends an update of `subject` from the wire source and waits until it was dropped as rogue.
    void send_rogue_update(vntest::WireSocket &link, const std::string &label, const std::string &subject)
    {
        uint64_t before = rogue_count(peer(label));
        link.send(vntest::frame(VN_DATAUPDATE,
                                vntest::Bytes().u16(1).u16(0).u16(0).text(subject).u16(1).u32(1).text("x").data));
        ASSERT_TRUE(run_until([&] { return rogue_count(peer(label)) == before + 1; }));
    }

    // The subjects discarded on the link before the next request, which `subject` is.
    std::vector<std::string> discards_before_request(vntest::WireSocket &link, const std::string &subject)
    {
        std::vector<std::string> discarded;
        vntest::WireFrame got;
        while (link.read_frame(&got) && got.type != VN_SUBJREQ) {
            if (got.type == VN_SUBJDSC)
                discarded.push_back(got.payload.substr(kFirstSubjectAt));
        }
        EXPECT_EQ(got.type, VN_SUBJREQ);
        EXPECT_EQ(got.payload.substr(kFirstSubjectAt), subject);
        return discarded;
    }

    // The labels of the peers the subject is requested from.
    static std::vector<std::string> requested_from(const std::string &subject)
    {
        int count = 0;
        const char **labels = vn_get_request_hints(subject.c_str(), &count);
        std::vector<std::string> out(labels, labels + count);
        vn_free(labels);
        return out;
    }

    static constexpr size_t kFirstSubjectAt = 8; // flags, type, count, the subject's length

    vntest::WireListener a_listener_;
    vntest::WireListener b_listener_;
    vntest::WireSocket a_;
    vntest::WireSocket b_;
};

// B provides a subject whose source is A without being asked (a request that
// reached it after the subject moved on): its updates stay rogue, and one
// discard on its link ends the subscription.
TEST_F(WireLoopback, StraySubscriptionIsDiscardedOncePerLink)
{
    ASSERT_NO_FATAL_FAILURE(start_wire_pair(service(group({"A B"}))));
    vn_request_object("/demo/1"); // A
    vntest::WireFrame got;
    ASSERT_TRUE(a_.read_frame_of(VN_SUBJREQ, &got));
    ASSERT_NO_FATAL_FAILURE(send_rogue_update(b_, "B", "/demo/1"));
    ASSERT_NO_FATAL_FAILURE(send_rogue_update(b_, "B", "/demo/1"));
    EXPECT_EQ(updates_from("B", "/demo/1"), 0u);
    vn_request_object("/demo/2"); // B, the least loaded: it follows any discard
    EXPECT_EQ(discards_before_request(b_, "/demo/2"), std::vector<std::string>{"/demo/1"});
}

// A source discarded for its silence whose late update then arrives has had
// its discard on this link: it gets no second one.
TEST_F(WireLoopback, SourceDiscardedOnTimeoutGetsNoSecondDiscardForItsLateUpdate)
{
    ASSERT_NO_FATAL_FAILURE(start_wire_pair("source-request-timeout 0.1\n" + service(group({"A B"}))));
    vn_request_object("/demo/1"); // A, which stays silent
    vntest::WireFrame got;
    ASSERT_TRUE(a_.read_frame_of(VN_SUBJREQ, &got));
    // The source timer runs on this thread's loop; once it has, B is asked.
    ASSERT_TRUE(run_until([&] { return requested_from("/demo/1") == std::vector<std::string>{"B"}; }));
    ASSERT_TRUE(a_.read_frame_of(VN_SUBJDSC, &got));
    ASSERT_TRUE(b_.read_frame_of(VN_SUBJREQ, &got));
    ASSERT_NO_FATAL_FAILURE(send_rogue_update(a_, "A", "/demo/1"));
    vn_request_object("/demo/2"); // A, the least loaded: it follows any discard
    EXPECT_EQ(discards_before_request(a_, "/demo/2"), std::vector<std::string>{});
}

} // namespace
