// Callback delivery on one loopback link: a publisher process bursts updates
// of one subject to a subscriber process whose update callback counts them,
// once with the default delivery (every callback on the init thread) and
// once with enable-threaded-callbacks (on the peer's thread), in the same
// run. Both processes are this program again, in a role. Beside the rates,
// the subscriber reports the longest gap of a 10 ms timer on its init thread
// until the burst has been delivered, which shows whether the init thread
// kept serving its loop, and the CPU time it used over a few idle seconds
// after the burst, which shows whether a core kept spinning with nothing to
// do. Two more figures come from the hand-over alone, in this process: the
// longest gap of a 1 ms timer on the init thread while one read pass's
// updates meet a slow update callback, and how long an update that its
// thread has gathered waits for the init thread while that thread is slow to
// screen the next.
#include "median_reporter.h"
#include "role_processes.h"
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kDefaultUpdates = 500000;
constexpr uint64_t kThreadedUpdates = 2000000;
constexpr int kUpdatesPerPass = 2000;
constexpr double kIdleSeconds = 3.0;
constexpr double kTickSeconds = 0.010;
constexpr const char *kSubject = "/bench/EQ.VNTX.LAST";

std::string self_path;

// ---- The two roles, each a process of its own ----

uint64_t burst_total;
uint64_t burst_sent;
vn_data_t *burst_record;

int send_burst(int, int, void *)
{
    // The sender stamps each one with the link's next sequence number.
    for (int i = 0; i < kUpdatesPerPass && burst_sent < burst_total; i++, burst_sent++)
        vn_send_data_no_free(burst_record);
    return burst_sent < burst_total ? 1 : 0;
}

void publisher_request(int, int, char **, uint16_t)
{
    if (burst_record != nullptr)
        return;
    burst_record = vn_init_data(kSubject, 222, 0);
    const char *values[] = {"101.25", "101.50", "100.75", "2500", "VNTX", "12:30:01", "0.25", "1.3", "N"};
    for (int field = 0; field < 9; field++)
        vn_add_data(burst_record, field + 2, values[field]);
    vn_add_timed_event(0, 0, send_burst, 0, nullptr);
}

double cpu_seconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One link, one thread at a time in this callback in either mode.
struct Reception {
    uint64_t received = 0;
    uint64_t errors = 0;
    uint16_t last_seq = 0;
    std::chrono::steady_clock::time_point first;
    double seconds = 0;
    double cpu_at_end = 0;
    double longest_tick_gap = 0; // kept until the burst has been delivered
};
Reception reception;

// The init thread's timer, repeating every kTickSeconds; on that thread only.
struct Ticks {
    std::chrono::steady_clock::time_point last;
    double longest_gap = 0;
};
Ticks ticks;
int run_total = 0; // updates the hand-over benchmarks wait for

int tick(int, int, void *)
{
    auto now = std::chrono::steady_clock::now();
    if (ticks.last != std::chrono::steady_clock::time_point{})
        ticks.longest_gap = std::max(ticks.longest_gap, std::chrono::duration<double>(now - ticks.last).count());
    ticks.last = now;
    return 1;
}

int report_idle(int, int, void *)
{
    std::printf("%llu %.9f %llu %.6f %.6f\n", static_cast<unsigned long long>(reception.received - 1),
                reception.seconds, static_cast<unsigned long long>(reception.errors),
                cpu_seconds() - reception.cpu_at_end, reception.longest_tick_gap);
    std::fflush(stdout);
    _exit(0);
}

void subscriber_update(int, vn_data_t *data)
{
    if (reception.received++ == 0)
        reception.first = std::chrono::steady_clock::now();
    else if (data->seq != static_cast<uint16_t>(reception.last_seq + 1))
        reception.errors++;
    reception.last_seq = data->seq;
    if (std::strcmp(data->subject, kSubject) != 0 || data->count != 9)
        reception.errors++;
    if (reception.received != burst_total)
        return;
    reception.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - reception.first).count();
    reception.cpu_at_end = cpu_seconds();
    // The idle timer is armed on the init thread whichever thread runs this.
    tarvelutil_signalmain_exec(0, [](int, void *) {
        reception.longest_tick_gap = ticks.longest_gap;
        vn_add_timed_event(0, kIdleSeconds, report_idle, 0, nullptr);
        return 0;
    }, nullptr, 1);
}

