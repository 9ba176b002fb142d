// A stand-in for libusb-1.0: the functions libftdi1 1.5 calls, answering as
// FTDI chips on USB with the simulated bench's devices behind them. Loaded
// instead of the system's libusb (same soname), it lets the real libftdi1
// from Debian drive the simulated chip and its virtual peripherals.
//
// What the chip does on the wire, as modelled here:
//  - Device and string descriptors: FTDI's vendor ID and the device's product
//    ID, the chip's release number (bcdDevice) by type, one interface with a
//    bulk IN and a bulk OUT endpoint of the profile's packet size.
//  - FTDI's vendor control requests: reset and the two purges, set baud rate
//    (the divisor is decoded back to a rate the way the chip divides its
//    clock), set bit mode, latency timer; line settings are accepted.
//  - Bulk IN: packets of the profile's size, each two status bytes then up
//    to size - 2 read-back bytes; a short packet ends the request. With no
//    read-back the chip answers a status-only packet (its latency timer
//    expiring; at once here, the stand-in has no clock).
//  - Quirk: the chip stalls once its FIFO towards the host is full, and
//    nothing reads it unless the host asks: a bulk OUT in synchronous
//    bit-bang mode whose read-back would not fit the FIFOs (to-host plus
//    from-host) takes what fits and times out (LIBUSB_ERROR_TIMEOUT).
//  - A device that is gone answers LIBUSB_ERROR_NO_DEVICE; one denied by
//    qzusb_standin_deny answers libusb_open with LIBUSB_ERROR_ACCESS.
#include "standin.h"

#include "d2xx_driver.hpp"
#include "qzsim/bench.hpp"
#include "qzsim/bench_file.hpp"
#include "sim_d2xx.hpp"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#define STANDIN_API extern "C" __attribute__((visibility("default")))

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    int refs = 1;
    std::string serial;
    qzsim::DeviceInfo info;
    uint8_t address = 0;
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    FT_HANDLE chip = nullptr;  // the simulated chip, claimed with the interface
    bool sync = false;         // synchronous bit-bang mode is set
};

