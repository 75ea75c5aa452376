// The active cache end to end: the publishing adapter runs as its own process
// with cache-objects on and links out to two test-side peers over loopback,
// which request, discard and read what the cache sends them. Purges, peer
// losses and the cache's own bookkeeping are checked in this process through
// the runtime's callbacks.
#include "cache.h"
#include "child_process.h"
#include "packet_log_bytes.h"
#include "peer_harness.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

using namespace vntest;

namespace {

constexpr int kAdapterId = 11;
constexpr int kFirstRemoteId = 21;
constexpr uint16_t kImageFlags = 0x1030;

struct Received {
    uint16_t type = 0;
    std::string subject;
    uint16_t flags = 0;
    uint16_t code = 0;
    std::string text;
    std::vector<WireField> fields;
};

std::string request_payload(const std::vector<std::string> &subjects)
{
    Bytes out;
    out.u16(0).u16(0).u16(static_cast<unsigned>(subjects.size()));
    for (const std::string &subject : subjects)
        out.text(subject);
    return out.data;
}

bool read_nodata(const std::string &payload, Received *out)
{
    vn_datapkt_t pkt{};
    bool parsed = vn_datapkt_parse(&pkt, VN_NODATA, reinterpret_cast<const unsigned char *>(payload.data()),
                                   payload.size()) == 0;
    if (parsed) {
        out->subject = pkt.subject;
        out->flags = pkt.flags;
    }
    vn_free_datapkt_data(&pkt);
    return parsed;
}

bool read_status(const std::string &payload, Received *out)
{
    vn_statuspkt_t pkt{};
    bool parsed = vn_statuspkt_parse(&pkt, reinterpret_cast<const unsigned char *>(payload.data()),
                                     payload.size()) == 0;
    if (parsed) {
        out->subject = pkt.name;
        out->flags = pkt.flags;
        out->code = pkt.type;
        out->text = pkt.msgstr;
    }
    vn_free_statuspkt_data(&pkt);
    return parsed;
}

// The next update, no-data or status a test-side peer receives.
Received receive(WireSocket &peer)
{
    Received out;
    WireFrame frame;
    while (peer.read_frame(&frame)) {
        out.type = frame.type;
        if (frame.type == VN_DATAUPDATE) {
            ReadUpdate update;
            EXPECT_TRUE(read_update(frame.payload, &update));
            out.subject = update.subject;
            out.flags = update.flags;
            out.fields = update.fields;
            return out;
        }
        if (frame.type == VN_NODATA) {
            EXPECT_TRUE(read_nodata(frame.payload, &out));
            return out;
        }
        if (frame.type == VN_STATUS) {
            EXPECT_TRUE(read_status(frame.payload, &out));
            return out;
        }
    }
    out.type = 0;
    return out;
}

class CacheEndToEnd : public testing::Test {
protected:
    void start(const std::string &options, const std::string &argument = "")
    {
        std::string conf = "vantrix-id " + std::to_string(kAdapterId) + "\ncache-objects\n" + options;
        for (size_t i = 0; i < listeners_.size(); i++)
            conf += "add-peer\nremote-id " + std::to_string(kFirstRemoteId + static_cast<int>(i)) +
                    "\naddr 127.0.0.1\nport " + std::to_string(listeners_[i].port()) + "\nheartbeat-time 30\nend-peer\n";
        root_.write("publisher.conf", conf);
        std::vector<std::string> argv{PUBLISHER_ADAPTER_BIN};
        if (!argument.empty())
            argv.push_back(argument);
        adapter_ = std::make_unique<ChildProcess>(argv, root_.path(), true);
        ASSERT_TRUE(adapter_->wait_for_line([](const std::string &line) { return line == "ready"; }));
        for (size_t i = 0; i < listeners_.size(); i++) {
            peers_[i] = listeners_[i].accept();
            ASSERT_TRUE(peers_[i].valid());
            WireFrame info;
            ASSERT_TRUE(peers_[i].read_frame_of(VN_PEERINFO, &info));
            peers_[i].send(frame(VN_PEERINFO, info_payload(0, 1, static_cast<uint16_t>(kFirstRemoteId + i), "feed")));
        }
    }

