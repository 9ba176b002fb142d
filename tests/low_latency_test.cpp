// The low-latency mode on the timed chip: single registers within a USB frame
// or two instead of a latency period, long transfers no slower, the values
// right, and the driver left as it was when the mode goes off or is refused.
#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "sim_fixture.hpp"

#include <functional>
#include <memory>
#include <ostream>

namespace {

constexpr uint64_t kNsPerUs = 1000;

struct Case {
    const char* chip;
    bool lowLatency;
    uint64_t singleBoundUs;  // one register read or write, steady state
    uint32_t driverBuffer = 65536;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.chip << (c.lowLatency ? " low-latency" : " default") << ", within " << c.singleBoundUs << " us";
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.chip;
    for (char& c : name)
        if (c == '-') c = '_';
    return name + (info.param.lowLatency ? "_LowLatency_" : "_Default_") +
           std::to_string(info.param.driverBuffer / 1024) + "KiB";
}

// A timed device at 1 MBaud with an SPI chip (clock 0, select 1, data in 2,
// data out 3; 8 address and 16 data bits) and an I2C chip at 0x50 (SCL 4, SDA
// written on 5, read on 6; one address and one data byte), the latency timer
// at its 16 ms default.
class LowLatency : public SimBench, public testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        SimBench::SetUp();
        qzsim::Device& d = addDevice("LL");
        d.setProfile(*qzsim::chipProfile(GetParam().chip));
        d.setTimed(true);
        d.setDriverBuffer(GetParam().driverBuffer);
        spiChip = std::make_shared<qzsim::SPIPeripheral>(
            qzsim::SPIWiring{0, 1, 2, 3, 8, 16, true, true, std::nullopt, true});
        d.attach(spiChip);
        auto bus = std::make_shared<qzsim::I2CBus>(4, 5, 6);
        i2cChip = bus->addChip(0x50, 1, 1);
        i2cChip->setSpeed(qzsim::I2CSpeed::Unchecked);
        d.attach(bus);
        makeSPI(spi, 0, 1, 2, 3, 8, 16, 1, 1);
        makeI2C(i2c, 4, 5, 6, 0x50, 1, 1);
        dev = open("LL", 1000000);
        if (GetParam().lowLatency) {
            EXPECT_EQ(0, setLowLatency(dev, 1));
        }
    }

    // Simulated ns that `body` takes.
    template <class Body>
    uint64_t timed(Body&& body) {
        const uint64_t start = device("LL").clockNs();
        body();
        return device("LL").clockNs() - start;
    }

    FT_HANDLE dev = nullptr;
    Descriptor spi, i2c;
    std::shared_ptr<qzsim::SPIPeripheral> spiChip;
    std::shared_ptr<qzsim::I2CChip> i2cChip;
};

TEST_P(LowLatency, SingleRegistersTakeNoLongerThanTheTarget) {
    const std::pair<const char*, std::function<void()>> operations[] = {
        {"writeSPI", [&] { EXPECT_EQ(0, writeSPI(dev, spi.get(), 0x12, 0xBEEF)); }},
        {"readSPI", [&] { EXPECT_EQ(0xBEEF, readSPI(dev, spi.get(), 0x12)); }},
        {"writeI2C", [&] { EXPECT_EQ(0, writeI2C(dev, i2c.get(), 0x34, 0x5A)); }},
        {"readI2C", [&] { EXPECT_EQ(0x5A, readI2C(dev, i2c.get(), 0x34)); }},
    };
    // The first transaction on a bus sets its bit mode (and the first of all
    // purges); the ones after it pay only their write, wire time and packets.
    const uint64_t bound = GetParam().singleBoundUs * kNsPerUs;
    for (const auto& [name, operation] : operations) {
        operation();
        for (int round = 0; round < 2; ++round) EXPECT_LE(timed(operation), bound) << name;
    }
    EXPECT_EQ(0u, device("LL").foreverReads());
}

// A batch of 1,000 reads takes no longer in low-latency mode than in the
// default mode on the same chip (each case plays both, its own mode first).
TEST_P(LowLatency, LongTransfersAreNoSlowerThanInTheDefaultMode) {
    std::vector<uint32_t> regs(1000), values(1000);
    for (uint32_t i = 0; i < regs.size(); ++i) regs[i] = i & 0xFF;
    for (uint32_t i = 0; i < 256; ++i) spiChip->registers.write(i, i * 3 + 1);
    uint64_t took[2] = {};
    for (const bool low : {GetParam().lowLatency, !GetParam().lowLatency}) {
        ASSERT_EQ(0, setLowLatency(dev, low ? 1 : 0));
        std::fill(values.begin(), values.end(), 0);
        took[low] = timed([&] { EXPECT_EQ(0, multiRegRW(dev, spi.get(), regs.data(), values.data(), 1000, 0)); });
        for (uint32_t i = 0; i < regs.size(); ++i) ASSERT_EQ(regs[i] * 3 + 1, values[i]) << i;
    }
    EXPECT_LE(took[1], took[0]);
    EXPECT_EQ(0u, device("LL").stallCount());
}

TEST_P(LowLatency, SecondTransactionSkipsThePurgeAndTheBitModeOnlyInLowLatencyMode) {
    ASSERT_EQ(0, writeSPI(dev, spi.get(), 1, 2));
    device("LL").resetCallCounts();
    ASSERT_EQ(2, readSPI(dev, spi.get(), 1));
    const uint64_t expected = GetParam().lowLatency ? 0 : 1;
    EXPECT_EQ(expected, device("LL").calls(qzsim::Op::Purge));
    EXPECT_EQ(expected, device("LL").calls(qzsim::Op::SetBitMode));
}

