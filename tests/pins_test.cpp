// Direct pin patterns: the four single-pin shapes, the caller's own samples,
// and the argument and driver failures that must end them early.
#include "sim_fixture.hpp"

#include <functional>

using qzsim::Op;

namespace {

class PinsTest : public SimBench {
protected:
    uint64_t driverCalls() {
        uint64_t total = 0;
        for (unsigned op = 0; op < qzsim::kOpCount; ++op) total += device().calls(static_cast<Op>(op));
        return total;
    }
};

// 10 samples at `before`, 20 at `during`, 10 at `after`.
std::vector<uint8_t> shape(uint8_t before, uint8_t during, uint8_t after) {
    std::vector<uint8_t> samples(10, before);
    samples.insert(samples.end(), 20, during);
    samples.insert(samples.end(), 10, after);
    return samples;
}

}  // namespace

TEST_F(PinsTest, ToggleSingleBitPlaysTheFourShapes) {
    FT_HANDLE dev = openDevice();
    struct Case {
        uint8_t bitNum;
        int32_t toggleLow, singleEdge;
        std::vector<uint8_t> samples;
    };
    const Case cases[] = {
        {0, 0, 1, shape(0x00, 0x01, 0x01)},  // rising edge, left high
        {0, 0, 0, shape(0x00, 0x01, 0x00)},  // high pulse
        {7, 1, 0, shape(0x80, 0x00, 0x80)},  // low pulse
        {7, 1, 1, shape(0x80, 0x00, 0x00)},  // falling edge, left low
        {3, 0, 2, shape(0x00, 0x08, 0x00)},  // only 1 selects the single edge
        {5, 2, 1, shape(0x20, 0x00, 0x00)},  // any non-zero value inverts
    };
    for (const Case& c : cases) {
        device().clearTrace();
        EXPECT_EQ(0, toggleSingleBit(dev, c.bitNum, c.toggleLow, c.singleEdge));
        EXPECT_EQ(1u << c.bitNum, device().directionMask()) << int{c.bitNum};
        EXPECT_EQ(c.samples, written()) << int{c.bitNum} << " " << c.toggleLow << " " << c.singleEdge;
    }
}

TEST_F(PinsTest, BadArgumentsMakeNoDriverCall) {
    FT_HANDLE dev = openDevice();
    device().resetCallCounts();
    const uint8_t pattern[3] = {1, 2, 3};
    EXPECT_EQ(-1, toggleSingleBit(dev, 8, 0, 1));
    EXPECT_EQ(-1, writeCustomPattern(dev, 0xFF, pattern, -1));
    EXPECT_EQ(-1, writeCustomPattern(dev, 0xFF, nullptr, 3));
    EXPECT_EQ(-1, writeCustomPattern(dev, 0xFF, nullptr, 0));
    EXPECT_EQ(0u, driverCalls());
}

TEST_F(PinsTest, CustomPatternReturnsTheCountTheDriverTook) {
    FT_HANDLE dev = openDevice();
    const uint8_t pattern[5] = {0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(0, writeCustomPattern(dev, 0x0F, pattern, 0));
    EXPECT_EQ(0x0F, device().directionMask());
    EXPECT_EQ(1u, device().calls(Op::Write));
    EXPECT_TRUE(written().empty());

    EXPECT_EQ(5, writeCustomPattern(dev, 0xF0, pattern, 5));
    EXPECT_EQ(std::vector<uint8_t>(pattern, pattern + 5), written());  // input bits sent unchanged

    device().setShortWrite(3);
    EXPECT_EQ(3, writeCustomPattern(dev, 0xFF, pattern, 5));
}

TEST_F(PinsTest, DriverFailuresGiveMinusOne) {
    FT_HANDLE dev = openDevice();
    const uint8_t pattern[2] = {1, 0};
    const std::pair<const char*, std::function<int32_t()>> calls[] = {
        {"toggleSingleBit", [&] { return toggleSingleBit(dev, 2, 0, 1); }},
        {"writeCustomPattern", [&] { return writeCustomPattern(dev, 0x01, pattern, 2); }},
    };
    for (const auto& [name, call] : calls) {
        for (const Op op : {Op::SetBitMode, Op::Write}) {
            device().clearTrace();
            device().failNthCall(op, 1, FT_IO_ERROR);
            EXPECT_EQ(-1, call()) << name << " " << qzsim::opName(op);
            EXPECT_TRUE(written().empty()) << name << " " << qzsim::opName(op);
        }
    }
}

// A pattern longer than one write is played whole, in order, without ever
// leaving more read-back unread than the smallest driver buffer holds.
TEST_F(PinsTest, LongCustomPatternIsPlayedWholeInChunks) {
    FT_HANDLE dev = openDevice();
    std::vector<uint8_t> pattern(20000);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    EXPECT_EQ(20000, writeCustomPattern(dev, 0xFF, pattern.data(), 20000));
    EXPECT_EQ(pattern, written());
    EXPECT_GT(device().calls(Op::Write), 1u);
    EXPECT_EQ(0u, device().queuedReadback());  // drained to the end: every sample was clocked
    device().clearTrace();
    device().setShortWrite(700);  // the driver takes part of the first chunk only
    EXPECT_EQ(700, writeCustomPattern(dev, 0xFF, pattern.data(), 20000));
}
