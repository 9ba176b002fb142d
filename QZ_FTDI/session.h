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
// Read-back bytes one USB packet carries from the device (62 at full speed,
// 510 on a device the driver lists as enumerated at high speed), looked up
// from the driver's list; 62 when the driver does not list the device.
uint32_t packetData(FT_HANDLE dev);

// What the low-latency mode keeps about a device (all under its session).
struct LinkTuning {
    uint32_t packetData = 0;                 // 0: the mode is off
    std::optional<uint8_t> previousLatency;  // the timer to restore when it goes off
    bool queueEmpty = false;                 // the last transaction left nothing queued
    std::optional<uint8_t> mask;             // the direction mask in force, when known
};
// The device's low-latency state while the mode is on; nullopt when it is off
// or the handle was not opened by setupFTDIdev. The caller holds the session.
std::optional<LinkTuning> lowLatency(FT_HANDLE dev);
// Stores the state (packetData 0 turns the mode off); false for a handle
// setupFTDIdev did not open. The caller holds the session.
bool setLowLatencyState(FT_HANDLE dev, const LinkTuning& tuning);

}  // namespace qz
