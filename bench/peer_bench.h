// Runtime processes for the peer benchmarks: one publisher and any number of
// subscribers, each a process of its own running the real runtime (the
// benchmark program again, started in a role), linked over 127.0.0.1. The
// publisher re-sends one record through vn_send_data_no_free, so every update
// goes to every linked peer; each subscriber (with enable-threaded-callbacks)
// checks that its updates arrive intact and in order and reports when it has
// had them all. The roles and run_link (on the harness of role_processes.h)
// share this header so that every benchmark moves the same updates the same
// way.
//
// Threads: the publisher sends on its init thread; the peer threads write the
// queues. Subscribers count on their peer thread, where threaded callbacks
// run.
#ifndef VANTRIX_BENCH_PEER_BENCH_H
#define VANTRIX_BENCH_PEER_BENCH_H

#include "msgq.h"
#include "role_processes.h"
#include "peer.h"
#include "vantrix_private.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace peer_bench {

constexpr const char *kSubject = "/bench/EQ.VNTX.LAST";
inline const char *const kValues[] = {"101.25", "101.50", "100.75", "2500", "VNTX", "12:30:01", "0.25", "1.3", "N"};
constexpr int kSequenceDigits = 12;
constexpr int kUpdatesPerPass = 2000;
// A publisher faster than its slowest subscriber waits while a queue holds
// this many write buffers (16 KB each), so memory stays bounded whatever the
// rates; it looks again after the pause.
constexpr int kMaxQueuedBuffers = 1024;
constexpr double kBacklogPauseSeconds = 0.0002;
constexpr int kRoleArgs = 9; // argv of --role, below
// The packet-log arguments that turn the log off after start-up, and that
// put it in the role's own var/.
constexpr const char *kPacketLogOff = "off";
constexpr const char *kPacketLogInRoot = "root";

// Where a run's packet logs go.
enum class PacketLog { kFile, kDevNull, kOff };

inline std::string self_path;

// ---- The two roles ----

// One update: the sequence number in field 1 (fixed width, so that it can be
// rewritten in place) and nine typical fields.
inline vn_data_t *make_update(uint64_t sequence)
{
    vn_data_t *data = vn_init_data(kSubject, 222, 0);
    vn_add_data_fmt(data, 1, "%0*llu", kSequenceDigits, static_cast<unsigned long long>(sequence));
    for (int field = 0; field < 9; field++)
        vn_add_data(data, field + 2, kValues[field]);
    return data;
}

// The next number, counted up in place as a feed's own counter would be:
// the publisher's part of the work should be the send, not the arithmetic.
inline void next_sequence(vn_data_t *data)
{
    char *digits = data->fields[0].value;
    for (int i = kSequenceDigits - 1; i >= 0 && ++digits[i] > '9'; i--)
        digits[i] = '0';
}

// The publisher's state, on its init thread only.
struct Publisher {
    uint64_t total = 0;
    uint64_t sent = 0;
    size_t subscribers = 0;
    std::set<int> requesters;
    vn_data_t *record = nullptr;
    vn_timed_event_t *event = nullptr;
};
inline Publisher publisher;

// True while some peer's queue holds more than the window. Only tried
// locks, in the send path's order (the peer's, then its queue's), so that
// the check never waits itself; a queue whose lock is busy is being written
// or filled, and is looked at again on the next pass.
inline bool backlog_full()
{
    for (int peer = 0; peer < vn_num_peers; peer++) {
        pthread_mutex_t *peer_lock = &peer_array[peer].peer_lock;
        if (pthread_mutex_trylock(peer_lock) != 0)
            continue;
        vn_msgq_t *queue = peer_array[peer].msgq;
        bool full = false;
        if (queue != nullptr && pthread_mutex_trylock(&queue->writeq_lock) == 0) {
            full = queue->writeq_len > kMaxQueuedBuffers;
            pthread_mutex_unlock(&queue->writeq_lock);
        }
        pthread_mutex_unlock(peer_lock);
        if (full)
            return true;
    }
    return false;
}

