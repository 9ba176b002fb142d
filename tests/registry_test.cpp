// The device-ID registry: binding (device, descriptor) pairs to IDs 0-255 and
// the register functions that forward by ID, on the simulated chip with two
// virtual SPI chips and an I2C chip wired to one device.
#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "sim_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <thread>

namespace {

using qzsim::Op;

// SPI chips on clock 0, data in 2, data out 3, chip select 1 or 4 (8 address
// bits, 16 data bits, a read/write bit); an I2C chip at 0x50 on SCL 5, SDA 6
// and 7 (one register-address byte, two data bytes).
class Registry : public SimBench {
protected:
    void SetUp() override {
        SimBench::SetUp();
        clearIDs();
        dev = openDevice();
        for (uint8_t cs : {1, 4}) {
            spiChips.push_back(std::make_shared<qzsim::SPIPeripheral>(
                qzsim::SPIWiring{0, cs, 2, 3, 8, 16, true, true, std::nullopt, true}));
            device().attach(spiChips.back());
        }
        auto bus = std::make_shared<qzsim::I2CBus>(5, 6, 7);
        i2cChip = bus->addChip(0x50, 1, 2);
        device().attach(bus);
        makeSPI(spiA, 0, 1, 2, 3, 8, 16, 1, 1);
        makeSPI(spiB, 0, 4, 2, 3, 8, 16, 1, 1);
        makeI2C(i2c, 5, 6, 7, 0x50, 1, 2);
    }
    void TearDown() override {
        clearIDs();
        SimBench::TearDown();
    }
    static void clearIDs() {
        for (uint32_t id = 0; id < qz::kDeviceIDs; ++id) mapHandles(nullptr, nullptr, id);
    }

    uint64_t driverCalls() {
        uint64_t calls = 0;
        for (unsigned op = 0; op < qzsim::kOpCount; ++op)
            calls += device().calls(static_cast<Op>(op));
        return calls;
    }

    // What each of the six register functions gives for `id`; a read's data
    // array must stay untouched when it fails.
    std::vector<int32_t> allSix(uint32_t id) {
        const uint32_t regs[2] = {1, 2};
        uint32_t data[2] = {7, 7};
        std::vector<int32_t> results = {
            write_reg(id, 1, 2),
            read_reg(id, 1),
            write_regs(id, regs, data, 2),
            read_regs(id, regs, data, 2),
            write_reg_stream(id, 1, data, 2),
            read_reg_stream(id, 1, data, 2),
        };
        EXPECT_EQ(7u, data[0]);
        EXPECT_EQ(7u, data[1]);
        return results;
    }

