// Device connection, pin direction and the USB latency timer.
#include "device.h"
#include "engine.h"
#include "messages.h"
#include "session.h"
#include "status.h"

#include <algorithm>


uint8_t qz::pinDirectionMask(const PROT_DES& prot) {
    uint8_t mask = protocolOf(prot).outputs(prot);
    if (prot.OE_EN == 1) mask |= pinBit(prot.OEnum);
    return mask;
}

namespace {
// The bit-bang baud rates the drivers take: the slowest divisor, and the
// fastest the FT232R drivers accept.
constexpr uint32_t kSlowestBaud = 183;
constexpr uint32_t kFastestBaud = 3000000;
}  // namespace

uint32_t qz::baudForClock(const PROT_DES& prot, uint32_t hz, uint32_t multiplier) {
    const uint64_t samplesPerBit = protocolOf(prot).samplesPerBit;
    const uint64_t baud = uint64_t{hz} * samplesPerBit / std::max(multiplier, 1u);
    return static_cast<uint32_t>(std::clamp<uint64_t>(baud, kSlowestBaud, kFastestBaud));
}

qz::Outcome qz::beginTransaction(FT_HANDLE dev, const PROT_DES& prot) {
    if (Outcome purged = purgeDevice(dev); !purged.ok()) return purged;
    if (prot.clockHz == 0) return Outcome::success();
    const uint32_t baud = baudForClock(prot, prot.clockHz, sampleMultiplier(dev));
    if (rememberedBaudRate(dev) == baud) return Outcome::success();
    if (const FT_STATUS s = FT_SetBaudRate(dev, baud); s != FT_OK) return Outcome::driver(s);
    rememberBaudRate(dev, baud);
    return Outcome::success();
}

extern "C" {

// Opens a device by serial number at a baud rate. Returns 0 and the handle in
// *inHandle, or the failing driver status (nothing stored; a device that
// refused its baud rate is closed again).
int32_t setupFTDIdev(void** inHandle, const char* serial, uint32_t baudRate) {
    if (!inHandle || !serial) return FT_INVALID_PARAMETER;
    FT_HANDLE handle = nullptr;
    FT_STATUS status = FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &handle);
    if (status != FT_OK) {
        qz::sayf(QZ_MESSAGE_ERROR, "FTDI Error, Cannot open Serial %s\n", serial);
        return static_cast<int32_t>(status);
    }
    status = FT_SetBaudRate(handle, baudRate);
    if (status != FT_OK) {
        qz::say(QZ_MESSAGE_ERROR, "FTDI Error, invalid Baudrate\n");
        FT_Close(handle);
        return static_cast<int32_t>(status);
    }
    // Without a record (no memory left) the device still works: no lock of
    // its own, and the wait bound of the slowest baud rate.
    qz::rememberDevice(handle, baudRate);
    *inHandle = handle;
    return 0;
}

// Closes the device once a transaction running on it has finished; returns
// FT_Close's status.
int32_t closeFTDI(void* dev) { return static_cast<int32_t>(qz::closeRememberedDevice(dev)); }

}  // extern "C"

// ---- USB latency timer ------------------------------------------------------
// The chip sends a part-filled packet of read-back only when this timer
// expires, so it bounds every short transaction. D2XX takes 2 to 255 ms; a
// driver without the operation answers FT_NOT_SUPPORTED.
namespace {
constexpr uint8_t kMinLatencyMs = 2;
}  // namespace

extern "C" {

// QZ_OK; QZ_BAD_ARGUMENT (no driver call) below 2 ms; the driver's refusal.
int32_t qz_setLatencyTimer(void* dev, uint8_t ms, QZ_RESULT* detail) {
    if (ms < kMinLatencyMs) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    const qz::DeviceSession session(dev);
    const FT_STATUS status = FT_SetLatencyTimer(dev, ms);
    return qz::report(status == FT_OK ? qz::Outcome::success() : qz::Outcome::driver(status), detail);
}

// QZ_OK and the timer in *ms; QZ_BAD_ARGUMENT for a null ms; the driver's refusal.
int32_t qz_getLatencyTimer(void* dev, uint8_t* ms, QZ_RESULT* detail) {
    if (!ms) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    const qz::DeviceSession session(dev);
    uint8_t timer = 0;
    const FT_STATUS status = FT_GetLatencyTimer(dev, &timer);
    if (status != FT_OK) return qz::report(qz::Outcome::driver(status), detail);
    *ms = timer;
    return qz::report(qz::Outcome::success(), detail);
}

// 0, or -1 below 2 ms or when the driver refuses or lacks the operation.
int32_t setLatencyTimer(void* dev, uint8_t ms) {
    return qz_setLatencyTimer(dev, ms, nullptr) == QZ_OK ? 0 : -1;
}

// The timer in ms, or -1 when the driver refuses or lacks the operation.
int32_t getLatencyTimer(void* dev) {
    uint8_t ms = 0;
    return qz_getLatencyTimer(dev, &ms, nullptr) == QZ_OK ? ms : -1;
}

}  // extern "C"
