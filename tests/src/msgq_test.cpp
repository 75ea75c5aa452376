// Message queues over real sockets (socket pairs and loopback TCP) with real
// event loops, on one thread or handed between threads.
#include "event.h"
#include "msgq.h"
#include "msgq_fixtures.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace msgqtest;

namespace {

// ---- Bytes as a peer writes them, built here independently of the queue ----

std::string u16(uint32_t value)
{
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string frame(uint16_t type, const std::string &payload, bool long_header = false)
{
    if (!long_header && payload.size() <= 32767)
        return u16(type) + u16(static_cast<uint32_t>(payload.size())) + payload;
    uint32_t word = static_cast<uint32_t>(payload.size()) | 0x80000000u;
    return u16(type) + u16(word >> 16) + u16(word & 0xFFFF) + payload;
}

std::string numbered(int number, size_t size)
{
    std::string payload = std::to_string(number) + ":";
    payload.resize(size, 'x');
    return payload;
}

// ---- Sockets ----

void tcp_link(Link &link)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
    link.far = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(link.far, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    link.near = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(link.near, 0);
    int on = 1;
    setsockopt(link.near, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(link.far, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    set_nonblocking(link.near);
    set_nonblocking(link.far);
}

void write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EAGAIN) {
            struct pollfd watch {fd, POLLOUT, 0};
            poll(&watch, 1, 1000);
            continue;
        }
        ASSERT_GT(written, 0);
        done += static_cast<size_t>(written);
    }
}

// Everything the socket holds now; sets *eof when the other side has closed.
std::string read_available(int fd, bool *eof = nullptr)
{
    std::string bytes;
    char chunk[65536];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            bytes.append(chunk, static_cast<size_t>(got));
            continue;
        }
        if (got == 0 && eof != nullptr)
            *eof = true;
        return bytes;
    }
}

// Reads from a socket written by another thread's loop until `count` frames
// came in all, the stream ended, or the deadline passed; `bytes` holds what
// was read before and keeps what is left.
std::vector<Frame> wait_frames(int fd, std::string &bytes, size_t count)
{
    std::vector<Frame> frames = parse_frames(bytes);
    bool eof = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kDeadlineSeconds);
    while (frames.size() < count && !eof && std::chrono::steady_clock::now() < deadline) {
        struct pollfd watch {fd, POLLIN, 0};
        poll(&watch, 1, 100);
        bytes += read_available(fd, &eof);
        for (Frame &cut : parse_frames(bytes))
            frames.push_back(std::move(cut));
    }
    return frames;
}

std::vector<Frame> wait_frames(int fd, size_t count)
{
    std::string bytes;
    return wait_frames(fd, bytes, count);
}

// ---- Loops ----

void make_loop()
{
    _vn_event_init(nullptr);
    ASSERT_EQ(_vn_event_thread_init(nullptr, kEpoll, 0), 1);
}

struct Waiter {
    std::function<bool()> condition;
    bool ended = false; // a timer that returned 0 is gone
};

int check_condition(int, int, void *data)
{
    Waiter *waiter = static_cast<Waiter *>(data);
    if (!waiter->condition())
        return 1;
    waiter->ended = true;
    vn_stop();
    return 0;
}

int give_up(int, int, void *data)
{
    static_cast<Waiter *>(data)->ended = true;
    vn_stop();
    return 0;
}

// Runs this thread's loop until the condition holds, polling it every
// millisecond, or until a generous deadline.
bool run_until(const std::function<bool()> &condition)
{
    if (condition())
        return true;
    Waiter poller{condition};
    Waiter deadline{};
    vn_timed_event_t *poll_event = vn_add_timed_event(0, 0.001, check_condition, 0, &poller);
    vn_timed_event_t *deadline_event = vn_add_timed_event(0, kDeadlineSeconds, give_up, 0, &deadline);
    vn_loop();
    if (!poller.ended)
        vn_del_timed_event(poll_event);
    if (!deadline.ended)
        vn_del_timed_event(deadline_event);
    return condition();
}

// Runs this thread's loop until `count` frames have come on fd.
std::vector<Frame> run_until_frames(int fd, size_t count)
{
    std::string bytes;
    std::vector<Frame> frames;
    run_until([&] {
        bytes += read_available(fd);
        for (Frame &cut : parse_frames(bytes))
            frames.push_back(std::move(cut));
        return frames.size() >= count;
    });
    return frames;
}

// ---- What a read callback saw ----

struct Received {
    uint16_t type;
    std::string payload;
    bool closed;
};

struct Reader {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Received> got;
    int result = 1;                                         // returned for every message
    std::function<int(vn_msgq_t *, vn_msg_t *)> on_message; // replaces `result` when set

    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return got.size();
    }
    std::vector<Received> snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return got;
    }
    bool wait_for(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(kDeadlineSeconds),
                                [&] { return got.size() >= count; });
    }
};

int record(vn_msgq_t *queue, vn_msg_t *msg, int, void *data)
{
    Reader *reader = static_cast<Reader *>(data);
    {
        std::lock_guard<std::mutex> lock(reader->mutex);
        std::string payload = msg->len != 0 ? std::string(reinterpret_cast<char *>(msg->msg), msg->len) : "";
        reader->got.push_back({msg->type, payload, msg->closed != 0});
    }
    reader->changed.notify_all();
    return reader->on_message ? reader->on_message(queue, msg) : reader->result;
}

vn_msg_t message(uint16_t type, std::string &payload)
{
    return {type, static_cast<uint32_t>(payload.size()), reinterpret_cast<unsigned char *>(payload.data()), nullptr,
            0};
}

int send(vn_msgq_t *queue, uint16_t type, std::string payload)
{
    vn_msg_t msg = message(type, payload);
    return vn_msgq_send_msg_stream_buffer(queue, &msg);
}

int writeq_len(vn_msgq_t *queue)
{
    msgq_lock lock(queue);
    return queue->writeq_len;
}

class MsgqTest : public ::testing::Test {
protected:
    void SetUp() override { make_loop(); }
};

} // namespace

// ---- Framing ----

TEST_F(MsgqTest, PayloadsUpTo32767TakeTheShortHeaderAndLargerOnesTheLong)
{
    struct Case {
        size_t payload;
        std::string header;
    };
    const Case cases[] = {
        {0, std::string("\x00\x08\x00\x00", 4)},
        {32767, std::string("\x00\x08\x7F\xFF", 4)},
        {32768, std::string("\x00\x08\x80\x00\x80\x00", 6)},
        {70000, std::string("\x00\x08\x80\x01\x11\x70", 6)},
    };
    for (const Case &c : cases) {
        Link link;
        unix_link(link);
        vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
        std::string payload(c.payload, 'p');
        ASSERT_EQ(send(queue, 8, payload), 0);
        std::string bytes;
        ASSERT_TRUE(run_until([&] {
            bytes += read_available(link.far);
            return bytes.size() >= c.header.size() + c.payload;
        }));
        EXPECT_EQ(bytes, c.header + payload) << c.payload;
        vn_free_msgq(queue);
    }
}

TEST_F(MsgqTest, FrameArrivingOneByteAtATimeIsDispatchedOnceWhenItsLastByteArrives)
{
    // The empty frame is complete with its 4-byte header alone.
    const std::string cases[] = {frame(3, "subject"), frame(7, "abcd", true), frame(6, "")};
    for (const std::string &bytes : cases) {
        Link link;
        unix_link(link);
        Reader reader;
        vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
        for (size_t i = 0; i < bytes.size(); i++) {
            write_all(link.far, bytes.substr(i, 1));
            ASSERT_TRUE(run_until([&] { return queue->bytes_recvd == i + 1; }));
            EXPECT_EQ(reader.count(), i + 1 == bytes.size() ? 1u : 0u) << "after byte " << i;
        }
        std::string copy = bytes;
        Frame expected = parse_frames(copy).at(0);
        EXPECT_EQ(reader.got.at(0).type, expected.type);
        EXPECT_EQ(reader.got.at(0).payload, expected.payload);
        vn_free_msgq(queue);
    }
}

TEST_F(MsgqTest, FrameLargerThanTheReadBufferGrowsItToExactlyItsSize)
{
    for (size_t size : {16381u, 40000u, 1000000u}) {
        Link link;
        unix_link(link);
        Reader reader;
        vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
        std::string big = numbered(1, size);
        std::string bytes = frame(8, big) + frame(7, "tail");
        size_t sent = 0;
        // Written as the socket takes it, so the reads come in pieces.
        ASSERT_TRUE(run_until([&] {
            if (sent < bytes.size()) {
                ssize_t written = write(link.far, bytes.data() + sent, bytes.size() - sent);
                sent += written > 0 ? static_cast<size_t>(written) : 0;
            }
            return reader.count() == 2;
        })) << size;
        EXPECT_EQ(static_cast<size_t>(queue->read_bufsize), frame(8, big).size()) << size;
        EXPECT_EQ(reader.got[0].payload, big) << size;
        EXPECT_EQ(reader.got[1].payload, "tail") << size;
        vn_free_msgq(queue);
    }
}

