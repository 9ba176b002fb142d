// qzftdi's commands. Each writes its data to stdout (text, or JSON with
// --json) and returns the exit code, or throws Failure.
#pragma once

#include "session.hpp"

#include <cstdint>
#include <vector>

namespace qzcli {

int listDevices(const CommonOptions& options);
// The open device, its baud rate and the bus clocks on its wire: SCL at
// --i2c-khz, SCK at the device's baud rate.
int deviceInfo(Session& session);

// Addresses first..last; the reserved ones (0x00-0x07, 0x78-0x7f) only with `reserved`.
int i2cScan(Session& session, uint32_t first, uint32_t last, bool reserved);
int i2cGet(Session& session, uint32_t address, uint32_t reg);
int i2cSet(Session& session, uint32_t address, uint32_t reg, uint32_t value);
int i2cDump(Session& session, uint32_t address, uint32_t first, uint32_t last);
int i2cRead(Session& session, uint32_t address, uint32_t reg, uint32_t count);
int i2cWrite(Session& session, uint32_t address, uint32_t reg, std::vector<uint32_t> values);
int i2cRecover(Session& session);

// One message of i2c transfer: "w2@0x50 0x00 0x10" or "r8@0x50".
struct I2cMessage {
    uint32_t address = 0;
    bool read = false;
    uint32_t length = 0;
    std::vector<uint8_t> data;  // a write's bytes
    std::string text;           // as given: "w2@0x50"
};
// The messages as one frame (repeated STARTs, one STOP); prints each read.
int i2cTransfer(Session& session, const std::vector<I2cMessage>& messages);

int spiRead(Session& session, uint32_t reg);
int spiWrite(Session& session, uint32_t reg, uint32_t value);
int spiDump(Session& session, uint32_t first, uint32_t last);
// Clocks `out` under one chip select, then `readCount` fill bytes; prints the
// bytes in (all of them, or with readCount the read ones only).
int spiTransfer(Session& session, const std::vector<uint8_t>& out, uint32_t readCount);

int pinsPlay(Session& session, uint8_t mask, const std::vector<uint8_t>& samples);
int pinsRead(Session& session);
int pinsToggle(Session& session, uint8_t pin, bool low, bool singleEdge);

// selftest: a jumper from pin `out` to pin `in` of a real chip (or a bench's
// loopback). Checks the loopback and the read-back lag (exit 1 when either
// fails, naming the pins), then prints the measured figures beside the timed
// model's projection for the chip's profile.
struct SelftestOptions {
    int out = 0, in = 1;
    uint32_t samples = 262144;  // of the long pattern that times the sample rate
    uint32_t repeat = 20;       // runs of each timed transaction (the median is shown)
};
int selftest(Session& session, const SelftestOptions& options);

}  // namespace qzcli
