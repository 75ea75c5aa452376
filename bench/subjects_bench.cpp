// Very many subjects with the default options: one subscriber process
// requests 1,000, 100,000, 300,000 and 1,000,000 subjects at once from one
// loopback source process that answers each with an image (the source with
// enable-threaded-callbacks, so that it answers at full speed; the
// subscriber with default callbacks, and again with threaded ones as the
// baseline of delivery). Reported per run: the time of vn_request_objects alone (wall
// clock and the init thread's CPU time), the time until every image was
// accepted, the resident memory per subject after the request and after the
// images, and the counts of images and not-founds. Beside the default
// 16,384-slot tracker table, the same requests with
// vantrix-default-obj-hash-size set to the subject count: the baseline of
// short chains.
//
// A look-up micro-benchmark times one look-up as the tracker table makes it
// (the subject hashed once, a get with a write hold and its release through
// the entry) in a table of 16,384 buckets holding 1,000, 100,000 and
// 1,000,000 subjects, and in a table with a bucket per subject.
#include "advmap.h"
#include "median_reporter.h"
#include "role_processes.h"
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kDefaultHashSize = 16384;
constexpr uint16_t kImageFlag = 0x1000;
constexpr double kCheckSeconds = 0.01;
constexpr double kGiveUpSeconds = 120.0;
// Beside kGiveUpSeconds, for both processes to start and the request to be made.
constexpr double kStartSeconds = 60.0;

std::string self_path;

std::string subject_of(int index)
{
    char name[64];
    std::snprintf(name, sizeof name, "/bench/SUBJ.%07d.LAST", index);
    return name;
}

