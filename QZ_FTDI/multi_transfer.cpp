// Multi-register transfers in one USB round trip: batches (one complete frame
// per register, laid back to back) and streams (one frame addressed once,
// further data words spliced in before its closing samples).
#include "diagnostics.h"
#include "i2c.h"
#include "device.h"
#include "session.h"
#include "spi.h"

#include <algorithm>
#include <limits>

namespace {

using qz::ByteStream;
using qz::sequenceMode;

// A waveform generator: the stream length for a mode, and a renderer that
// fills exactly that many samples.
struct Generator {
    uint32_t (*length)(const PROT_DES&, sequenceMode);
    void (*render)(const PROT_DES&, uint32_t, uint32_t, sequenceMode, uint8_t*);
};

// Indexed by SPI_I2C: 0 the I2C generator, 1 the SPI generator.
constexpr Generator byteStreamFunc[2] = {
    {qz::i2cStreamLength, qz::renderI2CStream},
    {qz::spiStreamLength, qz::renderSPIStream},
};

const Generator& generatorFor(const PROT_DES& des) {
    return byteStreamFunc[qz::isSPI(des) ? 1 : 0];
}

// FT_Write and FT_Read take 32-bit lengths.
constexpr uint64_t kMaxTransfer = std::numeric_limits<uint32_t>::max();

// ---- batches --------------------------------------------------------------

// The outcome of words read straight into the caller's buffer (written only
// when every word was there).
qz::Outcome deliverI2C(bool delivered) {
    return delivered ? qz::Outcome::success() : qz::Outcome::of(QZ_FRAME_NOT_FOUND);
}

// Hands the words read to the caller; data is written only on success.
qz::Outcome deliver(const std::optional<std::vector<uint32_t>>& words, uint32_t* data) {
    if (!words) return qz::Outcome::of(QZ_FRAME_NOT_FOUND);
    std::copy(words->begin(), words->end(), data);
    return qz::Outcome::success();
}

// The samples of a batch of numRegs frames of `mode`, or nullopt when it does
// not fit one driver transfer.
std::optional<uint32_t> batchLength(const PROT_DES& des, uint32_t numRegs, bool write) {
    const uint64_t total =
        uint64_t{generatorFor(des).length(des, write ? qz::WRITE : qz::READ_NACK)} * numRegs;
    if (total > kMaxTransfer) return std::nullopt;
    return static_cast<uint32_t>(total);
}

// SPI batch: a write does not read back; a read finds each frame by its
// chip-select fall.
qz::Outcome spiBatch(FT_HANDLE dev, const PROT_DES& spi, const uint32_t* reg, uint32_t* data,
                     uint32_t numRegs, bool write, uint32_t frameLength) {
    const sequenceMode mode = write ? qz::WRITE : qz::READ_NACK;
    ByteStream rx;
    {  // the batch is released before its read-back is examined
        ByteStream batch(std::size_t{frameLength} * numRegs);
        for (uint32_t i = 0; i < numRegs; ++i)
            qz::renderSPIStream(spi, reg[i], write ? data[i] : 0, mode,
                                batch.data() + std::size_t{frameLength} * i);
        // Wait for one frame's worth; the driver's read waits for the rest.
        const qz::Outcome played =
            qz::playStream(dev, spi, batch, qz::PlayOptions{!write, frameLength, false}, &rx);
        if (!played.ok() || write) return played;
    }
    return deliver(qz::spiBatchWords(spi, rx, numRegs), data);
}

// I2C batch: writes read back too, for their acknowledges; every frame is
// judged as a single transfer would judge it.
qz::Outcome i2cBatch(FT_HANDLE dev, const PROT_DES& i2c, const uint32_t* reg, uint32_t* data,
                     uint32_t numRegs, bool write, uint32_t frameLength) {
    const sequenceMode mode = write ? qz::WRITE : qz::READ_NACK;
    const std::size_t total = std::size_t{frameLength} * numRegs;
    ByteStream batch(total), rx;
    const qz::I2CLayout layout =
        qz::i2cRepeated(qz::i2cShape(i2c, mode, true), numRegs, frameLength, true);
    for (uint32_t i = 0; i < numRegs; ++i)
        qz::renderI2CStream(i2c, reg[i], write ? data[i] : 0, mode,
                            batch.data() + std::size_t{frameLength} * i);
    const qz::I2CJudgement judged =
        qz::playI2C(dev, i2c, batch, layout, qz::PlayOptions{true, frameLength, false},
                    frameLength, frameLength, &rx);
    if (!judged.outcome.ok() || write) return judged.outcome;
    return deliverI2C(qz::i2cReceivedWords(i2c, layout, rx, judged.lag, numRegs, data));
}

qz::Outcome batchTransfer(FT_HANDLE dev, const PROT_DES& des, const uint32_t* reg,
                          uint32_t* data, uint32_t numRegs, bool write, uint32_t total) {
    qz::DeviceSession session(dev);
    if (qz::Outcome purged = qz::beginTransaction(dev, des); !purged.ok()) return purged;
    const uint32_t frameLength = total / numRegs;
    return qz::isSPI(des) ? spiBatch(dev, des, reg, data, numRegs, write, frameLength)
                          : i2cBatch(dev, des, reg, data, numRegs, write, frameLength);
}

// ---- streams --------------------------------------------------------------

// The kinds of the three parts of a stream: the first frame, the pieces for
// the further words, and the last piece (an I2C read does not acknowledge
// the very last byte).
struct StreamKinds {
    sequenceMode first, piece, lastPiece;
};

StreamKinds streamKinds(const PROT_DES& des, uint32_t numRegs, bool write) {
    if (write) return {qz::WRITE, qz::WRITE_STREAM_WORD, qz::WRITE_STREAM_WORD};
    if (qz::isSPI(des)) return {qz::READ_ACK, qz::READ_STREAM_WORD_ACK, qz::READ_STREAM_WORD_ACK};
    return {numRegs == 1 ? qz::READ_NACK : qz::READ_ACK, qz::READ_STREAM_WORD_ACK,
            qz::READ_STREAM_WORD_NACK};
}

// A frame's last three samples close it (SPI: the sample before chip select
// rises and two with it high; I2C: the STOP). They move to the stream's end.
constexpr uint32_t kClosingSamples = 3;

// The samples of a stream of numRegs words, or nullopt when it does not fit
// one driver transfer.
std::optional<uint32_t> streamLength(const PROT_DES& des, uint32_t numRegs, bool write) {
    const Generator& gen = generatorFor(des);
    const StreamKinds kinds = streamKinds(des, numRegs, write);
    const uint64_t total =
        gen.length(des, kinds.first) + uint64_t{gen.length(des, kinds.piece)} * (numRegs - 1);
    if (total > kMaxTransfer) return std::nullopt;
    return static_cast<uint32_t>(total);
}

// The plan of an I2C stream of numRegs words whose first frame is cut before
// its closing samples at `cut`: the frame, the pieces (the words they carry),
// the closing samples.
void planI2CStream(const PROT_DES& i2c, const StreamKinds& kinds, uint32_t numRegs, uint32_t cut,
                   uint32_t pieceLength, qz::I2CLayout& layout) {
    const uint32_t frame = layout.add(qz::i2cShape(i2c, kinds.first));
    auto plan = [&](uint32_t shape, uint32_t at, uint32_t count, uint32_t from, uint32_t length,
                    uint32_t unit) {
        if (count > 0)
            layout.runs.push_back({.at = at, .count = count, .stride = length, .shape = shape,
                                   .from = from, .length = length, .unit = unit, .unitStep = 1});
    };
    plan(frame, 0, 1, 0, cut, 0);
    if (numRegs > 1) {
        plan(layout.add(qz::i2cShape(i2c, kinds.piece)), cut, numRegs - 2, 0, pieceLength, 1);
        plan(layout.add(qz::i2cShape(i2c, kinds.lastPiece)), cut + pieceLength * (numRegs - 2), 1,
             0, pieceLength, numRegs - 1);
    }
    plan(frame, cut + pieceLength * (numRegs - 1), 1, cut, kClosingSamples, 0);
}

// Lays the stream into `stream`: the first frame without its closing
// samples, the pieces, then the closing samples. With a layout (I2C) the
// stream is planned as the first frame's run, the pieces' runs (each piece
// the word it carries) and the closing samples' run.
void assembleStream(const PROT_DES& des, uint32_t reg, const uint32_t* data, uint32_t numRegs,
                    bool write, ByteStream& stream, qz::I2CLayout* layout) {
    const Generator& gen = generatorFor(des);
    const StreamKinds kinds = streamKinds(des, numRegs, write);
    const uint32_t frameLength = gen.length(des, kinds.first);
    const uint32_t pieceLength = gen.length(des, kinds.piece);
    auto render = [&](uint32_t word, sequenceMode mode, uint32_t at) {
        gen.render(des, reg, write ? data[word] : 0, mode, stream.data() + at);
    };
    render(0, kinds.first, 0);
    const uint32_t cut = frameLength - kClosingSamples;
    uint8_t closing[kClosingSamples];
    std::copy_n(stream.data() + cut, kClosingSamples, closing);
    uint32_t at = cut;
    for (uint32_t i = 1; i < numRegs; ++i, at += pieceLength)
        render(i, i + 1 == numRegs ? kinds.lastPiece : kinds.piece, at);
    std::copy_n(closing, kClosingSamples, stream.data() + at);
    if (layout) planI2CStream(des, kinds, numRegs, cut, pieceLength, *layout);
}

qz::Outcome streamTransfer(FT_HANDLE dev, const PROT_DES& des, uint32_t reg, uint32_t* data,
                           uint32_t numRegs, bool write, uint32_t total) {
    qz::DeviceSession session(dev);
    if (qz::Outcome purged = qz::beginTransaction(dev, des); !purged.ok()) return purged;
    const uint32_t frameLength =
        generatorFor(des).length(des, streamKinds(des, numRegs, write).first);
    ByteStream stream(total), rx;
    // No wait first: the driver's read returns once every byte has come.
    const qz::PlayOptions options{!qz::isSPI(des) || !write, std::nullopt, true};
    if (qz::isSPI(des)) {
        assembleStream(des, reg, data, numRegs, write, stream, nullptr);
        const qz::Outcome played = qz::playStream(dev, des, stream, options, &rx);
        if (!played.ok() || write) return played;
        const qz::Outcome delivered = deliver(qz::spiStreamWords(des, rx, frameLength, numRegs), data);
        if (delivered.ok()) qz::dumpReadBack(rx);
        return delivered;
    }
    // I2C: writes read back too, for their acknowledges.
    qz::I2CLayout layout;
    assembleStream(des, reg, data, numRegs, write, stream, &layout);
    const qz::I2CJudgement judged =
        qz::playI2C(dev, des, stream, layout, options, frameLength, 0, &rx);
    if (!judged.outcome.ok() || write) return judged.outcome;
    const qz::Outcome delivered =
        deliverI2C(qz::i2cReceivedWords(des, layout, rx, judged.lag, numRegs, data));
    if (delivered.ok()) qz::dumpReadBack(rx);
    return delivered;
}

// ---- the C entry points' checks ---------------------------------------------

// Whether a register address and (for writes) a data word fit the
// descriptor's widths.
bool argumentsFit(const PROT_DES& des, uint32_t reg, uint32_t data, bool write) {
    if (qz::isSPI(des)) return qz::spiArgumentsFit(des, reg, write ? data : 0);
    return qz::fitsWidth(reg, 8u * des.bytesPerAddr) &&
           (!write || qz::fitsWidth(data, 8u * des.bytesPerReg));
}

// A read of zero I2C data bytes would leave the peripheral driving SDA.
bool readsNothing(const PROT_DES& des, bool write) {
    return !write && !qz::isSPI(des) && des.bytesPerReg == 0;
}

qz::Outcome batchHandle(FT_HANDLE dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                        uint32_t numRegs, bool write) {
    const auto des = qz::copyDescriptor(prot);
    if (!des || !reg || !data || numRegs == 0 || readsNothing(*des, write))
        return qz::Outcome::of(QZ_BAD_ARGUMENT);
    const auto total = batchLength(*des, numRegs, write);
    if (!total) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    for (uint32_t i = 0; i < numRegs; ++i) {
        if (!argumentsFit(*des, reg[i], write ? data[i] : 0, write)) {
            qz::Outcome outcome = qz::Outcome::of(QZ_BAD_ARGUMENT);
            outcome.index = i;
            return outcome;
        }
    }
    return qz::guardedOutcome(
        [&] { return batchTransfer(dev, *des, reg, data, numRegs, write, *total); });
}

qz::Outcome streamHandle(FT_HANDLE dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                         uint32_t numRegs, bool write) {
    const auto des = qz::copyDescriptor(prot);
    if (!des || !data || numRegs == 0 || readsNothing(*des, write))
        return qz::Outcome::of(QZ_BAD_ARGUMENT);
    const auto total = streamLength(*des, numRegs, write);
    if (!total) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    for (uint32_t i = 0; i < numRegs; ++i) {
        if (!argumentsFit(*des, reg, write ? data[i] : 0, write)) {
            qz::Outcome outcome = qz::Outcome::of(QZ_BAD_ARGUMENT);
            outcome.index = i;
            return outcome;
        }
    }
    return qz::guardedOutcome(
        [&] { return streamTransfer(dev, *des, reg, data, numRegs, write, *total); });
}

}  // namespace

