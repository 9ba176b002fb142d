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
struct PinScript {
    std::vector<uint8_t> s{kCS, kCS};
    PinScript& select() { return push(0); }
    // Each bit: data presented with the clock low, then the clock high.
    PinScript& bits(const char* b, uint8_t extra = 0) {
        for (; *b; ++b) {
            const uint8_t v = static_cast<uint8_t>((*b == '1' ? kSDI : 0) | extra);
            push(v).push(v | kClk);
        }
        return *this;
    }
    PinScript& release() { return push(0).push(kCS); }
    PinScript& push(uint8_t v) {
        s.push_back(v);
        return *this;
    }
};

std::vector<PinDrive> play(SPIPeripheral& chip, const PinScript& w) {
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

// Pin samples of one frame in any SPI mode: two deselected samples, the
// select sample, two samples per bit (the second holds the sampling edge),
// the clock back at idle (modes 0 and 2), deselected.
struct ModeWire {
    uint8_t mode = 0;
    bool csHigh = false;
    std::vector<uint8_t> s;
    ModeWire(uint8_t m, bool high) : mode(m), csHigh(high) {
        s = {desel(), desel(), sel()};
    }
    uint8_t idle() const { return (mode & 2) ? kClk : 0; }
    uint8_t desel() const { return static_cast<uint8_t>((csHigh ? 0 : kCS) | idle()); }
    uint8_t sel() const { return static_cast<uint8_t>((csHigh ? kCS : 0) | idle()); }
    ModeWire& field(uint32_t value, uint32_t bits, bool lsbFirst = false) {
        for (uint32_t k = 0; k < bits; ++k) {
            const uint32_t index = lsbFirst ? k : bits - 1 - k;
            const uint8_t d = static_cast<uint8_t>(sel() | (((value >> index) & 1u) ? kSDI : 0));
            const uint8_t active = static_cast<uint8_t>(d ^ kClk);
            if (mode & 1) s.insert(s.end(), {active, d});
            else s.insert(s.end(), {d, active});
        }
        return *this;
    }
    std::vector<uint8_t> end() const {
        std::vector<uint8_t> out = s;
        if (!(mode & 1)) out.push_back(sel());
        out.push_back(desel());
        return out;
    }
};

// The data-out level in the sample of each sampling edge from bit `first`
// on, moved by `offset` samples: a sampler as the library's, or one off by one.
uint32_t sampled(const std::vector<PinDrive>& drives, uint32_t first, uint32_t bits, int offset,
                 bool lsbFirst = false) {
    uint32_t word = 0;
    for (uint32_t k = 0; k < bits; ++k) {
        const auto at = static_cast<std::size_t>(static_cast<int>(4 + 2 * (first + k)) + offset);
        const bool one = (drives.at(at).level & kSDO) != 0 || drives.at(at).mask == 0;
        word |= (one ? 1u : 0u) << (lsbFirst ? k : bits - 1 - k);
    }
    return word;
}

std::vector<PinDrive> playFrame(Peripheral& chip, const std::vector<uint8_t>& samples) {
    std::vector<PinDrive> drives;
    for (uint8_t v : samples) drives.push_back(chip.onSample(v));
    return drives;
}

// Bytes out (then `readBytes` zeros) in one frame of a mode-0 chip; the
// bytes read back during the zeros.
std::vector<uint8_t> flashFrame(SPIFlash& flash, std::vector<uint8_t> out, uint32_t readBytes) {
    ModeWire w(0, false);
    for (uint8_t b : out) w.field(b, 8);
    w.field(0, 8 * readBytes);
    const auto drives = playFrame(flash, w.end());
    std::vector<uint8_t> in;
    for (uint32_t i = 0; i < readBytes; ++i)
        in.push_back(static_cast<uint8_t>(
            sampled(drives, 8 * static_cast<uint32_t>(out.size() + i), 8, 0)));
    return in;
}

// Idle samples: the flash's write cycle runs on.
void idle(SPIFlash& flash, int samples) {
    for (int i = 0; i < samples; ++i) flash.onSample(kCS);
}

}  // namespace

TEST(SPIPeripheral, WriteLatchesEachStreamWordAtTheNextAddress) {
    SPIPeripheral chip(wiring(true));
    play(chip, PinScript{}.select().bits("0").bits("1111").bits("0110").bits("1001").release());
    EXPECT_EQ(chip.log(), (Log{{Kind::Write, 15, {6, 9}, {}}}));
    EXPECT_EQ(chip.registers.read(15), 6u);
    EXPECT_EQ(chip.registers.read(0), 9u);  // the address wraps at four bits
    EXPECT_TRUE(chip.violations().empty());
}

