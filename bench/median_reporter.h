// A console reporter that also keeps the items per second of every
// iteration run by benchmark function, so that a program can print medians
// and their ratios side by side at the end, and the runs that failed, so
// that the program can end with a failure status.
#ifndef VANTRIX_BENCH_MEDIAN_REPORTER_H
#define VANTRIX_BENCH_MEDIAN_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                failures_.push_back(run.benchmark_name() + ": " + run.error_message);
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end() && run.run_type == Run::RT_Iteration)
                rates_[run.run_name.function_name].push_back(rate->second.value);
        }
    }

    // "name: reason" of every run that failed.
    const std::vector<std::string> &failures() const { return failures_; }

protected:
    // The median rate of a function's runs; 0 when it did not run.
    double median(const std::string &name)
    {
        std::vector<double> &values = rates_[name];
        if (values.empty())
            return 0;
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }

    size_t runs_of(const std::string &name) { return rates_[name].size(); }

private:
    std::map<std::string, std::vector<double>> rates_;
    std::vector<std::string> failures_;
};

// Runs the registered benchmarks with `defaults` ahead of the command line's
// own flags, which therefore win; the program's exit status: 1 when a run
// failed, after a list of the failures.
inline int run_benchmarks(int argc, char **argv, std::vector<std::string> defaults, MedianReporter &reporter)
{
    std::vector<char *> args(argv, argv + argc);
    for (size_t i = 0; i < defaults.size(); i++)
        args.insert(args.begin() + 1 + static_cast<std::ptrdiff_t>(i), defaults[i].data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.failures().empty())
        return 0;
    std::printf("\n%zu runs failed:\n", reporter.failures().size());
    for (const std::string &failure : reporter.failures())
        std::printf("  %s\n", failure.c_str());
    std::fflush(stdout);
    return 1;
}

#endif