TEST_F(MsgqTest, ReadAfterAFullReadNeitherWaitsOnABlockingSocketNorFailsOnAPipe)
{
    // Four frames fill one read exactly, so the reader tries the descriptor
    // again at once; it was made blocking, or is not a socket at all.
    std::string chunk;
    for (int i = 0; i < 4; i++)
        chunk += frame(3, numbered(i, 4092));
    ASSERT_EQ(chunk.size(), 16384u);
    // A reader that gave the pipe up closes it: the next write fails instead of ending the test.
    signal(SIGPIPE, SIG_IGN);
    for (bool use_pipe : {false, true}) {
        int ends[2];
        ASSERT_EQ(use_pipe ? pipe(ends) : socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        LoopThread loop;
        Reader reader;
        vn_msgq_t *queue = nullptr;
        loop.call([&] { queue = vn_new_msgq(ends[0], 0, record, nullptr, 0, &reader); });
        write_all(ends[1], chunk);
        ASSERT_TRUE(reader.wait_for(4)) << use_pipe;
        // A read waiting for more bytes would hold the loop until the next frame.
        std::promise<void> ran;
        loop.post([&ran] { ran.set_value(); });
        std::future_status free = ran.get_future().wait_for(std::chrono::duration<double>(kDeadlineSeconds / 4));
        EXPECT_EQ(free, std::future_status::ready) << use_pipe;
        write_all(ends[1], frame(3, "fifth"));
        ASSERT_TRUE(reader.wait_for(5)) << use_pipe;
        std::vector<Received> got = reader.snapshot();
        EXPECT_EQ(got.size(), 5u) << use_pipe;
        EXPECT_EQ(got[4].payload, "fifth") << use_pipe;
        EXPECT_FALSE(got[4].closed) << use_pipe;
        loop.call([&] { vn_free_msgq(queue); });
        close(ends[0]);
        close(ends[1]);
    }
}

TEST_F(MsgqTest, HostileFrameLengthsCloseTheLinkWithoutAllocating)
{
    struct Case {
        const char *name;
        uint32_t limit; // 0: an established link's
        std::string header;
        bool refused;
    };
    const Case cases[] = {
        {"largest 31-bit length", 0, std::string("\x00\x08\xFF\xFF\xFF\xFF", 6), true},
        {"just over 256 MiB", 0, std::string("\x00\x08\x90\x00\x00\x01", 6), true},
        {"pending, one over the largest PEERINFO", VN_MSGQ_PENDING_FRAME_LIMIT,
         std::string("\x00\x05\x80\x02\x00\x0B", 6), true},
        {"pending, the largest PEERINFO", VN_MSGQ_PENDING_FRAME_LIMIT, std::string("\x00\x05\x80\x02\x00\x0A", 6),
         false},
        {"256 MiB announced", 0, std::string("\x00\x08\x90\x00\x00\x00", 6), false},
    };
    for (const Case &c : cases) {
        Link link;
        unix_link(link);
        Reader reader;
        vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
        _vn_msgq_frame_limit_set(queue, c.limit);
        write_all(link.far, c.header + "some");
        ASSERT_TRUE(run_until([&] { return queue->bytes_recvd == c.header.size() + 4; })) << c.name;
        if (c.refused) {
            ASSERT_TRUE(run_until([&] { return reader.count() == 1; })) << c.name;
            EXPECT_TRUE(reader.got[0].closed) << c.name;
            EXPECT_EQ(reader.got[0].type, 0) << c.name;
            EXPECT_EQ(queue->read_bufsize, kMsgqChunkBytes) << c.name;
            EXPECT_EQ(queue->read_fd, -1) << c.name;
            link.forget_near();
            bool eof = false;
            ASSERT_TRUE(run_until([&] {
                read_available(link.far, &eof);
                return eof;
            })) << c.name;
        } else {
            // Taken, but the buffer grows only with the bytes that come.
            EXPECT_EQ(reader.count(), 0u) << c.name;
            EXPECT_EQ(queue->read_fd, link.near) << c.name;
            EXPECT_EQ(queue->read_bufsize, kMsgqChunkBytes) << c.name;
        }
        vn_free_msgq(queue);
    }
}

TEST_F(MsgqTest, PeerVanishingMidFrameIsReportedOnceAsLostAndTheQueueKeepsItsBuffers)
{
    Link link;
    tcp_link(link);
    Reader reader;
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
    vn_msgq_write_socket_set(queue, -1, nullptr); // as while a peer is down
    ASSERT_EQ(send(queue, 8, "kept"), 0);
    std::string half = frame(8, "a whole frame").substr(0, 7);
    write_all(link.far, frame(7, "full") + half);
    close(link.far);
    link.far = -1;
    ASSERT_TRUE(run_until([&] { return reader.count() == 2; }));
    link.forget_near();
    EXPECT_EQ(reader.got[0].payload, "full");
    EXPECT_TRUE(reader.got[1].closed);
    EXPECT_EQ(queue->read_fd, -1);
    EXPECT_EQ(queue->read_len, 0);
    EXPECT_EQ(writeq_len(queue), 1);
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, QueueFreedInsideItsOwnReadCallbackIsNeverTouchedAgain)
{
    // Run under AddressSanitizer this shows any use after the free.
    for (bool on_close : {false, true}) {
        Link link;
        unix_link(link);
        Reader reader;
        reader.on_message = [&](vn_msgq_t *queue, vn_msg_t *msg) {
            if (msg->closed == (on_close ? 1 : 0))
                vn_free_msgq(queue);
            return 1;
        };
        ASSERT_NE(vn_new_msgq(link.near, 0, record, nullptr, 0, &reader), nullptr);
        write_all(link.far, frame(3, "one") + frame(3, "two") + frame(3, "three"));
        if (on_close)
            shutdown(link.far, SHUT_WR);
        ASSERT_TRUE(run_until([&] { return reader.count() == (on_close ? 4u : 1u); }));
        // Give the loop passes in which a stale watch would fire.
        bool eof = false;
        run_until([&] {
            read_available(link.far, &eof);
            return true;
        });
        EXPECT_EQ(reader.count(), on_close ? 4u : 1u);
    }
}

TEST_F(MsgqTest, CallbackResultZeroFreesTheQueueAndAClosingCallbackStopsThePass)
{
    Link link;
    unix_link(link);
    Reader reader;
    reader.on_message = [&](vn_msgq_t *queue, vn_msg_t *msg) {
        if (msg->type == 9) // an unknown type: the link is closed, the queue kept
            vn_close_msgq(queue);
        return 1;
    };
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
    write_all(link.far, frame(3, "a") + frame(9, "b") + frame(3, "c"));
    ASSERT_TRUE(run_until([&] { return reader.count() == 2; }));
    link.forget_near();
    EXPECT_EQ(queue->read_fd, -1);
    EXPECT_EQ(queue->read_len, 0);
    bool eof = false;
    ASSERT_TRUE(run_until([&] {
        read_available(link.far, &eof);
        return eof;
    }));
    EXPECT_EQ(reader.count(), 2u);
    vn_free_msgq(queue);

    Link second;
    unix_link(second);
    Reader finishing;
    finishing.result = 0;
    vn_new_msgq(second.near, 0, record, nullptr, 0, &finishing);
    write_all(second.far, frame(3, "last") + frame(3, "never"));
    ASSERT_TRUE(run_until([&] { return finishing.count() == 1; }));
    run_until([] { return true; });
    EXPECT_EQ(finishing.count(), 1u); // freed after the first; the leak checker sees no queue left
}

// ---- Batching ----

TEST_F(MsgqTest, FirstFrameOnAnIdleLineGoesAtOnceAndLaterOnesAtTheBatchTick)
{
    Link link;
    unix_link(link);
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
    std::string bytes;
    ASSERT_EQ(send(queue, 8, "first"), 0);
    bytes = read_available(link.far);
    EXPECT_EQ(parse_frames(bytes), (std::vector<Frame>{{8, "first"}}));
    ASSERT_EQ(send(queue, 8, "second"), 0);
    ASSERT_EQ(send(queue, 8, "third"), 0);
    EXPECT_EQ(read_available(link.far), ""); // gathered until the batch timer's tick
    ASSERT_TRUE(run_until([&] {
        bytes += read_available(link.far);
        return bytes.size() >= 2 * 4 + 11;
    }));
    EXPECT_EQ(parse_frames(bytes), (std::vector<Frame>{{8, "second"}, {8, "third"}}));
    // A tick with nothing to write ends the timer: the line is idle again.
    ASSERT_TRUE(run_until([&] {
        msgq_lock lock(queue);
        return queue->write_timer == nullptr;
    }));
    ASSERT_EQ(send(queue, 8, "fourth"), 0);
    bytes = read_available(link.far);
    EXPECT_EQ(parse_frames(bytes), (std::vector<Frame>{{8, "fourth"}}));
    vn_free_msgq(queue);
}

// Sets the batch time through a configuration of its own for one test, and
// puts the time back after: the other tests of this process batch at the
// default. The configuration stays current, since its options are never
// freed.
struct BatchTime {
    explicit BatchTime(const char *seconds)
    {
        vn_config_set_ctx(vn_config_new_ctx());
        _vn_msgq_config_init();
        vn_config_set_option("vantrix-batch-time", seconds);
    }
    ~BatchTime() { c_vantrix_batch_time = previous_time; }
    double previous_time = c_vantrix_batch_time;
};

TEST_F(MsgqTest, BatchTimeZeroWritesEveryFrameAtOnce)
{
    BatchTime batch_time("0");
    ASSERT_EQ(c_vantrix_batch_time, 0.0);
    Link link;
    unix_link(link);
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(send(queue, 8, numbered(i, 10)), 0);
        std::string bytes = read_available(link.far);
        EXPECT_EQ(parse_frames(bytes), (std::vector<Frame>{{8, numbered(i, 10)}}));
    }
    EXPECT_EQ(queue->write_timer, nullptr);
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, FullSocketIsLeftToAWriteWatchAndEverythingArrivesInOrder)
{
    Link link;
    tcp_link(link);
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
    constexpr int kFrames = 200;
    for (int i = 0; i < kFrames; i++)
        ASSERT_EQ(send(queue, 8, numbered(i, 20000)), 0);
    std::vector<Frame> frames = run_until_frames(link.far, kFrames);
    ASSERT_EQ(frames.size(), kFrames);
    for (int i = 0; i < kFrames; i++)
        ASSERT_EQ(frames[i].payload, numbered(i, 20000));
    EXPECT_EQ(queue->bytes_sent, kFrames * (20000u + 4));
    vn_free_msgq(queue);
}

