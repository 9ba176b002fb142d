// The dispatcher that shows the vendor's driver and the simulated bench as one
// driver, and the run-time loader of the vendor's library.
#include "dispatcher.hpp"
#include "shared_library.hpp"
#include "sim_d2xx.hpp"
#include "sim_fixture.hpp"
#include "vendor_driver.hpp"

#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

// A stand-in for the vendor's driver with a few "real" devices. Its handles
// are small integers (device index + 1), which may well equal the bench's.
class FakeRealDriver final : public qz::D2xxDriver {
public:
    struct Device {
        Device(const char* name) : serial(name) {}  // devices are listed as plain serials
        std::string serial;
        FT_STATUS listStatus = FT_OK;  // answer when listed by index
        FT_STATUS openStatus = FT_OK;
        bool open = false;
        std::vector<uint8_t> written;
    };
    std::vector<Device> devices;
    FT_STATUS countStatus = FT_OK;

    FT_STATUS listDevices(void* arg1, void* arg2, uint32_t flags) override {
        if (flags & FT_LIST_NUMBER_ONLY) return count(static_cast<uint32_t*>(arg1), countStatus);
        return copySerial(reinterpret_cast<uintptr_t>(arg1), arg2, nullptr);
    }
    FT_STATUS createDeviceInfoList(uint32_t* n) override { return count(n, FT_OK); }
    FT_STATUS getDeviceInfoDetail(uint32_t index, uint32_t*, uint32_t*, uint32_t*, uint32_t*,
                                  void* serial, void*, FT_HANDLE* handle) override {
        return copySerial(index, serial, handle);
    }
    FT_STATUS openEx(void* serial, uint32_t, FT_HANDLE* handle) override {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].serial != static_cast<const char*>(serial)) continue;
            if (devices[i].openStatus != FT_OK) return devices[i].openStatus;
            devices[i].open = true;
            *handle = reinterpret_cast<FT_HANDLE>(i + 1);
            return FT_OK;
        }
        return FT_DEVICE_NOT_FOUND;
    }
    FT_STATUS setBaudRate(FT_HANDLE h, uint32_t) override { return check(h); }
    FT_STATUS setBitMode(FT_HANDLE h, uint8_t, uint8_t) override { return check(h); }
    FT_STATUS purge(FT_HANDLE h, uint32_t) override { return check(h); }
    FT_STATUS getQueueStatus(FT_HANDLE h, uint32_t*) override { return check(h); }
    FT_STATUS read(FT_HANDLE h, void*, uint32_t, uint32_t*) override { return check(h); }
    FT_STATUS write(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* written) override {
        if (check(h) != FT_OK) return FT_INVALID_HANDLE;
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        deviceOf(h).written.insert(deviceOf(h).written.end(), bytes, bytes + n);
        *written = n;
        return FT_OK;
    }
    FT_STATUS close(FT_HANDLE h) override {
        if (check(h) != FT_OK) return FT_INVALID_HANDLE;
        deviceOf(h).open = false;
        return FT_OK;
    }

private:
    FT_STATUS count(uint32_t* n, FT_STATUS status) {
        *n = static_cast<uint32_t>(devices.size());
        return status;
    }
    FT_STATUS copySerial(uintptr_t index, void* serial, FT_HANDLE* handle) {
        if (index >= devices.size()) return FT_DEVICE_NOT_FOUND;
        std::strcpy(static_cast<char*>(serial), devices[index].serial.c_str());
        if (!handle) return devices[index].listStatus;  // listed by index
        *handle = devices[index].open ? reinterpret_cast<FT_HANDLE>(index + 1) : nullptr;
        return FT_OK;
    }
    Device& deviceOf(FT_HANDLE h) { return devices[reinterpret_cast<uintptr_t>(h) - 1]; }
    FT_STATUS check(FT_HANDLE h) {
        const auto i = reinterpret_cast<uintptr_t>(h);
        return i >= 1 && i <= devices.size() && devices[i - 1].open ? FT_OK : FT_INVALID_HANDLE;
    }
};

// Two real devices (R1, R2) from the fake vendor driver, one simulated (S1).
class DriverDispatch : public SimBench {
protected:
    void SetUp() override {
        SimBench::SetUp();
        real.devices = {{"R1"}, {"R2"}};
        addDevice("S1");
    }

    FT_HANDLE openOrNull(const char* serial) {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_OK, dispatch.openEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER,
                                         &handle));
        return handle;
    }

    // Status and serial number of combined index `index`.
    std::pair<FT_STATUS, std::string> listed(uintptr_t index) {
        char serial[64] = "";
        const FT_STATUS status = dispatch.listDevices(reinterpret_cast<void*>(index), serial,
                                                      FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
        return {status, serial};
    }

    FT_STATUS writeByte(FT_HANDLE handle, uint8_t byte) {
        uint32_t written = 0;
        return dispatch.write(handle, &byte, 1, &written);
    }

    FakeRealDriver real;
    qz::Dispatcher dispatch{{&real, &qzsim::simDriver()}};
};

TEST_F(DriverDispatch, RealDevicesAreListedBeforeSimulatedOnes) {
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, dispatch.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(3u, count);
    const std::pair<FT_STATUS, std::string> expected[] = {
        {FT_OK, "R1"}, {FT_OK, "R2"}, {FT_OK, "S1"}, {FT_DEVICE_NOT_FOUND, ""}};
    for (uintptr_t index = 0; index < std::size(expected); ++index)
        EXPECT_EQ(expected[index], listed(index)) << "index " << index;
}

