// I2C results that can be trusted on a real bus, end to end on virtual chips:
// acknowledges judged in batches and streams, a held SDA or SCL reported as
// such, strict timing (its waveform rules, round trips at every lag, sigrok's
// reading), the bus scan and the bus recovery.
#include "i2c.h"
#include "qzsim/i2c_bus.hpp"
#include "sigrok.hpp"
#include "sim_fixture.hpp"

#include <algorithm>
#include <functional>
#include <memory>

namespace {

using qzsim::I2CFault;
using qzsim::Op;

constexpr uint8_t kAddress = 0x50;
constexpr uint32_t kUntouched = 0xDEADBEEF;

class I2CSoundness : public SimBench {
protected:
    // A device at `lag` with an I2C bus (SCL 0, SDA write 1, SDA read 2) and a
    // chip at `chipAddress`; `d` addresses kAddress with A and B bytes.
    FT_HANDLE setUp(Descriptor& d, uint8_t a, uint8_t b, unsigned lag = 1,
                    uint8_t chipAddress = kAddress, const std::string& serial = "DEV") {
        FT_HANDLE dev = openDevice(lag, serial);
        bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
        device(serial).attach(bus);
        chip = bus->addChip(chipAddress, a, b);
        makeI2C(d, 0, 1, 2, kAddress, a, b);
        return dev;
    }
    std::shared_ptr<qzsim::I2CBus> bus;
    std::shared_ptr<qzsim::I2CChip> chip;
};

// Every I2C transfer, as a status.
struct Operation {
    const char* name;
    int32_t (*run)(FT_HANDLE, PROT_HANDLE, QZ_RESULT*);
};

const Operation kOperations[] = {
    {"write", [](FT_HANDLE dev, PROT_HANDLE p, QZ_RESULT* r) { return qz_writeI2C(dev, p, 1, 2, r); }},
    {"read",
     [](FT_HANDLE dev, PROT_HANDLE p, QZ_RESULT* r) {
         uint32_t v = kUntouched;
         return qz_readI2C(dev, p, 1, &v, r);
     }},
    {"batch write",
     [](FT_HANDLE dev, PROT_HANDLE p, QZ_RESULT* r) {
         uint32_t regs[2] = {1, 2}, data[2] = {3, 4};
         return qz_multiRegRW(dev, p, regs, data, 2, 1, r);
     }},
    {"batch read",
     [](FT_HANDLE dev, PROT_HANDLE p, QZ_RESULT* r) {
         uint32_t regs[2] = {1, 2}, data[2] = {kUntouched, kUntouched};
         const int32_t s = qz_multiRegRW(dev, p, regs, data, 2, 0, r);
         if (s != QZ_OK) {
             EXPECT_EQ(kUntouched, data[0]);
         }
         return s;
     }},
    {"stream write",
     [](FT_HANDLE dev, PROT_HANDLE p, QZ_RESULT* r) {
         uint32_t data[2] = {3, 4};
         return qz_multiRegStreamRW(dev, p, 1, data, 2, 1, r);
     }},
    {"stream read",
     [](FT_HANDLE dev, PROT_HANDLE p, QZ_RESULT* r) {
         uint32_t data[2] = {kUntouched, kUntouched};
         const int32_t s = qz_multiRegStreamRW(dev, p, 1, data, 2, 0, r);
         if (s != QZ_OK) {
             EXPECT_EQ(kUntouched, data[0]);
         }
         return s;
     }},
    {"scan",
     [](FT_HANDLE dev, PROT_HANDLE p, QZ_RESULT* r) {
         uint8_t present[QZ_I2C_ADDRESS_COUNT] = {};
         uint32_t count = 0;
         return qz_i2cScan(dev, p, present, &count, r);
     }},
};

TEST_F(I2CSoundness, NobodyAnsweringFailsBatchesAndStreams) {
    int n = 0;
    for (unsigned lag : {0u, 1u, 2u}) {
        for (const Operation& op : kOperations) {
            if (std::string(op.name) == "scan") continue;  // finding nobody is a scan's result
            SCOPED_TRACE(std::string(op.name) + " at lag " + std::to_string(lag));
            Descriptor d;
            FT_HANDLE dev = setUp(d, 1, 1, lag, 0x51, "N" + std::to_string(n++));
            QZ_RESULT r{};
            EXPECT_EQ(QZ_NACK, op.run(dev, d.get(), &r));
            EXPECT_NE(0u, r.missingAcks & 1u);  // the address, first of all
        }
    }
}

TEST_F(I2CSoundness, SpecifiedBatchAndStreamGiveMinusOneOnNack) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1, 1, 0x51);
    uint32_t regs[2] = {1, 2}, data[2] = {kUntouched, kUntouched};
    EXPECT_EQ(-1, multiRegRW(dev, d.get(), regs, data, 2, 0));
    EXPECT_EQ(-1, multiRegRW(dev, d.get(), regs, data, 2, 1));
    EXPECT_EQ(-1, multiRegStreamRW(dev, d.get(), 1, data, 2, 0));
    EXPECT_EQ(-1, multiRegStreamRW(dev, d.get(), 1, data, 2, 1));
    EXPECT_EQ(std::vector<uint32_t>(2, kUntouched), std::vector(data, data + 2));
}

