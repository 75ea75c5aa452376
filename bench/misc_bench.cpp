// The string hash over short and longer keys, and the element pool against
// the system allocator for the small records the event loop recycles.
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kRecordBytes = 64;
constexpr size_t kPoolElements = 1024;

void BM_HashCode(benchmark::State &state)
{
    std::string key(static_cast<size_t>(state.range(0)), 'k');
    for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<char>('a' + i % 26);
    for (auto _ : state)
        benchmark::DoNotOptimize(vn_hash_code(key.c_str()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_HashCode)->Arg(8)->Arg(32)->Arg(256)->Arg(4096);

// Takes `batch` records and gives them back, as a loop does with its timers.
void BM_PoolGetRelease(benchmark::State &state)
{
    vn_memroot_t *pool = vn_new_memroot(kRecordBytes, kPoolElements, 0);
    std::vector<void *> held(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        for (void *&record : held)
            record = vn_mem_get(pool);
        for (void *record : held)
            vn_mem_release(pool, record);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PoolGetRelease)->Arg(1)->Arg(64)->Arg(1024);

void BM_MallocFree(benchmark::State &state)
{
    std::vector<void *> held(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        for (void *&record : held)
            record = std::malloc(kRecordBytes);
        benchmark::DoNotOptimize(held.data());
        for (void *record : held)
            std::free(record);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MallocFree)->Arg(1)->Arg(64)->Arg(1024);

} // namespace
