// A console reporter that also keeps the items per second of every
// iteration run by benchmark function, so that a program can print medians
// and their ratios side by side at the end.
#ifndef VANTRIX_BENCH_MEDIAN_REPORTER_H
#define VANTRIX_BENCH_MEDIAN_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Runs the registered benchmarks with `defaults` ahead of the command line's
// own flags, which therefore win.
inline void run_benchmarks(int argc, char **argv, std::vector<std::string> defaults,
                           benchmark::BenchmarkReporter &reporter)
{
    std::vector<char *> args(argv, argv + argc);
    for (size_t i = 0; i < defaults.size(); i++)
        args.insert(args.begin() + 1 + static_cast<std::ptrdiff_t>(i), defaults[i].data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}

class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end() && run.run_type == Run::RT_Iteration)
                rates_[run.run_name.function_name].push_back(rate->second.value);
        }
    }

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
};

#endif