TEST(SPIPeripheral, ReadDrivesEachBitBeforeItsActiveEdgeAndReleasesWhenDeselected) {
    SPIPeripheral chip(wiring(true));
    chip.registers.write(3, 0b1001);
    const auto drives = play(chip, PinScript{}.select().bits("1").bits("0011").bits("0000").release());
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
    play(chip, PinScript{}.select().bits("0").bits("0001").bits("01").release());  // cut mid-word
    play(chip, PinScript{}.push(kCS | kClk).push(kCS));  // clock up and down while deselected
    play(chip, PinScript{}.select().push(kSDI | kClk));  // data moves with the edge
    using enum Violation;
    EXPECT_EQ(kinds(chip), (std::vector<Violation>{ChipSelectRoseMidWord, ClockWhileDeselected,
                                                   ClockWhileDeselected, DataInChangedAtEdge}));
    EXPECT_EQ(chip.registers.read(1), 0u);  // the partial word is dropped
}

TEST(SPIPeripheral, OutputEnableDecidesDirectionAndGatesDataOut) {
    SPIPeripheral chip(wiring(false, 4));
    chip.registers.write(5, 0xF);
    const auto drives =
        play(chip, PinScript{}.select().bits("0101").bits("11", kOE).bits("11").release());
    EXPECT_EQ(drives[3 + 8 + 1].mask, kSDO);  // asserted: driven
    EXPECT_EQ(drives[3 + 8 + 5].mask, 0);     // not asserted: released
    EXPECT_EQ(chip.log(), (Log{{Kind::Read, 5, {0xF}, {0xF}}}));
    EXPECT_EQ(kinds(chip), std::vector<Violation>(2, Violation::OutputEnableMismatch));
}

