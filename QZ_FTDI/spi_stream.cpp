// The SPI waveform: the pin samples of one register frame, or of one further
// data word inside a streamed frame.
//
// A full frame, one row per phase (r = 1 with a read/write bit, A address
// bits, D data bits):
//   chip select high, clock idle ............................ 2 samples
//   chip select falls, clock idle ........................... 1 sample
//   read/write bit, address bits, data bits ................. 2 x (r + A + D)
//     (each bit: clock idle with the bit presented, then clock active
//      with the bit held; read frames leave data-in low and assert the
//      output enable through the data phase)
//   last clock back at idle, chip select still low .......... 1 sample
//   chip select high, clock idle ............................ 2 samples
// A stream word is the data phase alone, clock idle then active per bit, with
// chip select held low throughout.
//
// "Chip select high" is its released level (low when it is active high); in
// modes 1 and 3 each bit is the clock active with the bit presented (the
// leading edge shifts it), then the clock back at idle with the bit held
// (the trailing edge samples it). Fields go least significant bit first when
// the descriptor asks for it.
#include "spi.h"

#include <array>

namespace {

using qz::pinBit;
using qz::sequenceMode;

// Samples around the bits of a full frame.
constexpr uint32_t kDeselectedSamples = 2;   // chip select high, at each end
constexpr uint32_t kSelectEdgeSamples = 1;   // chip select low, clock idle, before the first bit
constexpr uint32_t kClockReturnSamples = 1;  // chip select low, clock idle, after the last bit
constexpr uint32_t kFrameOverheadSamples =
    2 * kDeselectedSamples + kSelectEdgeSamples + kClockReturnSamples;

// Bit `index` of `value`; 0 for indexes past the 32 bits of a word.
bool bitOf(uint32_t value, uint32_t index) { return index < 32 && ((value >> index) & 1u) != 0; }

// The pin masks and idle levels of one descriptor.
struct Pins {
    uint8_t clk, cs, sdi, oe;
    uint8_t oeIdle;     // the output enable's level while not asserted
    uint8_t clkInvert;  // CLK when the clock idles high, else 0
    uint8_t csInvert;   // CS when chip select is active high, else 0
    bool oeInUse;
    bool trailing;      // modes 1 and 3: sampled on the trailing edge
    bool lsbFirst;

    explicit Pins(const PROT_DES& spi)
        : clk(pinBit(spi.CLKnum)),
          cs(pinBit(spi.CSnum)),
          sdi(pinBit(spi.SDInum)),
          oe(pinBit(spi.OEnum)),
          oeIdle(spi.OE_EN == 1 && spi.OE_pol == 0 ? oe : 0),
          clkInvert(spi.posedge == 0 ? clk : 0),
          csInvert(spi.csActiveHigh != 0 ? cs : 0),
          oeInUse(spi.OE_EN == 1),
          trailing(spi.cpha != 0),
          lsbFirst(spi.lsbFirst != 0) {}

    // The two samples of a bit whose samples with the clock idle and active
    // are `idle` and `active`: presented, then sampled.
    std::array<uint8_t, 2> bit(uint8_t idle, uint8_t active) const {
        return trailing ? std::array<uint8_t, 2>{active, idle} : std::array<uint8_t, 2>{idle, active};
    }

    // One full-frame sample, the signals combined in a fixed order (which
    // decides the byte when a descriptor puts two signals on one pin).
    uint8_t frameSample(bool clockActive, bool deselected, bool dataIn, bool oeAsserted) const {
        uint8_t b = oeIdle;
        if (clockActive) b |= clk;
        b ^= clkInvert;
        if (deselected) b |= cs;
        b ^= csInvert;
        if (dataIn) b |= sdi;
        if (oeAsserted) b ^= oe;
        return b;
    }