    void request(int peer, const std::vector<std::string> &subjects)
    {
        peers_[peer].send(frame(VN_SUBJREQ, request_payload(subjects)));
    }
    Received image_for(int peer, const std::string &subject);
    void discard(int peer, const std::vector<std::string> &subjects)
    {
        peers_[peer].send(frame(VN_SUBJDSC, request_payload(subjects)));
    }
    // Returns once everything the peer sent before has been handled: a peer's
    // frames are handled in order, and a subject nobody else asked for is
    // answered by the application.
    void settle(int peer)
    {
        std::string marker = "sync/" + std::to_string(++markers_);
        request(peer, {marker});
        Received answer = receive(peers_[peer]);
        EXPECT_EQ(answer.subject, marker);
    }
    // What reached the adapter's request and discard callbacks since the last
    // call, markers left out.
    std::vector<std::string> application_saw()
    {
        const std::string pong = "pong " + std::to_string(++pings_);
        adapter_->send_line("ping " + std::to_string(pings_));
        EXPECT_TRUE(adapter_->wait_for_line([&pong](const std::string &line) { return line == pong; }));
        std::vector<std::string> lines = adapter_->lines();
        std::vector<std::string> calls;
        for (; seen_ < lines.size() && lines[seen_] != pong; seen_++) {
            const std::string &line = lines[seen_];
            if (line.find(" sync/") == std::string::npos &&
                (line.rfind("request", 0) == 0 || line.rfind("discard", 0) == 0 || line.rfind("bad", 0) == 0))
                calls.push_back(line);
        }
        seen_++;
        return calls;
    }

    TempRoot root_;
    std::array<WireListener, 2> listeners_;
    std::array<WireSocket, 2> peers_;
    std::unique_ptr<ChildProcess> adapter_;
    int markers_ = 0;
    int pings_ = 0;
    size_t seen_ = 0;
};

using Calls = std::vector<std::string>;

} // namespace

TEST_F(CacheEndToEnd, FirstRequesterGetsTheAnswerAndLaterOnesTheImageWithoutAskingTheApplication)
{
    ASSERT_NO_FATAL_FAILURE(start(""));
    request(0, {"rec/x"});
    Received first = receive(peers_[0]);
    EXPECT_EQ(first.type, VN_DATAUPDATE);
    EXPECT_EQ(first.subject, "rec/x");
    EXPECT_EQ(first.fields, (std::vector<WireField>{{1, "answer-1"}}));
    EXPECT_EQ(application_saw(), Calls{"request 0 0 rec/x"});

    request(1, {"rec/x"});
    Received image = receive(peers_[1]);
    EXPECT_EQ(image.subject, "rec/x");
    EXPECT_EQ(image.flags, kImageFlags);
    EXPECT_EQ(image.fields, (std::vector<WireField>{{1, "answer-1"}}));
    EXPECT_EQ(application_saw(), Calls{});

    adapter_->send_line("publish rec/x later");
    for (WireSocket &peer : peers_) {
        Received update = receive(peer);
        EXPECT_EQ(update.subject, "rec/x");
        EXPECT_EQ(update.flags, 0);
        EXPECT_EQ(update.fields, (std::vector<WireField>{{1, "later"}}));
    }
}