TEST_F(I2CSoundness, MissingDataAcknowledgeNamesTheStreamWord) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1);
    chip->setFault(I2CFault::NoDataAck, 2);  // the third data byte since the START
    uint32_t words[4] = {1, 2, 3, 4};
    QZ_RESULT r{};
    EXPECT_EQ(QZ_NACK, qz_multiRegStreamRW(dev, d.get(), 0, words, 4, 1, &r));
    EXPECT_EQ(2u, r.index);
    EXPECT_EQ(1u << (1 + 1 + 2), r.missingAcks);  // address, register byte, data bytes 0, 1, 2
}

// A busy EEPROM: frame 0 misses only its data byte's acknowledge, frame 1 its
// address (the write cycle frame 0 started). The result is frame 0's alone.
TEST_F(I2CSoundness, BatchNackKeepsLaterFramesOutOfTheFirstFramesSet) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1);
    chip->setFault(I2CFault::NoDataAck, 0);
    chip->setEeprom(16, 100000);
    uint32_t regs[2] = {1, 2}, data[2] = {3, 4};
    QZ_RESULT r{};
    EXPECT_EQ(QZ_NACK, qz_multiRegRW(dev, d.get(), regs, data, 2, 1, &r));
    EXPECT_EQ(0u, r.index);
    EXPECT_EQ(1u << 2, r.missingAcks);  // the data byte, after the address and register byte
}

TEST_F(I2CSoundness, LateChipReadsInBatchesAndStreams) {
    int n = 0;
    for (unsigned lag : {0u, 1u, 2u}) {
        SCOPED_TRACE("lag " + std::to_string(lag));
        Descriptor d;
        FT_HANDLE dev = setUp(d, 1, 1, lag, kAddress, "S" + std::to_string(n++));
        chip->setFault(I2CFault::SlowDataValid);
        for (uint32_t r = 0; r < 4; ++r) chip->registers.write(r, 0xA0 + r);
        uint32_t regs[2] = {3, 1}, data[4] = {};
        ASSERT_EQ(0, multiRegRW(dev, d.get(), regs, data, 2, 0));
        EXPECT_EQ(0xA3u, data[0]);
        EXPECT_EQ(0xA1u, data[1]);
        ASSERT_EQ(0, multiRegStreamRW(dev, d.get(), 0, data, 4, 0));
        EXPECT_EQ((std::vector<uint32_t>{0xA0, 0xA1, 0xA2, 0xA3}), std::vector(data, data + 4));
    }
}

