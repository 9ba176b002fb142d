// I2C frame geometry, the plan of a played stream (which samples the master
// watches, where the peripheral answers) and the read-back judgement shared by
// the single-register, batched and streamed I2C transfers, the bus scan and
// the bus recovery.
#pragma once

#include "descriptors.h"
#include "frame.h"
#include "status.h"
#include "transport.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qz {

// Events of a START (SCL high throughout), of one bit slot (SCL low, high,
// high, low) and of one byte: eight bit slots and the acknowledge slot.
inline constexpr uint32_t kI2CStartEvents = 3;
inline constexpr uint32_t kI2CBitEvents = 4;
inline constexpr uint32_t kI2CByteEvents = 36;
inline constexpr uint32_t kI2CBitsPerByte = 8;

// The largest read-back lag the readers accept: how many samples the chip's
// read-back may trail the written stream (FTDI chips show 0 to 2).
inline constexpr std::size_t kMaxReadbackLag = 8;

// What the generator knows about one kind of piece (a frame, a stream word,
// a message's head or byte, a STOP), positions relative to its first sample.
// A piece's shape does not depend on the values it carries, so one shape
// serves every copy of it in a stream:
// - watchable[k]: the pins the master watches in sample k where it writes
//   them high: SCL wherever it drives SCL high, SDA (its read pin) in the
//   slots the master drives itself (not where the peripheral answers);
// - acks: every acknowledge slot's sampled position;
// - dataBits: the sample of every data bit the peripheral sends (the bit
//   slot's first SCL-high event, or its second for batch reads), in order,
//   most significant first.
struct I2CShape {
    std::vector<uint8_t> watchable;
    std::vector<uint32_t> acks;
    std::vector<uint32_t> dataBits;
};

// `count` copies of samples [from, from + length) of one shape, the first
// copy at stream position `at`, each next one `stride` samples further; copy
// i serves frame `frame + i * frameStep` and unit `unit + i * unitStep`.
struct I2CRun {
    uint32_t at = 0;
    uint32_t count = 1;
    uint32_t stride = 0;
    uint32_t shape = 0;
    uint32_t from = 0;
    uint32_t length = 0;
    uint32_t frame = 0, frameStep = 0;
    uint32_t unit = 0, unitStep = 0;
};

// The plan of a played stream: its pieces as runs of shapes, in stream
// order. Its size grows with the kinds of piece and the messages, never with
// the samples, so that a long batch holds little more than its stream and
// read-back.
struct I2CLayout {
    std::vector<I2CShape> shapes;
    std::vector<I2CRun> runs;

    // Adds a shape; its index for the runs.
    uint32_t add(I2CShape shape);
};

// Calls visit(position, frame, unit) for every position a shape records in
// `positions` (its acknowledges or its data bits), over the runs in stream
// order; stops early when visit returns false.
template <class Visit>
void forEachPlanned(const I2CLayout& layout, std::vector<uint32_t> I2CShape::*positions,
                    Visit visit) {
    for (const I2CRun& run : layout.runs)
        for (uint32_t c = 0; c < run.count; ++c)
            for (const uint32_t offset : layout.shapes[run.shape].*positions)
                if (offset >= run.from && offset < run.from + run.length &&
                    !visit(run.at + c * run.stride + (offset - run.from),
                           run.frame + c * run.frameStep, run.unit + c * run.unitStep))
                    return;
}

// Every acknowledge slot: visit(position, frame, unit).
template <class Visit>
void forEachAck(const I2CLayout& layout, Visit visit) {
    forEachPlanned(layout, &I2CShape::acks, visit);
}

// Every data bit the peripheral sends: visit(position).
template <class Visit>
void forEachDataBit(const I2CLayout& layout, Visit visit) {
    forEachPlanned(layout, &I2CShape::dataBits,
                   [&](uint32_t position, uint32_t, uint32_t) { return visit(position); });
}

// How the master treats SDA in one sample.
enum class SdaLevel { DrivenLow, DrivenHigh, Released };

// One pin sample of the descriptor's I2C pins: SCL high or low, SDA driven or
// released (SDA written high and, with an output-enable pin, the buffer
// enabled), the output enable otherwise at its idle level.
uint8_t i2cSample(const PROT_DES& i2c, bool sclHigh, SdaLevel sda);

// The I2C generator: the length of the stream of `mode`, and a renderer that
// fills exactly that many samples; createI2CByteStream returns it as a fresh
// buffer.
uint32_t i2cStreamLength(const PROT_DES& i2c, sequenceMode mode);
void renderI2CStream(const PROT_DES& i2c, uint32_t reg, uint32_t data, sequenceMode mode,
                     uint8_t* out);
ByteStream createI2CByteStream(const PROT_DES& i2c, uint32_t reg, uint32_t data,
                               sequenceMode mode);

