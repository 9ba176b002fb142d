// Direct pin patterns: a single edge or pulse on one pin, or the caller's own
// samples, played in synchronous bit-bang mode without reading anything back.
#include "descriptors.h"
#include "session.h"
#include "status.h"
#include "transport.h"

#include <array>

namespace {
constexpr uint32_t kToggleSamples = 40;
constexpr uint32_t kEdgeAt = 10;     // the pin changes at sample 10 ...
constexpr uint32_t kPulseEnd = 30;   // ... and, for a pulse, back at sample 30
}  // namespace

extern "C" {

// Plays 40 samples on pin bitNum, the only output: an edge (singleEdge == 1)
// or a 20-sample pulse, high-going, or low-going when toggleLow is non-zero.
// 0, or -1 for a pin above 7 (no driver call) or a driver failure.
int32_t toggleSingleBit(void* dev, uint8_t bitNum, int32_t toggleLow, int32_t singleEdge) {
    if (bitNum > qz::kMaxPin) return -1;
    const uint8_t pin = qz::pinBit(bitNum);
    std::array<uint8_t, kToggleSamples> samples{};
    for (uint32_t i = 0; i < kToggleSamples; ++i) {
        const bool active = i >= kEdgeAt && (singleEdge == 1 || i < kPulseEnd);
        samples[i] = active ? pin : 0;
        if (toggleLow != 0) samples[i] ^= pin;
    }
    const qz::DeviceSession session(dev);
    // The written count is not checked: only a failing call counts.
    const qz::Outcome played =
        qz::playSamples(dev, pin, samples, qz::PlayOptions{false, std::nullopt, false}, nullptr);
    return played.ok() || played.isShortWrite() ? 0 : -1;
}

// Plays the caller's samples with the caller's direction mask. Returns the
// count the driver reports written (a short write gives the smaller count);
// -1 for a null sequence or negative length (no driver call) or a driver
// failure. Up to kSingleWriteSamples samples go in one FT_Write; a longer
// pattern in chunks whose read-back is drained and dropped, so that the chip
// never stalls on it.
int32_t writeCustomPattern(void* dev, uint8_t MASK, const uint8_t* byteSequence,
                           int32_t sequenceLen) {
    if (sequenceLen < 0 || !byteSequence) return -1;
    return qz::guarded([&] {
        const qz::DeviceSession session(dev);
        uint32_t taken = 0;
        const qz::Outcome played = qz::playSamples(
            dev, MASK, std::span(byteSequence, static_cast<std::size_t>(sequenceLen)),
            qz::PlayOptions{false, std::nullopt, false}, nullptr, &taken);
        if (!played.ok() && !played.isShortWrite()) return -1;
        return static_cast<int32_t>(taken);
    });
}

}  // extern "C"
