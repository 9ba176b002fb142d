// Handles used the wrong way, as host programs do by mistake: descriptors
// used or deleted after deletion, IDs left bound to a deleted descriptor,
// device handles and descriptors swapped, closed devices reused, null
// pointers. Each gives the failure value and never touches freed or foreign
// memory (the asan build reports any such access).
#include "qzsim/spi_peripheral.hpp"
#include "sim_fixture.hpp"

#include <array>
#include <memory>

namespace {

using qzsim::Op;

// A device with a virtual SPI chip on clock 0, chip select 3, data in 1 and
// data out 2 (8 address bits, 16 data bits, read/write bit), and a live SPI
// descriptor for it.
class Misuse : public SimBench {
protected:
    void SetUp() override {
        SimBench::SetUp();
        for (uint32_t id = 0; id < qz::kDeviceIDs; ++id) mapHandles(nullptr, nullptr, id);
        dev = openDevice();
        chip = std::make_shared<qzsim::SPIPeripheral>(
            qzsim::SPIWiring{0, 3, 1, 2, 8, 16, true, true, std::nullopt, true});
        device().attach(chip);
        chip->registers.write(0x12, 0xBEEF);
    }
    void TearDown() override {
        for (uint32_t id = 0; id < qz::kDeviceIDs; ++id) mapHandles(nullptr, nullptr, id);
        SimBench::TearDown();
    }

    static PROT_HANDLE newSPI() {
        PROT_HANDLE spi = nullptr;
        EXPECT_EQ(0, initSPIDev(&spi, 0, 3, 1, 2, 8, 16, 1, 1));
        return spi;
    }

    uint64_t writes() { return device().calls(Op::Write); }

    // Every transfer that takes a descriptor, with `prot` on device `d`: each
    // must give -1.
    static void expectEveryTransferRefused(void* d, PROT_HANDLE prot) {
        const uint32_t regs[2] = {0x12, 0x13};
        uint32_t data[2] = {7, 7};
        EXPECT_EQ(-1, readSPI(d, prot, 0x12));
        EXPECT_EQ(-1, writeSPI(d, prot, 0x12, 1));
        EXPECT_EQ(-1, readI2C(d, prot, 0x12));
        EXPECT_EQ(-1, writeI2C(d, prot, 0x12, 1));
        EXPECT_EQ(-1, multiRegRW(d, prot, regs, data, 2, 0));
        EXPECT_EQ(-1, multiRegRW(d, prot, regs, data, 2, 1));
        EXPECT_EQ(-1, multiRegStreamRW(d, prot, 0x12, data, 2, 0));
        EXPECT_EQ(-1, multiRegStreamRW(d, prot, 0x12, data, 2, 1));
        EXPECT_EQ(7u, data[0]);  // a refused read leaves the caller's data alone
        EXPECT_EQ(7u, data[1]);
    }

