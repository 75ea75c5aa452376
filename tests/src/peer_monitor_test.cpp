// Peer monitoring in a running runtime with the recording monitoring module
// loaded: the templates' getter and methods, the event ring, the publication
// of counters and rates, resets and interval changes on the record's thread,
// the link-up values, and the peer commands as methods and as UDP words.
#include "peer.h"
#include "peer_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace vntest;

namespace {

const char *const kPeers = "peertest.server.peers";
const char *const kStats = "peertest.server.peerstats";

struct MonitorValue {
    std::unique_ptr<vn_monitor_t, void (*)(vn_monitor_t *)> value;
    explicit MonitorValue(vn_monitor_t *raw) : value(raw, vn_monitor_free) {}
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (int32_t i = 0; value != nullptr && i < value->data.array.size; i++)
            out.emplace_back(value->data.array.data.c[i]);
        return out;
    }
};

// Whole lines only. Built by appending: g++ 12 at -O3 misreads "\n" + text
// as an overlapping copy.
bool has_line(const std::string &text, const std::string &line)
{
    std::string padded = "\n";
    padded.append(text);
    std::string wanted = "\n";
    wanted.append(line).append("\n");
    return padded.find(wanted) != std::string::npos;
}

int run_on_init(int, void *data)
{
    (*static_cast<std::function<void()> *>(data))();
    return 0;
}

class PeerMonitor : public testing::Test {
protected:
    // Starts the runtime with the module recording into "calls" in its own root.
    void start(const std::string &conf)
    {
        record_handoffs();
        runtime_ = std::make_unique<PeerRuntime>(std::string("monitor-moddir ") + MONITOR_MODULE_DIR +
                                                 "\nmonitor-module monitor_recorder.so\npeer-monitor-interval 1000\n" +
                                                 conf);
        setenv("VANTRIX_MONITOR_RECORD", runtime_->root().file("calls").c_str(), 1);
        ASSERT_EQ(runtime_->start(), 0);
    }

    std::string calls() const
    {
        return runtime_->root().exists("calls") ? runtime_->root().read("calls") : "";
    }

    // The recorded calls after the first `skip` bytes.
    std::string calls_after(size_t skip) const { return calls().substr(std::min(skip, calls().size())); }

    bool wait_call(const std::string &line, double seconds = kWireDeadline) const
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!has_line(calls(), line)) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Runs `work` on the init thread, which owns the global record, and waits.
    static void on_init(std::function<void()> work)
    {
        tarvelutil_signalany_exec(default_peer.thread->signalany, 0, run_on_init, &work, 0);
    }

    std::unique_ptr<PeerRuntime> runtime_;
};

std::string document()
{
    char *text = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&text, &size);
    vn_monitor_document_templates(fp);
    fclose(fp);
    std::string out(text, size);
    free(text);
    return out;
}

const std::string kAcceptOnly = "add-peer\nlabel quiet\nremote-id 40\nend-peer\n";

TEST_F(PeerMonitor, TemplatesCarryTheEventGetterAndTheMethodsInTheirPlaces)
{
    start(kAcceptOnly);
    std::string doc = document();
    std::vector<std::string> expected = {
        "ATTRIBUTE|local-address|STRING||||Connected Local Address",
        "ATTRIBUTE|recent-events|STRING| ARRAY ACTIVE|||Recent Peer Events",
        "METHOD|peer-reconnect|STRING| METHOD|||Reconnect Peer",
        "ARGUMENT|dest|USHORT|0|||Peer to fail over to (optional)",
        "METHOD|set-down|STRING| METHOD|||Set Status DOWN",
        "METHOD|set-up|STRING| METHOD|||Set Status to UP",
        "ATTRIBUTE|last-update-time|TIMESTAMP||||Last Update Time",
    };
    size_t at = doc.find(expected[0]);
    ASSERT_NE(at, std::string::npos) << doc;
    std::string block;
    for (size_t i = 0; i < expected.size(); i++)
        block += expected[i] + "\n";
    EXPECT_EQ(doc.substr(at, block.size()), block);
    EXPECT_TRUE(has_line(doc, "ATTRIBUTE|monitoring-interval|DOUBLE||||Current Monitoring Interval\n"
                              "METHOD|reset-counters|STRING| METHOD|||Reset Counters\n"
                              "METHOD|set-monitoring-interval|STRING| METHOD|||Set Monitoring Interval\n"
                              "ARGUMENT|interval|DOUBLE|0|||Interval in seconds"))
        << doc;
    // Where it is declared: the statistics template.
    EXPECT_TRUE(has_line(calls(), std::string("update ") + kStats + " 0 monitoring-interval 1000.000000"));
    EXPECT_TRUE(has_line(calls(), std::string("update ") + kStats + " global monitoring-interval 1000.000000"));
}

