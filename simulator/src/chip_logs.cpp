// The C interface shared by every register chip: the fill value of unwritten
// registers, and the bounded transfer and violation logs. An I2C chip's
// violations are those of the bus it sits on.
#include "qzsim/i2c_bus.hpp"
#include "qzsim/qzsim.h"
#include "qzsim/spi_peripheral.hpp"

using namespace qzsim;

namespace {

// What a register chip logs; every member may be absent.
struct ChipLogs {
    SPIPeripheral* spi = nullptr;
    I2CChip* i2c = nullptr;
    std::shared_ptr<I2CBus> bus;
    bool found() const { return spi || i2c; }
};

ChipLogs logsOf(int32_t peripheral) {
    RegisterChip* chip = bench().chip(peripheral);
    ChipLogs logs;
    logs.spi = dynamic_cast<SPIPeripheral*>(chip);
    logs.i2c = dynamic_cast<I2CChip*>(chip);
    if (logs.i2c) logs.bus = logs.i2c->bus();
    return logs;
}

}  // namespace

extern "C" {

// Sets what a chip's unwritten registers read: 0, or -1 for an unknown ID.
int32_t qzsim_set_fill(int32_t peripheral, uint32_t value) {
    RegisterChip* chip = bench().chip(peripheral);
    if (!chip) return -1;
    chip->registers.fill = value;
    return 0;
}

// Sets the size of a chip's log rings (transfers and violations): 0, or -1
// for an unknown ID.
int32_t qzsim_set_log_limit(int32_t peripheral, uint32_t entries) {
    return guardedSim([&]() -> int32_t {
        const ChipLogs logs = logsOf(peripheral);
        if (!logs.found()) return -1;
        if (logs.spi) logs.spi->setLogLimit(entries);
        if (logs.i2c) logs.i2c->setLogLimit(entries);
        if (logs.bus) logs.bus->setViolationLimit(entries);
        return 0;
    });
}

// Register words (I2C) or transactions (SPI) logged since the last clear,
// including those that fell out of the ring; -1 for an unknown ID.
int64_t qzsim_log_count(int32_t peripheral) {
    const ChipLogs logs = logsOf(peripheral);
    if (logs.spi) return static_cast<int64_t>(logs.spi->logCount());
    if (logs.i2c) return static_cast<int64_t>(logs.i2c->logCount());
    return -1;
}

// Protocol violations seen since the last clear; -1 for an unknown ID.
int64_t qzsim_violation_count(int32_t peripheral) {
    const ChipLogs logs = logsOf(peripheral);
    if (logs.spi) return static_cast<int64_t>(logs.spi->violationCount());
    if (logs.bus) return static_cast<int64_t>(logs.bus->violationCount());
    return logs.i2c ? 0 : -1;
}

// Empties a chip's logs and their counts: 0, or -1 for an unknown ID.
int32_t qzsim_clear_logs(int32_t peripheral) {
    const ChipLogs logs = logsOf(peripheral);
    if (!logs.found()) return -1;
    if (logs.spi) logs.spi->clearLog();
    if (logs.i2c) logs.i2c->clearLog();
    if (logs.bus) logs.bus->clearViolations();
    return 0;
}

}  // extern "C"