// ---- Slow consumers ----

// Lowers the slow-consumer bounds for one test and puts them back after.
struct SlowConsumerBounds {
    explicit SlowConsumerBounds(const msgq_slow_consumer_bounds_t &bounds) { _vn_msgq_slow_consumer_bounds_set(bounds); }
    ~SlowConsumerBounds() { _vn_msgq_slow_consumer_bounds_set(kMsgqSlowConsumerBounds); }
};

uint64_t writeq_bytes(vn_msgq_t *queue)
{
    msgq_lock lock(queue);
    return queue->writeq_bytes;
}

// Keeps what the kernel holds for an unread link small, so a stalled
// consumer shows after a few hundred KB.
void shrink_socket_buffers(Link &link)
{
    int small = 65536;
    setsockopt(link.near, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(link.far, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
}

TEST_F(MsgqTest, ConsumerThatStopsReadingIsCutAsALostLinkAndItsQueueBounded)
{
    constexpr uint64_t kMiB = 1 << 20;
    struct Case {
        const char *name;
        msgq_slow_consumer_bounds_t bounds;
        bool cut_on_append; // the append that passes the bound cuts; else the owner notices the stall
    } cases[] = {
        {"too much queued", {1 * kMiB, 1 * kMiB, 3600}, true},
        {"stalled", {64 * kMiB, kMiB / 4, 0.2}, false},
    };
    constexpr int kWriteqMax = 5;
    for (const Case &c : cases) {
        SlowConsumerBounds bounds(c.bounds);
        Link link;
        tcp_link(link);
        shrink_socket_buffers(link);
        Reader reader;
        uint64_t reported = 0;
        reader.on_message = [&](vn_msgq_t *queue, vn_msg_t *msg) {
            if (msg->closed)
                reported = _vn_msgq_slow_consumer_bytes(queue);
            return 1;
        };
        vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
        vn_msgq_write_queue_set(queue, kWriteqMax);
        // The loop does not run while these go in: the socket is never
        // found full, so only the byte bound can cut here.
        int sent = 0;
        while (writeq_bytes(queue) <= 2 * kMiB && _vn_msgq_slow_consumer_bytes(queue) == 0) {
            ASSERT_EQ(send(queue, 8, numbered(sent++, 1000)), 0);
            if (writeq_bytes(queue) > c.bounds.queued_bytes) {
                ASSERT_NE(_vn_msgq_slow_consumer_bytes(queue), 0u) << c.name;
            }
        }
        EXPECT_EQ(_vn_msgq_slow_consumer_bytes(queue) != 0, c.cut_on_append) << c.name;
        ASSERT_TRUE(run_until([&] { return reader.count() == 1; })) << c.name;
        EXPECT_TRUE(reader.got[0].closed) << c.name;
        EXPECT_GT(reported, c.bounds.stalled_bytes) << c.name;
        EXPECT_LE(reported, c.bounds.queued_bytes + 1004) << c.name;
        link.forget_near();
        EXPECT_EQ(queue->write_fd, -1) << c.name;
        EXPECT_LT(writeq_len(queue), kWriteqMax) << c.name;
        EXPECT_EQ(_vn_msgq_slow_consumer_bytes(queue), 0u) << c.name; // a next link starts afresh
        vn_free_msgq(queue);
    }
}

TEST_F(MsgqTest, ConsumerDrainingABurstAtFullSpeedIsNeverCut)
{
    // A burst many times the stalled bound, read as fast as it comes.
    SlowConsumerBounds bounds({64 << 20, 1 << 20, kMsgqSlowConsumerBounds.stall_seconds});
    Link link;
    tcp_link(link);
    Reader reader;
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
    constexpr int kFrames = 8 * 1024;
    for (int i = 0; i < kFrames; i++)
        ASSERT_EQ(send(queue, 8, numbered(i, 1000)), 0);
    ASSERT_GT(writeq_bytes(queue), 4u << 20);
    auto received = std::async(std::launch::async, [&] { return wait_frames(link.far, kFrames).size(); });
    EXPECT_TRUE(run_until([&] { return received.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(received.get(), static_cast<size_t>(kFrames));
    EXPECT_EQ(reader.count(), 0u);
    EXPECT_EQ(_vn_msgq_slow_consumer_bytes(queue), 0u);
    vn_free_msgq(queue);
}

// ---- Other threads ----

TEST_F(MsgqTest, AppendsFromAnotherThreadWriteOneWakeUpByteUntilTheOwnerRuns)
{
    Link link;
    tcp_link(link);
    LoopThread owner;
    vn_msgq_t *queue = nullptr;
    owner.call([&] { queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr); });
    // Hold the owner inside a call while this thread appends.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> holding;
    owner.post([released, &holding] {
        holding.set_value();
        released.wait();
    });
    holding.get_future().wait();
    constexpr int kFrames = 100;
    for (int i = 0; i < kFrames; i++)
        ASSERT_EQ(send(queue, 8, numbered(i, 30)), 0);
    int waiting = 0;
    ASSERT_EQ(ioctl(queue->pipe_read_fd, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 1);
    release.set_value();
    std::vector<Frame> frames = wait_frames(link.far, kFrames);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    for (int i = 0; i < kFrames; i++)
        EXPECT_EQ(frames[i].payload, numbered(i, 30));
    owner.call([&] { vn_free_msgq(queue); });
}

TEST_F(MsgqTest, HandOverDispatchesFramesPipelinedBehindTheFirstAtOnceOnTheNewThread)
{
    Link link;
    tcp_link(link);
    // The first frame, two complete ones behind it and half of a fourth, all
    // in the socket before the first read.
    std::string fourth = frame(3, "fourth");
    write_all(link.far, frame(5, "info") + frame(3, "request") + frame(7, "beat") + fourth.substr(0, 5));
    LoopThread first_thread, second_thread;
    Reader first_reader, second_reader;
    std::promise<int> handed;
    first_reader.on_message = [&](vn_msgq_t *queue, vn_msg_t *) {
        int mask = vn_msgq_remove_from_thread(queue);
        handed.set_value(mask);
        second_thread.post([queue, mask, &second_reader] {
            vn_msgq_add_to_thread(queue, mask);
            _vn_msgq_frame_limit_set(queue, 0);
            vn_msgq_callback_set(queue, record, 0, &second_reader);
        });
        return -1;
    };
    vn_msgq_t *queue = nullptr;
    first_thread.call([&] {
        queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &first_reader);
        _vn_msgq_frame_limit_set(queue, VN_MSGQ_PENDING_FRAME_LIMIT);
    });
    int mask = handed.get_future().get();
    EXPECT_EQ(mask & (kMsgqReadWatch | kMsgqMonitorTimer), kMsgqReadWatch | kMsgqMonitorTimer);
    ASSERT_TRUE(second_reader.wait_for(2));
    EXPECT_EQ(first_reader.count(), 1u);
    write_all(link.far, fourth.substr(5));
    ASSERT_TRUE(second_reader.wait_for(3));
    std::vector<Received> got = second_reader.snapshot();
    EXPECT_EQ(got[0].payload, "request");
    EXPECT_EQ(got[1].payload, "beat");
    EXPECT_EQ(got[2].payload, "fourth");
    // The new owner writes what other threads append.
    ASSERT_EQ(send(queue, 8, "reply"), 0);
    EXPECT_EQ(wait_frames(link.far, 1), (std::vector<Frame>{{8, "reply"}}));
    second_thread.call([&] { vn_free_msgq(queue); });
}

// ---- Detached write side, close and copy ----

TEST_F(MsgqTest, DetachedQueueKeepsFewerThanItsLimitDroppingTheOldest)
{
    struct Case {
        int max;
        int kept;
    };
    const Case cases[] = {{50, 49}, {3, 2}, {0, 0}, {-5, 0}};
    constexpr int kFrames = 60;
    constexpr size_t kPayload = 16378; // a whole 16 KB buffer with its header
    for (const Case &c : cases) {
        Link link;
        unix_link(link);
        vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
        vn_msgq_write_socket_set(queue, -1, nullptr);
        vn_msgq_write_queue_set(queue, c.max);
        for (int i = 0; i < kFrames; i++)
            ASSERT_EQ(send(queue, 8, numbered(i, kPayload)), 0);
        EXPECT_EQ(writeq_len(queue), c.kept) << c.max;
        vn_msgq_write_socket_set(queue, link.near, nullptr);
        vn_msgq_flush_write_queue(queue);
        std::vector<Frame> frames = run_until_frames(link.far, static_cast<size_t>(c.kept));
        ASSERT_EQ(frames.size(), static_cast<size_t>(c.kept)) << c.max;
        for (int i = 0; i < c.kept; i++)
            EXPECT_EQ(frames[i].payload, numbered(kFrames - c.kept + i, kPayload)) << c.max;
        vn_free_msgq(queue);
    }
}

namespace {

constexpr int kCutFrames = 200;
constexpr size_t kCutPayload = 997;

// Small numbered frames, many to a buffer, written until the socket is
// full, so that the cut falls inside the oldest buffer with complete frames
// behind it. `whole` gets the frames the remote took whole, `rest` the
// bytes of the cut one.
void cut_a_frame(Link &link, vn_msgq_t **queue, std::vector<Frame> *whole, std::string *rest)
{
    unix_link(link, 4096);
    *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
    vn_msgq_write_socket_set(*queue, -1, nullptr);
    for (int i = 0; i < kCutFrames; i++)
        ASSERT_EQ(send(*queue, 8, numbered(i, kCutPayload)), 0);
    vn_msgq_write_socket_set(*queue, link.near, nullptr);
    ASSERT_EQ(vn_msgq_flush_write_queue(*queue), 1); // the socket took part
    *rest = read_available(link.far);
    *whole = parse_frames(*rest);
    ASSERT_FALSE(rest->empty()) << "the write ended on a frame boundary";
}

} // namespace

TEST_F(MsgqTest, FrameCutWhenItsLinkEndsGoesWholeWithEverythingAfterItOnTheNextLink)
{
    // The link ends by a close, by the write side moving to another socket,
    // or by its buffers moving to another queue.
    constexpr int kFrames = kCutFrames;
    constexpr size_t kPayload = kCutPayload;
    enum Ending { kClose, kMoveSocket, kMoveQueue };
    for (Ending ending : {kClose, kMoveSocket, kMoveQueue}) {
        Link link;
        vn_msgq_t *queue = nullptr;
        std::vector<Frame> old_frames;
        std::string old_bytes;
        ASSERT_NO_FATAL_FAILURE(cut_a_frame(link, &queue, &old_frames, &old_bytes)) << ending;
        Link next;
        unix_link(next);
        vn_msgq_t *writer = queue;
        if (ending == kClose) {
            vn_close_msgq(queue);
            link.forget_near();
            vn_msgq_write_socket_set(queue, next.near, nullptr);
        } else if (ending == kMoveSocket) {
            vn_msgq_write_socket_set(queue, next.near, nullptr);
        } else {
            writer = vn_new_msgq(next.near, 0, nullptr, nullptr, 0, nullptr);
            vn_msgq_copy_queue(writer, queue);
        }
        vn_msgq_flush_write_queue(writer);
        std::vector<Frame> new_frames = run_until_frames(next.far, kFrames - old_frames.size());
        // Every frame once, in order, over the two links; none half.
        std::vector<Frame> all = old_frames;
        all.insert(all.end(), new_frames.begin(), new_frames.end());
        ASSERT_EQ(all.size(), static_cast<size_t>(kFrames)) << ending;
        for (int i = 0; i < kFrames; i++)
            EXPECT_EQ(all[i].payload, numbered(i, kPayload)) << ending << " frame " << i;
        EXPECT_EQ(read_available(next.far), "") << ending;
        if (writer != queue)
            vn_free_msgq(writer);
        vn_free_msgq(queue);
    }
}

TEST_F(MsgqTest, ClearOnALiveLinkKeepsTheRestOfAFrameAWriteCut)
{
    Link link;
    vn_msgq_t *queue = nullptr;
    std::vector<Frame> frames;
    std::string bytes;
    ASSERT_NO_FATAL_FAILURE(cut_a_frame(link, &queue, &frames, &bytes));
    vn_msgq_clear_write_queue(queue);
    ASSERT_EQ(send(queue, 8, "after"), 0);
    ASSERT_TRUE(run_until([&] {
        bytes += read_available(link.far);
        for (Frame &cut : parse_frames(bytes))
            frames.push_back(std::move(cut));
        return !frames.empty() && frames.back().payload.size() != kCutPayload;
    }));
    // The cut frame whole, then the new one: nothing half, nothing else.
    for (size_t i = 0; i + 1 < frames.size(); i++)
        EXPECT_EQ(frames[i].payload, numbered(static_cast<int>(i), kCutPayload)) << i;
    EXPECT_EQ(frames.back().payload, "after");
    EXPECT_EQ(bytes, "");
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, CopiedBuffersAreWrittenByTheNewQueueInOrder)
{
    Link old_link, new_link;
    unix_link(old_link);
    unix_link(new_link);
    vn_msgq_t *old_queue = vn_new_msgq(old_link.near, 0, nullptr, nullptr, 0, nullptr);
    vn_msgq_write_socket_set(old_queue, -1, nullptr);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(send(old_queue, 8, numbered(i, 10000)), 0);
    vn_msgq_t *new_queue = vn_new_msgq(new_link.near, 0, nullptr, nullptr, 0, nullptr);
    vn_msgq_copy_queue(new_queue, old_queue);
    EXPECT_EQ(writeq_len(old_queue), 0);
    vn_free_msgq(old_queue);
    std::vector<Frame> frames = run_until_frames(new_link.far, 3);
    ASSERT_EQ(frames.size(), 3);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(frames[i].payload, numbered(i, 10000));
    vn_free_msgq(new_queue);
}

// ---- Out of band ----

TEST_F(MsgqTest, OutOfBandFrameGoesAheadOfBufferedOnesAndLargePayloadsAreRefused)
{
    Link link;
    unix_link(link);
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
    ASSERT_EQ(send(queue, 8, "first"), 0);
    ASSERT_EQ(send(queue, 8, "batched"), 0);
    std::string info = "peer info";
    vn_msg_t msg = message(5, info);
    EXPECT_EQ(vn_msgq_send_msg_stream_oob(queue, &msg), 0);
    std::string large(32768, 'L');
    vn_msg_t too_large = message(5, large);
    uint64_t sent = queue->bytes_sent;
    EXPECT_EQ(vn_msgq_send_msg_stream_oob(queue, &too_large), -1);
    EXPECT_EQ(queue->bytes_sent, sent);
    std::string largest(32767, 'l');
    vn_msg_t fits = message(5, largest);
    EXPECT_EQ(vn_msgq_send_msg_stream_oob(queue, &fits), 0);
    std::vector<Frame> frames = run_until_frames(link.far, 4);
    EXPECT_EQ(frames, (std::vector<Frame>{{8, "first"}, {5, info}, {5, largest}, {8, "batched"}}));
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, PartialOutOfBandWriteClosesTheLink)
{
    Link link;
    unix_link(link, 4096);
    Reader reader;
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, record, nullptr, 0, &reader);
    std::string info(30000, 'i');
    vn_msg_t msg = message(5, info);
    EXPECT_EQ(vn_msgq_send_msg_stream_oob(queue, &msg), -1);
    ASSERT_GT(queue->bytes_sent, 0u);
    // The remote sees the end of the stream, the reader a lost connection.
    bool eof = false;
    ASSERT_TRUE(run_until([&] {
        read_available(link.far, &eof);
        return eof && reader.count() == 1;
    }));
    EXPECT_TRUE(reader.got[0].closed);
    link.forget_near();
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, HandshakeFrameGoesAloneAndWhatTheQueueKeptFollowsOnceWholeOnTheNextAttach)
{
    // As a link's handshake does: attach, send the own frame out of band,
    // detach until the remote answers, then attach again (the same socket,
    // or another one) and flush. More is kept than the socket takes at once.
    constexpr int kKept = 40;
    constexpr size_t kPayload = 1000;
    for (bool same_socket : {true, false}) {
        SCOPED_TRACE(same_socket ? "same socket" : "new socket");
        Link link, next;
        unix_link(link, 4096);
        unix_link(next);
        vn_msgq_t *queue = vn_new_msgq(-1, 0, nullptr, nullptr, 0, nullptr);
        vn_msgq_write_queue_set(queue, 100);
        for (int i = 0; i < kKept; i++)
            ASSERT_EQ(send(queue, 8, numbered(i, kPayload)), 0);
        vn_msgq_write_socket_set(queue, link.near, nullptr);
        std::string info = "peer info";
        vn_msg_t msg = message(5, info);
        EXPECT_EQ(vn_msgq_send_msg_stream_oob(queue, &msg), 0);
        vn_msgq_write_socket_set(queue, -1, nullptr);
        std::string before = read_available(link.far);
        EXPECT_EQ(parse_frames(before), (std::vector<Frame>{{5, info}}));
        EXPECT_EQ(before.size(), 0u);
        const Link &answered = same_socket ? link : next;
        vn_msgq_write_socket_set(queue, answered.near, nullptr);
        vn_msgq_flush_write_queue(queue);
        std::vector<Frame> frames = run_until_frames(answered.far, kKept);
        ASSERT_EQ(frames.size(), static_cast<size_t>(kKept));
        for (int i = 0; i < kKept; i++)
            EXPECT_EQ(frames[i], (Frame{8, numbered(i, kPayload)})) << i;
        EXPECT_EQ(read_available(answered.far), "");
        vn_free_msgq(queue);
    }
}

// ---- Datagrams and monitoring ----

TEST_F(MsgqTest, DatagramCarriesOneFrameWhoseLengthCountsItsHeader)
{
    int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(receiver, reinterpret_cast<sockaddr *>(&address), &size), 0);
    set_nonblocking(receiver);
    Reader reader;
    vn_msgq_t *inbound = vn_new_msgq(receiver, 2, record, nullptr, 0, &reader);
    vn_msgq_t *outbound = vn_new_msgq(-1, 2, nullptr, nullptr, 0, nullptr);
    ASSERT_EQ(vn_msgq_dgram_set(outbound, "127.0.0.1", ntohs(address.sin_port), nullptr, 0), 0);
    std::string datagram = "....hello";
    vn_msg_t msg = message(7, datagram);
    ASSERT_EQ(vn_msgq_send_msg(outbound, &msg), 0);
    EXPECT_EQ(datagram.substr(0, 4), std::string("\x00\x07\x00\x09", 4));
    // A datagram announcing more than it holds is dropped.
    std::string lying = std::string("\x00\x07\x00\x40", 4) + "short";
    sendto(outbound->write_fd, lying.data(), lying.size(), 0, reinterpret_cast<sockaddr *>(&address), size);
    ASSERT_EQ(vn_msgq_send_msg(outbound, &msg), 0);
    ASSERT_TRUE(run_until([&] { return reader.count() == 2; }));
    EXPECT_EQ(reader.got[0].type, 7);
    EXPECT_EQ(reader.got[0].payload, "hello");
    EXPECT_EQ(reader.got[1].payload, "hello");
    close(outbound->write_fd);
    vn_free_msgq(outbound);
    vn_free_msgq(inbound);
    close(receiver);
}

TEST_F(MsgqTest, ModuleStartMakesTheMonitoringTemplate)
{
    vn_init_t record{};
    record.application_name = const_cast<char *>("app");
    _vn_msgq_init(&record);
    vn_template_t *tmpl = vnmon_get_template("app.server.msgq");
    ASSERT_NE(tmpl, nullptr);
    ASSERT_EQ(tmpl->num_properties, 4);
    const char *names[] = {"msgq-id", "bytes-sent", "bytes-read", "write-queue-size"};
    const int types[] = {520, 8, 8, 8};
    for (int i = 0; i < 4; i++) {
        EXPECT_STREQ(tmpl->properties[i].propertyname, names[i]);
        EXPECT_EQ(tmpl->properties[i].typeflags, types[i]);
    }
}

// ---- Writes without the lock ----

namespace {

// A seam the writer runs between each write call and its settle, without
// the queue's lock; a test installs what it does there.
std::function<void(vn_msgq_t *)> &on_write = *new std::function<void(vn_msgq_t *)>;

void run_on_write(vn_msgq_t *queue)
{
    on_write(queue);
}

struct WriteSeam {
    explicit WriteSeam(std::function<void(vn_msgq_t *)> seam)
    {
        on_write = std::move(seam);
        _vn_msgq_write_seam_set(run_on_write);
    }
    ~WriteSeam()
    {
        _vn_msgq_write_seam_set(nullptr);
        on_write = nullptr;
    }
};

// Holds the thread that enters it until the test lets it go; a test that
// fails early lets it go at the deadline.
struct Hold {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool released = false;

    void enter()
    {
        std::unique_lock<std::mutex> lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::duration<double>(kDeadlineSeconds), [&] { return released; });
    }
    bool wait_held()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(kDeadlineSeconds), [&] { return held; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};

// A filter in front of the queue's end of a TLS link: it counts the writes
// made off the owner's thread, can hold the owner inside a read (so inside
// SSL_read) until the test lets it go, and can fail every write as a
// connection that broke would, or ask for a retry of the next writes as a
// full socket would.
struct SslGate {
    std::thread::id owner;
    std::atomic<int> foreign_writes{0};
    std::atomic<bool> fail_writes{false};
    std::atomic<int> retry_writes{0};
    std::atomic<int> passes_before_retry{0}; // writes let through before retry_writes counts
    std::atomic<bool> armed{false};
    Hold reader; // the owner, inside a read

    // Runs on the reading thread.
    void hold_if_armed()
    {
        if (armed.exchange(false))
            reader.enter();
    }
};

SslGate *gate_of(BIO *bio)
{
    return static_cast<SslGate *>(BIO_get_data(bio));
}

int gate_write(BIO *bio, const char *data, int len)
{
    if (std::this_thread::get_id() != gate_of(bio)->owner)
        gate_of(bio)->foreign_writes++;
    if (gate_of(bio)->fail_writes) {
        BIO_clear_retry_flags(bio);
        errno = ECONNRESET;
        return -1;
    }
    if (gate_of(bio)->retry_writes > 0 && gate_of(bio)->passes_before_retry-- <= 0) {
        gate_of(bio)->retry_writes--;
        BIO_clear_retry_flags(bio);
        BIO_set_retry_write(bio);
        return -1;
    }
    return filter_pass_on(bio, BIO_write(BIO_next(bio), data, len));
}

int gate_read(BIO *bio, char *data, int len)
{
    gate_of(bio)->hold_if_armed();
    return filter_pass_on(bio, BIO_read(BIO_next(bio), data, len));
}

// Puts the gate between the near SSL connection and its socket.
void gate_connection(TlsPair &tls, int fd, SslGate &gate)
{
    static BIO_METHOD *method = filter_method("msgq test gate", gate_write, gate_read);
    push_filter(tls.near, fd, method, &gate);
}

// Reads in small pieces until `done` holds for the frames so far or the
// deadline passed.
std::vector<Frame> read_slowly_until(int fd, SSL *ssl, std::string &rest,
                                     const std::function<bool(const std::vector<Frame> &)> &done)
{
    constexpr size_t kPiece = 700;
    std::vector<Frame> frames;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kDeadlineSeconds);
    while (!done(frames) && std::chrono::steady_clock::now() < deadline) {
        char piece[kPiece];
        ssize_t got = ssl != nullptr ? SSL_read(ssl, piece, sizeof piece) : read(fd, piece, sizeof piece);
        if (got <= 0) {
            struct pollfd watch {fd, POLLIN, 0};
            poll(&watch, 1, 100);
            continue;
        }
        rest.append(piece, static_cast<size_t>(got));
        for (Frame &cut : parse_frames(rest))
            frames.push_back(std::move(cut));
    }
    return frames;
}

// Reads in small pieces until `count` frames came or the deadline passed.
std::vector<Frame> read_slowly(int fd, SSL *ssl, size_t count, std::string &rest)
{
    return read_slowly_until(fd, ssl, rest, [count](const std::vector<Frame> &frames) { return frames.size() >= count; });
}

// Frame `index` of `sender`: sizes that straddle buffers, with some frames
// larger than a buffer and some with the long header.
std::string sender_payload(int sender, int index)
{
    size_t size = 20 + static_cast<size_t>(index * 131 % 2000);
    if (index % 500 == 7)
        size = 40000;
    else if (index % 100 == 3)
        size = 20000;
    std::string payload = std::to_string(sender) + ":" + std::to_string(index) + ":";
    payload.resize(size, static_cast<char>('a' + (index + sender) % 26));
    return payload;
}

} // namespace

TEST_F(MsgqTest, BuffersCopiedBehindAWrittenOutBufferGoOutOverSsl)
{
    // The new queue has written everything once, so its emptied buffer is
    // older than the copied ones; an SSL write that began at it would see
    // nothing to write and leave the copied frames behind for good.
    Link link, old_link;
    tcp_link(link);
    unix_link(old_link);
    TlsPair tls;
    ASSERT_NO_FATAL_FAILURE(tls_handshake(link, tls));
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, tls.near, 0, nullptr);
    ASSERT_EQ(send(queue, 8, "first"), 0);
    ASSERT_EQ(vn_msgq_flush_write_queue(queue), 0);
    vn_msgq_t *old_queue = vn_new_msgq(old_link.near, 0, nullptr, nullptr, 0, nullptr);
    vn_msgq_write_socket_set(old_queue, -1, nullptr);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(send(old_queue, 8, numbered(i, 100)), 0);
    vn_msgq_copy_queue(queue, old_queue);
    vn_free_msgq(old_queue);
    EXPECT_EQ(vn_msgq_flush_write_queue(queue), 0);
    std::string rest;
    std::vector<Frame> frames = read_slowly(link.far, tls.far, 4, rest);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].payload, "first");
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(frames[i + 1].payload, numbered(i, 100));
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, OutOfBandFrameLongerThanOneTlsRecordGoesWholeOverSsl)
{
    Link link;
    tcp_link(link);
    TlsPair tls;
    ASSERT_NO_FATAL_FAILURE(tls_handshake(link, tls));
    vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, tls.near, 0, nullptr);
    std::string rest;
    for (size_t size : {16381u, 16384u, 20000u, 32767u}) {
        std::string payload(size, static_cast<char>('a' + size % 26));
        vn_msg_t msg = message(5, payload);
        EXPECT_EQ(vn_msgq_send_msg_stream_oob(queue, &msg), 0) << size;
        ASSERT_EQ(send(queue, 8, "after " + std::to_string(size)), 0);
        EXPECT_EQ(vn_msgq_flush_write_queue(queue), 0);
        std::vector<Frame> frames = read_slowly(link.far, tls.far, 2, rest);
        EXPECT_EQ(frames, (std::vector<Frame>{{5, payload}, {8, "after " + std::to_string(size)}})) << size;
    }
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, SendersRacingAnOwnersPartialWritesLoseReorderAndRepeatNothing)
{
    constexpr int kSenders = 4;
    constexpr int kFrames = 1500;
    constexpr int kAppendsPerHold = 3;
    for (bool use_ssl : {false, true}) {
        Link link;
        tcp_link(link);
        shrink_socket_buffers(link);
        TlsPair tls;
        if (use_ssl) {
            ASSERT_NO_FATAL_FAILURE(tls_handshake(link, tls));
        }
        std::atomic<int> appended{0};
        std::atomic<int> senders_done{0};
        std::mutex mutex;
        std::condition_variable changed;
        int writes = 0, holds_with_appends = 0;
        std::atomic<int> holds_started{0};
        bool sender_blocked = false;
        // Every fourth write of the owner waits between its write and its
        // settle until the senders have appended more: an appender that
        // needed the writer's lock would never get there.
        WriteSeam seam([&](vn_msgq_t *) {
            if (++writes % 4 != 0)
                return;
            int before = appended.load();
            std::unique_lock<std::mutex> lock(mutex);
            holds_started++;
            changed.notify_all();
            bool moved = changed.wait_for(lock, std::chrono::duration<double>(kDeadlineSeconds), [&] {
                return appended.load() >= before + kAppendsPerHold || senders_done.load() == kSenders;
            });
            if (!moved)
                sender_blocked = true;
            else if (appended.load() >= before + kAppendsPerHold)
                holds_with_appends++;
        });
        LoopThread owner;
        vn_msgq_t *queue = nullptr;
        owner.call([&] { queue = vn_new_msgq(link.near, 0, nullptr, use_ssl ? tls.near : nullptr, 0, nullptr); });
        std::string rest;
        auto received = std::async(std::launch::async, [&] {
            return read_slowly(link.far, use_ssl ? tls.far : nullptr, kSenders * kFrames, rest);
        });
        std::vector<std::thread> senders;
        for (int sender = 0; sender < kSenders; sender++)
            senders.emplace_back([&, sender] {
                for (int index = 0; index < kFrames; index++) {
                    // Half the frames wait for a held write, so that on a
                    // loaded machine the senders cannot all finish first.
                    if (index == kFrames / 2) {
                        std::unique_lock<std::mutex> lock(mutex);
                        changed.wait_for(lock, std::chrono::duration<double>(kDeadlineSeconds),
                                         [&] { return holds_started.load() > 0; });
                    }
                    send(queue, 8, sender_payload(sender, index));
                    appended++;
                    { std::lock_guard<std::mutex> lock(mutex); }
                    changed.notify_all();
                }
                senders_done++;
                { std::lock_guard<std::mutex> lock(mutex); }
                changed.notify_all();
            });
        for (std::thread &sender : senders)
            sender.join();
        std::vector<Frame> frames = received.get();
        const char *mode = use_ssl ? "ssl" : "plain";
        ASSERT_EQ(frames.size(), static_cast<size_t>(kSenders * kFrames)) << mode;
        EXPECT_EQ(rest, "") << mode;
        int next[kSenders] = {};
        for (const Frame &got : frames) {
            int sender = std::stoi(got.payload);
            ASSERT_TRUE(sender >= 0 && sender < kSenders) << mode;
            ASSERT_EQ(got.payload, sender_payload(sender, next[sender])) << mode << " sender " << sender;
            next[sender]++;
        }
        owner.call([&] {
            EXPECT_FALSE(sender_blocked) << mode;
            EXPECT_GT(holds_with_appends, 0) << mode;
            vn_free_msgq(queue);
        });
    }
}

