// Test support: the driver faults that every register transfer must turn into
// -1: a failing call of each operation it makes, a write that the driver takes
// only in part, and a read-back that stops coming.
#pragma once

#include "ftd2xx.h"
#include "qzsim/bench.hpp"

#include <cstdint>
#include <string>

struct DriverFault {
    enum class How { FailCall, ShortWrite, Stall };
    const char* name;
    How how;
    qzsim::Op op;  // the failing operation; Write for a short write, Read for a stall

    // Arms the fault on `device`, clearing earlier ones: a short write takes
    // `shortWrite` bytes, a stall lets `stallAfter` read-back bytes through.
    void inject(qzsim::Device& device, uint32_t shortWrite, uint32_t stallAfter) const {
        device.clearFaults();
        if (how == How::ShortWrite)
            device.setShortWrite(shortWrite);
        else if (how == How::Stall)
            device.setReadbackStall(stallAfter);
        else
            device.failNthCall(op, 1, FT_IO_ERROR);
    }
    // Refused before anything is written.
    bool beforeWrite() const { return op == qzsim::Op::Purge || op == qzsim::Op::SetBitMode; }
    // Only transfers that read back meet it.
    bool onReadBack() const { return op == qzsim::Op::GetQueueStatus || op == qzsim::Op::Read; }
    // Samples of the frame reach the pins despite it.
    bool frameOnWire() const { return !beforeWrite() && !(how == How::FailCall && op == qzsim::Op::Write); }
};

inline const DriverFault kDriverFaults[] = {
    {"purge", DriverFault::How::FailCall, qzsim::Op::Purge},
    {"bitmode", DriverFault::How::FailCall, qzsim::Op::SetBitMode},
    {"write", DriverFault::How::FailCall, qzsim::Op::Write},
    {"shortwrite", DriverFault::How::ShortWrite, qzsim::Op::Write},
    {"queuepoll", DriverFault::How::FailCall, qzsim::Op::GetQueueStatus},
    {"read", DriverFault::How::FailCall, qzsim::Op::Read},
    {"stall", DriverFault::How::Stall, qzsim::Op::Read},
};
