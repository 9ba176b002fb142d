// Waveform export: a VCD of a device's wire reads back to the same levels,
// and sigrok's independent I2C decoder finds the bytes of a hand-built bus
// sequence in it.
#include "sim_fixture.hpp"
#include "qzsim/qzsim.h"
#include "qzsim/vcd.hpp"
#include "sigrok.hpp"

#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace {

class VcdTest : public SimBench {};

// The levels of each microsecond, rebuilt from a VCD; `changes` counts the
// value-change lines after the initial values.
std::vector<uint8_t> parseVcd(const std::string& text, const qzsim::PinNames& names, std::size_t& changes) {
    std::istringstream in(text);
    std::map<std::string, unsigned> pinOfCode;
    std::vector<uint8_t> levels;
    uint8_t now = 0;
    changes = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string word, type, width, code, name;
        words >> word;
        if (word == "$var" && words >> type >> width >> code >> name)
            for (unsigned pin = 0; pin < 8; ++pin)
                if (names[pin] == name) pinOfCode[code] = pin;
        if (word == "$timescale") {
            EXPECT_EQ("$timescale 1 us $end", line);
        }
        if (word[0] == '#') levels.resize(std::stoul(word.substr(1)), now);
        if (word[0] == '0' || word[0] == '1') {
            const unsigned pin = pinOfCode.at(word.substr(1));
            now = static_cast<uint8_t>((now & ~(1u << pin)) | ((word[0] == '1') << pin));
            changes += levels.empty() ? 0 : 1;
        }
    }
    return levels;
}

}  // namespace

TEST_F(VcdTest, PatternReadsBackToTheSameLevelsWithOnlyChangesListed) {
    FT_HANDLE dev = openDevice();
    device().attach(std::make_shared<qzsim::InputSource>(qzsim::PinDrive{0x10, 0x00}));
    std::vector<uint8_t> pattern(20000);  // long enough to be written in several pieces
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 / 3);
    ASSERT_EQ(20000, writeCustomPattern(dev, 0x0F, pattern.data(), 20000));
    const qzsim::PinNames some = {"CLK", "", "MISO", "", "IN", "", "", "D7"};
    for (const qzsim::PinNames& names : {qzsim::defaultPinNames(), some}) {
        uint8_t shown = 0;
        for (unsigned pin = 0; pin < 8; ++pin) shown |= static_cast<uint8_t>(!names[pin].empty() << pin);
        std::vector<uint8_t> expected;
        std::size_t expectedChanges = 0, changes = 0;
        for (const auto& sample : device().trace()) {
            if (!expected.empty()) expectedChanges += std::bitset<8>((sample.levels ^ expected.back()) & shown).count();
            expected.push_back(sample.levels & shown);
        }
        EXPECT_EQ(expected, parseVcd(vcdOf(device(), names), names, changes)) << names[0];
        EXPECT_EQ(expectedChanges, changes) << names[0];
    }
    EXPECT_THROW(vcdOf(device(), {"A B"}), std::invalid_argument);
}

TEST_F(VcdTest, CEntryWritesTheFileOrFails) {
    FT_HANDLE dev = openDevice();
    const uint8_t pattern[] = {0x01, 0x02, 0x04};
    ASSERT_EQ(3, writeCustomPattern(dev, 0xFF, pattern, 3));
    const std::string path = tempPath("centry");
    ASSERT_EQ(0, qzsim_write_vcd("DEV", path.c_str()));
    std::stringstream file;
    file << std::ifstream(path).rdbuf();
    std::remove(path.c_str());
    EXPECT_EQ(vcdOf(device(), qzsim::defaultPinNames()), file.str());
    EXPECT_EQ(-1, qzsim_write_vcd("NOPE", path.c_str()));
    EXPECT_EQ(-1, qzsim_write_vcd("DEV", "/nonexistent-dir/x.vcd"));
    EXPECT_EQ(-1, qzsim_write_vcd("DEV", nullptr));
}

TEST_F(VcdTest, SigrokDecodesAHandBuiltI2CWrite) {
    FT_HANDLE dev = openDevice();
    std::vector<uint8_t> bus;  // SCL on pin 0, SDA on pin 1
    auto line = [&](bool scl, bool sda) { bus.push_back(static_cast<uint8_t>(scl | (sda << 1))); };
    line(1, 1), line(1, 1), line(1, 0), line(0, 0);  // idle, START
    for (const uint8_t byte : {0x50 << 1, 0x12, 0xA7})
        for (int bit = 7; bit >= -1; --bit) {  // bit -1: SDA released for the acknowledge
            const bool sda = bit < 0 || ((byte >> bit) & 1);
            line(0, sda), line(1, sda), line(1, sda), line(0, sda);
        }
    line(0, 0), line(1, 0), line(1, 1), line(1, 1);  // STOP, idle
    ASSERT_EQ(static_cast<int32_t>(bus.size()), writeCustomPattern(dev, 0x03, bus.data(), static_cast<int32_t>(bus.size())));
    const auto out = sigrokWords(vcdOf(device(), {"SCL", "SDA"}), "-P i2c:scl=SCL:sda=SDA -A i2c=addr-data");
    if (!out) GTEST_SKIP() << "sigrok-cli is not installed";
    EXPECT_EQ("i2c-1: Address write: 50\ni2c-1: Data write: 12\ni2c-1: Data write: A7\n", *out);
}
