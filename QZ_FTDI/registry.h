// The device-ID registry (registry.cpp).
#pragma once

#include "QZ_FTDI.h"

#include <cstdint>

namespace qz {

inline constexpr uint32_t kDeviceIDs = 256;

// What an ID is bound to (both null when empty or out of range), read under
// the registry's lock.
struct BoundPair {
    void* dev;
    PROT_HANDLE prot;
};
BoundPair boundTo(uint32_t deviceID);

// Empties every device ID bound to this descriptor (it is being deleted).
void forgetDescriptor(PROT_HANDLE prot);

}  // namespace qz
