// The simulated chip's quirks, each of which a simpler model would lose:
// read-back lag, pull-ups, direction mask, output latch, peripherals that
// drive or sink pins, the receive queue, and the driver's failure answers.
#include "sim_fixture.hpp"
#include "qzsim/qzsim.h"

#include <functional>
#include <memory>

using qzsim::InputSource;
using qzsim::Op;
using qzsim::PinDrive;

namespace {

class SimulatorTest : public SimBench {
protected:
    // Writes `bytes` and returns the read-back (synchronous bit-bang is set).
    std::vector<uint8_t> play(FT_HANDLE dev, std::vector<uint8_t> bytes) {
        uint32_t count = 0;
        EXPECT_EQ(FT_OK, FT_Write(dev, bytes.data(), static_cast<uint32_t>(bytes.size()), &count));
        std::vector<uint8_t> rx(bytes.size());
        EXPECT_EQ(FT_OK, FT_Read(dev, rx.data(), count, &count));
        rx.resize(count);
        return rx;
    }
    uint32_t queued(FT_HANDLE dev) {
        uint32_t rx = 0;
        EXPECT_EQ(FT_OK, FT_GetQueueStatus(dev, &rx));
        return rx;
    }
};

}  // namespace

TEST_F(SimulatorTest, ReadbackLagsThePinsAndInputsFloatHigh) {
    // Low nibble outputs; the written high nibble has no effect and the
    // undriven inputs read high. Before the write the outputs sit at the
    // latch, 0 since opening.
    const std::vector<uint8_t> expected[] = {
        {0xF1, 0xF2, 0xF3, 0xF4},  // lag 0: each sample's own levels
        {0xF0, 0xF1, 0xF2, 0xF3},  // lag 1: the first byte shows the levels before the write
        {0xF0, 0xF0, 0xF1, 0xF2},  // lag 2
    };
    for (unsigned lag = 0; lag < 3; ++lag) {
        const std::string serial = "LAG" + std::to_string(lag);
        FT_HANDLE dev = openDevice(lag, serial);
        ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0x0F, FT_BITMODE_SYNC_BITBANG));
        EXPECT_EQ(expected[lag], play(dev, {0xA1, 0xA2, 0xA3, 0xA4})) << "lag " << lag;
    }
}

TEST_F(SimulatorTest, OutputLatchSurvivesAModeChangeAndIsZeroAfterOpening) {
    FT_HANDLE dev = openDevice();
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0x0F, FT_BITMODE_SYNC_BITBANG));
    play(dev, {0x05});
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0x0F, FT_BITMODE_SYNC_BITBANG));
    EXPECT_EQ(0xF5, device().pinLevels());
    ASSERT_EQ(FT_OK, FT_Close(dev));
    ASSERT_EQ(FT_OK, FT_OpenEx(const_cast<char*>("DEV"), FT_OPEN_BY_SERIAL_NUMBER, &dev));
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0x0F, FT_BITMODE_SYNC_BITBANG));
    EXPECT_EQ(0xF0, device().pinLevels());
    EXPECT_EQ(FT_OK, FT_Close(dev));
}

TEST_F(SimulatorTest, PeripheralsDriveInputsAndSinkButNeverRaiseOutputs) {
    FT_HANDLE dev = openDevice(0);
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0x03, FT_BITMODE_SYNC_BITBANG));
    device().attach(std::make_shared<InputSource>(PinDrive{0x12, 0x00}));  // sinks output 1, input 4
    device().attach(std::make_shared<InputSource>(PinDrive{0x21, 0x21}));  // pulls output 0 high: no effect
    EXPECT_EQ((std::vector<uint8_t>{0xED, 0xEC}), play(dev, {0x03, 0x00}));

    // Levels per sample, the last held; two drivers of one input: low wins.
    // (A mode change is a sample period too, so the sources come after it.)
    device().detachAll();
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0x00, FT_BITMODE_SYNC_BITBANG));
    device().attach(std::make_shared<InputSource>(0x80, std::vector<uint8_t>{0x00, 0x80, 0x80}));
    device().attach(std::make_shared<InputSource>(0x80, std::vector<uint8_t>{0x80, 0x80, 0x00}));
    EXPECT_EQ((std::vector<uint8_t>{0x7F, 0xFF, 0x7F, 0x7F}), play(dev, {0, 0, 0, 0}));
}

