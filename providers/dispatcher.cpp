#include "dispatcher.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

namespace qz {
namespace {
// Tokens step by 16 from a value no driver's handles are likely to share, so
// a handle that bypassed the dispatcher stands out in a debugger.
constexpr uintptr_t kFirstToken = 0x0D150000;
constexpr uintptr_t kTokenStep = 0x10;
}  // namespace

Dispatcher::Dispatcher(const std::vector<D2xxDriver*>& drivers) : nextToken_(kFirstToken) {
    std::vector<Backend> backends;
    for (D2xxDriver* driver : drivers) backends.push_back({"driver", driver});
    select(backends);
}

Dispatcher::Dispatcher(const std::vector<Backend>& backends) : nextToken_(kFirstToken) {
    select(backends);
}

void Dispatcher::select(const std::vector<Backend>& backends) {
    auto list = std::make_shared<DriverList>();
    for (const Backend& b : backends)
        if (b.driver) {
            list->drivers.push_back(b.driver);
            list->names.push_back(b.name);
        }
    const std::lock_guard hold(listLock_);
    list_ = std::move(list);
}

std::shared_ptr<const Dispatcher::DriverList> Dispatcher::current() const {
    const std::lock_guard hold(listLock_);
    return list_;
}

const char* Dispatcher::backendOf(uint32_t index) const {
    const std::lock_guard hold(infoLock_);
    if (!infoList_) return nullptr;
    for (std::size_t k = 0; k < infoList_->drivers.size(); ++k) {
        if (index < infoCounts_[k]) return infoList_->names[k];
        index -= infoCounts_[k];
    }
    return nullptr;
}

// The driver that holds combined index `index`: every driver but the last
// gives its device count through countOf(k, count); the last takes every index
// beyond, so that it answers indices past the end in its own way.
template <class CountOf>
Dispatcher::Route Dispatcher::route(const DriverList& list, uint64_t index, CountOf&& countOf) {
    const std::vector<D2xxDriver*>& drivers = list.drivers;
    if (drivers.empty()) return {FT_DEVICE_NOT_FOUND, nullptr, 0};
    for (std::size_t k = 0; k + 1 < drivers.size(); ++k) {
        uint32_t count = 0;
        if (const FT_STATUS status = countOf(k, count); status != FT_OK)
            return {status, nullptr, 0};
        if (index < count) return {FT_OK, drivers[k], index};
        index -= count;
    }
    return {FT_OK, drivers.back(), index};
}

// The binding of an open token, kept alive for the caller; null for any
// other value.
std::shared_ptr<Dispatcher::Binding> Dispatcher::find(FT_HANDLE token) const {
    const std::shared_lock read(openLock_);
    const auto it = open_.find(reinterpret_cast<uintptr_t>(token));
    return it == open_.end() ? nullptr : it->second;
}

// Runs `operation(driver, driverHandle)` for an open token, with its binding
// in use so that a close waits for it; FT_INVALID_HANDLE for any other value
// (also for a token closed while this call waited).
template <class Operation>
FT_STATUS Dispatcher::onHandle(FT_HANDLE token, Operation&& operation) {
    const std::shared_ptr<Binding> binding = find(token);
    if (!binding) return FT_INVALID_HANDLE;
    const std::shared_lock inUse(binding->use);
    if (binding->closed) return FT_INVALID_HANDLE;
    return operation(*binding->driver, binding->handle);
}

// The token under which `driver`'s `handle` is open here; nullptr if none.
FT_HANDLE Dispatcher::tokenOf(const D2xxDriver* driver, FT_HANDLE handle) const {
    if (!handle) return nullptr;
    const std::shared_lock read(openLock_);
    for (const auto& [token, binding] : open_)
        if (binding->driver == driver && binding->handle == handle)
            return reinterpret_cast<FT_HANDLE>(token);
    return nullptr;
}

// Count form: the sum of every driver's count (the first failing driver's
// status, if one fails). Index form: the device at that place of the combined
// list, answered by the driver that holds it.
FT_STATUS Dispatcher::listDevices(void* arg1, void* arg2, uint32_t flags) {
    const std::shared_ptr<const DriverList> list = current();
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1) return FT_INVALID_PARAMETER;
        uint32_t total = 0;
        for (D2xxDriver* driver : list->drivers) {
            uint32_t count = 0;
            if (const FT_STATUS status = driver->listDevices(&count, arg2, flags); status != FT_OK)
                return status;
            total += count;
        }
        *static_cast<uint32_t*>(arg1) = total;
        return FT_OK;
    }
    if (flags & FT_LIST_BY_INDEX) {
        const Route where =
            route(*list, reinterpret_cast<uintptr_t>(arg1), [&](std::size_t k, uint32_t& count) {
                return list->drivers[k]->listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
            });
        if (where.status != FT_OK) return where.status;
        void* const localIndex = reinterpret_cast<void*>(static_cast<uintptr_t>(where.index));
        return where.driver->listDevices(localIndex, arg2, flags);
    }
    return FT_INVALID_PARAMETER;  // listing all at once: not a form the library uses
}

