// Updates from a publisher to a subscriber on one loopback link, each a real
// process running the runtime (this program again, in a role), the
// subscriber with enable-threaded-callbacks: updates per second that reach
// the subscriber's callback intact and in order, with the packet log on a
// real file and on /dev/null. Beside them, in the same run: a raw TCP
// writer/reader pair moving the same frames in large writes, and a bare loop
// of the packet log's own writes (one writev of a 28-byte header and the
// payload per record) to a file. The rates and their ratios are printed at
// the end.
#include "median_reporter.h"
#include "role_processes.h"
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kFileUpdates = 1000000;
constexpr uint64_t kNullUpdates = 3000000;
constexpr int kUpdatesPerPass = 2000;
constexpr size_t kRawBlockFrames = 4096;
constexpr size_t kRawReadBytes = 1 << 20;
constexpr size_t kLogHeaderBytes = 28;
constexpr const char *kSubject = "/bench/EQ.VNTX.LAST";
const char *const kValues[] = {"101.25", "101.50", "100.75", "2500", "VNTX", "12:30:01", "0.25", "1.3", "N"};

std::string self_path;

// ---- The two roles, each a process of its own ----

constexpr int kSequenceDigits = 12;

// One update: the sequence number in field 1 (fixed width, so that it can be
// rewritten in place) and nine typical fields.
vn_data_t *make_update(uint64_t sequence)
{
    vn_data_t *data = vn_init_data(kSubject, 222, 0);
    vn_add_data_fmt(data, 1, "%0*llu", kSequenceDigits, static_cast<unsigned long long>(sequence));
    for (int field = 0; field < 9; field++)
        vn_add_data(data, field + 2, kValues[field]);
    return data;
}

void set_sequence(vn_data_t *data, uint64_t sequence)
{
    char *digits = data->fields[0].value;
    for (int i = kSequenceDigits - 1; i >= 0; i--, sequence /= 10)
        digits[i] = static_cast<char>('0' + sequence % 10);
}

uint64_t burst_total;
uint64_t burst_sent;
vn_data_t *burst_record;

// The publisher re-sends one record with a new sequence number, as a feed
// that keeps its records does; the send path serialises it every time.
int send_burst(int, int, void *)
{
    for (int i = 0; i < kUpdatesPerPass && burst_sent < burst_total; i++) {
        set_sequence(burst_record, ++burst_sent);
        vn_send_data_no_free(burst_record);
    }
    return burst_sent < burst_total ? 1 : 0;
}

void publisher_request(int, int, char **, uint16_t)
{
    if (burst_record != nullptr)
        return;
    burst_record = make_update(0);
    vn_add_timed_event(0, 0, send_burst, 0, nullptr);
}

// Counted on the peer's thread, where threaded callbacks run.
struct Reception {
    uint64_t expected = 1;
    uint64_t errors = 0;
    std::chrono::steady_clock::time_point first;
};
Reception reception;

void subscriber_update(int, vn_data_t *data)
{
    uint64_t sequence = data->count > 0 ? std::strtoull(data->fields[0].value, nullptr, 10) : 0;
    bool intact = std::strcmp(data->subject, kSubject) == 0 && data->count == 10 &&
                  std::strcmp(data->fields[9].value, kValues[8]) == 0;
    if (sequence == 1)
        reception.first = std::chrono::steady_clock::now();
    if (!intact || sequence != reception.expected)
        reception.errors++;
    reception.expected = sequence + 1;
    if (sequence == burst_total) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - reception.first).count();
        std::printf("%llu %.9f %llu\n", static_cast<unsigned long long>(sequence - 1), seconds,
                    static_cast<unsigned long long>(reception.errors));
        std::fflush(stdout);
        _exit(0);
    }
}

