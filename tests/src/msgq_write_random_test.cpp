// Seeded random sequences of operations on one queue's write side, from its
// owner's loop and from another thread, over plain socket pairs and over TLS
// links whose socket takes a scripted number of bytes per call, with the
// handshake a link makes (attach, its frame out of band, detach until the
// remote answers). After each sequence the remote's bytes are held to the
// rules at the top of msgq_write.cpp. One owner loop serves every sequence,
// so that a long soak keeps its memory flat. VANTRIX_MSGQ_RANDOM_SECONDS and VANTRIX_MSGQ_RANDOM_SEED
// make a longer soak or replay one failing seed.
#include "msgq.h"
#include "msgq_fixtures.h"

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace msgqtest;

namespace {

constexpr uint16_t kDataType = 8;
constexpr uint16_t kOutOfBandType = 5;
constexpr double kDefaultSeconds = 3;
constexpr uint64_t kDefaultSeed = 30;
constexpr int kOpsPerSequence = 60;
constexpr int kSendBuffer = 4096;
constexpr int kUnboundedBuffers = 100000; // no frame is dropped for the detached bound
constexpr double kDrainSeconds = 20;

double env_seconds()
{
    const char *text = std::getenv("VANTRIX_MSGQ_RANDOM_SECONDS");
    double seconds = text != nullptr ? std::strtod(text, nullptr) : 0;
    return seconds > 0 && seconds < 86400 ? seconds : kDefaultSeconds;
}

// A given seed is replayed alone unless a run time is given too.
bool env_seed(uint64_t *seed)
{
    const char *text = std::getenv("VANTRIX_MSGQ_RANDOM_SEED");
    if (text == nullptr || *text == '\0')
        return false;
    *seed = std::strtoull(text, nullptr, 10);
    return true;
}

// ---- Payloads the checker can recognise from their first bytes ----

size_t data_size(uint64_t seq)
{
    uint64_t pick = seq * 2654435761u % 100;
    if (pick < 3)
        return 40000; // the long header, more than a buffer
    if (pick < 8)
        return 17000; // more than a buffer
    if (pick < 20)
        return 3000;
    return 10 + seq * 37 % 600;
}

std::string payload_of(char kind, uint64_t seq, size_t size)
{
    std::string payload = kind + std::to_string(seq) + ":";
    payload.resize(std::max(size, payload.size()), static_cast<char>('a' + seq % 26));
    return payload;
}

std::string data_payload(uint64_t seq)
{
    return payload_of('d', seq, data_size(seq));
}

std::string oob_payload(uint64_t seq)
{
    return payload_of('o', seq, 5 + seq * 53 % 3000);
}

// The sequence number of a payload made above, or -1.
long long seq_of(const std::string &payload)
{
    size_t colon = payload.find(':');
    if (payload.size() < 3 || colon == std::string::npos || colon < 2)
        return -1;
    return std::strtoll(payload.c_str() + 1, nullptr, 10);
}

// ---- What the socket takes per call on a TLS link ----

enum class Take { kNone, kFew, kPart, kAll };

// The script of one link's filter. Once active it is used only by SSL
// writes, which run on the queue's owner alone.
struct Script {
    std::mt19937_64 random;
    bool active = false;

    Take next()
    {
        uint64_t pick = random() % 10;
        return pick < 2 ? Take::kNone : pick < 4 ? Take::kFew : pick < 6 ? Take::kPart : Take::kAll;
    }
};

int scripted_write(BIO *bio, const char *data, int len)
{
    Script *script = static_cast<Script *>(BIO_get_data(bio));
    int allowed = len;
    if (script->active) {
        switch (script->next()) {
        case Take::kNone:
            BIO_clear_retry_flags(bio);
            BIO_set_retry_write(bio);
            return -1;
        case Take::kFew:
            allowed = std::min(len, 1 + static_cast<int>(script->random() % 16));
            break;
        case Take::kPart:
            allowed = std::max(1, len / 2);
            break;
        case Take::kAll:
            break;
        }
    }
    return filter_pass_on(bio, BIO_write(BIO_next(bio), data, allowed));
}

int scripted_read(BIO *bio, char *data, int len)
{
    return filter_pass_on(bio, BIO_read(BIO_next(bio), data, len));
}

// ---- One link as the remote sees it ----

struct RemoteLink {
    Link link;
    SSL *near = nullptr;
    SSL *far = nullptr;
    Script script;
    std::string bytes; // read, not yet a whole frame
    std::vector<Frame> frames;
    bool ended = false;

