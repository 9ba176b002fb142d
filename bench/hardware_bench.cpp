// Projected time per operation on real chips: each operation runs on the
// timed simulated chip of every profile (FT232R, FT232H, FT2232H, FT4232H) at
// 1 MBaud, in the default mode and in low-latency mode, with the latency
// timer at 16 ms (the default) and at 2 ms. The reported time is the
// simulated clock's (manual time); beside it the wire time (samples / sample
// rate, in us) and the ratio of the two.
//   qz_bench --benchmark_filter=Projected
// The floor check: batches and streams of 1,000 and 100,000 registers, SPI
// and I2C, read and write, on every profile with a 4 KiB and a 64 KiB driver
// buffer, in both modes; `within` is 1 when the transfer took no longer than
// 1.1 x its floor + one latency period + its control requests, where the
// floor is the larger of the wire time and the USB time its samples need.
//   qz_bench --benchmark_filter=FloorCheck
#include "bench_util.hpp"

#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

    // In low-latency mode the timer is set after the mode (which sets 2 ms):
    // the 16 ms case shows what a program that sets its own timer gets.
    Board(const char* chip, uint8_t latencyMs, bool lowLatency, uint32_t driverBuffer = 4096) {
        device = &qzbench::benchDevice("HW");
        device->setProfile(*qzsim::chipProfile(chip));
        device->setTimed(true);
        device->setDriverBuffer(driverBuffer);
        device->setTraceLimit(1);  // counts the samples of an operation (as dropped ones)
        device->attach(std::make_shared<qzsim::SPIPeripheral>(
            qzsim::SPIWiring{0, 1, 2, 3, 8, 16, true, true, std::nullopt, true}));
        qzsim::SPIWiring flashWiring;
        flashWiring.cs = 4;
        device->attach(std::make_shared<qzsim::SPIFlash>(flashWiring, kFlashSize, 0xEF4014));
        auto bus = std::make_shared<qzsim::I2CBus>(5, 6, 7);
        // Inside a burst the chip clocks at its full sample clock (an FT232R
        // at 1 MBaud: SCL 4 MHz): these figures are about USB, not bus speed.
        bus->addChip(0x50, 1, 1)->setSpeed(qzsim::I2CSpeed::Unchecked);
        device->attach(bus);
        initSPIDev(&spi, 0, 1, 2, 3, 8, 16, 1, 1);
        initI2CDev(&i2c, 5, 6, 7, 0x50, 1, 1);
        initSPIDev(&flash, 0, 4, 2, 3, 8, 8, 1, 0);
        if (setupFTDIdev(&dev, "HW", kBaud) != 0) return;
        if (lowLatency) setLowLatency(dev, 1);
        setLatencyTimer(dev, latencyMs);
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
void projected(benchmark::State& state, const char* chip, uint8_t latencyMs, bool lowLatency,
               const Operation& op) {
    Board board(chip, latencyMs, lowLatency);
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
        for (const bool low : {false, true})
            for (const uint8_t latency : {uint8_t{16}, uint8_t{2}})
                for (const auto& o : kOperations) {
                    const std::string name = std::string("Projected/") + chip +
                                             (low ? "/lowlatency" : "/default") + "/latency" +
                                             std::to_string(latency) + "ms/" + o.name;
                    benchmark::RegisterBenchmark(name.c_str(),
                                                 [chip, latency, low, &o](benchmark::State& s) {
                                                     projected(s, chip, latency, low, o.op);
                                                 })
                        ->UseManualTime()
                        ->Iterations(o.iterations)
                        ->Unit(benchmark::kMicrosecond);
                }
    return true;
}();

// ---- The floor check --------------------------------------------------------

// Full speed: 19 bulk packets of 64 bytes per 1 ms frame, shared by both
// directions; high speed: 13 of 512 bytes per 125 us microframe.
double usbFloorNs(const qzsim::ChipProfile& chip, uint64_t samples) {
    const double slotNs = chip.highSpeed() ? 125000.0 / 13 : 1000000.0 / 19;
    const uint64_t out = (samples + chip.packetSize - 1) / chip.packetSize;
    const uint64_t in = (samples + chip.packetData() - 1) / chip.packetData();
    return static_cast<double>(out + in) * slotNs;
}

uint64_t controlRequests(const qzsim::Device& d) {
    using qzsim::Op;
    return d.calls(Op::SetBaudRate) + d.calls(Op::SetBitMode) + d.calls(Op::Purge) +
           d.calls(Op::SetLatencyTimer) + d.calls(Op::SetUSBParameters);
}

struct FloorCase {
    const char* chip;
    uint32_t driverBuffer;
    bool lowLatency;
    bool i2c;
    bool stream;
    bool write;
    uint32_t registers;
};

void floorCheck(benchmark::State& state, const FloorCase& c) {
    Board board(c.chip, 16, c.lowLatency, c.driverBuffer);
    if (!board.dev) {
        state.SkipWithError("cannot open the simulated device");
        return;
    }
    if (c.lowLatency) setLatencyTimer(board.dev, 2);  // what the mode sets
    std::vector<uint32_t> regs(c.registers), data(c.registers, 0x5A);
    for (uint32_t i = 0; i < c.registers; ++i) regs[i] = i & 0xFF;
    PROT_HANDLE prot = c.i2c ? board.i2c : board.spi;
    double bound = 0, took = 0;
    for (auto _ : state) {
        qzsim::Device& d = *board.device;
        d.clearTrace();
        d.resetCallCounts();
        const uint64_t start = d.clockNs();
        const int32_t result = c.stream
                                   ? multiRegStreamRW(board.dev, prot, 0, data.data(), c.registers, c.write)
                                   : multiRegRW(board.dev, prot, regs.data(), data.data(), c.registers, c.write);
        if (result != 0) state.SkipWithError("the transfer failed");
        took = static_cast<double>(d.clockNs() - start);
        state.SetIterationTime(took * 1e-9);
        const uint64_t samples = d.traceSize() + d.traceDropped();
        const double wireNs = static_cast<double>(samples) * 1e9 / static_cast<double>(d.sampleRate());
        const double floorNs = std::max(wireNs, usbFloorNs(d.profile(), samples));
        bound = 1.1 * floorNs + static_cast<double>(d.latency()) * 1e6 +
                static_cast<double>(controlRequests(d) * d.link().controlCostNs());
        state.counters["floor_ms"] = floorNs / 1e6;
        state.counters["bound_ms"] = bound / 1e6;
    }
    state.counters["of_bound"] = took / bound;
    state.counters["within"] = took <= bound ? 1 : 0;
    state.counters["stalls"] = static_cast<double>(board.device->stallCount());
    state.counters["forever"] = static_cast<double>(board.device->foreverReads());
}

const bool kFloorRegistered = [] {
    for (const char* chip : {"FT232R", "FT232H", "FT2232H", "FT4232H"})
        for (const uint32_t buffer : {4096u, 65536u})
            for (const bool low : {false, true})
                for (const bool i2c : {false, true})
                    for (const bool stream : {false, true})
                        for (const bool write : {false, true})
                            for (const uint32_t registers : {1000u, 100000u}) {
                                const FloorCase c{chip, buffer, low, i2c, stream, write, registers};
                                const std::string name =
                                    std::string("FloorCheck/") + chip + "/" + std::to_string(buffer / 1024) +
                                    "KiB/" + (low ? "lowlatency/" : "default/") + (i2c ? "I2C" : "SPI") +
                                    (stream ? "stream" : "batch") + (write ? "Write" : "Read") + "/" +
                                    std::to_string(registers);
                                benchmark::RegisterBenchmark(
                                    name.c_str(), [c](benchmark::State& s) { floorCheck(s, c); })
                                    ->UseManualTime()
                                    ->Iterations(1)
                                    ->Unit(benchmark::kMillisecond);
                            }
    return true;
}();

}  // namespace