TEST_F(MsgqTest, SslQueueIsWrittenOnlyOnItsOwnersThreadWhileItsReaderIsInsideSslRead)
{
    // Several frames to a buffer and several buffers, so that the owner
    // writes them in more than one SSL_write.
    constexpr int kFrames = 12;
    constexpr size_t kPayload = 5000;
    Link link;
    tcp_link(link);
    TlsPair tls;
    ASSERT_NO_FATAL_FAILURE(tls_handshake(link, tls));
    SslGate gate;
    gate_connection(tls, link.near, gate);
    LoopThread owner;
    Reader reader;
    vn_msgq_t *queue = nullptr;
    owner.call([&] {
        gate.owner = std::this_thread::get_id();
        queue = vn_new_msgq(link.near, 0, record, tls.near, 0, &reader);
    });
    gate.armed = true;
    std::string ping = frame(3, "ping");
    ASSERT_EQ(SSL_write(tls.far, ping.data(), static_cast<int>(ping.size())), static_cast<int>(ping.size()));
    ASSERT_TRUE(gate.reader.wait_held());
    // The owner is inside SSL_read now.
    for (int i = 0; i < kFrames; i++)
        ASSERT_EQ(send(queue, 8, numbered(i, kPayload)), 0);
    EXPECT_EQ(vn_msgq_flush_write_queue(queue), 1); // left to the owner
    std::string info = "info";
    vn_msg_t oob = message(5, info);
    EXPECT_EQ(vn_msgq_send_msg_stream_oob(queue, &oob), -1);
    EXPECT_EQ(gate.foreign_writes.load(), 0);
    gate.reader.release();

    std::string rest;
    std::vector<Frame> frames = read_slowly(link.far, tls.far, kFrames, rest);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    for (int i = 0; i < kFrames; i++)
        EXPECT_EQ(frames[i].payload, numbered(i, kPayload)) << i;
    ASSERT_TRUE(reader.wait_for(1));
    // Once the owner has settled: nothing more on the link, nothing left to flush.
    owner.call([] {});
    char more[1];
    EXPECT_LE(SSL_read(tls.far, more, sizeof more), 0);
    EXPECT_EQ(rest, "");
    EXPECT_EQ(vn_msgq_flush_write_queue(queue), 0);
    EXPECT_EQ(gate.foreign_writes.load(), 0);
    std::vector<Received> got = reader.snapshot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payload, "ping");
    owner.call([&] { vn_free_msgq(queue); });
}