    ~RemoteLink()
    {
        SSL_free(near);
        SSL_free(far);
    }
};

// Reads at most `limit` bytes of what the link holds now.
void read_remote(RemoteLink &remote, size_t limit)
{
    char chunk[16384];
    while (limit > 0 && !remote.ended) {
        int want = static_cast<int>(std::min(limit, sizeof chunk));
        ssize_t got;
        if (remote.far != nullptr) {
            got = SSL_read(remote.far, chunk, want);
            if (got <= 0 && SSL_get_error(remote.far, static_cast<int>(got)) == SSL_ERROR_WANT_READ)
                break;
        } else {
            got = read(remote.link.far, chunk, static_cast<size_t>(want));
            if (got < 0 && errno == EAGAIN)
                break;
        }
        if (got <= 0) {
            remote.ended = true;
            break;
        }
        remote.bytes.append(chunk, static_cast<size_t>(got));
        limit -= static_cast<size_t>(got);
    }
    for (Frame &frame : parse_frames(remote.bytes))
        remote.frames.push_back(std::move(frame));
}

// Reads until the queue's end was shut down and everything before came.
void read_to_end(RemoteLink &remote)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kDrainSeconds);
    while (!remote.ended && std::chrono::steady_clock::now() < deadline) {
        read_remote(remote, SIZE_MAX);
        struct pollfd watch {remote.link.far, POLLIN, 0};
        if (!remote.ended)
            poll(&watch, 1, 100);
    }
}

// ---- The run of one sequence ----

std::atomic<int> watch_calls{0};
std::atomic<int> write_calls{0};
std::atomic<std::thread::id> owner_thread{};

void count_watch_call(vn_msgq_t *)
{
    watch_calls++;
}

// Watch calls made while one write of another thread was in flight, above
// the one that finds the queue busy and steps aside.
std::atomic<int> busy_watch_repeats{0};
constexpr int kWidenYields = 500;
constexpr size_t kSeamReadBytes = 5000;

// The link the remote reads now; this thread's alone, as is every write
// another thread makes (the test's own thread is that other thread).
thread_local RemoteLink *current_remote = nullptr;

// Another thread's write is widened a little, so that the owner's watch
// has a chance to find the queue busy, and more than once if it spins.
void count_write_call(vn_msgq_t *)
{
    write_calls++;
    if (std::this_thread::get_id() == owner_thread.load())
        return;
    // Room on the socket wakes a watch the owner armed on it.
    if (current_remote != nullptr)
        read_remote(*current_remote, kSeamReadBytes);
    int before = watch_calls.load();
    for (int i = 0; i < kWidenYields && watch_calls.load() - before < 2; i++)
        std::this_thread::yield();
    if (watch_calls.load() - before >= 2)
        busy_watch_repeats++;
}

class Sequence {
public:
    Sequence(uint64_t seed, bool use_ssl, const TlsPair *tls, LoopThread &owner)
        : random_(seed), use_ssl_(use_ssl), tls_(tls), owner_(owner)
    {
    }

    void run()
    {
        auto failed = [] { return ::testing::Test::HasFatalFailure(); };
        start();
        for (int op = 0; op < kOpsPerSequence && !failed(); op++)
            step();
        if (!failed())
            finish();
        if (!failed())
            check();
        owner_.call([this] {
            vn_free_msgq(queue_);
            vn_free_msgq(spare_);
            if (successor_ != nullptr)
                vn_free_msgq(successor_);
        });
    }

    std::string ops() const
    {
        std::ostringstream text;
        for (const std::string &op : ops_)
            text << op << ' ';
        return text.str();
    }

private:
    void start()
    {
        owner_.call([this] {
            owner_thread = std::this_thread::get_id();
            // No read side: out-of-band frames then go to the write side's link.
            spare_ = vn_new_msgq(-1, 0, nullptr, nullptr, 0, nullptr);
            vn_msgq_write_queue_set(spare_, kUnboundedBuffers);
            queue_ = vn_new_msgq(-1, 0, nullptr, nullptr, 0, nullptr);
            vn_msgq_write_queue_set(queue_, kUnboundedBuffers);
            writer_ = queue_;
        });
        attach();
    }

    // Frames numbered in the order the queue takes them: every sender,
    // clear and copy holds `senders_`, as a peer's lock orders a link's.
    void append(int count)
    {
        std::lock_guard<std::mutex> lock(senders_);
        send_numbered(queue_, count);
    }

