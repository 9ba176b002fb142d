// Transfers for chips without register maps, through the virtual chips: raw
// I2C messages against the register functions, full-duplex SPI in the modes
// the virtual chip speaks, the pins, descriptor refusals and the bus clock.
#include "qzsim/i2c_bus.hpp"
#include "qzsim/profile.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "driver_faults.hpp"
#include "sim_fixture.hpp"

#include <array>

namespace {

constexpr uint8_t kUntouched = 0xEE;

class RawTransfer : public SimBench {
protected:
    // An I2C chip at 0x50 (one register-address byte, one data byte) on SCL
    // pin 0, SDA write pin 1, SDA read pin 2.
    std::shared_ptr<qzsim::I2CChip> attachI2CChip(const std::string& serial = "DEV") {
        auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
        auto chip = bus->addChip(0x50, 1, 1);
        device(serial).attach(bus);
        return chip;
    }
};

QZ_I2C_MSG writeMsg(uint8_t addr, std::vector<uint8_t>& bytes) {
    return {addr, 0, static_cast<uint32_t>(bytes.size()), bytes.data()};
}
QZ_I2C_MSG readMsg(uint8_t addr, std::vector<uint8_t>& into) {
    return {addr, 1, static_cast<uint32_t>(into.size()), into.data()};
}

TEST_F(RawTransfer, CombinedWriteThenReadMatchesTheRegisterReads) {
    for (unsigned lag = 0; lag <= 2; ++lag) {
        const std::string serial = "L" + std::to_string(lag);
        FT_HANDLE dev = openDevice(lag, serial);
        auto chip = attachI2CChip(serial);
        for (uint32_t r = 0; r < 4; ++r) chip->registers.write(0x10 + r, 0xA0 + 7 * r);
        Descriptor i2c;
        makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
        std::vector<uint8_t> pointer = {0x10}, got(4, kUntouched);
        const QZ_I2C_MSG msgs[] = {writeMsg(0x50, pointer), readMsg(0x50, got)};
        ASSERT_EQ(QZ_OK, qz_i2cTransfer(dev, i2c.get(), msgs, 2, nullptr)) << lag;
        for (uint32_t r = 0; r < 4; ++r)
            EXPECT_EQ(readI2C(dev, i2c.get(), 0x10 + r), got[r]) << lag << " " << r;
        std::vector<uint8_t> set = {0x11, 0x5C};
        const QZ_I2C_MSG write[] = {writeMsg(0x50, set)};
        ASSERT_EQ(QZ_OK, qz_i2cTransfer(dev, i2c.get(), write, 1, nullptr));
        EXPECT_EQ(0x5C, readI2C(dev, i2c.get(), 0x11));
    }
}

TEST_F(RawTransfer, NackOfSecondMessageNamesItAndLeavesTheBufferAlone) {
    FT_HANDLE dev = openDevice();
    attachI2CChip();
    Descriptor i2c;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
    std::vector<uint8_t> pointer = {0x10}, got(2, kUntouched);
    const QZ_I2C_MSG msgs[] = {writeMsg(0x50, pointer), readMsg(0x51, got)};
    QZ_RESULT detail{};
    EXPECT_EQ(QZ_NACK, qz_i2cTransfer(dev, i2c.get(), msgs, 2, &detail));
    EXPECT_EQ(1u, detail.index);
    EXPECT_EQ(1u, detail.missingAcks);  // the address
    EXPECT_EQ(std::vector<uint8_t>(2, kUntouched), got);
}

// SDA sunk low from the second message on (the first is 75 samples).
TEST_F(RawTransfer, HeldSdaNamesTheMessageAndLeavesTheBufferAlone) {
    FT_HANDLE dev = openDevice();
    attachI2CChip();
    std::vector<uint8_t> levels(1 + 80, 0xFF);
    levels.push_back(0);
    device().attach(std::make_shared<qzsim::InputSource>(0x04, levels));
    Descriptor i2c;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
    std::vector<uint8_t> pointer = {0x10}, got(2, kUntouched);
    const QZ_I2C_MSG msgs[] = {writeMsg(0x50, pointer), readMsg(0x50, got)};
    QZ_RESULT detail{};
    EXPECT_EQ(QZ_BUS_HELD, qz_i2cTransfer(dev, i2c.get(), msgs, 2, &detail));
    EXPECT_EQ(1u, detail.index);
    EXPECT_EQ(std::vector<uint8_t>(2, kUntouched), got);
}

TEST_F(RawTransfer, BadMessagesAreRefusedWithoutADriverCall) {
    FT_HANDLE dev = openDevice();
    Descriptor i2c, spi;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
    makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
    std::vector<uint8_t> one(1);
    const struct {
        QZ_I2C_MSG msg;
        PROT_HANDLE prot;
    } cases[] = {{{0x80, 0, 1, one.data()}, i2c.get()},  {{0x50, 1, 0, one.data()}, i2c.get()},
                 {{0x50, 0, 1, nullptr}, i2c.get()},     {{0x50, 0, QZ_I2C_MSG_MAX + 1, one.data()}, i2c.get()},
                 {{0x50, 0, 1, one.data()}, spi.get()}};
    device().resetCallCounts();
    for (const auto& c : cases) EXPECT_EQ(QZ_BAD_ARGUMENT, qz_i2cTransfer(dev, c.prot, &c.msg, 1, nullptr));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_spiTransfer(dev, i2c.get(), one.data(), nullptr, 1, 0, nullptr));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_spiTransfer(dev, spi.get(), nullptr, nullptr, QZ_SPI_TRANSFER_MAX + 1, 0, nullptr));
    EXPECT_EQ(0u, device().calls(qzsim::Op::Write));
}