TEST_F(CacheEndToEnd, StatusesAreKeptAndFollowTheImageUnderTheNameMappedOnce)
{
    // Mapping x/... to x/y/... twice would give x/y/y/...
    ASSERT_NO_FATAL_FAILURE(start("add-pattern x/* x/y/*\n"));
    request(0, {"x/y/status/1"});
    EXPECT_EQ(receive(peers_[0]).subject, "x/y/status/1");
    Received status = receive(peers_[0]);
    EXPECT_EQ(status.type, VN_STATUS);
    EXPECT_EQ(status.subject, "x/y/status/1");
    EXPECT_EQ(status.code, 7);
    EXPECT_EQ(status.text, "fine");
    EXPECT_EQ(application_saw(), Calls{"request 0 0 x/status/1"});

    request(1, {"x/y/status/1"});
    Received image = receive(peers_[1]);
    EXPECT_EQ(image.subject, "x/y/status/1");
    EXPECT_EQ(image.flags, kImageFlags);
    Received kept = receive(peers_[1]);
    EXPECT_EQ(kept.type, VN_STATUS);
    EXPECT_EQ(kept.subject, "x/y/status/1");
    EXPECT_EQ(kept.flags, 1);
    EXPECT_EQ(kept.code, 7);

    adapter_->send_line("status x/status/1 9 changed now");
    for (WireSocket &peer : peers_) {
        Received changed = receive(peer);
        EXPECT_EQ(changed.subject, "x/y/status/1");
        EXPECT_EQ(changed.code, 9);
        EXPECT_EQ(changed.text, "changed now");
    }
    // A status for a subject nobody cached goes nowhere; the next frame is the marker.
    adapter_->send_line("status x/never 3 lost");
    adapter_->send_line("publish x/status/1 marker");
    adapter_->send_line("nodata x/status/1 4");
    for (WireSocket &peer : peers_) {
        EXPECT_EQ(receive(peer).type, VN_DATAUPDATE);
        Received gone = receive(peer);
        EXPECT_EQ(gone.type, VN_NODATA);
        EXPECT_EQ(gone.subject, "x/y/status/1");
    }
}

TEST_F(CacheEndToEnd, DiscardsOfCachedSubjectsStayInTheCacheAndOthersReachTheApplication)
{
    ASSERT_NO_FATAL_FAILURE(start(""));
    request(0, {"rec/d"});
    EXPECT_EQ(receive(peers_[0]).subject, "rec/d");
    request(1, {"rec/d", "rec/marker"});
    EXPECT_EQ(receive(peers_[1]).subject, "rec/d");
    EXPECT_EQ(receive(peers_[1]).subject, "rec/marker");
    EXPECT_EQ(application_saw(), (Calls{"request 0 0 rec/d", "request 1 0 rec/marker"}));

    discard(1, {"rec/d", "never/cached"});
    settle(1);
    EXPECT_EQ(application_saw(), Calls{"discard 1 0 never/cached"});
    adapter_->send_line("publish rec/d after");
    adapter_->send_line("publish rec/marker after");
    EXPECT_EQ(receive(peers_[0]).subject, "rec/d");
    EXPECT_EQ(receive(peers_[1]).subject, "rec/marker");
}

TEST_F(CacheEndToEnd, NoDataReachesTheRequestersAndEmptiesTheCacheOfTheSubject)
{
    ASSERT_NO_FATAL_FAILURE(start(""));
    request(0, {"rec/n"});
    EXPECT_EQ(receive(peers_[0]).subject, "rec/n");
    adapter_->send_line("nodata rec/n 4");
    Received gone = receive(peers_[0]);
    EXPECT_EQ(gone.type, VN_NODATA);
    EXPECT_EQ(gone.subject, "rec/n");
    EXPECT_EQ(gone.flags, 4);
    request(1, {"rec/n"});
    EXPECT_EQ(receive(peers_[1]).fields, (std::vector<WireField>{{1, "answer-2"}}));
    EXPECT_EQ(application_saw(), (Calls{"request 0 0 rec/n", "request 1 0 rec/n"}));

    // The application's own no-data answer reaches the peer that asked.
    request(0, {"nodata/q"});
    Received answer = receive(peers_[0]);
    EXPECT_EQ(answer.type, VN_NODATA);
    EXPECT_EQ(answer.subject, "nodata/q");
    EXPECT_EQ(answer.flags, 1);
}

TEST_F(CacheEndToEnd, RequestsNobodyAnswersDoNotStayInTheCache)
{
    ASSERT_NO_FATAL_FAILURE(start(""));
    request(0, {"none/u"});
    settle(0);
    request(1, {"none/u"});
    settle(1);
    EXPECT_EQ(application_saw(), Calls{"request 0 0 none/u"}); // the second requester joins
    discard(0, {"none/u"});
    discard(1, {"none/u"});
    settle(0);
    settle(1);
    EXPECT_EQ(application_saw(), Calls{});
    request(0, {"none/u"});
    settle(0);
    EXPECT_EQ(application_saw(), Calls{"request 0 0 none/u"});
}

