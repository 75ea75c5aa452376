// The growing hash map against std::unordered_map on the same string keys,
// and a push/pop round trip of the locked queue between two threads.
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

std::vector<std::string> make_keys(size_t count)
{
    std::vector<std::string> keys;
    keys.reserve(count);
    for (size_t i = 0; i < count; i++)
        keys.push_back("subject.feed" + std::to_string(i * 7919) + ".last");
    return keys;
}

void BM_HashmapPutGet(benchmark::State &state)
{
    std::vector<std::string> keys = make_keys(state.range(0));
    for (auto _ : state) {
        tarvelutil_hashmap_t *map = tarvelutil_hashmap_create(0, nullptr, nullptr, nullptr, nullptr, 0);
        for (const auto &key : keys)
            tarvelutil_hashmap_put(map, key.c_str(), const_cast<char *>(key.c_str()), 0);
        for (const auto &key : keys)
            benchmark::DoNotOptimize(tarvelutil_hashmap_get(map, key.c_str(), 0));
        tarvelutil_hashmap_delete(map);
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}
BENCHMARK(BM_HashmapPutGet)->Arg(1000)->Arg(100000);

void BM_UnorderedMapPutGet(benchmark::State &state)
{
    std::vector<std::string> keys = make_keys(state.range(0));
    for (auto _ : state) {
        std::unordered_map<std::string_view, const char *> map;
        for (const auto &key : keys)
            map.emplace(key, key.c_str());
        for (const auto &key : keys)
            benchmark::DoNotOptimize(map.find(key));
    }
    state.SetItemsProcessed(state.iterations() * keys.size());
}
BENCHMARK(BM_UnorderedMapPutGet)->Arg(1000)->Arg(100000);

// One item goes to an echo thread and comes back on a second queue.
void BM_QueueRoundTrip(benchmark::State &state)
{
    tarvelutil_queue_t *to_echo = tarvelutil_queue_create(nullptr, nullptr, nullptr);
    tarvelutil_queue_t *back = tarvelutil_queue_create(nullptr, nullptr, nullptr);
    static char stop_marker;
    std::thread echo([&] {
        for (;;) {
            void *item = tarvelutil_queue_pop_front_wait(to_echo, 0);
            tarvelutil_queue_push_back(back, item);
            if (item == &stop_marker)
                return;
        }
    });
    char payload = 0;
    for (auto _ : state) {
        tarvelutil_queue_push_back(to_echo, &payload);
        benchmark::DoNotOptimize(tarvelutil_queue_pop_front_wait(back, 0));
    }
    tarvelutil_queue_push_back(to_echo, &stop_marker);
    tarvelutil_queue_pop_front_wait(back, 0);
    echo.join();
    tarvelutil_queue_delete(to_echo);
    tarvelutil_queue_delete(back);
}
BENCHMARK(BM_QueueRoundTrip)->UseRealTime();

} // namespace