namespace {

constexpr uint8_t kBus = 1;
constexpr uint8_t kStatus[2] = {0x31, 0x60};  // modem and line status of an idle chip

struct State {
    std::mutex mutex;
    std::set<std::string> denied;
    std::map<std::string, std::pair<uint16_t, uint16_t>> baudRequests;
};

State& state() {
    static State s;
    return s;
}

qz::D2xxDriver& chip() { return qzsim::simDriver(); }

// The chip's release number by D2XX device type.
uint16_t bcdDeviceOf(uint32_t type) {
    switch (type) {
        case FT_DEVICE_BM: return 0x0400;
        case FT_DEVICE_2232C: return 0x0500;
        case FT_DEVICE_2232H: return 0x0700;
        case FT_DEVICE_4232H: return 0x0800;
        case FT_DEVICE_232H: return 0x0900;
        default: return 0x0600;
    }
}

bool hSeries(uint32_t type) {
    return type == FT_DEVICE_2232H || type == FT_DEVICE_4232H || type == FT_DEVICE_232H;
}

// The baud rate a chip runs at for a divisor request: the encoded divisor is
// 14 bits of integer and a 3-bit code for eighths; codes 0 and 1 of the
// integer mean divide by 1 and by 1.5. The H series takes bits 16..23 in the
// high byte of wIndex, and bit 17 switches its base clock from 3 to 12 MHz.
uint32_t baudOfDivisor(uint16_t value, uint16_t index, uint32_t type) {
    static const uint32_t eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const uint32_t encoded =
        value | (hSeries(type) ? static_cast<uint32_t>(index >> 8) << 16 : uint32_t{index} << 16);
    const uint32_t base = hSeries(type) && (encoded & 0x20000) ? 12000000 : 3000000;
    const uint32_t whole = encoded & 0x3FFF;
    const uint32_t frac = eighths[(encoded >> 14) & 0x7];
    uint32_t d8 = whole * 8 + frac;
    if (whole == 0 && frac == 0) d8 = 8;
    if (whole == 1 && frac == 0) d8 = 12;
    return static_cast<uint32_t>((uint64_t{base} * 8 + d8 / 2) / d8);
}

int libusbError(FT_STATUS status) {
    if (status == FT_OK) return LIBUSB_SUCCESS;
    if (status == FT_IO_ERROR || status == FT_INVALID_HANDLE) return LIBUSB_ERROR_NO_DEVICE;
    return LIBUSB_ERROR_PIPE;  // the chip refused the request
}

// The sim device behind a handle (gone: nullptr).
std::shared_ptr<qzsim::Device> simDevice(const libusb_device_handle* h) {
    return qzsim::bench().share(h->dev->serial);
}

int vendorRequest(libusb_device_handle* h, uint8_t request, uint16_t value, uint16_t index,
                  unsigned char* data, uint16_t length) {
    if (!h->chip) return LIBUSB_ERROR_IO;  // the interface was not claimed
    switch (request) {
        case 0x00:  // reset (0), purge from-host FIFO (1), purge to-host FIFO (2)
            if (value == 1) return libusbError(chip().purge(h->chip, FT_PURGE_TX));
            if (value == 2) return libusbError(chip().purge(h->chip, FT_PURGE_RX));
            return libusbError(chip().purge(h->chip, FT_PURGE_RX | FT_PURGE_TX));
        case 0x03: {  // set baud rate
            {
                const std::lock_guard<std::mutex> lock(state().mutex);
                state().baudRequests[h->dev->serial] = {value, index};
            }
            return libusbError(
                chip().setBaudRate(h->chip, baudOfDivisor(value, index, h->dev->info.type)));
        }
        case 0x09:  // set latency timer
            return libusbError(chip().setLatencyTimer(h->chip, static_cast<uint8_t>(value)));
        case 0x0A: {  // get latency timer
            uint8_t ms = 0;
            if (const int r = libusbError(chip().getLatencyTimer(h->chip, &ms)); r != 0) return r;
            if (length < 1) return LIBUSB_ERROR_OVERFLOW;
            data[0] = ms;
            return 1;
        }
        case 0x0B: {  // set bit mode: mask in the low byte, mode in the high byte
            const auto mode = static_cast<uint8_t>(value >> 8);
            const int r = libusbError(chip().setBitMode(h->chip, static_cast<uint8_t>(value), mode));
            if (r == 0) h->sync = mode == FT_BITMODE_SYNC_BITBANG;
            return r;
        }
        case 0x05:  // poll modem status
            if (length < 2) return LIBUSB_ERROR_OVERFLOW;
            std::memcpy(data, kStatus, 2);
            return 2;
        case 0x01: case 0x02: case 0x04: case 0x06: case 0x07:  // line settings
            return simDevice(h) ? 0 : LIBUSB_ERROR_NO_DEVICE;
        default:
            return LIBUSB_ERROR_PIPE;
    }
}

// Bulk OUT: the bytes go to the chip, as far as its FIFOs take them.
int bulkOut(libusb_device_handle* h, const unsigned char* data, int length, int* actual) {
    const auto device = simDevice(h);
    if (!device) return LIBUSB_ERROR_NO_DEVICE;
    uint32_t room = static_cast<uint32_t>(length);
    if (h->sync) {
        uint32_t queued = 0;
        if (const int r = libusbError(chip().getQueueStatus(h->chip, &queued)); r != 0) return r;
        const uint32_t fifos = device->profile().fifoToHost + device->profile().fifoFromHost;
        room = std::min(room, queued < fifos ? fifos - queued : 0u);
    }
    uint32_t written = 0;
    if (room > 0)
        if (const int r = libusbError(chip().write(h->chip, const_cast<unsigned char*>(data), room,
                                                   &written));
            r != 0)
            return r;
    *actual = static_cast<int>(written);
    return written < static_cast<uint32_t>(length) ? LIBUSB_ERROR_TIMEOUT : 0;
}

// Bulk IN: packets of status bytes and read-back until the request is full
// or a packet is short.
int bulkIn(libusb_device_handle* h, unsigned char* data, int length, int* actual) {
    const auto device = simDevice(h);
    if (!device) return LIBUSB_ERROR_NO_DEVICE;
    const uint32_t packet = device->profile().packetSize;
    uint32_t queued = 0;
    if (const int r = libusbError(chip().getQueueStatus(h->chip, &queued)); r != 0) return r;
    int done = 0;
    while (length - done >= 2) {
        const uint32_t space = std::min<uint32_t>(packet, static_cast<uint32_t>(length - done)) - 2;
        const uint32_t take = std::min(space, queued);
        std::memcpy(data + done, kStatus, 2);
        uint32_t got = 0;
        if (take > 0)
            if (const int r = libusbError(chip().read(h->chip, data + done + 2, take, &got)); r != 0)
                return r;
        done += 2 + static_cast<int>(got);
        queued -= got;
        if (2 + got < packet) break;  // a short packet ends the request
    }
    *actual = done;
    return 0;
}

void loadEnvironmentBenchOnce() {
    static const bool loaded = [] {
        const char* path = std::getenv("QZ_USB_STANDIN_BENCH");
        if (!path || !*path) return true;
        try {
            qzsim::loadBenchFile(path);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "QZ_USB_STANDIN_BENCH: %s\n", e.what());
            return false;
        }
        return true;
    }();
    (void)loaded;
}

}  // namespace