TEST_F(MsgqTest, ChangesThatMoveOrFreeBuffersWaitForAWriteInFlightOnAnotherThread)
{
    // The write of another thread is held after it wrote everything and
    // before it settles; meanwhile the owner clears, copies, frees, or
    // appends past the slow-consumer bound. Nothing may be written twice,
    // freed under the writer or cut out of the middle.
    enum Change { kClear, kCopy, kFree, kSlowCut };
    constexpr int kFrames = 40;
    constexpr int kCutFrames = 60;
    constexpr size_t kPayload = 997;
    constexpr int kWriteqMax = 3;
    for (Change change : {kClear, kCopy, kFree, kSlowCut}) {
        Link link, next;
        unix_link(link);
        unix_link(next);
        vn_msgq_t *queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
        vn_msgq_write_socket_set(queue, -1, nullptr);
        for (int i = 0; i < kFrames; i++)
            ASSERT_EQ(send(queue, 8, numbered(i, kPayload)), 0);
        vn_msgq_write_socket_set(queue, link.near, nullptr);
        static thread_local bool gated_writer = false;
        std::promise<void> held;
        std::atomic<bool> released{false};
        bool timed_out = false;
        WriteSeam seam([&](vn_msgq_t *writing) {
            if (!gated_writer)
                return;
            gated_writer = false;
            held.set_value();
            auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kDeadlineSeconds);
            for (;;) {
                {
                    msgq_lock lock(writing);
                    if (writing->settle_waiters > 0)
                        break;
                }
                if (released.load())
                    break;
                if (std::chrono::steady_clock::now() > deadline) {
                    timed_out = true;
                    break;
                }
                std::this_thread::yield();
            }
        });
        std::thread writer([queue] {
            gated_writer = true;
            vn_msgq_flush_write_queue(queue);
        });
        held.get_future().wait();
        vn_msgq_t *dest = nullptr;
        SlowConsumerBounds bounds(kMsgqSlowConsumerBounds);
        switch (change) {
        case kClear:
            vn_msgq_clear_write_queue(queue);
            break;
        case kCopy:
            dest = vn_new_msgq(next.near, 0, nullptr, nullptr, 0, nullptr);
            vn_msgq_copy_queue(dest, queue);
            break;
        case kFree:
            vn_free_msgq(queue);
            link.forget_near();
            break;
        case kSlowCut:
            vn_msgq_write_queue_set(queue, kWriteqMax);
            _vn_msgq_slow_consumer_bounds_set({16384, 16384, 3600});
            for (int i = kFrames; i < kFrames + kCutFrames; i++)
                ASSERT_EQ(send(queue, 8, numbered(i, kPayload)), 0);
            released = true;
            break;
        }
        writer.join();
        EXPECT_FALSE(timed_out) << change;
        std::vector<Frame> frames = run_until_frames(link.far, kFrames);
        ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames)) << change;
        for (int i = 0; i < kFrames; i++)
            EXPECT_EQ(frames[i].payload, numbered(i, kPayload)) << change;
        if (change != kSlowCut) {
            EXPECT_EQ(read_available(link.far), "") << change;
        }
        if (change == kClear) {
            EXPECT_EQ(writeq_bytes(queue), 0u);
        }
        if (change == kCopy) {
            EXPECT_EQ(vn_msgq_flush_write_queue(dest), 0);
            EXPECT_EQ(read_available(next.far), ""); // the written frames went once
            vn_free_msgq(dest);
        }
        if (change == kSlowCut) {
            // The bound left to the settle kept the newest buffers, whose
            // frames go whole and in order on the next link.
            EXPECT_LT(writeq_len(queue), kWriteqMax);
            vn_msgq_write_socket_set(queue, next.near, nullptr);
            vn_msgq_flush_write_queue(queue);
            std::string bytes = read_available(next.far);
            std::vector<Frame> kept = parse_frames(bytes);
            EXPECT_EQ(bytes, "");
            ASSERT_FALSE(kept.empty());
            int first = kFrames + kCutFrames - static_cast<int>(kept.size());
            for (size_t i = 0; i < kept.size(); i++)
                EXPECT_EQ(kept[i].payload, numbered(first + static_cast<int>(i), kPayload));
        }
        if (change != kFree)
            vn_free_msgq(queue);
    }
}