TEST_F(DriverDispatch, UnlistableRealDeviceKeepsItsIndex) {
    real.devices[0].listStatus = FT_DEVICE_NOT_OPENED;
    EXPECT_EQ(FT_DEVICE_NOT_OPENED, listed(0).first);
    EXPECT_EQ("S1", listed(2).second);
}

TEST_F(DriverDispatch, RealCountFailureIsPassedOn) {
    real.countStatus = FT_IO_ERROR;
    uint32_t count = 0;
    EXPECT_EQ(FT_IO_ERROR, dispatch.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(FT_IO_ERROR, listed(2).first);  // S1's index cannot be placed
}

TEST_F(DriverDispatch, HandlesReachTheDriverThatOpenedThem) {
    FT_HANDLE r2 = openOrNull("R2");
    FT_HANDLE s1 = openOrNull("S1");
    ASSERT_NE(r2, s1);
    EXPECT_EQ(FT_OK, writeByte(r2, 0xA5));
    EXPECT_EQ(FT_OK, writeByte(s1, 0x5A));
    EXPECT_EQ(std::vector<uint8_t>{0xA5}, real.devices[1].written);
    EXPECT_EQ(std::vector<uint8_t>{0x5A}, written("S1"));
}

TEST_F(DriverDispatch, SerialOnBothSidesOpensTheRealDevice) {
    real.devices.push_back({"S1"});
    EXPECT_EQ(FT_OK, writeByte(openOrNull("S1"), 0x01));
    EXPECT_EQ(1u, real.devices[2].written.size());
    EXPECT_TRUE(written("S1").empty());
}

TEST_F(DriverDispatch, OpenFailureGivesTheStatusOfTheDriverThatKnowsTheDevice) {
    real.devices[0].openStatus = FT_DEVICE_NOT_OPENED;  // busy in another program
    const std::pair<const char*, FT_STATUS> cases[] = {
        {"R1", FT_DEVICE_NOT_OPENED}, {"NOPE", FT_DEVICE_NOT_FOUND}};
    for (const auto& [serial, status] : cases) {
        FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x77);
        EXPECT_EQ(status, dispatch.openEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER,
                                          &handle))
            << serial;
        EXPECT_EQ(reinterpret_cast<FT_HANDLE>(0x77), handle) << serial;
    }
}

TEST_F(DriverDispatch, ClosedHandleIsRefusedAndNeverReused) {
    FT_HANDLE first = openOrNull("S1");
    ASSERT_EQ(FT_OK, dispatch.close(first));
    EXPECT_EQ(FT_INVALID_HANDLE, writeByte(first, 0));
    EXPECT_EQ(FT_INVALID_HANDLE, dispatch.close(first));
    EXPECT_NE(first, openOrNull("S1"));
    EXPECT_EQ(FT_INVALID_HANDLE, writeByte(nullptr, 0));
}

TEST_F(DriverDispatch, FailedCloseKeepsTheHandle) {
    FT_HANDLE handle = openOrNull("S1");
    device("S1").failNthCall(qzsim::Op::Close, 1, FT_IO_ERROR);
    EXPECT_EQ(FT_IO_ERROR, dispatch.close(handle));
    EXPECT_EQ(FT_OK, writeByte(handle, 0));
    EXPECT_EQ(FT_OK, dispatch.close(handle));
}

TEST_F(DriverDispatch, DeviceInfoFollowsTheLastSnapshot) {
    FT_HANDLE r2 = openOrNull("R2");
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, dispatch.createDeviceInfoList(&count));
    EXPECT_EQ(3u, count);
    addDevice("S2");  // not in the snapshot
    const std::pair<FT_STATUS, std::string> expected[] = {
        {FT_OK, "R1"}, {FT_OK, "R2"}, {FT_OK, "S1"}, {FT_DEVICE_NOT_FOUND, ""}};
    for (uint32_t index = 0; index < std::size(expected); ++index) {
        char serial[64] = "";
        char description[64] = "";
        uint32_t flags = 0, type = 0, id = 0, loc = 0;
        FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x77);
        const FT_STATUS status = dispatch.getDeviceInfoDetail(index, &flags, &type, &id, &loc,
                                                              serial, description, &handle);
        EXPECT_EQ(expected[index], std::make_pair(status, std::string(serial))) << index;
        // The driver's own handle of an open device comes back as our token.
        if (status == FT_OK) {
            EXPECT_EQ(index == 1 ? r2 : nullptr, handle) << index;
        }
    }
}

TEST(DriverDispatchEmpty, NoDriverMeansNoDevices) {
    qz::Dispatcher none({nullptr});
    uint32_t count = 7;
    char serial[64] = "";
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(FT_OK, none.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(FT_DEVICE_NOT_FOUND,
              none.listDevices(nullptr, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER));
    EXPECT_EQ(FT_DEVICE_NOT_FOUND,
              none.openEx(const_cast<char*>("X"), FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(FT_OK, none.createDeviceInfoList(&count));
    EXPECT_EQ(0u, count);
}

TEST(VendorLibraryLoader, MissingLibraryGivesNoDriver) {
    EXPECT_EQ(nullptr, qz::loadD2xxLibrary("qz-no-such-d2xx-library"));
    EXPECT_EQ(nullptr, qz::loadD2xxLibrary(nullptr));
}

TEST(VendorLibraryLoader, LibraryWithoutD2xxOperationsIsRejected) {
#ifdef _WIN32
    const char* notADriver = "msvcrt.dll";
#else
    const char* notADriver = "libc.so.6";
#endif
    ASSERT_TRUE(qz::SharedLibrary(notADriver).loaded());
    EXPECT_EQ(nullptr, qz::loadD2xxLibrary(notADriver));
}

}  // namespace
