// writeI2C and readI2C end to end on the simulated chip with virtual I2C
// chips: round trips, acknowledges produced by the chips' faults, the frame
// reference in the read-back, driver failures and the dumps.
#include "i2c.h"
#include "qzsim/i2c_bus.hpp"
#include "qzsim/qzsim.h"
#include "driver_faults.hpp"
#include "sim_fixture.hpp"

#include <memory>

namespace {

using qzsim::I2CAccess;
using qzsim::I2CFault;
using qzsim::Op;

constexpr uint8_t kChipAddress = 0x3A;

struct Wiring {
    uint8_t scl, sdaW, sdaR;
    int oe;  // -1: no output enable
    int32_t oePol;
    uint8_t a, b;
};

uint32_t widthMask(uint8_t bytes) { return bytes >= 4 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1; }

class I2CTransfer : public SimBench {
protected:
    // Opens `serial` at `lag` with an I2C bus on the wiring's pins and one
    // chip at `chipAddress`; `d` addresses kChipAddress.
    FT_HANDLE setUp(const Wiring& w, Descriptor& d, unsigned lag = 1,
                    uint8_t chipAddress = kChipAddress, const std::string& serial = "DEV") {
        FT_HANDLE dev = openDevice(lag, serial);
        bus = std::make_shared<qzsim::I2CBus>(w.scl, w.sdaW, w.sdaR);
        device(serial).attach(bus);
        chip = bus->addChip(chipAddress, w.a, w.b);
        makeI2C(d, w.scl, w.sdaW, w.sdaR, kChipAddress, w.a, w.b);
        if (w.oe >= 0) {
            EXPECT_EQ(0, setupOE(d.address(), static_cast<uint8_t>(w.oe), w.oePol));
        }
        return dev;
    }
    std::shared_ptr<qzsim::I2CBus> bus;
    std::shared_ptr<qzsim::I2CChip> chip;
};

const Wiring kOneByEach{0, 1, 2, -1, 0, 1, 1};

TEST_F(I2CTransfer, RoundTripsMatchTheChipLogAtEveryLag) {
    const Wiring wirings[] = {
        {0, 1, 2, 3, 1, 0, 1}, {7, 5, 6, -1, 0, 1, 1}, {3, 6, 1, 4, 0, 2, 2},
        {4, 2, 7, 0, 1, 1, 3}, {1, 0, 5, -1, 0, 2, 4}, {6, 3, 0, 2, 1, 0, 4},
        {2, 7, 4, -1, 0, 1, 2}, {5, 4, 3, 6, 0, 2, 1},
    };
    const uint32_t reg = 0x00C0FFEE, preset = 0x5AC3A596, value = 0xE1D2C3B4;
    for (unsigned lag : {0u, 1u, 2u}) {
        for (std::size_t i = 0; i < std::size(wirings); ++i) {
            const Wiring& w = wirings[i];
            SCOPED_TRACE("lag " + std::to_string(lag) + ", wiring " + std::to_string(i));
            Descriptor d;
            const std::string serial = "L" + std::to_string(lag) + "W" + std::to_string(i);
            FT_HANDLE dev = setUp(w, d, lag, kChipAddress, serial);
            const uint32_t chipReg = reg & widthMask(w.a);
            chip->registers.write(chipReg, preset & widthMask(w.b));
            // First transfer after opening: the read-back begins with the
            // levels from before the frame.
            EXPECT_EQ(preset & widthMask(w.b), static_cast<uint32_t>(readI2C(dev, d.get(), chipReg)));
            EXPECT_EQ(0, writeI2C(dev, d.get(), chipReg, value & widthMask(w.b)));
            EXPECT_EQ(value & widthMask(w.b), static_cast<uint32_t>(readI2C(dev, d.get(), chipReg)));
            const std::vector<I2CAccess> expected = {{true, chipReg, preset & widthMask(w.b)},
                                                     {false, chipReg, value & widthMask(w.b)},
                                                     {true, chipReg, value & widthMask(w.b)}};
            EXPECT_EQ(expected, chip->log());
            EXPECT_TRUE(bus->violations().empty());
            EXPECT_EQ(3u, bus->stops());
        }
    }
}

TEST_F(I2CTransfer, ChipsAttachedFromCShareTheBusByAddress) {
    FT_HANDLE dev = openDevice();
    const int32_t first = qzsim_attach_i2c("DEV", 0, 1, 2, 0x20, 1, 1);
    const int32_t second = qzsim_attach_i2c("DEV", 0, 1, 2, 0x21, 1, 1);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_EQ(-1, qzsim_attach_i2c("DEV", 0, 1, 1, 0x22, 1, 1));  // SDA pins must differ
    EXPECT_EQ(-1, qzsim_i2c_fault(second, 5, 0));
    Descriptor d;
    makeI2C(d, 0, 1, 2, 0x21, 1, 1);
    EXPECT_EQ(0, writeI2C(dev, d.get(), 3, 0x44));
    uint32_t held[2] = {};
    qzsim_get_register(first, 3, &held[0]);
    qzsim_get_register(second, 3, &held[1]);
    EXPECT_EQ(0u, held[0]);
    EXPECT_EQ(0x44u, held[1]);
    EXPECT_EQ(0, qzsim_i2c_fault(second, 2, 0));  // refuses its first data byte
    EXPECT_EQ(-4, writeI2C(dev, d.get(), 3, 0x45));
}

TEST_F(I2CTransfer, MissingAcknowledgesFromChipFaults) {
    struct Case {
        const char* what;
        uint8_t a, b, chipAddress;
        I2CFault fault;
        uint32_t arg;
        bool read;
        int32_t expected;
    } const cases[] = {
        {"data byte refused", 1, 1, kChipAddress, I2CFault::NoDataAck, 0, false, -4},
        {"second data byte refused", 1, 2, kChipAddress, I2CFault::NoDataAck, 1, false, -8},
        {"nobody at the address", 1, 1, 0x3B, I2CFault::None, 0, false, -7},
        {"address refused", 2, 2, kChipAddress, I2CFault::NoAddressAck, 0, false, -1},
        {"nine slots, eight recorded", 4, 4, 0x3B, I2CFault::None, 0, false, -255},
        {"slow acknowledge meets the write samples", 1, 1, kChipAddress, I2CFault::SlowDataValid,
         0, false, 0},
        {"SCL held low", 1, 1, kChipAddress, I2CFault::HoldSCLLow, 0, false, -1},
        {"read, nobody at the address", 1, 1, 0x3B, I2CFault::None, 0, true, -7},
        {"read, nobody, no register address", 0, 1, 0x3B, I2CFault::None, 0, true, -3},
        {"read, nobody, two register bytes", 2, 1, 0x3B, I2CFault::None, 0, true, -15},
        {"read, address refused on both passes", 1, 1, kChipAddress, I2CFault::NoAddressAck, 0,
         true, -5},
        // The read address's acknowledge is taken in its slot, as every other.
        {"read, slow acknowledge meets the read-address sample", 1, 1, kChipAddress,
         I2CFault::SlowDataValid, 0, true, 0x5A},
        {"read, SCL held low", 1, 1, kChipAddress, I2CFault::HoldSCLLow, 0, true, -1},
    };
    int device = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A device of its own, so that this is the first transfer after opening.
        Descriptor d;
        FT_HANDLE dev = setUp({0, 1, 2, -1, 0, c.a, c.b}, d, 1, c.chipAddress,
                              "F" + std::to_string(device++));
        chip->setFault(c.fault, c.arg);
        chip->registers.write(0x12, 0x5A);
        EXPECT_EQ(c.expected,
                  c.read ? readI2C(dev, d.get(), 0x12) : writeI2C(dev, d.get(), 0x12, 0xA5));
    }
}

