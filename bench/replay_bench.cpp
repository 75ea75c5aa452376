// Replay of a packet log of one million typical updates (a 20-character
// subject, 10 short fields), written once to a temporary file: the reader,
// the parse of each record and the hand-over to a callback that only counts.
#include "vantrix_private.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kRecords = 1000000;
constexpr size_t kHeaderBytes = 80;
constexpr size_t kRecordHeadBytes = 28;
constexpr size_t kPayloadBuffer = 4096;

int64_t replayed;

void count(int, vn_data_t *, time_t)
{
    replayed++;
}

void put32(std::string &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void put16(std::string &out, uint32_t value)
{
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
    out.push_back(static_cast<char>(value & 0xFF));
}

std::string typical_record(int index)
{
    char subject[32];
    std::snprintf(subject, sizeof subject, "EXCHANGE.INSTR%06d", index % 100000);
    vn_datapkt_t *pkt = vn_new_datapkt(subject, 222, 0);
    const char *values[] = {"101.25", "101.50", "1200", "800", "0.25", "20261209", "142305", "OPEN", "A", "-0.75"};
    for (int i = 0; i < 10; i++)
        vn_datapkt_add_field(pkt, 22 + i, values[i]);
    std::vector<unsigned char> payload(kPayloadBuffer);
    size_t len = payload.size();
    vn_datapkt_serialise(pkt, payload.data(), &len);
    vn_free_datapkt(pkt);
    std::string record;
    put32(record, 1700000000u + static_cast<uint32_t>(index / 1000));
    put32(record, static_cast<uint32_t>(index % 1000000));
    put32(record, 0x7F000001);
    record.push_back('<');
    record.push_back('\0');
    put16(record, VN_DATAUPDATE);
    put16(record, 7);
    put16(record, static_cast<uint32_t>(index % 4));
    put32(record, static_cast<uint32_t>(len));
    put32(record, 0);
    record.append(reinterpret_cast<const char *>(payload.data()), len);
    return record;
}

// The file lives as long as the process; it is removed at exit.
const std::string &packet_log_path()
{
    static std::string path;
    if (!path.empty())
        return path;
    char pattern[] = "/tmp/vantrix-replay-bench-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0)
        std::abort();
    path = pattern;
    std::string header = "VNBLog packet v4 bench TZ=UTC";
    header.resize(kHeaderBytes, '\0');
    std::string chunk = header;
    for (int i = 0; i < kRecords; i++) {
        chunk += typical_record(i);
        if (chunk.size() > (1 << 20) || i == kRecords - 1) {
            if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
                std::abort();
            chunk.clear();
        }
    }
    close(fd);
    std::atexit([] { unlink(path.c_str()); });
    return path;
}

void BM_ReplayMillionUpdates(benchmark::State &state)
{
    const std::string &path = packet_log_path();
    vn_num_peers = 4;
    for (auto _ : state) {
        replayed = 0;
        vn_replay_from_file(count, path.c_str());
        if (replayed != kRecords)
            state.SkipWithError("not every record was replayed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRecords);
    state.counters["record_bytes"] = static_cast<double>(typical_record(0).size() - kRecordHeadBytes);
}
BENCHMARK(BM_ReplayMillionUpdates)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
