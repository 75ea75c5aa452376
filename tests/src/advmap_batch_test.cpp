// A large request batch end to end on loopback: this process is the
// subscriber, started from its configuration with vn_init; its source is
// played by a thread of the test on the wire. The runtime is process-wide, so
// the case needs a process of its own (as CTest runs it).
#include "data_services.h"
#include "peer_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

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
