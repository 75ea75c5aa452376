// Request routing end to end on loopback: this process is the subscriber,
// started from its configuration with vn_init; its sources are example
// publisher processes, each on a port of its own, killed and restarted as a
// case needs. Every case needs a process of its own (as CTest runs them).
#include "child_process.h"
#include "peer_harness.h"
#include "data_services.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using vntest::AppEvent;
using vntest::ChildProcess;

namespace {

constexpr int kSubscriberId = 100;

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

    // Starts this process's runtime with one peer per declared source and `services`.
    void start_subscriber(const std::string &services)
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
        vn_config_init("subscriber.conf", static_cast<int>(argv_.size()), argv_.data());
        ASSERT_GE(vn_init(&init, static_cast<int>(argv_.size()), argv_.data()), 0);
    }

    // Sources A and B (A's configuration extended by `a_extra`), both
    // running, and this process's runtime linked to both.
    void start_pair(const std::string &services, const std::string &a_extra = "")
    {
        source("A", a_extra);
        source("B");
        start_source("A");
        start_source("B");
        start_subscriber(services);
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

// ---- A large batch from one hand-built source ----

// A source on the wire, on a thread of its own: it answers the subscriber's
// PEERINFO as an active peer and every subject of every request with one
// image, and remembers which subjects it was asked for.
class ImageSource {
public:
    ImageSource() : thread_([this] { serve(); }) {}
    ~ImageSource()
    {
        stop_ = true;
        thread_.join();
    }
    ImageSource(const ImageSource &) = delete;
    ImageSource &operator=(const ImageSource &) = delete;

    int port() const { return listener_.port(); }
    // Subjects asked for, counting repeats, and distinct ones.
    size_t asked()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return asked_;
    }
    size_t distinct_asked()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return subjects_.size();
    }

private:
    void serve()
    {
        // The runtime's signals may cut a wait short: each wait is tried again.
        vntest::WireSocket link;
        while (!stop_ && !link.valid())
            link = listener_.accept(kPollSeconds);
        vntest::WireFrame frame;
        while (!stop_ && !link.read_frame(&frame, kPollSeconds)) {
        }
        link.send(vntest::frame(VN_PEERINFO, vntest::info_payload(0, kPeerActive, kSourceId, "source")));
        while (!stop_) {
            if (link.read_frame(&frame, kPollSeconds) && frame.type == VN_SUBJREQ)
                link.send(answer(frame.payload));
        }
    }

    // One image frame per subject of the request payload (flags, type, count, subjects).
    std::string answer(const std::string &payload)
    {
        size_t count = be16(payload, 4);
        size_t at = 6;
        std::string images;
        std::lock_guard<std::mutex> hold(mutex_);
        for (size_t i = 0; i < count && at + 2 <= payload.size(); i++) {
            size_t length = be16(payload, at);
            std::string subject = payload.substr(at + 2, length);
            at += 2 + length;
            subjects_.insert(subject);
            asked_++;
            images += vntest::frame(VN_DATAUPDATE,
                                    vntest::Bytes().u16(1).u16(kImageFlag).u16(200).text(subject).u16(0).data);
        }
        return images;
    }

    static size_t be16(const std::string &bytes, size_t at)
    {
        return static_cast<size_t>(static_cast<unsigned char>(bytes[at])) << 8 |
               static_cast<unsigned char>(bytes[at + 1]);
    }

    static constexpr int kSourceId = 7;
    static constexpr uint16_t kImageFlag = 0x1000;
    static constexpr double kPollSeconds = 0.05;

    vntest::WireListener listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    size_t asked_ = 0;
    std::set<std::string> subjects_;
    std::thread thread_;
};

// What the application saw; the callbacks run on the peer's thread.
std::atomic<bool> source_up{false};
std::atomic<long> images_seen{0};
std::atomic<long> not_found{0};

void count_update(int, vn_data_t *)
{
    images_seen++;
}

void count_nodata(int, char *, uint16_t)
{
    not_found++;
}

void note_peer(int, int status, int, void *)
{
    if (status == kPeerUp)
        source_up = true;
}

// Every subject of one large request gets its image through the default
// service and options (threaded callbacks aside): none is lost to batching,
// rogue screening or the service timeout, and none is asked for twice.
TEST(LargeBatch, EverySubjectOfALargeRequestGetsItsImageAndNoneIsReportedNotFound)
{
    constexpr int kSubjects = 20000;
    ImageSource source;
    vntest::TempRoot root;
    root.write("var/.keep", "");
    root.write("batch.conf", "application-name batch\nvantrix-id 100\nenable-threaded-callbacks\n"
                             "add-peer\nlabel source\nremote-id 7\naddr 127.0.0.1\nport " +
                                 std::to_string(source.port()) + "\nheartbeat-time 30\nend-peer\n");
    static std::vector<std::string> args{"loopback_test", "--application-root", root.path()};
    static std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    static vn_init_t init; // the runtime keeps the record for the life of the process
    init.recv_update = count_update;
    init.recv_nodata = count_nodata;
    init.recv_peer_status = note_peer;
    vn_config_init("batch.conf", static_cast<int>(argv.size()), argv.data());
    ASSERT_GE(vn_init(&init, static_cast<int>(argv.size()), argv.data()), 0);
    ASSERT_TRUE(vntest::run_loop_until([] { return source_up.load(); })) << root.read("var/event-batch.log");

    std::vector<std::string> subjects;
    for (int i = 0; i < kSubjects; i++)
        subjects.push_back("/batch/" + std::to_string(i));
    std::vector<char *> names;
    for (std::string &subject : subjects)
        names.push_back(subject.data());
    EXPECT_EQ(vn_request_objects(kSubjects, names.data(), nullptr), kSubjects);
    EXPECT_TRUE(vntest::run_loop_until([] { return images_seen.load() == kSubjects || not_found.load() > 0; }));

    EXPECT_EQ(images_seen.load(), kSubjects);
    EXPECT_EQ(not_found.load(), 0);
    EXPECT_EQ(source.asked(), static_cast<size_t>(kSubjects));
    EXPECT_EQ(source.distinct_asked(), static_cast<size_t>(kSubjects));
    peer_mutex_guard counters(peer_global_lock);
    EXPECT_EQ(peer_array[vn_peer_by_label("source")].counters[kRogueUpdate].value, 0u);
}

} // namespace