    // The caller holds senders_.
    void send_numbered(vn_msgq_t *queue, int count)
    {
        for (int i = 0; i < count; i++) {
            std::string payload = data_payload(next_seq_++);
            vn_msg_t msg{kDataType, static_cast<uint32_t>(payload.size()),
                         reinterpret_cast<unsigned char *>(payload.data()), nullptr, 0};
            vn_msgq_send_msg_stream_buffer(queue, &msg);
        }
    }

    void out_of_band()
    {
        std::lock_guard<std::mutex> lock(senders_);
        send_out_of_band(queue_);
    }

    // The caller holds senders_; whether the frame went out whole.
    bool send_out_of_band(vn_msgq_t *queue)
    {
        uint64_t seq = next_oob_++;
        std::string payload = oob_payload(seq);
        vn_msg_t msg{kOutOfBandType, static_cast<uint32_t>(payload.size()),
                     reinterpret_cast<unsigned char *>(payload.data()), nullptr, 0};
        if (vn_msgq_send_msg_stream_oob(queue, &msg) != 0)
            return false;
        oob_sent_.push_back(seq);
        return true;
    }

    // A link's handshake, as the peer layer makes it: on the owner, with
    // every sender held off as the peer's lock holds them, a fresh link is
    // attached, takes one frame out of band and is detached again until
    // the remote answers (a later attach, of this link or another).
    void handshake()
    {
        RemoteLink *link = add_link();
        if (::testing::Test::HasFatalFailure())
            return;
        bool sent = false;
        owner_.call([this, link, &sent] {
            std::lock_guard<std::mutex> lock(senders_);
            vn_msgq_write_socket_set(writer_, link->link.near, link->near);
            sent = send_out_of_band(writer_);
            vn_msgq_write_socket_set(writer_, -1, nullptr);
        });
        if (sent) {
            awaiting_answer_ = link;
            return;
        }
        // A cut frame ended the stream: the answer comes on another link.
        shutdown(link->link.near, SHUT_RDWR);
    }

    // Until the answer, the handshake's frame is all its link carries.
    void check_handshake_alone(RemoteLink &link)
    {
        read_remote(link, SIZE_MAX);
        ASSERT_EQ(link.frames.size(), 1u) << "a link carried more than its handshake before the answer";
        EXPECT_EQ(link.frames[0].type, kOutOfBandType);
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(senders_);
        vn_msgq_clear_write_queue(queue_);
        kept_from_ = next_seq_;
    }

    // Frames made on the spare queue join the queue behind its own.
    void copy_in(int count)
    {
        std::lock_guard<std::mutex> lock(senders_);
        send_numbered(spare_, count);
        vn_msgq_copy_queue(queue_, spare_);
    }

    // The queue's frames move to a successor, as a peer's do to the queue
    // of its next link; only while detached, since a copy away from a live
    // link would leave its stream inside a frame. Copies always go from the
    // spare to the queue to the successor, so their locks keep one order.
    void hand_to_successor()
    {
        owner_.call([this] {
            successor_ = vn_new_msgq(-1, 0, nullptr, nullptr, 0, nullptr);
            vn_msgq_write_queue_set(successor_, kUnboundedBuffers);
        });
        std::lock_guard<std::mutex> lock(senders_);
        vn_msgq_copy_queue(successor_, queue_);
        writer_ = successor_;
    }

    RemoteLink *add_link()
    {
        auto remote = std::make_unique<RemoteLink>();
        unix_link(remote->link, kSendBuffer);
        if (use_ssl_) {
            tls_connect(remote->link, *tls_, remote->near, remote->far);
            static BIO_METHOD *method = filter_method("msgq random script", scripted_write, scripted_read);
            push_filter(remote->near, remote->link.near, method, &remote->script);
            remote->script.random.seed(random_());
            remote->script.active = true;
        }
        links_.push_back(std::move(remote));
        return links_.back().get();
    }

    // The remote's answer to a handshake attaches its link again, or the
    // next link; otherwise a fresh one.
    void attach()
    {
        RemoteLink *link = nullptr;
        if (awaiting_answer_ != nullptr) {
            ASSERT_NO_FATAL_FAILURE(check_handshake_alone(*awaiting_answer_));
            if (random_() % 2 == 0) {
                ops_.push_back("answered");
                link = awaiting_answer_;
            } else {
                shutdown(awaiting_answer_->link.near, SHUT_RDWR);
            }
            awaiting_answer_ = nullptr;
        }
        if (link == nullptr)
            link = add_link();
        if (::testing::Test::HasFatalFailure())
            return;
        current_remote = link;
        owner_.call([this, link] { vn_msgq_write_socket_set(writer_, link->link.near, link->near); });
        attached_ = true;
    }