// The virtual register chip without a read/write bit exchanges: it shifts
// the addressed register out while the next byte comes in.
TEST_F(RawTransfer, SpiExchangeReadsTheChipInEveryModeAndBitOrderAtEveryLag) {
    const struct {
        int mode;
        bool lsbFirst;
    } wires[] = {{0, false}, {2, false}, {1, true}, {3, true}};
    for (const auto& w : wires) {
        for (unsigned lag = 0; lag <= 2; ++lag) {
            const std::string serial = "M" + std::to_string(w.mode) + std::to_string(w.lsbFirst) + std::to_string(lag);
            FT_HANDLE dev = openDevice(lag, serial);
            qzsim::SPIWiring wiring;
            wiring.setMode(static_cast<uint8_t>(w.mode));
            wiring.lsbFirst = w.lsbFirst;
            auto chip = std::make_shared<qzsim::SPIPeripheral>(wiring);
            device(serial).attach(chip);
            chip->registers.write(0x21, 0xC3);
            Descriptor spi;
            makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
            ASSERT_EQ(QZ_OK, qz_setSPIMode(spi.get(), w.mode, w.lsbFirst ? QZ_SPI_LSB_FIRST : 0));
            const uint8_t tx[2] = {0x21, 0x5A};
            uint8_t rx[2] = {kUntouched, kUntouched};
            ASSERT_EQ(QZ_OK, qz_spiTransfer(dev, spi.get(), tx, rx, 2, 0, nullptr));
            EXPECT_EQ(0xC3, rx[1]) << serial;
            EXPECT_EQ(0x5Au, chip->registers.read(0x21)) << serial;  // exchanged in
            uint8_t in = kUntouched;
            const QZ_SPI_SEGMENT segments[] = {{tx, nullptr, 1}, {nullptr, &in, 1}};
            ASSERT_EQ(QZ_OK, qz_spiTransferSegments(dev, spi.get(), segments, 2, 0x77, nullptr));
            EXPECT_EQ(0x5A, in) << serial;
            EXPECT_EQ(0x77u, chip->registers.read(0x21)) << serial;  // the fill byte
            EXPECT_TRUE(chip->violations().empty()) << serial;
        }
    }
}

class RawFlash : public RawTransfer {
protected:
    // A 64 KiB flash in SPI mode `mode` on the default SPI pins, and its descriptor.
    std::shared_ptr<qzsim::SPIFlash> attachFlash(Descriptor& spi, int mode, const std::string& serial = "DEV") {
        qzsim::SPIWiring wiring;
        wiring.setMode(static_cast<uint8_t>(mode));
        auto flash = std::make_shared<qzsim::SPIFlash>(wiring, 1u << 16, 0xEF4010);
        device(serial).attach(flash);
        makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
        EXPECT_EQ(QZ_OK, qz_setSPIMode(spi.get(), mode, 0));
        return flash;
    }
    // One flash command (opcode and 3 address bytes when given) and `in`'s bytes read after it.
    static int32_t command(FT_HANDLE dev, PROT_HANDLE spi, std::vector<uint8_t> out, std::vector<uint8_t>& in,
                           QZ_RESULT* detail = nullptr) {
        const QZ_SPI_SEGMENT segments[] = {{out.data(), nullptr, static_cast<uint32_t>(out.size())},
                                           {nullptr, in.data(), static_cast<uint32_t>(in.size())}};
        return qz_spiTransferSegments(dev, spi, segments, in.empty() ? 1 : 2, 0xFF, detail);
    }
};

