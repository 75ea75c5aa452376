// Typical updates (a 20-character subject, 10 short fields) moved over a
// loopback TCP socket from one thread to another: through a message queue at
// each end, with and without the peer send path's packet log written to a
// real file, and as the same bytes moved by a raw writer/reader pair in large
// writes. Each pipe runs continuously; an iteration is the time for a batch of
// frames to arrive. The frame rates, their ratios to the raw pair and the
// packet log's cost per packet are printed at the end.
#include "event.h"
#include "msgq.h"
#include "median_reporter.h"
#include "peer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr int kEpoll = 1;
constexpr uint64_t kFramesPerIteration = 100000;
constexpr uint64_t kWindowFrames = 1 << 20; // a producer runs at most this far ahead of its reader
constexpr int kFramesPerProducerPass = 512;
constexpr uint64_t kFramesPerReport = 64;
constexpr size_t kRawBlockFrames = 4096;   // one large write of the raw pair
constexpr size_t kRawReadBytes = 1 << 20;
constexpr size_t kRecordHeadBytes = 28; // ahead of each payload in the packet log

// The payload of a typical update, serialised once.
std::vector<unsigned char> typical_update()
{
    vn_datapkt_t *pkt = vn_new_datapkt("EQ.NASDAQ.VNTRX.LAST", 0, 0);
    const char *values[] = {"101.25", "101.50", "100.75", "2500", "VNTX", "12:30:01", "0.25", "1.3", "N", "Q"};
    for (int field = 0; field < 10; field++)
        vn_datapkt_add_field(pkt, field + 1, values[field]);
    std::vector<unsigned char> payload(4096);
    size_t len = payload.size();
    vn_datapkt_serialise(pkt, payload.data(), &len);
    payload.resize(len);
    vn_free_datapkt(pkt);
    return payload;
}

struct Loopback {
    int writer = -1;
    int reader = -1;
};

Loopback loopback_pair()
{
    Loopback pair;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
    pair.writer = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(pair.writer, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        std::abort();
    pair.reader = accept(listener, nullptr, nullptr);
    close(listener);
    int on = 1;
    setsockopt(pair.writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return pair;
}

// Frames counted by a reader; the benchmark thread waits on it.
class Arrivals {
public:
    void add(uint64_t frames)
    {
        uint64_t now = count_.fetch_add(frames, std::memory_order_relaxed) + frames;
        if (now >= target_.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> lock(mutex_);
            changed_.notify_all();
        }
    }
    uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    // Waits until `frames` more have arrived.
    void wait_for_more(uint64_t frames)
    {
        uint64_t goal = count() + frames;
        target_.store(goal);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return count() >= goal; });
    }

private:
    std::atomic<uint64_t> count_{0};
    std::atomic<uint64_t> target_{UINT64_MAX};
    std::mutex mutex_;
    std::condition_variable changed_;
};

// A thread with its own loop; call() runs a function there and waits.
class LoopThread {
public:
    LoopThread()
    {
        std::promise<tarvelutil_signalany_t *> ready;
        auto channel = ready.get_future();
        thread_ = std::thread([&ready] {
            _vn_event_thread_init(nullptr, kEpoll, 0);
            ready.set_value(_vn_event_get_globals()->signalany);
            vn_loop();
        });
        channel_ = channel.get();
    }
    ~LoopThread()
    {
        call([] { vn_stop(); });
        thread_.join();
    }
    void call(std::function<void()> fn) { tarvelutil_signalany_send(channel_, 0, run_function, &fn, 0); }

private:
    static int run_function(int, void *data)
    {
        (*static_cast<std::function<void()> *>(data))();
        return 0;
    }
    std::thread thread_;
    tarvelutil_signalany_t *channel_ = nullptr;
};

// ---- The raw pair: the same bytes in large writes, counted on arrival ----