// Rebuilds every driver's list; the total count. The first failing driver's
// status ends it (drivers after it then list nothing until the next rebuild).
FT_STATUS Dispatcher::createDeviceInfoList(uint32_t* count) {
    if (!count) return FT_INVALID_PARAMETER;
    const std::lock_guard hold(infoLock_);
    infoList_ = current();
    infoCounts_.assign(infoList_->drivers.size(), 0u);
    uint32_t total = 0;
    for (std::size_t k = 0; k < infoList_->drivers.size(); ++k) {
        if (const FT_STATUS status = infoList_->drivers[k]->createDeviceInfoList(&infoCounts_[k]);
            status != FT_OK) {
            infoCounts_[k] = 0;
            return status;
        }
        total += infoCounts_[k];
    }
    *count = total;
    return FT_OK;
}

// The details of entry `index` of the lists last rebuilt, from the driver that
// holds it. The handle given back is this dispatcher's token for the device
// when it is open here, else null.
FT_STATUS Dispatcher::getDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type,
                                          uint32_t* id, uint32_t* locId, void* serial,
                                          void* description, FT_HANDLE* handle) {
    const std::lock_guard hold(infoLock_);
    // Before any rebuild every count is 0: the last driver answers.
    const std::shared_ptr<const DriverList> list = infoList_ ? infoList_ : current();
    const Route where = route(*list, index, [&](std::size_t k, uint32_t& count) {
        count = k < infoCounts_.size() ? infoCounts_[k] : 0;
        return FT_STATUS{FT_OK};
    });
    if (where.status != FT_OK) return where.status;
    FT_HANDLE driverHandle = nullptr;
    const FT_STATUS status =
        where.driver->getDeviceInfoDetail(static_cast<uint32_t>(where.index), flags, type, id,
                                          locId, serial, description, &driverHandle);
    if (status == FT_OK && handle) *handle = tokenOf(where.driver, driverHandle);
    return status;
}

