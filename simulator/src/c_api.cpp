// The bench's C interface: devices, lag, call counts and peripheral registers.
// The SPI and I2C attach functions live beside their peripherals.
#include "qzsim/bench.hpp"
#include "qzsim/qzsim.h"

#include <cstring>

using namespace qzsim;

namespace {
Device* deviceNamed(const char* serial) { return serial ? bench().find(serial) : nullptr; }
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

int32_t qzsim_remove_device(const char* serial) {
    return serial && bench().remove(serial) ? 0 : -1;
}

void qzsim_clear_bench(void) { bench().clear(); }

int32_t qzsim_set_readback_lag(const char* serial, uint32_t lag) {
    Device* device = deviceNamed(serial);
    if (!device || lag > 2) return -1;
    device->setReadbackLag(lag);
    return 0;
}

int64_t qzsim_call_count(const char* serial, const char* op) {
    Device* device = deviceNamed(serial);
    if (!device || !op) return -1;
    for (unsigned i = 0; i < kOpCount; ++i)
        if (std::strcmp(opName(static_cast<Op>(i)), op) == 0)
            return static_cast<int64_t>(device->calls(static_cast<Op>(i)));
    return -1;
}

int64_t qzsim_read_trace(const char* serial, uint8_t* written, uint8_t* levels,
                         uint32_t capacity) {
    Device* device = deviceNamed(serial);
    if (!device) return -1;
    const auto& trace = device->trace();
    for (std::size_t i = 0; i < trace.size() && i < capacity; ++i) {
        if (written) written[i] = trace[i].written;
        if (levels) levels[i] = trace[i].levels;
    }
    return static_cast<int64_t>(trace.size());
}

int32_t qzsim_clear_trace(const char* serial) {
    Device* device = deviceNamed(serial);
    if (!device) return -1;
    device->clearTrace();
    return 0;
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
