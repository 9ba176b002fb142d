// Device discovery: count, print and list the attached FTDI devices.
#include "QZ_FTDI.h"
#include "ftd2xx.h"
#include "messages.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kListByIndexBySerial = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;

// Lists device `index` by serial number into `serial` (64 bytes).
FT_STATUS listByIndex(uint32_t index, char (&serial)[64]) {
    serial[0] = '\0';
    const FT_STATUS status = FT_ListDevices(reinterpret_cast<void*>(static_cast<uintptr_t>(index)),
                                            serial, kListByIndexBySerial);
    serial[63] = '\0';  // whatever the driver wrote, the string ends here
    return status;
}

// The largest string field of the driver's device details (the description).
constexpr std::size_t kDriverField = 64;

// Copies the driver's field into a caller's buffer of `capacity` bytes (none
// for a null one), terminated within it.
void copyTerminated(char* out, const char (&field)[kDriverField], std::size_t capacity) {
    if (!out) return;
    const auto length = static_cast<std::size_t>(std::find(field, field + kDriverField, '\0') - field);
    const std::size_t n = std::min(length, capacity - 1);
    std::memcpy(out, field, n);
    out[n] = '\0';
}

}  // namespace

extern "C" {

// Number of attached devices (returnTotalCount == 1) or of listable ones;
// prints the heading and each listable serial when print2Screen == 1.
// -1 if the count query or a listing fails.
int32_t printConnectedDevices(int32_t print2Screen, int32_t returnTotalCount) {
    uint32_t attached = 0;
    if (FT_ListDevices(&attached, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return -1;
    uint32_t listable = attached;
    if (print2Screen == 1) qz::say(QZ_MESSAGE_INFO, "Current connected and open devices by serial number:\n");
    for (uint32_t index = 0; index < attached; ++index) {
        char serial[64];
        const FT_STATUS status = listByIndex(index, serial);
        if (status == FT_DEVICE_NOT_OPENED) {
            --listable;
            continue;
        }
        if (status != FT_OK) {
            qz::say(QZ_MESSAGE_ERROR, "FTDI Error\n");
            return -1;
        }
        if (print2Screen == 1) qz::sayf(QZ_MESSAGE_INFO, "%s\n", serial);
    }
    return static_cast<int32_t>(returnTotalCount == 1 ? attached : listable);
}

// Copies the serial numbers of the first numDevices listable devices into
// connectedDevices[0..numDevices-1] (64 bytes each suffice). 0, or -1:
// after "FTDI Error" when a listing fails, silently for a null entry.
int32_t getConnectedDevices(char** connectedDevices, uint32_t numDevices) {
    if (numDevices == 0) return 0;
    if (!connectedDevices) return -1;
    uint32_t stored = 0;
    uint64_t skipped = 0;
    for (uint64_t index = 0; index < numDevices + skipped && index <= UINT32_MAX; ++index) {
        char serial[64];
        const FT_STATUS status = listByIndex(static_cast<uint32_t>(index), serial);
        if (status == FT_DEVICE_NOT_OPENED) {
            ++skipped;
            continue;
        }
        if (status != FT_OK) {
            qz::say(QZ_MESSAGE_ERROR, "FTDI Error\n");
            return -1;
        }
        if (!connectedDevices[stored]) return -1;
        std::memcpy(connectedDevices[stored], serial, std::strlen(serial) + 1);
        ++stored;
    }
    return 0;
}

// The driver's details of device `index`. With update non-zero the driver's
// list is rebuilt first and its device count returned; with update 0 the
// result is 0. -1 after "FTDI Error" on a driver failure.
int32_t getDeviceInfo(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* devID,
                      uint32_t* locID, char* description, char* serialNumber, int32_t update) {
    uint32_t count = 0;
    if (update != 0 && FT_CreateDeviceInfoList(&count) != FT_OK) {
        qz::say(QZ_MESSAGE_ERROR, "FTDI Error\n");
        return -1;
    }
    // The driver fills fixed fields and leaves a full one unterminated (a
    // 64-character description): it writes into the library's own fields,
    // and the caller gets each string cut to its buffer and terminated.
    char serialField[kDriverField] = {};
    char descriptionField[kDriverField] = {};
    FT_HANDLE ignored = nullptr;
    if (FT_GetDeviceInfoDetail(index, flags, type, devID, locID, serialField, descriptionField,
                               &ignored) != FT_OK) {
        qz::say(QZ_MESSAGE_ERROR, "FTDI Error\n");
        return -1;
    }
    copyTerminated(serialNumber, serialField, QZ_SERIAL_BUFFER_SIZE);
    copyTerminated(description, descriptionField, QZ_DESCRIPTION_BUFFER_SIZE);
    return static_cast<int32_t>(count);
}

}  // extern "C"
