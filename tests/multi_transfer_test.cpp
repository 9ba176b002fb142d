// Batches and streams of registers end to end on the simulated chip, with the
// virtual SPI chip and I2C bus decoding the wire: the same outcome as single
// transfers at every read-back lag, the bytes on the wire, one round trip
// whatever the count, driver faults, read-backs whose frames cannot all be
// found, and the dumps.
#include "qzsim/i2c_bus.hpp"
#include "qzsim/spi_peripheral.hpp"
#include "driver_faults.hpp"
#include "sim_fixture.hpp"

#include <memory>
#include <sstream>

namespace {

using qzsim::Op;

constexpr uint8_t kI2CAddress = 0x3A;
constexpr uint32_t kUntouched = 0xDEADBEEF;

uint32_t lowBits(uint32_t bits) { return bits >= 32 ? ~0u : (1u << bits) - 1u; }

// One peripheral and how it is wired. SPI: pins clock, chip select, data in,
// data out; widths in bits. I2C: pins SCL, SDA write, SDA read; widths in bytes.
struct Wiring {
    const char* name;
    bool spi;
    uint8_t pin[4];
    uint8_t addrWidth, dataWidth;
    int32_t posedge, rw;  // SPI only
    int oe;               // -1: no output enable
    int32_t oePol;
};

void PrintTo(const Wiring& w, std::ostream* os) { *os << w.name; }

// A virtual chip on a device, and the descriptor that reaches it.
class Target {
public:
    Target(qzsim::Device& device, const Wiring& w) : w_(w) {
        if (w.spi) {
            makeSPI(d_, w.pin[0], w.pin[1], w.pin[2], w.pin[3], w.addrWidth, w.dataWidth, w.posedge,
                    w.rw);
            qzsim::SPIWiring chip{w.pin[0],     w.pin[1],    w.pin[2],  w.pin[3],
                                  w.addrWidth,  w.dataWidth, w.rw == 1, w.posedge != 0,
                                  std::nullopt, w.oePol != 0};
            if (w.oe >= 0) chip.outputEnable = static_cast<uint8_t>(w.oe);
            // The harshest chip: data-out valid only in the sampling edge's sample.
            chip.dataValid = qzsim::SPIDataValid::SamplingSampleOnly;
            spi_ = std::make_shared<qzsim::SPIPeripheral>(chip);
            device.attach(spi_);
        } else {
            makeI2C(d_, w.pin[0], w.pin[1], w.pin[2], kI2CAddress, w.addrWidth, w.dataWidth);
            bus_ = std::make_shared<qzsim::I2CBus>(w.pin[0], w.pin[1], w.pin[2]);
            i2c_ = bus_->addChip(kI2CAddress, w.addrWidth, w.dataWidth);
            device.attach(bus_);
        }
        if (w.oe >= 0) {
            EXPECT_EQ(0, setupOE(d_.address(), static_cast<uint8_t>(w.oe), w.oePol));
        }
    }

    PROT_HANDLE prot() const { return d_.get(); }
    qzsim::RegisterFile& registers() { return spi_ ? spi_->registers : i2c_->registers; }
    // The register a frame for `reg` reaches, and the bits a register holds.
    uint32_t addressOf(uint32_t reg) const {
        return reg & lowBits(w_.spi ? w_.addrWidth : 8u * w_.addrWidth);
    }
    uint32_t dataMask() const { return lowBits(w_.spi ? w_.dataWidth : 8u * w_.dataWidth); }
    bool clean() const { return spi_ ? spi_->violations().empty() : bus_->violations().empty(); }

    int32_t single(FT_HANDLE dev, bool write, uint32_t reg, uint32_t data) const {
        if (w_.spi) return write ? writeSPI(dev, prot(), reg, data) : readSPI(dev, prot(), reg);
        return write ? writeI2C(dev, prot(), reg, data) : readI2C(dev, prot(), reg);
    }

