// A typical update (a 20-character subject, 10 short fields) serialised,
// parsed into a new record and into one kept from the last parse, each beside
// a memcpy of the same bytes; base64 of small and larger values.
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kSendBuffer = 4096;

vn_datapkt_t *typical_update()
{
    vn_datapkt_t *pkt = vn_new_datapkt("EXCHANGE.INSTRUMENT1", 222, 0);
    const char *values[] = {"101.25", "101.50", "1200", "800", "0.25", "20261209", "142305", "OPEN", "A", "-0.75"};
    for (int i = 0; i < 10; i++)
        vn_datapkt_add_field(pkt, 22 + i, values[i]);
    return pkt;
}

std::vector<unsigned char> typical_payload()
{
    vn_datapkt_t *pkt = typical_update();
    std::vector<unsigned char> buf(kSendBuffer);
    size_t len = buf.size();
    vn_datapkt_serialise(pkt, buf.data(), &len);
    buf.resize(len);
    vn_free_datapkt(pkt);
    return buf;
}

void BM_SerialiseUpdate(benchmark::State &state)
{
    vn_datapkt_t *pkt = typical_update();
    std::vector<unsigned char> buf(kSendBuffer);
    for (auto _ : state) {
        size_t len = buf.size();
        benchmark::DoNotOptimize(vn_datapkt_serialise(pkt, buf.data(), &len));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    vn_free_datapkt(pkt);
}
BENCHMARK(BM_SerialiseUpdate);

void BM_ParseUpdate(benchmark::State &state)
{
    std::vector<unsigned char> payload = typical_payload();
    for (auto _ : state) {
        vn_datapkt_t pkt;
        benchmark::DoNotOptimize(vn_datapkt_parse(&pkt, VN_DATAUPDATE, payload.data(), payload.size()));
        vn_free_datapkt_data(&pkt);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ParseUpdate);

// The receive path's parse: the same record refilled in place each time.
void BM_ReparseUpdate(benchmark::State &state)
{
    std::vector<unsigned char> payload = typical_payload();
    vn_datapkt_t pkt{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(_vn_datapkt_reparse(&pkt, VN_DATAUPDATE, payload.data(), payload.size()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    vn_free_datapkt_data(&pkt);
}
BENCHMARK(BM_ReparseUpdate);

// The floor: copying the same payload bytes.
void BM_MemcpyUpdate(benchmark::State &state)
{
    std::vector<unsigned char> payload = typical_payload();
    std::vector<unsigned char> copy(payload.size());
    state.counters["payload_bytes"] = static_cast<double>(payload.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_MemcpyUpdate);

void BM_Base64Encode(benchmark::State &state)
{
    std::vector<unsigned char> value(static_cast<size_t>(state.range(0)), 0xA5);
    std::vector<char> text(4 * ((value.size() + 2) / 3) + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vn_base64_encode(text.data(), value.data(), value.size()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Base64Encode)->Arg(8)->Arg(256);

void BM_Base64Decode(benchmark::State &state)
{
    std::vector<unsigned char> value(static_cast<size_t>(state.range(0)), 0xA5);
    std::vector<char> text(4 * ((value.size() + 2) / 3) + 1);
    vn_base64_encode(text.data(), value.data(), value.size());
    std::vector<unsigned char> out(value.size() + 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vn_base64_decode(text.data(), out.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Base64Decode)->Arg(8)->Arg(256);

// Field lookups, on a table of 1000 fields.
constexpr int kBenchFields = 1000;

void add_bench_fields()
{
    if (vn_fields_max() != 0)
        return;
    for (int i = 0; i < kBenchFields; i++)
        vn_fields_add(i + 1, ("FIELD_" + std::to_string(i)).c_str(), 0, -1, nullptr);
}

void BM_FieldNumByName(benchmark::State &state)
{
    add_bench_fields();
    const char *name = "FIELD_500";
    for (auto _ : state)
        benchmark::DoNotOptimize(vn_fields_numbyname(name));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FieldNumByName);

void BM_FieldNameByNum(benchmark::State &state)
{
    add_bench_fields();
    for (auto _ : state)
        benchmark::DoNotOptimize(vn_fields_namebynum(501));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FieldNameByNum);

} // namespace