// The publisher re-sends one record with a new sequence number, as a feed
// that keeps its records does; the send path serialises it every time.
inline int send_burst(int, int, void *)
{
    if (backlog_full()) {
        vn_set_timed_delay(publisher.event, kBacklogPauseSeconds);
        return 1;
    }
    vn_set_timed_delay(publisher.event, 0);
    for (int i = 0; i < kUpdatesPerPass && publisher.sent < publisher.total; i++) {
        next_sequence(publisher.record);
        publisher.sent++;
        vn_send_data_no_free(publisher.record);
    }
    return publisher.sent < publisher.total ? 1 : 0;
}

// Sending starts once every subscriber has asked, so all get every update.
inline void publisher_request(int peer, int, char **, uint16_t)
{
    publisher.requesters.insert(peer);
    if (publisher.record != nullptr || publisher.requesters.size() < publisher.subscribers)
        return;
    publisher.record = make_update(0);
    publisher.event = vn_add_timed_event(0, 0, send_burst, 0, nullptr);
}

// Counted on the peer's thread, where threaded callbacks run.
struct Reception {
    uint64_t total = 0;
    uint64_t expected = 1;
    uint64_t errors = 0;
    std::chrono::steady_clock::time_point first;
};
inline Reception reception;

inline long long since_boot_ns(std::chrono::steady_clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

// Reports "updates-after-the-first first-ns last-ns errors" on the
// monotonic clock, which every process on the machine shares.
inline void subscriber_update(int, vn_data_t *data)
{
    bool intact = std::strcmp(data->subject, kSubject) == 0 && data->count == 10 &&
                  data->fields[0].len == kSequenceDigits && std::strcmp(data->fields[9].value, kValues[8]) == 0;
    // The fixed-width number read as the publisher wrote it: the check should
    // cost the subscriber little next to what it checks.
    uint64_t sequence = 0;
    for (int i = 0; intact && i < kSequenceDigits; i++)
        sequence = sequence * 10 + static_cast<uint64_t>(data->fields[0].value[i] - '0');
    if (sequence == 1)
        reception.first = std::chrono::steady_clock::now();
    if (!intact || sequence != reception.expected)
        reception.errors++;
    reception.expected = sequence + 1;
    if (sequence == reception.total) {
        long long last = since_boot_ns(std::chrono::steady_clock::now());
        std::printf("%llu %lld %lld %llu\n", static_cast<unsigned long long>(sequence - 1),
                    since_boot_ns(reception.first), last, static_cast<unsigned long long>(reception.errors));
        std::fflush(stdout);
        _exit(0);
    }
}

// The process's packet log stays open for start-up, then is dropped, as if
// the process had none; the statistics lock guards every use of it.
inline void turn_packet_log_off()
{
    peer_mutex_guard counters(peer_global_lock);
    peer_packet_log_open(nullptr);
}

inline std::string publisher_conf(const std::string &port, int subscribers)
{
    std::string conf = "application-name publisher\nvantrix-id 1\nvantrix-port " + port + "\n";
    for (int i = 0; i < subscribers; i++)
        conf += "add-peer\nlabel subscriber-" + std::to_string(i) + "\nremote-id " + std::to_string(2 + i) +
                "\nlocal-type active\nend-peer\n";
    return conf;
}

inline std::string subscriber_conf(const std::string &port, int index)
{
    return "application-name subscriber-" + std::to_string(index) + "\nvantrix-id " + std::to_string(2 + index) +
           "\nenable-threaded-callbacks\nadd-peer\nlabel publisher\naddr 127.0.0.1\nport " + port +
           "\nend-peer\nadd-data-service\nservice-name bench\ninclude-pattern ^/bench/\n"
           "add-source-group\nrequired\nadd-priority\nlabel publisher\nend-priority\nend-source-group\n"
           "end-data-service\n";
}

// argv: --role publisher|subscriber root port updates packet-log subscribers index
inline int run_role(char **argv)
{
    std::string role = argv[2];
    std::string root = argv[3];
    std::string port = argv[4];
    uint64_t updates = std::strtoull(argv[5], nullptr, 10);
    std::string log = argv[6];
    int subscribers = std::atoi(argv[7]);
    int index = std::atoi(argv[8]);
    bool log_off = log == kPacketLogOff;
    if (log == kPacketLogInRoot)
        log = root + "/var/packet.log";
    std::string conf = "vantrix-pkt-log " + (log_off ? std::string("/dev/null") : log) + "\n";
    static vn_init_t init;
    if (role == "publisher") {
        conf += publisher_conf(port, subscribers);
        publisher.total = updates;
        publisher.subscribers = static_cast<size_t>(subscribers);
        init.recv_request = publisher_request;
    } else {
        conf += subscriber_conf(port, index);
        reception.total = updates;
        init.recv_update = subscriber_update;
    }
    if (bench::start_role_runtime(root, role, conf, &init, "peer_bench") < 0)
        return 1;
    if (log_off)
        turn_packet_log_off();
    if (role == "subscriber")
        vn_request_object(kSubject);
    vn_loop();
    return 0;
}

// The program's role when its arguments name one; -1 when it is the harness.
inline int run_role_if_asked(int argc, char **argv)
{
    self_path = bench::self_path();
    if (self_path.empty())
        return 1;
    if (argc == kRoleArgs && std::strcmp(argv[1], "--role") == 0)
        return run_role(argv);
    return -1;
}

// ---- The harness side ----

// What one subscriber reports: updates timed (all but the first), when the
// first and the last arrived, and how many were out of order or damaged.
struct Report {
    unsigned long long updates = 0;
    long long first_ns = 0;
    long long last_ns = 0;
    unsigned long long errors = 0;
};

// One publisher and `count` subscribers moving `updates` updates to each;
// the subscribers' reports, or the reason there are none in `failure`.
inline std::vector<Report> run_link(int count, uint64_t updates, PacketLog log, std::string &failure)
{
    std::string log_arg = log == PacketLog::kOff       ? kPacketLogOff
                          : log == PacketLog::kDevNull ? "/dev/null"
                                                       : kPacketLogInRoot;
    auto role = [&](const std::string &name, const std::string &kind, int index) {
        return bench::Role{name,
                           {self_path, "--role", kind, bench::kRootArg, bench::kPortArg, std::to_string(updates),
                            log_arg, std::to_string(count), std::to_string(index)},
                           kind == "subscriber"};
    };
    std::vector<bench::Role> roles{role("publisher", "publisher", 0)};
    for (int i = 0; i < count; i++)
        roles.push_back(role("subscriber-" + std::to_string(i), "subscriber", i));
    bench::RunSettings settings;
    settings.root_prefix = "/tmp/peer_bench";
    bench::RunResult run = bench::run_roles(roles, settings);
    failure = run.failure;
    std::vector<Report> reports;
    for (const std::string &line : run.reports) {
        Report report;
        if (std::sscanf(line.c_str(), "%llu %lld %lld %llu", &report.updates, &report.first_ns, &report.last_ns,
                        &report.errors) != 4)
            failure = "a subscriber's report did not read";
        reports.push_back(report);
    }
    if (!failure.empty())
        reports.clear();
    return reports;
}

// From the first update to reach any subscriber to the last to reach all.
inline double span_seconds(const std::vector<Report> &reports)
{
    long long first = reports.front().first_ns;
    long long last = reports.front().last_ns;
    for (const Report &report : reports) {
        first = std::min(first, report.first_ns);
        last = std::max(last, report.last_ns);
    }
    return static_cast<double>(last - first) / 1e9;
}

} // namespace peer_bench

#endif
