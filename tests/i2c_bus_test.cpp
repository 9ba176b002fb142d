// The virtual I2C bus and chip decoding hand-made pin sequences, sample by
// sample (SCL on pin 0, SDA-write on pin 1, SDA-read on pin 2).
#include "i2c_wire.hpp"
#include "qzsim/i2c_bus.hpp"

#include <gtest/gtest.h>

namespace {

using qzsim::I2CAccess;
using qzsim::I2CFault;

// The host's acknowledge as the end of an acknowledged stream word plays it:
// SDA rises in the very sample in which SCL falls.
void acknowledgeWithRisingEnd(I2CWire& w) {
    w.sample(false, false), w.sample(true, false), w.sample(true, false), w.sample(false, true);
}

TEST(I2CBus, SclFallingWithSdaChangeIsNeitherStartNorStop) {
    I2CWire w;
    auto chip = w.bus->addChip(0x50, 1, 1);
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
    acknowledgeWithRisingEnd(w);
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
    EXPECT_EQ(3u, w.bus->starts());
    EXPECT_EQ(2u, w.bus->stops());
    EXPECT_TRUE(w.bus->violations().empty());
}

TEST(I2CBus, OpenDrainLineIsLowWhenAnySidePullsIt) {
    I2CWire w;
    auto chip = w.bus->addChip(0x50, 1, 1);
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
    I2CWire w;
    w.bus->addChip(0x50, 1, 1);
    w.start();
    w.bit(true), w.bit(false);
    w.sample(false, true), w.sample(true, true), w.sample(true, false);  // clock 3
    ASSERT_EQ(1u, w.bus->violations().size());
    EXPECT_EQ("SDA fell while SCL high, clock 3 of byte 1", w.bus->violations()[0].what);
}

}  // namespace

// A port expander has no register pointer: each written byte sets the
// outputs, each read byte gives the pins (outputs AND what pulls them low).
TEST(I2CPortExpander, WritesSetOutputsAndReadsReturnThePins) {
    I2CWire w;
    auto expander = std::make_shared<qzsim::I2CPortExpander>(0x20);
    w.bus->addChip(expander);
    w.start();
    EXPECT_TRUE(w.send(0x40));
    EXPECT_TRUE(w.send(0x0F));
    EXPECT_TRUE(w.send(0xF3));  // the last byte wins, no pointer moves on
    w.stop();
    EXPECT_EQ(expander->registers.read(qzsim::I2CPortExpander::kOutputs), 0xF3u);
    expander->registers.write(qzsim::I2CPortExpander::kInputs, 0x7F);  // a button holds P7 low
    w.start();
    EXPECT_TRUE(w.send(0x41));
    EXPECT_EQ(w.receive(), 0x73);
    w.bit(false);  // acknowledged: the same pins again
    EXPECT_EQ(w.receive(), 0x73);
    w.bit(true);
    w.stop();
}
