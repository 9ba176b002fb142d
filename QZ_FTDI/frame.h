// The kinds of frame a waveform generator lays down, shared by both protocols.
#pragma once

#include <cstdint>
#include <vector>

namespace qz {

// The kind of byte stream a generator is asked for. Values are fixed; any
// value above READ_STREAM_WORD_ACK is accepted by the generators.
enum sequenceMode : uint32_t {
    WRITE = 0,
    WRITE_STREAM_WORD = 1,
    READ_NACK = 2,
    READ_ACK = 3,
    READ_STREAM_WORD_NACK = 4,
    READ_STREAM_WORD_ACK = 5,
};

// A full frame (addressed, with its own start and end) rather than a
// further data word of a stream.
inline constexpr bool isFullFrame(sequenceMode mode) {
    return mode == WRITE || mode == READ_NACK || mode == READ_ACK;
}

// One sample of the eight pins per byte; bit n is pin n.
using ByteStream = std::vector<uint8_t>;

}  // namespace qz