TEST_F(CacheEndToEnd, WithoutARequestCallbackUncachedSubjectsAreNotFound)
{
    ASSERT_NO_FATAL_FAILURE(start("", "norequest"));
    request(0, {"rec/z"});
    Received missing = receive(peers_[0]);
    EXPECT_EQ(missing.type, VN_NODATA);
    EXPECT_EQ(missing.subject, "rec/z");
    EXPECT_EQ(missing.flags, 1);
    adapter_->send_line("publish rec/z now");
    // The publish reaches the cache on the adapter's init thread, the request
    // on its peer thread: the adapter's answer to a ping says the publish has
    // run.
    EXPECT_EQ(application_saw(), Calls{});
    request(0, {"rec/z"});
    Received image = receive(peers_[0]);
    EXPECT_EQ(image.flags, kImageFlags);
    EXPECT_EQ(image.fields, (std::vector<WireField>{{1, "now"}}));
}

TEST_F(CacheEndToEnd, ExcludedSubjectsAreNeverStoredSoEveryNewRequesterReachesTheApplication)
{
    ASSERT_NO_FATAL_FAILURE(start("cache-add-exclude-pattern ^ex/\ncache-add-exclude-pattern bad(\n"));
    request(0, {"ex/1"});
    EXPECT_EQ(receive(peers_[0]).fields, (std::vector<WireField>{{1, "answer-1"}}));
    request(1, {"ex/1"});
    // No image to answer from: the application's answer goes to every requester.
    for (WireSocket &peer : peers_) {
        Received answer = receive(peer);
        EXPECT_EQ(answer.flags, 0);
        EXPECT_EQ(answer.fields, (std::vector<WireField>{{1, "answer-2"}}));
    }
    EXPECT_EQ(application_saw(), (Calls{"request 0 0 ex/1", "request 1 0 ex/1"}));

    // Once both have left, the next requester is asked for again, not served from a stale entry.
    discard(0, {"ex/1"});
    discard(1, {"ex/1"});
    settle(1);
    adapter_->send_line("publish ex/1 unasked");
    settle(0);
    request(0, {"ex/1"});
    EXPECT_EQ(receive(peers_[0]).fields, (std::vector<WireField>{{1, "answer-5"}}));
    EXPECT_EQ(application_saw(), Calls{"request 0 0 ex/1"});
    EXPECT_NE(read_file(root_.file("var/event.log")).find("Invalid exlcude regular expression <bad(> configured for caching"),
              std::string::npos);
}

TEST_F(CacheEndToEnd, ConfiguredObjectsAreAskedForAtStartAndServedFromTheCache)
{
    ASSERT_NO_FATAL_FAILURE(start("cache-add-object cfg/1\ncache-add-object cfg/2\n"));
    EXPECT_EQ(application_saw(), Calls{"request -1 4 cfg/1 cfg/2"});
    request(0, {"cfg/2"});
    Received image = receive(peers_[0]);
    EXPECT_EQ(image.subject, "cfg/2");
    EXPECT_EQ(image.flags, kImageFlags);
    EXPECT_EQ(image.fields, (std::vector<WireField>{{1, "answer-2"}}));
    EXPECT_EQ(application_saw(), Calls{});
}

namespace {

// The value of a field of a received record, or "(none)".
std::string field_value(const Received &received, int num)
{
    for (const WireField &field : received.fields)
        if (field.num == num)
            return field.value;
    return "(none)";
}

// What a later requester of a subject the cache holds an image of receives.
Received CacheEndToEnd::image_for(int peer, const std::string &subject)
{
    request(peer, {subject});
    Received image = receive(peers_[peer]);
    EXPECT_EQ(image.subject, subject);
    EXPECT_EQ(image.flags, kImageFlags);
    return image;
}

} // namespace

