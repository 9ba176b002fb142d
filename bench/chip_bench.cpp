// The virtual chips' cost per sample while they decode frames, and their
// memory: however many transfers they log, the kept entries stay at the ring
// size (counter kept_log_entries).
#include "bench_util.hpp"
#include "i2c.h"
#include "qzsim/i2c_bus.hpp"

#include <benchmark/benchmark.h>

namespace {

// The bytes of one of the library's frames for the benchmarks' I2C
// peripheral (two register-address bytes, two data bytes): the levels the
// bus sees, sample by sample.
std::vector<uint8_t> i2cFrameLevels(qz::sequenceMode mode) {
    const PROT_DES d = qzbench::descriptorOf(qzbench::newI2CBenchHandle());
    auto frame = qz::createI2CByteStream(d, 0x1234, 0xBEEF, mode);
    return {frame.begin(), frame.end()};
}

// One I2C chip at address 0x50 decoding write and read frames; argument: its
// reaction delay in samples.
void BM_I2CChipDecode(benchmark::State& state) {
    qzsim::I2CBus bus(0, 1, 2);
    auto chip = bus.addChip(0x50, 2, 2);
    chip->setReactionDelay(static_cast<uint32_t>(state.range(0)));
    std::vector<uint8_t> levels = i2cFrameLevels(qz::WRITE);
    const auto read = i2cFrameLevels(qz::READ_NACK);
    levels.insert(levels.end(), read.begin(), read.end());
    for (auto _ : state) {
        for (uint8_t sample : levels) benchmark::DoNotOptimize(bus.onSample(sample));
    }
    qzbench::timePerUnit(state, "per_sample", levels.size());
    state.counters["kept_log_entries"] = static_cast<double>(chip->log().size());
    state.counters["logged"] = static_cast<double>(chip->logCount());
}
BENCHMARK(BM_I2CChipDecode)->Arg(0)->Arg(1);

}  // namespace