    // One stream-word sample; the output enable is set before the clock here.
    uint8_t wordSample(bool clockActive, bool dataIn, bool oeAsserted) const {
        uint8_t b = oeIdle;
        if (oeAsserted) b ^= oe;
        if (clockActive) b |= clk;
        b ^= clkInvert;
        b |= csInvert;
        if (dataIn) b |= sdi;
        return b;
    }
};

// The two samples of each bit value on data-in (chip select low):
// bitSamples[value] = {clock idle, clock active}.
using BitSamples = std::array<std::array<uint8_t, 2>, 2>;

// Lays `count` bits of `value`, most significant first (least with
// lsbFirst), two samples each.
uint8_t* putBits(uint8_t* out, uint32_t value, uint32_t count, const BitSamples& samples,
                 bool lsbFirst) {
    for (uint32_t i = 0; i < count; ++i) {
        const auto& pair = samples[bitOf(value, lsbFirst ? i : count - 1 - i)];
        *out++ = pair[0];
        *out++ = pair[1];
    }
    return out;
}

// Lays `count` bits that all look alike (read data: data-in low).
uint8_t* putClocks(uint8_t* out, uint32_t count, const std::array<uint8_t, 2>& pair) {
    for (uint32_t i = 0; i < count; ++i) {
        *out++ = pair[0];
        *out++ = pair[1];
    }
    return out;
}

// A full frame for `addr` (and `data` unless reading) from out[0] on.
void renderFrame(const PROT_DES& spi, const Pins& pins, uint32_t addr, uint32_t data,
                 bool reading, uint8_t* out) {
    const uint8_t deselected = pins.frameSample(false, true, false, false);
    const uint8_t selectedIdle = pins.frameSample(false, false, false, false);
    BitSamples command{};
    for (int value = 0; value < 2; ++value)
        command[value] = pins.bit(pins.frameSample(false, false, value != 0, false),
                                  pins.frameSample(true, false, value != 0, false));

    // chip select high, then falling with the clock idle
    for (uint32_t i = 0; i < kDeselectedSamples; ++i) *out++ = deselected;
    *out++ = selectedIdle;
    // read/write bit: 1 reads, 0 writes
    if (spi.RWbit == 1) out = putBits(out, reading ? 1u : 0u, 1, command, false);
    // address, most significant bit first
    out = putBits(out, addr, spi.addrBits, command, pins.lsbFirst);
    // data phase: the word written, or clocks with the output enable asserted
    if (reading)
        out = putClocks(out, spi.dataBits,
                        pins.bit(pins.frameSample(false, false, false, pins.oeInUse),
                                 pins.frameSample(true, false, false, pins.oeInUse)));
    else
        out = putBits(out, data, spi.dataBits, command, pins.lsbFirst);
    // the clock back at idle, then chip select released
    *out++ = selectedIdle;
    for (uint32_t i = 0; i < kDeselectedSamples; ++i) *out++ = deselected;
}

// A further data word from out[0] on: chip select stays low, no address.
// Written words carry `data`; read words only clock, with the output enable
// asserted when `oeAsserted`.
void renderWord(const PROT_DES& spi, const Pins& pins, uint32_t data, bool writing,
                bool oeAsserted, uint8_t* out) {
    BitSamples word{};
    for (int value = 0; value < 2; ++value)
        word[value] = pins.bit(pins.wordSample(false, value != 0, oeAsserted),
                               pins.wordSample(true, value != 0, oeAsserted));
    if (writing)
        putBits(out, data, spi.dataBits, word, pins.lsbFirst);
    else
        putClocks(out, spi.dataBits, word[0]);
}

}  // namespace

uint32_t qz::spiStreamLength(const PROT_DES& spi, sequenceMode mode) {
    if (!isFullFrame(mode)) return kSPISamplesPerBit * spi.dataBits;
    return kFrameOverheadSamples + kSPISamplesPerBit * (spiCommandBits(spi) + spi.dataBits);
}

void qz::renderSPIStream(const PROT_DES& spi, uint32_t addr, uint32_t data, sequenceMode mode,
                         uint8_t* out) {
    const Pins pins(spi);
    if (isFullFrame(mode))
        renderFrame(spi, pins, addr, data, mode != WRITE, out);
    else
        renderWord(spi, pins, data, mode == WRITE_STREAM_WORD,
                   pins.oeInUse && mode == READ_STREAM_WORD_ACK, out);
}

qz::ByteStream qz::createSPIByteStream(const PROT_DES& spi, uint32_t addr, uint32_t data,
                                       sequenceMode mode) {
    ByteStream stream(spiStreamLength(spi, mode));
    renderSPIStream(spi, addr, data, mode, stream.data());
    return stream;
}

uint64_t qz::spiExchangeLength(uint64_t bytes) {
    return kFrameOverheadSamples + uint64_t{kSPISamplesPerBit} * 8 * bytes;
}

// A raw transfer's frame: the frame of a register transfer with every
// segment's bytes as its bits (the fill byte where a segment has no output),
// and the output enable asserted through the segments that read.
void qz::renderSPIExchange(const PROT_DES& spi, std::span<const QZ_SPI_SEGMENT> segments,
                           uint8_t fill, uint8_t* out) {
    const Pins pins(spi);
    const uint8_t deselected = pins.frameSample(false, true, false, false);
    const uint8_t selectedIdle = pins.frameSample(false, false, false, false);
    for (uint32_t i = 0; i < kDeselectedSamples; ++i) *out++ = deselected;
    *out++ = selectedIdle;
    for (const QZ_SPI_SEGMENT& segment : segments) {
        const bool oe = pins.oeInUse && segment.rx != nullptr;
        BitSamples bits{};
        for (int value = 0; value < 2; ++value)
            bits[value] = pins.bit(pins.frameSample(false, false, value != 0, oe),
                                   pins.frameSample(true, false, value != 0, oe));
        for (uint32_t k = 0; k < segment.len; ++k)
            out = putBits(out, segment.tx ? segment.tx[k] : fill, 8, bits, pins.lsbFirst);
    }
    *out++ = selectedIdle;
    for (uint32_t i = 0; i < kDeselectedSamples; ++i) *out++ = deselected;
}
