// Reading a generated configuration of 100,000 option lines through the real
// reader, beside a baseline that only reads the same file line by line and
// splits each line into keyword and argument.
#include "vantrix_private.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kLines = 100000;
constexpr int kOptions = 1000;

struct Config {
    std::string directory;
    std::string path;
    std::vector<int> values = std::vector<int>(kOptions);

    Config()
    {
        char pattern[] = "/tmp/vantrix-config-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            abort();
        directory = pattern;
        path = directory + "/bench.conf";
        FILE *file = fopen(path.c_str(), "w");
        if (file == nullptr)
            abort();
        for (int i = 0; i < kLines; i++)
            fprintf(file, "option-%d %d\n", (i * 7919) % kOptions, i);
        fclose(file);
        vn_config_set_ctx(vn_config_new_ctx());
        for (int i = 0; i < kOptions; i++) {
            std::string name = "option-" + std::to_string(i);
            vn_config_add_option(0, name.c_str(), "", VN_CONFIG_INT, &values[i]);
        }
    }
    ~Config()
    {
        unlink(path.c_str());
        rmdir(directory.c_str());
    }
};

Config &config()
{
    static Config instance;
    return instance;
}

void report_lines(benchmark::State &state)
{
    state.counters["lines_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kLines, benchmark::Counter::kIsRate);
}

void BM_ConfigReader(benchmark::State &state)
{
    Config &setup = config();
    for (auto _ : state)
        benchmark::DoNotOptimize(vn_config_parse_file(setup.path.c_str()));
    if (setup.values[kLines % kOptions] == 0 && setup.values[1] == 0)
        state.SkipWithError("the reader applied no line");
    report_lines(state);
}

void BM_ReadAndSplitBaseline(benchmark::State &state)
{
    Config &setup = config();
    for (auto _ : state) {
        FILE *file = fopen(setup.path.c_str(), "r");
        char line[1024];
        size_t keywords = 0;
        while (fgets(line, sizeof line, file) != nullptr) {
            line[strcspn(line, "\r\n")] = '\0';
            char *keyword = line + strspn(line, " \t");
            char *end = keyword + strcspn(keyword, " \t");
            char *argument = end + strspn(end, " \t");
            *end = '\0';
            keywords += strlen(keyword) + strlen(argument);
        }
        fclose(file);
        benchmark::DoNotOptimize(keywords);
    }
    report_lines(state);
}

BENCHMARK(BM_ConfigReader)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndSplitBaseline)->Unit(benchmark::kMillisecond);

} // namespace