    FT_HANDLE dev = nullptr;
    std::shared_ptr<qzsim::SPIPeripheral> chip;
};

TEST_F(Misuse, DeletedDescriptorIsRefusedWithoutDriverCall) {
    PROT_HANDLE spi = newSPI();
    ASSERT_EQ(0xBEEF, readSPI(dev, spi, 0x12));
    const uint64_t before = writes();
    ASSERT_EQ(0, deleteSPIDev(spi));
    expectEveryTransferRefused(dev, spi);
    PROT_HANDLE stale = spi;
    EXPECT_EQ(-1, setupOE(&stale, 7, 1));
    EXPECT_EQ(before, writes());
}

TEST_F(Misuse, DescriptorDeletedTwiceIsRefusedHarmlessly) {
    PROT_HANDLE spi = newSPI();
    PROT_HANDLE i2c = nullptr;
    ASSERT_EQ(0, initI2CDev(&i2c, 4, 5, 6, 0x50, 1, 1));
    EXPECT_EQ(0, deleteSPIDev(spi));
    EXPECT_EQ(-1, deleteSPIDev(spi));
    EXPECT_EQ(-1, deleteI2CDev(spi));
    EXPECT_EQ(0, deleteI2CDev(i2c));
    EXPECT_EQ(-1, deleteI2CDev(i2c));
    // The library still works: a fresh descriptor reads the chip.
    PROT_HANDLE fresh = newSPI();
    EXPECT_EQ(0xBEEF, readSPI(dev, fresh, 0x12));
    EXPECT_EQ(0, deleteSPIDev(fresh));
}

TEST_F(Misuse, IdBoundToDeletedDescriptorReadsFailure) {
    PROT_HANDLE spi = newSPI();
    ASSERT_EQ(0, mapHandles(dev, spi, 5));
    ASSERT_EQ(0xBEEF, read_reg(5, 0x12));
    ASSERT_EQ(0, deleteSPIDev(spi));
    // A new descriptor may well be given the freed memory: the ID must not
    // come back to life through it.
    PROT_HANDLE other = newSPI();
    const uint64_t before = writes();
    const uint32_t regs[2] = {0x12, 0x13};
    uint32_t data[2] = {7, 7};
    EXPECT_EQ(-1, read_reg(5, 0x12));
    EXPECT_EQ(-1, write_reg(5, 0x12, 1));
    EXPECT_EQ(-1, read_regs(5, regs, data, 2));
    EXPECT_EQ(-1, write_regs(5, regs, data, 2));
    EXPECT_EQ(-1, read_reg_stream(5, 0x12, data, 2));
    EXPECT_EQ(-1, write_reg_stream(5, 0x12, data, 2));
    EXPECT_EQ(before, writes());
    EXPECT_EQ(7u, data[0]);
    EXPECT_EQ(0xBEEFu, chip->registers.read(0x12));
    EXPECT_EQ(0, deleteSPIDev(other));
}

TEST_F(Misuse, StaleDescriptorNeverReachesALaterOne) {
    // Deleted and created over and over: an allocator hands the freed memory
    // straight back, and a handle that was an address would then match.
    PROT_HANDLE later = newSPI();
    for (int round = 0; round < 64; ++round) {
        PROT_HANDLE stale = later;
        ASSERT_EQ(0, deleteSPIDev(stale));
        later = newSPI();
        const uint64_t before = writes();
        ASSERT_EQ(-1, writeSPI(dev, stale, 0x12, 0x1234));
        ASSERT_EQ(-1, deleteSPIDev(stale));
        ASSERT_EQ(before, writes());
    }
    EXPECT_EQ(0xBEEF, readSPI(dev, later, 0x12));  // neither written nor deleted
    EXPECT_EQ(0, deleteSPIDev(later));
}

TEST_F(Misuse, DeleteLeavesOtherBindingsOfTheDeviceAlone) {
    PROT_HANDLE doomed = newSPI();
    PROT_HANDLE kept = newSPI();
    ASSERT_EQ(0, mapHandles(dev, doomed, 1));
    ASSERT_EQ(0, mapHandles(dev, kept, 2));
    ASSERT_EQ(0, deleteSPIDev(doomed));
    EXPECT_EQ(-1, read_reg(1, 0x12));
    EXPECT_EQ(0xBEEF, read_reg(2, 0x12));
    EXPECT_EQ(0, deleteSPIDev(kept));
}

TEST_F(Misuse, DeviceHandlePassedAsDescriptorIsRefused) {
    const uint64_t before = writes();
    expectEveryTransferRefused(dev, static_cast<PROT_HANDLE>(dev));
    PROT_HANDLE asDescriptor = dev;
    EXPECT_EQ(-1, setupOE(&asDescriptor, 7, 1));
    EXPECT_EQ(-1, deleteSPIDev(dev));
    EXPECT_EQ(before, writes());
    // Nothing was freed or changed: the device still works.
    PROT_HANDLE spi = newSPI();
    EXPECT_EQ(0xBEEF, readSPI(dev, spi, 0x12));
    EXPECT_EQ(0, deleteSPIDev(spi));
}

TEST_F(Misuse, ForeignPointerPassedAsDescriptorIsRefused) {
    // Memory that looks like nothing in particular: on the stack and on the
    // heap, filled with bytes that would make a plausible descriptor.
    std::array<uint8_t, 256> onStack{};
    onStack.fill(1);
    auto onHeap = std::make_unique<std::array<uint8_t, 256>>();
    onHeap->fill(1);
    for (void* foreign : {static_cast<void*>(onStack.data()), static_cast<void*>(onHeap->data())}) {
        expectEveryTransferRefused(dev, foreign);
        EXPECT_EQ(-1, deleteSPIDev(foreign));
        mapHandles(dev, foreign, 3);  // binding it may be refused or not; using it is
        EXPECT_EQ(-1, read_reg(3, 0x12));
    }
}

TEST_F(Misuse, DescriptorPassedAsDeviceHandleIsRefused) {
    PROT_HANDLE spi = newSPI();
    expectEveryTransferRefused(static_cast<void*>(spi), spi);
    const uint8_t pattern[2] = {1, 0};
    EXPECT_EQ(-1, writeCustomPattern(spi, 0x01, pattern, 2));
    EXPECT_EQ(-1, toggleSingleBit(spi, 0, 1, 0));
    EXPECT_EQ(-1, setLowLatency(spi, 1));
    EXPECT_NE(0, closeFTDI(spi));  // the driver's status for a handle it never gave
    // The descriptor survived being taken for a device.
    EXPECT_EQ(0xBEEF, readSPI(dev, spi, 0x12));
    EXPECT_EQ(0, deleteSPIDev(spi));
}

TEST_F(Misuse, ClosedDeviceHandleIsRefused) {
    addDevice("SPARE");
    void* spare = nullptr;
    ASSERT_EQ(0, setupFTDIdev(&spare, "SPARE", 1000000));
    PROT_HANDLE spi = newSPI();
    ASSERT_EQ(0, mapHandles(spare, spi, 9));
    ASSERT_EQ(0, closeFTDI(spare));
    expectEveryTransferRefused(spare, spi);
    EXPECT_EQ(-1, read_reg(9, 0x12));
    const uint8_t pattern[2] = {1, 0};
    EXPECT_EQ(-1, writeCustomPattern(spare, 0x01, pattern, 2));
    EXPECT_EQ(-1, toggleSingleBit(spare, 0, 1, 0));
    EXPECT_EQ(-1, setLowLatency(spare, 1));
    EXPECT_EQ(-1, getLowLatency(spare));
    EXPECT_NE(0, closeFTDI(spare));
    EXPECT_EQ(0, deleteSPIDev(spi));
}

TEST_F(Misuse, NullHandlesAndPointersGiveFailure) {
    PROT_HANDLE spi = newSPI();
    const uint32_t regs[2] = {0x12, 0x13};
    uint32_t data[2] = {7, 7};
    ASSERT_EQ(0, mapHandles(dev, spi, 4));
    const uint64_t before = writes();

    expectEveryTransferRefused(nullptr, spi);
    expectEveryTransferRefused(dev, nullptr);
    EXPECT_EQ(-1, multiRegRW(dev, spi, nullptr, data, 2, 0));
    EXPECT_EQ(-1, multiRegRW(dev, spi, regs, nullptr, 2, 0));
    EXPECT_EQ(-1, multiRegRW(dev, spi, regs, nullptr, 2, 1));
    EXPECT_EQ(-1, multiRegStreamRW(dev, spi, 0x12, nullptr, 2, 0));
    EXPECT_EQ(-1, multiRegStreamRW(dev, spi, 0x12, nullptr, 2, 1));
    EXPECT_EQ(-1, read_regs(4, nullptr, data, 2));
    EXPECT_EQ(-1, read_regs(4, regs, nullptr, 2));
    EXPECT_EQ(-1, write_regs(4, nullptr, data, 2));
    EXPECT_EQ(-1, write_regs(4, regs, nullptr, 2));
    EXPECT_EQ(-1, read_reg_stream(4, 0x12, nullptr, 2));
    EXPECT_EQ(-1, write_reg_stream(4, 0x12, nullptr, 2));
    EXPECT_EQ(-1, writeCustomPattern(dev, 0x01, nullptr, 2));
    EXPECT_EQ(-1, writeCustomPattern(nullptr, 0x01, reinterpret_cast<const uint8_t*>(regs), 2));
    EXPECT_EQ(-1, toggleSingleBit(nullptr, 0, 1, 0));
    EXPECT_EQ(before, writes());

    EXPECT_EQ(-1, initSPIDev(nullptr, 0, 3, 1, 2, 8, 16, 1, 1));
    EXPECT_EQ(-1, initI2CDev(nullptr, 4, 5, 6, 0x50, 1, 1));
    EXPECT_EQ(-1, setupOE(nullptr, 7, 1));
    EXPECT_EQ(0, deleteSPIDev(nullptr));  // deleting nothing is harmless
    EXPECT_EQ(-1, getConnectedDevices(nullptr, 2));
    captureStdout([&] {
        EXPECT_NE(0, setupFTDIdev(nullptr, "DEV", 1000000));
        void* none = nullptr;
        EXPECT_NE(0, setupFTDIdev(&none, nullptr, 1000000));
        EXPECT_NE(0, closeFTDI(nullptr));
    });
    EXPECT_EQ(0xBEEF, read_reg(4, 0x12));  // and the device still works
    EXPECT_EQ(0, deleteSPIDev(spi));
}

TEST_F(Misuse, StatusFormsCallStaleAndNullArgumentsBad) {
    PROT_HANDLE spi = newSPI();
    PROT_HANDLE i2c = nullptr;
    ASSERT_EQ(0, initI2CDev(&i2c, 4, 5, 6, 0x50, 1, 1));
    PROT_HANDLE stale = newSPI();
    ASSERT_EQ(0, deleteSPIDev(stale));
    const uint32_t regs[2] = {0x12, 0x13};
    uint32_t data[2] = {7, 7};
    uint32_t value = 7, count = 7;
    uint8_t present[QZ_I2C_ADDRESS_COUNT] = {};
    QZ_RESULT detail{};
    const uint64_t before = writes();
    for (PROT_HANDLE bad : {stale, static_cast<PROT_HANDLE>(dev), PROT_HANDLE{nullptr}}) {
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_readSPI(dev, bad, 0x12, &value, &detail));
        EXPECT_EQ(QZ_BAD_ARGUMENT, detail.status);
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_writeSPI(dev, bad, 0x12, 1, nullptr));
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_readI2C(dev, bad, 0x12, &value, nullptr));
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_multiRegRW(dev, bad, regs, data, 2, 0, nullptr));
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_multiRegStreamRW(dev, bad, 0x12, data, 2, 0, nullptr));
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_i2cScan(dev, bad, present, &count, nullptr));
        EXPECT_EQ(QZ_BAD_ARGUMENT, qz_i2cRecoverBus(dev, bad, nullptr));
        EXPECT_EQ(-1, i2cScan(dev, bad, present));
        EXPECT_EQ(-1, i2cRecoverBus(dev, bad));
        EXPECT_EQ(-1, setI2CStrictTiming(bad, 1));
        EXPECT_EQ(-1, getI2CStrictTiming(bad));
    }
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_readSPI(dev, spi, 0x12, nullptr, nullptr));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_multiRegRW(dev, spi, nullptr, data, 2, 0, nullptr));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_multiRegStreamRW(dev, spi, 0x12, nullptr, 2, 0, nullptr));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_i2cScan(dev, i2c, nullptr, &count, nullptr));
    EXPECT_EQ(-1, i2cScan(dev, i2c, nullptr));
    EXPECT_EQ(before, writes());
    EXPECT_EQ(7u, value);
    EXPECT_EQ(7u, data[0]);
    EXPECT_EQ(0, deleteSPIDev(spi));
    EXPECT_EQ(0, deleteI2CDev(i2c));
}

}  // namespace
