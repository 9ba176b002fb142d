// Per-device sessions: what the library keeps about each device it opened,
// and the lock that serialises transactions on one device.
//
// The D2XX driver guarantees nothing when two threads call it on one handle
// (a blocking FT_Read holds up an FT_Write of another thread; interleaved
// calls mix up read-back), so every transaction holds its device's lock from
// its purge to its last read. Each device has its own lock: threads that work
// on different devices never wait for each other.
#include "session.h"

#include <atomic>
#include <map>
#include <mutex>
#include <shared_mutex>

struct qz::DeviceRecord {
    std::mutex transaction;  // held for a whole transaction on the device
    // As set by setupFTDIdev, or by a transaction whose descriptor asks for a
    // bus clock (written under `transaction`); bounds the read-back wait.
    std::atomic<uint32_t> baudRate{0};
    // The chip's sample clock per baud, found at the first transaction that
    // needs it (written under `transaction`); 0: not yet known.
    uint32_t sampleMultiplier = 0;
    LinkTuning tuning;       // written under `transaction`
    bool closed = false;     // written under `transaction`: the handle is gone
};

namespace {

using qz::DeviceRecord;

// Devices opened by setupFTDIdev and not yet closed. Lookups share the lock;
// open and close take it alone. Records are shared so that a session or a
// wait that found one keeps it alive while a close removes it from the table.
struct DeviceTable {
    std::shared_mutex lock;
    std::map<FT_HANDLE, std::shared_ptr<DeviceRecord>> records;
};

DeviceTable& table() {
    static DeviceTable devices;
    return devices;
}

std::shared_ptr<DeviceRecord> find(FT_HANDLE dev) {
    DeviceTable& t = table();
    std::shared_lock read(t.lock);
    const auto it = t.records.find(dev);
    return it == t.records.end() ? nullptr : it->second;
}

}  // namespace

// Takes the device's lock. A record found closed by the time its lock is
// ours belonged to an earlier open of a handle value the driver has reused:
// look again, so that the live device's lock is the one held.
qz::DeviceSession::DeviceSession(FT_HANDLE dev) {
    for (;;) {
        state_ = find(dev);
        if (!state_) return;  // not opened here: nothing to serialise against
        state_->transaction.lock();
        if (!state_->closed) return;
        state_->transaction.unlock();
    }
}

qz::DeviceSession::~DeviceSession() {
    if (state_) state_->transaction.unlock();
}

bool qz::rememberDevice(FT_HANDLE dev, uint32_t baudRate) {
    std::shared_ptr<DeviceRecord> record;
    try {
        record = std::make_shared<DeviceRecord>();
    } catch (const std::bad_alloc&) {
        return false;
    }
    record->baudRate.store(baudRate);
    DeviceTable& t = table();
    std::shared_ptr<DeviceRecord> stale;
    {
        std::unique_lock write(t.lock);
        try {
            auto [it, inserted] = t.records.try_emplace(dev, record);
            if (!inserted) {  // the driver reused a handle that was closed behind our back
                stale = std::move(it->second);
                it->second = record;
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    if (stale) {
        std::lock_guard hold(stale->transaction);
        stale->closed = true;
    }
    return true;
}

FT_STATUS qz::closeRememberedDevice(FT_HANDLE dev) {
    const std::shared_ptr<DeviceRecord> record = find(dev);
    if (!record) return FT_Close(dev);
    // A transaction in progress on this device finishes first.
    std::lock_guard hold(record->transaction);
    if (record->closed) return FT_Close(dev);  // closed meanwhile by another thread
    const FT_STATUS status = FT_Close(dev);
    if (status != FT_OK) return status;  // still open as far as the driver knows
    record->closed = true;
    DeviceTable& t = table();
    std::unique_lock write(t.lock);
    const auto it = t.records.find(dev);
    if (it != t.records.end() && it->second == record) t.records.erase(it);
    return status;
}

std::optional<uint32_t> qz::rememberedBaudRate(FT_HANDLE dev) {
    const std::shared_ptr<DeviceRecord> record = find(dev);
    if (!record) return std::nullopt;
    return record->baudRate.load();
}

void qz::rememberBaudRate(FT_HANDLE dev, uint32_t baudRate) {
    if (const auto record = find(dev)) record->baudRate.store(baudRate);
}

namespace {

// The sample clock per baud of a chip type: 16 on the FT232R and the older
// full-speed chips, 5 on the H series (reported as 4 or 5; 5 is the faster
// guess, so the bus clock never exceeds what was asked).
uint32_t multiplierOf(uint32_t type) {
    switch (type) {
        case FT_DEVICE_2232H:
        case FT_DEVICE_4232H:
        case FT_DEVICE_232H: return 5;
        default: return 16;
    }
}

struct Listing {
    uint32_t flags;
    uint32_t type;
};
constexpr uint32_t kFlagHighSpeed = 2;  // FT_FLAGS_HISPEED
constexpr uint32_t kFullSpeedPacketData = 62;
constexpr uint32_t kHighSpeedPacketData = 510;

// The driver's list entry of an open device (the entry whose handle it is);
// nullopt when the driver does not list it.
std::optional<Listing> listingOf(FT_HANDLE dev) {
    uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK) return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t flags = 0, type = 0, id = 0, location = 0;
        char serial[64] = {}, description[64] = {};
        FT_HANDLE handle = nullptr;
        if (FT_GetDeviceInfoDetail(i, &flags, &type, &id, &location, serial, description, &handle) ==
                FT_OK &&
            handle == dev)
            return Listing{flags, type};
    }
    return std::nullopt;
}

}  // namespace

uint32_t qz::sampleMultiplier(FT_HANDLE dev) {
    const auto record = find(dev);
    if (record && record->sampleMultiplier != 0) return record->sampleMultiplier;
    const auto listing = listingOf(dev);
    const uint32_t multiplier = multiplierOf(listing ? listing->type : uint32_t{FT_DEVICE_232R});
    if (record) record->sampleMultiplier = multiplier;
    return multiplier;
}

uint32_t qz::packetData(FT_HANDLE dev) {
    const auto listing = listingOf(dev);
    return listing && (listing->flags & kFlagHighSpeed) ? kHighSpeedPacketData : kFullSpeedPacketData;
}

std::optional<qz::LinkTuning> qz::lowLatency(FT_HANDLE dev) {
    const auto record = find(dev);
    if (!record || record->tuning.packetData == 0) return std::nullopt;
    return record->tuning;
}

bool qz::setLowLatencyState(FT_HANDLE dev, const LinkTuning& tuning) {
    const auto record = find(dev);
    if (!record) return false;
    record->tuning = tuning;
    return true;
}