// Data out of the flash (MISO) in each mode, at every read-back lag.
TEST_F(RawFlash, IdAndReadComeBackInEveryModeAtEveryLag) {
    for (int mode = 0; mode <= 3; ++mode) {
        for (unsigned lag = 0; lag <= 2; ++lag) {
            const std::string serial = "F" + std::to_string(mode) + std::to_string(lag);
            FT_HANDLE dev = openDevice(lag, serial);
            Descriptor spi;
            auto flash = attachFlash(spi, mode, serial);
            for (uint32_t k = 0; k < 4; ++k) flash->registers.write(0x1234 + k, 0x3C ^ (k * 0x51));
            std::vector<uint8_t> id(3, kUntouched), data(4, kUntouched);
            ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x9F}, id)) << serial;
            EXPECT_EQ((std::vector<uint8_t>{0xEF, 0x40, 0x10}), id) << serial;
            ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x03, 0x00, 0x12, 0x34}, data)) << serial;
            EXPECT_EQ((std::vector<uint8_t>{0x3C, 0x6D, 0x9E, 0xCF}), data) << serial;
            EXPECT_TRUE(flash->violations().empty()) << serial;
        }
    }
}

// A flash that stays busy after a program says so in its status, takes no
// further command (its bytes stay as they were) and answers nothing else: a
// read gives released MISO, all ones.
TEST_F(RawFlash, FlashThatStaysBusyShowsItAndTakesNoCommand) {
    FT_HANDLE dev = openDevice();
    Descriptor spi;
    auto flash = attachFlash(spi, 0);
    flash->setBusySamples(100000000, 100000000);
    std::vector<uint8_t> none, status(1, kUntouched), data(2, kUntouched);
    ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x06}, none));
    ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x02, 0x00, 0x01, 0x00, 0x12, 0x34}, none));
    for (int poll = 0; poll < 3; ++poll) {
        ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x05}, status));
        EXPECT_EQ(qzsim::SPIFlash::kStatusBusy | qzsim::SPIFlash::kStatusWriteEnabled, status[0]);
    }
    ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x06}, none));
    ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x20, 0x00, 0x01, 0x00}, none));  // erase: ignored
    EXPECT_EQ(0x12u, flash->registers.read(0x100));
    ASSERT_EQ(QZ_OK, command(dev, spi.get(), {0x03, 0x00, 0x01, 0x00}, data));
    EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF}), data);
}

// Each driver fault fails the transfer with its status; what was read stays unwritten.
TEST_F(RawFlash, FailedTransferLeavesTheBufferAlone) {
    FT_HANDLE dev = openDevice();
    Descriptor spi;
    attachFlash(spi, 0);
    for (const DriverFault& f : kDriverFaults) {
        f.inject(device(), 5, 10);
        std::vector<uint8_t> id(3, kUntouched);
        QZ_RESULT detail{};
        EXPECT_NE(QZ_OK, command(dev, spi.get(), {0x9F}, id, &detail)) << f.name;
        EXPECT_EQ(std::vector<uint8_t>(3, kUntouched), id) << f.name;
        device().clearFaults();
    }
}

TEST_F(RawTransfer, SpiModeIsHonouredByRegisterTransfers) {
    FT_HANDLE dev = openDevice();
    qzsim::SPIWiring wiring;
    wiring.posedge = false;  // the clock idles high, sampled on the falling edge: mode 2
    auto chip = std::make_shared<qzsim::SPIPeripheral>(wiring);
    device().attach(chip);
    Descriptor spi;
    makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
    ASSERT_EQ(QZ_OK, qz_setSPIMode(spi.get(), 2, 0));
    int32_t mode = -1;
    uint32_t flags = 99;
    ASSERT_EQ(QZ_OK, qz_getSPIMode(spi.get(), &mode, &flags));
    EXPECT_EQ(2, mode);
    EXPECT_EQ(0u, flags);
    ASSERT_EQ(0, writeSPI(dev, spi.get(), 0x12, 0x34));
    EXPECT_EQ(0x34u, chip->registers.read(0x12));
    EXPECT_EQ(0x34, readSPI(dev, spi.get(), 0x12));
}

TEST_F(RawTransfer, PinsReadShowsTheBoardAndPatternGivesItsReadBack) {
    FT_HANDLE dev = openDevice();
    device().attach(std::make_shared<qzsim::InputSource>(qzsim::PinDrive{0xF0, 0xA0}));
    uint8_t levels = 0;
    ASSERT_EQ(QZ_OK, qz_readPins(dev, &levels, nullptr));
    EXPECT_EQ(0xA0, levels & 0xF0);
    const uint8_t pattern[4] = {0x01, 0x02, 0x03, 0x00};
    uint8_t readback[4] = {};
    ASSERT_EQ(QZ_OK, qz_playPattern(dev, 0x0F, pattern, 4, readback, nullptr));
    for (int k = 1; k < 4; ++k) EXPECT_EQ(pattern[k - 1], readback[k] & 0x0F) << k;  // one sample of lag
    EXPECT_EQ(0xA0, readback[3] & 0xF0);
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_readPins(dev, nullptr, nullptr));
}