long resident_bytes()
{
    long pages = 0;
    long resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// The calling thread's CPU time: on a busy machine steadier than the clock.
double thread_cpu_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- The source: every requested subject is answered with an image ----

void source_request(int peer, int count, char **subjects, uint16_t)
{
    for (int i = 0; i < count; i++) {
        vn_data_t *image = vn_init_data(subjects[i], 222, kImageFlag);
        vn_add_data(image, 1, "101.25");
        vn_add_data(image, 2, "2500");
        vn_send_data_to_peer(peer, image);
    }
}

// ---- The subscriber ----

struct Subscriber {
    int count = 0;
    std::vector<std::string> subjects;
    std::vector<char *> names;
    std::atomic<bool> up{false};
    std::atomic<long> images{0};
    std::atomic<long> notfound{0};
    std::chrono::steady_clock::time_point requested;
    double request_seconds = 0;
    double request_cpu_seconds = 0;
    long rss_before = 0;
    long rss_requested = 0;
};
Subscriber subscriber;

void subscriber_update(int, vn_data_t *data)
{
    if (data->flags & kImageFlag)
        subscriber.images++;
}

void subscriber_nodata(int, char *, uint16_t)
{
    subscriber.notfound++;
}

void subscriber_peer_status(int, int status, int, void *)
{
    if (status == 256)
        subscriber.up = true;
}

int check_done(int, int, void *)
{
    long answered = subscriber.images + subscriber.notfound;
    double all_seconds = seconds_since(subscriber.requested);
    if (answered < subscriber.count && all_seconds < kGiveUpSeconds)
        return 1;
    std::printf("%.6f %.6f %.6f %ld %ld %ld %ld\n", subscriber.request_seconds, subscriber.request_cpu_seconds,
                all_seconds,
                subscriber.rss_requested - subscriber.rss_before, resident_bytes() - subscriber.rss_before,
                subscriber.images.load(), subscriber.notfound.load());
    std::fflush(stdout);
    _exit(0);
}

// Requests every subject at once, on the init thread, once the source is up.
int request_when_up(int, int, void *)
{
    if (!subscriber.up)
        return 1;
    subscriber.rss_before = resident_bytes();
    double cpu_before = thread_cpu_seconds();
    subscriber.requested = std::chrono::steady_clock::now();
    vn_request_objects(subscriber.count, subscriber.names.data(), nullptr);
    subscriber.request_seconds = seconds_since(subscriber.requested);
    subscriber.request_cpu_seconds = thread_cpu_seconds() - cpu_before;
    subscriber.rss_requested = resident_bytes();
    vn_add_timed_event(0, kCheckSeconds, check_done, 0, nullptr);
    return 0;
}

// argv: --role source|subscriber root port count hash-size threaded(0|1)
int run_role(char **argv)
{
    std::string role = argv[2];
    std::string root = argv[3];
    std::string port = argv[4];
    static vn_init_t init;
    std::string conf;
    if (role == "source") {
        conf = "application-name source\nvantrix-id 1\nvantrix-port " + port +
               "\nenable-threaded-callbacks\nadd-peer\nlabel subscriber\nremote-id 2\nlocal-type active\nend-peer\n";
        init.recv_request = source_request;
    } else {
        subscriber.count = std::atoi(argv[5]);
        for (int i = 0; i < subscriber.count; i++)
            subscriber.subjects.push_back(subject_of(i));
        for (std::string &subject : subscriber.subjects)
            subscriber.names.push_back(subject.data());
        // The default data service: no add-data-service.
        conf = "application-name subscriber\nvantrix-id 2\n" +
               std::string(std::strcmp(argv[7], "1") == 0 ? "enable-threaded-callbacks\n" : "") +
               "vantrix-default-obj-hash-size " +
               std::string(argv[6]) + "\nadd-peer\nlabel source\naddr 127.0.0.1\nport " + port + "\nend-peer\n";
        init.recv_update = subscriber_update;
        init.recv_nodata = subscriber_nodata;
        init.recv_peer_status = subscriber_peer_status;
    }
    if (bench::start_role_runtime(root, role, conf, &init) < 0)
        return 1;
    if (role == "subscriber")
        vn_add_timed_event(0, kCheckSeconds, request_when_up, 0, nullptr);
    vn_loop();
    return 0;
}

// ---- The harness side ----

// What one subscriber run reported.
struct Report {
    int subjects = 0;
    double request_seconds = 0;
    double request_cpu_seconds = 0;
    double all_seconds = 0;
    long rss_requested = 0;
    long rss_all = 0;
    long images = 0;
    long notfound = 0;
};

// The source and the subscriber; "" with `report` filled, or the reason.
std::string run_pair(int count, int hash_size, bool threaded, Report *report)
{
    std::string subjects = std::to_string(count);
    std::string hash = std::to_string(hash_size);
    std::string mode = threaded ? "1" : "0";
    auto role = [&](const std::string &name) {
        return bench::Role{name,
                           {self_path, "--role", name, bench::kRootArg, bench::kPortArg, subjects, hash, mode},
                           name == "subscriber"};
    };
    bench::RunSettings settings;
    settings.root_prefix = "/tmp/subjects_bench";
    // The subscriber reports by itself once it gives up on the images.
    settings.timeout = std::chrono::milliseconds(static_cast<long>((kGiveUpSeconds + kStartSeconds) * 1000));
    bench::RunResult run = bench::run_roles({role("source"), role("subscriber")}, settings);
    if (!run.failure.empty())
        return run.failure;
    if (std::sscanf(run.reports[0].c_str(), "%lf %lf %lf %ld %ld %ld %ld", &report->request_seconds,
                    &report->request_cpu_seconds, &report->all_seconds, &report->rss_requested, &report->rss_all,
                    &report->images, &report->notfound) != 7)
        return "the subscriber's report did not read";
    return "";
}

// Runs, by label and subject count (in numeric order), for the summary at the end.
std::map<std::pair<std::string, int>, std::vector<Report>> reports;

// args: subject count, tracker table size (0: the subject count), threaded
// callbacks in the subscriber (0 or 1)
void request_subjects(benchmark::State &state, const std::string &label)
{
    int count = static_cast<int>(state.range(0));
    int hash_size = state.range(1) > 0 ? static_cast<int>(state.range(1)) : count;
    bool threaded = state.range(2) != 0;
    Report last;
    for (auto _ : state) {
        Report report;
        report.subjects = count;
        std::string failure = run_pair(count, hash_size, threaded, &report);
        if (!failure.empty()) {
            state.SkipWithError(failure.c_str());
            return;
        }
        state.SetIterationTime(report.request_seconds);
        reports[{label, count}].push_back(report);
        last = report;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
    state.counters["request_s"] = last.request_seconds;
    state.counters["request_cpu_s"] = last.request_cpu_seconds;
    state.counters["all_images_s"] = last.all_seconds;
    state.counters["bytes_per_subject_requested"] = static_cast<double>(last.rss_requested) / count;
    state.counters["bytes_per_subject_answered"] = static_cast<double>(last.rss_all) / count;
    state.counters["images"] = static_cast<double>(last.images);
    state.counters["notfound"] = static_cast<double>(last.notfound);
}

// ---- The look-up micro-benchmark ----

// args: subjects in the table, bucket count (0: the subject count)
void tracker_lookup(benchmark::State &state)
{
    int count = static_cast<int>(state.range(0));
    int buckets = state.range(1) > 0 ? static_cast<int>(state.range(1)) : count;
    std::vector<std::string> keys;
    for (int i = 0; i < count; i++)
        keys.push_back(subject_of(i));
    tarvelutil_hashtable_t *table =
        tarvelutil_hashtable_create(buckets, advmap_subject_hash, nullptr, nullptr, nullptr, 0);
    // Each entry is kept, as a tracker keeps its own.
    std::vector<void *> entries(keys.size());
    for (size_t i = 0; i < keys.size(); i++)
        _tarvelutil_hashtable_put_hashed(table, keys[i].c_str(), _tarvelutil_hashtable_hash(table, keys[i].c_str()),
                                         keys[i].data(), 0, &entries[i]);
    // Looked up through copies, as a subject arriving in a packet is, hashed
    // once and given back through its entry, as an update does.
    std::vector<std::string> probes(keys);
    size_t next = 0;
    uint64_t stride = 7919; // a prime: every key in turn, in no memory order
    for (auto _ : state) {
        const char *probe = probes[next].c_str();
        int hash = _tarvelutil_hashtable_hash(table, probe);
        benchmark::DoNotOptimize(_tarvelutil_hashtable_get_hashed(table, probe, hash, 2));
        _tarvelutil_hashtable_release_held(table, entries[next], 2);
        next = static_cast<size_t>((next + stride) % probes.size());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    tarvelutil_hashtable_delete(table);
}

class SummaryReporter : public MedianReporter {
public:
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nrequests from one subscriber to one loopback source (image per subject)\n");
        std::printf("%-30s %10s %10s %10s %10s %10s %9s %9s\n", "run", "request s", "req cpu s", "images s",
                    "B/subj req", "B/subj all", "images", "notfound");
        for (const auto &[key, runs] : reports) {
            std::string name = key.first + "/" + std::to_string(key.second);
            for (const Report &report : runs) {
                double count = report.subjects;
                std::printf("%-30s %10.3f %10.3f %10.3f %10.0f %10.0f %9ld %9ld\n", name.c_str(),
                            report.request_seconds, report.request_cpu_seconds, report.all_seconds,
                            static_cast<double>(report.rss_requested) / count,
                            static_cast<double>(report.rss_all) / count, report.images, report.notfound);
            }
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    self_path = bench::self_path();
    if (self_path.empty())
        return 1;
    if (argc == 8 && std::strcmp(argv[1], "--role") == 0)
        return run_role(argv);
    for (int count : {1000, 100000, 1000000}) {
        benchmark::RegisterBenchmark("tracker_lookup", tracker_lookup)->Args({count, kDefaultHashSize});
        benchmark::RegisterBenchmark("tracker_lookup_bucket_per_subject", tracker_lookup)->Args({count, 0});
    }
    for (int count : {1000, 100000, 300000, 1000000}) {
        benchmark::RegisterBenchmark("request_subjects", request_subjects, std::string("default options"))
            ->Args({count, kDefaultHashSize, 0})
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("request_subjects_threaded", request_subjects,
                                     std::string("threaded callbacks"))
            ->Args({count, kDefaultHashSize, 1})
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("request_subjects_bucket_per_subject", request_subjects,
                                     std::string("threaded, bucket per subject"))
            ->Args({count, 0, 1})
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    SummaryReporter reporter;
    return run_benchmarks(argc, argv, {}, reporter);
}