// argv: --role publisher|default|threaded root port count
int run_role(char **argv)
{
    std::string role = argv[2];
    std::string root = argv[3];
    std::string port = argv[4];
    burst_total = std::strtoull(argv[5], nullptr, 10);
    std::string conf = "vantrix-pkt-log /dev/null\n";
    static vn_init_t init;
    if (role == "publisher") {
        conf += publisher_conf(port);
        init.recv_request = publisher_request;
    } else {
        conf += subscriber_conf(port, role == "threaded");
        init.recv_update = subscriber_update;
    }
    return run_runtime("callbacks_bench", root, role, conf, &init, [&] {
        tarvelutil_signalmain_init(nullptr);
        if (role != "publisher") {
            vn_add_timed_event(0, kTickSeconds, tick, 0, nullptr);
            vn_request_object(kSubject);
        }
    });
}

// ---- The harness side ----

// One publisher and one subscriber process; the subscriber's report.
void delivery(benchmark::State &state, bool threaded)
{
    uint64_t updates = threaded ? kThreadedUpdates : kDefaultUpdates;
    uint64_t errors = 0;
    double idle_cpu = 0;
    double tick_gap = 0;
    for (auto _ : state) {
        std::string count = std::to_string(updates);
        bench::RunSettings settings;
        settings.root_prefix = "/tmp/callbacks_bench";
        bench::RunResult run = bench::run_roles(
            {{"publisher", {self_path, "--role", "publisher", bench::kRootArg, bench::kPortArg, count}},
             {"subscriber",
              {self_path, "--role", threaded ? "threaded" : "default", bench::kRootArg, bench::kPortArg, count},
              true}},
            settings);
        if (!run.failure.empty()) {
            state.SkipWithError(run.failure.c_str());
            return;
        }
        std::string line = run.reports[0];
        unsigned long long received = 0;
        unsigned long long bad = 0;
        double seconds = 0;
        double idle = 0;
        double gap = 0;
        if (std::sscanf(line.c_str(), "%llu %lf %llu %lf %lf", &received, &seconds, &bad, &idle, &gap) != 5 ||
            seconds <= 0) {
            state.SkipWithError("the subscriber reported nothing");
            return;
        }
        errors += bad;
        idle_cpu = std::max(idle_cpu, idle);
        tick_gap = std::max(tick_gap, gap);
        state.SetIterationTime(seconds);
    }
    // The first update starts the clock: the others are what was timed.
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (updates - 1)));
    state.counters["errors"] = static_cast<double>(errors);
    state.counters["idle_cpu_s"] = idle_cpu;
    state.counters["tick_gap_ms"] = tick_gap * 1000;
}

// ---- The hand-over alone, on this process's init thread ----

constexpr int kSlowPassUpdates = 4000;
constexpr auto kSlowCallback = std::chrono::microseconds(20);
constexpr double kGapTimerSeconds = 0.001;
constexpr int kScreenedUpdates = 200;
static_assert(kScreenedUpdates <= kSlowPassUpdates, "one table of times serves both");

void spin_for(std::chrono::nanoseconds span)
{
    auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// When each update of a pass was handed in, by its sequence number: written
// by the pass's thread before the hand-in, read on the init thread after.
int64_t gathered_at[kSlowPassUpdates];
std::atomic<int> handoff_delivered{0};
std::chrono::nanoseconds callback_cost{0};
double longest_wait = 0;
double total_wait = 0;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void handoff_update(int, vn_data_t *data)
{
    double waited = static_cast<double>(now_ns() - gathered_at[data->seq]) / 1e9;
    longest_wait = std::max(longest_wait, waited);
    total_wait += waited;
    spin_for(callback_cost);
    handoff_delivered++;
}

// Once per process: the loop and the default hand-over, as vn_init makes them.
void start_handoff()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    static vn_init_t init;
    vn_config_set_ctx(vn_config_new_ctx());
    _vn_callbacks_config_init();
    _vn_event_init(&init);
    _vn_event_thread_init(&init, 0, 0);
    init.recv_update = handoff_update;
    _vn_callbacks_init(&init);
}

