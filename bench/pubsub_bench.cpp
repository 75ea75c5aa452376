// Updates from a publisher to a subscriber on one loopback link, each a real
// process running the runtime (this program again, in a role), the
// subscriber with enable-threaded-callbacks: updates per second that reach
// the subscriber's callback intact and in order, with the packet log on a
// real file, on /dev/null and dropped after start-up (the send path without
// the log's records). Beside them, in the same run: a raw TCP
// writer/reader pair moving the same frames in large writes, and a bare loop
// of the packet log's own writes (one writev of a 28-byte header and the
// payload per record) to a file. The rates and their ratios are printed at
// the end.
#include "median_reporter.h"
#include "peer_bench.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using peer_bench::PacketLog;
using peer_bench::Report;
using peer_bench::make_update;
using peer_bench::run_link;
using peer_bench::span_seconds;

constexpr uint64_t kFileUpdates = 1000000;
constexpr uint64_t kNullUpdates = 3000000;
// The raw pair is several times faster: it moves more, so that it runs about
// as long as a link and a moment's load on the machine counts for as little.
constexpr uint64_t kRawFrames = 5 * kNullUpdates;
constexpr size_t kRawBlockFrames = 4096;
constexpr size_t kRawReadBytes = 1 << 20;
constexpr size_t kLogHeaderBytes = 28;

// One publisher and one subscriber process; the subscriber's report.
void pubsub(benchmark::State &state, PacketLog log)
{
    uint64_t updates = log == PacketLog::kFile ? kFileUpdates : kNullUpdates;
    uint64_t errors = 0;
    for (auto _ : state) {
        std::string failure;
        std::vector<Report> reports = run_link(1, updates, log, failure);
        if (reports.empty() || span_seconds(reports) <= 0) {
            state.SkipWithError(failure.empty() ? "the subscriber timed nothing" : failure.c_str());
            return;
        }
        errors += reports[0].errors;
        state.SetIterationTime(span_seconds(reports));
    }
    // The first update starts the clock: the others are what was timed.
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (updates - 1)));
    state.counters["errors"] = static_cast<double>(errors);
}

// The frame of an update as the direct sender makes it.
std::vector<unsigned char> update_frame()
{
    vn_data_t *data = make_update(1234567);
    std::vector<unsigned char> payload(4096);
    size_t len = payload.size();
    vn_datapkt_serialise(data, payload.data(), &len);
    payload.resize(len);
    vn_free_data(data);
    // Filled in place: g++ 12 at -O3 misreads an insert behind a 4-byte
    // initialiser list as writing past it (a false -Warray-bounds).
    std::vector<unsigned char> frame(4 + len);
    frame[1] = VN_DATAUPDATE;
    frame[2] = static_cast<unsigned char>(len >> 8);
    frame[3] = static_cast<unsigned char>(len);
    std::memcpy(frame.data() + 4, payload.data(), len);
    return frame;
}

void raw_tcp_pair(benchmark::State &state)
{
    std::vector<unsigned char> frame = update_frame();
    std::vector<unsigned char> block;
    for (size_t i = 0; i < kRawBlockFrames; i++)
        block.insert(block.end(), frame.begin(), frame.end());
    for (auto _ : state) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
        int writer = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(writer, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            std::abort();
        int reader = accept(listener, nullptr, nullptr);
        close(listener);
        uint64_t total_bytes = kRawFrames * frame.size();
        auto start = std::chrono::steady_clock::now();
        std::thread write_side([&] {
            uint64_t left = total_bytes;
            while (left > 0) {
                size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
                ssize_t put = write(writer, block.data(), chunk);
                if (put <= 0)
                    break;
                left -= static_cast<uint64_t>(put);
            }
        });
        std::vector<unsigned char> buffer(kRawReadBytes);
        uint64_t read_bytes = 0;
        while (read_bytes < total_bytes) {
            ssize_t got = read(reader, buffer.data(), buffer.size());
            if (got <= 0)
                break;
            read_bytes += static_cast<uint64_t>(got);
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        write_side.join();
        close(writer);
        close(reader);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRawFrames));
}

// The packet log's own record: a 28-byte header and the payload in one writev.
void packet_log_writev(benchmark::State &state)
{
    std::vector<unsigned char> frame = update_frame();
    unsigned char header[kLogHeaderBytes] = {};
    std::string root = bench::make_root("/tmp/peer_bench_log");
    std::string file = root + "/packet.log";
    for (auto _ : state) {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        auto start = std::chrono::steady_clock::now();
        for (uint64_t i = 0; i < kFileUpdates; i++) {
            iovec parts[2] = {{header, sizeof header}, {frame.data() + 4, frame.size() - 4}};
            if (writev(fd, parts, 2) < 0)
                std::abort();
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        close(fd);
    }
    bench::remove_root(root);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFileUpdates));
}

class RatioReporter : public MedianReporter {
public:
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        double raw = median("raw_tcp_pair");
        double writev_loop = median("packet_log_writev");
        double file = median("pubsub_packet_log_file");
        double null = median("pubsub_packet_log_dev_null");
        double off = median("pubsub_packet_log_off");
        std::printf("\nmedians (updates or records per second)\n");
        std::printf("%-32s %14.0f\n", "raw TCP pair", raw);
        std::printf("%-32s %14.0f\n", "packet log writev loop", writev_loop);
        std::printf("%-32s %14.0f  %.2f of the writev loop\n", "pub/sub, packet log on a file", file,
                    writev_loop > 0 ? file / writev_loop : 0.0);
        std::printf("%-32s %14.0f  %.3f of the raw pair\n", "pub/sub, packet log /dev/null", null,
                    raw > 0 ? null / raw : 0.0);
        std::printf("%-32s %14.0f  %.3f of the raw pair\n", "pub/sub, packet log off", off, raw > 0 ? off / raw : 0.0);
    }
};

} // namespace

int main(int argc, char **argv)
{
    int role = peer_bench::run_role_if_asked(argc, argv);
    if (role >= 0)
        return role;
    benchmark::RegisterBenchmark("raw_tcp_pair", raw_tcp_pair)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("packet_log_writev", packet_log_writev)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("pubsub_packet_log_file", pubsub, PacketLog::kFile)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("pubsub_packet_log_dev_null", pubsub, PacketLog::kDevNull)
        ->UseManualTime()
        ->Iterations(1);
    benchmark::RegisterBenchmark("pubsub_packet_log_off", pubsub, PacketLog::kOff)->UseManualTime()->Iterations(1);
    RatioReporter reporter;
    return run_benchmarks(argc, argv, {"--benchmark_repetitions=3"}, reporter);
}
