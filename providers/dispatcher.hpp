// Several D2XX drivers shown to the library as one.
//
// Enumeration: the devices of the first driver take the lowest indices, then
// those of the second, and so on (the shipped library lists the vendor's real
// devices first, then the simulated bench's). Opening tries the drivers in the
// same order. Handles are the dispatcher's own tokens, each bound to the
// driver that opened the device and to that driver's handle; tokens are never
// reused, so a closed handle is refused with FT_INVALID_HANDLE.
//
// Threads (the contract of d2xx_driver.hpp): the token table is read under a
// shared lock and changed only by open and close, which hold it alone just to
// insert or remove an entry, never across a driver call. A call on a handle
// keeps that handle's binding in use (shared) for its length; close waits for
// the calls in progress on that one handle, so a driver never sees a handle
// after closing it. The device list's counts have a lock of their own. The
// drivers in use are an immutable list replaced whole by select(): each call
// works with the list in force when it began.
#pragma once

#include "d2xx_driver.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace qz {

class Dispatcher final : public D2xxDriver {
public:
    struct Backend {
        const char* name;
        D2xxDriver* driver;
    };
    // The drivers in enumeration order; null entries (a driver that is not
    // installed) are left out.
    explicit Dispatcher(const std::vector<D2xxDriver*>& drivers);
    explicit Dispatcher(const std::vector<Backend>& backends);

    // Lists and opens with these drivers from now on; devices open already
    // stay reachable through their tokens. Calls under way finish with the
    // drivers they began with.
    void select(const std::vector<Backend>& backends);
    // The backend name of entry `index` of the lists last rebuilt by
    // createDeviceInfoList; nullptr past their end.
    const char* backendOf(uint32_t index) const;

    FT_STATUS listDevices(void* arg1, void* arg2, uint32_t flags) override;
    FT_STATUS createDeviceInfoList(uint32_t* count) override;
    FT_STATUS getDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                  uint32_t* locId, void* serial, void* description,
                                  FT_HANDLE* handle) override;
    FT_STATUS openEx(void* arg1, uint32_t flags, FT_HANDLE* handle) override;
    FT_STATUS setBaudRate(FT_HANDLE handle, uint32_t baud) override;
    FT_STATUS setBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) override;
    FT_STATUS purge(FT_HANDLE handle, uint32_t mask) override;
    FT_STATUS write(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* written) override;
    FT_STATUS getQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) override;
    FT_STATUS read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got) override;
    FT_STATUS close(FT_HANDLE handle) override;
    FT_STATUS setLatencyTimer(FT_HANDLE handle, uint8_t ms) override;
    FT_STATUS getLatencyTimer(FT_HANDLE handle, uint8_t* ms) override;

private:
    // Which driver an open token belongs to, and that driver's own handle.
    struct Binding {
        Binding(D2xxDriver* d, FT_HANDLE h) : driver(d), handle(h) {}
        D2xxDriver* const driver;
        const FT_HANDLE handle;
        std::shared_mutex use;  // shared by each call on the handle, alone by close
        bool closed = false;    // written with `use` held alone
    };
    // Where a device index of the combined list lives.
    struct Route {
        FT_STATUS status;  // FT_OK, or why no driver could be chosen
        D2xxDriver* driver;
        uint64_t index;  // the index within that driver's own list
    };

    // The drivers in enumeration order and their backend names.
    struct DriverList {
        std::vector<D2xxDriver*> drivers;
        std::vector<const char*> names;
    };
    std::shared_ptr<const DriverList> current() const;

    template <class CountOf>
    static Route route(const DriverList& list, uint64_t index, CountOf&& countOf);
    template <class Operation>
    FT_STATUS onHandle(FT_HANDLE token, Operation&& operation);
    FT_HANDLE tokenOf(const D2xxDriver* driver, FT_HANDLE handle) const;
    std::shared_ptr<Binding> find(FT_HANDLE token) const;

    mutable std::mutex listLock_;               // guards list_ (the pointer)
    std::shared_ptr<const DriverList> list_;    // replaced whole by select()
    mutable std::mutex infoLock_;               // guards infoList_, infoCounts_ and the
                                                // drivers' list snapshots
    std::shared_ptr<const DriverList> infoList_;  // the drivers of the last rebuild
    std::vector<uint32_t> infoCounts_;  // per driver, from the last createDeviceInfoList
    mutable std::shared_mutex openLock_;  // guards open_ and nextToken_
    std::map<uintptr_t, std::shared_ptr<Binding>> open_;
    uintptr_t nextToken_;
};

}  // namespace qz
