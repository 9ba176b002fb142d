// SPI pieces shared by the single-register, batched and streamed transfers:
// where the frame shows in a read-back, and the transfers themselves.
#pragma once

#include "descriptors.h"
#include "frame.h"
#include "status.h"
#include "transport.h"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace qz {

// One SPI bit takes two samples: the clock at its idle level with the bit
// presented, then the clock at its active level with the bit held.
inline constexpr uint32_t kSPISamplesPerBit = 2;

// Bits clocked before the first data bit: the read/write bit (when the
// descriptor has one) and the address bits.
inline constexpr uint32_t spiCommandBits(const PROT_DES& spi) {
    return (spi.RWbit == 1 ? 1u : 0u) + spi.addrBits;
}

// Whether the sample shows chip select asserted (low, or high when the
// descriptor has it active high).
inline constexpr bool spiSelected(const PROT_DES& spi, uint8_t sample) {
    return pinHigh(sample, spi.CSnum) == (spi.csActiveHigh != 0);
}

// True when the sample shows the clock at its active level (high for a
// rising-edge peripheral, low for a falling-edge one) with chip select asserted.
inline constexpr bool spiStrobe(const PROT_DES& spi, uint8_t sample) {
    return spiSelected(spi, sample) && pinHigh(sample, spi.CLKnum) == (spi.posedge != 0);
}

// The read-back position where the frame's first bit is sampled: the first
// strobe after the first sample with chip select released (every frame opens
// so), among the first `limit` samples, or in modes 1 and 3 the sample after
// it (the trailing edge). The levels from before the frame (shown by a
// lagging chip; all outputs low after opening) are thus never taken for a
// strobe. nullopt when no such strobe lies within the limit: the frame never
// reached the wire.
std::optional<std::size_t> findSPIStrobe(const PROT_DES& spi, std::span<const uint8_t> rx,
                                         std::size_t limit);

// Where the fields of an SPI read-back lie. The frames are found by their
// first strobe within `limit` samples (one frame: a register read, a stream,
// a raw transfer), or with everyAssertion by their chip-select assertions
// (a batch: exactly `frames` of them, one per frame, each showing its first
// active clock). A frame's anchor is the read-back position where its first
// bit is sampled.
struct SPIFields {
    // `into.count` fields of `into.bits` bits: field c lies in frame
    // c * frameStep, its first bit at the frame's anchor + offset +
    // c * offsetStep, the next bits one bit period apart.
    struct Run {
        Destination into;
        uint32_t frameStep = 0;
        std::size_t offset = 0;
        std::size_t offsetStep = 0;
    };
    bool everyAssertion = false;
    uint32_t frames = 1;
    std::size_t limit = 0;
    std::vector<Run> runs;
};

// The one SPI read-back parser (readback.cpp): every field of `fields` into
// its destination, in the descriptor's bit order. False, no destination
// touched, when the frames do not show (no strobe, a chip-select count that
// does not match, a frame without its clock) or a bit lies past the read-back.
bool spiReceive(const PROT_DES& spi, const SPIFields& fields, std::span<const uint8_t> rx);

// The read-back position of the most significant bit of data word `word`
// (0: the frame's own word; 1, 2, ...: further stream words), given the
// position of the frame's first strobe.
inline constexpr std::size_t spiDataPosition(const PROT_DES& spi, std::size_t strobe,
                                             uint32_t word = 0) {
    return strobe + kSPISamplesPerBit * (spiCommandBits(spi) + std::size_t{word} * spi.dataBits);
}

// The SPI generator: the length of the stream of `mode`, and a renderer that
// fills exactly that many samples (so batches and streams are laid into one
// buffer without copies); createSPIByteStream returns it as a fresh buffer.
uint32_t spiStreamLength(const PROT_DES& spi, sequenceMode mode);
void renderSPIStream(const PROT_DES& spi, uint32_t addr, uint32_t data, sequenceMode mode,
                     uint8_t* out);
ByteStream createSPIByteStream(const PROT_DES& spi, uint32_t addr, uint32_t data,
                               sequenceMode mode);

// A raw transfer (qz_spiTransferSegments) of `bytes` bytes in all: its
// samples, and its frame (one chip-select window, the segments in order).
uint64_t spiExchangeLength(uint64_t bytes);
void renderSPIExchange(const PROT_DES& spi, std::span<const QZ_SPI_SEGMENT> segments, uint8_t fill,
                       uint8_t* out);

// Whether the arguments fit an SPI descriptor's address and data widths.
inline constexpr bool spiArgumentsFit(const PROT_DES& spi, uint32_t addr, uint32_t data) {
    return fitsWidth(addr, spi.addrBits) && fitsWidth(data, spi.dataBits);
}

}  // namespace qz
