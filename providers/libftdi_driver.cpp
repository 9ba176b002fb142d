// The D2XX operations answered through libftdi1 (1.5) over libusb-1.0.
//
// Both libraries are loaded at run time; the few functions and structures
// used are declared here (their binary interface is stable), the contexts
// stay opaque. Differences from the vendor's driver that matter here:
//  - libftdi reads only when asked: nothing drains the chip in the
//    background. In synchronous bit-bang mode the chip stops clocking once
//    its FIFO towards the host is full (256 bytes on the FT232R), and a write
//    still queued behind it never completes. So a write goes out in chunks
//    that fit that FIFO, and after each chunk its read-back is fetched into a
//    receive buffer of our own, which FT_GetQueueStatus and FT_Read serve.
//  - Reads are fetched in requests of one USB packet, so a request completes
//    with each packet and fetching exactly the bytes that are due never waits
//    for the latency timer to end a part-filled request.
//  - A poll that finds nothing costs one latency period on real hardware
//    (the chip answers an IN request only with a packet, a status-only one
//    when its timer expires); a read gives up after a few such empty answers
//    in a row, as the vendor's driver with a read timeout returns short.
#include "libftdi_driver.hpp"

#include "messages.h"
#include "shared_library.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace qz {
namespace {

// ---- libusb-1.0 and libftdi1, as far as they are used ----------------------
struct ftdi_context;
struct libusb_device;
struct libusb_device_handle;
struct ftdi_device_list {
    ftdi_device_list* next;
    libusb_device* dev;
};
struct ftdi_version_info {
    int major, minor, micro;
    const char* version_str;
    const char* snapshot_str;
};
struct libusb_device_descriptor {
    uint8_t bLength, bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    uint16_t idVendor, idProduct, bcdDevice;
    uint8_t iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};
constexpr int kLibusbErrorAccess = -3;
constexpr int kLibusbSpeedHigh = 3;

struct Functions {
    ftdi_context* (*ftdiNew)() = nullptr;
    void (*ftdiFree)(ftdi_context*) = nullptr;
    int (*findAll)(ftdi_context*, ftdi_device_list**, int, int) = nullptr;
    void (*listFree)(ftdi_device_list**) = nullptr;
    int (*getStrings)(ftdi_context*, libusb_device*, char*, int, char*, int, char*, int) = nullptr;
    int (*openDev)(ftdi_context*, libusb_device*) = nullptr;
    int (*usbClose)(ftdi_context*) = nullptr;
    int (*setBaudrate)(ftdi_context*, int) = nullptr;
    int (*setBitmode)(ftdi_context*, unsigned char, unsigned char) = nullptr;
    int (*tciflush)(ftdi_context*) = nullptr;
    int (*tcoflush)(ftdi_context*) = nullptr;
    int (*writeData)(ftdi_context*, const unsigned char*, int) = nullptr;
    int (*readData)(ftdi_context*, unsigned char*, int) = nullptr;
    int (*readChunk)(ftdi_context*, unsigned int) = nullptr;
    int (*writeChunk)(ftdi_context*, unsigned int) = nullptr;
    int (*setLatency)(ftdi_context*, unsigned char) = nullptr;
    int (*getLatency)(ftdi_context*, unsigned char*) = nullptr;
    ftdi_version_info (*version)() = nullptr;  // optional
    int (*deviceDescriptor)(libusb_device*, libusb_device_descriptor*) = nullptr;
    uint8_t (*busNumber)(libusb_device*) = nullptr;
    uint8_t (*deviceAddress)(libusb_device*) = nullptr;
    int (*usbOpen)(libusb_device*, libusb_device_handle**) = nullptr;
    void (*usbCloseHandle)(libusb_device_handle*) = nullptr;
    int (*deviceSpeed)(libusb_device*) = nullptr;  // optional
};

template <class Function>
bool resolve(const SharedLibrary& library, const char* name, Function& entry) {
    const SharedLibrary::Symbol symbol = library.symbol(name);
    entry = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

// true once every function the driver needs is resolved.
bool resolveAll(const SharedLibrary& ftdi, const SharedLibrary& usb, Functions& f) {
    resolve(ftdi, "ftdi_get_library_version", f.version);
    resolve(usb, "libusb_get_device_speed", f.deviceSpeed);
    return resolve(ftdi, "ftdi_new", f.ftdiNew) && resolve(ftdi, "ftdi_free", f.ftdiFree) &&
           resolve(ftdi, "ftdi_usb_find_all", f.findAll) &&
           resolve(ftdi, "ftdi_list_free", f.listFree) &&
           resolve(ftdi, "ftdi_usb_get_strings", f.getStrings) &&
           resolve(ftdi, "ftdi_usb_open_dev", f.openDev) &&
           resolve(ftdi, "ftdi_usb_close", f.usbClose) &&
           resolve(ftdi, "ftdi_set_baudrate", f.setBaudrate) &&
           resolve(ftdi, "ftdi_set_bitmode", f.setBitmode) &&
           resolve(ftdi, "ftdi_tciflush", f.tciflush) &&
           resolve(ftdi, "ftdi_tcoflush", f.tcoflush) &&
           resolve(ftdi, "ftdi_write_data", f.writeData) &&
           resolve(ftdi, "ftdi_read_data", f.readData) &&
           resolve(ftdi, "ftdi_read_data_set_chunksize", f.readChunk) &&
           resolve(ftdi, "ftdi_write_data_set_chunksize", f.writeChunk) &&
           resolve(ftdi, "ftdi_set_latency_timer", f.setLatency) &&
           resolve(ftdi, "ftdi_get_latency_timer", f.getLatency) &&
           resolve(usb, "libusb_get_device_descriptor", f.deviceDescriptor) &&
           resolve(usb, "libusb_get_bus_number", f.busNumber) &&
           resolve(usb, "libusb_get_device_address", f.deviceAddress) &&
           resolve(usb, "libusb_open", f.usbOpen) && resolve(usb, "libusb_close", f.usbCloseHandle);
}

// ---- what the USB descriptors say -------------------------------------------
// D2XX's device type from the chip's release number (bcdDevice), as FTDI
// numbers its chips.
uint32_t typeOf(const libusb_device_descriptor& d) {
    switch (d.bcdDevice >> 8) {
        case 0x02: return d.iSerialNumber == 0 ? FT_DEVICE_BM : FT_DEVICE_AM;
        case 0x04: return FT_DEVICE_BM;
        case 0x05: return FT_DEVICE_2232C;
        case 0x06: return FT_DEVICE_232R;
        case 0x07: return FT_DEVICE_2232H;
        case 0x08: return FT_DEVICE_4232H;
        case 0x09: return FT_DEVICE_232H;
        case 0x10: return 9;  // FT-X series
        default: return FT_DEVICE_UNKNOWN;
    }
}

constexpr uint32_t kFlagOpened = 1;    // D2XX's FT_FLAGS_OPENED
constexpr uint32_t kFlagHighSpeed = 2;  // D2XX's FT_FLAGS_HISPEED

// One attached device, as listed.
struct Entry {
    std::string serial;
    std::string description;
    uint32_t type = FT_DEVICE_UNKNOWN;
    uint32_t id = 0;
    uint8_t bus = 0, address = 0;
    bool highSpeed = false;
    bool readable = false;  // its strings could be read (no permission: not)
    bool denied = false;    // libusb refused to open it for lack of permission
    uint32_t locId() const { return uint32_t{bus} << 8 | address; }
};

// The USB IDs searched besides FTDI's own (0403:6001, 6010, 6011, 6014,
// 6015, which libftdi searches by default): QZ_FTDI_USB_IDS="vid:pid,..." in
// hex, for boards with IDs of their own.
std::vector<std::pair<int, int>> extraIds() {
    std::vector<std::pair<int, int>> ids;
    const char* text = std::getenv("QZ_FTDI_USB_IDS");
    while (text && *text) {
        unsigned vid = 0, pid = 0;
        int used = 0;
        if (std::sscanf(text, "%x:%x%n", &vid, &pid, &used) != 2) break;
        if (vid <= 0xFFFF && pid <= 0xFFFF) ids.emplace_back(static_cast<int>(vid), static_cast<int>(pid));
        text += used;
        if (*text == ',') ++text;
    }
    return ids;
}

// Copies `text` into a caller's buffer of `capacity` bytes, always ended.
void copyOut(const std::string& text, void* into, std::size_t capacity) {
    if (!into || capacity == 0) return;
    const std::size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(into, text.data(), n);
    static_cast<char*>(into)[n] = '\0';
}

// Buffer sizes of D2XX's details: a 16-byte serial, a 64-byte description.
constexpr std::size_t kSerialCapacity = 16;
constexpr std::size_t kDescriptionCapacity = 64;
constexpr std::size_t kListCapacity = 64;  // the by-index listing's buffer

// The read-back a chunk may leave in the chip: its FIFO towards the host,
// less one packet, in whole packets' data (62 bytes at full speed, 510 at
// high speed). FT232R 256 bytes, FT232H 1 KiB, FT2232H 4 KiB, FT4232H 2 KiB.
uint32_t chunkFor(uint32_t type, bool highSpeed) {
    const uint32_t packet = highSpeed ? 512 : 64;
    uint32_t fifo = 256;
    if (type == FT_DEVICE_232H) fifo = 1024;
    if (type == FT_DEVICE_2232H) fifo = 4096;
    if (type == FT_DEVICE_4232H) fifo = 2048;
    if (type == FT_DEVICE_BM || type == FT_DEVICE_2232C) fifo = 384;
    return (fifo / packet - 1) * (packet - 2);
}

// Empty answers in a row after which bytes still awaited are not coming.
constexpr int kEmptyPolls = 3;

// An open device.
struct Open {
    ftdi_context* ctx = nullptr;
    Entry entry;
    uint32_t chunk = 186;
    uint32_t packet = 64;
    bool bitbang = false;  // libftdi's own flag: a bit mode other than reset is set
    bool sync = false;     // synchronous bit-bang: a read-back byte per written byte
    std::vector<uint8_t> rx;  // read-back fetched from the chip, not yet read
    std::size_t rxHead = 0;
    std::size_t queued() const { return rx.size() - rxHead; }
};

class LibftdiDriver final : public D2xxDriver {
public:
    LibftdiDriver(std::unique_ptr<SharedLibrary> ftdi, std::unique_ptr<SharedLibrary> usb,
                  const Functions& f)
        : ftdi_(std::move(ftdi)), usb_(std::move(usb)), f_(f) {}
    ~LibftdiDriver() override {
        for (auto& [token, open] : open_) closeContext(*open);
        if (lister_) f_.ftdiFree(lister_);
    }

    const SharedLibrary& library() const { return *ftdi_; }
    const Functions& functions() const { return f_; }

    // Count form: lists afresh. By-index form: the serial (or description)
    // of that entry of the last listing; FT_DEVICE_NOT_OPENED for a device
    // whose strings cannot be read (no permission), as for one not listable.
    FT_STATUS listDevices(void* arg1, void* arg2, uint32_t flags) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (flags & FT_LIST_NUMBER_ONLY) {
            if (!arg1) return FT_INVALID_PARAMETER;
            if (const FT_STATUS s = enumerate(listed_); s != FT_OK) return s;
            *static_cast<uint32_t*>(arg1) = static_cast<uint32_t>(listed_.size());
            return FT_OK;
        }
        if (!(flags & FT_LIST_BY_INDEX) || !arg2) return FT_INVALID_PARAMETER;
        if (listed_.empty())
            if (const FT_STATUS s = enumerate(listed_); s != FT_OK) return s;
        const auto index = reinterpret_cast<uintptr_t>(arg1);
        if (index >= listed_.size()) return FT_DEVICE_NOT_FOUND;
        const Entry& e = listed_[index];
        if (!e.readable) return FT_DEVICE_NOT_OPENED;
        copyOut(flags & FT_OPEN_BY_DESCRIPTION ? e.description : e.serial, arg2, kListCapacity);
        return FT_OK;
    }

    FT_STATUS createDeviceInfoList(uint32_t* count) override {
        if (!count) return FT_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        if (const FT_STATUS s = enumerate(info_); s != FT_OK) return s;
        *count = static_cast<uint32_t>(info_.size());
        return FT_OK;
    }

    FT_STATUS getDeviceInfoDetail(uint32_t index, uint32_t* flags, uint32_t* type, uint32_t* id,
                                  uint32_t* locId, void* serial, void* description,
                                  FT_HANDLE* handle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= info_.size()) return FT_DEVICE_NOT_FOUND;
        const Entry& e = info_[index];
        const FT_HANDLE token = tokenAt(e.bus, e.address);
        if (flags) *flags = (token ? kFlagOpened : 0) | (e.highSpeed ? kFlagHighSpeed : 0);
        if (type) *type = e.type;
        if (id) *id = e.id;
        if (locId) *locId = e.locId();
        copyOut(e.serial, serial, kSerialCapacity);
        copyOut(e.description, description, kDescriptionCapacity);
        if (handle) *handle = token;
        return FT_OK;
    }