    FT_HANDLE dev = nullptr;
    Descriptor spiA, spiB, i2c;
    std::vector<std::shared_ptr<qzsim::SPIPeripheral>> spiChips;
    std::shared_ptr<qzsim::I2CChip> i2cChip;
};

const std::vector<int32_t> kAllFail(6, -1);

TEST_F(Registry, ID255BindsAnd256ChangesNoEntry) {
    EXPECT_EQ(0, mapHandles(dev, spiA.get(), 255));
    EXPECT_EQ(dev, qz::boundTo(255).dev);
    EXPECT_EQ(spiA.get(), qz::boundTo(255).prot);
    EXPECT_EQ(0, write_reg(255, 0x12, 0xBEEF));
    EXPECT_EQ(0xBEEF, read_reg(255, 0x12));

    const auto bindings = [] {
        std::vector<std::pair<void*, PROT_HANDLE>> all;
        for (uint32_t id = 0; id < qz::kDeviceIDs; ++id) all.emplace_back(qz::boundTo(id).dev, qz::boundTo(id).prot);
        return all;
    };
    const auto before = bindings();
    for (uint32_t id : {256u, 0x100000FFu, 0xFFFFFFFFu})
        EXPECT_EQ(-1, mapHandles(dev, i2c.get(), id));
    EXPECT_EQ(before, bindings());
}

// IDs past the tables are refused, not looked up there (the sanitizer build
// would report that) nor cut to their low byte (ID 0 is bound).
TEST_F(Registry, EmptyOrOutOfRangeIDFailsWithoutDriverCall) {
    ASSERT_EQ(0, mapHandles(dev, spiA.get(), 0));
    device().resetCallCounts();
    for (uint32_t id : {1u, 254u, 256u, 0x10000u, 0xFFFFFF00u, 0xFFFFFFFFu}) {
        EXPECT_EQ(kAllFail, allSix(id)) << "ID " << id;
    }
    EXPECT_EQ(0u, driverCalls());
}

TEST_F(Registry, BindingANullHandleEmptiesTheID) {
    ASSERT_EQ(0, mapHandles(dev, spiA.get(), 4));
    EXPECT_EQ(0, write_reg(4, 1, 2));
    EXPECT_EQ(0, mapHandles(dev, nullptr, 4));
    device().resetCallCounts();
    EXPECT_EQ(kAllFail, allSix(4));
    ASSERT_EQ(0, mapHandles(dev, spiA.get(), 4));
    EXPECT_EQ(0, mapHandles(nullptr, spiA.get(), 4));
    EXPECT_EQ(kAllFail, allSix(4));
    EXPECT_EQ(0u, driverCalls());
}

TEST_F(Registry, RebindingFromSPIToI2CSwitchesTheTransfer) {
    ASSERT_EQ(0, mapHandles(dev, spiA.get(), 3));
    EXPECT_EQ(0, write_reg(3, 0x21, 0x1111));
    ASSERT_EQ(0, mapHandles(dev, i2c.get(), 3));
    EXPECT_EQ(0, write_reg(3, 0x21, 0x2222));
    EXPECT_EQ(0x2222, read_reg(3, 0x21));
    EXPECT_EQ(0x1111u, spiChips[0]->registers.read(0x21));
    EXPECT_EQ(0x2222u, i2cChip->registers.read(0x21));
    EXPECT_EQ(1u, spiChips[0]->log().size());
}

// Each ID reaches its own chip through every register function.
TEST_F(Registry, OneDeviceUnderSeveralIDs) {
    const std::pair<uint32_t, Descriptor*> ids[] = {{1, &spiA}, {2, &spiB}, {7, &i2c}};
    for (const auto& [id, d] : ids) ASSERT_EQ(0, mapHandles(dev, d->get(), id));
    for (const auto& [id, d] : ids) {
        SCOPED_TRACE("ID " + std::to_string(id));
        const uint32_t regs[3] = {0x10, 0x20, 0x30};
        const uint32_t words[3] = {0x100 * id + 1, 0x100 * id + 2, 0x100 * id + 3};
        uint32_t got[3] = {};
        EXPECT_EQ(0, write_reg(id, 0x40, 0x100 * id));
        EXPECT_EQ(static_cast<int32_t>(0x100 * id), read_reg(id, 0x40));
        EXPECT_EQ(0, write_regs(id, regs, words, 3));
        EXPECT_EQ(0, read_regs(id, regs, got, 3));
        EXPECT_TRUE(std::equal(got, got + 3, words));
        EXPECT_EQ(0, write_reg_stream(id, 0x50, words, 3));
        std::fill(got, got + 3, 0);
        EXPECT_EQ(0, read_reg_stream(id, 0x50, got, 3));
        EXPECT_TRUE(std::equal(got, got + 3, words));
    }
    EXPECT_EQ(0x101u, spiChips[0]->registers.read(0x10));
    EXPECT_EQ(0x201u, spiChips[1]->registers.read(0x10));
    EXPECT_EQ(0x703u, i2cChip->registers.read(0x52));
}

// The status forms by ID reach the same chips; their reads leave the chip's
// registers as they were (the read buffers hold values a write would store).
TEST_F(Registry, StatusFormsByIDRoundTripAndReadsWriteNothing) {
    const std::pair<uint32_t, qzsim::RegisterFile*> ids[] = {{1, &spiChips[0]->registers},
                                                            {7, &i2cChip->registers}};
    ASSERT_EQ(0, mapHandles(dev, spiA.get(), 1));
    ASSERT_EQ(0, mapHandles(dev, i2c.get(), 7));
    for (const auto& [id, chip] : ids) {
        SCOPED_TRACE("ID " + std::to_string(id));
        const uint32_t regs[3] = {0x10, 0x20, 0x30};
        const uint32_t words[3] = {0x100 * id + 1, 0x100 * id + 2, 0x100 * id + 3};
        uint32_t value = 0, got[3] = {0xAAAA, 0xAAAA, 0xAAAA};
        QZ_RESULT r{};
        EXPECT_EQ(QZ_OK, qz_write_reg(id, 0x40, 0x100 * id, &r));
        EXPECT_EQ(QZ_OK, qz_write_regs(id, regs, words, 3, &r));
        EXPECT_EQ(QZ_OK, qz_write_reg_stream(id, 0x50, words, 3, &r));
        const auto written = chip->cells;
        EXPECT_EQ(QZ_OK, qz_read_reg(id, 0x40, &value, &r));
        EXPECT_EQ(0x100 * id, value);
        EXPECT_EQ(QZ_OK, qz_read_regs(id, regs, got, 3, &r));
        EXPECT_TRUE(std::equal(got, got + 3, words));
        std::fill(got, got + 3, 0xAAAA);
        EXPECT_EQ(QZ_OK, qz_read_reg_stream(id, 0x50, got, 3, &r));
        EXPECT_TRUE(std::equal(got, got + 3, words));
        EXPECT_EQ(written, chip->cells);
        EXPECT_EQ(words[2], chip->read(0x52));
    }
}

// The transfers' own results come back unchanged: I2C acknowledge codes too.
TEST_F(Registry, MissingAcknowledgesComeBackUnchanged) {
    ASSERT_EQ(0, mapHandles(dev, i2c.get(), 9));
    i2cChip->setFault(qzsim::I2CFault::NoDataAck, 1);
    EXPECT_EQ(-8, write_reg(9, 0x21, 0x1234));  // second data byte refused
    i2cChip->setFault(qzsim::I2CFault::NoAddressAck);
    EXPECT_EQ(-5, read_reg(9, 0x21));  // both address passes refused
}

// The ID borrows the descriptor: a change made after binding applies.
TEST_F(Registry, DescriptorChangesAfterBindingApply) {
    ASSERT_EQ(0, mapHandles(dev, spiA.get(), 5));
    ASSERT_EQ(0, write_reg(5, 1, 2));
    EXPECT_EQ(0, device().directionMask() & 0x80);
    ASSERT_EQ(0, setupOE(spiA.address(), 7, 1));
    ASSERT_EQ(0, write_reg(5, 1, 2));
    EXPECT_EQ(0x80, device().directionMask() & 0x80);
}

// Deleting a descriptor empties every ID bound to it, and only those.
TEST_F(Registry, ForgottenDescriptorLeavesNoBindingBehind) {
    for (const auto& [id, d] : {std::pair{3u, &spiA}, {4u, &spiB}, {5u, &spiA}})
        ASSERT_EQ(0, mapHandles(dev, d->get(), id));
    qz::forgetDescriptor(spiA.get());
    device().resetCallCounts();
    EXPECT_EQ(kAllFail, allSix(3));
    EXPECT_EQ(kAllFail, allSix(5));
    EXPECT_EQ(0u, driverCalls());
    EXPECT_EQ(nullptr, qz::boundTo(3).dev);
    EXPECT_EQ(0, write_reg(4, 0x33, 0x4444));
    EXPECT_EQ(0x4444, read_reg(4, 0x33));
}

// One thread rebinds an ID between two (device, descriptor) pairs while
// another reads through it: every read sees one binding whole. A torn pair
// (one device, the other's descriptor) addresses no chip and reads the
// pulled-up data line, 0xFFFF.
TEST(RegistryThreads, RebindingWhileReadingNeverMixesTwoBindings) {
    qzsim::bench().clear();
    struct Board {
        const char* serial;
        uint8_t cs;
        uint32_t value;
        void* dev = nullptr;
        Descriptor spi;
    } boards[2] = {{"A", 1, 0xAAAA, nullptr, {}}, {"B", 4, 0xBBBB, nullptr, {}}};
    for (Board& b : boards) {
        qzsim::DeviceInfo info;
        info.serial = b.serial;
        auto chip = std::make_shared<qzsim::SPIPeripheral>(
            qzsim::SPIWiring{0, b.cs, 2, 3, 8, 16, true, true, std::nullopt, true});
        chip->registers.write(0x10, b.value);
        qzsim::bench().add(info).attach(chip);
        ASSERT_EQ(0, setupFTDIdev(&b.dev, b.serial, 1000000));
        makeSPI(b.spi, 0, b.cs, 2, 3, 8, 16, 1, 1);
    }
    constexpr uint32_t kID = 7;
    ASSERT_EQ(0, mapHandles(boards[0].dev, boards[0].spi.get(), kID));
    std::atomic<bool> reading{true};
    std::thread rebinder([&] {
        for (unsigned i = 0; reading; ++i) mapHandles(boards[i & 1].dev, boards[i & 1].spi.get(), kID);
    });
    int torn = 0;
    int seen[2] = {};
    for (int i = 0; i < 3000; ++i) {
        const int32_t v = read_reg(kID, 0x10);
        if (v == 0xAAAA) ++seen[0];
        else if (v == 0xBBBB) ++seen[1];
        else ++torn;
    }
    reading = false;
    rebinder.join();
    EXPECT_EQ(0, torn);
    EXPECT_GT(seen[0] + seen[1], 0);
    mapHandles(nullptr, nullptr, kID);
    for (Board& b : boards) closeFTDI(b.dev);
    qzsim::bench().clear();
}

}  // namespace
