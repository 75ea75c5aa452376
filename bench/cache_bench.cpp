// Requests answered from the active cache holding 100,000 records of 10
// fields: each request is looked up, its image retrieved and serialised and
// handed to the peer layer (for a peer number without a link, so no socket
// is written), as the cache's request callback does on the init thread.
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kSubjects = 100000;
constexpr int kFields = 10;
constexpr size_t kStride = 7919; // a prime: requests walk the table out of order

vn_init_t init_record;
std::vector<std::string> &subjects = *new std::vector<std::string>;

void start_cache()
{
    if (!subjects.empty())
        return;
    char root[] = "/tmp/vantrix-cache-bench-XXXXXX";
    if (mkdtemp(root) == nullptr)
        std::abort();
    std::string conf = std::string(root) + "/cache.conf";
    FILE *file = std::fopen(conf.c_str(), "w");
    std::fprintf(file, "cache-objects\ncache-hash-size %d\nlog-dir %s\n", kSubjects, root);
    std::fclose(file);
    static std::vector<std::string> args{"cache_bench", "-r", root};
    static std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    vn_config_init("cache.conf", static_cast<int>(args.size()), argv.data());
    if (vn_init(&init_record, static_cast<int>(args.size()), argv.data()) < 0)
        std::abort();
    const char *values[kFields] = {"101.25", "101.50", "1200", "800", "0.25", "20261209", "142305", "OPEN", "A", "-0.75"};
    for (int i = 0; i < kSubjects; i++) {
        char subject[32];
        std::snprintf(subject, sizeof subject, "EXCHANGE.INSTR%06d", i);
        subjects.emplace_back(subject);
        vn_data_t *data = vn_init_data(subject, 222, 0x1000);
        for (int field = 0; field < kFields; field++)
            vn_add_data(data, 22 + field, values[field]);
        vn_send_data(data);
    }
}

void BM_CacheRequestsAnswered(benchmark::State &state)
{
    start_cache();
    size_t at = 0;
    for (auto _ : state) {
        char *names[2] = {subjects[at].data(), nullptr};
        init_record.recv_request(0, 1, names, 0);
        at = (at + kStride) % subjects.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_CacheRequestsAnswered);

} // namespace