// argv: --role publisher|subscriber root port count packet-log
int run_role(char **argv)
{
    std::string role = argv[2];
    std::string root = argv[3];
    std::string port = argv[4];
    burst_total = std::strtoull(argv[5], nullptr, 10);
    std::string conf = "vantrix-pkt-log " + std::string(argv[6]) + "\n";
    static vn_init_t init;
    if (role == "publisher") {
        conf += "application-name publisher\nvantrix-id 1\nvantrix-port " + port +
                "\nadd-peer\nlabel subscriber\nremote-id 2\nlocal-type active\nend-peer\n";
        init.recv_request = publisher_request;
    } else {
        conf += "application-name subscriber\nvantrix-id 2\nenable-threaded-callbacks\n"
                "add-peer\nlabel publisher\naddr 127.0.0.1\nport " +
                port +
                "\nend-peer\nadd-data-service\nservice-name bench\ninclude-pattern ^/bench/\n"
                "add-source-group\nrequired\nadd-priority\nlabel publisher\nend-priority\nend-source-group\n"
                "end-data-service\n";
        init.recv_update = subscriber_update;
    }
    if (bench::start_role_runtime(root, role, conf, &init) < 0)
        return 1;
    if (role == "subscriber")
        vn_request_object(kSubject);
    vn_loop();
    return 0;
}

// ---- The harness side ----

std::string make_root(const std::string &name)
{
    return bench::make_root("/tmp/pubsub_bench_" + name);
}

// One publisher and one subscriber process; the subscriber's report.
void pubsub(benchmark::State &state, bool null_log)
{
    uint64_t updates = null_log ? kNullUpdates : kFileUpdates;
    uint64_t errors = 0;
    for (auto _ : state) {
        std::string pub_root = make_root("publisher");
        std::string sub_root = make_root("subscriber");
        std::string port = std::to_string(bench::free_tcp_port());
        std::string count = std::to_string(updates);
        int null_fd = open("/dev/null", O_WRONLY);
        int report[2];
        if (pipe(report) != 0)
            std::abort();
        pid_t publisher = bench::spawn({self_path, "--role", "publisher", pub_root, port, count,
                                 null_log ? "/dev/null" : pub_root + "/var/packet.log"},
                                null_fd);
        pid_t subscriber = bench::spawn({self_path, "--role", "subscriber", sub_root, port, count,
                                  null_log ? "/dev/null" : sub_root + "/var/packet.log"},
                                 report[1]);
        close(report[1]);
        char line[256] = "";
        ssize_t got = read(report[0], line, sizeof line - 1);
        close(report[0]);
        close(null_fd);
        kill(publisher, SIGTERM);
        kill(subscriber, SIGTERM);
        waitpid(publisher, nullptr, 0);
        waitpid(subscriber, nullptr, 0);
        bench::remove_root(pub_root);
        bench::remove_root(sub_root);
        unsigned long long received = 0;
        unsigned long long bad = 0;
        double seconds = 0;
        if (got <= 0 || std::sscanf(line, "%llu %lf %llu", &received, &seconds, &bad) != 3 || seconds <= 0) {
            state.SkipWithError("the subscriber reported nothing");
            return;
        }
        errors += bad;
        state.SetIterationTime(seconds);
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
        uint64_t total_bytes = kNullUpdates * frame.size();
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
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kNullUpdates));
}

// The packet log's own record: a 28-byte header and the payload in one writev.
void packet_log_writev(benchmark::State &state)
{
    std::vector<unsigned char> frame = update_frame();
    unsigned char header[kLogHeaderBytes] = {};
    std::string root = make_root("log");
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
        std::printf("\nmedians (updates or records per second)\n");
        std::printf("%-32s %14.0f\n", "raw TCP pair", raw);
        std::printf("%-32s %14.0f\n", "packet log writev loop", writev_loop);
        std::printf("%-32s %14.0f  %.2f of the writev loop\n", "pub/sub, packet log on a file", file,
                    writev_loop > 0 ? file / writev_loop : 0.0);
        std::printf("%-32s %14.0f  %.2f of the raw pair\n", "pub/sub, packet log /dev/null", null,
                    raw > 0 ? null / raw : 0.0);
    }
};

} // namespace

int main(int argc, char **argv)
{
    self_path = bench::self_path();
    if (self_path.empty())
        return 1;
    if (argc == 7 && std::strcmp(argv[1], "--role") == 0)
        return run_role(argv);
    benchmark::RegisterBenchmark("raw_tcp_pair", raw_tcp_pair)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("packet_log_writev", packet_log_writev)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("pubsub_packet_log_file", pubsub, false)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("pubsub_packet_log_dev_null", pubsub, true)->UseManualTime()->Iterations(1);
    std::vector<char *> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=3";
    args.insert(args.begin() + 1, repetitions);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