TEST_F(I2CSoundness, HeldSdaFailsEveryTransfer) {
    int n = 0;
    for (unsigned lag : {0u, 1u, 2u}) {
        for (const Operation& op : kOperations) {
            SCOPED_TRACE(std::string(op.name) + " at lag " + std::to_string(lag));
            Descriptor d;
            FT_HANDLE dev = setUp(d, 1, 1, lag, kAddress, "H" + std::to_string(n++));
            chip->setFault(I2CFault::HoldSDALow);
            EXPECT_EQ(QZ_BUS_HELD, op.run(dev, d.get(), nullptr));
        }
    }
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1, 1, kAddress, "HS");
    chip->setFault(I2CFault::HoldSDALow);
    uint8_t present[QZ_I2C_ADDRESS_COUNT];
    EXPECT_EQ(-1, readI2C(dev, d.get(), 1));  // not a value of 0
    EXPECT_EQ(-1, writeI2C(dev, d.get(), 1, 2));
    EXPECT_EQ(-1, i2cScan(dev, d.get(), present));  // not "everybody answers"
}

TEST_F(I2CSoundness, HeldSclFailsEveryTransfer) {
    int n = 0;
    for (unsigned lag : {0u, 1u, 2u}) {
        for (const Operation& op : kOperations) {
            SCOPED_TRACE(std::string(op.name) + " at lag " + std::to_string(lag));
            Descriptor d;
            FT_HANDLE dev = setUp(d, 1, 1, lag, kAddress, "C" + std::to_string(n++));
            chip->setFault(I2CFault::HoldSCLLow);
            EXPECT_EQ(QZ_CLOCK_STRETCHED, op.run(dev, d.get(), nullptr));
        }
    }
}

// Another master pulls SDA low for a few samples while this one sends the
// ones of the address 0x7F: seen only on the SDA read pin.
TEST_F(I2CSoundness, ContestedSdaInTheAddressIsReported) {
    FT_HANDLE dev = openDevice(1);
    Descriptor d;
    makeI2C(d, 0, 1, 2, 0x7F, 1, 1);
    std::vector<uint8_t> levels(1 + 3 + 8, 0xFF);  // the mode change settles first
    levels.insert(levels.end(), 8, 0x00);            // two bit slots of the address
    levels.push_back(0xFF);
    device().attach(std::make_shared<qzsim::InputSource>(0x04, levels));
    QZ_RESULT r{};
    EXPECT_EQ(QZ_BUS_HELD, qz_writeI2C(dev, d.get(), 1, 2, &r));
}

// ---- strict timing ----------------------------------------------------------

// A stream obeys strict timing when, from the idle bus on, every SCL-low
// phase lasts two samples or more and SDA (write pin) never changes in a
// sample in which SCL changes.
bool strictRulesHold(const std::vector<uint8_t>& stream, uint8_t scl, uint8_t sda) {
    uint8_t previous = static_cast<uint8_t>(scl | sda);
    unsigned lowRun = 0;
    for (uint8_t sample : stream) {
        const bool sclChanges = ((sample ^ previous) & scl) != 0;
        const bool sdaChanges = ((sample ^ previous) & sda) != 0;
        if (sclChanges && sdaChanges) return false;
        if (sample & scl) {
            if (lowRun == 1) return false;
            lowRun = 0;
        } else {
            ++lowRun;
        }
        previous = sample;
    }
    return true;
}

TEST_F(I2CSoundness, StrictFramesKeepSclLowTwoSamplesAndSdaStillAtClockEdges) {
    FT_HANDLE dev = openDevice(1);
    auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
    bus->addChip(kAddress, 2, 2);
    device().attach(bus);
    Descriptor d;
    makeI2C(d, 0, 1, 2, kAddress, 2, 2);
    for (int32_t strict : {0, 1}) {
        ASSERT_EQ(0, setI2CStrictTiming(d.get(), strict));
        uint32_t regs[2] = {0x0102, 0x0304}, words[3] = {0xFFFF, 0x00FF, 0xFF00};
        const std::function<void()> transfers[] = {
            [&] { EXPECT_EQ(0, writeI2C(dev, d.get(), 0x1234, 0xFFFF)); },
            [&] { EXPECT_GE(readI2C(dev, d.get(), 0x1234), 0); },
            [&] { EXPECT_EQ(0, multiRegRW(dev, d.get(), regs, words, 2, 0)); },
            [&] { EXPECT_EQ(0, multiRegStreamRW(dev, d.get(), 7, words, 3, 1)); },
            [&] { EXPECT_EQ(0, multiRegStreamRW(dev, d.get(), 7, words, 3, 0)); },
        };
        bool allHold = true;
        for (const auto& transfer : transfers) {
            device().clearTrace();
            transfer();
            allHold = allHold && strictRulesHold(written(), 0x01, 0x02);
        }
        EXPECT_EQ(strict == 1, allHold);  // the default waveform breaks them
        EXPECT_TRUE(bus->violations().empty());
    }
}