TEST_F(RawTransfer, RefusedDescriptorNamesTheReason) {
    PROT_HANDLE h = nullptr;
    Descriptor spi;
    makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
    PROT_HANDLE spiHandle = spi.get();
    const struct {
        std::function<int32_t()> call;
        const char* reason;
    } cases[] = {
        {[&] { return initSPIDev(&h, 0, 9, 2, 3, 8, 8, 1, 0); }, "SPI chip select on pin 9, above 7"},
        {[&] { return initSPIDev(&h, 0, 1, 1, 3, 8, 8, 1, 0); }, "SPI chip select and data in both on pin 1"},
        {[&] { return initSPIDev(&h, 0, 1, 2, 3, 33, 8, 1, 0); }, "33 address bits, above 32"},
        {[&] { return initI2CDev(&h, 0, 1, 2, 0xA0, 1, 1); }, "I2C address 0xA0, above 0x7F (give the 7-bit address)"},
        {[&] { return initI2CDev(&h, 1, 1, 2, 0x50, 1, 1); }, "I2C SCL and SDA both on pin 1"},
        {[&] { return setupOE(&spiHandle, 1, 1); }, "SPI chip select and output enable both on pin 1"},
        {[&] { return qz_setSPIMode(spiHandle, 4, 0) == QZ_OK ? 0 : -1; }, "SPI mode 4, not 0 to 3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(-1, c.call()) << c.reason;
        EXPECT_STREQ(c.reason, qz_refusalText());
    }
    Descriptor ok;
    makeI2C(ok, 0, 1, 2, 0x50, 1, 1);
    EXPECT_STREQ("", qz_refusalText());
}

// 100 kHz SCL on an FT232R (16 samples per baud, four per bit): 25,000 baud,
// set once; a descriptor without a clock leaves the rate as it is.
TEST_F(RawTransfer, BusClockSetsTheBaudRateOnlyWhenItDiffers) {
    FT_HANDLE dev = openDevice();
    attachI2CChip();
    Descriptor i2c, plain;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
    makeI2C(plain, 0, 1, 2, 0x50, 1, 1);
    ASSERT_EQ(QZ_OK, qz_setBusClock(i2c.get(), 100000));
    uint32_t hz = 0;
    ASSERT_EQ(QZ_OK, qz_getBusClock(i2c.get(), &hz));
    EXPECT_EQ(100000u, hz);
    device().resetCallCounts();
    ASSERT_EQ(0, writeI2C(dev, i2c.get(), 0x10, 0x42));
    ASSERT_EQ(0x42, readI2C(dev, i2c.get(), 0x10));
    EXPECT_EQ(25000u, device().baudRate());
    EXPECT_EQ(1u, device().calls(qzsim::Op::SetBaudRate));
    uint32_t wire = 0;
    ASSERT_EQ(QZ_OK, qz_getWireClock(dev, i2c.get(), &wire));
    EXPECT_EQ(100000u, wire);
    ASSERT_EQ(QZ_OK, qz_setBusClock(i2c.get(), 400000));  // fast mode's 1.3 us SCL low
    ASSERT_EQ(QZ_OK, qz_getWireClock(dev, i2c.get(), &wire));
    EXPECT_EQ(384612u, wire);
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_getWireClock(nullptr, i2c.get(), &wire));
    ASSERT_EQ(0x42, readI2C(dev, plain.get(), 0x10));
    EXPECT_EQ(1u, device().calls(qzsim::Op::SetBaudRate));
}

// The H series samples at 5 x baud: the library finds the chip type in the
// driver's list by the handle it holds. At 1 MBaud SCL runs at 1.25 MHz; a
// 100 kHz clock takes 80,000 baud.
TEST_F(RawTransfer, WireClockFollowsTheSampleClockOfAnHSeriesChip) {
    addDevice("H").setProfile(*qzsim::chipProfile("FT232H"));
    FT_HANDLE dev = open("H");
    Descriptor i2c;
    makeI2C(i2c, 0, 1, 2, 0x50, 1, 1);
    uint32_t wire = 0;
    ASSERT_EQ(QZ_OK, qz_getWireClock(dev, i2c.get(), &wire));
    EXPECT_EQ(1250000u, wire);
    ASSERT_EQ(QZ_OK, qz_setBusClock(i2c.get(), 100000));
    writeI2C(dev, i2c.get(), 0x10, 0x42);  // nothing answers; the baud rate is set first
    EXPECT_EQ(80000u, device("H").baudRate());
}

}  // namespace
