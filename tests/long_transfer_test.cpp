// Transfers of 100,000 registers on the timed chip: every chip profile, the
// smallest (4 KiB) and largest (64 KiB) driver buffer, SPI and I2C, batches
// and streams, writes and reads. The values must be right and the chip must
// never have stalled; an unplug half way through gives -1 soon, with the
// caller's data untouched.
#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "sim_fixture.hpp"

#include <map>
#include <memory>

namespace {

constexpr uint32_t kRegisters = 100000;
constexpr uint32_t kAddressMask = 0xFFFF;  // 16-bit register addresses on both chips
constexpr uint32_t kStreamStart = 0xFF00;  // streams wrap past the last address

struct Setup {
    const char* chip;
    uint32_t driverBuffer;
};

std::string setupName(const testing::TestParamInfo<Setup>& info) {
    return std::string(info.param.chip) + "_" + std::to_string(info.param.driverBuffer / 1024) + "KiB";
}

// A timed device with an SPI chip (clock 0, select 1, data in 2, data out 3;
// 16 address and data bits, a read/write bit) and an I2C chip at 0x50 (SCL 4,
// SDA written on 5 and read on 6; two address and two data bytes).
class LongTransfer : public SimBench, public testing::WithParamInterface<Setup> {
protected:
    void SetUp() override {
        SimBench::SetUp();
        qzsim::Device& d = addDevice("LONG");
        d.setProfile(*qzsim::chipProfile(GetParam().chip));
        d.setTimed(true);
        d.setDriverBuffer(GetParam().driverBuffer);
        d.setTraceLimit(0);
        spiChip = std::make_shared<qzsim::SPIPeripheral>(
            qzsim::SPIWiring{0, 1, 2, 3, 16, 16, true, true, std::nullopt, true});
        d.attach(spiChip);
        auto bus = std::make_shared<qzsim::I2CBus>(4, 5, 6);
        i2cChip = bus->addChip(0x50, 2, 2);
        // At 1 MBaud an H-series chip clocks SCL at 1.25 MHz, beyond every I2C
        // mode: these transfers prove the chunking and the USB model, not the bus speed.
        i2cChip->setSpeed(qzsim::I2CSpeed::Unchecked);
        d.attach(bus);
        makeSPI(spi, 0, 1, 2, 3, 16, 16, 1, 1);
        makeI2C(i2c, 4, 5, 6, 0x50, 2, 2);
        dev = open("LONG", 1000000);
    }

    // Batch addresses that visit every register and some twice; values that
    // differ from one write to the next.
    static std::vector<uint32_t> batchRegisters() {
        std::vector<uint32_t> regs(kRegisters);
        for (uint32_t i = 0; i < kRegisters; ++i) regs[i] = (i * 7919u) & kAddressMask;
        return regs;
    }
    static std::vector<uint32_t> words(uint32_t seed) {
        std::vector<uint32_t> out(kRegisters);
        for (uint32_t i = 0; i < kRegisters; ++i) out[i] = ((i + seed) * 2654435761u >> 12) & 0xFFFF;
        return out;
    }

    // Writes a batch and a stream, reads both back, and checks every value
    // against what the chip must hold (the last word written to a register).
    void roundTrips(PROT_HANDLE prot, qzsim::RegisterChip& chip, bool streams = true) {
        const std::vector<uint32_t> regs = batchRegisters();
        std::vector<uint32_t> written = words(1);
        std::map<uint32_t, uint32_t> expected;
        for (uint32_t i = 0; i < kRegisters; ++i) expected[regs[i]] = written[i];
        ASSERT_EQ(0, multiRegRW(dev, prot, regs.data(), written.data(), kRegisters, 1));
        EXPECT_EQ(expected.size(), chip.registers.cells.size());
        std::vector<uint32_t> got(kRegisters, 0xDEAD0000u);
        ASSERT_EQ(0, multiRegRW(dev, prot, regs.data(), got.data(), kRegisters, 0));
        uint32_t wrong = 0;
        for (uint32_t i = 0; i < kRegisters; ++i) {
            if (got[i] != expected[regs[i]] && wrong < 5)
                ADD_FAILURE() << "batch " << i << " reg " << regs[i] << " got " << got[i] << " want " << expected[regs[i]];
            wrong += got[i] != expected[regs[i]];
        }
        EXPECT_EQ(0u, wrong) << "batch";
        if (!streams) return;

        written = words(7);
        for (uint32_t i = 0; i < kRegisters; ++i) expected[(kStreamStart + i) & kAddressMask] = written[i];
        ASSERT_EQ(0, multiRegStreamRW(dev, prot, kStreamStart, written.data(), kRegisters, 1));
        std::fill(got.begin(), got.end(), 0xDEAD0000u);
        ASSERT_EQ(0, multiRegStreamRW(dev, prot, kStreamStart, got.data(), kRegisters, 0));
        wrong = 0;
        for (uint32_t i = 0; i < kRegisters; ++i) {
            const uint32_t want = expected[(kStreamStart + i) & kAddressMask];
            if (got[i] != want && wrong < 5) ADD_FAILURE() << "stream " << i << " got " << got[i] << " want " << want;
            wrong += got[i] != want;
        }
        EXPECT_EQ(0u, wrong) << "stream";

        EXPECT_EQ(0u, device("LONG").stallCount());
        EXPECT_EQ(0u, device("LONG").droppedCount());
        EXPECT_EQ(0u, device("LONG").foreverReads());
    }

