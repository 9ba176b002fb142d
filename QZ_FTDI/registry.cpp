// The device-ID registry: (device, descriptor) pairs bound to IDs 0-255, and
// the register functions that look an ID up and forward to the transfers.
//
// One lock guards both tables, so a reader sees a binding's device and
// descriptor as they were bound together, never one of each of two bindings.
// The register functions copy the binding (and the descriptor's protocol)
// under the lock and run the transfer outside it: the transfer takes its
// device's session, and a slow transfer on one ID holds up no other.
#include "registry.h"
#include "descriptors.h"
#include "status.h"

#include <optional>

#include <mutex>

namespace {

using qz::kDeviceIDs;

// The device-ID tables (borrowed handles; index = device ID). Read and
// written only under the registry's lock.
FT_HANDLE FTDI_Handles[kDeviceIDs] = {};
PROT_HANDLE PROT_Handles[kDeviceIDs] = {};

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
// 256 or more, an empty ID, or one bound to a pointer that is not a live
// descriptor. The registry lock is taken before the descriptors' own.
std::optional<Binding> lookup(uint32_t deviceID) {
    if (deviceID >= kDeviceIDs) return std::nullopt;
    std::lock_guard hold(registryLock());
    if (!FTDI_Handles[deviceID] || !PROT_Handles[deviceID]) return std::nullopt;
    // Bound to something that is not a live descriptor (a foreign pointer):
    // as good as empty.
    const std::optional<PROT_DES> des = qz::copyDescriptor(PROT_Handles[deviceID]);
    if (!des) return std::nullopt;
    return Binding{FTDI_Handles[deviceID], PROT_Handles[deviceID], qz::isSPI(*des)};
}

int32_t emptyID(QZ_RESULT* detail) { return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail); }

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

// The status API by device ID: the status of the transfer the ID forwards
// to, or QZ_BAD_ARGUMENT (no driver call) for an empty ID or one of 256 or more.
int32_t qz_write_reg(uint32_t deviceID, uint32_t reg, uint32_t data, QZ_RESULT* detail) {
    const auto b = lookup(deviceID);
    if (!b) return emptyID(detail);
    return b->spi ? qz_writeSPI(b->dev, b->prot, reg, data, detail)
                  : qz_writeI2C(b->dev, b->prot, reg, data, detail);
}

int32_t qz_read_reg(uint32_t deviceID, uint32_t reg, uint32_t* value, QZ_RESULT* detail) {
    const auto b = lookup(deviceID);
    if (!b) return emptyID(detail);
    return b->spi ? qz_readSPI(b->dev, b->prot, reg, value, detail)
                  : qz_readI2C(b->dev, b->prot, reg, value, detail);
}

int32_t qz_write_regs(uint32_t deviceID, const uint32_t* reg, const uint32_t* data, uint32_t numRegs,
                      QZ_RESULT* detail) {
    const auto b = lookup(deviceID);
    if (!b) return emptyID(detail);
    return qz_multiRegRW(b->dev, b->prot, reg, const_cast<uint32_t*>(data), numRegs, 1, detail);
}

int32_t qz_read_regs(uint32_t deviceID, const uint32_t* reg, uint32_t* data, uint32_t numRegs,
                     QZ_RESULT* detail) {
    const auto b = lookup(deviceID);
    if (!b) return emptyID(detail);
    return qz_multiRegRW(b->dev, b->prot, reg, data, numRegs, 0, detail);
}

int32_t qz_write_reg_stream(uint32_t deviceID, uint32_t reg, const uint32_t* data, uint32_t numRegs,
                            QZ_RESULT* detail) {
    const auto b = lookup(deviceID);
    if (!b) return emptyID(detail);
    return qz_multiRegStreamRW(b->dev, b->prot, reg, const_cast<uint32_t*>(data), numRegs, 1, detail);
}

int32_t qz_read_reg_stream(uint32_t deviceID, uint32_t reg, uint32_t* data, uint32_t numRegs,
                           QZ_RESULT* detail) {
    const auto b = lookup(deviceID);
    if (!b) return emptyID(detail);
    return qz_multiRegStreamRW(b->dev, b->prot, reg, data, numRegs, 0, detail);
}

}  // extern "C"

qz::BoundPair qz::boundTo(uint32_t deviceID) {
    if (deviceID >= kDeviceIDs) return {nullptr, nullptr};
    std::lock_guard hold(registryLock());
    return {FTDI_Handles[deviceID], PROT_Handles[deviceID]};
}

void qz::forgetDescriptor(PROT_HANDLE prot) {
    if (!prot) return;
    std::lock_guard hold(registryLock());
    for (uint32_t id = 0; id < kDeviceIDs; ++id) {
        if (PROT_Handles[id] != prot) continue;
        FTDI_Handles[id] = nullptr;
        PROT_Handles[id] = nullptr;
    }
}
