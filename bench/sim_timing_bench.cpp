// The timed chip model's own cost: 5.6 M samples (a 100,000-register SPI
// batch) written in 1 KiB chunks, two in flight (the next chunk is written
// before the read-back of the one before it is read), on a full-speed and a
// high-speed chip, through the D2XX operations. sim_s is the simulated time
// per pass: the wire time plus one latency period.
#include "bench_util.hpp"
#include "ftd2xx.h"
#include "qzsim/bench.hpp"

#include <benchmark/benchmark.h>

namespace {

void TimedChipChunkedStream(benchmark::State& state, const char* chip) {
    qzsim::Device& device = qzbench::benchDevice("TIMED");
    device.setProfile(*qzsim::chipProfile(chip));
    device.setTimed(true);
    device.setDriverBuffer(4096);
    FT_HANDLE dev = nullptr;
    FT_OpenEx(const_cast<char*>("TIMED"), FT_OPEN_BY_SERIAL_NUMBER, &dev);
    FT_SetBaudRate(dev, 1000000);
    FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG);
    constexpr std::size_t kSamples = 5600000, kChunk = 1024;
    std::vector<uint8_t> chunk(kChunk, 0x5A), rx(kChunk);
    for (auto _ : state) {
        uint32_t count = 0;
        FT_Write(dev, chunk.data(), kChunk, &count);
        for (std::size_t done = kChunk; done < kSamples; done += kChunk) {
            FT_Write(dev, chunk.data(), kChunk, &count);
            FT_Read(dev, rx.data(), kChunk, &count);
        }
        FT_Read(dev, rx.data(), kChunk, &count);
        benchmark::DoNotOptimize(rx.data());
    }
    state.counters["sim_s"] = static_cast<double>(device.clockNs()) / 1e9 / static_cast<double>(state.iterations());
    state.counters["stalls"] = static_cast<double>(device.stallCount());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSamples));
    FT_Close(dev);
}

BENCHMARK_CAPTURE(TimedChipChunkedStream, FT232R, "FT232R")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TimedChipChunkedStream, FT2232H, "FT2232H")->Unit(benchmark::kMillisecond);

}  // namespace
