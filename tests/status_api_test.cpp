// The status API beside the specified one, values that must fit their
// descriptor, descriptors that cannot work, and handles that are not live
// descriptors: end to end on the simulated chip.
#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "sim_fixture.hpp"

#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

using qzsim::Op;

TEST(StatusText, NamesEveryCode) {
    const std::pair<int32_t, const char*> texts[] = {
        {QZ_OK, "success"},
        {QZ_NACK, "not acknowledged"},
        {QZ_BUS_HELD, "bus held or contested"},
        {QZ_CLOCK_STRETCHED, "clock stretched"},
        {QZ_FRAME_NOT_FOUND, "frame not found in the read-back"},
        {QZ_DRIVER_ERROR, "driver error"},
        {QZ_TIMEOUT, "read-back timed out"},
        {QZ_UNPLUGGED, "device unplugged"},
        {QZ_BAD_ARGUMENT, "bad argument"},
        {QZ_NO_MEMORY, "out of memory"},
        {-1, "unknown status"},
        {10, "unknown status"},
    };
    for (const auto& [status, text] : texts) EXPECT_STREQ(text, qz_statusText(status)) << status;
}

// One naming of acknowledges for every front end; after a missing address
// acknowledge nothing else is named (no chip listened).
TEST(AckText, NamesTheMissingAcknowledgesInFrameOrder) {
    struct Case {
        uint32_t missing, regBytes;
        int32_t read;
        const char* text;
    };
    const Case cases[] = {
        {0x1, 1, 0, "address"},
        {0xF, 1, 0, "address"},
        {0x2, 2, 0, "register byte 0"},
        {0x4, 1, 0, "data byte 0"},
        {0x18, 1, 0, "data byte 1, data byte 2"},
        {0x4, 1, 1, "read address"},
        {0x6, 1, 1, "register byte 0, read address"},
        {0x0, 1, 0, ""},
    };
    for (const Case& c : cases) {
        char text[64];
        EXPECT_EQ(static_cast<int32_t>(std::strlen(c.text)),
                  qz_ackText(c.missing, c.regBytes, c.read, text, sizeof text));
        EXPECT_STREQ(c.text, text) << c.missing;
    }
    char small[4];
    EXPECT_EQ(15, qz_ackText(0x2, 1, 0, small, sizeof small));
    EXPECT_STREQ("reg", small);
    EXPECT_EQ(7, qz_ackText(0x1, 0, 0, nullptr, 0));
    EXPECT_EQ(-1, qz_ackText(0x1, 5, 0, small, sizeof small));
    EXPECT_EQ(-1, qz_ackText(0x1, 0, 0, nullptr, 4));
}

class StatusApi : public SimBench {
protected:
    // An SPI chip (clock 0, select 1, data in 2, data out 3) and an I2C bus
    // (SCL 4, SDA write 5, SDA read 6) with a chip at 0x50, on one device.
    FT_HANDLE setUp(uint8_t spiAddrBits, uint8_t spiDataBits, uint8_t i2cA, uint8_t i2cB) {
        FT_HANDLE dev = openDevice(1);
        spiChip = std::make_shared<qzsim::SPIPeripheral>(qzsim::SPIWiring{
            0, 1, 2, 3, spiAddrBits, spiDataBits, true, true, std::nullopt, true});
        device().attach(spiChip);
        auto bus = std::make_shared<qzsim::I2CBus>(4, 5, 6);
        i2cChip = bus->addChip(0x50, i2cA, i2cB);
        device().attach(bus);
        makeSPI(spi, 0, 1, 2, 3, spiAddrBits, spiDataBits, 1, 1);  // reads do not write
        makeI2C(i2c, 4, 5, 6, 0x50, i2cA, i2cB);
        return dev;
    }
    uint64_t driverCalls() {
        uint64_t calls = 0;
        for (unsigned op = 0; op < qzsim::kOpCount; ++op) calls += device().calls(static_cast<Op>(op));
        return calls;
    }
    std::shared_ptr<qzsim::SPIPeripheral> spiChip;
    std::shared_ptr<qzsim::I2CChip> i2cChip;
    Descriptor spi, i2c;
};