TEST_F(I2CSoundness, StrictRoundTripsAtEveryLagOnLateAndPromptChips) {
    int n = 0;
    for (unsigned lag : {0u, 1u, 2u}) {
        for (I2CFault fault : {I2CFault::None, I2CFault::SlowDataValid}) {
            SCOPED_TRACE("lag " + std::to_string(lag) + (fault == I2CFault::None ? "" : ", late"));
            Descriptor d;
            FT_HANDLE dev = setUp(d, 1, 2, lag, kAddress, "T" + std::to_string(n++));
            chip->setFault(fault);
            ASSERT_EQ(0, setI2CStrictTiming(d.get(), 1));
            EXPECT_EQ(0, writeI2C(dev, d.get(), 0x10, 0xBEEF));
            EXPECT_EQ(0xBEEF, readI2C(dev, d.get(), 0x10));
            uint32_t regs[2] = {0x10, 0x11}, words[2] = {0x1234, 0x5678};
            EXPECT_EQ(0, multiRegStreamRW(dev, d.get(), 0x11, words, 2, 1));
            words[0] = words[1] = 0;
            EXPECT_EQ(0, multiRegRW(dev, d.get(), regs, words, 2, 0));
            EXPECT_EQ((std::vector<uint32_t>{0xBEEF, 0x1234}), std::vector(words, words + 2));
            EXPECT_EQ(0, multiRegStreamRW(dev, d.get(), 0x11, words, 2, 0));
            EXPECT_EQ((std::vector<uint32_t>{0x1234, 0x5678}), std::vector(words, words + 2));
            EXPECT_TRUE(bus->violations().empty());
        }
    }
}

TEST_F(I2CSoundness, SigrokDecodesStrictFrames) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1, 1);
    chip->registers.write(0x12, 0x5A);
    ASSERT_EQ(0, setI2CStrictTiming(d.get(), 1));
    device().clearTrace();
    ASSERT_EQ(0, writeI2C(dev, d.get(), 0x13, 0xA5));
    ASSERT_EQ(0x5A, readI2C(dev, d.get(), 0x12));
    const auto out = sigrokLines(vcdOf(device(), {"SCL", "", "SDA"}),
                                 "-P i2c:scl=SCL:sda=SDA -A i2c",
                                 {"Start", "Stop", "Address", "Data", "ACK"});
    if (!out) GTEST_SKIP() << "no sigrok-cli";
    std::string expected;
    for (const char* e : {"Start", "Address write: 50", "ACK", "Data write: 13", "ACK",
                          "Data write: A5", "ACK", "Stop", "Start", "Address write: 50", "ACK",
                          "Data write: 12", "ACK", "Start repeat", "Address read: 50", "ACK",
                          "Data read: 5A", "NACK", "Stop"})
        expected += std::string("i2c-1: ") + e + "\n";
    EXPECT_EQ(expected, *out);
}

TEST_F(I2CSoundness, StrictTimingIsAnI2CDescriptorSetting) {
    Descriptor i2c, spi;
    makeI2C(i2c, 0, 1, 2, kAddress, 1, 1);
    makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
    EXPECT_EQ(0, getI2CStrictTiming(i2c.get()));
    EXPECT_EQ(0, setI2CStrictTiming(i2c.get(), 5));
    EXPECT_EQ(1, getI2CStrictTiming(i2c.get()));
    EXPECT_EQ(-1, setI2CStrictTiming(spi.get(), 1));
    EXPECT_EQ(-1, getI2CStrictTiming(spi.get()));
    EXPECT_EQ(-1, getI2CStrictTiming(nullptr));
    // Golden default frames stay as they are; strict ones are longer.
    PROT_DES strict = i2c.des();
    EXPECT_EQ(114u + 1u, qz::i2cStreamLength(strict, qz::WRITE));
    EXPECT_EQ(153u + 3u, qz::i2cStreamLength(strict, qz::READ_NACK));
}

