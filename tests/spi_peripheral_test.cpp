// The virtual SPI chip fed with hand-made pin samples: clock pin 0, chip
// select pin 1, data-in pin 2, data-out pin 3, output enable pin 4.
#include "qzsim/spi_peripheral.hpp"

#include <gtest/gtest.h>

using namespace qzsim;
using Kind = SPITransaction::Kind;
using Violation = SPIViolation::Kind;

namespace {

constexpr uint8_t kClk = 0x01, kCS = 0x02, kSDI = 0x04, kSDO = 0x08, kOE = 0x10;

// Pin samples built phase by phase (clock idles low).
struct Wire {
    std::vector<uint8_t> s{kCS, kCS};
    Wire& select() { return push(0); }
    // Each bit: data presented with the clock low, then the clock high.
    Wire& bits(const char* b, uint8_t extra = 0) {
        for (; *b; ++b) {
            const uint8_t v = static_cast<uint8_t>((*b == '1' ? kSDI : 0) | extra);
            push(v).push(v | kClk);
        }
        return *this;
    }
    Wire& release() { return push(0).push(kCS); }
    Wire& push(uint8_t v) {
        s.push_back(v);
        return *this;
    }
};

std::vector<PinDrive> play(SPIPeripheral& chip, const Wire& w) {
    std::vector<PinDrive> drives;
    for (uint8_t v : w.s) drives.push_back(chip.onSample(v));
    return drives;
}

std::vector<Violation> kinds(const SPIPeripheral& chip) {
    std::vector<Violation> out;
    for (const auto& v : chip.violations()) out.push_back(v.kind);
    return out;
}

using Log = std::vector<SPITransaction>;

SPIWiring wiring(bool rwBit, std::optional<uint8_t> oe = std::nullopt) {
    return {0, 1, 2, 3, 4, 4, rwBit, true, oe, true};
}

}  // namespace

TEST(SPIPeripheral, WriteLatchesEachStreamWordAtTheNextAddress) {
    SPIPeripheral chip(wiring(true));
    play(chip, Wire{}.select().bits("0").bits("1111").bits("0110").bits("1001").release());
    EXPECT_EQ(chip.log(), (Log{{Kind::Write, 15, {6, 9}, {}}}));
    EXPECT_EQ(chip.registers.read(15), 6u);
    EXPECT_EQ(chip.registers.read(0), 9u);  // the address wraps at four bits
    EXPECT_TRUE(chip.violations().empty());
}

TEST(SPIPeripheral, ReadDrivesEachBitBeforeItsActiveEdgeAndReleasesWhenDeselected) {
    SPIPeripheral chip(wiring(true));
    chip.registers.write(3, 0b1001);
    const auto drives = play(chip, Wire{}.select().bits("1").bits("0011").bits("0000").release());
    EXPECT_EQ(drives.front().mask, 0);
    EXPECT_EQ(drives.back().mask, 0);
    const int expected[] = {1, 0, 0, 1};
    for (int k = 0; k < 4; ++k) {
        const PinDrive& atEdge = drives[3 + 2 * 5 + 2 * k + 1];
        EXPECT_EQ(atEdge.mask, kSDO);
        EXPECT_EQ((atEdge.level & kSDO) != 0, expected[k] == 1) << "bit " << k;
    }
    EXPECT_EQ(chip.log(), (Log{{Kind::Read, 3, {0}, {9}}}));
}

TEST(SPIPeripheral, ProtocolViolationsAreLogged) {
    SPIPeripheral chip(wiring(true));
    play(chip, Wire{}.select().bits("0").bits("0001").bits("01").release());  // cut mid-word
    play(chip, Wire{}.push(kCS | kClk).push(kCS));  // clock up and down while deselected
    play(chip, Wire{}.select().push(kSDI | kClk));  // data moves with the edge
    using enum Violation;
    EXPECT_EQ(kinds(chip), (std::vector<Violation>{ChipSelectRoseMidWord, ClockWhileDeselected,
                                                   ClockWhileDeselected, DataInChangedAtEdge}));
    EXPECT_EQ(chip.registers.read(1), 0u);  // the partial word is dropped
}

TEST(SPIPeripheral, OutputEnableDecidesDirectionAndGatesDataOut) {
    SPIPeripheral chip(wiring(false, 4));
    chip.registers.write(5, 0xF);
    const auto drives =
        play(chip, Wire{}.select().bits("0101").bits("11", kOE).bits("11").release());
    EXPECT_EQ(drives[3 + 8 + 1].mask, kSDO);  // asserted: driven
    EXPECT_EQ(drives[3 + 8 + 5].mask, 0);     // not asserted: released
    EXPECT_EQ(chip.log(), (Log{{Kind::Read, 5, {0xF}, {0xF}}}));
    EXPECT_EQ(kinds(chip), std::vector<Violation>(2, Violation::OutputEnableMismatch));
}

TEST(SPIPeripheral, LogsStayBounded) {
    SPIPeripheral chip(wiring(true));
    chip.setLogLimit(3);
    for (const char* address : {"0001", "0010", "0011", "0100", "0101"})
        play(chip, Wire{}.select().bits("0").bits(address).bits("1010").release());
    play(chip, Wire{}.push(kCS | kClk).push(kCS));  // two violations
    const Log log = chip.log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log.front().address, 3u);  // the most recent three, oldest first
    EXPECT_EQ(log.back().address, 5u);
    EXPECT_EQ(chip.logCount(), 5u);
    EXPECT_EQ(chip.violationCount(), 2u);
    chip.clearLog();
    EXPECT_TRUE(chip.log().empty());
    EXPECT_EQ(chip.logCount(), 0u);
    EXPECT_EQ(chip.violationCount(), 0u);
}
