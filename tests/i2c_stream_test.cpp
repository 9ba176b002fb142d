// The I2C generator, byte for byte: the worked write frame and its read
// variant, and the frame-shape corner cases.
#include "i2c.h"
#include "sim_fixture.hpp"

#include <sstream>

namespace {

using qz::ByteStream;

// Bytes written as hex, separated by blanks.
ByteStream hex(const std::string& text) {
    ByteStream out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    return out;
}

std::string repeat(const std::string& slot, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += slot;
    return out;
}

// SCL on pin 0, SDA on pin 1, output enable on pin 3 (high while asserted).
PROT_DES workedExample(uint8_t bytesPerAddr = 1, uint8_t bytesPerReg = 1) {
    PROT_DES d{};
    d.SCLnum = 0;
    d.SDAnumW = 1;
    d.SDAnumR = 2;
    d.addr = 0x50;
    d.bytesPerAddr = bytesPerAddr;
    d.bytesPerReg = bytesPerReg;
    d.OEnum = 3;
    d.OE_EN = 1;
    d.OE_pol = 1;
    return d;
}

const std::string kStart = "03 01 01 ";
const std::string kZero = "00 01 01 00 ";
const std::string kOne = "02 03 03 02 ";
const std::string kReleased = "0A 0B 0B 0A ";
const std::string kStop = "00 01 03 ";
// Address 0x50 = 1010000, the read/write bit and the released acknowledge.
std::string addressPass(bool read) {
    return kOne + kZero + kOne + repeat(kZero, 4) + (read ? kOne : kZero) + kReleased;
}

TEST(I2CStream, WorkedWriteFrameMatchesByteForByte) {
    const ByteStream expected =
        hex(kStart + addressPass(false) +
            // register 0x12 = 00010010, acknowledge
            repeat(kZero, 3) + kOne + repeat(kZero, 2) + kOne + kZero + kReleased +
            // data 0xA5 = 10100101, each 1 released; acknowledge; STOP
            kReleased + kZero + kReleased + repeat(kZero, 2) + kReleased + kZero + kReleased +
            kReleased + kStop);
    ASSERT_EQ(114u, expected.size());
    EXPECT_EQ(expected, qz::createI2CByteStream(workedExample(), 0x12, 0xA5, qz::WRITE));
    EXPECT_EQ(114u, qz::i2cStreamLength(workedExample(), qz::WRITE));
}

TEST(I2CStream, WorkedReadFrameReleasesRegisterOnesAndNacksLastByte) {
    const ByteStream expected =
        hex(kStart + addressPass(false) + repeat(kZero, 3) + kReleased + repeat(kZero, 2) +
            kReleased + kZero + kReleased + kStart + addressPass(true) + repeat(kReleased, 9) +
            kStop);
    ASSERT_EQ(153u, expected.size());
    // Read frames ignore the data word.
    EXPECT_EQ(expected, qz::createI2CByteStream(workedExample(), 0x12, 0xA5, qz::READ_NACK));
    EXPECT_EQ(expected, qz::createI2CByteStream(workedExample(), 0x12, 0, qz::READ_NACK));
}

TEST(I2CStream, LengthsFollowTheFrameLayout) {
    struct Case {
        uint8_t a, b;
        qz::sequenceMode mode;
        uint32_t events;
    } const cases[] = {
        {0, 1, qz::WRITE, 78},      {1, 0, qz::WRITE, 78},
        {0, 1, qz::READ_NACK, 117}, {1, 0, qz::READ_ACK, 117},
        {1, 2, qz::READ_NACK, 189}, {4, 4, qz::WRITE, 330},
        {1, 0, qz::WRITE_STREAM_WORD, 0}, {1, 3, qz::READ_STREAM_WORD_NACK, 108},
        {2, 2, static_cast<qz::sequenceMode>(9), 72},
    };
    for (const auto& c : cases) {
        const PROT_DES d = workedExample(c.a, c.b);
        EXPECT_EQ(c.events, qz::i2cStreamLength(d, c.mode)) << int(c.a) << "," << int(c.b);
        EXPECT_EQ(c.events, qz::createI2CByteStream(d, 0xFFFFFFFF, 0xFFFFFFFF, c.mode).size());
    }
}

TEST(I2CStream, BitsBeyondTheFrameWidthsNeverAppear) {
    const PROT_DES d = workedExample();
    const ByteStream frame = qz::createI2CByteStream(d, 0x12, 0xA5, qz::WRITE);
    PROT_DES high = d;
    high.addr = 0xD0;  // bit 7 is not sent
    EXPECT_EQ(frame, qz::createI2CByteStream(high, 0xFFFF0012, 0x123400A5, qz::WRITE));
    // Stream words carry no register address.
    EXPECT_EQ(qz::createI2CByteStream(d, 1, 0x3C, qz::WRITE_STREAM_WORD),
              qz::createI2CByteStream(d, 2, 0x3C, qz::WRITE_STREAM_WORD));
}

TEST(I2CStream, SlotsLieWhereTheLayoutPutsThem) {
    struct Case {
        const char* what;
        uint8_t a, b;
        qz::sequenceMode mode;
        long at;  // negative: from the end
        std::string bytes;
    } const cases[] = {
        {"no register bytes: data right after the address acknowledge", 0, 1, qz::WRITE, 35,
         kReleased + kReleased},
        {"no register bytes: repeated START right after the address", 0, 1, qz::READ_NACK, 39,
         kStart},
        {"master acknowledges the first of two bytes", 1, 2, qz::READ_NACK, 146, kZero},
        {"but not the last", 1, 2, qz::READ_NACK, 182, kReleased},
        {"STOP closes every full frame", 1, 2, qz::READ_NACK, -3, kStop},
        {"acknowledged word ends with SDA set while SCL is low", 1, 1, qz::READ_STREAM_WORD_ACK,
         -4, "00 01 01 02"},
        {"modes above 5 act as READ_STREAM_WORD_ACK", 1, 1, static_cast<qz::sequenceMode>(6), -4,
         "00 01 01 02"},
        {"not-acknowledged word ends released", 1, 1, qz::READ_STREAM_WORD_NACK, -4, kReleased},
    };
    for (const auto& c : cases) {
        // Data 0x80: a released first bit; read modes ignore it.
        const ByteStream s = qz::createI2CByteStream(workedExample(c.a, c.b), 0x12, 0x80, c.mode);
        const ByteStream expected = hex(c.bytes);
        const long from = c.at >= 0 ? c.at : static_cast<long>(s.size()) + c.at;
        const long to = from + static_cast<long>(expected.size());
        ASSERT_LE(to, static_cast<long>(s.size())) << c.what;
        EXPECT_EQ(expected, ByteStream(s.begin() + from, s.begin() + to)) << c.what;
    }
}

TEST(I2CStream, OutputEnableIdleLevelFollowsPolarity) {
    PROT_DES d = workedExample();
    const ByteStream assertedHigh = qz::createI2CByteStream(d, 0x12, 0xA5, qz::WRITE);
    d.OE_pol = 0;  // idles high, low while asserted: every OE bit flips
    ByteStream flipped = assertedHigh;
    for (auto& b : flipped) b ^= 0x08;
    EXPECT_EQ(flipped, qz::createI2CByteStream(d, 0x12, 0xA5, qz::WRITE));
    d.OE_EN = 2;  // only 1 switches the output enable on
    for (uint8_t b : qz::createI2CByteStream(d, 0x12, 0xA5, qz::WRITE)) EXPECT_EQ(0, b & 0x08);
}

}  // namespace
