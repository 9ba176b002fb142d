// Read-back sampling (readback.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace qz {

// Assembles `strobeCount` bits (at most 32) of pin `StrobeIndex`, taken from
// rx[first], rx[first + strobeJump], ..., first sample most significant.
// nullopt when a sampled position lies outside rx or strobeCount exceeds 32.
std::optional<uint32_t> parseByteStream(std::span<const uint8_t> rx, std::size_t first,
                                        uint32_t StrobeIndex, uint32_t strobeJump,
                                        uint32_t strobeCount);

}  // namespace qz
