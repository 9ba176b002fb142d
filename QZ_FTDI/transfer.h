// Steps and result conventions shared by every register transaction: the
// purge that opens it, allocation failures as a status, and the specified
// forms of a status.
#pragma once

#include "qz_internal.h"

#include <new>
#include <stdexcept>

namespace qz {

// Empties both driver queues: QZ_OK, or the driver's failure.
Outcome purgeDevice(FT_HANDLE dev);

// Runs a transaction body; running out of memory becomes QZ_NO_MEMORY.
template <class Body>
Outcome guardedOutcome(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Outcome::of(QZ_NO_MEMORY);
    } catch (const std::length_error&) {
        return Outcome::of(QZ_NO_MEMORY);
    }
}

// The specified result of a transfer that gives 0 on success: 0, or -1 for
// any failure.
inline int32_t zeroOrFailure(const Outcome& outcome) { return outcome.ok() ? 0 : -1; }

// The specified result of a read that gives its value: the value (a 32-bit
// word with bit 31 set reads as a negative number), or -1.
inline int32_t valueOrFailure(const Outcome& outcome, uint32_t value) {
    return outcome.ok() ? static_cast<int32_t>(value) : -1;
}

}  // namespace qz
