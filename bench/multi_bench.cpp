// Batches and streams of 1 to 100,000 registers on the simulated chip, for
// both protocols, read and write: the time per register, and the most memory
// one transfer holds at once (the library's buffers and the chip's read-back
// queue) against the size of its stream in samples. Both must grow linearly
// with the number of registers.
#include "i2c.h"
#include "spi.h"

#include "bench_util.hpp"
#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <malloc.h>
#define QZ_BENCH_BLOCK_SIZE _msize
#else
#include <malloc.h>
#define QZ_BENCH_BLOCK_SIZE malloc_usable_size
#endif

// ---- allocation accounting --------------------------------------------------
// The program's operator new and delete keep count of the bytes held and of
// their peak. Blocks are measured by the allocator itself, so a block that
// some library allocated on its own can still be freed here.

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

void* allocate(std::size_t size) noexcept {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) return nullptr;
    const std::size_t held = QZ_BENCH_BLOCK_SIZE(block);
    const std::size_t live = liveBytes.fetch_add(held, std::memory_order_relaxed) + held;
    std::size_t peak = peakBytes.load(std::memory_order_relaxed);
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
    return block;
}

void release(void* block) noexcept {
    if (!block) return;
    liveBytes.fetch_sub(QZ_BENCH_BLOCK_SIZE(block), std::memory_order_relaxed);
    std::free(block);
}

void* allocateOrThrow(std::size_t size) {
    if (void* block = allocate(size)) return block;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }

