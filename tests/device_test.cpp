// Device connection, pin direction, the read-back wait and the transaction
// steps, on the simulated chip with injected driver failures.
#include "sim_fixture.hpp"

#include <functional>

using qzsim::Op;

namespace {
class DeviceTest : public SimBench {};
const qz::PlayOptions kNoReadBack{false, std::nullopt, false};
}  // namespace

TEST_F(DeviceTest, PinDirectionMaskHoldsOnlyTheOutputs) {
    FT_HANDLE dev = openDevice();
    struct Case {
        bool spi;
        uint8_t pins[4];  // SPI: clock, select, data in, data out; I2C: SCL, SDA write, SDA read
        int outputEnable;  // pin, or -1
        int32_t polarity;
        uint8_t mask;
    };
    const Case cases[] = {{true, {0, 3, 1, 2}, -1, 1, 0x0B}, {true, {0, 3, 1, 2}, 7, 1, 0x8B},
                          {true, {0, 3, 1, 2}, 7, 0, 0x8B},  {false, {0, 1, 2}, -1, 1, 0x03},
                          {false, {0, 1, 2}, 6, 1, 0x43},    {true, {4, 5, 6, 6}, -1, 1, 0x70}};
    for (const Case& c : cases) {
        Descriptor d;
        if (c.spi) makeSPI(d, c.pins[0], c.pins[1], c.pins[2], c.pins[3], 8, 8, 1, 0);
        else makeI2C(d, c.pins[0], c.pins[1], c.pins[2], 0x50, 1, 1);
        if (c.outputEnable >= 0) setupOE(d.address(), static_cast<uint8_t>(c.outputEnable), c.polarity);
        EXPECT_EQ(c.mask, qz::pinDirectionMask(d.des())) << int{c.mask};
        EXPECT_TRUE(qz::playStream(dev, d.des(), {}, kNoReadBack, nullptr).ok());
        EXPECT_EQ(c.mask, device().directionMask()) << int{c.mask};
        EXPECT_EQ(FT_BITMODE_SYNC_BITBANG, device().bitMode());
    }
    device().failNthCall(Op::SetBitMode, 1, FT_IO_ERROR);
    Descriptor i2c;
    EXPECT_EQ(QZ_UNPLUGGED,
              qz::playStream(dev, makeI2C(i2c, 0, 1, 2, 0x50, 1, 1)->des(), {}, kNoReadBack, nullptr).status);
}

TEST_F(DeviceTest, OpenFailuresReturnTheStatusPrintAndLeakNoHandle) {
    const std::string badBaud = "FTDI Error, invalid Baudrate\n";
    const struct {
        const char* serial;
        uint32_t baud;
        std::function<void()> inject;
        int32_t status;
        std::string message;
    } cases[] = {
        {"NOPE", 9600, [] {}, FT_DEVICE_NOT_FOUND, "FTDI Error, Cannot open Serial NOPE\n"},
        {"DEV", 9600, [] { qzsim::bench().failNthCall(Op::OpenEx, 1, FT_IO_ERROR); }, FT_IO_ERROR,
         "FTDI Error, Cannot open Serial DEV\n"},
        {"DEV", 0, [] {}, FT_INVALID_BAUD_RATE, badBaud},
        {"DEV", 3000001, [] {}, FT_INVALID_BAUD_RATE, badBaud},
        {"DEV", 9600, [this] { device().failNthCall(Op::SetBaudRate, 1, FT_OTHER_ERROR); }, FT_OTHER_ERROR, badBaud},
    };
    for (const auto& c : cases) {
        qzsim::bench().clear();
        addDevice("DEV");
        c.inject();
        void* const untouched = reinterpret_cast<void*>(0x5A5A);
        void* handle = untouched;
        int32_t result = 0;
        EXPECT_EQ(c.message, captureStdout([&] { result = setupFTDIdev(&handle, c.serial, c.baud); }));
        EXPECT_EQ(c.status, result) << c.message;
        EXPECT_EQ(untouched, handle) << c.message;
        EXPECT_FALSE(device().isOpen()) << c.message;  // a refused baud rate closes it again
        ASSERT_EQ(0, setupFTDIdev(&handle, "DEV", 9600)) << c.message;
        EXPECT_EQ(FT_OK, closeFTDI(handle));
    }
}

TEST_F(DeviceTest, SecondOpenIsRefusedAndCloseHandsOnTheStatus) {
    FT_HANDLE dev = openDevice();
    void* again = nullptr;
    EXPECT_EQ("FTDI Error, Cannot open Serial DEV\n",
              captureStdout([&] { EXPECT_EQ(FT_DEVICE_NOT_OPENED, setupFTDIdev(&again, "DEV", 9600)); }));
    device().failNthCall(Op::Close, 1, FT_IO_ERROR);
    EXPECT_EQ(FT_IO_ERROR, closeFTDI(dev));
    EXPECT_EQ(FT_OK, closeFTDI(dev));
    EXPECT_EQ(FT_INVALID_HANDLE, closeFTDI(dev));
}