// ---- the stand-in's controls -------------------------------------------------
STANDIN_API void qzusb_standin_deny(const char* serial, int denied) {
    const std::lock_guard<std::mutex> lock(state().mutex);
    if (denied)
        state().denied.insert(serial);
    else
        state().denied.erase(serial);
}

STANDIN_API int32_t qzusb_standin_baud_request(const char* serial, uint16_t* value,
                                               uint16_t* index) {
    const std::lock_guard<std::mutex> lock(state().mutex);
    const auto it = state().baudRequests.find(serial);
    if (it == state().baudRequests.end()) return -1;
    *value = it->second.first;
    *index = it->second.second;
    return 0;
}

STANDIN_API void qzusb_standin_reset(void) {
    const std::lock_guard<std::mutex> lock(state().mutex);
    state().denied.clear();
    state().baudRequests.clear();
}

// ---- libusb-1.0 ----------------------------------------------------------------
STANDIN_API int libusb_init(libusb_context** ctx) {
    loadEnvironmentBenchOnce();
    auto* c = new (std::nothrow) libusb_context;
    if (!c) return LIBUSB_ERROR_NO_MEM;
    if (ctx) *ctx = c; else delete c;
    return 0;
}

STANDIN_API void libusb_exit(libusb_context* ctx) { delete ctx; }

STANDIN_API ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    const auto devices = qzsim::bench().plugged();
    auto** out = static_cast<libusb_device**>(std::calloc(devices.size() + 1, sizeof(void*)));
    if (!out) return LIBUSB_ERROR_NO_MEM;
    uint8_t address = 2;
    for (std::size_t k = 0; k < devices.size(); ++k) {
        auto* d = new libusb_device;
        d->info = devices[k]->info();
        d->serial = d->info.serial;
        d->address = address++;
        out[k] = d;
    }
    *list = out;
    return static_cast<ssize_t>(devices.size());
}

STANDIN_API libusb_device* libusb_ref_device(libusb_device* dev) {
    ++dev->refs;
    return dev;
}

STANDIN_API void libusb_unref_device(libusb_device* dev) {
    if (dev && --dev->refs == 0) delete dev;
}

STANDIN_API void libusb_free_device_list(libusb_device** list, int unref) {
    if (!list) return;
    if (unref)
        for (libusb_device** d = list; *d; ++d) libusb_unref_device(*d);
    std::free(list);
}

STANDIN_API int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = static_cast<uint16_t>(dev->info.id >> 16);
    desc->idProduct = static_cast<uint16_t>(dev->info.id);
    desc->bcdDevice = bcdDeviceOf(dev->info.type);
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return 0;
}

STANDIN_API uint8_t libusb_get_bus_number(libusb_device*) { return kBus; }
STANDIN_API uint8_t libusb_get_device_address(libusb_device* dev) { return dev->address; }
STANDIN_API int libusb_get_device_speed(libusb_device* dev) {
    return dev->info.profile.packetSize >= 512 ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}

STANDIN_API int libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                             libusb_config_descriptor** config) {
    if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
    struct Block {
        libusb_config_descriptor config;
        libusb_interface interface;
        libusb_interface_descriptor alt;
        libusb_endpoint_descriptor endpoints[2];
    };
    auto* b = static_cast<Block*>(std::calloc(1, sizeof(Block)));
    if (!b) return LIBUSB_ERROR_NO_MEM;
    const auto packet = static_cast<uint16_t>(dev->info.profile.packetSize);
    b->endpoints[0] = {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x81, LIBUSB_TRANSFER_TYPE_BULK,
                       packet, 0, 0, 0, nullptr, 0};
    b->endpoints[1] = {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x02, LIBUSB_TRANSFER_TYPE_BULK,
                       packet, 0, 0, 0, nullptr, 0};
    b->alt.bLength = LIBUSB_DT_INTERFACE_SIZE;
    b->alt.bDescriptorType = LIBUSB_DT_INTERFACE;
    b->alt.bNumEndpoints = 2;
    b->alt.bInterfaceClass = 0xFF;
    b->alt.endpoint = b->endpoints;
    b->interface.altsetting = &b->alt;
    b->interface.num_altsetting = 1;
    b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->config.bDescriptorType = LIBUSB_DT_CONFIG;
    b->config.bNumInterfaces = 1;
    b->config.bConfigurationValue = 1;
    b->config.MaxPower = 45;
    b->config.interface = &b->interface;
    *config = &b->config;
    return 0;
}