// ---- Writes that cross threads: a loop thread owns the queue ----

namespace {

constexpr size_t kCrossPayload = 496; // frames of 500 bytes

int hold_in_timer(int, int, void *data)
{
    static_cast<Hold *>(data)->enter();
    return 0;
}

int keep_watching(sock_t, int, void *)
{
    return 1;
}

// Adds three watches on the calling thread's loop and removes them again:
// a pool that took one watch back twice hands that one out every time.
bool pool_hands_out_distinct_watches()
{
    Link links[3];
    vn_write_event_t *watches[3];
    for (int i = 0; i < 3; i++) {
        unix_link(links[i]);
        watches[i] = vn_add_write_event(links[i].near, keep_watching, 0, nullptr);
    }
    bool distinct = watches[0] != watches[1] && watches[1] != watches[2] && watches[0] != watches[2];
    if (distinct)
        for (vn_write_event_t *watch : watches)
            vn_del_write_event(watch);
    return distinct;
}

int mark_seen(sock_t fd, int, void *data)
{
    char byte;
    [[maybe_unused]] ssize_t got = recv(fd, &byte, 1, 0);
    static_cast<std::promise<void> *>(data)->set_value();
    return 0;
}

} // namespace

TEST_F(MsgqTest, FlushFromAThreadWithoutALoopLeavesTheRestToTheOwnersOwnWatch)
{
    // The flush runs on a thread that has no loop. Either nothing watches
    // the socket yet and the flush cannot write it all, or the owner's
    // watch waits and fires, with nothing left, right after the flush.
    enum Start { kNothingWatching, kOwnersWatchFiresNext };
    constexpr int kFrames = 400;
    for (Start start : {kNothingWatching, kOwnersWatchFiresNext}) {
        Link link;
        unix_link(link, 4096);
        Hold hold; // outlives the owner, which it may hold
        LoopThread owner;
        vn_msgq_t *queue = nullptr;
        int frames = 0;
        owner.call([&] {
            queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
            if (start == kNothingWatching) {
                vn_msgq_write_socket_set(queue, -1, nullptr);
                while (frames < kFrames)
                    send(queue, 8, numbered(frames++, kCrossPayload));
                vn_msgq_write_socket_set(queue, link.near, nullptr); // attached without a write
                return;
            }
            // One frame at a time until the socket is full and the owner's
            // watch waits for the rest of the last.
            do
                send(queue, 8, numbered(frames++, kCrossPayload));
            while (vn_msgq_flush_write_queue(queue) == 0);
        });
        std::string bytes;
        if (start == kOwnersWatchFiresNext) {
            // Held in a timer of its own, the owner cannot refill the socket
            // as it drains; its watch is then ready ahead of anything posted
            // to its loop meanwhile.
            owner.call([&] { vn_add_timed_event(0, 0.0, hold_in_timer, 0, &hold); });
            ASSERT_TRUE(hold.wait_held());
            bytes = read_available(link.far);
        }
        int flushed = -1;
        std::thread([&] { flushed = vn_msgq_flush_write_queue(queue); }).join();
        hold.release();
        EXPECT_EQ(flushed, start == kNothingWatching ? 1 : 0) << start;
        std::vector<Frame> got = wait_frames(link.far, bytes, static_cast<size_t>(frames));
        ASSERT_EQ(got.size(), static_cast<size_t>(frames)) << start;
        for (int i = 0; i < frames; i++)
            ASSERT_EQ(got[i].payload, numbered(i, kCrossPayload)) << start;
        bool distinct = false;
        owner.call([&] {
            distinct = pool_hands_out_distinct_watches();
            vn_free_msgq(queue);
        });
        EXPECT_TRUE(distinct) << start;
    }
}