void raw_pair(benchmark::State &state, const std::vector<unsigned char> &payload)
{
    std::vector<unsigned char> frame(4 + payload.size());
    frame[0] = 0;
    frame[1] = VN_DATAUPDATE;
    frame[2] = static_cast<unsigned char>(payload.size() >> 8);
    frame[3] = static_cast<unsigned char>(payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    std::vector<unsigned char> block;
    for (size_t i = 0; i < kRawBlockFrames; i++)
        block.insert(block.end(), frame.begin(), frame.end());
    Loopback pair = loopback_pair();
    Arrivals arrivals;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load(std::memory_order_relaxed))
            if (write(pair.writer, block.data(), block.size()) < 0)
                break;
    });
    std::thread reader([&] {
        std::vector<unsigned char> buffer(kRawReadBytes);
        uint64_t bytes = 0;
        for (;;) {
            ssize_t got = read(pair.reader, buffer.data(), buffer.size());
            if (got <= 0)
                break;
            uint64_t before = bytes / frame.size();
            bytes += static_cast<uint64_t>(got);
            arrivals.add(bytes / frame.size() - before);
        }
    });
    for (auto _ : state)
        arrivals.wait_for_more(kFramesPerIteration);
    stop = true;
    shutdown(pair.writer, SHUT_RDWR);
    shutdown(pair.reader, SHUT_RDWR);
    writer.join();
    reader.join();
    close(pair.writer);
    close(pair.reader);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFramesPerIteration));
}

// ---- Through message queues: the sending queue's owner produces ----

peer_t bench_peer; // the peer the send path writes to and logs for
std::string packet_log_file;

struct Producer {
    vn_msgq_t *queue;
    vn_msg_t msg;
    bool packet_log;
    const Arrivals *arrivals;
    uint64_t sent = 0;
    std::atomic<bool> stop{false};
};

// Appends frames on the owner's loop, each pass, as long as the reader keeps up.
int produce(int, int, void *data)
{
    Producer *producer = static_cast<Producer *>(data);
    if (producer->stop.load(std::memory_order_relaxed))
        return 0;
    uint64_t ahead = producer->sent - producer->arrivals->count();
    int frames = ahead < kWindowFrames ? static_cast<int>(std::min<uint64_t>(kWindowFrames - ahead, kFramesPerProducerPass)) : 0;
    for (int i = 0; i < frames; i++, producer->sent++) {
        if (producer->packet_log)
            _vn_peer_send(0, &producer->msg, 0);
        else
            vn_msgq_send_msg_stream_buffer(producer->queue, &producer->msg);
    }
    return 1;
}

// Counts on the reader's thread and tells the others every few frames, as
// the raw reader does once per read.
struct Counter {
    Arrivals *arrivals;
    uint64_t unreported = 0;
};

int count_frame(vn_msgq_t *, vn_msg_t *msg, int, void *data)
{
    Counter *counter = static_cast<Counter *>(data);
    if (msg->type == VN_DATAUPDATE && ++counter->unreported == kFramesPerReport) {
        counter->arrivals->add(counter->unreported);
        counter->unreported = 0;
    }
    return 1;
}

void through_queues(benchmark::State &state, std::vector<unsigned char> payload, bool packet_log)
{
    Loopback pair = loopback_pair();
    Arrivals arrivals;
    Counter counter{&arrivals};
    LoopThread owner, reading;
    vn_msgq_t *sending = nullptr;
    vn_msgq_t *receiving = nullptr;
    Producer producer{nullptr, {VN_DATAUPDATE, static_cast<uint32_t>(payload.size()), payload.data(), nullptr, 0},
                      packet_log, &arrivals};
    reading.call([&] {
        vn_setnonblocking(pair.reader);
        receiving = vn_new_msgq(pair.reader, 0, count_frame, nullptr, 0, &counter);
    });
    owner.call([&] {
        vn_setnonblocking(pair.writer);
        sending = vn_new_msgq(pair.writer, 0, nullptr, nullptr, 0, nullptr);
        producer.queue = sending;
        bench_peer.msgq = sending;
        vn_add_timed_event(0, 0, produce, 0, &producer);
    });
    for (auto _ : state)
        arrivals.wait_for_more(kFramesPerIteration);
    producer.stop = true;
    owner.call([&] {
        bench_peer.msgq = nullptr;
        vn_free_msgq(sending);
    });
    reading.call([&] { vn_free_msgq(receiving); });
    close(pair.writer);
    close(pair.reader);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFramesPerIteration));
}