TEST_F(PeerMonitor, EventRingShowsTheNineNewestOldestFirst)
{
    start(kAcceptOnly);
    auto events = [](const char *key) { return MonitorValue(vnmon_get_active(kPeers, key, "recent-events")).texts(); };
    EXPECT_EQ(events("0"), std::vector<std::string>{"No events available"});
    EXPECT_EQ(events("7"), std::vector<std::string>{"Peer 7 not known"});
    runtime_->on_peer(0, [](peer_t &peer) {
        for (int i = 0; i < 10; i++)
            peer_monitor_event_add(&peer, "event %d", i);
    });
    std::vector<std::string> expected;
    for (int i = 1; i < 10; i++)
        expected.push_back("event " + std::to_string(i));
    EXPECT_EQ(events("0"), expected);
}

TEST_F(PeerMonitor, PublicationSendsChangedCountsAndEveryRate)
{
    start(kAcceptOnly);
    const std::string stats = std::string("update ") + kStats + " 0 ";
    // The first publications were posted at start-up: let them run first.
    runtime_->on_peer(0, [](peer_t &) {});
    on_init([] {});
    size_t mark = calls().size();
    runtime_->on_peer(0, [](peer_t &peer) {
        {
            peer_mutex_guard counters(peer_global_lock);
            peer_count(&peer, kUpdatesRead, 10);
        }
        peer.mon_interval = 2.0;
        peer_monitor_timed_event(0, 1, &peer);
    });
    std::string first = calls_after(mark);
    EXPECT_TRUE(has_line(first, stats + "updates-read-count 10")) << first;
    EXPECT_TRUE(has_line(first, stats + "updates-read-count-since-reset 10"));
    EXPECT_TRUE(has_line(first, stats + "updates-read-rate 5.000000"));
    EXPECT_TRUE(has_line(first, stats + "bytes-read-rate 0.000000"));
    EXPECT_FALSE(has_line(first, stats + "bytes-read-count 0"));
    // Active subscriptions come first.
    EXPECT_LT(first.find(stats + "active-subscriptions-rate"), first.find(stats + "messages-read-rate"));

    // Unchanged since: a rate of 0 only. Without a queue and unforced, only a
    // changed last-update-time goes out.
    mark = calls().size();
    runtime_->on_peer(0, [](peer_t &peer) { peer_monitor_timed_event(0, 1, &peer); });
    std::string second = calls_after(mark);
    EXPECT_TRUE(has_line(second, stats + "updates-read-rate 0.000000")) << second;
    EXPECT_EQ(second.find("updates-read-count"), std::string::npos);
    mark = calls().size();
    runtime_->on_peer(0, [](peer_t &peer) {
        peer_monitor_timed_event(0, 0, &peer);
        peer.last_update_time = 1234;
        peer_monitor_timed_event(0, 0, &peer);
    });
    EXPECT_EQ(calls_after(mark), std::string("update ") + kPeers + " 0 last-update-time 1234000\n");

    // No interval, no rate.
    mark = calls().size();
    runtime_->on_peer(0, [](peer_t &peer) {
        {
            peer_mutex_guard counters(peer_global_lock);
            peer_count(&peer, kUpdatesRead, 10);
        }
        peer.mon_interval = 0;
        peer_monitor_timed_event(0, 1, &peer);
    });
    EXPECT_TRUE(has_line(calls_after(mark), stats + "updates-read-rate 0.000000"));
    EXPECT_TRUE(has_line(calls_after(mark), stats + "updates-read-count 20"));
}

TEST_F(PeerMonitor, ResetAndIntervalRunOnTheRecordsThread)
{
    start(kAcceptOnly);
    runtime_->on_peer(0, [](peer_t &peer) {
        peer_mutex_guard counters(peer_global_lock);
        peer_count(&peer, kMessagesRead, 3);
    });
    MonitorValue reset(vnmon_call_method(kStats, "global", "reset-counters", 1, nullptr));
    ASSERT_NE(reset.value, nullptr);
    EXPECT_EQ(reset.value->data.us, 0);
    ASSERT_TRUE(wait_call(std::string("update ") + kStats + " global messages-read-count-since-reset 0"));
    on_init([] {
        peer_mutex_guard counters(peer_global_lock);
        EXPECT_EQ(default_peer.counters[kMessagesRead].at_reset, default_peer.counters[kMessagesRead].value);
    });
    MonitorValue unknown(vnmon_call_method(kStats, "7", "reset-counters", 1, nullptr));
    EXPECT_EQ(unknown.value->data.us, 0);

    char method[] = "set-monitoring-interval";
    char interval[] = "2.5";
    char *words[] = {method, interval, nullptr};
    MonitorValue set(vnmon_call_method(kStats, "0", method, 2, words));
    EXPECT_EQ(set.value->data.us, 0);
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.mon_interval == 2.0 && peer.mon_tev != nullptr; }));
    ASSERT_TRUE(wait_call(std::string("update ") + kStats + " 0 monitoring-interval 2.000000"));
    char zero[] = "0";
    char *stop_words[] = {method, zero, nullptr};
    MonitorValue stop(vnmon_call_method(kStats, "0", method, 2, stop_words));
    ASSERT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.mon_interval == 0 && peer.mon_tev == nullptr; }));
    EXPECT_TRUE(wait_call(std::string("update ") + kStats + " 0 monitoring-interval 0.000000"));
}

