// The device-ID registry: (device, descriptor) pairs bound to IDs 0-255, and
// the register functions that look an ID up and forward to the transfers.
//
// One lock guards both tables, so a reader sees a binding's device and
// descriptor as they were bound together, never one of each of two bindings.
// The register functions copy the binding (and the descriptor's protocol)
// under the lock and run the transfer outside it: the transfer takes its
// device's session, and a slow transfer on one ID holds up no other.
#include "qz_internal.h"

#include <mutex>

FT_HANDLE FTDI_Handles[kDeviceIDs] = {};
PROT_HANDLE PROT_Handles[kDeviceIDs] = {};

namespace {

std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

struct Binding {
    FT_HANDLE dev;
    PROT_HANDLE prot;
    bool spi;  // the descriptor's protocol when it was looked up
};

// The pair bound to `deviceID`, copied under the lock; nullopt for an ID of
// 256 or more or an empty ID.
std::optional<Binding> lookup(uint32_t deviceID) {
    if (deviceID >= kDeviceIDs) return std::nullopt;
    std::lock_guard hold(registryLock());
    if (!FTDI_Handles[deviceID] || !PROT_Handles[deviceID]) return std::nullopt;
    const bool spi = qz::isSPI(*static_cast<const PROT_DES*>(PROT_Handles[deviceID]));
    return Binding{FTDI_Handles[deviceID], PROT_Handles[deviceID], spi};
}

}  // namespace

extern "C" {

// Binds (dev, prot) to deviceID, replacing any binding; a null value empties
// the ID. 0, or -1 for an ID of 256 or more (tables unchanged).
int32_t mapHandles(void* dev, PROT_HANDLE prot, uint32_t deviceID) {
    if (deviceID >= kDeviceIDs) return -1;
    std::lock_guard hold(registryLock());
    FTDI_Handles[deviceID] = dev;
    PROT_Handles[deviceID] = prot;
    return 0;
}

// The register functions return what the transfer returns, or -1 for an
// empty ID or one of 256 or more (no driver call then).
int32_t write_reg(uint32_t deviceID, uint32_t reg, uint32_t data) {
    const auto b = lookup(deviceID);
    if (!b) return -1;
    return b->spi ? writeSPI(b->dev, b->prot, reg, data) : writeI2C(b->dev, b->prot, reg, data);
}

int32_t read_reg(uint32_t deviceID, uint32_t reg) {
    const auto b = lookup(deviceID);
    if (!b) return -1;
    return b->spi ? readSPI(b->dev, b->prot, reg) : readI2C(b->dev, b->prot, reg);
}

int32_t write_regs(uint32_t deviceID, const uint32_t* reg, const uint32_t* data, uint32_t numRegs) {
    const auto b = lookup(deviceID);
    return b ? multiRegRW(b->dev, b->prot, reg, const_cast<uint32_t*>(data), numRegs, 1) : -1;
}

int32_t read_regs(uint32_t deviceID, const uint32_t* reg, uint32_t* data, uint32_t numRegs) {
    const auto b = lookup(deviceID);
    return b ? multiRegRW(b->dev, b->prot, reg, data, numRegs, 0) : -1;
}

int32_t write_reg_stream(uint32_t deviceID, uint32_t reg, const uint32_t* data, uint32_t numRegs) {
    const auto b = lookup(deviceID);
    return b ? multiRegStreamRW(b->dev, b->prot, reg, const_cast<uint32_t*>(data), numRegs, 1) : -1;
}

int32_t read_reg_stream(uint32_t deviceID, uint32_t reg, uint32_t* data, uint32_t numRegs) {
    const auto b = lookup(deviceID);
    return b ? multiRegStreamRW(b->dev, b->prot, reg, data, numRegs, 0) : -1;
}

}  // extern "C"

void qz::forgetDescriptor(PROT_HANDLE prot) {
    if (!prot) return;
    std::lock_guard hold(registryLock());
    for (uint32_t id = 0; id < kDeviceIDs; ++id) {
        if (PROT_Handles[id] != prot) continue;
        FTDI_Handles[id] = nullptr;
        PROT_Handles[id] = nullptr;
    }
}
