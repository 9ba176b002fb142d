// The library's frames as sigrok's protocol decoders read them off the wire:
// an independent reader confirms that every register access is right on the
// wire (and that the virtual chips answer where a real chip would).
#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "sigrok.hpp"
#include "sim_fixture.hpp"

#include <cinttypes>

namespace {

class WireDecode : public SimBench {
protected:
    // An I2C chip at 0x50 on SCL pin 0, SDA write pin 1, SDA read pin 2.
    std::shared_ptr<qzsim::I2CChip> attachI2CChip(uint8_t regBytes, uint8_t dataBytes) {
        auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
        auto chip = bus->addChip(0x50, regBytes, dataBytes);
        device().attach(bus);
        return chip;
    }

    // The bus as sigrok reads it: SDA is the line itself (the read pin).
    std::string decodeI2C() {
        const auto out = sigrokLines(vcdOf(device(), {"SCL", "", "SDA"}),
                                     "-P i2c:scl=SCL:sda=SDA -A i2c",
                                     {"Start", "Stop", "Address", "Data", "ACK"});
        if (!out) return "no sigrok-cli";
        return *out;
    }
};

std::string i2cLines(std::initializer_list<const char*> events) {
    std::string text;
    for (const char* e : events) text += std::string("i2c-1: ") + e + "\n";
    return text;
}

TEST_F(WireDecode, I2CWriteAndReadFramesDecodeAsSent) {
    FT_HANDLE dev = openDevice();
    attachI2CChip(1, 1)->registers.write(0x12, 0x5A);
    Descriptor i2c;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
    device().clearTrace();
    ASSERT_EQ(0, writeI2C(dev, i2c.get(), 0x13, 0xA5));
    ASSERT_EQ(0x5A, readI2C(dev, i2c.get(), 0x12));
    const std::string out = decodeI2C();
    if (out == "no sigrok-cli") GTEST_SKIP() << out;
    EXPECT_EQ(i2cLines({"Start", "Address write: 50", "ACK", "Data write: 13", "ACK",
                        "Data write: A5", "ACK", "Stop",
                        "Start", "Address write: 50", "ACK", "Data write: 12", "ACK",
                        "Start repeat", "Address read: 50", "ACK", "Data read: 5A", "NACK",
                        "Stop"}),
              out);
}

TEST_F(WireDecode, I2CStreamReadAcknowledgesAllButTheLastByte) {
    FT_HANDLE dev = openDevice(2);
    auto chip = attachI2CChip(1, 2);
    for (uint32_t r = 0; r < 2; ++r) chip->registers.write(0x40 + r, 0x1122 + 0x3344 * r);
    Descriptor i2c;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 2);
    uint32_t words[2] = {};
    device().clearTrace();
    ASSERT_EQ(0, multiRegStreamRW(dev, i2c.get(), 0x40, words, 2, 0));
    EXPECT_EQ(0x1122u, words[0]);
    EXPECT_EQ(0x4466u, words[1]);
    const std::string out = decodeI2C();
    if (out == "no sigrok-cli") GTEST_SKIP() << out;
    EXPECT_EQ(i2cLines({"Start", "Address write: 50", "ACK", "Data write: 40", "ACK",
                        "Start repeat", "Address read: 50", "ACK", "Data read: 11", "ACK",
                        "Data read: 22", "ACK", "Data read: 44", "ACK", "Data read: 66", "NACK",
                        "Stop"}),
              out);
}

struct SPICase {
    int32_t posedge;
    int32_t rwBit;
    const char* modeOptions;  // sigrok's name for the clock polarity and phase
};

class SPIWireDecode : public WireDecode, public testing::WithParamInterface<SPICase> {};