    void detach()
    {
        owner_.call([this] { vn_msgq_write_socket_set(writer_, -1, nullptr); });
        // The queue is done with the socket; the remote now sees its end.
        shutdown(links_.back()->link.near, SHUT_RDWR);
        current_remote = nullptr;
        attached_ = false;
    }

    // On the owner, waiting or not, or on this thread.
    void somewhere(std::function<void()> op, const char *name)
    {
        switch (random_() % 3) {
        case 0:
            ops_.push_back(std::string(name) + "@owner");
            owner_.post(std::move(op));
            break;
        case 1:
            ops_.push_back(std::string(name) + "@owner!");
            owner_.call(op);
            break;
        default:
            ops_.push_back(std::string(name) + "@other");
            op();
            break;
        }
    }

    void step()
    {
        int count = 1 + static_cast<int>(random_() % 8);
        uint64_t pick = random_() % 100;
        if (!attached_ && awaiting_answer_ == nullptr && pick < 10) {
            ops_.push_back("handshake");
            owner_.call([] {}); // what was posted runs on no socket
            handshake();
        } else if (!attached_ && pick < 25) {
            ops_.push_back("attach");
            owner_.call([] {}); // what was posted runs on the old socket or none
            attach();
        } else if (pick < 40) {
            somewhere([this, count] { append(count); }, "append");
        } else if (pick < 52) {
            somewhere([this] { vn_msgq_flush_write_queue(queue_); }, "flush");
        } else if (pick < 60) {
            somewhere([this] { out_of_band(); }, "oob");
        } else if (pick < 65) {
            somewhere([this] { clear(); }, "clear");
        } else if (pick < 70) {
            somewhere([this, count] { copy_in(count); }, "copy-in");
        } else if (pick < 73 && attached_) {
            ops_.push_back("detach");
            detach();
        } else if (attached_) {
            static constexpr size_t kReads[] = {0, 100, 5000, SIZE_MAX};
            size_t limit = kReads[random_() % 4];
            ops_.push_back("read" + std::to_string(limit == SIZE_MAX ? -1 : static_cast<long>(limit)));
            read_remote(*links_.back(), limit);
        }
    }

    uint64_t unwritten()
    {
        uint64_t bytes = 0;
        owner_.call([&] {
            vn_msgq_flush_write_queue(writer_);
            msgq_lock lock(writer_);
            bytes = writer_->writeq_bytes;
        });
        return bytes;
    }

