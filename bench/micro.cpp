// Throughput of the checksum and the stream scanner on a buffer like a busy line: valid frames of
// every length the scanner takes, mixed with noise that sometimes looks like a frame start.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "proto/Packet.h"
#include "proto/Scanner.h"

namespace {

constexpr size_t line_bytes = 1 << 20;

std::vector<uint8_t> MixedLine()
{
    std::mt19937 random(6);
    std::vector<uint8_t> line;
    while (line.size() < line_bytes) {
        if (random() % 4 == 0) {
            // Noise, with sync bytes in it so the scanner has false starts to reject.
            size_t count = random() % 40;
            for (size_t i = 0; i < count; ++i)
                line.push_back(random() % 8 == 0 ? hproto_sync : static_cast<uint8_t>(random()));
            continue;
        }
        // The draws in the order they always had, so the line stays the one earlier runs timed.
        std::vector<uint8_t> data(random() % (scanner_max_size - proto_base_size + 1));
        const uint8_t cmd = static_cast<uint8_t>(random());
        for (uint8_t& byte : data)
            byte = static_cast<uint8_t>(random());
        Packet packet{};
        const std::vector<uint8_t> frame = BuildFrame(&packet, cmd, data.data(), data.size());
        line.insert(line.end(), frame.begin(), frame.end());
    }
    line.resize(line_bytes);
    return line;
}

void BM_GetCRC16(benchmark::State& state)
{
    std::vector<uint8_t> line = MixedLine();
    for (auto _ : state) {
        uint32_t crc = GetCRC16(line.data(), static_cast<uint32_t>(line.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_GetCRC16);

void BM_ParsePacket(benchmark::State& state)
{
    std::vector<uint8_t> line = MixedLine();
    int64_t frames = 0;
    for (auto _ : state) {
        uint8_t* cursor = line.data();
        uint32_t count = static_cast<uint32_t>(line.size());
        while (Packet* packet = ParsePacket(&cursor, &count)) {
            benchmark::DoNotOptimize(packet);
            ++frames;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(line.size()));
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(frames) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ParsePacket);

}  // namespace

BENCHMARK_MAIN();