    FT_HANDLE dev = nullptr;
    Descriptor spi, i2c;
    std::shared_ptr<qzsim::SPIPeripheral> spiChip;
    std::shared_ptr<qzsim::I2CChip> i2cChip;
};

TEST_P(LongTransfer, SPIBatchesAndStreamsCompleteWithoutAStall) { roundTrips(spi.get(), *spiChip); }

// FT_Write returns once the bytes are in the chip's FIFO; the purge that opens
// the next transaction would throw away what the chip has not clocked out yet
// (up to 4 KiB on an FT2232H): the close of a write frame, or all of it.
TEST_P(LongTransfer, SingleWritesReachThePinsBeforeTheNextPurge) {
    for (uint32_t reg = 0; reg < 8; ++reg) ASSERT_EQ(0, writeSPI(dev, spi.get(), reg, 0xBE00 + reg));
    for (uint32_t reg = 0; reg < 8; ++reg) EXPECT_EQ(int32_t(0xBE00 + reg), readSPI(dev, spi.get(), reg));
    const uint8_t pulse[2] = {0x10, 0x00};
    ASSERT_EQ(2, writeCustomPattern(dev, 0x10, pulse, 2));
    EXPECT_EQ(0u, device("LONG").chipQueued());
}

TEST_P(LongTransfer, I2CBatchesCompleteWithoutAStall) {
    roundTrips(i2c.get(), *i2cChip, false);
    EXPECT_EQ(0u, device("LONG").stallCount());
    EXPECT_EQ(0u, device("LONG").droppedCount());
}

TEST_P(LongTransfer, I2CStreamsCompleteWithoutAStall) { roundTrips(i2c.get(), *i2cChip); }

INSTANTIATE_TEST_SUITE_P(EveryChip, LongTransfer,
                         testing::Values(Setup{"FT232R", 4096}, Setup{"FT232R", 65536},
                                         Setup{"FT232H", 4096}, Setup{"FT232H", 65536},
                                         Setup{"FT2232H", 4096}, Setup{"FT2232H", 65536},
                                         Setup{"FT4232H", 4096}, Setup{"FT4232H", 65536}),
                         setupName);

// Unplugged half way through a long batch read (by time) or at a driver call:
// -1 within a second of the chip's time, the data array as it was.
class LongTransferUnplug : public LongTransfer {
protected:
    void readsNothingOnceUnplugged() {
        const std::vector<uint32_t> regs = batchRegisters();
        std::vector<uint32_t> got(kRegisters, 0xDEAD0000u);
        // On the model's clock, so that a slow or loaded host cannot fail it.
        const uint64_t start = device("LONG").clockNs();
        EXPECT_EQ(-1, multiRegRW(dev, spi.get(), regs.data(), got.data(), kRegisters, 0));
        EXPECT_LT(device("LONG").clockNs() - start, 1000000000ull);
        EXPECT_TRUE(device("LONG").unplugged());
        EXPECT_EQ(std::vector<uint32_t>(kRegisters, 0xDEAD0000u), got);
        QZ_RESULT detail{};
        EXPECT_EQ(QZ_UNPLUGGED,
                  qz_multiRegRW(dev, spi.get(), regs.data(), got.data(), kRegisters, 0, &detail));
        EXPECT_EQ(std::vector<uint32_t>(kRegisters, 0xDEAD0000u), got);
    }
};

TEST_P(LongTransferUnplug, UnplugHalfWayThroughABatchGivesMinusOne) {
    qzsim::Device& d = device("LONG");
    const uint64_t samples = uint64_t{kRegisters} * 56;  // SPI read frames of 56 samples
    d.unplugAtTime(d.clockNs() + samples * 1000000000ull / d.sampleRate() / 2);
    readsNothingOnceUnplugged();
}

TEST_P(LongTransferUnplug, UnplugAtADriverCallInTheMiddleGivesMinusOne) {
    device("LONG").unplugAtCall(40);
    readsNothingOnceUnplugged();
}

INSTANTIATE_TEST_SUITE_P(SmallBuffer, LongTransferUnplug,
                         testing::Values(Setup{"FT232R", 4096}, Setup{"FT2232H", 4096}), setupName);

}  // namespace
