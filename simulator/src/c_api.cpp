// The bench's C interface: devices, lag, time and buffers, faults, the wire
// trace, call counts and peripheral registers. The SPI and I2C attach
// functions live beside their peripherals.
#include "qzsim/bench.hpp"
#include "qzsim/qzsim.h"

#include <cstring>
#include <limits>
#include <memory>

using namespace qzsim;

namespace {

// Runs `body` on the named device under its lock (the device may be in use
// by another thread's driver calls); -1 for an unknown device or a throw.
template <class Body>
auto onNamed(const char* serial, Body&& body) -> decltype(body(std::declval<Device&>())) {
    return guardedSim([&]() -> decltype(body(std::declval<Device&>())) {
        const std::shared_ptr<Device> device = serial ? bench().share(serial) : nullptr;
        if (!device) return -1;
        auto lock = device->lock();
        return body(*device);
    });
}

// A driver operation by its name without the FT_ prefix.
std::optional<Op> opNamed(const char* name) {
    if (!name) return std::nullopt;
    for (unsigned i = 0; i < kOpCount; ++i)
        if (std::strcmp(opName(static_cast<Op>(i)), name) == 0) return static_cast<Op>(i);
    return std::nullopt;
}

// Sets a byte-count fault of the named device: negative switches it off, a
// count above 32 bits is refused. 0, or -1.
template <class Setter>
int32_t setByteFault(const char* serial, int64_t bytes, Setter&& set) {
    if (bytes > int64_t{std::numeric_limits<uint32_t>::max()}) return -1;
    std::optional<uint32_t> count;
    if (bytes >= 0) count = static_cast<uint32_t>(bytes);
    return onNamed(serial, [&](Device& d) -> int32_t {
        set(d, count);
        return 0;
    });
}

int64_t counter(const char* serial, uint64_t (Device::*get)() const) {
    return onNamed(serial, [&](Device& d) -> int64_t { return static_cast<int64_t>((d.*get)()); });
}
}  // namespace

extern "C" {

int32_t qzsim_add_device(const char* serial, const char* description, int32_t listable) {
    return guardedSim([&]() -> int32_t {
        if (!serial) return -1;
        DeviceInfo info;
        info.serial = serial;
        if (description) info.description = description;
        info.listable = listable != 0;
        bench().add(std::move(info));
        return 0;
    });
}

// A jumper from pin `from` to pin `to`: 0, or -1 for an unknown device, a pin
// above 7 or a wire from a pin to itself.
int32_t qzsim_attach_wire(const char* serial, uint8_t from, uint8_t to) {
    if (from > 7 || to > 7 || from == to) return -1;
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.attach(std::make_shared<Jumper>(from, to));
        return 0;
    });
}

int32_t qzsim_remove_device(const char* serial) {
    return serial && bench().remove(serial) ? 0 : -1;
}

void qzsim_clear_bench(void) { bench().clear(); }

int32_t qzsim_set_readback_lag(const char* serial, uint32_t lag) {
    if (lag > 2) return -1;
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setReadbackLag(lag);
        return 0;
    });
}

int64_t qzsim_call_count(const char* serial, const char* op) {
    const auto which = opNamed(op);
    if (!which) return -1;
    return onNamed(serial, [&](Device& d) -> int64_t { return static_cast<int64_t>(d.calls(*which)); });
}

int64_t qzsim_read_trace(const char* serial, uint8_t* written, uint8_t* levels,
                         uint32_t capacity) {
    return onNamed(serial, [&](Device& d) -> int64_t {
        const std::size_t recorded = d.traceSize();
        if ((written || levels) && capacity > 0) {
            const auto trace = d.trace();
            for (std::size_t i = 0; i < trace.size() && i < capacity; ++i) {
                if (written) written[i] = trace[i].written;
                if (levels) levels[i] = trace[i].levels;
            }
        }
        return static_cast<int64_t>(recorded);
    });
}

int32_t qzsim_clear_trace(const char* serial) {
    return onNamed(serial, [](Device& d) -> int32_t {
        d.clearTrace();
        return 0;
    });
}

// ---- time, buffers and USB ----

int32_t qzsim_set_profile(const char* serial, const char* profile) {
    const auto chip = profile ? chipProfile(profile) : std::nullopt;
    if (!chip) return -1;
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setProfile(*chip);
        return 0;
    });
}