// Read-backs made by hand: only SCL matters ('H' high, anything else low).
TEST(I2CReference, FirstSclLowAfterTheStartsHighRun) {
    struct Case {
        const char* scl;
        std::size_t limit;
        std::optional<std::size_t> reference;
    } const cases[] = {
        {"HHHLHHL", 99, 3},   // lag 0: the START opens the read-back
        {"LHHHLHHL", 99, 4},  // lag 1 after opening: outputs were low
        {"HLHHHLHHL", 99, 5}, // a stray high sample before the frame is no START
        {"HHHHHL", 99, 5},    // lag 2 after a frame, which ends with SCL high
        {"HHHHHH", 99, {}},   // SCL never falls
        {"LLLLLL", 99, {}},   // SCL never rises
        {"HLHHLHHL", 99, {}}, // clock pulses but no START
        {"LHHHL", 4, {}},     // the START's fall lies beyond the search limit
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> rx;
        for (const char* p = c.scl; *p; ++p) rx.push_back(*p == 'H' ? 0x10 : 0xEF);
        EXPECT_EQ(c.reference, qz::i2cFrameReference(rx, 4, c.limit)) << c.scl;
    }
}

TEST_F(I2CTransfer, LateReferenceReadsNoDataPastTheEnd) {
    Descriptor d;
    FT_HANDLE dev = setUp({0, 1, 2, -1, 0, 0, 2}, d);
    // SCL held low through the START and the first address pass: the only
    // START left in the read-back is the repeated one, whose acknowledges
    // look fine but whose data would lie past the end.
    std::vector<uint8_t> sclLevels(36, 0x00);
    sclLevels.push_back(0x01);  // then let go
    device().attach(std::make_shared<qzsim::InputSource>(0x01, sclLevels));
    EXPECT_EQ(-1, readI2C(dev, d.get(), 0x12));
}

