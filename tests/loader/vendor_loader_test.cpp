// Only in the program that reaches its devices through the run-time loader:
// the library it loaded is the drop-in that the tests set up.
#include "sim_fixture.hpp"
#include "vendor_driver.hpp"

namespace {

using VendorLoader = SimBench;

TEST_F(VendorLoader, LoadedDriverIsTheTestsOwnBench) {
    ASSERT_NE(nullptr, qz::vendorDriver()) << qz::vendorLibraryName() << " was not loaded";
    addDevice("LOADED");
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, qz::vendorDriver()->listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(1, printConnectedDevices(0, 1));
}

TEST_F(VendorLoader, TransferCrossesTheLoader) {
    FT_HANDLE handle = openDevice();
    const uint8_t pattern[] = {0x01, 0x00, 0x01};
    EXPECT_EQ(3, writeCustomPattern(handle, 0x01, pattern, 3));
    EXPECT_EQ(std::vector<uint8_t>(pattern, pattern + 3), written());
    EXPECT_EQ(1u, device().calls(qzsim::Op::Write));
}

}  // namespace