int32_t qzsim_set_custom_profile(const char* serial, uint32_t fifoToHost, uint32_t fifoFromHost,
                                 uint32_t packetSize, uint32_t sampleMultiplier,
                                 uint32_t maxSampleRate, uint32_t latencyMs) {
    const auto chip = customProfile(fifoToHost, fifoFromHost, packetSize, sampleMultiplier,
                                    maxSampleRate, latencyMs);
    if (!chip) return -1;
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setProfile(*chip);
        return 0;
    });
}

int32_t qzsim_set_timed(const char* serial, int32_t timed) {
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setTimed(timed != 0);
        return 0;
    });
}

int32_t qzsim_set_driver_buffer(const char* serial, uint32_t bytes) {
    if (bytes == 0) return -1;
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setDriverBuffer(bytes);
        return 0;
    });
}

int32_t qzsim_set_write_timeout(const char* serial, uint32_t ms) {
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setWriteTimeout(ms);
        return 0;
    });
}

int32_t qzsim_set_lossy(const char* serial, int32_t lossy) {
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setLossy(lossy != 0);
        return 0;
    });
}

int32_t qzsim_get_latency_timer(const char* serial) {
    return onNamed(serial, [](Device& d) -> int32_t {
        return int32_t{d.latency()};
    });
}

int64_t qzsim_clock_ns(const char* serial) { return counter(serial, &Device::clockNs); }
int64_t qzsim_stall_count(const char* serial) { return counter(serial, &Device::stallCount); }
int64_t qzsim_dropped_count(const char* serial) { return counter(serial, &Device::droppedCount); }
int64_t qzsim_forever_reads(const char* serial) { return counter(serial, &Device::foreverReads); }

int32_t qzsim_unplug_at_call(const char* serial, uint32_t nth) {
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.unplugAtCall(nth);
        return 0;
    });
}

int32_t qzsim_unplug_at_time(const char* serial, uint64_t ns) {
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.unplugAtTime(ns);
        return 0;
    });
}

// ---- fault injection ----

int32_t qzsim_fail_nth_call(const char* serial, const char* op, uint32_t nth, uint32_t status) {
    const auto which = opNamed(op);
    if (!which) return -1;
    if (!serial) {
        // The bench answers only the operations that take no handle.
        if (*which != Op::ListDevices && *which != Op::CreateDeviceInfoList &&
            *which != Op::GetDeviceInfoDetail && *which != Op::OpenEx)
            return -1;
        return guardedSim([&]() -> int32_t {
            bench().failNthCall(*which, nth, status);
            return 0;
        });
    }
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.failNthCall(*which, nth, status);
        return 0;
    });
}

int32_t qzsim_set_short_write(const char* serial, int64_t maxBytesPerWrite) {
    return setByteFault(serial, maxBytesPerWrite,
                        [](Device& d, std::optional<uint32_t> n) { d.setShortWrite(n); });
}

int32_t qzsim_set_readback_drip(const char* serial, int64_t bytesPerPoll) {
    return setByteFault(serial, bytesPerPoll,
                        [](Device& d, std::optional<uint32_t> n) { d.setReadbackDrip(n); });
}

int32_t qzsim_set_readback_stall(const char* serial, int64_t bytesBeforeStall) {
    return setByteFault(serial, bytesBeforeStall,
                        [](Device& d, std::optional<uint32_t> n) { d.setReadbackStall(n); });
}

int32_t qzsim_clear_faults(const char* serial) {
    return onNamed(serial, [](Device& d) -> int32_t {
        d.clearFaults();
        return 0;
    });
}

// ---- wire trace ----

int32_t qzsim_set_trace_limit(const char* serial, uint32_t samples) {
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setTraceLimit(samples);
        return 0;
    });
}

int64_t qzsim_trace_dropped(const char* serial) { return counter(serial, &Device::traceDropped); }

int32_t qzsim_set_pin_name(const char* serial, uint8_t pin, const char* name) {
    if (!name || pin > 7) return -1;
    return onNamed(serial, [&](Device& d) -> int32_t {
        d.setPinName(pin, name);
        return 0;
    });
}

int32_t qzsim_get_register(int32_t peripheral, uint32_t reg, uint32_t* value) {
    RegisterChip* chip = bench().chip(peripheral);
    if (!chip || !value) return -1;
    *value = chip->registers.read(reg);
    return 0;
}

int32_t qzsim_set_register(int32_t peripheral, uint32_t reg, uint32_t value) {
    RegisterChip* chip = bench().chip(peripheral);
    if (!chip) return -1;
    return guardedSim([&]() -> int32_t {
        chip->registers.write(reg, value);
        return 0;
    });
}

}  // extern "C"
