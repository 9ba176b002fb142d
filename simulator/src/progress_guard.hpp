// A bound on the timed model's event loops: a loop that should move
// simulated time, samples or packets on every few passes but stops doing so
// (a bug in the model, say a latency timer that never restarts) would spin
// for ever inside a driver call. The guard sees the loop's state each pass
// and tells it to give up after many passes without any change; the driver
// call then returns what it has (a short read, a short write), so the caller
// fails on its own terms instead of hanging, and the model says why on
// stderr.
#pragma once

#include <cstdint>
#include <cstdio>

namespace qzsim {

class ProgressGuard {
public:
    // A healthy loop changes its state within a handful of passes (a timer
    // expiry, then the packet it sends); this many passes mean it never will.
    static constexpr uint32_t kMaxStillPasses = 10000;

    explicit ProgressGuard(const char* where) : where_(where) {}

    // False once `state` (the loop's time, counters, ...) has stayed the same
    // for kMaxStillPasses passes in a row; the first such failure is reported.
    template <class... State>
    bool moving(const State&... state) {
        const uint64_t now = fold(state...);
        if (passes_ > 0 && now == last_) {
            if (++still_ >= kMaxStillPasses) {
                std::fprintf(stderr, "qzsim: %s made no progress in %u passes: the model is stuck\n",
                             where_, static_cast<unsigned>(still_));
                return false;
            }
        } else {
            still_ = 0;
        }
        last_ = now;
        ++passes_;
        return true;
    }

private:
    // One value that changes whenever any part of the state does (FNV-1a over
    // the parts).
    template <class... State>
    static uint64_t fold(const State&... state) {
        uint64_t hash = 0xCBF29CE484222325ull;
        ((hash = (hash ^ static_cast<uint64_t>(state)) * 0x100000001B3ull), ...);
        return hash;
    }

    const char* where_;
    uint64_t last_ = 0;
    uint64_t passes_ = 0;
    uint32_t still_ = 0;
};

}  // namespace qzsim
