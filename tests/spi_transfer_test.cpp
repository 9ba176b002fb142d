#include "spi.h"
#include "driver_faults.hpp"
#include "sim_fixture.hpp"
#include "qzsim/spi_peripheral.hpp"

#include <memory>

using qzsim::Op;
using qzsim::SPITransaction;
using Kind = SPITransaction::Kind;

namespace {

struct Wiring {
    uint8_t clk, cs, sdi, sdo, addrBits, dataBits;
    int32_t posedge, rw;
    int oe;  // output-enable pin, -1 for none
    int32_t oePol;
};

class SPITransfer : public SimBench {
protected:
    // A descriptor and a matching virtual chip on the open device.
    std::shared_ptr<qzsim::SPIPeripheral> attach(Descriptor& d, const Wiring& w,
                                                 const std::string& serial = "DEV") {
        makeSPI(d, w.clk, w.cs, w.sdi, w.sdo, w.addrBits, w.dataBits, w.posedge, w.rw);
        qzsim::SPIWiring chip{w.clk, w.cs, w.sdi, w.sdo, w.addrBits, w.dataBits, w.rw == 1,
                              w.posedge != 0, std::nullopt, w.oePol != 0};
        // The harshest chip: data-out valid only in the sampling edge's sample.
        chip.dataValid = qzsim::SPIDataValid::SamplingSampleOnly;
        if (w.oe >= 0) {
            EXPECT_EQ(0, setupOE(d.address(), static_cast<uint8_t>(w.oe), w.oePol));
            chip.outputEnable = static_cast<uint8_t>(w.oe);
        }
        auto p = std::make_shared<qzsim::SPIPeripheral>(chip);
        device(serial).attach(p);
        return p;
    }
};

uint32_t widthMask(uint8_t bits) { return bits >= 32 ? ~0u : (1u << bits) - 1u; }

const Wiring kTable[] = {
    {0, 1, 2, 3, 2, 2, 1, 0, -1, 1},   {7, 6, 5, 4, 0, 1, 0, 0, -1, 1},
    {3, 0, 7, 1, 16, 32, 1, 1, 2, 1},  {5, 2, 0, 6, 7, 8, 0, 0, 1, 0},
    {1, 4, 6, 0, 8, 16, 1, 0, 7, 1},   {6, 7, 3, 5, 12, 24, 0, 1, 0, 0},
    {2, 3, 1, 7, 1, 31, 1, 1, -1, 1},  {4, 5, 7, 2, 16, 12, 0, 0, 3, 1},
};

}  // namespace

class SPIRoundTrip : public SPITransfer,
                     public testing::WithParamInterface<std::tuple<unsigned, Wiring>> {};

TEST_P(SPIRoundTrip, ChipSeesExactlyWhatWasSentAndReadReturnsIt) {
    const auto [lag, w] = GetParam();
    FT_HANDLE dev = openDevice(lag);
    Descriptor d;
    auto chip = attach(d, w);
    const uint32_t addr = 0xB5A3u & widthMask(w.addrBits);
    const uint32_t value = 0xC6F1D2A5u & widthMask(w.dataBits);
    chip->registers.write(addr, 0x5A5A5A5Au);

    ASSERT_EQ(0, writeSPI(dev, d.get(), addr, value));
    EXPECT_EQ(value, static_cast<uint32_t>(readSPI(dev, d.get(), addr)));

    // Without a read/write bit or output enable nothing on the wire tells a
    // read from a write: the chip exchanges, and the read's zeros replace the value.
    const bool exchange = w.rw != 1 && w.oe < 0;
    std::vector<uint32_t> firstOut;  // an exchange shifts the old value out
    if (exchange) firstOut.push_back(0x5A5A5A5Au & widthMask(w.dataBits));
    const std::vector<SPITransaction> expected = {
        {exchange ? Kind::Exchange : Kind::Write, addr, {value}, firstOut},
        {exchange ? Kind::Exchange : Kind::Read, addr, {0}, {value}}};
    EXPECT_EQ(chip->log(), expected);
    EXPECT_TRUE(chip->violations().empty());
    EXPECT_EQ(chip->registers.read(addr), exchange ? 0u : value);
}

INSTANTIATE_TEST_SUITE_P(AllLags, SPIRoundTrip,
                         testing::Combine(testing::Values(0u, 1u, 2u), testing::ValuesIn(kTable)));

// Before the first transaction every output is low: chip select reads low and
// an idle-high clock reads active, which must not be taken for the strobe.
TEST_F(SPITransfer, FirstReadAfterOpeningIgnoresLevelsBeforeTheFrame) {
    for (unsigned lag : {1u, 2u}) {
        const std::string serial = "DEV" + std::to_string(lag);
        FT_HANDLE dev = openDevice(lag, serial);
        Descriptor d;
        attach(d, {0, 1, 2, 3, 4, 8, 0, 1, -1, 1}, serial)->registers.write(9, 0xA7);
        EXPECT_EQ(0xA7, readSPI(dev, d.get(), 9)) << "lag " << lag;
    }
}

