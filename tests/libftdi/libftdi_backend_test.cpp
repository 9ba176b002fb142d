// The libftdi1 backend itself: what it lists, the divisor the chip receives,
// and its failure paths, through the real libftdi1 over the libusb stand-in.
#include "libftdi_driver.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "sim_fixture.hpp"
#include "standin.h"

#include <libusb.h>

namespace {

class LibftdiBackend : public SimBench {
protected:
    void SetUp() override {
        SimBench::SetUp();
        qzusb_standin_reset();
    }
    void TearDown() override {
        qzusb_standin_reset();
        SimBench::TearDown();
    }
    // An SPI chip (8 address, 16 data bits) on the open device "DEV".
    std::shared_ptr<qzsim::SPIPeripheral> attachSPI(Descriptor& d) {
        makeSPI(d, 0, 1, 2, 3, 8, 16, 1, 0);
        auto chip = std::make_shared<qzsim::SPIPeripheral>(
            qzsim::SPIWiring{0, 1, 2, 3, 8, 16, false, true, std::nullopt, false});
        device().attach(chip);
        return chip;
    }
};

TEST_F(LibftdiBackend, ListsTheDevicesFromTheirUsbDescriptors) {
    ASSERT_NE(nullptr, qz::libftdiDriver()) << qz::libftdiLibraryName() << " was not loaded";
    qzsim::DeviceInfo info;
    info.serial = "HSPEED";
    info.description = "Board with FT232H";
    info.type = FT_DEVICE_232H;
    info.id = 0x04036014;
    info.profile = *qzsim::chipProfile("FT232H");
    qzsim::bench().add(info);
    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char description[64] = "", serial[64] = "";
    ASSERT_EQ(1, getDeviceInfo(0, &flags, &type, &id, &loc, description, serial, 1));
    EXPECT_STREQ("HSPEED", serial);
    EXPECT_STREQ("Board with FT232H", description);
    EXPECT_EQ(uint32_t{FT_DEVICE_232H}, type);
    EXPECT_EQ(0x04036014u, id);
    EXPECT_EQ(2u, flags);  // high speed, not open
    EXPECT_EQ(1, printConnectedDevices(0, 0));
}

// D2XX's divisors for an FT232R (3 MHz base, eighths coded in bits 14..16).
struct Divisor {
    uint32_t baud;
    uint16_t value, index;
};
const Divisor kDivisors[] = {
    {3000000, 0x0000, 0}, {2000000, 0x0001, 0}, {1000000, 0x0003, 0},
    {115200, 0x001A, 0},  {100000, 0x001E, 0},  {9600, 0x4138, 0},
};

TEST_F(LibftdiBackend, ChipReceivesTheVendorDriversDivisor) {
    for (const Divisor& d : kDivisors) {
        addDevice("DIV");
        FT_HANDLE dev = open("DIV", d.baud);
        uint16_t value = 0xFFFF, index = 0xFFFF;
        ASSERT_EQ(0, qzusb_standin_baud_request("DIV", &value, &index));
        EXPECT_EQ(d.value, value) << d.baud;
        EXPECT_EQ(d.index, index) << d.baud;
        // Set again with bit-bang mode on, where libftdi scales the rate by 4.
        ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0x0F, FT_BITMODE_SYNC_BITBANG));
        ASSERT_EQ(FT_OK, FT_SetBaudRate(dev, d.baud));
        ASSERT_EQ(0, qzusb_standin_baud_request("DIV", &value, &index));
        EXPECT_EQ(d.value, value) << d.baud << " in bit-bang mode";
        closeFTDI(dev);
        qzsim::bench().clear();
    }
}

TEST_F(LibftdiBackend, LongPatternIsNotStalledBehindTheChipsFifo) {
    FT_HANDLE dev = openDevice();
    std::vector<uint8_t> pattern(3000);
    for (std::size_t k = 0; k < pattern.size(); ++k) pattern[k] = static_cast<uint8_t>(k * 7);
    EXPECT_EQ(3000, writeCustomPattern(dev, 0xFF, pattern.data(), 3000));
    EXPECT_EQ(pattern, written());
}

TEST_F(LibftdiBackend, UsbTransferSizeIsCheckedAndKeepsTransfersWhole) {
    FT_HANDLE dev = openDevice();
    EXPECT_EQ(uint32_t{FT_INVALID_PARAMETER}, FT_SetUSBParameters(dev, 100, 4096));
    ASSERT_EQ(uint32_t{FT_OK}, FT_SetUSBParameters(dev, 64, 64));
    Descriptor d;
    attachSPI(d);
    ASSERT_EQ(0, writeSPI(dev, d.get(), 0x12, 0xBEEF));
    EXPECT_EQ(0xBEEF, readSPI(dev, d.get(), 0x12));
}

TEST_F(LibftdiBackend, DeviceGoneMidTransferIsUnplugged) {
    FT_HANDLE dev = openDevice();
    Descriptor d;
    attachSPI(d);
    device().unplugAtCall(3);  // after the bit mode and the purge
    uint32_t value = 0;
    QZ_RESULT r{};
    EXPECT_EQ(QZ_UNPLUGGED, qz_readSPI(dev, d.get(), 0x12, &value, &r));
    EXPECT_EQ(uint32_t{FT_IO_ERROR}, r.driverStatus);
}

TEST_F(LibftdiBackend, ReadBackThatStopsComingIsATimeout) {
    FT_HANDLE dev = openDevice();
    Descriptor d;
    attachSPI(d);
    device().setReadbackStall(10);
    uint32_t value = 0;
    EXPECT_EQ(QZ_TIMEOUT, qz_readSPI(dev, d.get(), 0x12, &value, nullptr));
}

TEST_F(LibftdiBackend, PermissionDeniedNamesTheUdevRule) {
    addDevice("LOCKED");
    qzusb_standin_deny("LOCKED", 1);
    void* dev = nullptr;
    const std::string out = captureStdout([&] {
        EXPECT_EQ(int32_t{FT_DEVICE_NOT_OPENED}, setupFTDIdev(&dev, "LOCKED", 1000000));
    });
    EXPECT_NE(std::string::npos, out.find("60-qzftdi.rules")) << out;
    EXPECT_EQ(nullptr, dev);
}

// The stand-in's chip: a write whose read-back the FIFOs cannot hold stalls.
TEST_F(LibftdiBackend, StandInStallsAWriteBeyondTheChipsFifos) {
    addDevice("RAW");
    libusb_context* ctx = nullptr;
    ASSERT_EQ(0, libusb_init(&ctx));
    libusb_device** list = nullptr;
    ASSERT_EQ(1, libusb_get_device_list(ctx, &list));
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(0, libusb_open(list[0], &h));
    ASSERT_EQ(0, libusb_claim_interface(h, 0));
    ASSERT_EQ(0, libusb_control_transfer(h, 0x40, 0x0B, 0x04FF, 0, nullptr, 0, 1000));
    std::vector<unsigned char> bytes(1000, 0x55);
    int actual = 0;
    EXPECT_EQ(LIBUSB_ERROR_TIMEOUT, libusb_bulk_transfer(h, 0x02, bytes.data(), 1000, &actual, 1000));
    EXPECT_EQ(256 + 128, actual);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

}  // namespace
