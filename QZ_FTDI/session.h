// Per-device sessions (session.cpp): what the library keeps about each device
// setupFTDIdev opened, and the lock that serialises transactions on it.
#pragma once

#include "ftd2xx.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace qz {

struct DeviceRecord;

// Transactions on one device are serialised: a session holds the device's
// lock for a whole transaction (purge to last read). Different devices never
// wait for each other. Handles that were not opened by setupFTDIdev get no
// lock of their own (the driver refuses them anyway). Not reentrant: a
// transaction takes one session and calls no function that takes another.
class DeviceSession {
public:
    explicit DeviceSession(FT_HANDLE dev);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

private:
    std::shared_ptr<DeviceRecord> state_;  // the device's record, kept alive while held
};

// Records a device that setupFTDIdev has just opened at `baudRate`. False
// when no memory is left (the device then has no lock and the slowest wait bound).
bool rememberDevice(FT_HANDLE dev, uint32_t baudRate);
// Closes the device once no transaction is running on it (FT_Close's status);
// its record goes when the driver has closed it.
FT_STATUS closeRememberedDevice(FT_HANDLE dev);
// The baud rate setupFTDIdev set on the device; nullopt for a handle it did not open.
std::optional<uint32_t> rememberedBaudRate(FT_HANDLE dev);
// Records the baud rate a transaction has just set (the caller holds the
// device's session); nothing for a handle setupFTDIdev did not open.
void rememberBaudRate(FT_HANDLE dev, uint32_t baudRate);
// The chip's bit-bang sample clock per baud (16 or 5), looked up once per
// device from the driver's list; 16 when the driver does not list the device.
// The caller holds the device's session.
uint32_t sampleMultiplier(FT_HANDLE dev);

}  // namespace qz