    // The chip's log, one line per entry. `asOneFrame` joins the SPI
    // transactions into one, as a stream carries all words in one frame.
    std::string log(bool asOneFrame = false) const {
        std::ostringstream out;
        out << std::hex;
        if (i2c_) {
            for (const auto& a : i2c_->log())
                out << (a.read ? "R " : "W ") << a.reg << '=' << a.value << '\n';
            return out.str();
        }
        std::vector<qzsim::SPITransaction> frames = spi_->log();
        if (asOneFrame && !frames.empty()) {
            for (std::size_t i = 1; i < frames.size(); ++i) {
                frames[0].in.insert(frames[0].in.end(), frames[i].in.begin(), frames[i].in.end());
                frames[0].out.insert(frames[0].out.end(), frames[i].out.begin(),
                                     frames[i].out.end());
            }
            frames.resize(1);
        }
        for (const auto& t : frames) {
            out << '\n' << static_cast<int>(t.kind) << '@' << t.address << ':';
            for (uint32_t v : t.in) out << ' ' << v;
            out << " |";
            for (uint32_t v : t.out) out << ' ' << v;
        }
        return out.str();
    }

private:
    Wiring w_;
    Descriptor d_;
    std::shared_ptr<qzsim::SPIPeripheral> spi_;
    std::shared_ptr<qzsim::I2CBus> bus_;
    std::shared_ptr<qzsim::I2CChip> i2c_;
};

const Wiring kWirings[] = {
    {"spi_exchange", true, {0, 1, 2, 3}, 7, 8, 1, 0, -1, 1},
    {"spi_no_address_one_bit", true, {7, 6, 5, 4}, 0, 1, 0, 1, -1, 1},
    {"spi_32_bits_rw_oe", true, {3, 0, 7, 1}, 16, 32, 1, 1, 2, 1},
    {"spi_falling_edge_oe_low", true, {5, 2, 0, 6}, 5, 12, 0, 0, 1, 0},
    {"spi_address_wraps", true, {2, 3, 1, 7}, 2, 31, 1, 1, -1, 1},
    {"i2c_1x1", false, {0, 1, 2}, 1, 1, 0, 0, -1, 1},
    {"i2c_2x2_oe", false, {7, 5, 6}, 2, 2, 0, 0, 3, 1},
    {"i2c_1x4", false, {3, 6, 1}, 1, 4, 0, 0, -1, 1},
    {"i2c_4x1_oe_low", false, {4, 2, 7}, 4, 1, 0, 0, 0, 0},
    {"i2c_3x3", false, {1, 0, 5}, 3, 3, 0, 0, 2, 1},
};

// A batch with a repeated register, and the words written.
const std::vector<uint32_t> kBatchRegs = {0x03, 0x11, 0x03, 0x1E, 0x07};
const std::vector<uint32_t> kWords = {0xC6F1D2A5, 0x1B2C3D4E, 0xFFFFFFFF, 0, 0x80000001};
constexpr uint32_t kStreamStart = 0x0C;
const auto kCount = static_cast<uint32_t>(kWords.size());

// The four kinds of multi-register transfer.
struct Shape {
    const char* name;
    bool batch, write;
};
const Shape kShapes[] = {{"batch write", true, true},
                         {"batch read", true, false},
                         {"stream write", false, true},
                         {"stream read", false, false}};

// A batch of regs[0..count), or a stream of `count` words from regs[0].
int32_t transfer(FT_HANDLE dev, PROT_HANDLE prot, const Shape& shape, const uint32_t* regs,
                 uint32_t* data, uint32_t count) {
    return shape.batch ? multiRegRW(dev, prot, regs, data, count, shape.write)
                       : multiRegStreamRW(dev, prot, regs[0], data, count, shape.write);
}

// Two devices at the same lag with the same chip and register contents: one
// takes the batch or stream, the other the equivalent single transfers.
class MultiEquivalence : public SimBench,
                         public testing::WithParamInterface<std::tuple<unsigned, Wiring>> {
protected:
    void SetUp() override {
        SimBench::SetUp();
        const auto& [lag, w] = GetParam();
        multiDev = openDevice(lag, "MULTI");
        singleDev = openDevice(lag, "SINGLE");
        multi = std::make_unique<Target>(device("MULTI"), w);
        single = std::make_unique<Target>(device("SINGLE"), w);
        // Registers and words as wide as the descriptor takes them.
        for (uint32_t reg : kBatchRegs) batchRegs.push_back(multi->addressOf(reg));
        for (uint32_t word : kWords) words.push_back(word & multi->dataMask());
        streamStart = multi->addressOf(kStreamStart);
        for (uint32_t i = 0; i < 0x20; ++i) {
            multi->registers().write(multi->addressOf(i), preset(i));
            single->registers().write(single->addressOf(i), preset(i));
        }
    }

    uint32_t preset(uint32_t reg) const {
        return (0x5AC3A596u ^ (multi->addressOf(reg) * 0x9E3779B9u)) & multi->dataMask();
    }

    // The N single transfers that a stream from streamStart stands for.
    std::vector<uint32_t> singleStream(bool write) {
        std::vector<uint32_t> out;
        for (uint32_t i = 0; i < kCount; ++i)
            out.push_back(static_cast<uint32_t>(
                single->single(singleDev, write, single->addressOf(streamStart + i), words[i])));
        return out;
    }

    // One driver write and, for a read or an I2C write (which reads its
    // acknowledges back), one driver read.
    void expectOneRoundTrip(bool read) {
        if (!kBenchCountsLibraryCalls) return;
        EXPECT_EQ(1u, device("MULTI").calls(Op::Write));
        EXPECT_EQ(read || !std::get<1>(GetParam()).spi ? 1u : 0u, device("MULTI").calls(Op::Read));
    }

    void expectSameChips() {
        EXPECT_EQ(single->registers().cells, multi->registers().cells);
        EXPECT_TRUE(multi->clean());
        EXPECT_TRUE(single->clean());
    }

    std::vector<uint32_t> batchRegs, words;
    uint32_t streamStart = 0;
    FT_HANDLE multiDev = nullptr, singleDev = nullptr;
    std::unique_ptr<Target> multi, single;
};

TEST_P(MultiEquivalence, BatchReadReturnsWhatSingleReadsReturn) {
    std::vector<uint32_t> data(kCount, kUntouched), singles;
    ASSERT_EQ(0, multiRegRW(multiDev, multi->prot(), batchRegs.data(), data.data(), kCount, 0));
    for (uint32_t reg : batchRegs)
        singles.push_back(static_cast<uint32_t>(single->single(singleDev, false, reg, 0)));
    EXPECT_EQ(singles, data);
    EXPECT_EQ(single->log(), multi->log());
    expectSameChips();
    expectOneRoundTrip(true);
}

TEST_P(MultiEquivalence, BatchWriteLeavesTheChipAsSingleWritesDo) {
    ASSERT_EQ(0, multiRegRW(multiDev, multi->prot(), batchRegs.data(),
                            const_cast<uint32_t*>(words.data()), kCount, 1));
    for (uint32_t i = 0; i < kCount; ++i)
        ASSERT_EQ(0, single->single(singleDev, true, batchRegs[i], words[i]));
    EXPECT_EQ(single->log(), multi->log());
    expectSameChips();
    expectOneRoundTrip(false);
}

// The stream read is the first transfer after opening: at lags 1 and 2 its
// read-back begins with the levels from before the frame.
TEST_P(MultiEquivalence, FirstStreamReadAfterOpeningReturnsConsecutiveRegisters) {
    std::vector<uint32_t> data(kCount, kUntouched), expected;
    ASSERT_EQ(0, multiRegStreamRW(multiDev, multi->prot(), streamStart, data.data(), kCount, 0));
    for (uint32_t i = 0; i < kCount; ++i) expected.push_back(preset(streamStart + i));
    EXPECT_EQ(expected, data);
    EXPECT_EQ(expected, singleStream(false));
    EXPECT_EQ(single->log(true), multi->log());
    expectSameChips();
    expectOneRoundTrip(true);
}

TEST_P(MultiEquivalence, StreamWriteLeavesTheChipAsSingleWritesDo) {
    ASSERT_EQ(0, multiRegStreamRW(multiDev, multi->prot(), streamStart,
                                  const_cast<uint32_t*>(words.data()), kCount, 1));
    EXPECT_EQ(std::vector<uint32_t>(kCount, 0), singleStream(true));
    EXPECT_EQ(single->log(true), multi->log());
    expectSameChips();
    expectOneRoundTrip(false);
}

INSTANTIATE_TEST_SUITE_P(AllLags, MultiEquivalence,
                         testing::Combine(testing::Values(0u, 1u, 2u), testing::ValuesIn(kWirings)),
                         [](const auto& info) {
                             return std::string(std::get<1>(info.param).name) + "_lag" +
                                    std::to_string(std::get<0>(info.param));
                         });

class MultiTransfer : public SimBench {
protected:
    std::vector<uint8_t> readBack() {
        std::vector<uint8_t> rx;
        for (const auto& s : device().trace()) rx.push_back(s.readback);
        return rx;
    }
    static std::string dump(const std::vector<uint8_t>& samples) {
        return captureStdout(
            [&] { qz::printPattern(samples.data(), static_cast<uint32_t>(samples.size()), 'n'); });
    }
};

// Clock 0, chip select 1, data in 2, two address and two data bits:
// register 2 with words 1 and 2.
TEST_F(MultiTransfer, GoldenFramesOfBatchAndStream) {
    FT_HANDLE dev = openDevice(0);
    Descriptor d;
    makeSPI(d, 0, 1, 2, 3, 2, 2, 1, 0);
    const uint32_t regs[] = {2, 1};
    uint32_t words[] = {1, 2};
    ASSERT_EQ(0, multiRegRW(dev, d.get(), regs, words, 2, 1));
    EXPECT_EQ(written(), (std::vector<uint8_t>{0x02, 0x02, 0x00, 0x04, 0x05, 0x00, 0x01, 0x00,
                                               0x01, 0x04, 0x05, 0x00, 0x02, 0x02,  // 2 <- 1
                                               0x02, 0x02, 0x00, 0x00, 0x01, 0x04, 0x05, 0x04,
                                               0x05, 0x00, 0x01, 0x00, 0x02, 0x02}));  // 1 <- 2
    device().clearTrace();
    ASSERT_EQ(0, multiRegStreamRW(dev, d.get(), 2, words, 2, 1));
    EXPECT_EQ(written(), (std::vector<uint8_t>{0x02, 0x02, 0x00, 0x04, 0x05, 0x00, 0x01, 0x00, 0x01,
                                               0x04, 0x05,              // frame without its end
                                               0x04, 0x05, 0x00, 0x01,  // the word 2
                                               0x00, 0x02, 0x02}));     // the frame's end
}

TEST_F(MultiTransfer, OneRegisterSendsExactlyTheSingleFrame) {
    FT_HANDLE dev = openDevice(1);
    for (const Wiring& w : {kWirings[2], kWirings[6]}) {
        const Target target(device(), w);
        for (bool write : {true, false}) {
            SCOPED_TRACE(std::string(w.name) + (write ? " write" : " read"));
            uint32_t reg = 0x15, data = 0x1234;
            device().clearTrace();
            target.single(dev, write, reg, data);
            const auto frame = written();
            device().clearTrace();
            ASSERT_EQ(0, multiRegRW(dev, target.prot(), &reg, &data, 1, write));
            EXPECT_EQ(frame, written());
            device().clearTrace();
            data = 0x1234;
            ASSERT_EQ(0, multiRegStreamRW(dev, target.prot(), reg, &data, 1, write));
            EXPECT_EQ(frame, written());
        }
        device().detachAll();
    }
}

// The master acknowledges every byte it reads but the very last of the stream.
TEST_F(MultiTransfer, StreamedI2CReadLeavesOnlyTheLastByteUnacknowledged) {
    FT_HANDLE dev = openDevice(1);
    auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
    bus->addChip(0x50, 1, 2);  // a stream read needs its acknowledges
    device().attach(bus);
    Descriptor d;
    makeI2C(d, 0, 1, 2, 0x50, 1, 2);
    uint32_t data[2] = {};
    ASSERT_EQ(0, multiRegStreamRW(dev, d.get(), 7, data, 2, 0));
    const auto wire = written();
    ASSERT_EQ(189u + 72, wire.size());  // a 189-sample frame and a 72-sample word
    // The data bytes follow the START, address, register byte, repeated START
    // and address again; a byte's acknowledge slot is its last four samples,
    // SDA low at the second with SCL high = acknowledged.
    const std::size_t firstByte = 3 + 36 + 36 + 3 + 36;
    for (std::size_t k = 0; k < 4; ++k)
        EXPECT_EQ(k == 3, qz::pinHigh(wire[firstByte + 36 * k + 33], 1)) << "byte " << k;
}

TEST_F(MultiTransfer, OneRoundTripWhateverTheCount) {
    FT_HANDLE dev = openDevice(2);
    for (const Wiring& w : {kWirings[2], kWirings[6]}) {
        const Target target(device(), w);
        for (uint32_t count : {1u, 7u, 300u}) {
            std::vector<uint32_t> regs(count, 5), data(count, 0);
            for (const Shape& shape : kShapes) {
                SCOPED_TRACE(std::string(w.name) + " " + shape.name + " of " +
                             std::to_string(count));
                device().resetCallCounts();
                device().clearTrace();
                EXPECT_EQ(0, transfer(dev, target.prot(), shape, regs.data(), data.data(), count));
                EXPECT_EQ(1u, device().calls(Op::Purge));
                EXPECT_EQ(1u, device().calls(Op::SetBitMode));
                // Streams longer than one driver buffer go in chunks with
                // their read-back drained as it comes; the others in one
                // write and (I2C writes read their acknowledges back) one read.
                if (written().size() <= qz::kSingleWriteSamples) {
                    EXPECT_EQ(1u, device().calls(Op::Write));
                    EXPECT_EQ(shape.write && w.spi ? 0u : 1u, device().calls(Op::Read));
                    if (!(shape.write && w.spi)) {
                        // The read waits until its bytes are queued: untimed, one poll.
                        EXPECT_EQ(1u, device().calls(Op::GetQueueStatus));
                    }
                }
            }
        }
        device().detachAll();
    }
}

TEST_F(MultiTransfer, EmptyOrOversizeRequestMakesNoDriverCall) {
    FT_HANDLE dev = openDevice(1);
    Descriptor d;
    makeSPI(d, 0, 1, 2, 3, 4, 8, 1, 1);  // 32-sample frames, 16-sample stream words
    uint32_t regs[2] = {1, 2}, data[2] = {kUntouched, kUntouched};
    device().resetCallCounts();
    for (uint32_t count : {0u, 0xFFFFFFFFu, 0x08000000u, 0x10000000u}) {
        for (int32_t write : {0, 1}) {
            SCOPED_TRACE(std::to_string(count) + (write ? " write" : " read"));
            if (count != 0x10000000u) {
                EXPECT_EQ(-1, multiRegRW(dev, d.get(), regs, data, count, write));
            }
            if (count != 0x08000000u) {
                EXPECT_EQ(-1, multiRegStreamRW(dev, d.get(), 1, data, count, write));
            }
        }
    }
    EXPECT_EQ(-1, multiRegRW(dev, d.get(), nullptr, data, 1, 0));
    EXPECT_EQ(-1, multiRegRW(dev, nullptr, regs, data, 1, 0));
    EXPECT_EQ(-1, multiRegStreamRW(dev, d.get(), 1, nullptr, 1, 0));
    uint64_t calls = 0;
    for (unsigned op = 0; op < qzsim::kOpCount; ++op) calls += device().calls(static_cast<Op>(op));
    EXPECT_EQ(0u, calls);
    EXPECT_EQ(kUntouched, data[0]);
}

// A driver fault: a failing call, a write that takes 5 bytes, or a read-back
// that stops 5 bytes after the first frame (the batch's wait is then over).
TEST_F(MultiTransfer, DriverFailureGivesMinusOneAndLeavesDataAlone) {
    FT_HANDLE dev = openDevice(1);
    const Target target(device(), kWirings[2]);
    constexpr uint32_t kFrame = 2 * (16 + 32 + 3 + 1);
    enableDebugPrint(0, 1);
    for (const DriverFault& f : kDriverFaults) {
        for (const Shape& shape : kShapes) {
            // Writes never read back; streams read without polling the queue.
            if ((f.onReadBack() && shape.write) || (f.op == Op::GetQueueStatus && !shape.batch))
                continue;
            SCOPED_TRACE(std::string(f.name) + ", " + shape.name);
            f.inject(device(), 5, kFrame + 5);
            uint32_t regs[3] = {1, 2, 3}, data[3] = {kUntouched, kUntouched, kUntouched};
            const std::string out = captureStdout(
                [&] { EXPECT_EQ(-1, transfer(dev, target.prot(), shape, regs, data, 3)); });
            EXPECT_EQ("", out);  // no read-back dump
            if (!shape.write) {
                EXPECT_EQ(std::vector<uint32_t>(3, kUntouched), std::vector(data, data + 3));
            }
        }
    }
}

// A pin sink spoils the frames' reference features: chip select or SCL held
// low throughout, through one gap between frames, or for one sample (a fall
// too many). Spans count samples on the wire. The unspoilt case reads.
TEST_F(MultiTransfer, MiscountedReferenceFeatureFailsAndLeavesDataAlone) {
    enum class Sink { None, Throughout, Span };
    struct Case {
        const char* what;
        bool spi, batch;
        Sink sink;
        std::size_t from, to;  // the sunk span, inclusive
        int32_t expected;
    } const cases[] = {
        {"SPI batch, nothing sunk", true, true, Sink::None, 0, 0, 0},
        {"SPI batch, chip select held low", true, true, Sink::Throughout, 0, 0, -1},
        {"SPI stream, chip select held low", true, false, Sink::Throughout, 0, 0, -1},
        {"SPI batch, two frames merged", true, true, Sink::Span, 30, 33, -1},
        {"SPI batch, a chip-select fall too many", true, true, Sink::Span, 31, 31, -1},
        {"I2C batch, nothing sunk", false, true, Sink::None, 0, 0, 0},
        {"I2C batch, SCL held low", false, true, Sink::Throughout, 0, 0, -1},
        {"I2C stream, SCL held low", false, false, Sink::Throughout, 0, 0, -1},
        {"I2C batch, second repeated START lost", false, true, Sink::Span, 153 + 75, 153 + 77, -1},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string serial = "R" + std::to_string(n++);
        FT_HANDLE dev = openDevice(1, serial);
        Descriptor d;
        if (c.spi)
            makeSPI(d, 0, 1, 2, 3, 4, 8, 1, 1);  // 32-sample frames
        else
            makeI2C(d, 0, 1, 2, 0x50, 1, 1);  // 153-sample read frames
        // Level entry 0 is the sample in which the mode change settles; the
        // frames follow. The last entry holds on.
        std::vector<uint8_t> levels = {c.sink == Sink::Throughout ? uint8_t{0} : uint8_t{0xFF}};
        if (c.sink == Sink::Span) {
            levels.assign(c.to + 3, 0xFF);
            std::fill(levels.begin() + 1 + c.from, levels.begin() + 2 + c.to, 0);
        }
        const uint8_t sunkPin = c.spi ? 0x02 : 0x01;  // chip select, SCL
        device(serial).attach(std::make_shared<qzsim::InputSource>(sunkPin, levels));
        if (!c.spi) {  // a chip that acknowledges, so that only the sink can spoil the read
            auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
            bus->addChip(0x50, 1, 1);
            device(serial).attach(bus);
        }
        uint32_t regs[2] = {1, 2}, data[2] = {kUntouched, kUntouched};
        EXPECT_EQ(c.expected, c.batch ? multiRegRW(dev, d.get(), regs, data, 2, 0)
                                      : multiRegStreamRW(dev, d.get(), 1, data, 2, 0));
        if (c.expected != 0) {
            EXPECT_EQ(std::vector<uint32_t>(2, kUntouched), std::vector(data, data + 2));
        }
    }
}

TEST_F(MultiTransfer, StreamDumpsWholeStreamAndReadBackBatchNothing) {
    FT_HANDLE dev = openDevice(1);
    const Target target(device(), kWirings[0]);  // 36-sample frames, 16-sample words
    uint32_t regs[3] = {1, 2, 3}, data[3] = {4, 5, 6};

    enableDebugPrint(1, 0);
    std::string out =
        captureStdout([&] { EXPECT_EQ(0, multiRegStreamRW(dev, target.prot(), 1, data, 3, 1)); });
    ASSERT_EQ(68u, written().size());
    EXPECT_EQ(dump(written()), out);  // the three closing samples included

    enableDebugPrint(0, 1);
    device().clearTrace();
    out = captureStdout([&] { EXPECT_EQ(0, multiRegStreamRW(dev, target.prot(), 1, data, 3, 0)); });
    EXPECT_EQ(dump(readBack()), out);

    enableDebugPrint(1, 1);
    for (int32_t write : {0, 1})
        EXPECT_EQ("", captureStdout([&] {
                      EXPECT_EQ(0, multiRegRW(dev, target.prot(), regs, data, 3, write));
                  }));
}

}  // namespace

namespace {

// A batch read takes each data bit at the bit slot's second SCL-high sample:
// a slave whose SDA is still settling in the first (sunk here for one
// sample, the first data bit's) reads right.
TEST_F(MultiTransfer, BatchReadSamplesDataBitsAtTheSecondSclHighSample) {
    FT_HANDLE dev = openDevice(1);
    auto bus = std::make_shared<qzsim::I2CBus>(0, 1, 2);
    bus->addChip(0x50, 1, 1)->registers.write(0x07, 0xFF);
    std::vector<uint8_t> levels(1 + 115, 0xFF);  // the first data bit rises SCL at sample 115
    levels.push_back(0);
    levels.push_back(0xFF);
    device().attach(std::make_shared<qzsim::InputSource>(0x04, levels));
    device().attach(bus);
    Descriptor d;
    makeI2C(d, 0, 1, 2, 0x50, 1, 1);
    uint32_t reg = 0x07, value = 0;
    ASSERT_EQ(0, multiRegRW(dev, d.get(), &reg, &value, 1, 0));
    EXPECT_EQ(0xFFu, value);
}

}  // namespace