namespace {

// ---- the rig -------------------------------------------------------------------

enum class Protocol { SPI, I2C };
enum class Shape { Batch, Stream };

// What unwritten registers of the virtual chips hold, so that every read word
// is known without filling 100,000 registers.
constexpr uint32_t kRegisterFill = 0xA5C3;

// An open simulated device with the benchmark peripheral of one protocol on
// its pins, and a matching descriptor.
class Rig {
public:
    explicit Rig(Protocol protocol) : device_(qzbench::benchDevice("MULTI")) {
        if (protocol == Protocol::SPI) {
            spi_ = std::make_shared<qzsim::SPIPeripheral>(
                qzsim::SPIWiring{0, 1, 2, 3, 8, 16, true, true, uint8_t{4}, true});
            spi_->registers.fill = kRegisterFill;
            device_.attach(spi_);
            prot_ = qzbench::newSPIBenchHandle();
        } else {
            auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
            i2c_ = bus->addChip(0x50, 2, 2);
            i2c_->registers.fill = kRegisterFill;
            device_.attach(bus);
            prot_ = qzbench::newI2CBenchHandle();
        }
        if (setupFTDIdev(&dev_, "MULTI", 3000000) != 0) dev_ = nullptr;
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    ~Rig() {
        deleteSPIDev(prot_);
        if (dev_) closeFTDI(dev_);
        qzsim::bench().clear();
    }

    bool ready() const { return dev_ && prot_; }
    FT_HANDLE dev() const { return dev_; }
    PROT_HANDLE prot() const { return prot_; }
    PROT_DES des() const { return qz::copyDescriptor(prot_).value_or(PROT_DES{}); }

    // The chips log every transaction; the log is theirs, not the transfer's.
    void clearLogs() {
        if (spi_) spi_->clearLog();
        if (i2c_) i2c_->clearLog();
    }
    // Leaves the pins to the chip alone (reads then see the pull-ups), and
    // opens the device afresh: nothing of earlier transfers stays queued.
    bool detachAndReopen() {
        device_.detachAll();
        closeFTDI(dev_);
        if (setupFTDIdev(&dev_, "MULTI", 3000000) == 0) return true;
        dev_ = nullptr;
        return false;
    }

private:
    qzsim::Device& device_;
    std::shared_ptr<qzsim::SPIPeripheral> spi_;
    std::shared_ptr<qzsim::I2CChip> i2c_;
    FT_HANDLE dev_ = nullptr;
    PROT_HANDLE prot_ = nullptr;
};

// Samples written (and, for a read, read back) by one transfer of `count`
// registers: a frame per register for a batch; one frame plus one stream
// word per further register for a stream.
std::size_t streamSamples(const PROT_DES& des, Shape shape, bool write, std::size_t count) {
    const bool spi = des.SPI_I2C == 1;
    auto length = [&](qz::sequenceMode mode) {
        return spi ? qz::spiStreamLength(des, mode) : qz::i2cStreamLength(des, mode);
    };
    const std::size_t frame = length(write ? qz::WRITE : qz::READ_NACK);
    if (shape == Shape::Batch) return frame * count;
    return frame + length(qz::WRITE_STREAM_WORD) * (count - 1);
}

int32_t transfer(const Rig& rig, Shape shape, std::vector<uint32_t>& regs,
                 std::vector<uint32_t>& data, bool write) {
    const auto count = static_cast<uint32_t>(data.size());
    if (shape == Shape::Batch)
        return multiRegRW(rig.dev(), rig.prot(), regs.data(), data.data(), count, write);
    return multiRegStreamRW(rig.dev(), rig.prot(), regs.front(), data.data(), count, write);
}

// The bytes held at the peak of one transfer, above those held before it.
std::size_t peakOfOneTransfer(const Rig& rig, Shape shape, std::vector<uint32_t>& regs,
                              std::vector<uint32_t>& data, bool write) {
    const std::size_t before = liveBytes.load(std::memory_order_relaxed);
    peakBytes.store(before, std::memory_order_relaxed);
    benchmark::DoNotOptimize(transfer(rig, shape, regs, data, write));
    return peakBytes.load(std::memory_order_relaxed) - before;
}

// One transfer of state.range(0) registers per iteration, with the virtual
// chip decoding the wire; afterwards one more on the freshly reopened device
// with the chip detached (its transaction log is not the transfer's), whose
// peak memory is measured.
void BM_MultiRegister(benchmark::State& state, Protocol protocol, Shape shape, bool write) {
    Rig rig(protocol);
    if (!rig.ready()) {
        state.SkipWithError("bench setup failed");
        return;
    }
    const auto count = static_cast<std::size_t>(state.range(0));
    const uint32_t registerMask = protocol == Protocol::SPI ? 0xFF : 0xFFFF;
    std::vector<uint32_t> regs(count), data(count);
    for (std::size_t i = 0; i < count; ++i) {
        regs[i] = static_cast<uint32_t>(i * 7) & registerMask;
        data[i] = static_cast<uint32_t>(i * 0x9E37) & 0xFFFF;
    }

    for (auto _ : state) {
        if (transfer(rig, shape, regs, data, write) != 0) {
            state.SkipWithError("transfer failed");
            return;
        }
        state.PauseTiming();
        rig.clearLogs();
        state.ResumeTiming();
    }
    if (!write) {
        for (uint32_t word : data)
            if (word != kRegisterFill) {
                state.SkipWithError("a register read back wrong");
                return;
            }
    }

    if (!rig.detachAndReopen()) {
        state.SkipWithError("reopening the device failed");
        return;
    }
    const std::size_t samples = streamSamples(rig.des(), shape, write, count);
    const std::size_t peak = peakOfOneTransfer(rig, shape, regs, data, write);
    qzbench::timePerUnit(state, "per_register", count);
    state.counters["samples"] = static_cast<double>(samples);
    state.counters["peak_bytes"] = static_cast<double>(peak);
    state.counters["peak_per_sample"] = static_cast<double>(peak) / static_cast<double>(samples);
}

// Every protocol, shape and direction, each for 1 to 100,000 registers.
const bool kRegistered = [] {
    for (Protocol protocol : {Protocol::SPI, Protocol::I2C})
        for (Shape shape : {Shape::Batch, Shape::Stream})
            for (bool write : {true, false}) {
                const std::string name =
                    std::string("BM_MultiRegister/") + (protocol == Protocol::SPI ? "spi" : "i2c") +
                    (shape == Shape::Batch ? "_batch" : "_stream") + (write ? "_write" : "_read");
                auto* b = benchmark::RegisterBenchmark(name.c_str(), BM_MultiRegister, protocol,
                                                       shape, write);
                for (int64_t count : {1, 10, 100, 1000, 100000}) b->Arg(count);
                b->Unit(benchmark::kMicrosecond);
            }
    return true;
}();

}  // namespace
