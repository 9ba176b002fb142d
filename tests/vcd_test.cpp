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

// Time units per second of a VCD timescale such as "100 ns".
uint64_t unitsPerSecond(const std::string& timescale) {
    std::istringstream words(timescale);
    uint64_t count = 0;
    std::string unit;
    words >> count >> unit;
    const std::map<std::string, uint64_t> perSecond = {
        {"s", 1}, {"ms", 1000}, {"us", 1000000}, {"ns", 1000000000}, {"ps", 1000000000000}};
    return perSecond.at(unit) / count;
}

// The levels of each sample at `sampleRate`, rebuilt from a VCD; `changes`
// counts the value-change lines after the initial values.
std::vector<uint8_t> parseVcd(const std::string& text, const qzsim::PinNames& names,
                              uint64_t sampleRate, std::size_t& changes) {
    std::istringstream in(text);
    std::map<std::string, unsigned> pinOfCode;
    std::vector<uint8_t> levels;
    uint8_t now = 0;
    uint64_t units = 0;
    changes = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string word, type, width, code, name;
        words >> word;
        if (word == "$var" && words >> type >> width >> code >> name)
            for (unsigned pin = 0; pin < 8; ++pin)
                if (names[pin] == name) pinOfCode[code] = pin;
        if (word == "$timescale") {
            std::string scale, unit;
            words >> scale >> unit;
            units = unitsPerSecond(scale + " " + unit);
        }
        // A timestamp is the start of the first sample that begins at or after it.
        if (word[0] == '#') {
            const uint64_t t = std::stoull(word.substr(1));
            levels.resize((t * sampleRate + units - 1) / units, now);
        }
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
        EXPECT_EQ(expected, parseVcd(vcdOf(device(), names), names, device().sampleRate(), changes))
            << names[0];
        EXPECT_EQ(expectedChanges, changes) << names[0];
    }
    EXPECT_THROW(vcdOf(device(), {"A B"}), std::invalid_argument);
}

TEST_F(VcdTest, SamplesKeepTheirPlaceAtEveryChipsSampleRate) {
    // FT232R at 1 MBd runs at its 0.6 MS/s ceiling: a period of 1666.7 ns.
    FT_HANDLE dev = openDevice();
    std::vector<uint8_t> pattern(3000);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 13 / 5);
    for (const char* chip : {"FT232R", "FT232H"})
        for (const uint32_t baud : {1000000u, 62500u, 9600u, 777777u}) {
            device().setProfile(*qzsim::chipProfile(chip));
            ASSERT_EQ(FT_OK, FT_SetBaudRate(dev, baud));
            device().clearTrace();
            ASSERT_EQ(3000, writeCustomPattern(dev, 0xFF, pattern.data(), 3000));
            std::vector<uint8_t> expected;
            for (const auto& sample : device().trace()) expected.push_back(sample.levels);
            std::size_t changes = 0;
            EXPECT_EQ(expected, parseVcd(vcdOf(device(), qzsim::defaultPinNames()),
                                         qzsim::defaultPinNames(), device().sampleRate(), changes))
                << chip << " at " << baud;
        }
}

TEST_F(VcdTest, TimescaleIsTheLargestUnitThatTimesTheSamplesWell) {
    const std::pair<uint64_t, const char*> cases[] = {
        {1000000, "1 us"},   // exact
        {600000, "100 ns"},  // 16.7 units a sample
        {5000000, "100 ns"}, // exact: 2 units
        {12000000, "1 ns"},  // 83.3 units (10 ns would give 8.3)
        {153600, "100 ns"},  // FT232R at 9600 Bd
        {1000, "1 ms"},
        {3, "10 ms"},        // 33.3 units
    };
    for (const auto& [rate, text] : cases) EXPECT_STREQ(text, qzsim::vcdTimescale(rate).text) << rate;
}

TEST_F(VcdTest, PinNamesOfTheDeviceNameTheWires) {
    FT_HANDLE dev = openDevice();
    ASSERT_EQ(0, qzsim_set_pin_name("DEV", 0, "SCL"));
    ASSERT_EQ(0, qzsim_set_pin_name("DEV", 1, "SDA"));
    EXPECT_EQ(-1, qzsim_set_pin_name("DEV", 8, "X"));
    EXPECT_EQ(-1, qzsim_set_pin_name("DEV", 2, "A B"));
    EXPECT_EQ(-1, qzsim_set_pin_name("NOPE", 2, "X"));
    const uint8_t pattern[] = {0x03, 0x02, 0x00};
    ASSERT_EQ(3, writeCustomPattern(dev, 0xFF, pattern, 3));
    std::ostringstream out;
    qzsim::writeVcd(device(), out);
    EXPECT_NE(std::string::npos, out.str().find("$var wire 1 a SCL $end"));
    EXPECT_NE(std::string::npos, out.str().find("$var wire 1 b SDA $end"));
    EXPECT_NE(std::string::npos, out.str().find("$var wire 1 c D2 $end"));
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
    EXPECT_EQ(vcdOf(device(), qzsim::pinNames(device())), file.str());
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