// Frames of a write, a single read and a batch of two reads, decoded as
// (read/write bit, address, data) words on MOSI and as data on MISO.
TEST_P(SPIWireDecode, FramesDecodeAsSent) {
    const SPICase c = GetParam();
    FT_HANDLE dev = openDevice();
    qzsim::SPIWiring wiring;
    wiring.clk = 4, wiring.cs = 5, wiring.sdi = 6, wiring.sdo = 7;
    wiring.addrBits = 8, wiring.dataBits = 16;
    wiring.rwBit = c.rwBit == 1, wiring.posedge = c.posedge != 0;
    auto chip = std::make_shared<qzsim::SPIPeripheral>(wiring);
    device().attach(chip);
    chip->registers.write(0x21, 0xBEEF);
    chip->registers.write(0x22, 0x0F0F);
    Descriptor spi;
    makeSPI(spi, 4, 5, 6, 7, 8, 16, c.posedge, c.rwBit);
    device().clearTrace();
    ASSERT_EQ(0, writeSPI(dev, spi.get(), 0x34, 0x1234));
    ASSERT_EQ(0xBEEF, readSPI(dev, spi.get(), 0x21));
    uint32_t regs[2] = {0x22, 0x34}, values[2] = {};
    ASSERT_EQ(0, multiRegRW(dev, spi.get(), regs, values, 2, 0));

    const std::string vcd = vcdOf(device(), {"", "", "", "", "CLK", "CS", "MOSI", "MISO"});
    const unsigned wordBits = 8 + 16 + (c.rwBit == 1 ? 1 : 0);
    const std::string decoder = std::string("-P spi:clk=CLK:mosi=MOSI:miso=MISO:cs=CS:") +
                                c.modeOptions + ":bitorder=msb-first:wordsize=" +
                                std::to_string(wordBits) + ":cs_polarity=active-low -A spi=";
    const auto mosi = sigrokLines(vcd, decoder + "mosi-data", {""});
    const auto miso = sigrokLines(vcd, decoder + "miso-data", {""});
    if (!mosi || !miso) GTEST_SKIP() << "no sigrok-cli";

    const uint32_t readBit = c.rwBit == 1 ? 1u << 24 : 0;
    // sigrok prints each word in hex, at least two digits.
    auto words = [](std::initializer_list<uint32_t> values) {
        std::string text;
        char line[32];
        for (uint32_t v : values) std::snprintf(line, sizeof line, "spi-1: %02" PRIX32 "\n", v), text += line;
        return text;
    };
    EXPECT_EQ(words({0x341234, readBit | 0x210000, readBit | 0x220000, readBit | 0x340000}), *mosi);
    EXPECT_EQ(words({0x000000, 0xBEEF, 0x0F0F, 0x1234}), *miso);
}

INSTANTIATE_TEST_SUITE_P(Modes, SPIWireDecode,
                         testing::Values(SPICase{1, 0, "cpol=0:cpha=0"},
                                         SPICase{0, 1, "cpol=1:cpha=0"}));

// A raw I2C write-then-read: one START, a repeated START, one STOP.
TEST_F(WireDecode, I2CMessagesDecodeWithARepeatedStart) {
    FT_HANDLE dev = openDevice();
    attachI2CChip(1, 1)->registers.write(0x12, 0x5A);
    Descriptor i2c;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
    uint8_t pointer = 0x12, got[2] = {};
    const QZ_I2C_MSG msgs[] = {{0x50, 0, 1, &pointer}, {0x50, 1, 2, got}};
    device().clearTrace();
    ASSERT_EQ(QZ_OK, qz_i2cTransfer(dev, i2c.get(), msgs, 2, nullptr));
    const std::string out = decodeI2C();
    if (out == "no sigrok-cli") GTEST_SKIP() << out;
    EXPECT_EQ(i2cLines({"Start", "Address write: 50", "ACK", "Data write: 12", "ACK",
                        "Start repeat", "Address read: 50", "ACK", "Data read: 5A", "ACK",
                        "Data read: 00", "NACK", "Stop"}),
              out);
}

// A raw SPI transfer in every mode, bit order and chip-select polarity, as
// sigrok's decoder set the same way reads MOSI.
TEST_F(WireDecode, SPITransferDecodesInEveryModeOrderAndPolarity) {
    int n = 0;
    for (int mode = 0; mode < 4; ++mode) {
        for (uint32_t flags = 0; flags < 4; ++flags) {
            const std::string serial = "S" + std::to_string(n++);
            FT_HANDLE dev = openDevice(1, serial);
            Descriptor spi;
            makeSPI(spi, 4, 5, 6, 7, 8, 8, 1, 0);
            ASSERT_EQ(QZ_OK, qz_setSPIMode(spi.get(), mode, flags));
            const uint8_t tx[3] = {0xA5, 0x3C, 0x01};
            ASSERT_EQ(QZ_OK, qz_spiTransfer(dev, spi.get(), tx, nullptr, 3, 0, nullptr));
            const std::string decoder =
                "-P spi:clk=CLK:mosi=MOSI:cs=CS:cpol=" + std::to_string(mode >> 1) +
                ":cpha=" + std::to_string(mode & 1) +
                ((flags & QZ_SPI_LSB_FIRST) ? ":bitorder=lsb-first" : ":bitorder=msb-first") +
                ":wordsize=8" + ((flags & QZ_SPI_CS_ACTIVE_HIGH) ? ":cs_polarity=active-high" : ":cs_polarity=active-low") +
                " -A spi=mosi-data";
            const auto mosi = sigrokLines(vcdOf(device(serial), {"", "", "", "", "CLK", "CS", "MOSI", "MISO"}),
                                          decoder, {""});
            if (!mosi) GTEST_SKIP() << "no sigrok-cli";
            EXPECT_EQ("spi-1: A5\nspi-1: 3C\nspi-1: 01\n", *mosi) << mode << " " << flags;
        }
    }
}

}  // namespace