// A chip that reacts one sample late still holds its acknowledge when the
// default waveform raises SCL for the repeated START after one SCL-low
// sample: it sees a STOP and a START. Strict timing gives it the second
// SCL-low sample, at every read-back lag.
TEST_F(I2CSoundness, LateChipSeesStopStartOnlyWithTheDefaultWaveform) {
    int n = 0;
    for (unsigned lag : {0u, 1u, 2u}) {
        for (int32_t strict : {0, 1}) {
            SCOPED_TRACE("lag " + std::to_string(lag) + (strict ? ", strict" : ", default"));
            Descriptor d;
            FT_HANDLE dev = setUp(d, 1, 1, lag, kAddress, "L" + std::to_string(n++));
            chip->setReactionDelay(1);
            chip->registers.write(0x12, 0x5C);
            ASSERT_EQ(0, setI2CStrictTiming(d.get(), strict));
            EXPECT_EQ(0x5C, readI2C(dev, d.get(), 0x12));
            EXPECT_EQ(strict ? 1u : 2u, bus->stops());
        }
    }
}

// A chip that stretches the clock after each byte: the master cannot wait in
// bit-bang mode, so the transfer is reported instead of being taken as done.
TEST_F(I2CSoundness, StretchingChipIsReported) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1);
    chip->setClockStretch(3);
    QZ_RESULT r{};
    EXPECT_EQ(QZ_CLOCK_STRETCHED, qz_writeI2C(dev, d.get(), 0x12, 0x34, &r));
    EXPECT_EQ(-1, readI2C(dev, d.get(), 0x12));
}

// ---- scan ------------------------------------------------------------------

TEST_F(I2CSoundness, ScanFindsEveryChipInOneStream) {
    for (int32_t strict : {0, 1}) {
        for (unsigned lag : {0u, 1u, 2u}) {
            SCOPED_TRACE("lag " + std::to_string(lag) + (strict ? ", strict" : ""));
            const std::string serial = "SC" + std::to_string(lag) + std::to_string(strict);
            Descriptor d;
            FT_HANDLE dev = setUp(d, 1, 1, lag, 0x08, serial);  // the first address probed
            bus->addChip(0x3C, 1, 1);
            bus->addChip(0x77, 2, 2)->setFault(I2CFault::SlowDataValid);  // the last one
            bus->addChip(0x03, 1, 1);  // reserved: not probed
            ASSERT_EQ(0, setI2CStrictTiming(d.get(), strict));
            device(serial).resetCallCounts();
            uint8_t present[QZ_I2C_ADDRESS_COUNT];
            std::fill(std::begin(present), std::end(present), 7);
            ASSERT_EQ(3, i2cScan(dev, d.get(), present));
            for (unsigned a = 0; a < QZ_I2C_ADDRESS_COUNT; ++a)
                EXPECT_EQ(a == 0x08 || a == 0x3C || a == 0x77 ? 1 : 0, present[a]) << a;
            // 112 frames, one stream: played as any long stream is.
            EXPECT_EQ(1u, device(serial).calls(Op::Purge));
            EXPECT_EQ(1u, device(serial).calls(Op::SetBitMode));
            EXPECT_TRUE(bus->violations().empty());
        }
    }
}

TEST_F(I2CSoundness, BusyEepromIsAbsentNotAFailure) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1);
    bus->addChip(0x3C, 1, 1);
    chip->setEeprom(16, 100000);
    ASSERT_EQ(0, writeI2C(dev, d.get(), 0x05, 0xAA));  // starts its write cycle
    uint8_t present[QZ_I2C_ADDRESS_COUNT];
    EXPECT_EQ(1, i2cScan(dev, d.get(), present));
    EXPECT_EQ(0, present[kAddress]);
    EXPECT_EQ(1, present[0x3C]);
}