STANDIN_API void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    std::free(config);  // the block starts with it
}

STANDIN_API int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    {
        const std::lock_guard<std::mutex> lock(state().mutex);
        if (state().denied.count(dev->serial)) return LIBUSB_ERROR_ACCESS;
    }
    if (!qzsim::bench().share(dev->serial)) return LIBUSB_ERROR_NO_DEVICE;
    auto* h = new (std::nothrow) libusb_device_handle;
    if (!h) return LIBUSB_ERROR_NO_MEM;
    h->dev = libusb_ref_device(dev);
    *handle = h;
    return 0;
}

STANDIN_API void libusb_close(libusb_device_handle* h) {
    if (!h) return;
    if (h->chip) chip().close(h->chip);
    libusb_unref_device(h->dev);
    delete h;
}

STANDIN_API int libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index,
                                                   unsigned char* data, int length) {
    if (!simDevice(h)) return LIBUSB_ERROR_NO_DEVICE;
    std::string text;
    if (index == 1) text = "FTDI";
    else if (index == 2) text = h->dev->info.description;
    else if (index == 3) text = h->dev->serial;
    else return LIBUSB_ERROR_PIPE;
    if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    const int n = std::min(static_cast<int>(text.size()), length - 1);
    std::memcpy(data, text.data(), static_cast<std::size_t>(n));
    data[n] = 0;
    return n;
}

STANDIN_API int libusb_get_configuration(libusb_device_handle*, int* config) {
    *config = 1;
    return 0;
}
STANDIN_API int libusb_set_configuration(libusb_device_handle*, int) { return 0; }
STANDIN_API int libusb_detach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_ERROR_NOT_FOUND;  // no kernel driver on a simulated chip
}
STANDIN_API int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return 0; }

// Claiming the interface takes the simulated chip: one claim at a time.
STANDIN_API int libusb_claim_interface(libusb_device_handle* h, int interface) {
    if (interface != 0) return LIBUSB_ERROR_NOT_FOUND;
    if (h->chip) return 0;
    const FT_STATUS s =
        chip().openEx(const_cast<char*>(h->dev->serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &h->chip);
    if (s == FT_OK) return 0;
    h->chip = nullptr;
    return s == FT_DEVICE_NOT_FOUND ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_BUSY;
}

STANDIN_API int libusb_release_interface(libusb_device_handle* h, int) {
    if (h->chip) chip().close(h->chip);
    h->chip = nullptr;
    return 0;
}

STANDIN_API int libusb_control_transfer(libusb_device_handle* h, uint8_t requestType,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length, unsigned int) {
    if ((requestType & 0x60) != LIBUSB_REQUEST_TYPE_VENDOR) return LIBUSB_ERROR_PIPE;
    return vendorRequest(h, request, value, index, data, length);
}

STANDIN_API int libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual, unsigned int) {
    int ignored = 0;
    if (!actual) actual = &ignored;
    *actual = 0;
    if (!h->chip) return LIBUSB_ERROR_IO;
    if (length < 0) return LIBUSB_ERROR_INVALID_PARAM;
    return (endpoint & LIBUSB_ENDPOINT_IN) ? bulkIn(h, data, length, actual)
                                           : bulkOut(h, data, length, actual);
}

// The asynchronous interface: libftdi1 refers to it, the library never uses
// it (libftdi's streaming and submit calls), so it is refused.
STANDIN_API libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    const std::size_t size =
        sizeof(libusb_transfer) + sizeof(libusb_iso_packet_descriptor) * static_cast<std::size_t>(
                                                                              std::max(isoPackets, 0));
    return static_cast<libusb_transfer*>(std::calloc(1, size));
}
STANDIN_API void libusb_free_transfer(libusb_transfer* transfer) { std::free(transfer); }
STANDIN_API int libusb_submit_transfer(libusb_transfer*) { return LIBUSB_ERROR_NOT_SUPPORTED; }
STANDIN_API int libusb_cancel_transfer(libusb_transfer*) { return LIBUSB_ERROR_NOT_FOUND; }
STANDIN_API int libusb_handle_events_timeout(libusb_context*, timeval*) { return 0; }
STANDIN_API int libusb_handle_events_timeout_completed(libusb_context*, timeval*, int* completed) {
    if (completed) *completed = 1;
    return 0;
}
