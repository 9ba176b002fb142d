// Soak: mixed register transfers over several simulated devices, one thread
// per device, with a driver fault injected now and then, for a set time.
// Prints the operations done, the wrong results (must be 0) and the resident
// memory (VmRSS) at the start, after a warm-up and at the end (must be flat
// from the warm-up on: every bounded log and ring of the simulator is full
// by then).
//
//   qz_soak [seconds] [devices]     (defaults 60 and 4)
//
// A wrong result is a value that differs from what was written, a failure
// where no fault was injected, or a success where one was.
#include "QZ_FTDI.h"
#include "ftd2xx.h"
#include "qzsim/bench.hpp"
#include "qzsim/qzsim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> stopping{false};
std::atomic<uint64_t> operations{0}, wrong{0}, faultsInjected{0};

// Resident memory of this process in KiB (Linux), or -1.
long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

void wrongResult(const std::string& serial, const char* what, long long got, long long want) {
    if (wrong.fetch_add(1) < 10)
        std::fprintf(stderr, "%s: %s: got %lld, expected %lld\n", serial.c_str(), what, got, want);
}

uint32_t nextValue(uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) & 0xFFFFu;
}

// One device: an SPI chip (8 address bits, 16 data bits) on pins 0-3 and an
// I2C chip at 0x50 (1 register byte, 2 data bytes) on pins 4-6.
void soakDevice(const std::string& serial, uint32_t id) {
    void* dev = nullptr;
    if (setupFTDIdev(&dev, serial.c_str(), 1000000) != 0) {
        wrongResult(serial, "setupFTDIdev", -1, 0);
        return;
    }
    PROT_HANDLE spi = nullptr, i2c = nullptr;
    initSPIDev(&spi, 0, 3, 1, 2, 8, 16, 1, 1);
    initI2CDev(&i2c, 4, 5, 6, 0x50, 1, 2);
    mapHandles(dev, spi, id);
    mapHandles(dev, i2c, id + 1);
    qzsim::Device* device = qzsim::bench().find(serial);
    uint32_t seed = id * 7919u + 1;
    constexpr uint32_t kN = 8;
    uint32_t regs[kN], values[kN], back[kN];
    for (uint64_t round = 1; !stopping.load(std::memory_order_relaxed); ++round) {
        const bool useSPI = round % 2 == 0;
        PROT_HANDLE prot = useSPI ? spi : i2c;
        const uint32_t pid = useSPI ? id : id + 1;
        const uint32_t base = (nextValue(seed) % 200) & ~7u;
        // Every 97th round the next driver write fails: the transfer must
        // say so, and the device must work again right after.
        const bool fault = round % 97 == 0;
        if (fault) {
            device->failNthCall(qzsim::Op::Write, 1, FT_IO_ERROR);
            faultsInjected.fetch_add(1, std::memory_order_relaxed);
        }
        const uint32_t v = nextValue(seed);
        int32_t r = write_reg(pid, base, v);
        operations.fetch_add(1, std::memory_order_relaxed);
        if (fault) {
            if (r == 0) wrongResult(serial, "write under fault", r, -1);
            continue;
        }
        if (r != 0) wrongResult(serial, "write_reg", r, 0);
        r = read_reg(pid, base);
        if (r != static_cast<int32_t>(v)) wrongResult(serial, "read_reg", r, v);
        for (uint32_t i = 0; i < kN; ++i) {
            regs[i] = base + (i * 3) % kN;
            values[i] = nextValue(seed);
        }
        if (multiRegRW(dev, prot, regs, values, kN, 1) != 0) wrongResult(serial, "batch write", -1, 0);
        if (read_regs(pid, regs, back, kN) != 0) wrongResult(serial, "batch read", -1, 0);
        for (uint32_t i = 0; i < kN; ++i)
            if (back[i] != values[i]) wrongResult(serial, "batch value", back[i], values[i]);
        for (uint32_t i = 0; i < kN; ++i) values[i] = nextValue(seed);
        if (write_reg_stream(pid, base, values, kN) != 0) wrongResult(serial, "stream write", -1, 0);
        if (multiRegStreamRW(dev, prot, base, back, kN, 0) != 0)
            wrongResult(serial, "stream read", -1, 0);
        for (uint32_t i = 0; i < kN; ++i)
            if (back[i] != values[i]) wrongResult(serial, "stream value", back[i], values[i]);
        operations.fetch_add(5, std::memory_order_relaxed);
    }
    mapHandles(nullptr, nullptr, id);
    mapHandles(nullptr, nullptr, id + 1);
    deleteSPIDev(spi);
    deleteI2CDev(i2c);
    closeFTDI(dev);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int devices = argc > 2 ? std::atoi(argv[2]) : 4;
    qzsim_clear_bench();
    std::vector<std::string> serials;
    for (int i = 0; i < devices; ++i) {
        serials.push_back("SOAK" + std::to_string(i));
        qzsim_add_device(serials.back().c_str(), "soak board", 1);
        qzsim_attach_spi(serials.back().c_str(), 0, 3, 1, 2, 8, 16, 1, 1);
        qzsim_attach_i2c(serials.back().c_str(), 4, 5, 6, 0x50, 1, 2);
    }
    const long startKiB = residentKiB();
    std::printf("start: VmRSS %ld KiB, %d devices, %.0f s\n", startKiB, devices, seconds);
    std::fflush(stdout);

    const auto begin = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < devices; ++i)
        threads.emplace_back(soakDevice, serials[static_cast<size_t>(i)], 2u * static_cast<uint32_t>(i));

    // Warm-up: a tenth of the run, at most a minute.
    const double warmup = std::min(seconds / 10, 60.0);
    long warmKiB = -1;
    for (double t = 0;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        t = std::chrono::duration<double>(Clock::now() - begin).count();
        if (warmKiB < 0 && t >= warmup) {
            warmKiB = residentKiB();
            std::printf("after warm-up (%.0f s): VmRSS %ld KiB, %llu operations\n", t, warmKiB,
                        static_cast<unsigned long long>(operations.load()));
            std::fflush(stdout);
        }
        if (t >= seconds) break;
    }
    stopping = true;
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    const long endKiB = residentKiB();
    std::printf("end: %.0f s, %llu operations (%.0f/s), %llu faults injected, %llu wrong results, "
                "VmRSS %ld KiB (start %ld, after warm-up %ld)\n",
                elapsed, static_cast<unsigned long long>(operations.load()),
                static_cast<double>(operations.load()) / elapsed,
                static_cast<unsigned long long>(faultsInjected.load()),
                static_cast<unsigned long long>(wrong.load()), endKiB, startKiB, warmKiB);
    qzsim_clear_bench();
    return wrong.load() == 0 ? 0 : 1;
}