// The shape of a piece of `mode`; batch reads sample the peripheral's data
// bits on the slot's second SCL-high sample (secondHighSample), which leaves
// a late or slow-rising slave one sample more.
I2CShape i2cShape(const PROT_DES& i2c, sequenceMode mode, bool secondHighSample = false);
// A layout of one run: `count` copies of `shape`, `stride` apart, copy i
// frame and unit i when `perCopy`.
I2CLayout i2cRepeated(I2CShape shape, uint32_t count, uint32_t stride, bool perCopy);
// Plans a stream of numRegs words into `layout`: the first frame (of mode
// `first`) cut before its closing samples at `cut`, the pieces of pieceLength
// samples (each the word it carries; the last of mode `lastPiece`), then the
// first frame's closing samples.
void planI2CStream(const PROT_DES& i2c, sequenceMode first, sequenceMode piece,
                   sequenceMode lastPiece, uint32_t numRegs, uint32_t cut, uint32_t pieceLength,
                   I2CLayout& layout);

// The samples of raw I2C messages played as one frame (qz_i2cTransfer):
// START, each message with a repeated START before the next, one STOP;
// nullopt for no message.
std::optional<uint64_t> i2cMessagesLength(const PROT_DES& i2c, std::span<const QZ_I2C_MSG> msgs);
// Fills out[0, i2cMessagesLength) with the messages, planning their pieces
// into `layout` in stream order (frame and unit: the message; data bits of
// the reads in order). Write buffers are read.
void renderI2CMessages(const PROT_DES& i2c, std::span<const QZ_I2C_MSG> msgs, uint8_t* out,
                       I2CLayout& layout);

// Whether the descriptor's waveform keeps strict timing: asked for, or a
// bus clock set (whose rate must hold for the SCL low after a START too).
inline bool strictTiming(const PROT_DES& i2c) { return i2c.strictTiming != 0 || i2c.clockHz != 0; }

// The reference sample of the frame that starts the read-back: the first
// sample below `limit` with SCL low that follows at least three samples with
// SCL high, the START. Only a START holds SCL high that long; the levels from
// before the frame, which the chip's read-back lag puts in front of it (one
// or two samples: all outputs low after opening the device, and before that
// the pull-ups), never form such a run on their own. nullopt when there is
// none: the clock did not reach the bus.
std::optional<std::size_t> i2cFrameReference(std::span<const uint8_t> rx, uint8_t sclPin,
                                             std::size_t limit);

// The verdict on one played I2C stream.
struct I2CJudgement {
    Outcome outcome;       // QZ_OK, or the first thing that went wrong
    std::size_t lag = 0;   // read-back position of written sample k is k + lag
    bool fetched = false;  // the whole read-back came (it can be dumped)
};

// Compares the read-back with the written stream: finds the read-back lag
// from the first frame's START (searched within `firstFrameLength` samples),
// then, over the samples of the frame only, reports QZ_CLOCK_STRETCHED where
// SCL driven high reads low, QZ_BUS_HELD where a 1 of the master's reads low
// (the first of either; index: the frame of that sample), QZ_NACK for the
// first frame with a missing acknowledge (missingAcks: that frame's
// acknowledges, bit m the m-th; index: the unit of the first missing one),
// and QZ_FRAME_NOT_FOUND when no START shows within the accepted lag.
I2CJudgement judgeI2C(const PROT_DES& i2c, std::span<const uint8_t> written,
                      const I2CLayout& layout, std::span<const uint8_t> rx,
                      uint32_t firstFrameLength);

// Plays `stream` (the caller holds the device's session and has purged) and,
// when `options` ask for the read-back, judges it as judgeI2C does; *rx
// receives the read-back.
I2CJudgement playI2C(FT_HANDLE dev, const PROT_DES& i2c, std::span<const uint8_t> stream,
                     const I2CLayout& layout, const PlayOptions& options,
                     uint32_t firstFrameLength, ByteStream* rx);

// The words received, assembled from the layout's data bits in stream order
// (first byte most significant) into the destinations in turn; false, no
// destination touched, when a bit lies past the read-back or the layout has
// fewer.
bool i2cReceivedWords(const PROT_DES& i2c, const I2CLayout& layout, std::span<const uint8_t> rx,
                      std::size_t lag, std::span<const Destination> into);


// The bus scan and the bus recovery (i2c_bus.cpp), on a copy of an I2C
// descriptor; each takes the device's session and purges first.
Outcome scanBus(FT_HANDLE dev, const PROT_DES& i2c, uint8_t* present, uint32_t* count);
Outcome recoverBus(FT_HANDLE dev, const PROT_DES& i2c);

// The specified results from an outcome: writeI2C gives -(missing
// acknowledges), as far as they fit the first eight bits, or -1; readI2C
// gives -(missing acknowledges) or -1.
int32_t writeI2CResult(const Outcome& outcome);
int32_t readI2CResult(const Outcome& outcome, uint32_t value);

}  // namespace qz