TEST(SPIPeripheral, LogsStayBounded) {
    SPIPeripheral chip(wiring(true));
    chip.setLogLimit(3);
    for (const char* address : {"0001", "0010", "0011", "0100", "0101"})
        play(chip, PinScript{}.select().bits("0").bits(address).bits("1010").release());
    play(chip, PinScript{}.push(kCS | kClk).push(kCS));  // two violations
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

// A sampler one sample early reads the previous bit (the new one reaches the
// line only after the shifting edge's sample); with data valid only in the
// sampling edge's sample, one sample late reads noise too.
struct SamplerCase {
    SPIDataValid valid;
    int offset;
    bool readsRight;
};

class SPISamplingPoint : public testing::TestWithParam<SamplerCase> {};

TEST_P(SPISamplingPoint, OffByOneSamplerReadsWrong) {
    const SamplerCase c = GetParam();
    SPIWiring w{0, 1, 2, 3, 4, 8, true, true, std::nullopt, true};
    w.dataValid = c.valid;
    SPIPeripheral chip(w);
    chip.registers.write(3, 0xA6);
    const auto drives = playFrame(chip, ModeWire(0, false).field(1, 1).field(3, 4).field(0, 8).end());
    EXPECT_EQ(sampled(drives, 5, 8, c.offset) == 0xA6, c.readsRight) << sampled(drives, 5, 8, c.offset);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SPISamplingPoint,
    testing::Values(SamplerCase{SPIDataValid::ShiftToShift, 0, true},
                    SamplerCase{SPIDataValid::ShiftToShift, -1, false},
                    SamplerCase{SPIDataValid::ShiftToShift, 1, true},
                    SamplerCase{SPIDataValid::SamplingSampleOnly, 0, true},
                    SamplerCase{SPIDataValid::SamplingSampleOnly, -1, false},
                    SamplerCase{SPIDataValid::SamplingSampleOnly, 1, false}));

// Every mode, chip-select polarity and bit order: a write lands, a read
// returns it at the sampling edges, nothing is a violation.
struct ModeCase {
    uint8_t mode;
    bool csHigh;
    bool lsbFirst;
};

class SPIModes : public testing::TestWithParam<ModeCase> {};

TEST_P(SPIModes, WriteThenReadRoundTrips) {
    const ModeCase c = GetParam();
    SPIPeripheral chip({0, 1, 2, 3, 4, 8, true, true, std::nullopt, true});
    chip.setMode(c.mode, c.csHigh, c.lsbFirst);
    chip.setDataValid(SPIDataValid::SamplingSampleOnly);
    playFrame(chip, ModeWire(c.mode, c.csHigh).field(0, 1).field(0xC, 4, c.lsbFirst)
                        .field(0xA5, 8, c.lsbFirst).end());
    EXPECT_EQ(chip.registers.read(0xC), 0xA5u);
    const auto drives = playFrame(chip, ModeWire(c.mode, c.csHigh).field(1, 1)
                                            .field(0xC, 4, c.lsbFirst).field(0, 8).end());
    EXPECT_EQ(sampled(drives, 5, 8, 0, c.lsbFirst), 0xA5u);
    EXPECT_TRUE(chip.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Table, SPIModes,
                         testing::Values(ModeCase{0, false, false}, ModeCase{1, false, false},
                                         ModeCase{2, true, false}, ModeCase{3, false, true},
                                         ModeCase{1, true, true}));

TEST(SPIFlash, IdProgramReadAndEraseRoundTrip) {
    SPIFlash flash(SPIWiring{}, 1u << 20, 0xEF4014);
    flash.setBusySamples(50, 80);
    EXPECT_EQ(flashFrame(flash, {0x9F}, 4), (std::vector<uint8_t>{0xEF, 0x40, 0x14, 0xEF}));
    flashFrame(flash, {0x06}, 0);
    EXPECT_EQ(flashFrame(flash, {0x05}, 1), std::vector<uint8_t>{0x02});  // write enabled
    // Page program wraps within its page: 0x1FE, 0x1FF, then 0x100.
    flashFrame(flash, {0x02, 0x00, 0x01, 0xFE, 0x11, 0x22, 0x33}, 0);
    EXPECT_EQ(flashFrame(flash, {0x05}, 1), std::vector<uint8_t>{0x03});  // busy
    idle(flash, 50);
    EXPECT_EQ(flashFrame(flash, {0x05}, 1), std::vector<uint8_t>{0x00});
    EXPECT_EQ(flashFrame(flash, {0x03, 0x00, 0x01, 0xFE}, 3),
              (std::vector<uint8_t>{0x11, 0x22, 0xFF}));
    EXPECT_EQ(flashFrame(flash, {0x0B, 0x00, 0x01, 0x00, 0x00}, 1), std::vector<uint8_t>{0x33});
    flashFrame(flash, {0x06}, 0);
    flashFrame(flash, {0x20, 0x00, 0x01, 0x23}, 0);
    idle(flash, 80);
    EXPECT_EQ(flashFrame(flash, {0x03, 0x00, 0x01, 0xFE}, 3),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(flash.violations().empty());
}

TEST(SPIFlash, BusyFlashAnswersOnlyStatus) {
    SPIFlash flash(SPIWiring{}, 1u << 16, 0xEF4010);
    flash.setBusySamples(10000, 10000);
    flash.registers.write(0, 0x5A);
    flashFrame(flash, {0x06}, 0);
    flashFrame(flash, {0x20, 0x00, 0x00, 0x00}, 0);
    EXPECT_EQ(flashFrame(flash, {0x03, 0x00, 0x00, 0x00}, 1), std::vector<uint8_t>{0xFF});
    EXPECT_EQ(flashFrame(flash, {0x9F}, 1), std::vector<uint8_t>{0xFF});
    EXPECT_EQ(flashFrame(flash, {0x05}, 2), (std::vector<uint8_t>{0x03, 0x03}));
}

TEST(SPIFlash, ProgramNeedsWriteEnableAndOnlyClearsBits) {
    SPIFlash flash(SPIWiring{}, 1u << 16, 0xEF4010);
    flash.setBusySamples(1, 1);
    flashFrame(flash, {0x02, 0x00, 0x00, 0x00, 0x00}, 0);  // no write enable
    EXPECT_EQ(flash.registers.read(0), 0xFFu);
    flashFrame(flash, {0x06}, 0);
    flashFrame(flash, {0x02, 0x00, 0x00, 0x00, 0xF0}, 0);
    idle(flash, 1);
    flashFrame(flash, {0x06}, 0);
    flashFrame(flash, {0x02, 0x00, 0x00, 0x00, 0x3C}, 0);
    EXPECT_EQ(flash.registers.read(0), 0x30u);  // 0xF0 & 0x3C
}