TEST_F(CacheEndToEnd, WithADelayChannelLiveAndDelayedRecordsGoThroughTheCacheOnce)
{
    // Field 1, the value the adapter publishes, doubles as the chains' initial timestamp.
    ASSERT_NO_FATAL_FAILURE(start("add-field LTY_INIT_TS 1\nadd-field LTY_LIST_EVENT 9002\n"
                                  "add-field LTY_LIST_TS 9003\nlatency-chain-enable\nlatency-chain-name pub\n"
                                  "delay-batch-time 0.05\nadd-delay\ndelay-time 0.1\nprefix /d/\nend-delay\n"));
    // The answer reaches only its requester, and a second one gets the image.
    request(0, {"rec/x"});
    Received first = receive(peers_[0]);
    EXPECT_EQ(first.subject, "rec/x");
    EXPECT_EQ(first.flags, 0);
    EXPECT_EQ(field_value(image_for(1, "rec/x"), 1), "answer-1");
    EXPECT_EQ(application_saw(), Calls{"request 0 0 rec/x"});

    // Delayed copies are cached under their own subject: the live one has no
    // requester, so the delayed one is the first thing peer 0 sees.
    request(0, {"/d/none/y"});
    settle(0);
    adapter_->send_line("publish none/y 1000");
    Received delayed = receive(peers_[0]);
    EXPECT_EQ(delayed.subject, "/d/none/y");
    EXPECT_EQ(delayed.flags, 0);
    EXPECT_EQ(field_value(delayed, 1), "1000");
    EXPECT_EQ(field_value(delayed, 9002), "pub_X"); // one send event per record sent
    EXPECT_EQ(field_value(image_for(1, "/d/none/y"), 1), "1000");
    EXPECT_EQ(application_saw(), Calls{"request 0 0 /d/none/y"});
}

// ---- In this process: purges and lost peers ----

namespace {

std::vector<std::string> asked;

void remember_request(int, int count, char **subjects, uint16_t)
{
    for (int i = 0; i < count; i++)
        asked.emplace_back(subjects[i]);
}

class CacheInProcess : public testing::Test {
protected:
    void start(const std::string &options)
    {
        root_.write("cache.conf", "cache-objects\nlog-level DEBUG\n" + options);
        static std::vector<std::string> args;
        static std::vector<char *> argv;
        args = {"cache_test", "-r", root_.path()};
        argv.clear();
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        init_.recv_request = remember_request;
        init_.logfile = strdup(root_.file("var/event.log").c_str());
        vn_config_init("cache.conf", static_cast<int>(args.size()), argv.data());
        ASSERT_GE(vn_init(&init_, static_cast<int>(args.size()), argv.data()), 0);
    }

    // The entry's fields, read under its hold; false when the subject is not cached.
    bool cached(const std::string &name, cache_t *copy = nullptr)
    {
        cache_t *cache = static_cast<cache_t *>(tarvelutil_hashtable_get(cache_hash, name.c_str(), kCacheWrite));
        if (cache == nullptr)
            return false;
        if (copy != nullptr)
            *copy = *cache;
        release_cache(cache);
        return true;
    }

    void age(const std::string &name, time_t seconds)
    {
        cache_t *cache = static_cast<cache_t *>(tarvelutil_hashtable_get(cache_hash, name.c_str(), kCacheWrite));
        ASSERT_NE(cache, nullptr);
        cache->last_update_time -= seconds;
        release_cache(cache);
    }

    void publish(const std::string &subject, uint16_t type = 222)
    {
        vn_data_t *data = vn_init_data(subject.c_str(), type, 0);
        vn_add_data(data, 1, "v");
        vn_send_data(data);
    }

    TempRoot root_;
    static vn_init_t init_;
};

vn_init_t CacheInProcess::init_;

} // namespace

