// The device-ID registry: (device, descriptor) pairs bound to IDs 0-255, and
// the register functions that look an ID up and forward to the transfers.
#include "qz_internal.h"

FT_HANDLE FTDI_Handles[kDeviceIDs] = {};
PROT_HANDLE PROT_Handles[kDeviceIDs] = {};

namespace {

struct Binding {
    FT_HANDLE dev;
    PROT_HANDLE prot;
};

// The pair bound to `deviceID`; nullopt for an ID of 256 or more or an empty ID.
std::optional<Binding> lookup(uint32_t deviceID) {
    if (deviceID >= kDeviceIDs) return std::nullopt;
    if (!FTDI_Handles[deviceID] || !PROT_Handles[deviceID]) return std::nullopt;
    return Binding{FTDI_Handles[deviceID], PROT_Handles[deviceID]};
}

bool bindsSPI(PROT_HANDLE prot) { return qz::isSPI(*static_cast<const PROT_DES*>(prot)); }

}  // namespace

extern "C" {

// Binds (dev, prot) to deviceID, replacing any binding; a null value empties
// the ID. 0, or -1 for an ID of 256 or more (tables unchanged).
int32_t mapHandles(void* dev, PROT_HANDLE prot, uint32_t deviceID) {
    if (deviceID >= kDeviceIDs) return -1;
    FTDI_Handles[deviceID] = dev;
    PROT_Handles[deviceID] = prot;
    return 0;
}

// The register functions return what the transfer returns, or -1 for an
// empty ID or one of 256 or more (no driver call then).
int32_t write_reg(uint32_t deviceID, uint32_t reg, uint32_t data) {
    const auto b = lookup(deviceID);
    if (!b) return -1;
    return bindsSPI(b->prot) ? writeSPI(b->dev, b->prot, reg, data) : writeI2C(b->dev, b->prot, reg, data);
}

int32_t read_reg(uint32_t deviceID, uint32_t reg) {
    const auto b = lookup(deviceID);
    if (!b) return -1;
    return bindsSPI(b->prot) ? readSPI(b->dev, b->prot, reg) : readI2C(b->dev, b->prot, reg);
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

// Provisional: bindings keep their descriptor until rebound.
void qz::forgetDescriptor(PROT_HANDLE) {}