TEST_F(StatusApi, AmbiguousValuesReadUnmistakably) {
    FT_HANDLE dev = setUp(8, 32, 1, 4);
    spiChip->registers.write(0x12, 0xFFFFFFFF);
    i2cChip->registers.write(0x12, 0xFFFFFFF9);
    EXPECT_EQ(-1, readSPI(dev, spi.get(), 0x12));  // the specified form cannot tell
    EXPECT_EQ(-7, readI2C(dev, i2c.get(), 0x12));
    uint32_t value = 0;
    QZ_RESULT r{};
    EXPECT_EQ(QZ_OK, qz_readSPI(dev, spi.get(), 0x12, &value, &r));
    EXPECT_EQ(0xFFFFFFFFu, value);
    EXPECT_EQ(QZ_OK, r.status);
    EXPECT_EQ(QZ_OK, qz_readI2C(dev, i2c.get(), 0x12, &value, nullptr));
    EXPECT_EQ(0xFFFFFFF9u, value);
    EXPECT_EQ(QZ_OK, qz_writeSPI(dev, spi.get(), 0x13, 0x80000000, nullptr));
    EXPECT_EQ(QZ_OK, qz_writeI2C(dev, i2c.get(), 0x13, 0x80000000, nullptr));
    uint32_t regs[1] = {0x13}, words[1] = {};
    EXPECT_EQ(QZ_OK, qz_multiRegRW(dev, spi.get(), regs, words, 1, 0, nullptr));
    EXPECT_EQ(0x80000000u, words[0]);
    EXPECT_EQ(QZ_OK, qz_multiRegStreamRW(dev, i2c.get(), 0x13, words, 1, 0, nullptr));
    EXPECT_EQ(0x80000000u, words[0]);
}

TEST_F(StatusApi, NackNamesTheMissingAcknowledges) {
    FT_HANDLE dev = setUp(8, 8, 1, 1);
    i2cChip->setFault(qzsim::I2CFault::NoAddressAck);
    QZ_RESULT r{};
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(QZ_NACK, qz_readI2C(dev, i2c.get(), 1, &value, &r));
    EXPECT_EQ(5u, r.missingAcks);  // both address passes
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_EQ(QZ_NACK, qz_writeI2C(dev, i2c.get(), 1, 2, &r));
    EXPECT_EQ(1u, r.missingAcks);
    EXPECT_EQ(-1, writeI2C(dev, i2c.get(), 1, 2));
}

TEST_F(StatusApi, DriverFailuresCarryTheD2XXStatus) {
    FT_HANDLE dev = setUp(8, 8, 1, 1);
    struct Case {
        const char* what;
        std::function<void()> inject;
        int32_t status;
        uint32_t driverStatus;
    } const cases[] = {
        {"unplugged", [&] { device().failNthCall(Op::Write, 1, FT_IO_ERROR); }, QZ_UNPLUGGED, FT_IO_ERROR},
        {"other", [&] { device().failNthCall(Op::Purge, 1, FT_OTHER_ERROR); }, QZ_DRIVER_ERROR, FT_OTHER_ERROR},
        {"stall", [&] { device().setReadbackStall(10); }, QZ_TIMEOUT, 0},
    };
    for (const Case& c : cases) {
        for (bool spiKind : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (spiKind ? " SPI" : " I2C"));
            device().clearFaults();
            c.inject();
            QZ_RESULT r{};
            uint32_t value = 0;
            EXPECT_EQ(c.status, spiKind ? qz_readSPI(dev, spi.get(), 1, &value, &r)
                                        : qz_readI2C(dev, i2c.get(), 1, &value, &r));
            EXPECT_EQ(c.driverStatus, r.driverStatus);
            EXPECT_EQ(c.status, r.status);
        }
    }
}

// A sink holds the SPI clock low: no clock edge shows in the read-back, so no
// frame is there to read; the read-back itself came in full and in time.
TEST_F(StatusApi, HeldSPIClockIsFrameNotFound) {
    FT_HANDLE dev = setUp(8, 8, 1, 1);
    device().attach(std::make_shared<qzsim::InputSource>(qzsim::PinDrive{0x01, 0x00}));
    uint32_t regs[2] = {1, 2}, data[2] = {};
    uint32_t value = 0;
    const std::pair<const char*, std::function<int32_t(QZ_RESULT*)>> reads[] = {
        {"single", [&](QZ_RESULT* r) { return qz_readSPI(dev, spi.get(), 1, &value, r); }},
        {"batch", [&](QZ_RESULT* r) { return qz_multiRegRW(dev, spi.get(), regs, data, 2, 0, r); }},
        {"stream", [&](QZ_RESULT* r) { return qz_multiRegStreamRW(dev, spi.get(), 1, data, 2, 0, r); }},
    };
    for (const auto& [what, read] : reads) {
        QZ_RESULT r{};
        EXPECT_EQ(QZ_FRAME_NOT_FOUND, read(&r)) << what;
        EXPECT_EQ(QZ_FRAME_NOT_FOUND, r.status) << what;
    }
}

