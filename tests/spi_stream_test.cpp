#include "spi.h"
#include "sim_fixture.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

PROT_DES spiDes(uint8_t addrBits, uint8_t dataBits, int32_t posedge = 1, int32_t rw = 0) {
    Descriptor d;
    return makeSPI(d, 0, 1, 2, 3, addrBits, dataBits, posedge, rw)->des();
}

PROT_DES withOE(PROT_DES d, uint8_t pin, int32_t pol) {
    d.OE_EN = 1;
    d.OEnum = pin;
    d.OE_pol = pol;
    return d;
}

Bytes stream(const PROT_DES& d, uint32_t addr, uint32_t data, qz::sequenceMode mode) {
    Bytes s = qz::createSPIByteStream(d, addr, data, mode);
    EXPECT_EQ(s.size(), qz::spiStreamLength(d, mode));
    return s;
}

Bytes flipped(Bytes s, uint8_t mask) {
    for (auto& b : s) b ^= mask;
    return s;
}

const Bytes kWriteExample = {0x02, 0x02, 0x00, 0x04, 0x05, 0x00, 0x01,
                             0x00, 0x01, 0x04, 0x05, 0x00, 0x02, 0x02};
const Bytes kReadExample = {0x02, 0x02, 0x00, 0x04, 0x05, 0x04, 0x05, 0x00,
                            0x01, 0x10, 0x11, 0x10, 0x11, 0x00, 0x02, 0x02};

}  // namespace

TEST(SPIStream, WorkedExamplesByteForByte) {
    EXPECT_EQ(stream(spiDes(2, 2), 2, 1, qz::WRITE), kWriteExample);
    EXPECT_EQ(stream(withOE(spiDes(2, 2, 1, 1), 4, 1), 2, 0, qz::READ_ACK), kReadExample);
    EXPECT_EQ(stream(spiDes(2, 2), 2, 1, qz::WRITE_STREAM_WORD), (Bytes{0x00, 0x01, 0x04, 0x05}));
}

TEST(SPIStream, PolaritiesInvertOnlyTheirOwnPin) {
    const PROT_DES idleHigh = spiDes(2, 2, 0);
    const PROT_DES idleHighRead = withOE(spiDes(2, 2, 0, 1), 4, 1);
    const PROT_DES lowEnable = withOE(spiDes(2, 2, 1, 1), 4, 0);
    EXPECT_EQ(stream(idleHigh, 2, 1, qz::WRITE), flipped(kWriteExample, 0x01));
    EXPECT_EQ(stream(idleHighRead, 2, 0, qz::READ_ACK), flipped(kReadExample, 0x01));
    EXPECT_EQ(stream(lowEnable, 2, 0, qz::READ_ACK), flipped(kReadExample, 0x10));
    EXPECT_EQ(stream(idleHigh, 0, 1, qz::WRITE_STREAM_WORD), (Bytes{0x01, 0x00, 0x05, 0x04}));
}

TEST(SPIStream, LengthsOfEdgeDescriptors) {
    EXPECT_EQ(stream(spiDes(0, 4), 0, 0, qz::WRITE).size(), 14u);        // no address phase
    EXPECT_EQ(stream(spiDes(3, 0, 1, 1), 5, 0, qz::WRITE).size(), 14u);  // no data phase
    EXPECT_TRUE(stream(spiDes(3, 0), 0, 0, qz::WRITE_STREAM_WORD).empty());
    EXPECT_EQ(stream(spiDes(32, 32, 1, 1), ~0u, ~0u, qz::READ_ACK).size(), 136u);
}

TEST(SPIStream, ClockPulsesOnlyAtEvenEventsFourToEMinusFour) {
    const Bytes s = stream(spiDes(8, 8), 0xFF, 0xFF, qz::WRITE);
    ASSERT_EQ(s.size(), 38u);
    for (std::size_t i = 0; i < s.size(); ++i)
        EXPECT_EQ(s[i] & 0x01, (i >= 4 && i <= 34 && i % 2 == 0) ? 1 : 0) << "event " << i;
}

// RWbit other than 1 adds no bit; READ_NACK is READ_ACK; bits above the widths
// and the data of a read frame change nothing; the data-out pin is never driven.
TEST(SPIStream, NothingButTheLowBitsReachTheFrame) {
    const PROT_DES d = spiDes(4, 5);
    PROT_DES rwTwo = d;  // the constructor refuses it now; the generator still copes
    rwTwo.RWbit = 2;
    EXPECT_EQ(stream(rwTwo, 9, 17, qz::WRITE), stream(d, 9, 17, qz::WRITE));
    EXPECT_EQ(stream(d, 9, 0xFFFF, qz::READ_NACK), stream(d, 9, 0, qz::READ_ACK));
    EXPECT_EQ(stream(d, 0xFFF9, 0xFFE0 | 17, qz::WRITE), stream(d, 9, 17, qz::WRITE));
    for (uint8_t b : stream(d, ~0u, ~0u, qz::WRITE)) EXPECT_EQ(b & 0x08, 0);
}

TEST(SPIStream, OutputEnableOnlyWhereAsked) {
    PROT_DES off = withOE(spiDes(2, 3), 5, 0);
    off.OE_EN = 0;  // pin and polarity set, but not in use
    for (uint8_t b : stream(off, 3, 0, qz::READ_ACK)) EXPECT_EQ(b & 0x20, 0);
    const PROT_DES on = withOE(spiDes(2, 3), 5, 1);
    for (uint8_t b : stream(on, 0, 0, qz::READ_STREAM_WORD_ACK)) EXPECT_EQ(b & 0x20, 0x20);
    const Bytes clocksOnly = stream(off, 0, 0, qz::READ_STREAM_WORD_ACK);
    EXPECT_EQ(stream(on, 0, 0, qz::READ_STREAM_WORD_NACK), clocksOnly);
    EXPECT_EQ(stream(on, 0, 0, qz::sequenceMode{9}), clocksOnly);
}
