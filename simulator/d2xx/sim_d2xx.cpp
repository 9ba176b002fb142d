// The D2XX operations answered by the simulated bench. This is a driver
// provider: the library above calls FT_* and never knows that no USB chip is
// behind them.
#include "sim_d2xx.hpp"

#include "ftd2xx.h"
#include "qzsim/bench.hpp"

#include <algorithm>
#include <cstring>

using qzsim::Bench;
using qzsim::Device;
using qzsim::Op;

namespace {

// Runs one handle operation under the device's lock: counts it, answers an
// injected failure, and refuses unknown, closed and unplugged handles
// (closing one that was unplugged releases the handle).
template <class Body>
FT_STATUS onDevice(FT_HANDLE handle, Op op, Body&& body) {
    bool removed = false;
    const std::shared_ptr<Device> device = Bench::instance().lookup(handle, &removed);
    if (!device && !removed) return FT_INVALID_HANDLE;
    if (device) {
        auto lock = device->lock();
        const auto failure = device->enter(op);
        if (!device->unplugged()) {
            if (failure) return *failure;
            return body(*device);
        }
        if (op == Op::Close) device->close();
    }
    if (op != Op::Close) return FT_IO_ERROR;
    Bench::instance().closeHandle(handle);
    return FT_OK;
}

void copyString(const std::string& s, void* out, std::size_t capacity) {
    if (!out) return;
    const std::size_t n = std::min(s.size(), capacity - 1);
    std::memcpy(out, s.data(), n);
    static_cast<char*>(out)[n] = '\0';
}

// Quirk: the vendor's device-info fields are fixed arrays (serial 16 bytes,
// description 64) copied out whole. A string that fills its field has no
// terminating NUL there: a 64-character description comes back as 64 bytes
// and nothing after them.
void copyField(const std::string& s, void* out, std::size_t capacity) {
    if (!out) return;
    const std::size_t n = std::min(s.size(), capacity);
    std::memcpy(out, s.data(), n);
    if (n < capacity) static_cast<char*>(out)[n] = '\0';
}

std::vector<std::shared_ptr<Device>> attached() { return Bench::instance().plugged(); }

// Every operation answers as the vendor's driver does for a chip on the bench.
class SimDriver final : public qz::D2xxDriver {
public:
    FT_STATUS listDevices(void* pArg1, void* pArg2, uint32_t Flags) override;
    FT_STATUS createDeviceInfoList(uint32_t* lpdwNumDevs) override;
    FT_STATUS getDeviceInfoDetail(uint32_t dwIndex, uint32_t* lpdwFlags, uint32_t* lpdwType,
                                  uint32_t* lpdwID, uint32_t* lpdwLocId, void* lpSerialNumber,
                                  void* lpDescription, FT_HANDLE* pftHandle) override;
    FT_STATUS openEx(void* pArg1, uint32_t Flags, FT_HANDLE* pHandle) override;
    FT_STATUS setBaudRate(FT_HANDLE ftHandle, uint32_t BaudRate) override;
    FT_STATUS setBitMode(FT_HANDLE ftHandle, uint8_t ucMask, uint8_t ucEnable) override;
    FT_STATUS purge(FT_HANDLE ftHandle, uint32_t Mask) override;
    FT_STATUS write(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToWrite,
                    uint32_t* lpBytesWritten) override;
    FT_STATUS getQueueStatus(FT_HANDLE ftHandle, uint32_t* dwRxBytes) override;
    FT_STATUS read(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToRead,
                   uint32_t* lpBytesReturned) override;
    FT_STATUS close(FT_HANDLE ftHandle) override;
    FT_STATUS setLatencyTimer(FT_HANDLE ftHandle, uint8_t ms) override {
        return onDevice(ftHandle, Op::SetLatencyTimer, [&](Device& d) { return d.setLatencyTimer(ms); });
    }
    FT_STATUS getLatencyTimer(FT_HANDLE ftHandle, uint8_t* ms) override {
        return onDevice(ftHandle, Op::GetLatencyTimer, [&](Device& d) { return d.latencyTimer(ms); });
    }
    FT_STATUS setUSBParameters(FT_HANDLE ftHandle, uint32_t in, uint32_t out) override {
        return onDevice(ftHandle, Op::SetUSBParameters,
                        [&](Device& d) { return d.setUSBParameters(in, out); });
    }
};

// Count form: the number of devices on the bench. By-index form: the serial
// number of that device (at most 64 bytes with its NUL), FT_DEVICE_NOT_OPENED
// for a device set up as not listable, FT_DEVICE_NOT_FOUND past the last one.
FT_STATUS SimDriver::listDevices(void* pArg1, void* pArg2, uint32_t Flags) {
    Bench& bench = Bench::instance();
    if (auto failure = bench.enter(Op::ListDevices)) return *failure;
    const auto devices = attached();
    if (Flags & FT_LIST_NUMBER_ONLY) {
        if (!pArg1) return FT_INVALID_PARAMETER;
        *static_cast<uint32_t*>(pArg1) = static_cast<uint32_t>(devices.size());
        return FT_OK;
    }
    if ((Flags & FT_LIST_BY_INDEX) && (Flags & FT_OPEN_BY_SERIAL_NUMBER)) {
        const auto index = reinterpret_cast<uintptr_t>(pArg1);
        if (index >= devices.size()) return FT_DEVICE_NOT_FOUND;
        const Device& device = *devices[index];
        if (!device.info().listable) return FT_DEVICE_NOT_OPENED;
        if (!pArg2) return FT_INVALID_PARAMETER;
        copyString(device.info().serial, pArg2, 64);
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

// Snapshots the bench for getDeviceInfoDetail; the number of devices in it.
FT_STATUS SimDriver::createDeviceInfoList(uint32_t* lpdwNumDevs) {
    Bench& bench = Bench::instance();
    if (auto failure = bench.enter(Op::CreateDeviceInfoList)) return *failure;
    if (!lpdwNumDevs) return FT_INVALID_PARAMETER;
    *lpdwNumDevs = static_cast<uint32_t>(bench.snapshotInfo());
    return FT_OK;
}

// The snapshot entry at dwIndex, with the handle of a device open here (serial
// at most 16 bytes, description 64, as the vendor's fields are sized,
// unterminated when full); FT_DEVICE_NOT_FOUND past its end.
FT_STATUS SimDriver::getDeviceInfoDetail(uint32_t dwIndex, uint32_t* lpdwFlags,
                                         uint32_t* lpdwType, uint32_t* lpdwID,
                                         uint32_t* lpdwLocId, void* lpSerialNumber,
                                         void* lpDescription, FT_HANDLE* pftHandle) {
    Bench& bench = Bench::instance();
    if (auto failure = bench.enter(Op::GetDeviceInfoDetail)) return *failure;
    const auto found = bench.infoEntry(dwIndex);
    if (!found) return FT_DEVICE_NOT_FOUND;
    const auto& entry = *found;
    // FT_FLAGS_OPENED (1), FT_FLAGS_HISPEED (2)
    if (lpdwFlags) *lpdwFlags = (entry.open ? 1u : 0u) | (entry.info.profile.highSpeed() ? 2u : 0u);
    if (lpdwType) *lpdwType = entry.info.type;
    if (lpdwID) *lpdwID = entry.info.id;
    if (lpdwLocId) *lpdwLocId = entry.info.locId;
    copyField(entry.info.serial, lpSerialNumber, 16);
    copyField(entry.info.description, lpDescription, 64);
    if (pftHandle) *pftHandle = entry.handle;
    return FT_OK;
}

// Opens the bench device named by serial number or description; a device
// already open answers FT_DEVICE_NOT_OPENED, an unknown one FT_DEVICE_NOT_FOUND.
FT_STATUS SimDriver::openEx(void* pArg1, uint32_t Flags, FT_HANDLE* pHandle) {
    Bench& bench = Bench::instance();
    if (auto failure = bench.enter(Op::OpenEx)) return *failure;
    if (!pArg1 || !pHandle) return FT_INVALID_PARAMETER;
    const std::string key(static_cast<const char*>(pArg1));
    for (const auto& d : attached()) {
        const bool match = (Flags == FT_OPEN_BY_SERIAL_NUMBER && d->info().serial == key) ||
                           (Flags == FT_OPEN_BY_DESCRIPTION && d->info().description == key);
        if (!match) continue;
        {
            auto lock = d->lock();
            if (const FT_STATUS status = d->open(); status != FT_OK) return status;
        }
        *pHandle = bench.openHandle(d);
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

// The handle operations answer FT_INVALID_HANDLE for unknown or closed
// handles and FT_IO_ERROR once the device was unplugged.
FT_STATUS SimDriver::setBaudRate(FT_HANDLE ftHandle, uint32_t BaudRate) {
    return onDevice(ftHandle, Op::SetBaudRate, [&](Device& d) { return d.setBaudRate(BaudRate); });
}

FT_STATUS SimDriver::setBitMode(FT_HANDLE ftHandle, uint8_t ucMask, uint8_t ucEnable) {
    return onDevice(ftHandle, Op::SetBitMode,
                    [&](Device& d) { return d.setBitMode(ucMask, ucEnable); });
}

FT_STATUS SimDriver::purge(FT_HANDLE ftHandle, uint32_t Mask) {
    return onDevice(ftHandle, Op::Purge, [&](Device& d) { return d.purge(Mask); });
}

FT_STATUS SimDriver::write(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToWrite,
                           uint32_t* lpBytesWritten) {
    return onDevice(ftHandle, Op::Write, [&](Device& d) {
        return d.write(static_cast<const uint8_t*>(lpBuffer), dwBytesToWrite, lpBytesWritten);
    });
}

FT_STATUS SimDriver::getQueueStatus(FT_HANDLE ftHandle, uint32_t* dwRxBytes) {
    return onDevice(ftHandle, Op::GetQueueStatus,
                    [&](Device& d) { return d.queueStatus(dwRxBytes); });
}

FT_STATUS SimDriver::read(FT_HANDLE ftHandle, void* lpBuffer, uint32_t dwBytesToRead,
                          uint32_t* lpBytesReturned) {
    return onDevice(ftHandle, Op::Read, [&](Device& d) {
        return d.read(static_cast<uint8_t*>(lpBuffer), dwBytesToRead, lpBytesReturned);
    });
}

FT_STATUS SimDriver::close(FT_HANDLE ftHandle) {
    return onDevice(ftHandle, Op::Close, [&](Device& d) {
        d.close();
        Bench::instance().closeHandle(ftHandle);
        return FT_STATUS{FT_OK};
    });
}

}  // namespace

namespace qzsim {

qz::D2xxDriver& simDriver() {
    static SimDriver driver;
    return driver;
}

}  // namespace qzsim
