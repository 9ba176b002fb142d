// The SPI read-back parser: where the frames show in a read-back, and the
// fields the generator planned read from there. Register reads, batches,
// streams and raw transfers all go through it.
#include "descriptors.h"
#include "spi.h"

#include <algorithm>

namespace {

// Every SPI frame releases chip select for its first two and last two
// samples, so each frame shows exactly one chip-select assertion: its first
// selected sample. Positions of the assertions, searched from the first
// sample with chip select released (the levels from before the frame are not
// part of it); false unless there are exactly `frames` of them. The table
// never grows past one entry per frame.
bool chipSelectFalls(std::span<const uint8_t> rx, const PROT_DES& spi, uint32_t frames,
                     std::vector<std::size_t>& falls) {
    falls.reserve(frames);
    std::size_t i = 0;
    while (i < rx.size() && qz::spiSelected(spi, rx[i])) ++i;
    for (++i; i < rx.size(); ++i) {
        if (qz::spiSelected(spi, rx[i - 1]) || !qz::spiSelected(spi, rx[i])) continue;
        if (falls.size() == frames) return false;  // more assertions than frames
        falls.push_back(i);
    }
    return falls.size() == frames;
}

// The anchors of a batch: one bit period after each chip-select assertion
// comes the frame's first sampling clock (in every mode). Each frame's first
// active clock must show where it was played (a clock held at its idle level
// by a sink shows none: the chip clocked nothing out); in modes 1 and 3 it is
// the sample before the sampling one.
bool batchAnchors(const PROT_DES& spi, std::span<const uint8_t> rx, uint32_t frames,
                  std::vector<std::size_t>& anchors) {
    if (!chipSelectFalls(rx, spi, frames, anchors)) return false;
    const std::size_t activeBefore = spi.cpha != 0 ? 1 : 0;
    for (std::size_t& anchor : anchors) {
        anchor += qz::kSPISamplesPerBit;
        if (anchor >= rx.size() || !qz::spiStrobe(spi, rx[anchor - activeBefore])) return false;
    }
    return true;
}

// A field of `bits` bits whose first bit is sampled at rx[first] (the caller
// has checked that every bit lies in the read-back), in the descriptor's order.
uint32_t field(const uint8_t* rx, std::size_t first, uint32_t bits, uint32_t pin, bool lsbFirst) {
    const uint8_t* sample = rx + first;
    uint32_t value = 0;
    if (lsbFirst) {
        for (uint32_t b = 0; b < bits; ++b, sample += qz::kSPISamplesPerBit)
            value |= uint32_t{(*sample >> pin) & 1u} << b;
    } else {
        for (uint32_t b = 0; b < bits; ++b, sample += qz::kSPISamplesPerBit)
            value = (value << 1) | ((*sample >> pin) & 1u);
    }
    return value;
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

bool qz::spiReceive(const PROT_DES& spi, const SPIFields& fields, std::span<const uint8_t> rx) {
    std::vector<std::size_t> batch;
    std::size_t single = 0;
    std::span<const std::size_t> anchors(&single, 1);
    if (fields.everyAssertion) {
        if (!batchAnchors(spi, rx, fields.frames, batch)) return false;
        anchors = batch;
    } else {
        const auto strobe = findSPIStrobe(spi, rx, fields.limit);
        if (!strobe) return false;
        single = *strobe;
    }
    // Anchors and offsets ascend within a run: every field is there when the
    // run's last one is.
    for (const SPIFields::Run& run : fields.runs) {
        if (run.into.count == 0 || run.into.bits == 0) continue;
        const uint32_t last = run.into.count - 1;
        if (run.into.bits > kMaxBits || uint64_t{last} * run.frameStep >= anchors.size())
            return false;
        const uint64_t end = anchors[std::size_t{last} * run.frameStep] + run.offset +
                             uint64_t{last} * run.offsetStep +
                             uint64_t{kSPISamplesPerBit} * (run.into.bits - 1);
        if (end >= rx.size()) return false;
    }
    const uint32_t pin = spi.SDOnum & kMaxPin;
    for (const SPIFields::Run& run : fields.runs)
        for (uint32_t c = 0; c < run.into.count; ++c)
            run.into.put(c, field(rx.data(),
                                  anchors[std::size_t{c} * run.frameStep] + run.offset +
                                      std::size_t{c} * run.offsetStep,
                                  run.into.bits, pin, spi.lsbFirst != 0));
    return true;
}