TEST_F(CacheInProcess, PurgesTakeOldMatchingEntriesButNeverConfiguredOnes)
{
    ASSERT_NO_FATAL_FAILURE(start("cache-add-object old/kept\n"
                                  "add-cache-purge ^old/ 120 1\n"
                                  "add-cache-purge ^x/ soon 1\n"
                                  "add-cache-purge ^y/ 120\n"
                                  "add-cache-purge bad( 120 1\n"));
    ASSERT_EQ(cache_purge_count(), 2u); // a time without digits, or two values, add nothing
    for (const char *subject : {"old/a", "old/b", "old/kept", "old/added", "new/a"})
        publish(subject);
    vn_cache_add_object("old/added"); // an existing entry becomes a configured one
    // One age unit is a day's worth of minutes in seconds.
    for (const char *subject : {"old/a", "old/kept", "old/added", "new/a"})
        age(subject, 1441);
    age("old/b", 1000);
    cache_purge_run(0);
    EXPECT_FALSE(cached("old/a"));
    EXPECT_TRUE(cached("old/b"));
    EXPECT_TRUE(cached("old/kept"));
    EXPECT_TRUE(cached("old/added"));
    EXPECT_TRUE(cached("new/a"));
    std::string log = read_file(root_.file("var/event.log"));
    EXPECT_NE(log.find("Purging cache for object <old/a>\n"), std::string::npos);
    EXPECT_EQ(log.find("Purging cache for object <old/b>"), std::string::npos);
    EXPECT_NE(log.find("Invalid regular expression <bad(> configured for cache purging\n"), std::string::npos);
}

TEST_F(CacheInProcess, ALostPeerLeavesEveryEntryAndEntriesWithoutDataGo)
{
    ASSERT_NO_FATAL_FAILURE(start("cache-add-object cfg/waiting\n"));
    asked.clear();
    char a[] = "pending/a";
    char b[] = "pending/b";
    char *names[] = {a, b, nullptr};
    init_.recv_request(0, 2, names, 0);
    init_.recv_request(1, 1, names + 1, 0);
    char waiting[] = "cfg/waiting";
    char *configured[] = {waiting, nullptr};
    init_.recv_request(0, 1, configured, 0);
    publish("pending/a");
    EXPECT_EQ(asked, (std::vector<std::string>{"pending/a", "pending/b"}));

    init_.recv_peer_status(0, 512, 0, nullptr);
    cache_t entry;
    ASSERT_TRUE(cached("pending/a", &entry)); // it has data
    EXPECT_TRUE(vn_iszero(&entry.peers));
    ASSERT_TRUE(cached("pending/b", &entry)); // peer 1 still waits for it
    EXPECT_FALSE(vn_iszero(&entry.peers));
    EXPECT_TRUE(cached("cfg/waiting")); // configured entries stay
    init_.recv_peer_status(1, 512, 0, nullptr);
    EXPECT_FALSE(cached("pending/b"));
}

TEST_F(CacheInProcess, EntriesThatStoreNothingLeaveWithTheirLastRequesterAndTheNextOneIsAsked)
{
    ASSERT_NO_FATAL_FAILURE(start("cache-add-exclude-pattern ^ex/\n"));
    struct Case {
        const char *subject;
        uint16_t type;
    };
    // Excluded by pattern, and of a type the cache keeps no image for.
    for (const Case &kind : {Case{"ex/a", 222}, Case{"plain/a", 228}}) {
        SCOPED_TRACE(kind.subject);
        std::string subject = kind.subject;
        char *names[] = {subject.data(), nullptr};
        constexpr int kCycles = 100;
        asked.clear();
        for (int cycle = 0; cycle < kCycles; cycle++) {
            std::string each = subject + std::to_string(cycle);
            char *one[] = {each.data(), nullptr};
            init_.recv_request(0, 1, one, 0);
            publish(each, kind.type);
            init_.recv_discard(0, 1, one, 0);
        }
        EXPECT_EQ(tarvelutil_hashtable_get_size(cache_hash), 0);
        EXPECT_EQ(asked.size(), static_cast<size_t>(kCycles));

        // A second requester is passed on too: the entry has nothing to answer it with.
        asked.clear();
        init_.recv_request(0, 1, names, 0);
        publish(subject, kind.type);
        init_.recv_request(1, 1, names, 0);
        EXPECT_EQ(asked, (std::vector<std::string>{subject, subject}));
        init_.recv_discard(0, 1, names, 0);
        EXPECT_TRUE(cached(subject));
        init_.recv_peer_status(1, 512, 0, nullptr);
        EXPECT_FALSE(cached(subject));

        publish(subject, kind.type); // nobody asked for it
        EXPECT_FALSE(cached(subject));
    }
}
