// The shipped library as a host program sees it, through its exported C
// functions only. Run twice:
//   without arguments, where no vendor driver can be found: simulated devices
//     only, and only once a bench is set up;
//   with --with-vendor-driver, where the simulator's drop-in D2XX library is
//     found under the vendor's library name: its devices come first.
#include "QZ_FTDI.h"
#include "ftd2xx.h"
#include "qzsim/qzsim.h"
#include "shared_library.hpp"
#include "vendor_driver.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

bool withVendorDriver = false;

std::string captured(const std::function<void()>& body) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> listedSerials(uint32_t count) {
    std::vector<std::vector<char>> buffers(count, std::vector<char>(64, '\0'));
    std::vector<char*> entries;
    for (auto& b : buffers) entries.push_back(b.data());
    EXPECT_EQ(0, getConnectedDevices(entries.data(), count));
    return {entries.begin(), entries.end()};
}

class ShippedWithoutVendorDriver : public testing::Test {
protected:
    void SetUp() override {
        if (withVendorDriver) GTEST_SKIP() << "run without --with-vendor-driver";
    }
    void TearDown() override { qzsim_clear_bench(); }
};

TEST_F(ShippedWithoutVendorDriver, NoDeviceUntilABenchIsSetUp) {
    EXPECT_EQ(0, printConnectedDevices(0, 1));
    ASSERT_EQ(0, qzsim_add_device("SIM1", "simulated", 1));
    EXPECT_EQ(1, printConnectedDevices(0, 1));
    EXPECT_EQ(std::vector<std::string>{"SIM1"}, listedSerials(1));
}

TEST_F(ShippedWithoutVendorDriver, UnknownSerialGivesDriverStatusAndMessage) {
    void* handle = reinterpret_cast<void*>(0x77);
    int32_t result = 0;
    const std::string out =
        captured([&] { result = setupFTDIdev(&handle, "NO-SUCH-SERIAL", 115200); });
    EXPECT_EQ(FT_DEVICE_NOT_FOUND, result);
    EXPECT_EQ("FTDI Error, Cannot open Serial NO-SUCH-SERIAL\n", out);
    EXPECT_EQ(reinterpret_cast<void*>(0x77), handle);  // left as it was
}

// The drop-in's own qzsim_ functions. The shipped library exports functions
// of the same names for its internal bench, so they are looked up in the
// drop-in by name.
class DropInBench {
public:
    DropInBench() : library_(qz::vendorLibraryName()) {
        bind(addDevice_, "qzsim_add_device");
        bind(clear_, "qzsim_clear_bench");
        bind(callCount_, "qzsim_call_count");
    }
    bool ready() const { return addDevice_ && clear_ && callCount_; }
    int32_t addDevice(const char* serial) { return addDevice_(serial, "drop-in", 1); }
    void clear() { clear_(); }
    int64_t callCount(const char* serial, const char* op) { return callCount_(serial, op); }

private:
    template <class Function>
    void bind(Function& f, const char* name) {
        f = reinterpret_cast<Function>(library_.symbol(name));
    }
    qz::SharedLibrary library_;
    int32_t (*addDevice_)(const char*, const char*, int32_t) = nullptr;
    void (*clear_)() = nullptr;
    int64_t (*callCount_)(const char*, const char*) = nullptr;
};

class ShippedWithVendorDriver : public testing::Test {
protected:
    void SetUp() override {
        if (!withVendorDriver) GTEST_SKIP() << "run with --with-vendor-driver";
        real = std::make_unique<DropInBench>();
        ASSERT_TRUE(real->ready()) << qz::vendorLibraryName() << " (the drop-in) not found";
        real->clear();
        qzsim_clear_bench();
    }
    void TearDown() override {
        if (real && real->ready()) real->clear();
        qzsim_clear_bench();
    }
    std::unique_ptr<DropInBench> real;
};

TEST_F(ShippedWithVendorDriver, RealDevicesAreListedFirst) {
    ASSERT_EQ(0, qzsim_add_device("SIM1", "simulated", 1));
    ASSERT_EQ(0, real->addDevice("REAL1"));
    ASSERT_EQ(0, real->addDevice("REAL2"));
    EXPECT_EQ(3, printConnectedDevices(0, 1));
    EXPECT_EQ((std::vector<std::string>{"REAL1", "REAL2", "SIM1"}), listedSerials(3));

    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char description[64] = "";
    char serial[64] = "";
    EXPECT_EQ(3, getDeviceInfo(2, &flags, &type, &id, &loc, description, serial, 1));
    EXPECT_STREQ("SIM1", serial);
}

TEST_F(ShippedWithVendorDriver, DriversQueryNamesTheLoadedVendorLibrary) {
    QZ_DRIVER_INFO drivers[3];
    ASSERT_EQ(3, qz_getDrivers(drivers, 3));
    EXPECT_STREQ("vendor", drivers[0].name);
    EXPECT_EQ(1, drivers[0].installed);
    EXPECT_EQ(1, drivers[0].active);  // the default order takes the vendor's first
    EXPECT_NE(nullptr, std::strstr(drivers[0].path, qz::vendorLibraryName())) << drivers[0].path;
    EXPECT_STREQ("libftdi", drivers[1].name);
    EXPECT_EQ(0, drivers[1].active);
    ASSERT_EQ(0, real->addDevice("REAL1"));
    ASSERT_EQ(0, qzsim_add_device("REAL1", "simulated twin", 1));
    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char description[64] = "", serial[64] = "";
    ASSERT_EQ(2, getDeviceInfo(0, &flags, &type, &id, &loc, description, serial, 1));
    EXPECT_STREQ("vendor", qz_getDeviceBackend(0));
    EXPECT_STREQ("simulator", qz_getDeviceBackend(1));
    EXPECT_EQ(nullptr, qz_getDeviceBackend(2));
    void* twin = nullptr;
    ASSERT_EQ(0, setupFTDIdev(&twin, "simulator:REAL1", 115200));
    const uint8_t pattern[] = {0x01};
    EXPECT_EQ(1, writeCustomPattern(twin, 0x01, pattern, 1));
    EXPECT_EQ(1, qzsim_call_count("REAL1", "Write"));
    EXPECT_EQ(0, real->callCount("REAL1", "Write"));
    EXPECT_EQ(FT_OK, closeFTDI(twin));
}

TEST_F(ShippedWithVendorDriver, EachHandleReachesItsOwnBench) {
    ASSERT_EQ(0, qzsim_add_device("SIM1", "simulated", 1));
    ASSERT_EQ(0, real->addDevice("REAL1"));
    void* sim = nullptr;
    void* dev = nullptr;
    ASSERT_EQ(0, setupFTDIdev(&sim, "SIM1", 115200));
    ASSERT_EQ(0, setupFTDIdev(&dev, "REAL1", 115200));
    const uint8_t pattern[] = {0x01, 0x00};
    EXPECT_EQ(2, writeCustomPattern(dev, 0x01, pattern, 2));
    EXPECT_EQ(1, real->callCount("REAL1", "Write"));
    EXPECT_EQ(0, qzsim_call_count("SIM1", "Write"));
    EXPECT_EQ(2, writeCustomPattern(sim, 0x01, pattern, 2));
    EXPECT_EQ(1, qzsim_call_count("SIM1", "Write"));
    EXPECT_EQ(FT_OK, closeFTDI(dev));
    EXPECT_EQ(FT_OK, closeFTDI(sim));
    EXPECT_EQ(1, real->callCount("REAL1", "Close"));
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--with-vendor-driver") == 0) withVendorDriver = true;
    return RUN_ALL_TESTS();
}
