// Projected time per operation on real chips: each operation runs on the
// timed simulated chip of every profile (FT232R, FT232H, FT2232H, FT4232H) at
// 1 MBaud, with the latency timer at 16 ms (the default) and at 2 ms. The
// reported time is the simulated clock's (manual time); beside it the wire
// time (samples / sample rate, in us) and the ratio of the two.
//   qz_bench --benchmark_filter=Projected
#include "bench_util.hpp"

#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"

#include <benchmark/benchmark.h>

#include <functional>
#include <vector>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kBaud = 1000000;
constexpr uint32_t kManyRegisters = 1000;
constexpr uint32_t kFlashSize = 1u << 20;

// A timed device of one chip with the SPI and I2C peripherals of the
// benchmarks wired to it (SPI on pins 0-3, I2C on pins 5-7, and a 1 MiB
// flash sharing the SPI clock and data lines, its chip select on pin 4), opened.
struct Board {
    qzsim::Device* device = nullptr;
    void* dev = nullptr;
    PROT_HANDLE spi = nullptr;
    PROT_HANDLE i2c = nullptr;
    PROT_HANDLE flash = nullptr;

    Board(const char* chip, uint8_t latencyMs) {
        device = &qzbench::benchDevice("HW");
        device->setProfile(*qzsim::chipProfile(chip));
        device->setTimed(true);
        device->setDriverBuffer(4096);
        device->setTraceLimit(std::size_t{1} << 20);  // counts the samples of an operation
        device->attach(std::make_shared<qzsim::SPIPeripheral>(
            qzsim::SPIWiring{0, 1, 2, 3, 8, 16, true, true, std::nullopt, true}));
        qzsim::SPIWiring flashWiring;
        flashWiring.cs = 4;
        device->attach(std::make_shared<qzsim::SPIFlash>(flashWiring, kFlashSize, 0xEF4014));
        auto bus = std::make_shared<qzsim::I2CBus>(5, 6, 7);
        bus->addChip(0x50, 1, 1);
        device->attach(bus);
        initSPIDev(&spi, 0, 1, 2, 3, 8, 16, 1, 1);
        initI2CDev(&i2c, 5, 6, 7, 0x50, 1, 1);
        initSPIDev(&flash, 0, 4, 2, 3, 8, 8, 1, 0);
        if (setupFTDIdev(&dev, "HW", kBaud) == 0) setLatencyTimer(dev, latencyMs);
    }
    ~Board() {
        closeFTDI(dev);
        deleteSPIDev(spi);
        deleteI2CDev(i2c);
        deleteSPIDev(flash);
        qzsim::bench().clear();
    }
};

using Operation = std::function<int32_t(Board&)>;

// Runs `op` once per iteration and reports the simulated time it took.
void projected(benchmark::State& state, const char* chip, uint8_t latencyMs, const Operation& op) {
    Board board(chip, latencyMs);
    if (!board.dev) {
        state.SkipWithError("cannot open the simulated device");
        return;
    }
    uint64_t samples = 0;
    uint64_t simulatedNs = 0;
    for (auto _ : state) {
        board.device->clearTrace();
        const uint64_t start = board.device->clockNs();
        if (op(board) < 0) state.SkipWithError("the operation failed");
        const uint64_t took = board.device->clockNs() - start;
        state.SetIterationTime(static_cast<double>(took) * 1e-9);
        samples = board.device->traceSize() + board.device->traceDropped();
        simulatedNs += took;
    }
    const double wireUs = static_cast<double>(samples) * 1e6 / static_cast<double>(board.device->sampleRate());
    const double opUs = static_cast<double>(simulatedNs) / 1e3 / static_cast<double>(state.iterations());
    state.counters["wire_us"] = wireUs;
    state.counters["ratio"] = opUs / wireUs;
    state.counters["samples"] = static_cast<double>(samples);
    state.counters["stalls"] = static_cast<double>(board.device->stallCount());
}

int32_t batchRead(Board& b, PROT_HANDLE prot) {
    static uint32_t regs[kManyRegisters];
    static uint32_t data[kManyRegisters];
    for (uint32_t i = 0; i < kManyRegisters; ++i) regs[i] = i & 0xFF;
    return multiRegRW(b.dev, prot, regs, data, kManyRegisters, 0);
}

int32_t streamRead(Board& b, PROT_HANDLE prot) {
    static uint32_t data[kManyRegisters];
    return multiRegStreamRW(b.dev, prot, 0, data, kManyRegisters, 0);
}

// The whole flash with read commands (0x03): two transfers of half of it,
// as one may carry 1 MiB with its command.
int32_t flashRead(Board& b) {
    static std::vector<uint8_t> image(kFlashSize);
    constexpr uint32_t kHalf = kFlashSize / 2;
    for (uint32_t at = 0; at < kFlashSize; at += kHalf) {
        const uint8_t command[4] = {0x03, static_cast<uint8_t>(at >> 16), static_cast<uint8_t>(at >> 8),
                                    static_cast<uint8_t>(at)};
        const QZ_SPI_SEGMENT segments[] = {{command, nullptr, 4}, {nullptr, image.data() + at, kHalf}};
        if (qz_spiTransferSegments(b.dev, b.flash, segments, 2, 0xFF, nullptr) != QZ_OK) return -1;
    }
    return 0;
}

const struct {
    const char* name;
    int iterations;
    Operation op;
} kOperations[] = {
    {"readSPI", 20, [](Board& b) { return readSPI(b.dev, b.spi, 0x12) == -1 ? -1 : 0; }},
    {"writeSPI", 20, [](Board& b) { return writeSPI(b.dev, b.spi, 0x12, 0xBEEF); }},
    {"readI2C", 20, [](Board& b) { return readI2C(b.dev, b.i2c, 0x05) < 0 ? -1 : 0; }},
    {"writeI2C", 20, [](Board& b) { return writeI2C(b.dev, b.i2c, 0x05, 0x5A); }},
    {"batchReadSPI1000", 3, [](Board& b) { return batchRead(b, b.spi); }},
    {"streamReadSPI1000", 3, [](Board& b) { return streamRead(b, b.spi); }},
    {"batchReadI2C1000", 3, [](Board& b) { return batchRead(b, b.i2c); }},
    {"streamReadI2C1000", 3, [](Board& b) { return streamRead(b, b.i2c); }},
    {"flashRead1MiB", 1, flashRead},
    // SCK at 6 MHz: 12 MS/s, about the most the H series sustains.
    {"flashRead1MiBAt6MHz", 1, [](Board& b) { return qz_setBusClock(b.flash, 6000000) == QZ_OK ? flashRead(b) : -1; }},
};

const bool kRegistered = [] {
    for (const char* chip : {"FT232R", "FT232H", "FT2232H", "FT4232H"})
        for (const uint8_t latency : {uint8_t{16}, uint8_t{2}})
            for (const auto& o : kOperations) {
                const std::string name = std::string("Projected/") + chip + "/latency" +
                                         std::to_string(latency) + "ms/" + o.name;
                benchmark::RegisterBenchmark(name.c_str(), [chip, latency, &o](benchmark::State& s) {
                    projected(s, chip, latency, o.op);
                })
                    ->UseManualTime()
                    ->Iterations(o.iterations)
                    ->Unit(benchmark::kMicrosecond);
            }
    return true;
}();

}  // namespace
