// Habits of real I2C chips on the virtual bus, driven with hand-made pin
// samples: late reactions, clock stretching, registers of mixed widths,
// EEPROM pages and write cycles, a read cut off mid-byte, bounded logs.
#include "i2c_wire.hpp"
#include "qzsim/i2c_bus.hpp"

#include <gtest/gtest.h>

namespace {

using qzsim::I2CAccess;
using qzsim::I2CChip;

constexpr uint8_t kAddress = 0x50;

struct Board {
    I2CWire w;
    std::shared_ptr<I2CChip> chip = w.bus->addChip(kAddress, 1, 1);
};

// A chip whose acknowledge of the register byte reaches the line late is
// still holding SDA low when a repeated START that follows one SCL-low sample
// raises SCL: one sample late it sees the master's SDA rise as a STOP and
// then a START; two samples late it sees no START at all, takes the read
// address for data and overwrites the register it was asked for.
TEST(I2CChipHabits, LateChipMissesRepeatedStartAfterOneSampleLow) {
    struct Case {
        const char* what;
        int lowSamples;  // SCL-low samples opening each bit slot
        uint32_t delay;
        bool spacedRestart;  // a second SCL-low sample before the repeated START
        int value;           // what the read returns (-1: an acknowledge missing)
        uint64_t stops;
        uint32_t held;  // register 0x12 afterwards
    } const cases[] = {
        {"prompt chip", 1, 0, false, 0x5C, 1, 0x5C},
        {"one sample late: STOP + START", 1, 1, false, 0x5C, 2, 0x5C},
        {"one sample late, spaced restart", 1, 1, true, 0x5C, 1, 0x5C},
        {"slow clock, prompt chip", 2, 0, false, 0x5C, 1, 0x5C},
        {"slow clock, one sample late", 2, 1, false, 0x5C, 2, 0x5C},
        {"slow clock, two samples late: read stored as a write", 2, 2, false, -1, 1, 0x50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Board b;
        b.w.lowSamples = c.lowSamples;
        b.chip->setReactionDelay(c.delay);
        b.chip->registers.write(0x12, 0x5C);
        b.w.start();
        bool acked = b.w.send(kAddress << 1);
        acked = b.w.send(0x12) && acked;
        if (c.spacedRestart)
            b.w.spacedStart();
        else
            b.w.start();
        acked = b.w.send(kAddress << 1 | 1) && acked;
        const uint8_t value = b.w.receive();
        b.w.bit(true);
        b.w.stop();
        EXPECT_EQ(c.value, acked ? value : -1);
        EXPECT_EQ(c.stops, b.w.bus->stops());
        EXPECT_EQ(c.held, b.chip->registers.read(0x12));
    }
}

// The first address bit (1) follows the START in the very sample in which
// SCL falls: a chip that sees SDA first takes it for a STOP and misses its
// address, unless SCL falls a sample before SDA moves.
TEST(I2CChipHabits, ChipSeeingSdaAheadOfSclTakesTheFirstAddressBitForAStop) {
    struct Case {
        bool leads;
        bool sclFallsAlone;
        bool acknowledged;
    } const cases[] = {{false, false, true}, {true, false, false}, {true, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.leads) + std::to_string(c.sclFallsAlone));
        Board b;
        b.chip->setSdaLeadsScl(c.leads);
        b.w.start();
        if (c.sclFallsAlone) b.w.sample(false, false);
        EXPECT_EQ(c.acknowledged, b.w.send(kAddress << 1));
    }
}

TEST(I2CChipHabits, SlowDataValidIsAReactionDelayOfOne) {
    Board slow, late;
    slow.chip->setFault(qzsim::I2CFault::SlowDataValid);
    late.chip->setReactionDelay(1);
    for (Board* b : {&slow, &late}) {
        b->chip->registers.write(0x12, 0x5C);
        EXPECT_EQ(0x5C, b->w.readRegister(kAddress, 0x12));
        EXPECT_EQ(2u, b->w.bus->stops());  // the repeated START seen as STOP + START
    }
}

TEST(I2CChipHabits, StretchedClockReadsLowWhileDriven) {
    Board b;
    auto other = b.w.bus->addChip(0x51, 1, 1);
    other->setClockStretch(5);  // not addressed: never stretches
    b.chip->setClockStretch(3);
    b.w.start();
    EXPECT_TRUE(b.w.send(kAddress << 1));
    int held = 0;
    for (int k = 0; k < 10; ++k) {
        b.w.sample(true, false);  // the master drives SCL high
        held += b.w.sclRead ? 0 : 1;
    }
    EXPECT_EQ(3, held);
    EXPECT_TRUE(b.w.sclRead);
}

// Each byte the chip took part in costs a master that does not wait one
// clock pulse, so its write never arrives; a master that waits gets through.
TEST(I2CChipHabits, StretchSwallowsTheClockPulsesOfAMasterThatDoesNotWait) {
    for (bool waits : {false, true}) {
        SCOPED_TRACE(waits ? "waiting master" : "blind master");
        Board b;
        b.chip->setClockStretch(4);
        b.w.waitsForScl = waits;
        b.w.writeRegister(kAddress, 0x12, {0x34});
        EXPECT_EQ(waits ? 0x34u : 0u, b.chip->registers.read(0x12));
        EXPECT_EQ(waits ? 1u : 0u, b.chip->log().size());
    }
}

TEST(I2CChipHabits, RegistersOfMixedWidthsStreamRegisterByRegister) {
    I2CWire w;
    auto lm75 = w.bus->addChip(0x48, 1, 2);  // temperature, limits: 2 bytes
    lm75->setRegisterWidth(1, 1);            // configuration: 1 byte
    lm75->registers.write(0, 0x1980);
    lm75->registers.write(1, 0x02);
    lm75->registers.write(2, 0x4B00);
    w.start();
    EXPECT_TRUE(w.send(0x90));
    EXPECT_TRUE(w.send(0x00));
    w.start();
    EXPECT_TRUE(w.send(0x91));
    std::vector<uint8_t> bytes;
    for (int k = 0; k < 5; ++k) {
        bytes.push_back(w.receive());
        w.bit(k == 4);  // acknowledge all but the last
    }
    w.stop();
    EXPECT_EQ((std::vector<uint8_t>{0x19, 0x80, 0x02, 0x4B, 0x00}), bytes);
    EXPECT_TRUE(w.writeRegister(0x48, 1, {0x11, 0x22, 0x33}));
    EXPECT_EQ(0x11u, lm75->registers.read(1));
    EXPECT_EQ(0x2233u, lm75->registers.read(2));
    const std::vector<I2CAccess> expected = {{true, 0, 0x1980},  {true, 1, 0x02},
                                             {true, 2, 0x4B00},  {false, 1, 0x11},
                                             {false, 2, 0x2233}};
    EXPECT_EQ(expected, lm75->log());
}

TEST(I2CChipHabits, BlankEepromReadsFill) {
    Board b;
    b.chip->registers.fill = 0xFF;
    EXPECT_EQ(0xFF, b.w.readRegister(kAddress, 0x40));
}

TEST(I2CChipHabits, PageWriteWrapsWithinPage) {
    Board b;
    b.chip->setEeprom(8, 0);
    EXPECT_TRUE(b.w.writeRegister(kAddress, 0x06, {1, 2, 3, 4}));
    EXPECT_EQ(1u, b.chip->registers.read(6));
    EXPECT_EQ(2u, b.chip->registers.read(7));
    EXPECT_EQ(3u, b.chip->registers.read(0));
    EXPECT_EQ(4u, b.chip->registers.read(1));
    EXPECT_EQ(0u, b.chip->registers.read(8));
}

TEST(I2CChipHabits, BusyEepromDoesNotAcknowledge) {
    Board b;
    b.chip->setEeprom(16, 200);
    EXPECT_TRUE(b.w.writeRegister(kAddress, 0x05, {}));  // sets the pointer only
    EXPECT_EQ(0, b.w.readRegister(kAddress, 0x05));      // no write cycle
    EXPECT_TRUE(b.w.writeRegister(kAddress, 0x05, {0xAA}));
    EXPECT_EQ(-1, b.w.readRegister(kAddress, 0x05));  // in its write cycle
    EXPECT_EQ(2u, b.chip->log().size());             // and the read did nothing
    b.w.idle(200);
    EXPECT_EQ(0xAA, b.w.readRegister(kAddress, 0x05));
}

// A read cut off while the chip drives a 0 leaves SDA low until the master
// clocks the chip's bits out; the STOP that ends the recovery is itself a
// falling SCL edge, so it only frees the bus when the chip's next bit is a 1.
TEST(I2CChipHabits, InterruptedReadHoldsSdaUntilClockedOut) {
    struct Case {
        uint8_t value;
        int clocksUntilHigh;
        bool freedByStop;
    } const cases[] = {{0x0D, 3, true}, {0x09, 3, false}, {0x1F, 2, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.value));
        Board b;
        b.chip->registers.write(0x12, c.value);
        b.w.start();
        b.w.send(kAddress << 1);
        b.w.send(0x12);
        b.w.start();
        b.w.send(kAddress << 1 | 1);
        b.w.bit(true), b.w.bit(true);  // two bits (0 0), then the host resets
        for (int k = 0; k < 100; ++k) b.w.sample(false, true);
        EXPECT_FALSE(b.w.sdaRead);
        int clocks = 0;
        while (clocks < 9 && !b.w.bit(true)) ++clocks;
        EXPECT_EQ(c.clocksUntilHigh, clocks + 1);
        b.w.stop();
        EXPECT_EQ(c.freedByStop, b.w.sdaRead);
        if (c.freedByStop) {
            EXPECT_EQ(c.value, b.w.readRegister(kAddress, 0x12));
        }
    }
}

TEST(I2CChipHabits, LogsStayBounded) {
    Board b;
    b.chip->setLogLimit(4);
    for (uint8_t reg = 0; reg < 10; ++reg) b.w.writeRegister(kAddress, reg, {reg});
    const auto log = b.chip->log();
    ASSERT_EQ(4u, log.size());
    EXPECT_EQ((I2CAccess{false, 6, 6}), log.front());
    EXPECT_EQ((I2CAccess{false, 9, 9}), log.back());
    EXPECT_EQ(10u, b.chip->logCount());
    b.chip->clearLog();
    EXPECT_TRUE(b.chip->log().empty());
    EXPECT_EQ(0u, b.chip->logCount());

    b.w.bus->setViolationLimit(2);
    for (int k = 0; k < 5; ++k) {
        b.w.start();
        b.w.bit(true), b.w.bit(false);
        b.w.sample(false, true), b.w.sample(true, true), b.w.sample(true, false);  // clock 3
        b.w.stop();
    }
    EXPECT_EQ(2u, b.w.bus->violations().size());
    EXPECT_EQ(5u, b.w.bus->violationCount());
}

}  // namespace