// Opens the device with the first driver that has it and hands out a new
// token. If none opens it: the status of the first driver that knows the
// device (anything but FT_DEVICE_NOT_FOUND, say a busy real device), else
// FT_DEVICE_NOT_FOUND. FT_INSUFFICIENT_RESOURCES if no token can be recorded.
// The drivers open without the table's lock (opening a real device takes
// milliseconds); the new token is drawn and recorded under it.
// "name:SERIAL" tries only the backend of that name, with SERIAL.
FT_STATUS Dispatcher::openEx(void* arg1, uint32_t flags, FT_HANDLE* handle) {
    if (!handle) return FT_INVALID_PARAMETER;
    FT_STATUS answer = FT_DEVICE_NOT_FOUND;
    const std::shared_ptr<const DriverList> list = current();
    const char* only = nullptr;
    if (flags == FT_OPEN_BY_SERIAL_NUMBER && arg1) {
        const std::string_view serial(static_cast<const char*>(arg1));
        for (const char* name : list->names)
            if (serial.size() > std::strlen(name) && serial.starts_with(name) &&
                serial[std::strlen(name)] == ':') {
                only = name;
                arg1 = static_cast<char*>(arg1) + std::strlen(name) + 1;
                break;
            }
    }
    for (std::size_t k = 0; k < list->drivers.size(); ++k) {
        D2xxDriver* const driver = list->drivers[k];
        if (only && list->names[k] != only) continue;
        FT_HANDLE driverHandle = nullptr;
        const FT_STATUS status = driver->openEx(arg1, flags, &driverHandle);
        if (status != FT_OK) {
            if (answer == FT_DEVICE_NOT_FOUND) answer = status;
            continue;
        }
        uintptr_t token = 0;
        try {
            auto binding = std::make_shared<Binding>(driver, driverHandle);
            const std::unique_lock write(openLock_);
            token = nextToken_;
            open_.emplace(token, std::move(binding));
            nextToken_ += kTokenStep;
        } catch (const std::bad_alloc&) {
            driver->close(driverHandle);
            return FT_INSUFFICIENT_RESOURCES;
        }
        *handle = reinterpret_cast<FT_HANDLE>(token);
        return FT_OK;
    }
    return answer;
}

// The handle operations go to the driver that opened the device, with that
// driver's handle; FT_INVALID_HANDLE for a token that is not open here.
FT_STATUS Dispatcher::setBaudRate(FT_HANDLE handle, uint32_t baud) {
    return onHandle(handle, [&](D2xxDriver& d, FT_HANDLE h) { return d.setBaudRate(h, baud); });
}

FT_STATUS Dispatcher::setBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) {
    return onHandle(handle,
                    [&](D2xxDriver& d, FT_HANDLE h) { return d.setBitMode(h, mask, mode); });
}

FT_STATUS Dispatcher::purge(FT_HANDLE handle, uint32_t mask) {
    return onHandle(handle, [&](D2xxDriver& d, FT_HANDLE h) { return d.purge(h, mask); });
}

FT_STATUS Dispatcher::write(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* written) {
    return onHandle(handle,
                    [&](D2xxDriver& d, FT_HANDLE h) { return d.write(h, buffer, count, written); });
}

FT_STATUS Dispatcher::getQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
    return onHandle(handle,
                    [&](D2xxDriver& d, FT_HANDLE h) { return d.getQueueStatus(h, rxBytes); });
}

FT_STATUS Dispatcher::read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got) {
    return onHandle(handle,
                    [&](D2xxDriver& d, FT_HANDLE h) { return d.read(h, buffer, count, got); });
}

FT_STATUS Dispatcher::setLatencyTimer(FT_HANDLE handle, uint8_t ms) {
    return onHandle(handle, [&](D2xxDriver& d, FT_HANDLE h) { return d.setLatencyTimer(h, ms); });
}

FT_STATUS Dispatcher::getLatencyTimer(FT_HANDLE handle, uint8_t* ms) {
    return onHandle(handle, [&](D2xxDriver& d, FT_HANDLE h) { return d.getLatencyTimer(h, ms); });
}

// Closes the device with its driver once the calls in progress on this
// handle have returned; the token is retired only when the driver reports
// FT_OK, so a failed close can be retried. Of two threads closing one handle
// at once, one closes it and the other gets FT_INVALID_HANDLE.
FT_STATUS Dispatcher::close(FT_HANDLE handle) {
    const std::shared_ptr<Binding> binding = find(handle);
    if (!binding) return FT_INVALID_HANDLE;
    {
        const std::unique_lock alone(binding->use);
        if (binding->closed) return FT_INVALID_HANDLE;
        const FT_STATUS status = binding->driver->close(binding->handle);
        if (status != FT_OK) return status;
        binding->closed = true;
    }
    const std::unique_lock write(openLock_);
    open_.erase(reinterpret_cast<uintptr_t>(handle));
    return FT_OK;
}

}  // namespace qz