TEST_F(I2CSoundness, ScanStatusCountsAndRefusesBadArguments) {
    Descriptor d, spi;
    FT_HANDLE dev = setUp(d, 1, 1);
    makeSPI(spi, 4, 5, 6, 7, 8, 8, 1, 0);
    uint8_t present[QZ_I2C_ADDRESS_COUNT];
    uint32_t count = 99;
    QZ_RESULT r{};
    EXPECT_EQ(QZ_OK, qz_i2cScan(dev, d.get(), present, &count, &r));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(QZ_OK, qz_i2cScan(dev, d.get(), present, nullptr, nullptr));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_i2cScan(dev, d.get(), nullptr, &count, nullptr));
    EXPECT_EQ(-1, i2cScan(dev, spi.get(), present));
}

// ---- recovery --------------------------------------------------------------

// Where a read of register 0x12 is cut short: three bits into its data byte
// (the chip goes on driving its 0 bits), or right after the read address's
// eighth bit (the chip is to acknowledge, then send all eight data bits: a
// value of 0x00 holds SDA low through nine clocks).
constexpr std::size_t kIntoDataByte = 3 + 36 + 36 + 3 + 36 + 4 * 3;
constexpr std::size_t kBeforeReadAddressAck = 3 + 36 + 36 + 3 + 4 * 8;

void interruptRead(FT_HANDLE dev, const PROT_DES& i2c, std::size_t samples = kIntoDataByte) {
    auto frame = qz::createI2CByteStream(i2c, 0x12, 0, qz::READ_NACK);
    frame.resize(samples);
    ASSERT_EQ(static_cast<int32_t>(frame.size()),
              writeCustomPattern(dev, 0x03, frame.data(), static_cast<int32_t>(frame.size())));
}

// Wherever the read stopped, whatever bit the chip was driving and whatever
// follows it, recovery frees the bus and the next read succeeds.
TEST_F(I2CSoundness, RecoveryFreesAChipInterruptedMidByte) {
    int n = 0;
    for (unsigned lag : {0u, 1u, 2u}) {
        for (std::size_t cut : {kIntoDataByte, kBeforeReadAddressAck}) {
            for (uint8_t value : {0x00, 0x09, 0x0D, 0x1F, 0xFF}) {
                SCOPED_TRACE("lag " + std::to_string(lag) + ", cut at " + std::to_string(cut) +
                             ", value " + std::to_string(value));
                Descriptor d;
                FT_HANDLE dev = setUp(d, 1, 1, lag, kAddress, "R" + std::to_string(n++));
                chip->registers.write(0x12, value);
                chip->registers.write(0x13, 0x42);
                interruptRead(dev, d.des(), cut);
                EXPECT_EQ(0, i2cRecoverBus(dev, d.get()));
                EXPECT_EQ(0x42, readI2C(dev, d.get(), 0x13));
                EXPECT_EQ(value, readI2C(dev, d.get(), 0x12));  // nothing was written
            }
        }
    }
}

TEST_F(I2CSoundness, InterruptedChipHoldingSdaFailsTheNextTransfer) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1);
    chip->registers.write(0x12, 0x00);
    interruptRead(dev, d.des());
    uint32_t value = 0;
    EXPECT_EQ(QZ_BUS_HELD, qz_readI2C(dev, d.get(), 0x13, &value, nullptr));
}

TEST_F(I2CSoundness, RecoveryReportsLinesThatStayLow) {
    Descriptor d;
    FT_HANDLE dev = setUp(d, 1, 1);
    EXPECT_EQ(0, i2cRecoverBus(dev, d.get()));  // an idle bus needs no clock
    chip->setFault(I2CFault::HoldSDALow);
    EXPECT_EQ(-1, i2cRecoverBus(dev, d.get()));
    EXPECT_EQ(QZ_BUS_HELD, qz_i2cRecoverBus(dev, d.get(), nullptr));
    chip->setFault(I2CFault::HoldSCLLow);
    EXPECT_EQ(QZ_CLOCK_STRETCHED, qz_i2cRecoverBus(dev, d.get(), nullptr));
    device().failNthCall(Op::Write, 1, FT_IO_ERROR);
    QZ_RESULT r{};
    EXPECT_EQ(QZ_UNPLUGGED, qz_i2cRecoverBus(dev, d.get(), &r));
    EXPECT_EQ(uint32_t{FT_IO_ERROR}, r.driverStatus);
}

}  // namespace
