// The virtual I2C bus and chip decoding hand-made pin sequences, sample by
// sample: SCL on pin 0, SDA-write on pin 1, SDA-read on pin 2.
#include "qzsim/i2c_bus.hpp"

#include <gtest/gtest.h>

namespace {

using qzsim::I2CAccess;
using qzsim::I2CFault;

struct Wire {
    qzsim::I2CBus bus{0, 1, 2};
    bool sdaRead = true;  // the SDA-read pin in the last sample

    qzsim::PinDrive sample(bool scl, bool sda) {
        const auto drive = bus.onSample(static_cast<uint8_t>((scl ? 1 : 0) | (sda ? 2 : 0)));
        sdaRead = (drive.level & 4) != 0;
        return drive;
    }
    void start() { sample(true, true), sample(true, false), sample(true, false); }
    void stop() { sample(false, false), sample(true, false), sample(true, true); }
    // One bit slot; returns the SDA line at its first SCL-high sample.
    bool bit(bool sda) {
        sample(false, sda);
        sample(true, sda);
        const bool seen = sdaRead;
        sample(true, sda), sample(false, sda);
        return seen;
    }
    // Sends a byte; true when the chip acknowledged it.
    bool send(uint8_t value) {
        for (int b = 7; b >= 0; --b) bit((value >> b) & 1);
        return !bit(true);
    }
    uint8_t receive() {
        uint8_t value = 0;
        for (int b = 0; b < 8; ++b) value = static_cast<uint8_t>(value << 1 | bit(true));
        return value;
    }
    // The host's acknowledge as the end of an acknowledged stream word plays
    // it: SDA rises in the very sample in which SCL falls.
    void acknowledgeWithRisingEnd() {
        sample(false, false), sample(true, false), sample(true, false), sample(false, true);
    }
};

TEST(I2CBus, SclFallingWithSdaChangeIsNeitherStartNorStop) {
    Wire w;
    auto chip = w.bus.addChip(0x50, 1, 1);
    chip->registers.write(0x12, 0x5C);
    w.start();  // the first address bit (1) rises while SCL falls
    EXPECT_TRUE(w.send(0xA0));
    EXPECT_TRUE(w.send(0x10));
    EXPECT_TRUE(w.send(0xAA));
    EXPECT_TRUE(w.send(0xBB));  // the next register
    w.stop();
    w.start();
    EXPECT_TRUE(w.send(0xA0));
    EXPECT_TRUE(w.send(0x10));
    w.start();
    EXPECT_TRUE(w.send(0xA1));
    EXPECT_EQ(0xAA, w.receive());
    w.acknowledgeWithRisingEnd();
    EXPECT_EQ(0xBB, w.receive());
    w.bit(false);
    EXPECT_EQ(0x5C, w.receive());
    w.bit(true);  // not acknowledged: register 0x13 (0) does not go out
    EXPECT_TRUE(w.sdaRead);
    w.stop();
    const std::vector<I2CAccess> expected = {
        {false, 0x10, 0xAA}, {false, 0x11, 0xBB}, {true, 0x10, 0xAA}, {true, 0x11, 0xBB},
        {true, 0x12, 0x5C}};
    EXPECT_EQ(expected, chip->log());
    EXPECT_EQ(3u, w.bus.starts());
    EXPECT_EQ(2u, w.bus.stops());
    EXPECT_TRUE(w.bus.violations().empty());
}

TEST(I2CBus, OpenDrainLineIsLowWhenAnySidePullsIt) {
    Wire w;
    auto chip = w.bus.addChip(0x50, 1, 1);
    EXPECT_EQ(0x04, w.sample(true, true).level);
    EXPECT_EQ(0x00, w.sample(true, false).level);
    chip->setFault(I2CFault::HoldSDALow);
    EXPECT_EQ(0x00, w.sample(false, true).level);
    chip->setFault(I2CFault::HoldSCLLow);
    const auto drive = w.sample(true, true);
    EXPECT_EQ(0x05, drive.mask);  // SCL sunk low, SDA-read driven (high)
    EXPECT_EQ(0x04, drive.level);
}

TEST(I2CBus, SdaChangeWhileSclHighInsideAByteIsAViolation) {
    Wire w;
    w.bus.addChip(0x50, 1, 1);
    w.start();
    w.bit(true), w.bit(false);
    w.sample(false, true), w.sample(true, true), w.sample(true, false);  // clock 3
    ASSERT_EQ(1u, w.bus.violations().size());
    EXPECT_EQ("SDA fell while SCL high, clock 3 of byte 1", w.bus.violations()[0].what);
}

}  // namespace