TEST_F(SimulatorTest, OnlySynchronousBitBangQueuesReadback) {
    // (Drips, stalls and short writes are exercised through the library's
    // steps in the device tests.)
    FT_HANDLE dev = openDevice();
    uint8_t bytes[5] = {1, 2, 3, 4, 5}, rx[8];
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, bytes, 5, &count));  // no bit mode yet
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0xFF, FT_BITMODE_ASYNC_BITBANG));
    ASSERT_EQ(FT_OK, FT_Write(dev, bytes, 5, &count));
    EXPECT_EQ(0u, queued(dev));
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG));
    ASSERT_EQ(FT_OK, FT_Write(dev, bytes, 5, &count));
    EXPECT_EQ(5u, queued(dev));
    ASSERT_EQ(FT_OK, FT_Read(dev, rx, 3, &count));
    EXPECT_EQ(2u, queued(dev));
    ASSERT_EQ(FT_OK, FT_Read(dev, rx, 8, &count));  // what never comes ends the read short
    EXPECT_EQ(2u, count);
    EXPECT_EQ(0x03, rx[0]);  // read-back 5 (the latch), 1, 2, then 3, 4
}

TEST_F(SimulatorTest, DeadHandlesAreRefused) {
    uint8_t byte = 0;
    uint32_t count = 0;
    const std::pair<const char*, std::function<FT_STATUS(FT_HANDLE)>> ops[] = {
        {"SetBaudRate", [](FT_HANDLE h) { return FT_SetBaudRate(h, 9600); }},
        {"SetBitMode", [](FT_HANDLE h) { return FT_SetBitMode(h, 0xFF, FT_BITMODE_SYNC_BITBANG); }},
        {"Purge", [](FT_HANDLE h) { return FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX); }},
        {"Write", [&](FT_HANDLE h) { return FT_Write(h, &byte, 1, &count); }},
        {"GetQueueStatus", [&](FT_HANDLE h) { return FT_GetQueueStatus(h, &count); }},
        {"Read", [&](FT_HANDLE h) { return FT_Read(h, &byte, 1, &count); }},
    };
    FT_HANDLE closed = openDevice(1, "CLOSED");
    ASSERT_EQ(FT_OK, FT_Close(closed));
    FT_HANDLE unplugged = openDevice(1, "GONE");
    ASSERT_TRUE(qzsim::bench().remove("GONE"));
    for (const auto& [name, op] : ops) {
        EXPECT_EQ(FT_INVALID_HANDLE, op(nullptr)) << name;
        EXPECT_EQ(FT_INVALID_HANDLE, op(reinterpret_cast<FT_HANDLE>(0x1))) << name;
        EXPECT_EQ(FT_INVALID_HANDLE, op(closed)) << name;
        EXPECT_EQ(FT_IO_ERROR, op(unplugged)) << name;
    }
    EXPECT_EQ(FT_INVALID_HANDLE, FT_Close(closed));
}

TEST_F(SimulatorTest, OpenAndBaudRefusalsUseTheDriversStatus) {
    addDevice("DEV");
    FT_HANDLE dev = nullptr, again = nullptr;
    EXPECT_EQ(FT_DEVICE_NOT_FOUND, FT_OpenEx(const_cast<char*>("NOPE"), FT_OPEN_BY_SERIAL_NUMBER, &dev));
    ASSERT_EQ(FT_OK, FT_OpenEx(const_cast<char*>("DEV"), FT_OPEN_BY_SERIAL_NUMBER, &dev));
    EXPECT_EQ(FT_DEVICE_NOT_OPENED, FT_OpenEx(const_cast<char*>("DEV"), FT_OPEN_BY_SERIAL_NUMBER, &again));
    for (const uint32_t baud : {0u, 182u, 3000001u}) EXPECT_EQ(FT_INVALID_BAUD_RATE, FT_SetBaudRate(dev, baud)) << baud;
    EXPECT_EQ(FT_OK, FT_SetBaudRate(dev, 3000000));
    EXPECT_EQ(3000000u, device().baudRate());
    EXPECT_EQ(FT_OK, FT_Close(dev));
}

TEST_F(SimulatorTest, CApiRefusesBadNamesAndValues) {
    EXPECT_EQ(0, qzsim_add_device("C1", nullptr, 1));
    for (const char* serial : {"C1", "0123456789ABCDEF", static_cast<const char*>(nullptr)})
        EXPECT_EQ(-1, qzsim_add_device(serial, nullptr, 1));  // taken, 16 characters, none
    EXPECT_EQ(-1, qzsim_set_readback_lag("C1", 3));
    EXPECT_EQ(-1, qzsim_call_count("C1", "Frobnicate"));
    EXPECT_EQ(0, qzsim_call_count("C1", "Write"));
    EXPECT_EQ(-1, qzsim_read_trace("NOPE", nullptr, nullptr, 0));
    EXPECT_EQ(-1, qzsim_get_register(12345, 0, nullptr));
    EXPECT_EQ(0, qzsim_remove_device("C1"));
    EXPECT_EQ(-1, qzsim_remove_device("C1"));
}
