// The status API's texts, and the transaction steps that speak in statuses.
#include "status.h"

#include <cstdio>
#include <string>

qz::Outcome qz::purgeDevice(FT_HANDLE dev) {
    const FT_STATUS status = FT_Purge(dev, FT_PURGE_RX | FT_PURGE_TX);
    return status == FT_OK ? Outcome::success() : Outcome::driver(status);
}

namespace {
// The counts of the calling thread's last short write.
thread_local uint32_t shortTaken = 0;
thread_local uint32_t shortAsked = 0;
}  // namespace

qz::Outcome qz::Outcome::shortWrite(uint32_t taken, uint32_t asked) {
    shortTaken = taken;
    shortAsked = asked;
    return Outcome{QZ_DRIVER_ERROR, 0, 0, FT_OK};
}

int32_t qz::report(const Outcome& outcome, QZ_RESULT* detail) {
    if (detail)
        *detail = QZ_RESULT{outcome.status, outcome.missingAcks, outcome.index, outcome.driverStatus};
    return outcome.status;
}

extern "C" {

// The text of a status code; "unknown status" for any other value. Never NULL.
const char* qz_statusText(int32_t status) {
    switch (status) {
        case QZ_OK: return "success";
        case QZ_NACK: return "not acknowledged";
        case QZ_BUS_HELD: return "bus held or contested";
        case QZ_CLOCK_STRETCHED: return "clock stretched";
        case QZ_FRAME_NOT_FOUND: return "frame not found in the read-back";
        case QZ_DRIVER_ERROR: return "driver error";
        case QZ_TIMEOUT: return "read-back timed out";
        case QZ_UNPLUGGED: return "device unplugged";
        case QZ_BAD_ARGUMENT: return "bad argument";
        case QZ_NO_MEMORY: return "out of memory";
        default: return "unknown status";
    }
}

// The particulars of a result beyond its status text: for a write the driver
// took only partly (QZ_DRIVER_ERROR with driver status FT_OK) "the driver
// took N of M bytes", from the calling thread's last such write; otherwise
// the empty text. The length of the whole text (as snprintf), or -1 for a
// NULL detail or a NULL text with room.
int32_t qz_detailText(const QZ_RESULT* detail, char* text, uint32_t size) {
    if (!detail || (!text && size != 0)) return -1;
    std::string particulars;
    if (detail->status == QZ_DRIVER_ERROR && detail->driverStatus == FT_OK)
        particulars = "the driver took " + std::to_string(shortTaken) + " of " +
                      std::to_string(shortAsked) + " bytes";
    if (size != 0) std::snprintf(text, size, "%s", particulars.c_str());
    return static_cast<int32_t>(particulars.size());
}

// Names the acknowledges of a missing-acknowledge set in frame order: the
// address, the register-address bytes, then the read's second address pass
// or the written data bytes, bytes counted from 0. Without the address's
// acknowledge no chip listened, so nothing after it is named. The length of
// the whole text (as snprintf), or -1 for regBytes above 4 or a NULL text
// with room.
int32_t qz_ackText(uint32_t missingAcks, uint32_t regBytes, int32_t read, char* text,
                   uint32_t size) {
    if (regBytes > 4 || (!text && size != 0)) return -1;
    std::string names;
    for (uint32_t bit = 0; bit < 32; ++bit) {
        if (!(missingAcks >> bit & 1u)) continue;
        if (!names.empty()) names += ", ";
        if (bit == 0) {
            names += "address";
            break;
        }
        if (bit <= regBytes)
            names += "register byte " + std::to_string(bit - 1);
        else if (read && bit == regBytes + 1)
            names += "read address";
        else
            names += "data byte " + std::to_string(bit - regBytes - (read ? 2 : 1));
    }
    if (size != 0) std::snprintf(text, size, "%s", names.c_str());
    return static_cast<int32_t>(names.size());
}

}  // extern "C"
