// What a transaction came to (status.cpp): the outcome every transfer
// returns, its hand-over to the status API, allocation failures as a status,
// the specified forms of a status, and the purge that opens every transaction.
#pragma once

#include "QZ_FTDI.h"
#include "ftd2xx.h"

#include <cstdint>
#include <new>
#include <stdexcept>

namespace qz {

// What a transaction came to, before it is folded into a specified result or
// handed out by the status API (QZ_RESULT carries the same fields).
struct Outcome {
    QZ_STATUS status = QZ_OK;
    uint32_t missingAcks = 0;   // QZ_NACK: the acknowledge bits, as writeI2C/readI2C count them
    uint32_t index = 0;         // batches and streams: the register it refers to
    uint32_t driverStatus = 0;  // QZ_DRIVER_ERROR / QZ_UNPLUGGED: the D2XX status

    bool ok() const { return status == QZ_OK; }
    static Outcome success() { return {}; }
    static Outcome of(QZ_STATUS status) { return Outcome{status, 0, 0, 0}; }
    // A failed D2XX call: FT_IO_ERROR is what an unplugged device answers.
    static Outcome driver(FT_STATUS status) {
        return Outcome{status == FT_IO_ERROR ? QZ_UNPLUGGED : QZ_DRIVER_ERROR, 0, 0, status};
    }
    static Outcome nack(uint32_t missingAcks) { return Outcome{QZ_NACK, missingAcks, 0, 0}; }
    // The driver took fewer bytes than written without a failing status; the
    // counts are kept for the calling thread (qz_detailText names them).
    static Outcome shortWrite(uint32_t taken, uint32_t asked);
    bool isShortWrite() const { return status == QZ_DRIVER_ERROR && driverStatus == FT_OK; }
};

// Copies an outcome into the caller's detail record (which may be null) and
// returns its status.
int32_t report(const Outcome& outcome, QZ_RESULT* detail);

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

// Runs a C entry point's body; an allocation failure becomes -1.
template <class Body>
int32_t guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return -1;
    } catch (const std::length_error&) {
        return -1;
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