// ---- The packet log alone: one record per packet, as a send makes it ----

off_t file_bytes(const std::string &file)
{
    struct stat status {};
    return stat(file.c_str(), &status) == 0 ? status.st_size : -1;
}

// The record is made under the peer's lock and written at the settle once
// the lock is released, as on every send path: with no other sender, this
// thread finds the log idle each time and writes each record itself.
void packet_log_record(benchmark::State &state, std::vector<unsigned char> payload)
{
    vn_msg_t msg{VN_DATAUPDATE, static_cast<uint32_t>(payload.size()), payload.data(), nullptr, 0};
    off_t before = file_bytes(packet_log_file);
    for (auto _ : state) {
        peer_log_turn turn;
        peer_mutex_guard hold(bench_peer.peer_lock);
        _vn_peer_log_msg(&bench_peer, &msg);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    // A record left pending would hold up the next benchmark's sender.
    off_t made = static_cast<off_t>(state.iterations() * (kRecordHeadBytes + payload.size()));
    if (file_bytes(packet_log_file) - before != made)
        state.SkipWithError("the packet log file lacks some of the records made");
}

// The send path's peer, with its packet log in a real file.
void set_up_peer(const std::string &log_file)
{
    pthread_mutex_init(&bench_peer.peer_lock, nullptr);
    bench_peer.remote_id = 1;
    bench_peer.saddr.s_addr = htonl(INADDR_LOOPBACK);
    peer_array = &bench_peer;
    vn_num_peers = 1;
    if (!peer_packet_log_open(log_file.c_str())) {
        std::fprintf(stderr, "cannot open the packet log %s\n", log_file.c_str());
        std::exit(1);
    }
}

// Collects each run's rate and prints the medians side by side at the end.
class RatioReporter : public MedianReporter {
public:
    explicit RatioReporter(size_t bytes) : frame_bytes(bytes) {}

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        double raw = median("raw_tcp_pair");
        std::printf("\nframes of %zu bytes; medians of %zu runs each\n%-28s %14s %8s\n", frame_bytes,
                    runs_of("raw_tcp_pair"), "pipe", "frames/s", "vs raw");
        for (const auto &[name, label] : {std::pair{"raw_tcp_pair", "raw TCP pair"}, std::pair{"msgq", "message queues"},
                                          std::pair{"msgq_packet_log", "queues with packet log"}}) {
            double rate = median(name);
            std::printf("%-28s %14.0f %8.2f\n", label, rate, raw > 0 ? rate / raw : 0.0);
        }
        double records = median("packet_log_record");
        std::printf("packet log: %.0f ns per packet\n", records > 0 ? 1e9 / records : 0.0);
    }

private:
    size_t frame_bytes;
};

} // namespace

int main(int argc, char **argv)
{
    _vn_event_init(nullptr);
    char dir_template[] = "/tmp/msgq_bench.XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr)
        return 1;
    packet_log_file = std::string(dir) + "/packet.log";
    set_up_peer(packet_log_file);
    std::vector<unsigned char> payload = typical_update();
    benchmark::RegisterBenchmark("raw_tcp_pair", raw_pair, payload)->UseRealTime();
    benchmark::RegisterBenchmark("msgq", through_queues, payload, false)->UseRealTime();
    benchmark::RegisterBenchmark("msgq_packet_log", through_queues, payload, true)->UseRealTime();
    benchmark::RegisterBenchmark("packet_log_record", packet_log_record, payload);
    // Repeated and interleaved unless told otherwise: the pipes share the
    // machine with whatever else runs, and their ratio is what counts.
    RatioReporter reporter(payload.size() + 4);
    int status = run_benchmarks(argc, argv,
                                {"--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true"}, reporter);
    // The log's hidden marker file goes with the directory.
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
}
