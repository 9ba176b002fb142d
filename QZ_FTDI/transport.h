// Playing a stream on the chip and fetching its read-back (transport.cpp).
#pragma once

#include "descriptors.h"
#include "frame.h"
#include "ftd2xx.h"
#include "status.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace qz {

// How a transaction plays its stream.
struct PlayOptions {
    bool readBack = true;                 // fetch the whole read-back
    std::optional<uint32_t> waitFor;      // wait for this many bytes before reading
    bool dumpWritten = false;             // dump the written stream under the write dump switch
};

// Streams up to this many samples are played in one FT_Write and one FT_Read
// (transport.cpp says why this size is safe on every chip and driver).
inline constexpr uint32_t kSingleWriteSamples = 4096;

// How the read-back wait passes time: the clock it reads, the pause between
// polls, and the span of a wait that sleeps (on Windows the library's own
// clock asks for the 1 ms system timer for that span with timeBeginPeriod,
// else a 1 ms sleep lasts a whole 15.6 ms tick). Tests put in a simulated one.
class WaitClock {
public:
    virtual ~WaitClock() = default;
    virtual std::chrono::steady_clock::time_point now() = 0;
    virtual void sleep(std::chrono::microseconds pause) = 0;
    virtual void beginSleeping() {}
    virtual void endSleeping() {}
};
// Puts in a wait clock (nullptr: the library's own) and returns the one it
// replaces. Only while no wait runs (tests).
WaitClock* setWaitClock(WaitClock* clock);
// The pause before read-back poll `poll` (0-based) of one wait: zero for the
// first few, then doubling from a first pause up to a longest one.
std::chrono::microseconds pollPause(int poll);

// The longest a working device can take to return `count` samples, in ms.
uint64_t waitBoundMs(FT_HANDLE dev, uint32_t count);

// Sets the descriptor's pin directions, writes `stream` (in one FT_Write when
// it is at most kSingleWriteSamples long; longer ones in chunks with the
// read-back drained as it comes, so that the chip never stalls) and, with
// readBack, fetches exactly stream.size() read-back bytes into *rx (rx may be
// null without readBack). The caller holds the device's session and has
// purged the queues. QZ_OK, or the failure (driver status, unplug, read-back
// timeout, short write or read, QZ_BAD_ARGUMENT for a stream of 4 GiB or more).
Outcome playStream(FT_HANDLE dev, const PROT_DES& prot, std::span<const uint8_t> stream,
                   const PlayOptions& options, ByteStream* rx);
// playStream with an explicit direction mask (raw pin patterns). *taken (may
// be null) receives how many samples the driver took, also on a failure.
Outcome playSamples(FT_HANDLE dev, uint8_t mask, std::span<const uint8_t> stream,
                    const PlayOptions& options, ByteStream* rx, uint32_t* taken = nullptr);

}  // namespace qz