extern "C" {

// Writes (write non-zero) or reads numRegs registers reg[i] <-> data[i] as a
// batch of complete frames in one driver write (and one read). 0, or -1 on a
// driver failure, a handle that is not a live descriptor, a null argument,
// numRegs 0, a batch too large for one transfer, a register or word wider
// than the descriptor (no driver call for these), an I2C read of zero data
// bytes, a missing I2C acknowledge, a held bus or clock, or a read-back that
// does not show every frame; data is written only after a successful read.
int32_t multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                   uint32_t numRegs, int32_t write) {
    return qz::zeroOrFailure(batchHandle(dev, prot, reg, data, numRegs, write != 0));
}

// Writes or reads numRegs consecutive data words starting at register reg in
// one frame that carries the address once. Results as for multiRegRW.
int32_t multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                         uint32_t numRegs, int32_t write) {
    return qz::zeroOrFailure(streamHandle(dev, prot, reg, data, numRegs, write != 0));
}

// multiRegRW as a status; detail->index names the register concerned.
int32_t qz_multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                      uint32_t numRegs, int32_t write, QZ_RESULT* detail) {
    return qz::report(batchHandle(dev, prot, reg, data, numRegs, write != 0), detail);
}

// multiRegStreamRW as a status; detail->index names the word concerned.
int32_t qz_multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                            uint32_t numRegs, int32_t write, QZ_RESULT* detail) {
    return qz::report(streamHandle(dev, prot, reg, data, numRegs, write != 0), detail);
}

}  // extern "C"
