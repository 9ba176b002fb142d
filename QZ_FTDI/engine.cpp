// The transaction engine: the protocol table (one row per protocol, chosen
// once per descriptor) and the runner every register, batch, stream and raw
// transfer goes through.
#include "engine.h"
#include "device.h"
#include "diagnostics.h"
#include "session.h"

#include <limits>

namespace {

using qz::Destination;
using qz::ReadPlan;
using qz::sequenceMode;

uint8_t i2cOutputs(const PROT_DES& i2c) {
    return static_cast<uint8_t>(qz::pinBit(i2c.SCLnum) | qz::pinBit(i2c.SDAnumW));
}

uint8_t spiOutputs(const PROT_DES& spi) {
    return static_cast<uint8_t>(qz::pinBit(spi.CLKnum) | qz::pinBit(spi.CSnum) |
                                qz::pinBit(spi.SDInum));
}

// I2C registers are 8 x bytesPerAddr bits wide, data words 8 x bytesPerReg.
bool i2cFits(const PROT_DES& i2c, uint32_t reg, uint32_t data, bool write) {
    return qz::fitsWidth(reg, 8u * i2c.bytesPerAddr) &&
           (!write || qz::fitsWidth(data, 8u * i2c.bytesPerReg));
}

bool spiFits(const PROT_DES& spi, uint32_t reg, uint32_t data, bool write) {
    return qz::spiArgumentsFit(spi, reg, write ? data : 0);
}

// A read of zero I2C data bytes would leave the peripheral driving SDA.
bool i2cReadsNothing(const PROT_DES& i2c) { return i2c.bytesPerReg == 0; }
bool spiReadsNothing(const PROT_DES&) { return false; }

// An I2C read does not acknowledge its very last byte.
qz::StreamKinds i2cStreamKinds(uint32_t numRegs, bool write) {
    if (write) return {qz::WRITE, qz::WRITE_STREAM_WORD, qz::WRITE_STREAM_WORD};
    return {numRegs == 1 ? qz::READ_NACK : qz::READ_ACK, qz::READ_STREAM_WORD_ACK,
            qz::READ_STREAM_WORD_NACK};
}

qz::StreamKinds spiStreamKinds(uint32_t, bool write) {
    if (write) return {qz::WRITE, qz::WRITE_STREAM_WORD, qz::WRITE_STREAM_WORD};
    return {qz::READ_ACK, qz::READ_STREAM_WORD_ACK, qz::READ_STREAM_WORD_ACK};
}

// I2C frames as runs of one shape; a batch samples the peripheral's bits on
// the slot's second SCL-high sample.
void i2cPlanFrames(const PROT_DES& i2c, sequenceMode mode, uint32_t count, uint32_t frameLength,
                   bool batch, Destination into, ReadPlan& plan) {
    plan.layout = qz::i2cRepeated(qz::i2cShape(i2c, mode, batch), count, frameLength, true);
    into.bits = 8u * i2c.bytesPerReg;
    plan.words.push_back(into);
}

void i2cPlanStream(const PROT_DES& i2c, const qz::StreamKinds& kinds, uint32_t numRegs,
                   uint32_t cut, uint32_t, uint32_t pieceLength, Destination into,
                   ReadPlan& plan) {
    qz::planI2CStream(i2c, kinds.first, kinds.piece, kinds.lastPiece, numRegs, cut, pieceLength,
                      plan.layout);
    into.bits = 8u * i2c.bytesPerReg;
    plan.words.push_back(into);
}

// An SPI frame's data word follows its command bits; a single frame (or a
// stream) is found by its first strobe, a batch's frames by their chip-select
// assertions.
void spiPlanFrames(const PROT_DES& spi, sequenceMode, uint32_t count, uint32_t, bool batch,
                   Destination into, ReadPlan& plan) {
    plan.fields.everyAssertion = batch;
    plan.fields.frames = count;
    plan.fields.limit = std::numeric_limits<std::size_t>::max();
    into.bits = spi.dataBits;
    plan.fields.runs.push_back({into, batch ? 1u : 0u, qz::spiDataPosition(spi, 0), 0});
}

// A stream's words follow one another after the first frame's command bits;
// its first strobe lies within the first frame.
void spiPlanStream(const PROT_DES& spi, const qz::StreamKinds&, uint32_t, uint32_t,
                   uint32_t frameLength, uint32_t, Destination into, ReadPlan& plan) {
    plan.fields.limit = frameLength;
    into.bits = spi.dataBits;
    plan.fields.runs.push_back({into, 0, qz::spiDataPosition(spi, 0),
                             std::size_t{qz::kSPISamplesPerBit} * spi.dataBits});
}

qz::Judgement i2cJudge(const PROT_DES& i2c, std::span<const uint8_t> written,
                       const ReadPlan& plan, std::span<const uint8_t> rx,
                       uint32_t firstFrameLength) {
    const qz::I2CJudgement judged = qz::judgeI2C(i2c, written, plan.layout, rx, firstFrameLength);
    return {judged.outcome, judged.lag};
}

// SPI has no acknowledges: what shows is read by the parser alone.
qz::Judgement spiJudge(const PROT_DES&, std::span<const uint8_t>, const ReadPlan&,
                       std::span<const uint8_t>, uint32_t) {
    return {};
}

bool i2cReceive(const PROT_DES& i2c, const ReadPlan& plan, std::span<const uint8_t> rx,
                std::size_t lag) {
    return qz::i2cReceivedWords(i2c, plan.layout, rx, lag, plan.words);
}

bool spiReceive(const PROT_DES& spi, const ReadPlan& plan, std::span<const uint8_t> rx,
                std::size_t) {
    return qz::spiReceive(spi, plan.fields, rx);
}

}  // namespace

