// Per-device sessions: what the library keeps about each device it opened,
// and the lock that serialises transactions on one device.
//
// The D2XX driver guarantees nothing when two threads call it on one handle
// (a blocking FT_Read holds up an FT_Write of another thread; interleaved
// calls mix up read-back), so every transaction holds its device's lock from
// its purge to its last read. Each device has its own lock: threads that work
// on different devices never wait for each other.
#include "session.h"

#include <map>
#include <mutex>
#include <shared_mutex>

struct qz::DeviceRecord {
    std::mutex transaction;  // held for a whole transaction on the device
    uint32_t baudRate = 0;   // as set by setupFTDIdev; bounds the read-back wait
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
    record->baudRate = baudRate;
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
    return record->baudRate;  // set before the record was published, never changed
}