TEST_F(MsgqTest, FrameLeftToAnotherThreadsOutOfBandWriteGoesOutWhenThatWriteEnds)
{
    // Another thread's out-of-band write is held between its write and its
    // settle. Meanwhile the owner appends a frame, or the owner's write
    // watch (armed by a hand-over, with the frame waiting) fires.
    enum During { kOwnerAppends, kOwnersWatchFires };
    for (During during : {kOwnerAppends, kOwnersWatchFires}) {
        Link link, marker;
        unix_link(link);
        unix_link(marker);
        static thread_local bool gated_writer = false;
        Hold hold;
        WriteSeam seam([&](vn_msgq_t *) {
            if (!gated_writer)
                return;
            gated_writer = false;
            hold.enter();
        });
        LoopThread owner;
        vn_msgq_t *queue = nullptr;
        int mask = 0;
        owner.call([&] {
            queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
            if (during == kOwnersWatchFires)
                mask = vn_msgq_remove_from_thread(queue);
        });
        int result = 1;
        std::thread writer([&] {
            gated_writer = true;
            std::string info = "info";
            vn_msg_t msg = message(5, info);
            result = vn_msgq_send_msg_stream_oob(queue, &msg);
        });
        EXPECT_TRUE(hold.wait_held()) << during;
        if (during == kOwnerAppends) {
            owner.call([&] { send(queue, 8, "late"); });
        } else {
            std::promise<void> watch_ran;
            owner.call([&] {
                send(queue, 8, "late");
                vn_msgq_add_to_thread(queue, mask | kMsgqWriteWatch);
                // Readable only after the write watch was ready: by the time
                // this runs, the watch has run.
                vn_add_read_event(marker.near, mark_seen, 0, &watch_ran);
            });
            write_all(marker.far, "m");
            EXPECT_EQ(watch_ran.get_future().wait_for(std::chrono::duration<double>(kDeadlineSeconds)),
                      std::future_status::ready);
        }
        hold.release();
        writer.join();
        EXPECT_EQ(result, 0) << during;
        EXPECT_EQ(wait_frames(link.far, 2), (std::vector<Frame>{{5, "info"}, {8, "late"}})) << during;
        owner.call([&] { vn_free_msgq(queue); });
    }
}

TEST_F(MsgqTest, SslRecordAwaitingItsRetryIsNeitherWrittenPastNorFreedAndABrokenWriteEndsTheLink)
{
    // The owner writes until an SSL_write leaves its record for a retry, the
    // remote reads a little, and then: an out-of-band frame, a clear with
    // new frames after it, or a connection whose writes fail from now on.
    enum Next { kOutOfBand, kClear, kBrokenWrites };
    constexpr int kFrames = 2000;
    constexpr size_t kPayload = 100;
    constexpr int kAfterClear = 5;
    auto after = [](int i) { return "after:" + std::to_string(i); };
    for (Next next : {kOutOfBand, kClear, kBrokenWrites}) {
        Link link;
        unix_link(link, 4096);
        TlsPair tls;
        ASSERT_NO_FATAL_FAILURE(tls_handshake(link, tls));
        SslGate gate;
        gate_connection(tls, link.near, gate);
        LoopThread owner;
        Reader reader;
        vn_msgq_t *queue = nullptr;
        std::string rest;
        int result = 1;
        owner.call([&] {
            gate.owner = std::this_thread::get_id();
            queue = vn_new_msgq(link.near, 0, record, tls.near, 0, &reader);
            for (int i = 0; i < kFrames; i++)
                send(queue, 8, numbered(i, kPayload));
            uint64_t sent;
            do {
                sent = queue->bytes_sent;
                vn_msgq_flush_write_queue(queue);
            } while (queue->bytes_sent != sent); // the last SSL_write took nothing: its record waits
            char piece[kPayload];
            int got = SSL_read(tls.far, piece, sizeof piece);
            if (got > 0)
                rest.append(piece, static_cast<size_t>(got));
            if (next == kOutOfBand) {
                std::string info = "info";
                vn_msg_t msg = message(5, info);
                result = vn_msgq_send_msg_stream_oob(queue, &msg);
            } else if (next == kClear) {
                vn_msgq_clear_write_queue(queue);
                for (int i = 0; i < kAfterClear; i++)
                    send(queue, 8, after(i));
            } else {
                gate.fail_writes = true;
            }
        });
        if (next == kBrokenWrites) {
            // Reported as a lost connection, once.
            ASSERT_TRUE(reader.wait_for(1));
            owner.call([] {});
            std::vector<Received> got = reader.snapshot();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_TRUE(got[0].closed);
            link.forget_near();
            tls.near = nullptr; // the queue's close freed it
            owner.call([&] { vn_free_msgq(queue); });
            continue;
        }
        std::vector<Frame> frames = read_slowly_until(link.far, tls.far, rest, [&](const std::vector<Frame> &so_far) {
            return next == kOutOfBand ? so_far.size() >= kFrames
                                      : !so_far.empty() && so_far.back().payload == after(kAfterClear - 1);
        });
        if (next == kOutOfBand) {
            EXPECT_EQ(result, -1); // nothing was written
            ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
            for (int i = 0; i < kFrames; i++)
                ASSERT_EQ(frames[i].payload, numbered(i, kPayload)) << i;
        } else {
            // What the waiting record holds goes out whole, then the new frames.
            ASSERT_GT(frames.size(), static_cast<size_t>(kAfterClear));
            size_t kept = frames.size() - kAfterClear;
            for (size_t i = 0; i < kept; i++)
                ASSERT_EQ(frames[i].payload, numbered(static_cast<int>(i), kPayload)) << i;
            for (int i = 0; i < kAfterClear; i++)
                EXPECT_EQ(frames[kept + static_cast<size_t>(i)].payload, after(i));
        }
        EXPECT_EQ(rest, "");
        owner.call([] {});
        EXPECT_EQ(reader.count(), 0u); // the link stays up
        owner.call([&] { vn_free_msgq(queue); });
    }
}

// ---- The write side's rules (msgq_write.cpp) ----