// One read pass of `count` updates on a thread of its own, `screening` spent
// before each; the init thread's loop runs until all have been delivered.
void run_pass(int count, std::chrono::nanoseconds screening)
{
    handoff_delivered = 0;
    std::thread pass([count, screening] {
        vn_data_t record{};
        _vn_callbacks_pass_begin();
        for (int n = 0; n < count; n++) {
            spin_for(screening);
            vn_free_datapkt_data(&record);
            record.subject = vn_strdup(kSubject);
            record.seq = static_cast<uint16_t>(n);
            _vn_callbacks_lend(&record);
            gathered_at[n] = now_ns();
            _vn_callbacks_recv_update(0, &record);
            _vn_callbacks_lend(nullptr);
        }
        _vn_callbacks_pass_end();
        vn_free_datapkt_data(&record);
    });
    ticks = Ticks{};
    vn_timed_event_t *timer = vn_add_timed_event(0, kGapTimerSeconds, tick, 0, nullptr);
    vn_add_timed_event(
        0, kGapTimerSeconds,
        [](int, int, void *) {
            if (handoff_delivered.load() < run_total)
                return 1;
            vn_stop();
            return 0;
        },
        0, nullptr);
    run_total = count;
    vn_loop();
    vn_del_timed_event(timer);
    pass.join();
}

void slow_callback_gap(benchmark::State &state)
{
    start_handoff();
    callback_cost = kSlowCallback;
    double gap = 0;
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        run_pass(kSlowPassUpdates, std::chrono::nanoseconds(0));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        gap = std::max(gap, ticks.longest_gap);
    }
    state.counters["tick_gap_ms"] = gap * 1000;
    state.counters["callback_us"] = static_cast<double>(kSlowCallback.count());
}

void gathered_wait(benchmark::State &state)
{
    start_handoff();
    callback_cost = std::chrono::nanoseconds(0);
    auto screening = std::chrono::microseconds(state.range(0));
    longest_wait = total_wait = 0;
    for (auto _ : state) {
        auto started = std::chrono::steady_clock::now();
        run_pass(kScreenedUpdates, screening);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    state.counters["wait_mean_us"] = total_wait / (static_cast<double>(state.iterations()) * kScreenedUpdates) * 1e6;
    state.counters["wait_max_us"] = longest_wait * 1e6;
}

class RatioReporter : public MedianReporter {
public:
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        double threaded = median("threaded_callbacks");
        double fallback = median("default_callbacks");
        std::printf("\nmedians (updates per second on one link)\n");
        std::printf("%-28s %14.0f\n", "threaded callbacks", threaded);
        std::printf("%-28s %14.0f  %.3f of threaded\n", "default callbacks", fallback,
                    threaded > 0 ? fallback / threaded : 0.0);
        std::printf("idle_cpu_s: the subscriber's CPU seconds over %.0f idle seconds after its burst\n",
                    kIdleSeconds);
    }
};

} // namespace

int main(int argc, char **argv)
{
    char path[4096];
    ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
    if (len <= 0)
        return 1;
    self_path.assign(path, static_cast<size_t>(len));
    if (argc == 6 && std::strcmp(argv[1], "--role") == 0)
        return run_role(argv);
    benchmark::RegisterBenchmark("threaded_callbacks", delivery, true)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("default_callbacks", delivery, false)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("slow_callback_timer_gap", slow_callback_gap)->UseManualTime()->Iterations(1);
    benchmark::RegisterBenchmark("gathered_update_wait", gathered_wait)
        ->Arg(20)
        ->Arg(100)
        ->Arg(1000)
        ->UseManualTime()
        ->Iterations(1);
    RatioReporter reporter;
    return run_benchmarks(argc, argv, {"--benchmark_repetitions=3"}, reporter);
}
