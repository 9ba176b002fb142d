// Read-back sampling: data bits taken from one pin at a fixed spacing, and
// every SPI read-back parser (register reads, batches, streams, raw
// transfers): where a frame shows in the read-back is decided here only.
#include "readback.h"
#include "descriptors.h"
#include "spi.h"

#include <algorithm>

std::optional<uint32_t> qz::parseByteStream(std::span<const uint8_t> rx, std::size_t first,
                                            uint32_t StrobeIndex, uint32_t strobeJump,
                                            uint32_t strobeCount) {
    if (strobeCount == 0) return 0u;
    if (strobeCount > kMaxBits || StrobeIndex > kMaxPin) return std::nullopt;
    // The last sampled position must lie inside the read-back.
    const uint64_t last = first + uint64_t{strobeJump} * (strobeCount - 1);
    if (first >= rx.size() || last >= rx.size()) return std::nullopt;
    uint32_t value = 0;
    std::size_t position = first;
    for (uint32_t bit = strobeCount; bit-- > 0; position += strobeJump)
        value |= uint32_t{pinHigh(rx[position], static_cast<uint8_t>(StrobeIndex))} << bit;
    return value;
}

namespace {

// A field of `bits` bits as sent least significant bit first, turned into its value.
uint32_t reversed(uint32_t field, uint32_t bits) {
    uint32_t value = 0;
    for (uint32_t b = 0; b < bits; ++b) value |= ((field >> b) & 1u) << (bits - 1 - b);
    return value;
}

// A data field of the descriptor's order (`bits` wide) at read-back position `first`.
std::optional<uint32_t> spiField(const PROT_DES& spi, std::span<const uint8_t> rx,
                                 std::size_t first, uint32_t bits) {
    const auto field = qz::parseByteStream(rx, first, spi.SDOnum, qz::kSPISamplesPerBit, bits);
    if (!field || spi.lsbFirst == 0) return field;
    return reversed(*field, bits);
}

// Reads `count` SPI words (dataBits wide), the i-th starting at firstOf(i);
// nullopt if any word lies (partly) outside the read-back.
template <class FirstOf>
std::optional<std::vector<uint32_t>> wordsAt(std::span<const uint8_t> rx, uint32_t count,
                                             const PROT_DES& spi, FirstOf firstOf) {
    std::vector<uint32_t> words(count);
    for (uint32_t i = 0; i < count; ++i) {
        const auto word = spiField(spi, rx, firstOf(i), spi.dataBits);
        if (!word) return std::nullopt;
        words[i] = *word;
    }
    return words;
}

// Every SPI frame releases chip select for its first two and last two
// samples, so each frame shows exactly one chip-select assertion: its first
// selected sample. Positions of the assertions, searched from the first
// sample with chip select released (the levels from before the frame are not
// part of it); nullopt unless there are exactly `frames` of them. The table
// never grows past one entry per frame.
std::optional<std::vector<std::size_t>> chipSelectFalls(std::span<const uint8_t> rx,
                                                        const PROT_DES& spi, uint32_t frames) {
    std::vector<std::size_t> falls;
    falls.reserve(frames);
    std::size_t i = 0;
    while (i < rx.size() && qz::spiSelected(spi, rx[i])) ++i;
    for (++i; i < rx.size(); ++i) {
        if (qz::spiSelected(spi, rx[i - 1]) || !qz::spiSelected(spi, rx[i])) continue;
        if (falls.size() == frames) return std::nullopt;  // more assertions than frames
        falls.push_back(i);
    }
    if (falls.size() != frames) return std::nullopt;
    return falls;
}

}  // namespace

std::optional<std::size_t> qz::findSPIStrobe(const PROT_DES& spi, std::span<const uint8_t> rx,
                                             std::size_t limit) {
    const std::size_t end = std::min(limit, rx.size());
    // Every frame opens with chip select released: skip what the pins showed
    // before it.
    std::size_t i = 0;
    while (i < end && spiSelected(spi, rx[i])) ++i;
    for (; i < end; ++i)
        if (spiStrobe(spi, rx[i])) return spi.cpha != 0 ? i + 1 : i;
    return std::nullopt;
}

std::optional<std::vector<uint32_t>> qz::spiStreamWords(const PROT_DES& spi,
                                                        std::span<const uint8_t> rx,
                                                        std::size_t limit, uint32_t count) {
    const auto strobe = findSPIStrobe(spi, rx, limit);
    if (!strobe) return std::nullopt;
    // The first word sits after the command bits, the others follow at one
    // word's length each.
    return wordsAt(rx, count, spi, [&](uint32_t i) { return spiDataPosition(spi, *strobe, i); });
}

std::optional<std::vector<uint32_t>> qz::spiBatchWords(const PROT_DES& spi,
                                                       std::span<const uint8_t> rx,
                                                       uint32_t frames) {
    const auto falls = chipSelectFalls(rx, spi, frames);
    if (!falls) return std::nullopt;
    // The frame's first sampling clock comes one bit period after chip select
    // is asserted (in every mode); the data follow the read/write bit and the
    // address. Each frame's first active clock must show where it was played
    // (a clock held at its idle level by a sink shows none: the chip clocked
    // nothing out); in modes 1 and 3 it is the sample before the sampling one.
    const auto strobe = [&](uint32_t i) { return (*falls)[i] + kSPISamplesPerBit; };
    const std::size_t activeBefore = spi.cpha != 0 ? 1 : 0;
    for (uint32_t i = 0; i < frames; ++i)
        if (strobe(i) >= rx.size() || !spiStrobe(spi, rx[strobe(i) - activeBefore]))
            return std::nullopt;
    return wordsAt(rx, frames, spi, [&](uint32_t i) { return spiDataPosition(spi, strobe(i)); });
}

bool qz::spiExchangeBytes(const PROT_DES& spi, std::span<const uint8_t> rx, std::size_t strobe,
                          std::size_t first, uint32_t count, uint8_t* into) {
    constexpr uint32_t kBits = 8;
    for (uint32_t k = 0; k < count; ++k) {
        const auto byte =
            spiField(spi, rx, strobe + kSPISamplesPerBit * (first + std::size_t{k} * kBits), kBits);
        if (!byte) return false;
        into[k] = static_cast<uint8_t>(*byte);
    }
    return true;
}