namespace {

// Counts the calls of write watches, from any loop.
std::atomic<int> watch_calls{0};

void count_watch_call(vn_msgq_t *)
{
    watch_calls++;
}

struct WatchCounter {
    WatchCounter()
    {
        watch_calls = 0;
        _vn_msgq_watch_seam_set(count_watch_call);
    }
    ~WatchCounter() { _vn_msgq_watch_seam_set(nullptr); }
};

// A write seam that holds the thread that set gated_writer, once.
thread_local bool gated_writer = false;

struct GatedWriter {
    Hold hold;
    WriteSeam seam{[this](vn_msgq_t *) {
        if (!gated_writer)
            return;
        gated_writer = false;
        hold.enter();
    }};
};

// An SSL queue owned by this thread, its connection behind the gate.
void gated_ssl_queue(const Link &link, TlsPair &tls, SslGate &gate, vn_msgq_t **queue)
{
    ASSERT_NO_FATAL_FAILURE(tls_handshake(link, tls));
    gate.owner = std::this_thread::get_id();
    gate_connection(tls, link.near, gate);
    *queue = vn_new_msgq(link.near, 0, nullptr, tls.near, 0, nullptr);
}

} // namespace

TEST_F(MsgqTest, ClearKeepsExactlyTheFramesOfASslRecordAwaitingItsRetryBehindAnEmptiedBuffer)
{
    // The queue wrote out its only buffer (many frames or one short one),
    // then took copied frames behind it; the first SSL_write of those asks
    // for a retry, and the queue is cleared before it.
    struct Case {
        int written;
        size_t payload;
    };
    constexpr int kCopied = 16;
    constexpr size_t kCopiedPayload = 500;
    for (Case emptied : {Case{15, 598}, Case{1, 3}}) {
        Link link, old_link;
        tcp_link(link);
        unix_link(old_link);
        TlsPair tls;
        SslGate gate;
        vn_msgq_t *queue = nullptr;
        ASSERT_NO_FATAL_FAILURE(gated_ssl_queue(link, tls, gate, &queue));
        for (int i = 0; i < emptied.written; i++)
            send(queue, 8, numbered(i, emptied.payload));
        ASSERT_EQ(vn_msgq_flush_write_queue(queue), 0);
        std::string rest;
        ASSERT_EQ(read_slowly(link.far, tls.far, static_cast<size_t>(emptied.written), rest).size(),
                  static_cast<size_t>(emptied.written));
        vn_msgq_t *old_queue = vn_new_msgq(old_link.near, 0, nullptr, nullptr, 0, nullptr);
        vn_msgq_write_socket_set(old_queue, -1, nullptr);
        for (int i = 0; i < kCopied; i++)
            send(old_queue, 9, numbered(i, kCopiedPayload));
        vn_msgq_copy_queue(queue, old_queue); // the batch timer of the sends above is still there
        vn_free_msgq(old_queue);
        gate.retry_writes = 1;
        ASSERT_EQ(vn_msgq_flush_write_queue(queue), 1);
        vn_msgq_clear_write_queue(queue);
        send(queue, 8, "after");
        for (int round = 0; round < 100 && vn_msgq_flush_write_queue(queue) != 0; round++) {
            struct pollfd watch {link.near, POLLOUT, 0};
            poll(&watch, 1, 100);
        }
        std::vector<Frame> frames = read_slowly_until(link.far, tls.far, rest, [](const std::vector<Frame> &so_far) {
            return !so_far.empty() && so_far.back().payload == "after";
        });
        ASSERT_EQ(frames.size(), static_cast<size_t>(kCopied + 1)) << emptied.written;
        for (int i = 0; i < kCopied; i++)
            EXPECT_EQ(frames[i], (Frame{9, numbered(i, kCopiedPayload)})) << emptied.written << " frame " << i;
        EXPECT_EQ(rest, "") << emptied.written;
        vn_free_msgq(queue);
    }
}

TEST_F(MsgqTest, LinkThatEndsWhileAnSslRecordAwaitsItsRetryLeavesTheNextLinkOnlyTheFramesItDidNotGet)
{
    // A record waits; frames are appended behind it; the retry writes the
    // record and then asks for a retry again; the write side then moves to
    // a new (plain) link.
    Link link, next;
    unix_link(link);
    unix_link(next);
    TlsPair tls;
    SslGate gate;
    vn_msgq_t *queue = nullptr;
    ASSERT_NO_FATAL_FAILURE(gated_ssl_queue(link, tls, gate, &queue));
    send(queue, 8, "0"); // written at once; the batch timer keeps the rest buffered
    gate.retry_writes = 1;
    send(queue, 8, "1");
    ASSERT_EQ(vn_msgq_flush_write_queue(queue), 1);
    send(queue, 8, "2");
    send(queue, 8, "3");
    gate.passes_before_retry = 1;
    gate.retry_writes = 1;
    ASSERT_EQ(vn_msgq_flush_write_queue(queue), 1);
    vn_msgq_write_socket_set(queue, next.near, nullptr);
    vn_msgq_flush_write_queue(queue);
    std::string rest;
    std::vector<Frame> frames = read_slowly(link.far, tls.far, 2, rest);
    std::vector<Frame> later = wait_frames(next.far, 4 - frames.size());
    frames.insert(frames.end(), later.begin(), later.end());
    EXPECT_EQ(frames, (std::vector<Frame>{{8, "0"}, {8, "1"}, {8, "2"}, {8, "3"}}));
    vn_free_msgq(queue);
}

TEST_F(MsgqTest, FramesQueuedDuringAnOutOfBandWriteThatTheSocketCutWaitWholeForTheNextLink)
{
    // The owner's out-of-band frame is more than the socket takes; while its
    // write is held, the remote makes room and another thread sends and
    // flushes.
    constexpr int kFrames = 5;
    constexpr size_t kPayload = 100;
    Link link, next;
    unix_link(link, 4096);
    unix_link(next);
    GatedWriter gated;
    LoopThread owner;
    vn_msgq_t *queue = nullptr;
    owner.call([&] { queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr); });
    std::string info(30000, 'i');
    std::promise<int> result;
    owner.post([&] {
        gated_writer = true;
        vn_msg_t msg = message(5, info);
        result.set_value(vn_msgq_send_msg_stream_oob(queue, &msg));
    });
    ASSERT_TRUE(gated.hold.wait_held());
    std::string old_bytes = read_available(link.far);
    std::thread([&] {
        for (int i = 0; i < kFrames; i++)
            send(queue, 8, numbered(i, kPayload));
        vn_msgq_flush_write_queue(queue);
    }).join();
    gated.hold.release();
    EXPECT_EQ(result.get_future().get(), -1);
    // The old stream ends inside the cut frame, with nothing behind it.
    EXPECT_TRUE(wait_frames(link.far, old_bytes, 1).empty());
    std::string cut = frame(5, info);
    EXPECT_LT(old_bytes.size(), cut.size());
    EXPECT_TRUE(old_bytes.compare(0, std::string::npos, cut, 0, old_bytes.size()) == 0)
        << "the old stream's " << old_bytes.size() << " bytes are not the start of the cut frame";
    uint64_t queued = 0;
    owner.call([&] {
        queued = writeq_bytes(queue);
        vn_msgq_write_socket_set(queue, next.near, nullptr);
        vn_msgq_flush_write_queue(queue);
    });
    EXPECT_EQ(queued, kFrames * (kPayload + 4));
    std::vector<Frame> frames = wait_frames(next.far, kFrames);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    for (int i = 0; i < kFrames; i++)
        EXPECT_EQ(frames[i].payload, numbered(i, kPayload)) << i;
    owner.call([&] { vn_free_msgq(queue); });
}

TEST_F(MsgqTest, OwnersWriteWatchStepsAsideWhileAnotherThreadWritesAndThatWriterHandsTheRestBack)
{
    // Another thread's flush or out-of-band write is held between its write
    // and its settle while the owner appends and its watch is armed on a
    // socket with room; the owner's loop then takes a number of turns.
    enum Writer { kFlush, kOutOfBand };
    constexpr int kOwnerTurns = 20;
    constexpr int kLate = 3;
    for (Writer writer : {kFlush, kOutOfBand}) {
        Link link;
        unix_link(link);
        GatedWriter gated;
        WatchCounter counter;
        LoopThread owner;
        vn_msgq_t *queue = nullptr;
        owner.call([&] {
            queue = vn_new_msgq(link.near, 0, nullptr, nullptr, 0, nullptr);
            vn_msgq_write_socket_set(queue, -1, nullptr);
            if (writer == kFlush)
                send(queue, 8, "early");
            vn_msgq_write_socket_set(queue, link.near, nullptr);
        });
        std::thread other([&] {
            gated_writer = true;
            std::string early = "early";
            vn_msg_t msg = message(5, early);
            if (writer == kFlush)
                vn_msgq_flush_write_queue(queue);
            else
                vn_msgq_send_msg_stream_oob(queue, &msg);
        });
        ASSERT_TRUE(gated.hold.wait_held()) << writer;
        owner.call([&] {
            for (int i = 0; i < kLate; i++)
                send(queue, 8, "late" + std::to_string(i));
            int mask = vn_msgq_remove_from_thread(queue);
            vn_msgq_add_to_thread(queue, mask | kMsgqWriteWatch);
        });
        for (int turn = 0; turn < kOwnerTurns; turn++)
            owner.call([] {});
        int calls_while_held = watch_calls;
        gated.hold.release();
        other.join();
        EXPECT_LE(calls_while_held, 1) << writer;
        std::vector<Frame> frames = wait_frames(link.far, 1 + kLate);
        ASSERT_EQ(frames.size(), static_cast<size_t>(1 + kLate)) << writer;
        EXPECT_EQ(frames[0], (Frame{static_cast<uint16_t>(writer == kFlush ? 8 : 5), "early"})) << writer;
        for (int i = 0; i < kLate; i++)
            EXPECT_EQ(frames[1 + i].payload, "late" + std::to_string(i)) << writer;
        owner.call([&] { vn_free_msgq(queue); });
    }
}