    // Everything left goes out on a fresh link, which then ends.
    void finish()
    {
        owner_.call([] {});
        if (attached_)
            detach();
        if (random_() % 2 == 0) {
            ops_.push_back("successor");
            hand_to_successor();
        }
        attach();
        if (::testing::Test::HasFatalFailure())
            return;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kDrainSeconds);
        while (unwritten() != 0 && std::chrono::steady_clock::now() < deadline) {
            read_remote(*links_.back(), SIZE_MAX);
            struct pollfd watch {links_.back()->link.far, POLLIN, 0};
            poll(&watch, 1, 1);
        }
        EXPECT_EQ(unwritten(), 0u) << "the last link took not everything";
        detach();
        for (auto &link : links_)
            read_to_end(*link);
    }

    void check_frame(const Frame &frame, long long *last_data, long long *last_oob)
    {
        long long seq = seq_of(frame.payload);
        bool data = frame.type == kDataType;
        ASSERT_TRUE(data || frame.type == kOutOfBandType) << "type " << frame.type;
        ASSERT_GE(seq, 0) << "a frame that was never sent";
        const std::string expected = data ? data_payload(static_cast<uint64_t>(seq)) : oob_payload(static_cast<uint64_t>(seq));
        ASSERT_TRUE(frame.payload == expected) << "frame " << seq << " arrived changed";
        long long &last = data ? *last_data : *last_oob;
        EXPECT_GT(seq, last) << (data ? "data" : "out-of-band") << " frame out of order or twice on one link";
        last = seq;
        int &seen = (data ? data_seen_ : oob_seen_)[static_cast<uint64_t>(seq)];
        EXPECT_EQ(++seen, 1) << (data ? "data" : "out-of-band") << " frame " << seq << " arrived twice";
    }

    void check()
    {
        std::lock_guard<std::mutex> lock(senders_);
        for (size_t i = 0; i < links_.size(); i++) {
            long long last_data = -1, last_oob = -1;
            for (const Frame &frame : links_[i]->frames)
                ASSERT_NO_FATAL_FAILURE(check_frame(frame, &last_data, &last_oob)) << "link " << i;
            // Only a link that ended may end inside a frame; the last one took everything.
            if (i + 1 == links_.size()) {
                EXPECT_EQ(links_[i]->bytes.size(), 0u) << "the last link ends inside a frame";
            }
        }
        for (uint64_t seq = kept_from_; seq < next_seq_; seq++)
            EXPECT_EQ(data_seen_.count(seq), 1u) << "frame " << seq << " was sent after the last clear and lost";
        for (uint64_t seq : oob_sent_)
            EXPECT_EQ(oob_seen_.count(seq), 1u) << "out-of-band frame " << seq << " was written whole and lost";
        EXPECT_EQ(oob_seen_.size(), oob_sent_.size()) << "an out-of-band frame that failed arrived";
        EXPECT_EQ(busy_watch_repeats.load(), 0) << "a write watch spins while another thread writes";
        // A watch call that does not write ends its watch, which only a write or a hand-over adds again.
        EXPECT_LE(watch_calls.load(), 2 * write_calls.load() + 2 * kOpsPerSequence + 16) << "a write watch spins";
    }

    std::mt19937_64 random_;
    bool use_ssl_;
    const TlsPair *tls_;
    LoopThread &owner_; // one loop for every sequence: a loop's globals live as long as the process
    vn_msgq_t *queue_ = nullptr;
    vn_msgq_t *spare_ = nullptr;
    vn_msgq_t *successor_ = nullptr;
    vn_msgq_t *writer_ = nullptr; // the queue whose link the remote reads: queue_, at the end perhaps successor_
    std::vector<std::unique_ptr<RemoteLink>> links_;
    bool attached_ = false;
    RemoteLink *awaiting_answer_ = nullptr; // detached after its handshake, its answer still to come
    std::vector<std::string> ops_;
    std::mutex senders_;
    uint64_t next_seq_ = 0;  // under senders_
    uint64_t kept_from_ = 0; // under senders_: no clear can drop a frame from here on
    uint64_t next_oob_ = 0;  // under senders_
    std::vector<uint64_t> oob_sent_;
    std::map<uint64_t, int> data_seen_;
    std::map<uint64_t, int> oob_seen_;
};

struct Seams {
    Seams()
    {
        _vn_msgq_watch_seam_set(count_watch_call);
        _vn_msgq_write_seam_set(count_write_call);
    }
    ~Seams()
    {
        _vn_msgq_watch_seam_set(nullptr);
        _vn_msgq_write_seam_set(nullptr);
    }
};

} // namespace

TEST(MsgqWriteRandomTest, RandomSequencesKeepEveryFrameWholeOnceInOrderAndNoWatchSpins)
{
    // As the runtime does: an SSL write to a link that ended fails, not kills.
    signal(SIGPIPE, SIG_IGN);
    _vn_event_init(nullptr);
    ASSERT_EQ(_vn_event_thread_init(nullptr, kEpoll, 0), 1);
    TlsPair tls;
    ASSERT_NO_FATAL_FAILURE(tls_contexts(tls));
    Seams seams;
    LoopThread owner;
    uint64_t seed = kDefaultSeed;
    bool replay = env_seed(&seed) && std::getenv("VANTRIX_MSGQ_RANDOM_SECONDS") == nullptr;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(env_seconds());
    int sequences = 0;
    do {
        bool use_ssl = seed % 2 == 1;
        watch_calls = 0;
        write_calls = 0;
        busy_watch_repeats = 0;
        Sequence sequence(seed, use_ssl, &tls, owner);
        sequence.run();
        if (HasFailure()) {
            ADD_FAILURE() << "seed " << seed << (use_ssl ? " (ssl)" : " (plain)") << ", ops: " << sequence.ops();
            return;
        }
        seed++;
        sequences++;
    } while (!replay && std::chrono::steady_clock::now() < end);
    std::printf("%d sequences, up to seed %llu\n", sequences, static_cast<unsigned long long>(seed));
}
