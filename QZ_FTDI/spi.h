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

// The SPI read-back parsers, all in readback.cpp. Each returns nullopt when
// the frame does not show (no strobe, a chip-select count that does not
// match) or a bit lies past the read-back.
// `count` words of dataBits bits each, read from the first strobe (searched
// within `limit` samples) on, skipping the command bits: a register read or
// a stream.
std::optional<std::vector<uint32_t>> spiStreamWords(const PROT_DES& spi,
                                                    std::span<const uint8_t> rx,
                                                    std::size_t limit, uint32_t count);
// One word per frame of a batch of `frames` frames, each found by its
// chip-select assertion (exactly one per frame).
std::optional<std::vector<uint32_t>> spiBatchWords(const PROT_DES& spi,
                                                   std::span<const uint8_t> rx, uint32_t frames);
// `count` bytes of a raw transfer, bit `first` (of the frame's bits) on, into `into`.
bool spiExchangeBytes(const PROT_DES& spi, std::span<const uint8_t> rx, std::size_t strobe,
                      std::size_t first, uint32_t count, uint8_t* into);

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

// Single-register transfers on a copy of the caller's descriptor; the caller
// has checked the arguments' widths. Each takes the device's session and
// purges first; a descriptor of the I2C kind is refused after the purge.
// The write's frame is dumped under writeDebug whatever the driver answered;
// the read-back is dumped under readDebug once it has been read in full.
// QZ_FRAME_NOT_FOUND: no strobe that leaves every data bit in the read-back.
Outcome writeSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr, uint32_t data);
Outcome readSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr, uint32_t* value);

// Whether the arguments fit an SPI descriptor's address and data widths.
inline constexpr bool spiArgumentsFit(const PROT_DES& spi, uint32_t addr, uint32_t data) {
    return fitsWidth(addr, spi.addrBits) && fitsWidth(data, spi.dataBits);
}

}  // namespace qz
