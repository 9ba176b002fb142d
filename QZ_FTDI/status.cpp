// The status API's texts, and the transaction steps that speak in statuses.
#include "status.h"

qz::Outcome qz::purgeDevice(FT_HANDLE dev) {
    const FT_STATUS status = FT_Purge(dev, FT_PURGE_RX | FT_PURGE_TX);
    return status == FT_OK ? Outcome::success() : Outcome::driver(status);
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

}  // extern "C"