TEST_F(I2CTransfer, DriverFailuresGiveMinusOne) {
    Descriptor d;
    FT_HANDLE dev = setUp(kOneByEach, d);
    for (const DriverFault& f : kDriverFaults) {
        for (bool read : {false, true}) {
            SCOPED_TRACE(std::string(f.name) + (read ? " (read)" : " (write)"));
            device().resetCallCounts();
            f.inject(device(), 100, 100);
            EXPECT_EQ(-1, read ? readI2C(dev, d.get(), 1) : writeI2C(dev, d.get(), 1, 2));
            if (f.beforeWrite()) {
                EXPECT_EQ(0u, device().calls(Op::Write));
            }
        }
    }
}

TEST_F(I2CTransfer, WrongDescriptorKindIsRefused) {
    Descriptor i2c, spi;
    FT_HANDLE dev = setUp(kOneByEach, i2c);
    makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
    device().resetCallCounts();
    EXPECT_EQ(-1, writeI2C(dev, spi.get(), 1, 2));
    EXPECT_EQ(-1, readI2C(dev, spi.get(), 1));
    EXPECT_EQ(2u, device().calls(Op::Purge));  // refused after the purge
    EXPECT_EQ(0u, device().calls(Op::Write));
    EXPECT_EQ(-1, writeI2C(dev, nullptr, 1, 2));  // no descriptor: no driver call
    EXPECT_EQ(2u, device().calls(Op::Purge));
    ASSERT_TRUE(qz::editDescriptor(i2c.get(), [](PROT_DES& d) { d.SPI_I2C = 2; }));  // anything but 1 is I2C
    EXPECT_EQ(0, writeI2C(dev, i2c.get(), 1, 0x42));
    EXPECT_EQ(0x42, readI2C(dev, i2c.get(), 1));
}

TEST_F(I2CTransfer, DumpsOnlyWhereAndWhatTheSwitchesSay) {
    Descriptor d;
    FT_HANDLE dev = setUp(kOneByEach, d);
    auto dump = [](const std::vector<uint8_t>& s) {
        return captureStdout(
            [&] { qz::printPattern(s.data(), static_cast<uint32_t>(s.size()), 'n'); });
    };
    auto readBackOfLastCall = [&] {
        std::vector<uint8_t> rx;
        for (const auto& s : device().trace()) rx.push_back(s.readback);
        device().clearTrace();
        return rx;
    };
    const auto frame = qz::createI2CByteStream(d.des(), 1, 0x42, qz::WRITE);

    enableDebugPrint(1, 0);
    device().failNthCall(Op::Write, 1, FT_IO_ERROR);
    EXPECT_EQ(dump(frame), captureStdout([&] { EXPECT_EQ(-1, writeI2C(dev, d.get(), 1, 0x42)); }));
    EXPECT_EQ(dump(frame), captureStdout([&] { EXPECT_EQ(0, writeI2C(dev, d.get(), 1, 0x42)); }));
    EXPECT_EQ("", captureStdout([&] { EXPECT_EQ(0x42, readI2C(dev, d.get(), 1)); }));

    enableDebugPrint(0, 1);
    EXPECT_EQ("", captureStdout([&] { EXPECT_EQ(0, writeI2C(dev, d.get(), 1, 0x42)); }));
    device().clearTrace();
    const std::string onSuccess = captureStdout([&] { EXPECT_EQ(0x42, readI2C(dev, d.get(), 1)); });
    EXPECT_EQ(dump(readBackOfLastCall()), onSuccess);
    chip->setFault(I2CFault::NoAddressAck);
    const std::string onNack = captureStdout([&] { EXPECT_EQ(-5, readI2C(dev, d.get(), 1)); });
    EXPECT_EQ(dump(readBackOfLastCall()), onNack);
    device().failNthCall(Op::Read, 1, FT_IO_ERROR);
    EXPECT_EQ("", captureStdout([&] { EXPECT_EQ(-1, readI2C(dev, d.get(), 1)); }));
}

}  // namespace
