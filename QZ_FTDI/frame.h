// The kinds of frame a waveform generator lays down, shared by both protocols,
// and where the words a read-back carries go.
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

// Where `count` received words of `bits` bits go: words[i], or bytes[i]
// (words of at most eight bits).
struct Destination {
    uint32_t count = 0;
    uint32_t bits = 0;
    uint32_t* words = nullptr;
    uint8_t* bytes = nullptr;

    void put(uint32_t i, uint32_t value) const {
        if (words)
            words[i] = value;
        else
            bytes[i] = static_cast<uint8_t>(value);
    }
};

}  // namespace qz
