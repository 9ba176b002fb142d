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

// One acknowledge the peripheral owes: the written-stream position of the
// slot's second SCL-high event, the frame it belongs to (a batch's frame; 0
// for a whole stream) and the register it refers to (a batch's register, a
// stream's word).
struct AckSample {
    uint32_t position;
    uint32_t frame;
    uint32_t unit;
};

// What the generator knows about the stream it lays down, sample by sample,
// so that the readers never keep a second copy of the frame layout:
// - watch[k]: the pins that must read high in the read-back of written
//   sample k: SCL wherever the master drives it high, SDA (its read pin)
//   where the master releases it to send a 1 of its own with SCL high;
// - acks: every acknowledge the peripheral owes, in stream order;
// - dataBits: the sample of every data bit the peripheral sends (the bit
//   slot's first SCL-high event, or its second: PieceRef), in stream order,
//   most significant first.
struct I2CLayout {
    std::vector<uint8_t> watch;
    std::vector<AckSample> acks;
    std::vector<uint32_t> dataBits;

    explicit I2CLayout(std::size_t samples = 0) : watch(samples, 0) {}
};

// How the master treats SDA in one sample.
enum class SdaLevel { DrivenLow, DrivenHigh, Released };

// One pin sample of the descriptor's I2C pins: SCL high or low, SDA driven or
// released (SDA written high and, with an output-enable pin, the buffer
// enabled), the output enable otherwise at its idle level.
uint8_t i2cSample(const PROT_DES& i2c, bool sclHigh, SdaLevel sda);

// Where a piece being rendered lies in the whole stream and whom it serves.
struct PieceRef {
    uint32_t at = 0;     // position of the piece's first sample in the stream
    uint32_t frame = 0;  // batch frame (0 in a stream)
    uint32_t unit = 0;   // register of a batch, word of a stream
    // Where the peripheral's data bits are sampled: the bit slot's first
    // SCL-high sample (single and streamed reads), or its second (batch
    // reads, which leave a late or slow-rising slave one sample more).
    bool secondHighSample = false;
};

// The I2C generator: the length of the stream of `mode`, and a renderer that
// fills exactly that many samples; createI2CByteStream returns it as a fresh
// buffer.
uint32_t i2cStreamLength(const PROT_DES& i2c, sequenceMode mode);
void renderI2CStream(const PROT_DES& i2c, uint32_t reg, uint32_t data, sequenceMode mode,
                     uint8_t* out);
ByteStream createI2CByteStream(const PROT_DES& i2c, uint32_t reg, uint32_t data,
                               sequenceMode mode);

// renderI2CStream that also records the piece into `layout` (sized for the
// whole stream).
void renderI2CStream(const PROT_DES& i2c, uint32_t reg, uint32_t data, sequenceMode mode,
                     uint8_t* out, I2CLayout& layout, const PieceRef& piece);

// The samples of raw I2C messages played as one frame (qz_i2cTransfer):
// START, each message with a repeated START before the next, one STOP;
// nullopt for no message.
std::optional<uint64_t> i2cMessagesLength(const PROT_DES& i2c, std::span<const QZ_I2C_MSG> msgs);
// Fills out[0, i2cMessagesLength) with the messages, recording them into
// `layout` (frame and unit: the message; data bits of the reads in order)
// and each message's first sample into `starts`. Write buffers are read.
void renderI2CMessages(const PROT_DES& i2c, std::span<const QZ_I2C_MSG> msgs, uint8_t* out,
                       I2CLayout& layout, std::vector<uint32_t>& starts);

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
    std::size_t wrongAt = 0;  // QZ_BUS_HELD / QZ_CLOCK_STRETCHED: the written sample
    bool fetched = false;  // the whole read-back came (it can be dumped)
};

// Compares the read-back with the written stream: finds the read-back lag
// from the first frame's START (searched within `firstFrameLength` samples),
// then, over the samples of the frame only, reports QZ_CLOCK_STRETCHED where
// SCL driven high reads low, QZ_BUS_HELD where a 1 of the master's reads low
// (the first of either), QZ_NACK for the first frame with a missing
// acknowledge (missingAcks: that frame's acknowledges, bit m the m-th), and
// QZ_FRAME_NOT_FOUND when no START shows within the accepted lag. `index`
// names the register; `frameLength` (0 for a stream) maps samples to frames.
I2CJudgement judgeI2C(const PROT_DES& i2c, std::span<const uint8_t> written,
                      const I2CLayout& layout, std::span<const uint8_t> rx,
                      uint32_t firstFrameLength, uint32_t frameLength);

// Plays `stream` (the caller holds the device's session and has purged) and,
// when `options` ask for the read-back, judges it as judgeI2C does; *rx
// receives the read-back.
I2CJudgement playI2C(FT_HANDLE dev, const PROT_DES& i2c, std::span<const uint8_t> stream,
                     const I2CLayout& layout, const PlayOptions& options,
                     uint32_t firstFrameLength, uint32_t frameLength, ByteStream* rx);

// The `count` words received, assembled from the layout's data bits (first
// byte most significant); nullopt when a bit lies past the read-back.
std::optional<std::vector<uint32_t>> i2cReceivedWords(const PROT_DES& i2c,
                                                      const I2CLayout& layout,
                                                      std::span<const uint8_t> rx, std::size_t lag,
                                                      uint32_t count);

// Single-register transfers on a copy of the caller's descriptor; the caller
// has checked the arguments' widths. They take the device's session, purge,
// refuse an SPI descriptor, play one frame and judge its read-back.
Outcome writeI2CRegister(FT_HANDLE dev, const PROT_DES& i2c, uint32_t reg, uint32_t data);
Outcome readI2CRegister(FT_HANDLE dev, const PROT_DES& i2c, uint32_t reg, uint32_t* value);

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
