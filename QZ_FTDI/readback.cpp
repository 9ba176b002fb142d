// Read-back sampling: data bits taken from one pin at a fixed spacing.
#include "readback.h"
#include "descriptors.h"

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
