// Pieces shared by the benchmark programs: the peripherals they drive, a
// simulated device to drive them on, and time per unit of work.
#pragma once

#include "descriptors.h"
#include "session.h"
#include "status.h"
#include "transport.h"

#include "qzsim/bench.hpp"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <algorithm>
#include <string>
#include <vector>

namespace qzbench {

// Reports the time per unit of work (samples, registers) as counter `name`,
// shown in seconds with an SI prefix ("n" is ns).
inline void timePerUnit(benchmark::State& state, const char* name, std::size_t unitsPerIteration) {
    state.counters[name] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(unitsPerIteration),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The SPI peripheral of the benchmarks: clock 0, chip select 1, data-in 2,
// data-out 3, 8 address bits, 16 data bits, a read/write bit, sampled on the
// rising edge, output enable on pin 4 (high while asserted): 56-sample frames.
// A fresh handle that the caller deletes; null if it cannot be made.
inline PROT_HANDLE newSPIBenchHandle() {
    PROT_HANDLE handle = nullptr;
    if (initSPIDev(&handle, 0, 1, 2, 3, 8, 16, 1, 1) != 0) return nullptr;
    setupOE(&handle, 4, 1);
    return handle;
}

// The I2C peripheral of the benchmarks: SCL 0, SDA written on 1 and read on
// 2, address 0x50, two register-address bytes, two data bytes, output enable
// on pin 3 (high while asserted): read frames of 81 + 36 x 4 = 225 samples.
inline PROT_HANDLE newI2CBenchHandle() {
    PROT_HANDLE handle = nullptr;
    if (initI2CDev(&handle, 0, 1, 2, 0x50, 2, 2) != 0) return nullptr;
    setupOE(&handle, 3, 1);
    return handle;
}

// A copy of the descriptor behind a fresh handle (the handle is deleted).
inline PROT_DES descriptorOf(PROT_HANDLE handle) {
    const PROT_DES d = qz::copyDescriptor(handle).value_or(PROT_DES{});
    deleteSPIDev(handle);
    return d;
}

// The read-back of `frame` from a chip that lags by one sample, all pins low
// before the frame.
inline std::vector<uint8_t> laggedReadback(const std::vector<uint8_t>& frame) {
    std::vector<uint8_t> rx(frame.size(), 0x00);
    if (!frame.empty()) std::copy(frame.begin(), frame.end() - 1, rx.begin() + 1);
    return rx;
}

// An empty bench with one device `serial` on it, its wire trace switched off
// so that long runs measure the chip and not the recording.
inline qzsim::Device& benchDevice(const std::string& serial) {
    qzsim::bench().clear();
    qzsim::DeviceInfo info;
    info.serial = serial;
    qzsim::Device& device = qzsim::bench().add(info);
    device.setTraceLimit(0);
    return device;
}

}  // namespace qzbench