// ---- values that do not fit ---------------------------------------------------

TEST_F(StatusApi, ValuesWiderThanTheDescriptorMakeNoDriverCall) {
    // I2C: one register-address byte, two data bytes, so that a register
    // checked against the data width (or a word against the register width)
    // would pass.
    FT_HANDLE dev = setUp(7, 8, 1, 2);
    uint32_t wideReg[2] = {0x01, 0x8F}, okReg[2] = {0x01, 0x0F}, i2cWideReg[2] = {0x01, 0x100};
    uint32_t wideData[2] = {0x12, 0x112}, okData[2] = {0x12, 0x34}, i2cWideData[2] = {0x12, 0x1BEEF};
    const std::pair<const char*, std::function<int32_t()>> refused[] = {
        {"SPI address bit 7", [&] { return writeSPI(dev, spi.get(), 0x8F, 0x12); }},
        {"SPI data bit 8", [&] { return writeSPI(dev, spi.get(), 0x0F, 0x112); }},
        {"SPI read address", [&] { return readSPI(dev, spi.get(), 0x80); }},
        {"I2C register 0x100", [&] { return writeI2C(dev, i2c.get(), 0x100, 1); }},
        {"I2C data 0x1BEEF", [&] { return writeI2C(dev, i2c.get(), 0x12, 0x1BEEF); }},
        {"I2C read register", [&] { return readI2C(dev, i2c.get(), 0x100); }},
        {"SPI batch register", [&] { return multiRegRW(dev, spi.get(), wideReg, okData, 2, 1); }},
        {"SPI batch read register", [&] { return multiRegRW(dev, spi.get(), wideReg, okData, 2, 0); }},
        {"SPI batch word", [&] { return multiRegRW(dev, spi.get(), okReg, wideData, 2, 1); }},
        {"I2C batch register", [&] { return multiRegRW(dev, i2c.get(), i2cWideReg, okData, 2, 1); }},
        {"I2C batch read register", [&] { return multiRegRW(dev, i2c.get(), i2cWideReg, okData, 2, 0); }},
        {"I2C batch word", [&] { return multiRegRW(dev, i2c.get(), okReg, i2cWideData, 2, 1); }},
        {"I2C stream register", [&] { return multiRegStreamRW(dev, i2c.get(), 0x100, okData, 2, 0); }},
        {"I2C stream write register", [&] { return multiRegStreamRW(dev, i2c.get(), 0x100, okData, 2, 1); }},
        {"I2C stream word", [&] { return multiRegStreamRW(dev, i2c.get(), 1, i2cWideData, 2, 1); }},
        {"SPI stream word", [&] { return multiRegStreamRW(dev, spi.get(), 1, wideData, 2, 1); }},
    };
    device().resetCallCounts();
    for (const auto& [what, call] : refused) EXPECT_EQ(-1, call()) << what;
    EXPECT_EQ(0u, driverCalls());
    QZ_RESULT r{};
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_multiRegRW(dev, spi.get(), okReg, wideData, 2, 1, &r));
    EXPECT_EQ(1u, r.index);  // the element that does not fit
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_writeI2C(dev, i2c.get(), 0x12, 0x10000, nullptr));
    EXPECT_EQ(0u, driverCalls());
    EXPECT_TRUE(spiChip->log().empty());
    EXPECT_TRUE(i2cChip->log().empty());
    // The widest values that fit go through.
    EXPECT_EQ(0, writeSPI(dev, spi.get(), 0x7F, 0xFF));
    EXPECT_EQ(0xFF, readSPI(dev, spi.get(), 0x7F));
    EXPECT_EQ(0, writeI2C(dev, i2c.get(), 0xFF, 0xFFFF));
}

TEST_F(StatusApi, ZeroWidthIgnoresItsArgument) {
    FT_HANDLE dev = openDevice(1);
    auto chip = std::make_shared<qzsim::SPIPeripheral>(
        qzsim::SPIWiring{0, 1, 2, 3, 0, 8, false, true, std::nullopt, true});
    device().attach(chip);
    auto bus = std::make_shared<qzsim::I2CBus>(4, 5, 6);
    bus->addChip(0x50, 0, 1);
    device().attach(bus);
    Descriptor noAddress, i2cNoAddress, i2cNoData;
    makeSPI(noAddress, 0, 1, 2, 3, 0, 8, 1, 0);
    makeI2C(i2cNoAddress, 4, 5, 6, 0x50, 0, 1);
    makeI2C(i2cNoData, 4, 5, 6, 0x50, 0, 0);
    EXPECT_EQ(0, writeSPI(dev, noAddress.get(), 0xFFFFFFFF, 0x5A));
    EXPECT_EQ(0x5A, readSPI(dev, noAddress.get(), 0x12345678));
    EXPECT_EQ(0, writeI2C(dev, i2cNoAddress.get(), 0xFFFF, 0x33));
    EXPECT_EQ(0, writeI2C(dev, i2cNoData.get(), 0, 0xFFFF));  // a chip addressed without data
}

