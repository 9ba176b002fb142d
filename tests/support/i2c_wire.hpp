// Hand-made I2C pin samples for the virtual bus: SCL on pin 0, SDA-write on
// pin 1, SDA-read on pin 2. Each phase is built from named line states, the
// way a master on bit-bang pins plays them, without the library's generators.
#pragma once

#include "qzsim/i2c_bus.hpp"

#include <cstdint>
#include <memory>

struct I2CWire {
    static constexpr uint8_t kScl = 0x01, kSdaWrite = 0x02, kSdaRead = 0x04;
    static constexpr int kMaxWait = 1000;  // samples a waiting master waits at most

    std::shared_ptr<qzsim::I2CBus> bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
    // SCL-low samples at the start of every bit slot (the slot's last sample
    // is low too): 1 gives the two-sample low phases of the library's frames.
    int lowSamples = 1;
    // A master that waits while a chip stretches the clock (SCL reads low
    // while driven high) instead of going on blindly.
    bool waitsForScl = false;
    bool sdaRead = true;  // the SDA-read pin in the last sample
    bool sclRead = true;  // SCL as the pins show it (low while a chip holds it)

    qzsim::PinDrive sample(bool scl, bool sda) {
        const auto drive = bus->onSample(static_cast<uint8_t>((scl ? kScl : 0) | (sda ? kSdaWrite : 0)));
        sdaRead = (drive.level & kSdaRead) != 0;
        sclRead = scl && !((drive.mask & kScl) && !(drive.level & kScl));
        return drive;
    }
    void idle(int samples) {
        for (int k = 0; k < samples; ++k) sample(true, true);
    }
    // START (or repeated START right after a slot: one sample of SCL low
    // before it, as in the library's read frame): SCL high, SDA high then low.
    void start() { sample(true, true), sample(true, false), sample(true, false); }
    // A repeated START after a second SCL-low sample in which SDA is released.
    void spacedStart() { sample(false, true), start(); }
    void stop() { sample(false, false), sample(true, false), sample(true, true); }
    // One bit slot: SCL low, high, high, low with SDA held; returns the SDA
    // line at its first SCL-high sample.
    bool bit(bool sda) {
        for (int k = 0; k < lowSamples; ++k) sample(false, sda);
        sample(true, sda);
        for (int k = 0; waitsForScl && !sclRead && k < kMaxWait; ++k) sample(true, sda);
        const bool seen = sdaRead;
        sample(true, sda), sample(false, sda);
        return seen;
    }
    // Sends a byte; true when the chip acknowledged it.
    bool send(uint8_t value) {
        for (int b = 7; b >= 0; --b) bit((value >> b) & 1);
        return !bit(true);
    }
    // Receives the eight bits of a byte with SDA released (the acknowledge
    // slot is the caller's).
    uint8_t receive() {
        uint8_t value = 0;
        for (int b = 0; b < 8; ++b) value = static_cast<uint8_t>(value << 1 | bit(true));
        return value;
    }
    // The library's register read: START, address + W, register, repeated
    // START after one SCL-low sample, address + R, one byte not acknowledged,
    // STOP. Returns the byte, or -1 when an address or register byte was
    // not acknowledged.
    int readRegister(uint8_t address, uint8_t reg) {
        start();
        bool acked = send(static_cast<uint8_t>(address << 1));
        acked = send(reg) && acked;
        start();
        acked = send(static_cast<uint8_t>(address << 1 | 1)) && acked;
        const uint8_t value = receive();
        bit(true);  // not acknowledged: the last byte
        stop();
        return acked ? value : -1;
    }
    // START, address + W, register, the data bytes, STOP; true when every
    // byte was acknowledged.
    bool writeRegister(uint8_t address, uint8_t reg, std::initializer_list<uint8_t> data) {
        start();
        bool acked = send(static_cast<uint8_t>(address << 1));
        acked = send(reg) && acked;
        for (uint8_t byte : data) acked = send(byte) && acked;
        stop();
        return acked;
    }
};
