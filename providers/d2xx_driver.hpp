// A D2XX driver provider: something that answers the eleven driver operations
// the library calls. The FT_* functions (d2xx_entry.cpp) forward to the one
// driver that the build links in (activeDriver); a provider may be the
// simulated bench, the vendor's library loaded at run time, or a dispatcher
// that combines several.
//
// Threads. Any operation may be called from any thread while others run,
// through this seam as through the vendor's driver:
//  - A provider keeps its own state (handle tables, counters, list
//    snapshots) consistent under concurrent calls, and calls on different
//    handles never wait for each other longer than that bookkeeping takes: no
//    provider lock that other devices need is held across a transfer that
//    may block.
//  - The library serialises the transactions on one device, but a handle may
//    still meet a close on another thread: a provider refuses a handle it has
//    closed (FT_INVALID_HANDLE) and never reuses its value for another device.
//  - createDeviceInfoList and getDeviceInfoDetail share one snapshot per
//    provider: a rebuild on one thread changes what another reads next.
#pragma once

#include "ftd2xx.h"

#include <cstdint>

namespace qz {

// The eleven operations, with the vendor's arguments and status values.
class D2xxDriver {
public:
    D2xxDriver() = default;
    D2xxDriver(const D2xxDriver&) = delete;
    D2xxDriver& operator=(const D2xxDriver&) = delete;
    virtual ~D2xxDriver() = default;

    // Count form (FT_LIST_NUMBER_ONLY) or by-index form (FT_LIST_BY_INDEX with
    // the index in the pointer-sized first argument).
    virtual FT_STATUS listDevices(void* arg1, void* arg2, uint32_t flags) = 0;
    // Takes the snapshot that getDeviceInfoDetail reads; its device count.
    virtual FT_STATUS createDeviceInfoList(uint32_t* count) = 0;
    virtual FT_STATUS getDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type,
                                          uint32_t* id, uint32_t* locId, void* serial,
                                          void* description, FT_HANDLE* handle) = 0;
    virtual FT_STATUS openEx(void* arg1, uint32_t flags, FT_HANDLE* handle) = 0;
    virtual FT_STATUS setBaudRate(FT_HANDLE handle, uint32_t baud) = 0;
    virtual FT_STATUS setBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) = 0;
    virtual FT_STATUS purge(FT_HANDLE handle, uint32_t mask) = 0;
    virtual FT_STATUS write(FT_HANDLE handle, void* buffer, uint32_t count,
                            uint32_t* written) = 0;
    virtual FT_STATUS getQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) = 0;
    virtual FT_STATUS read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got) = 0;
    virtual FT_STATUS close(FT_HANDLE handle) = 0;
    // Optional operations: a driver without them answers FT_NOT_SUPPORTED.
    virtual FT_STATUS setLatencyTimer(FT_HANDLE, uint8_t) { return FT_NOT_SUPPORTED; }
    virtual FT_STATUS getLatencyTimer(FT_HANDLE, uint8_t*) { return FT_NOT_SUPPORTED; }
    // The driver's IN and OUT transfer sizes; discards what the driver holds.
    virtual FT_STATUS setUSBParameters(FT_HANDLE, uint32_t, uint32_t) { return FT_NOT_SUPPORTED; }
};

// The driver behind the FT_* functions of this binary. Defined once per
// binary by the driver_*.cpp file that is linked in.
D2xxDriver& activeDriver();

}  // namespace qz
