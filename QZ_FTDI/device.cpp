// Device connection, pin direction, and the device steps that every register
// transaction shares (purge, one write, one read of the whole read-back).
#include "qz_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

namespace {

// Baud rate of each handle opened here, for the read-back wait bound only.
// Unguarded, like the library's other process-wide tables.
std::map<FT_HANDLE, uint32_t>& baudRates() {
    static std::map<FT_HANDLE, uint32_t> rates;
    return rates;
}

// The slowest bit-bang baud rate any FTDI divisor gives.
constexpr uint32_t kSlowestBaud = 183;
// USB latency timer (at most 255 ms) plus host scheduling.
constexpr uint64_t kLatencyAllowanceMs = 300;

}  // namespace

uint8_t qz::pinDirectionMask(const PROT_DES& prot) {
    uint8_t mask = 0;
    if (isSPI(prot)) {
        mask |= pinBit(prot.CLKnum) | pinBit(prot.CSnum) | pinBit(prot.SDInum);
    } else {
        mask |= pinBit(prot.SCLnum) | pinBit(prot.SDAnumW);
    }
    if (prot.OE_EN == 1) mask |= pinBit(prot.OEnum);
    return mask;
}

int32_t qz::setImpedance(FT_HANDLE dev, const PROT_DES& prot) {
    return FT_SetBitMode(dev, pinDirectionMask(prot), FT_BITMODE_SYNC_BITBANG) == FT_OK ? 0 : -1;
}

// In bit-bang mode every FTDI chip clocks samples at least at the baud rate
// (FT232R: 16 x baud; H series: 4 or 5 x), so `count` samples need at most
// count / baud seconds on the wire. The bound doubles that and adds the
// latency allowance: a working device always delivers well inside it.
uint64_t qz::waitBoundMs(FT_HANDLE dev, uint32_t count) {
    const auto it = baudRates().find(dev);
    // A rate below the slowest divisor (a driver that took 0, say) is no
    // faster than that divisor; it must not shrink the divisor to nothing.
    const uint64_t baud =
        it != baudRates().end() ? std::max(it->second, kSlowestBaud) : kSlowestBaud;
    return kLatencyAllowanceMs + (2000ull * count + baud - 1) / baud;
}

int32_t qz::wait4RxBuffer(FT_HANDLE dev, uint32_t count) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitBoundMs(dev, count));
    uint32_t rx = 0;
    FT_STATUS status = FT_GetQueueStatus(dev, &rx);
    if (status != FT_OK) rx = 0;  // a failed poll leaves no count to trust
    while (rx < count) {
        if (status != FT_OK) return -1;
        if (Clock::now() > deadline) return -1;  // the read-back stalled
        status = FT_GetQueueStatus(dev, &rx);
        if (status != FT_OK) rx = 0;
    }
    return 0;
}

bool qz::purgeQueues(FT_HANDLE dev) { return FT_Purge(dev, FT_PURGE_RX | FT_PURGE_TX) == FT_OK; }

bool qz::writeStream(FT_HANDLE dev, std::span<const uint8_t> stream, bool dumpUnderWriteDebug) {
    // FT_Write takes a 32-bit length; callers keep their streams below 4 GiB.
    const auto length = static_cast<uint32_t>(stream.size());
    uint32_t written = 0;
    const FT_STATUS status =
        FT_Write(dev, const_cast<uint8_t*>(stream.data()), length, &written);
    if (dumpUnderWriteDebug) dumpIf(writeDebug, stream);
    return status == FT_OK && written == length;
}

std::optional<qz::ByteStream> qz::readBack(FT_HANDLE dev, uint32_t count,
                                           std::optional<uint32_t> waitFor) {
    if (waitFor && wait4RxBuffer(dev, *waitFor) == -1) return std::nullopt;
    ByteStream rx(count);
    uint32_t got = 0;
    if (FT_Read(dev, rx.data(), count, &got) != FT_OK || got != count) return std::nullopt;
    return rx;
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
        std::printf("FTDI Error, Cannot open Serial %s\n", serial);
        return static_cast<int32_t>(status);
    }
    status = FT_SetBaudRate(handle, baudRate);
    if (status != FT_OK) {
        std::printf("FTDI Error, invalid Baudrate\n");
        FT_Close(handle);
        return static_cast<int32_t>(status);
    }
    try {
        baudRates()[handle] = baudRate;
    } catch (const std::bad_alloc&) {
        // Without an entry the wait bound assumes the slowest rate: still bounded.
    }
    *inHandle = handle;
    return 0;
}

// Closes the device; returns FT_Close's status.
int32_t closeFTDI(void* dev) {
    baudRates().erase(dev);
    return static_cast<int32_t>(FT_Close(dev));
}

}  // extern "C"

// ---- provisional: sessions and playing a stream in one write and one read --
qz::DeviceSession::DeviceSession(FT_HANDLE) {}
qz::DeviceSession::~DeviceSession() = default;

qz::Outcome qz::playStream(FT_HANDLE dev, const PROT_DES& prot, std::span<const uint8_t> stream,
                           const PlayOptions& options, ByteStream* rx) {
    if (FT_STATUS s = FT_SetBitMode(dev, pinDirectionMask(prot), FT_BITMODE_SYNC_BITBANG); s != FT_OK)
        return Outcome::driver(s);
    const auto length = static_cast<uint32_t>(stream.size());
    uint32_t written = 0;
    const FT_STATUS ws = FT_Write(dev, const_cast<uint8_t*>(stream.data()), length, &written);
    if (options.dumpWritten) dumpIf(writeDebug, stream);
    if (ws != FT_OK) return Outcome::driver(ws);
    if (written != length) return Outcome::of(QZ_DRIVER_ERROR);
    if (!options.readBack) return Outcome::success();
    if (options.waitFor && wait4RxBuffer(dev, *options.waitFor) == -1) return Outcome::of(QZ_TIMEOUT);
    rx->assign(length, 0);
    uint32_t got = 0;
    if (FT_STATUS rs = FT_Read(dev, rx->data(), length, &got); rs != FT_OK) return Outcome::driver(rs);
    if (got != length) return Outcome::of(QZ_TIMEOUT);
    return Outcome::success();
}

int32_t qz::report(const Outcome& outcome, QZ_RESULT* detail) {
    if (detail) *detail = QZ_RESULT{outcome.status, outcome.missingAcks, outcome.index, outcome.driverStatus};
    return outcome.status;
}