// A runtime connecting out to a listener of the test side.
class PeerMonitorLinked : public PeerMonitor {
protected:
    void start_linked()
    {
        start("vantrix-id 11\nvantrix-name me\nadd-peer\nlabel out\nremote-id 40\naddr 127.0.0.1\nport " +
              std::to_string(listener_.port()) + "\nheartbeat-time 30\nend-peer\n");
        link_ = listener_.accept();
        ASSERT_TRUE(link_.valid());
        // The connecting side speaks first.
        WireFrame info;
        ASSERT_TRUE(link_.read_frame_of(5, &info));
        link_.send(frame(5, info_payload(0, 2, 40, "far")));
        ASSERT_TRUE(handoffs.wait([] { return !handoffs.statuses.empty(); })) << runtime_->event_log();
    }

    WireListener listener_;
    WireSocket link_;
};

TEST_F(PeerMonitorLinked, LinkUpValuesArePublishedAndStateGoesDownAtClose)
{
    start_linked();
    const std::string peers = std::string("update ") + kPeers + " 0 ";
    // Published again once the remote PEERINFO names the peer.
    EXPECT_TRUE(wait_call(peers + "remote-name far"));
    std::string recorded = calls();
    EXPECT_TRUE(has_line(recorded, peers + "state UP")) << recorded;
    EXPECT_TRUE(has_line(recorded, peers + "connected-address 127.0.0.1"));
    EXPECT_TRUE(has_line(recorded, peers + "connected-port " + std::to_string(listener_.port())));
    EXPECT_TRUE(has_line(recorded, peers + "remote-id 40"));
    EXPECT_TRUE(has_line(recorded, peers + "local-address 127.0.0.1"));
    EXPECT_NE(recorded.find(peers + "local-port "), std::string::npos);
    auto events = MonitorValue(vnmon_get_active(kPeers, "0", "recent-events")).texts();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], "Connecting to peer id 40 on 127.0.0.1 " + std::to_string(listener_.port()));
    link_ = WireSocket();
    EXPECT_TRUE(wait_call(peers + "state DOWN"));
}

TEST_F(PeerMonitorLinked, MethodsAndUdpWordsReconnectAndTakeThePeerDownAndUp)
{
    start_linked();
    auto call = [](const char *key, const char *property) {
        char word[32];
        std::snprintf(word, sizeof word, "%s", property);
        char *words[] = {word, nullptr};
        MonitorValue value(vnmon_call_method(kPeers, key, property, 1, words));
        return value.value != nullptr && value.value->data.c != nullptr ? std::string(value.value->data.c) : "";
    };
    EXPECT_EQ(call("9", "peer-reconnect"), "Invalid peer number");
    EXPECT_EQ(call("9", "set-down"), "Invalid peer number");
    EXPECT_EQ(call("0", "peer-reconnect"), "Attempting to failover peer");
    EXPECT_TRUE(link_.wait_eof());
    link_ = listener_.accept();
    EXPECT_TRUE(link_.valid()) << runtime_->event_log();

    EXPECT_EQ(call("0", "set-down"), "Set peer state");
    EXPECT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.reject_conns == 1; }));
    EXPECT_EQ(call("0", "set-up"), "Set peer state");
    EXPECT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.reject_conns == 0; }));

    // The same from the command port; words without a peer number are ignored.
    for (const char *ignored : {"peer-status-down", "peer-status-up", "peer-reconnect", "peer-reconnect 9"})
        ASSERT_EQ(vn_udpsignal_send(ignored), 0);
    ASSERT_EQ(vn_udpsignal_send("peer-status-down 0"), 0);
    EXPECT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.reject_conns == 1; }));
    ASSERT_EQ(vn_udpsignal_send("peer-status-up 0"), 0);
    EXPECT_TRUE(runtime_->wait_peer(0, [](peer_t &peer) { return peer.reject_conns == 0; }));
    EXPECT_TRUE(runtime_->wait_log("Setting status of peer 0 to UP"));
}

TEST_F(PeerMonitorLinked, PublicationRunsWhileOtherThreadsCount)
{
    start_linked();
    char method[] = "set-monitoring-interval";
    char interval[] = "1";
    char *words[] = {method, interval, nullptr};
    MonitorValue set(vnmon_call_method(kStats, "0", method, 2, words));
    std::atomic<bool> done{false};
    std::thread sender([&] {
        while (!done) {
            vn_data_t *data = vn_init_data("RACE", 222, 0);
            vn_add_data(data, 1, "x");
            vn_send_data_to_peer(0, data);
        }
    });
    // Two publications with counts while the sender runs.
    const std::string written = std::string("update ") + kStats + " 0 messages-written-count ";
    auto publications = [&] {
        std::string text = calls();
        int count = 0;
        for (size_t at = text.find(written); at != std::string::npos; at = text.find(written, at + 1))
            count++;
        return count;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWireDeadline);
    while (publications() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    done = true;
    sender.join();
    EXPECT_GE(publications(), 2);
}

} // namespace
