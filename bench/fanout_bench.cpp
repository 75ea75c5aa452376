// One publisher sending every update to 1, 2, 4 and 8 subscribers, each
// subscriber a process of its own with its own peer link over 127.0.0.1 and
// enable-threaded-callbacks, every process with its packet log on /dev/null:
// the updates per second that reach all subscribers' callbacks intact and in
// order, in total, from the first update at any subscriber to the last at
// all. The medians are printed per subscriber count at the end, against the
// single subscriber of the same run; a sender that waits on the peer threads'
// socket writes flattens the total as subscribers are added.
#include "median_reporter.h"
#include "peer_bench.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using peer_bench::PacketLog;
using peer_bench::Report;

constexpr uint64_t kUpdatesPerSubscriber = 2000000;
constexpr int kSubscriberCounts[] = {1, 2, 4, 8};

std::string case_name(int subscribers)
{
    return "fanout_subscribers_" + std::to_string(subscribers);
}

void fanout(benchmark::State &state, int subscribers)
{
    uint64_t delivered = 0;
    uint64_t errors = 0;
    for (auto _ : state) {
        std::string failure;
        std::vector<Report> reports =
            peer_bench::run_link(subscribers, kUpdatesPerSubscriber, PacketLog::kDevNull, failure);
        double seconds = reports.empty() ? 0 : peer_bench::span_seconds(reports);
        if (seconds <= 0) {
            state.SkipWithError(failure.empty() ? "the subscribers timed nothing" : failure.c_str());
            return;
        }
        for (const Report &report : reports) {
            delivered += report.updates;
            errors += report.errors;
        }
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.counters["errors"] = static_cast<double>(errors);
}

class FanoutReporter : public MedianReporter {
public:
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        double single = median(case_name(1));
        std::printf("\n%zu updates to each subscriber; medians of %zu runs\n", static_cast<size_t>(kUpdatesPerSubscriber),
                    runs_of(case_name(1)));
        std::printf("%-12s %16s %16s %12s\n", "subscribers", "total upd/s", "per subscriber", "vs one");
        for (int subscribers : kSubscriberCounts) {
            double total = median(case_name(subscribers));
            std::printf("%-12d %16.0f %16.0f %12.2f\n", subscribers, total, total / subscribers,
                        single > 0 ? total / single : 0.0);
        }
        double four = median(case_name(4));
        std::printf("8 subscribers against 4: %.2f\n", four > 0 ? median(case_name(8)) / four : 0.0);
    }
};

} // namespace

int main(int argc, char **argv)
{
    int role = peer_bench::run_role_if_asked(argc, argv);
    if (role >= 0)
        return role;
    for (int subscribers : kSubscriberCounts)
        benchmark::RegisterBenchmark(case_name(subscribers).c_str(), fanout, subscribers)
            ->UseManualTime()
            ->Iterations(1);
    FanoutReporter reporter;
    return run_benchmarks(argc, argv, {"--benchmark_repetitions=3"}, reporter);
}