TEST_F(DeviceTest, WaitGivesUpOnAStalledQueue) {
    FT_HANDLE dev = openDevice();
    const uint8_t pattern[10] = {};
    device().setReadbackStall(4);
    qz::ByteStream rx;
    EXPECT_EQ(QZ_TIMEOUT,
              qz::playSamples(dev, 0xFF, pattern, qz::PlayOptions{true, 10u, false}, &rx).status);
    EXPECT_GT(device().calls(Op::GetQueueStatus), 1u);  // it kept polling until the bound
}

TEST_F(DeviceTest, WaitBoundNeverCutsOffAWorkingDevice) {
    // Even one sample per baud (slower than any chip clocks) fits the bound.
    for (const uint32_t baud : {183u, 9600u, 3000000u}) {
        const std::string serial = "B" + std::to_string(baud);
        addDevice(serial);
        FT_HANDLE dev = open(serial, baud);
        for (const uint32_t count : {1u, 54u, 1u << 20, UINT32_MAX})
            EXPECT_GT(qz::waitBoundMs(dev, count), uint64_t{count} * 1000 / baud) << baud << " " << count;
    }
    EXPECT_GT(qz::waitBoundMs(nullptr, 100000), 100000ull * 1000 / 183);  // rate unknown: the slowest
}

TEST_F(DeviceTest, WaitCopesWithADripAndFailsOnAFailedPoll) {
    FT_HANDLE dev = openDevice();
    device().failNthCall(Op::GetQueueStatus, 1, FT_IO_ERROR);
    EXPECT_TRUE(qz::playSamples(dev, 0xFF, {}, kNoReadBack, nullptr).ok());  // one poll, whatever its status
    EXPECT_EQ(1u, device().calls(Op::GetQueueStatus));

    const uint8_t pattern[20] = {};
    const qz::PlayOptions waitForAll{true, 20u, false};
    qz::ByteStream rx;
    device().setReadbackDrip(3);
    EXPECT_TRUE(qz::playSamples(dev, 0xFF, pattern, waitForAll, &rx).ok());
    EXPECT_EQ(1u + 7u, device().calls(Op::GetQueueStatus));  // 3 more bytes per poll

    ASSERT_TRUE(qz::purgeDevice(dev).ok());
    device().resetCallCounts();
    device().failNthCall(Op::GetQueueStatus, 3, FT_IO_ERROR);
    EXPECT_EQ(QZ_UNPLUGGED, qz::playSamples(dev, 0xFF, pattern, waitForAll, &rx).status);
    EXPECT_EQ(3u, device().calls(Op::GetQueueStatus));
}

TEST_F(DeviceTest, ShortWriteShortReadOrRefusedPurgeIsAFailure) {
    FT_HANDLE dev = openDevice();
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG));
    const std::vector<uint8_t> stream(8, 0x55);
    qz::ByteStream rx;
    const auto play = [&](std::optional<uint32_t> waitFor) {
        return qz::playSamples(dev, 0xFF, stream, qz::PlayOptions{true, waitFor, false}, &rx);
    };
    device().setShortWrite(5);
    EXPECT_TRUE(play(8u).isShortWrite());
    device().clearFaults();
    ASSERT_TRUE(qz::purgeDevice(dev).ok());
    EXPECT_EQ(0u, device().queuedReadback());
    EXPECT_TRUE(play(8u).ok());
    EXPECT_EQ(8u, rx.size());
    device().setReadbackStall(6);
    EXPECT_EQ(QZ_TIMEOUT, play(std::nullopt).status);  // the driver's read came back short
    device().failNthCall(Op::Purge, 1, FT_IO_ERROR);
    EXPECT_FALSE(qz::purgeDevice(dev).ok());
}

TEST_F(DeviceTest, NullDeviceHandleGetsAFailureNotACrash) {
    addDevice("DEV");
    const uint8_t pattern[2] = {1, 0};
    Descriptor spi;
    makeSPI(spi, 0, 3, 1, 2, 8, 8, 1, 0);
    void* handle = nullptr;
    EXPECT_EQ("", captureStdout([&] {
        EXPECT_EQ(FT_INVALID_HANDLE, closeFTDI(nullptr));
        EXPECT_EQ(-1, toggleSingleBit(nullptr, 0, 0, 1));
        EXPECT_EQ(-1, writeCustomPattern(nullptr, 0xFF, pattern, 2));
        EXPECT_FALSE(qz::purgeDevice(nullptr).ok());
        qz::ByteStream rx;
        EXPECT_EQ(QZ_DRIVER_ERROR, qz::playSamples(nullptr, 0xFF, pattern,
                                                   qz::PlayOptions{true, 2u, false}, &rx).status);
        EXPECT_NE(0, setupFTDIdev(nullptr, "DEV", 9600));
        EXPECT_NE(0, setupFTDIdev(&handle, nullptr, 9600));
    }));
    EXPECT_EQ(nullptr, handle);
    EXPECT_FALSE(device().isOpen());
}