const qz::Protocol qz::kI2CProtocol{
    kI2CBitEvents,     i2cOutputs,     i2cStreamLength, renderI2CStream, i2cFits,
    i2cReadsNothing,   i2cStreamKinds, true,            i2cPlanFrames,   i2cPlanStream,
    i2cJudge,          i2cReceive,
};

const qz::Protocol qz::kSPIProtocol{
    kSPISamplesPerBit, spiOutputs,     spiStreamLength, renderSPIStream, spiFits,
    spiReadsNothing,   spiStreamKinds, false,           spiPlanFrames,   spiPlanStream,
    spiJudge,          ::spiReceive,
};

const qz::Protocol& qz::protocolOf(const PROT_DES& des) {
    return isSPI(des) ? kSPIProtocol : kI2CProtocol;
}

qz::Outcome qz::runTransaction(FT_HANDLE dev, const PROT_DES& des, const Protocol* required,
                               const std::function<Transaction()>& build) {
    DeviceSession session(dev);
    if (Outcome begun = beginTransaction(dev, des); !begun.ok()) return begun;
    const Protocol& protocol = protocolOf(des);
    if (required && required != &protocol) return Outcome::of(QZ_BAD_ARGUMENT);
    Transaction t = build();
    ByteStream rx;
    const Outcome played = playStream(dev, des, t.stream, t.options, &rx);
    if (!played.ok() || !t.options.readBack) return played;
    const Judgement judged = protocol.judge(des, t.stream, t.plan, rx, t.firstFrameLength);
    // The words come from the read-back alone: the stream goes first.
    ByteStream().swap(t.stream);
    if (t.dumpReadBack == ReadBackDump::WhenFetched) dumpReadBack(rx);
    if (!judged.outcome.ok()) return judged.outcome;
    if (!protocol.receive(des, t.plan, rx, judged.lag)) return Outcome::of(QZ_FRAME_NOT_FOUND);
    if (t.dumpReadBack == ReadBackDump::WhenDelivered) dumpReadBack(rx);
    return Outcome::success();
}

bool qz::acceptsArguments(const PROT_DES& des, const Protocol* expected, uint32_t reg,
                          uint32_t data, bool write) {
    const Protocol& protocol = protocolOf(des);
    if (expected && expected != &protocol) return true;
    return protocol.fits(des, reg, data, write) && (write || !protocol.readsNothing(des));
}

qz::Outcome qz::registerHandle(FT_HANDLE dev, PROT_HANDLE handle, const Protocol& protocol,
                               uint32_t reg, uint32_t data, bool write, uint32_t* value) {
    const auto des = copyDescriptor(handle);
    if (!des || !acceptsArguments(*des, &protocol, reg, data, write))
        return Outcome::of(QZ_BAD_ARGUMENT);
    // An I2C read does not acknowledge its last data byte.
    const sequenceMode mode = write ? WRITE : READ_NACK;
    return guardedOutcome([&] {
        return runTransaction(dev, *des, &protocol, [&] {
            Transaction t;
            const uint32_t length = protocol.length(*des, mode);
            t.stream.resize(length);
            protocol.render(*des, reg, write ? data : 0, mode, t.stream.data());
            protocol.planFrames(*des, mode, 1, length, false,
                                Destination{write ? 0u : 1u, 0, value, nullptr}, t.plan);
            t.options = PlayOptions{!write || protocol.writesReadBack, length, write};
            t.dumpReadBack = write ? ReadBackDump::Never : ReadBackDump::WhenFetched;
            t.firstFrameLength = length;
            return t;
        });
    });
}
