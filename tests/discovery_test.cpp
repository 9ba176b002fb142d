// Discovery on a bench of three devices, the second of which is attached but
// not listable, and the driver failures of the listing calls.
#include "sim_fixture.hpp"

#include <cstring>
#include <functional>

using qzsim::Op;

namespace {

const std::string kHeading = "Current connected and open devices by serial number:\n";

class DiscoveryTest : public SimBench {
protected:
    void SetUp() override {
        SimBench::SetUp();
        addDevice("SER-A");
        addDevice("SER-B", /*listable*/ false);
        addDevice("SER-C");
    }
};

}  // namespace

TEST_F(DiscoveryTest, NonListableDeviceIsCountedButNeverPrinted) {
    // {print2Screen, returnTotalCount, result}: only the value 1 switches either on.
    const int32_t cases[][3] = {{1, 1, 3}, {1, 0, 2}, {0, 1, 3}, {2, 1, 3}, {1, 2, 2}, {0, 0, 2}};
    for (const auto& [print2Screen, returnTotalCount, expected] : cases) {
        int32_t result = 0;
        const std::string out = captureStdout([&] { result = printConnectedDevices(print2Screen, returnTotalCount); });
        EXPECT_EQ(expected, result) << print2Screen << "," << returnTotalCount;
        EXPECT_EQ(print2Screen == 1 ? kHeading + "SER-A\nSER-C\n" : "", out) << print2Screen;
    }
    qzsim::bench().clear();
    EXPECT_EQ(kHeading, captureStdout([] { EXPECT_EQ(0, printConnectedDevices(1, 0)); }));
}

TEST_F(DiscoveryTest, SerialsFillEntriesWithoutGapsForSkippedDevices) {
    char first[64] = "x", second[64] = "x", third[64] = "untouched";
    char* entries[] = {first, second, third};
    EXPECT_EQ(0, getConnectedDevices(entries, 2));
    EXPECT_STREQ("SER-A", first);
    EXPECT_STREQ("SER-C", second);
    EXPECT_STREQ("untouched", third);
    EXPECT_EQ(3u, qzsim::bench().calls(Op::ListDevices));  // indices 0, 1 and 2

    EXPECT_EQ(0, getConnectedDevices(nullptr, 0));
    EXPECT_EQ(3u, qzsim::bench().calls(Op::ListDevices));  // asked for none: no driver call
}

TEST_F(DiscoveryTest, DeviceInfoReturnsTheCountOnlyWhenRebuilt) {
    uint32_t flags = 9, type = 0, id = 0, loc = 0;
    char description[64] = "", serial[64] = "";
    EXPECT_EQ(3, getDeviceInfo(2, &flags, &type, &id, &loc, description, serial, 1));
    EXPECT_STREQ("SER-C", serial);  // each string lands in its own buffer
    EXPECT_STREQ("QZ simulated FT232R", description);
    EXPECT_TRUE(flags == 0 && type == FT_DEVICE_232R && id == 0x04036001u);
    EXPECT_EQ(0, getDeviceInfo(0, &flags, &type, &id, &loc, description, serial, 0));
    EXPECT_STREQ("SER-A", serial);
}

TEST_F(DiscoveryTest, FullDescriptionFieldComesBackTerminated) {
    const std::string full(64, 'D');  // fills the driver's field: no NUL there
    qzsim::DeviceInfo info;
    info.serial = "SER-FULL";
    info.description = full;
    qzsim::bench().add(info);
    uint32_t flags = 0, type = 0, id = 0, loc = 0;
    char field[65];
    std::memset(field, 'X', sizeof field);
    ASSERT_EQ(FT_OK, FT_CreateDeviceInfoList(&flags));
    ASSERT_EQ(FT_OK, FT_GetDeviceInfoDetail(3, &flags, &type, &id, &loc, nullptr, field, nullptr));
    EXPECT_EQ(full + 'X', std::string(field, sizeof field));  // the driver's quirk itself
    struct Buffer {
        char bytes[QZ_DESCRIPTION_BUFFER_SIZE];
        char after[8];
    } out;
    std::memset(&out, 'X', sizeof out);
    EXPECT_EQ(4, getDeviceInfo(3, &flags, &type, &id, &loc, out.bytes, nullptr, 1));
    EXPECT_EQ(full.substr(0, 63), std::string(out.bytes));
    EXPECT_EQ('X', out.after[0]);
}

TEST_F(DiscoveryTest, ListingFailuresPrintFtdiErrorAndKeepEarlierOutput) {
    char a[64] = "", b[64] = "";
    char* entries[] = {a, b};
    uint32_t u = 0;
    char description[64], serial[64];
    struct Case {
        const char* what;
        Op op;
        uint32_t nth;
        std::function<int32_t()> call;
        std::string output;
    };
    const Case cases[] = {
        {"count query", Op::ListDevices, 1, [] { return printConnectedDevices(1, 1); }, ""},
        {"listing index 2", Op::ListDevices, 4, [] { return printConnectedDevices(1, 1); },
         kHeading + "SER-A\nFTDI Error\n"},
        {"serial listing", Op::ListDevices, 1, [&] { return getConnectedDevices(entries, 2); }, "FTDI Error\n"},
        {"list rebuild", Op::CreateDeviceInfoList, 1,
         [&] { return getDeviceInfo(0, &u, &u, &u, &u, description, serial, 1); }, "FTDI Error\n"},
        {"detail", Op::GetDeviceInfoDetail, 1,
         [&] { return getDeviceInfo(0, &u, &u, &u, &u, description, serial, 1); }, "FTDI Error\n"},
    };
    for (const Case& c : cases) {
        qzsim::bench().failNthCall(c.op, c.nth, FT_IO_ERROR);
        int32_t result = 0;
        EXPECT_EQ(c.output, captureStdout([&] { result = c.call(); })) << c.what;
        EXPECT_EQ(-1, result) << c.what;
    }
    // Asked for more serials than are listable, the walk meets the driver's
    // answer for an index past the devices.
    EXPECT_EQ("FTDI Error\n", captureStdout([&] { EXPECT_EQ(-1, getConnectedDevices(entries, 3)); }));
}