TEST_F(StatusApi, ZeroByteI2CReadIsRefusedWithoutDriverCall) {
    FT_HANDLE dev = setUp(8, 8, 1, 0);
    device().resetCallCounts();
    uint32_t regs[1] = {1}, data[1] = {};
    EXPECT_EQ(-1, readI2C(dev, i2c.get(), 1));
    EXPECT_EQ(-1, multiRegRW(dev, i2c.get(), regs, data, 1, 0));
    EXPECT_EQ(-1, multiRegStreamRW(dev, i2c.get(), 1, data, 1, 0));
    EXPECT_EQ(0u, driverCalls());
    EXPECT_EQ(0, writeI2C(dev, i2c.get(), 1, 0));
}

// ---- descriptors -------------------------------------------------------------

TEST(DescriptorChecks, SetupOEOnAnOutputPinLeavesTheDescriptorAlone) {
    Descriptor spi, i2c;
    makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
    makeI2C(i2c, 4, 5, 6, 0x50, 1, 1);
    ASSERT_EQ(0, setupOE(spi.address(), 7, 1));
    for (uint8_t taken : {0, 1, 2}) EXPECT_EQ(-1, setupOE(spi.address(), taken, 0)) << int(taken);
    for (uint8_t taken : {4, 5}) EXPECT_EQ(-1, setupOE(i2c.address(), taken, 0)) << int(taken);
    EXPECT_TRUE(spi.des().OE_EN == 1 && spi.des().OEnum == 7 && spi.des().OE_pol == 1);
    EXPECT_EQ(0, i2c.des().OE_EN);
    EXPECT_EQ(0, setupOE(spi.address(), 3, 0));  // data out is an input: shared is fine
    EXPECT_EQ(0, setupOE(i2c.address(), 6, 1));
}

class DeadHandles : public SimBench {};

TEST_F(DeadHandles, DeletedDoublyDeletedAndForeignPointersAreRefused) {
    FT_HANDLE dev = openDevice(1);
    PROT_HANDLE spi = nullptr, i2c = nullptr;
    ASSERT_EQ(0, initSPIDev(&spi, 0, 1, 2, 3, 8, 8, 1, 0));
    ASSERT_EQ(0, initI2CDev(&i2c, 4, 5, 6, 0x50, 1, 1));
    ASSERT_EQ(0, deleteSPIDev(spi));
    ASSERT_EQ(0, deleteI2CDev(i2c));
    int local = 0;
    uint32_t regs[1] = {1}, data[1] = {};
    uint8_t present[QZ_I2C_ADDRESS_COUNT];
    device().resetCallCounts();
    for (PROT_HANDLE dead : {spi, i2c, static_cast<PROT_HANDLE>(dev), static_cast<PROT_HANDLE>(&local)}) {
        EXPECT_EQ(-1, writeSPI(dev, dead, 1, 2));
        EXPECT_EQ(-1, readSPI(dev, dead, 1));
        EXPECT_EQ(-1, writeI2C(dev, dead, 1, 2));
        EXPECT_EQ(-1, readI2C(dev, dead, 1));
        EXPECT_EQ(-1, multiRegRW(dev, dead, regs, data, 1, 0));
        EXPECT_EQ(-1, multiRegStreamRW(dev, dead, 1, data, 1, 1));
        EXPECT_EQ(-1, i2cScan(dev, dead, present));
        EXPECT_EQ(-1, i2cRecoverBus(dev, dead));
        EXPECT_EQ(-1, setI2CStrictTiming(dead, 1));
        EXPECT_EQ(-1, setupOE(&dead, 7, 1));
        EXPECT_EQ(-1, deleteSPIDev(dead));  // the second delete does nothing
        EXPECT_EQ(-1, deleteI2CDev(dead));
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_writeSPI(dev, dead, 1, 2, nullptr));
    }
    EXPECT_EQ(0, local);
    uint64_t calls = 0;
    for (unsigned op = 0; op < qzsim::kOpCount; ++op) calls += device().calls(static_cast<Op>(op));
    EXPECT_EQ(0u, calls);
}

}  // namespace