    // By serial number only (the form the library uses). A device that is
    // open already answers FT_DEVICE_NOT_OPENED, as does one libusb may not
    // open; for lack of permission the message names the udev rule.
    FT_STATUS openEx(void* arg1, uint32_t flags, FT_HANDLE* handle) override {
        if (!handle || !arg1) return FT_INVALID_PARAMETER;
        if (flags != FT_OPEN_BY_SERIAL_NUMBER) return FT_NOT_SUPPORTED;
        const std::string wanted(static_cast<const char*>(arg1));
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            auto open = std::make_unique<Open>();
            open->ctx = f_.ftdiNew();
            if (!open->ctx) return FT_DEVICE_NOT_FOUND;  // libusb cannot start: no USB
            const FT_STATUS status = openBySerial(*open, wanted);
            if (status != FT_OK) {
                f_.ftdiFree(open->ctx);
                return status;
            }
            const uintptr_t token = nextToken_;
            nextToken_ += 0x10;
            open_.emplace(token, std::move(open));
            *handle = reinterpret_cast<FT_HANDLE>(token);
            return FT_OK;
        } catch (const std::bad_alloc&) {
            return FT_INSUFFICIENT_RESOURCES;
        }
    }

    FT_STATUS setBaudRate(FT_HANDLE handle, uint32_t baud) override {
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            const uint32_t rate = libftdiBaudFor(baud, o.bitbang);
            if (rate == 0) return FT_INVALID_BAUD_RATE;
            const int r = f_.setBaudrate(o.ctx, static_cast<int>(rate));
            if (r == -1) return FT_INVALID_BAUD_RATE;
            return r < 0 ? FT_IO_ERROR : FT_OK;
        });
    }

    FT_STATUS setBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) override {
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            if (f_.setBitmode(o.ctx, mask, mode) < 0) return FT_IO_ERROR;
            o.bitbang = mode != FT_BITMODE_RESET;
            o.sync = mode == FT_BITMODE_SYNC_BITBANG;
            return FT_OK;
        });
    }

    FT_STATUS purge(FT_HANDLE handle, uint32_t mask) override {
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            if ((mask & FT_PURGE_RX) && f_.tciflush(o.ctx) < 0) return FT_IO_ERROR;
            if ((mask & FT_PURGE_TX) && f_.tcoflush(o.ctx) < 0) return FT_IO_ERROR;
            if (mask & FT_PURGE_RX) {
                o.rx.clear();
                o.rxHead = 0;
            }
            return FT_OK;
        });
    }

    // In synchronous bit-bang mode: chunks that fit the chip's FIFO towards
    // the host, each one's read-back fetched before the next goes out. The
    // count is what the chip took (short when read-back stops coming);
    // FT_IO_ERROR when a transfer fails (the device is gone).
    FT_STATUS write(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* written) override {
        if (!written || (!buffer && count)) return FT_INVALID_PARAMETER;
        *written = 0;
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            const auto* bytes = static_cast<const unsigned char*>(buffer);
            const uint32_t step = o.sync ? o.chunk : count;
            while (*written < count) {
                const uint32_t n = std::min(step, count - *written);
                const int took = f_.writeData(o.ctx, bytes + *written, static_cast<int>(n));
                if (took < 0) return FT_IO_ERROR;
                *written += static_cast<uint32_t>(took);
                if (static_cast<uint32_t>(took) < n) break;  // the chip took no more
                if (!o.sync) continue;
                const std::size_t due = o.queued() + n;
                if (!fetch(o, due)) return FT_IO_ERROR;
                // Read-back that stopped coming would stall the chip behind the
                // next chunk: end short, as the vendor's write does on its timeout.
                if (o.queued() < due) break;
            }
            return FT_OK;
        });
    }

    // What the receive buffer holds; one poll of the chip when it holds
    // nothing.
    FT_STATUS getQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) override {
        if (!rxBytes) return FT_INVALID_PARAMETER;
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            if (o.queued() == 0 && !poll(o, o.chunk)) return FT_IO_ERROR;
            *rxBytes = static_cast<uint32_t>(o.queued());
            return FT_OK;
        });
    }

    // Up to `count` bytes: those buffered, then fetched from the chip until
    // enough have come or it has nothing more (FT_OK with fewer, as D2XX
    // with a read timeout).
    FT_STATUS read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got) override {
        if (!got || (!buffer && count)) return FT_INVALID_PARAMETER;
        *got = 0;
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            if (o.queued() < count && !fetch(o, count)) return FT_IO_ERROR;
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(count, o.queued()));
            std::memcpy(buffer, o.rx.data() + o.rxHead, n);
            o.rxHead += n;
            if (o.rxHead == o.rx.size()) {
                o.rx.clear();
                o.rxHead = 0;
            }
            *got = n;
            return FT_OK;
        });
    }

    FT_STATUS close(FT_HANDLE handle) override {
        std::unique_ptr<Open> open;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
            if (it == open_.end()) return FT_INVALID_HANDLE;
            open = std::move(it->second);
            open_.erase(it);
        }
        closeContext(*open);
        return FT_OK;
    }

    FT_STATUS setLatencyTimer(FT_HANDLE handle, uint8_t ms) override {
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            const int r = f_.setLatency(o.ctx, ms);
            if (r == -1) return FT_INVALID_PARAMETER;
            return r < 0 ? FT_IO_ERROR : FT_OK;
        });
    }

    FT_STATUS getLatencyTimer(FT_HANDLE handle, uint8_t* ms) override {
        if (!ms) return FT_INVALID_PARAMETER;
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            unsigned char value = 0;
            if (f_.getLatency(o.ctx, &value) < 0) return FT_IO_ERROR;
            *ms = value;
            return FT_OK;
        });
    }

    // The USB transfer sizes. libftdi's read chunk stays at one packet: the
    // provider asks for exactly the read-back that is due, packet by packet,
    // so no partly filled request waits for the latency timer whatever size
    // the program asks for; the write chunk takes `out`. As with D2XX, what
    // the provider holds is discarded. FT_INVALID_PARAMETER for an IN size
    // that is not a multiple of 64 from 64 to 65536.
    FT_STATUS setUSBParameters(FT_HANDLE handle, uint32_t in, uint32_t out) override {
        if (in < 64 || in > 65536 || in % 64 != 0) return FT_INVALID_PARAMETER;
        return onOpen(handle, [&](Open& o) -> FT_STATUS {
            if (out >= 64 && f_.writeChunk(o.ctx, out) < 0) return FT_IO_ERROR;
            o.rx.clear();
            o.rxHead = 0;
            return FT_OK;
        });
    }

