// SPI pieces shared by the single-register, batched and streamed transfers:
// where the frame shows in a read-back, and the transfers themselves.
#pragma once

#include "qz_internal.h"

#include <cstddef>
#include <optional>
#include <span>

namespace qz {

// One SPI bit takes two samples: the clock at its idle level with the bit
// presented, then the clock at its active level with the bit held.
inline constexpr uint32_t kSPISamplesPerBit = 2;

// Bits clocked before the first data bit: the read/write bit (when the
// descriptor has one) and the address bits.
inline constexpr uint32_t spiCommandBits(const PROT_DES& spi) {
    return (spi.RWbit == 1 ? 1u : 0u) + spi.addrBits;
}

// True when the sample shows the clock at its active level (high for a
// rising-edge peripheral, low for a falling-edge one) with chip select low.
inline constexpr bool spiStrobe(const PROT_DES& spi, uint8_t sample) {
    return !pinHigh(sample, spi.CSnum) && pinHigh(sample, spi.CLKnum) == (spi.posedge != 0);
}

// The read-back position of the first active clock of the frame: the first
// strobe after the first sample with chip select high (every frame opens so),
// among the first `limit` samples. The levels from before the frame (shown by
// a lagging chip; all outputs low after opening) are thus never taken for a
// strobe. nullopt when no such strobe lies within the limit: the frame never
// reached the wire.
std::optional<std::size_t> findSPIStrobe(const PROT_DES& spi, std::span<const uint8_t> rx,
                                         std::size_t limit);

// The read-back position of the most significant bit of data word `word`
// (0: the frame's own word; 1, 2, ...: further stream words), given the
// position of the frame's first strobe.
inline constexpr std::size_t spiDataPosition(const PROT_DES& spi, std::size_t strobe,
                                             uint32_t word = 0) {
    return strobe + kSPISamplesPerBit * (spiCommandBits(spi) + std::size_t{word} * spi.dataBits);
}

// Writes one register: 0, or -1 when the purge, the pin directions or the
// write fails, or the descriptor is not an SPI one. The written frame is
// dumped under writeDebug whatever the write answered.
int32_t writeSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr, uint32_t data);

// Reads one register: its value, or -1 when a driver step fails, the
// descriptor is not an SPI one, or the read-back holds no strobe that leaves
// every data bit inside it. The read-back is dumped under readDebug once it
// has been read in full.
int32_t readSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr);

}  // namespace qz