INSTANTIATE_TEST_SUITE_P(
    EveryChip, LowLatency,
    testing::Values(Case{"FT232R", false, 20000}, Case{"FT232H", false, 17000},
                    Case{"FT2232H", false, 17000}, Case{"FT4232H", false, 17000},
                    Case{"FT232H-FS", false, 20000}, Case{"FT232R", true, 2000},
                    Case{"FT232H", true, 500}, Case{"FT2232H", true, 500},
                    Case{"FT4232H", true, 500}, Case{"FT232H-FS", true, 2000},
                    Case{"FT232R", true, 2000, 4096}, Case{"FT2232H", true, 500, 4096}),
    caseName);

class LowLatencyMode : public SimBench {};

TEST_F(LowLatencyMode, OnSetsOnePacketRequestsAndATwoMillisecondTimerOffRestoresThem) {
    qzsim::Device& d = addDevice("LL");
    d.setProfile(*qzsim::chipProfile("FT232H"));
    d.setTimed(true);
    FT_HANDLE dev = open("LL");
    ASSERT_EQ(0, setLatencyTimer(dev, 5));
    EXPECT_EQ(0, getLowLatency(dev));
    ASSERT_EQ(0, setLowLatency(dev, 1));
    EXPECT_EQ(1, getLowLatency(dev));
    EXPECT_EQ(512u, d.link().transferSize());
    EXPECT_EQ(2, getLatencyTimer(dev));
    ASSERT_EQ(0, setLowLatency(dev, 0));
    EXPECT_EQ(0, getLowLatency(dev));
    EXPECT_EQ(4096u, d.link().transferSize());
    EXPECT_EQ(5, getLatencyTimer(dev));
}

TEST_F(LowLatencyMode, DriverWithoutUSBParametersGivesMinusOneAndNothingChanges) {
    qzsim::Device& d = addDevice("LL");
    FT_HANDLE dev = open("LL");
    d.failNthCall(qzsim::Op::SetUSBParameters, 1, FT_NOT_SUPPORTED);
    EXPECT_EQ(-1, setLowLatency(dev, 1));
    EXPECT_EQ(0, getLowLatency(dev));
    EXPECT_EQ(16, getLatencyTimer(dev));
    EXPECT_EQ(0u, d.calls(qzsim::Op::SetLatencyTimer));
    QZ_RESULT detail{};
    d.failNthCall(qzsim::Op::SetUSBParameters, 1, FT_NOT_SUPPORTED);
    EXPECT_EQ(QZ_DRIVER_ERROR, qz_setLowLatency(dev, 1, &detail));
    EXPECT_EQ(uint32_t{FT_NOT_SUPPORTED}, detail.driverStatus);
}

TEST_F(LowLatencyMode, HandleNotOpenedByTheLibraryGivesMinusOne) {
    int fake = 0;
    EXPECT_EQ(-1, setLowLatency(&fake, 1));
    EXPECT_EQ(-1, getLowLatency(&fake));
    EXPECT_EQ(-1, getLowLatency(nullptr));
}

// A transaction that failed leaves the queues and the mask unknown: the next
// one purges and sets the bit mode again.
TEST_F(LowLatencyMode, TransactionAfterAFailurePurgesAgain) {
    qzsim::Device& d = addDevice("LL");
    d.setTimed(true);
    FT_HANDLE dev = open("LL");
    Descriptor spi;
    makeSPI(spi, 0, 1, 2, 3, 8, 16, 1, 1);
    ASSERT_EQ(0, setLowLatency(dev, 1));
    ASSERT_EQ(0, writeSPI(dev, spi.get(), 1, 2));
    d.failNthCall(qzsim::Op::Write, 1, FT_OTHER_ERROR);
    EXPECT_EQ(-1, writeSPI(dev, spi.get(), 1, 2));
    d.resetCallCounts();
    EXPECT_EQ(0, writeSPI(dev, spi.get(), 1, 2));
    EXPECT_EQ(1u, d.calls(qzsim::Op::Purge));
    EXPECT_EQ(1u, d.calls(qzsim::Op::SetBitMode));
}

// At full speed one-packet requests show the read-back a packet at a time:
// a long stream written into whatever room that leaves becomes many small
// bulk transfers, each waiting for its frame, and falls behind the default mode.
TEST_F(LowLatencyMode, LongFullSpeedTransferIsNoSlowerThanTheDefaultMode) {
    qzsim::Device& d = addDevice("LL");
    d.setTimed(true);
    d.setTraceLimit(0);
    d.attach(std::make_shared<qzsim::SPIPeripheral>(
        qzsim::SPIWiring{0, 1, 2, 3, 8, 16, true, true, std::nullopt, true}));
    FT_HANDLE dev = open("LL");
    Descriptor spi;
    makeSPI(spi, 0, 1, 2, 3, 8, 16, 1, 1);
    std::vector<uint32_t> regs(20000), values(20000);
    for (uint32_t i = 0; i < regs.size(); ++i) regs[i] = i & 0xFF;
    uint64_t took[2] = {};
    for (const int low : {0, 1}) {
        ASSERT_EQ(0, setLowLatency(dev, low));
        const uint64_t start = d.clockNs();
        ASSERT_EQ(0, multiRegRW(dev, spi.get(), regs.data(), values.data(), 20000, 0));
        took[low] = d.clockNs() - start;
    }
    EXPECT_LE(took[1], took[0]);
}

}  // namespace