private:
    // Runs `operation` on an open device; FT_INVALID_HANDLE for any other
    // value. Calls on one handle are serialised by the caller (the library
    // holds the device's lock); the table's lock is not held meanwhile.
    template <class Operation>
    FT_STATUS onOpen(FT_HANDLE handle, Operation&& operation) {
        Open* open = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
            if (it == open_.end()) return FT_INVALID_HANDLE;
            open = it->second.get();
        }
        return operation(*open);
    }

    FT_HANDLE tokenAt(uint8_t bus, uint8_t address) const {
        for (const auto& [token, open] : open_)
            if (open->entry.bus == bus && open->entry.address == address)
                return reinterpret_cast<FT_HANDLE>(token);
        return nullptr;
    }

    // The attached devices of FTDI's IDs and of QZ_FTDI_USB_IDS, described
    // through `ctx` (devices open here from what was read at opening).
    // `devices`, if given, receives libusb's device of each entry (owned by
    // *list, which the caller frees).
    FT_STATUS enumerateWith(ftdi_context* ctx, std::vector<Entry>& out,
                            std::vector<ftdi_device_list*>& lists,
                            std::vector<libusb_device*>* devices) {
        out.clear();
        std::vector<std::pair<int, int>> ids{{0, 0}};
        for (const auto& id : extraIds()) ids.push_back(id);
        for (const auto& [vid, pid] : ids) {
            // A host without USB (no usbfs: libusb cannot start) has no devices.
            ftdi_device_list* list = nullptr;
            if (f_.findAll(ctx, &list, vid, pid) < 0) continue;
            lists.push_back(list);
            for (ftdi_device_list* d = list; d; d = d->next) {
                Entry e;
                libusb_device_descriptor desc{};
                if (f_.deviceDescriptor(d->dev, &desc) != 0) continue;
                e.id = uint32_t{desc.idVendor} << 16 | desc.idProduct;
                e.type = typeOf(desc);
                e.bus = f_.busNumber(d->dev);
                e.address = f_.deviceAddress(d->dev);
                e.highSpeed = f_.deviceSpeed ? f_.deviceSpeed(d->dev) >= kLibusbSpeedHigh
                                             : desc.bcdUSB >= 0x0200 && (e.type == FT_DEVICE_2232H ||
                                                                         e.type == FT_DEVICE_4232H ||
                                                                         e.type == FT_DEVICE_232H);
                if (const FT_HANDLE token = tokenAt(e.bus, e.address)) {
                    e = open_.at(reinterpret_cast<uintptr_t>(token))->entry;
                } else {
                    char serial[kListCapacity] = "", description[kDescriptionCapacity] = "";
                    e.readable = f_.getStrings(ctx, d->dev, nullptr, 0, description,
                                               sizeof description, serial, sizeof serial) == 0;
                    if (e.readable) {
                        e.serial = serial;
                        e.description = description;
                    } else {
                        e.denied = permissionDenied(d->dev);
                    }
                }
                // A device that matches FTDI's IDs and an extra pair is listed once.
                const bool seen = std::any_of(out.begin(), out.end(), [&](const Entry& x) {
                    return x.bus == e.bus && x.address == e.address;
                });
                if (seen) continue;
                out.push_back(e);
                if (devices) devices->push_back(d->dev);
            }
        }
        return FT_OK;
    }

    FT_STATUS enumerate(std::vector<Entry>& out) {
        if (!lister_) lister_ = f_.ftdiNew();
        if (!lister_) {  // libusb cannot start here: no USB, no devices
            out.clear();
            return FT_OK;
        }
        std::vector<ftdi_device_list*> lists;
        const FT_STATUS status = enumerateWith(lister_, out, lists, nullptr);
        for (ftdi_device_list*& list : lists) f_.listFree(&list);
        return status;
    }

    // true when libusb refuses to open `dev` for lack of permission.
    bool permissionDenied(libusb_device* dev) {
        libusb_device_handle* h = nullptr;
        const int r = f_.usbOpen(dev, &h);
        if (r == 0 && h) f_.usbCloseHandle(h);
        return r == kLibusbErrorAccess;
    }

    // Finds `wanted` among the devices `o.ctx` enumerates and opens it there.
    FT_STATUS openBySerial(Open& o, const std::string& wanted) {
        std::vector<Entry> entries;
        std::vector<ftdi_device_list*> lists;
        std::vector<libusb_device*> devices;
        FT_STATUS status = enumerateWith(o.ctx, entries, lists, &devices);
        const Entry* denied = nullptr;
        if (status == FT_OK) {
            status = FT_DEVICE_NOT_FOUND;
            for (std::size_t k = 0; k < entries.size(); ++k) {
                const Entry& e = entries[k];
                if (e.denied && !denied) denied = &e;
                if (!e.readable || e.serial != wanted) continue;
                if (tokenAt(e.bus, e.address)) {
                    status = FT_DEVICE_NOT_OPENED;
                    break;
                }
                if (f_.openDev(o.ctx, devices[k]) < 0) {
                    status = FT_DEVICE_NOT_OPENED;
                    if (permissionDenied(devices[k])) denied = &e;
                    break;
                }
                o.entry = e;
                o.packet = e.highSpeed ? 512 : 64;
                o.chunk = chunkFor(e.type, e.highSpeed);
                f_.readChunk(o.ctx, o.packet);
                status = FT_OK;
                break;
            }
            if (status != FT_OK && denied) {
                sayf(QZ_MESSAGE_ERROR,
                    "FTDI Error, no permission to open the FTDI device on USB bus %u address %u: "
                    "install the udev rule 60-qzftdi.rules (see docs/real-hardware.md)\n",
                    denied->bus, denied->address);
                status = FT_DEVICE_NOT_OPENED;
            }
        }
        for (ftdi_device_list*& list : lists) f_.listFree(&list);
        return status;
    }

    // One read of the chip into the receive buffer, up to `most` bytes;
    // false when the transfer fails. *got: how many came.
    bool pollInto(Open& o, uint32_t most, uint32_t* got) {
        const std::size_t before = o.rx.size();
        o.rx.resize(before + most);
        const int r = f_.readData(o.ctx, o.rx.data() + before, static_cast<int>(most));
        o.rx.resize(before + (r > 0 ? static_cast<std::size_t>(r) : 0));
        *got = r > 0 ? static_cast<uint32_t>(r) : 0;
        return r >= 0;
    }

    bool poll(Open& o, uint32_t most) {
        uint32_t got = 0;
        return pollInto(o, most, &got);
    }

    // Fetches until the receive buffer holds `target` bytes or the chip
    // answered empty kEmptyPolls times in a row; false when a read fails.
    bool fetch(Open& o, std::size_t target) {
        int empty = 0;
        while (o.queued() < target && empty < kEmptyPolls) {
            uint32_t got = 0;
            if (!pollInto(o, static_cast<uint32_t>(target - o.queued()), &got)) return false;
            empty = got ? 0 : empty + 1;
        }
        return true;
    }

    void closeContext(Open& o) {
        if (!o.ctx) return;
        f_.usbClose(o.ctx);
        f_.ftdiFree(o.ctx);
        o.ctx = nullptr;
    }

    std::unique_ptr<SharedLibrary> ftdi_;
    std::unique_ptr<SharedLibrary> usb_;
    Functions f_;
    std::mutex mutex_;  // the listings and the table of open devices
    ftdi_context* lister_ = nullptr;
    std::vector<Entry> listed_;  // the last count-form listing
    std::vector<Entry> info_;    // the last device-info list
    std::map<uintptr_t, std::unique_ptr<Open>> open_;
    uintptr_t nextToken_ = 0x1F7D1000;
};

