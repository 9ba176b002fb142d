// The cost of serialising transactions per device: taking and releasing an
// uncontended device session, beside a whole single-register read on the
// simulated chip (which the session wraps once).
#include "bench_util.hpp"

#include <benchmark/benchmark.h>

namespace {

// One session on an open device: a table lookup under a shared lock and an
// uncontended mutex.
void BM_UncontendedSession(benchmark::State& state) {
    qzbench::benchDevice("SESSION");
    void* dev = nullptr;
    if (setupFTDIdev(&dev, "SESSION", 1000000) != 0) {
        state.SkipWithError("cannot open the simulated device");
        return;
    }
    for (auto _ : state) {
        const qz::DeviceSession session(dev);
        benchmark::ClobberMemory();
    }
    closeFTDI(dev);
}
BENCHMARK(BM_UncontendedSession);

// A session and a 4 KiB read-back transaction played inside it: what the
// lock adds to a transaction is the difference to BM_UncontendedSession.
void BM_SessionAroundA4KiBPlay(benchmark::State& state) {
    qzbench::benchDevice("SESSION");
    void* dev = nullptr;
    if (setupFTDIdev(&dev, "SESSION", 1000000) != 0) {
        state.SkipWithError("cannot open the simulated device");
        return;
    }
    const PROT_DES spi = qzbench::descriptorOf(qzbench::newSPIBenchHandle());
    const std::vector<uint8_t> stream(qz::kSingleWriteSamples, 0x5A);
    qz::ByteStream rx;
    for (auto _ : state) {
        const qz::DeviceSession session(dev);
        qz::purgeDevice(dev);
        const qz::Outcome played = qz::playStream(dev, spi, stream, qz::PlayOptions{true, std::nullopt, false}, &rx);
        benchmark::DoNotOptimize(played);
    }
    closeFTDI(dev);
}
BENCHMARK(BM_SessionAroundA4KiBPlay);

}  // namespace
