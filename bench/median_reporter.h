// A console reporter that also keeps the items per second of every
// iteration run by benchmark function, so that a program can print medians
// and their ratios side by side at the end.
#ifndef VANTRIX_BENCH_MEDIAN_REPORTER_H
#define VANTRIX_BENCH_MEDIAN_REPORTER_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

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