LibftdiDriver* loaded() {
#ifdef _WIN32
    return nullptr;
#else
    // Loaded on first use and never unloaded, like the vendor's library.
    static LibftdiDriver* const driver = [] {
        try {
            return static_cast<LibftdiDriver*>(loadLibftdi(libftdiLibraryName()).release());
        } catch (const std::bad_alloc&) {
            return static_cast<LibftdiDriver*>(nullptr);
        }
    }();
    return driver;
#endif
}

}  // namespace

const char* libftdiLibraryName() { return "libftdi1.so.2"; }

std::unique_ptr<D2xxDriver> loadLibftdi(const char* libraryName) {
    if (!libraryName) return nullptr;
    auto ftdi = std::make_unique<SharedLibrary>(libraryName);
    if (!ftdi->loaded()) return nullptr;
    // The libusb-1.0 that libftdi1 was loaded with (already loaded: shared).
    auto usb = std::make_unique<SharedLibrary>("libusb-1.0.so.0");
    Functions f;
    if (!usb->loaded() || !resolveAll(*ftdi, *usb, f)) return nullptr;
    return std::make_unique<LibftdiDriver>(std::move(ftdi), std::move(usb), f);
}

D2xxDriver* libftdiDriver() { return loaded(); }

std::string libftdiPath() {
    const LibftdiDriver* driver = loaded();
    return driver ? driver->library().path() : std::string();
}

std::string libftdiVersion() {
    const LibftdiDriver* driver = loaded();
    if (!driver || !driver->functions().version) return {};
    const ftdi_version_info v = driver->functions().version();
    return v.version_str ? v.version_str : std::string();
}

uint32_t libftdiBaudFor(uint32_t baud, bool bitbangOn) {
    if (!bitbangOn) return baud;
    return baud / 4 + (baud % 4 >= 2 ? 1 : 0);
}

}  // namespace qz