// A sink on the clock line: held low for good (no strobe at all), or through
// frame events 4 and 6 (the first strobe at 8 puts the last data bit past the
// read-back).
TEST_F(SPITransfer, ReadbackWithoutUsableStrobeFails) {
    const std::vector<std::vector<uint8_t>> clockLevels = {{0}, {0, 0, 0, 0, 0, 0, 0, 0, 0xFF}};
    for (std::size_t i = 0; i < clockLevels.size(); ++i) {
        const std::string serial = "DEV" + std::to_string(i);
        FT_HANDLE dev = openDevice(0, serial);
        Descriptor d;
        makeSPI(d, 0, 1, 2, 3, 4, 8, 1, 0);
        device(serial).attach(std::make_shared<qzsim::InputSource>(0x01, clockLevels[i]));
        EXPECT_EQ(-1, readSPI(dev, d.get(), 3)) << "case " << i;
    }
}

TEST_F(SPITransfer, I2CDescriptorIsRefusedAfterThePurge) {
    FT_HANDLE dev = openDevice();
    Descriptor d;
    makeI2C(d, 0, 1, 2, 0x50, 1, 1);
    EXPECT_EQ(-1, writeSPI(dev, d.get(), 1, 2));
    EXPECT_EQ(-1, readSPI(dev, d.get(), 1));
    EXPECT_EQ(2u, device().calls(Op::Purge));
    EXPECT_EQ(0u, device().calls(Op::SetBitMode) + device().calls(Op::Write));
    EXPECT_EQ(-1, writeSPI(dev, nullptr, 1, 2));
    EXPECT_EQ(-1, readSPI(dev, nullptr, 1));
}

// Each driver fault (a write taking 5 bytes, a read-back stopping after 10).
// writeSPI meets those up to the write; it dumps its frame whenever it got as
// far as writing it.
class SPIFault : public SPITransfer, public testing::WithParamInterface<DriverFault> {};

TEST_P(SPIFault, EachDriverFailureGivesMinusOneAndOnlyTheWriteDump) {
    const DriverFault f = GetParam();
    FT_HANDLE dev = openDevice();
    Descriptor d;
    attach(d, {0, 1, 2, 3, 4, 8, 1, 0, -1, 1});
    enableDebugPrint(1, 1);
    auto inject = [&] {
        device().clearTrace();
        f.inject(device(), 5, 10);
    };
    if (!f.onReadBack()) {
        inject();
        const std::string out = captureStdout([&] { EXPECT_EQ(-1, writeSPI(dev, d.get(), 1, 2)); });
        EXPECT_EQ(out.empty(), f.op != Op::Write);
        EXPECT_EQ(written().empty(), !f.frameOnWire());
    }
    inject();
    EXPECT_EQ("", captureStdout([&] { EXPECT_EQ(-1, readSPI(dev, d.get(), 1)); }));
}

INSTANTIATE_TEST_SUITE_P(Driver, SPIFault, testing::ValuesIn(kDriverFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SPITransfer, WriteDumpsTheFrameAndReadDumpsTheReadback) {
    FT_HANDLE dev = openDevice(1);
    Descriptor d;
    attach(d, {0, 1, 2, 3, 4, 8, 1, 1, -1, 1});
    setDebugDelim(',');
    enableDebugPrint(1, 0);
    std::string out = captureStdout([&] { EXPECT_EQ(0, writeSPI(dev, d.get(), 4, 0x3C)); });
    const auto frame = qz::createSPIByteStream(d.des(), 4, 0x3C, qz::WRITE);
    EXPECT_EQ(out, captureStdout([&] { qz::printPattern(frame.data(), 32, ','); }));
    EXPECT_EQ("", captureStdout([&] { EXPECT_EQ(0x3C, readSPI(dev, d.get(), 4)); }));

    enableDebugPrint(0, 1);
    device().clearTrace();
    out = captureStdout([&] { EXPECT_EQ(0x3C, readSPI(dev, d.get(), 4)); });
    std::vector<uint8_t> rx;
    for (const auto& sample : device().trace()) rx.push_back(sample.readback);
    ASSERT_EQ(rx.size(), 32u);
    EXPECT_EQ(out, captureStdout([&] { qz::printPattern(rx.data(), 32, ','); }));
}

TEST_F(SPITransfer, TwoChipsOnOneBusAnswerOnlyToTheirChipSelect) {
    FT_HANDLE dev = openDevice(1);
    Descriptor a, b;
    auto chipA = attach(a, {0, 1, 2, 3, 4, 8, 1, 1, -1, 1});
    auto chipB = attach(b, {0, 4, 2, 3, 4, 8, 1, 1, -1, 1});
    ASSERT_EQ(0, writeSPI(dev, a.get(), 2, 0x11));
    ASSERT_EQ(0, writeSPI(dev, b.get(), 2, 0x22));
    EXPECT_EQ(0x11, readSPI(dev, a.get(), 2));
    EXPECT_EQ(0x22, readSPI(dev, b.get(), 2));
    EXPECT_EQ(chipA->log().size(), 2u);
    EXPECT_EQ(chipB->log().size(), 2u);
}
