// Protocol descriptors: how one SPI or I2C peripheral is wired to the pins.
// The library keeps the live descriptor records itself and hands out handles
// that are tokens, not addresses: a deleted, doubly deleted or foreign handle
// is refused instead of being read, and since a token is never handed out
// twice, the handle of a deleted descriptor can never reach one created
// later (an address would: the allocator gives freed memory straight back).
#include "descriptors.h"
#include "registry.h"

#include <cstdio>
#include <initializer_list>
#include <new>
#include <string>

#include <mutex>
#include <unordered_map>

namespace {

// Why this thread's last descriptor call was refused ("" after a success).
thread_local std::string refusal;

// Records the reason of a refusal and returns the C functions' -1.
int32_t refuse(std::string reason) {
    refusal = std::move(reason);
    return -1;
}

// A signal and the pin it is on, for the refusal texts.
struct Signal {
    const char* name;
    uint8_t pin;
};

// The first signal on a pin above 7, as a refusal text; "" when all fit.
std::string pinAboveSeven(std::initializer_list<Signal> signals) {
    for (const Signal& s : signals)
        if (s.pin > qz::kMaxPin) return std::string(s.name) + " on pin " + std::to_string(s.pin) + ", above 7";
    return "";
}

// The first two output signals on one pin, as a refusal text ("SPI chip
// select and output enable both on pin 3"); "" when each has its own.
std::string sharedPin(const char* protocol, std::initializer_list<Signal> outputs) {
    for (auto a = outputs.begin(); a != outputs.end(); ++a)
        for (auto b = a + 1; b != outputs.end(); ++b)
            if (a->pin == b->pin)
                return std::string(protocol) + " " + a->name + " and " + b->name + " both on pin " +
                       std::to_string(a->pin);
    return "";
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// The highest 7-bit I2C bus address.
constexpr uint8_t kMaxI2CAddress = 0x7F;

// Handles step by 16 from an odd multiple of 8: none equals a device handle
// of the dispatcher or the bench (multiples of 16), and a 64-bit counter
// does not come round again.
constexpr uintptr_t kFirstHandle = 0x0DE50008;
constexpr uintptr_t kHandleStep = 0x10;

// Every descriptor handed out and not yet deleted, by handle, and the next
// handle to hand out. The lock also guards the records' contents: a transfer
// copies a record while setupOE may change it on another thread.
struct LiveDescriptors {
    std::mutex lock;
    std::unordered_map<uintptr_t, PROT_DES> records;
    uintptr_t next = kFirstHandle;
};

uintptr_t key(PROT_HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

LiveDescriptors& live() {
    static LiveDescriptors set;
    return set;
}

// The output signals of a descriptor, with `oe` as the output-enable pin:
// the clash as a refusal text, or "".
std::string outputClash(const PROT_DES& des, uint8_t oe) {
    if (qz::isSPI(des))
        return sharedPin("SPI", {{"clock", des.CLKnum}, {"chip select", des.CSnum},
                                 {"data in", des.SDInum}, {"output enable", oe}});
    return sharedPin("I2C", {{"SCL", des.SCLnum}, {"SDA", des.SDAnumW}, {"output enable", oe}});
}

// Stores a new descriptor in *inHandle and registers it as live: 0, or -1
// for a null handle address or when no memory is left (nothing is kept then).
int32_t storeNew(PROT_HANDLE* inHandle, const PROT_DES& des) {
    if (!inHandle) return refuse("no place for the handle (a null pointer)");
    uintptr_t handle = 0;
    try {
        const std::lock_guard<std::mutex> guard(live().lock);
        handle = live().next;
        live().records.emplace(handle, des);
        live().next += kHandleStep;
    } catch (const std::exception&) {
        return refuse("out of memory");
    }
    *inHandle = reinterpret_cast<PROT_HANDLE>(handle);
    refusal.clear();
    return 0;
}

// Runs `change` on the live record behind `handle` under the lock: its
// result, or -1 for a handle that is not live.
template <class Change>
int32_t withLive(PROT_HANDLE handle, Change&& change) {
    const std::lock_guard<std::mutex> guard(live().lock);
    const auto it = live().records.find(key(handle));
    if (it == live().records.end()) return -1;
    return change(it->second);
}

// withLive for the calls that name their refusals: the reason of a handle
// that is not live, or the one `change` gave (it returns "" on success).
template <class Change>
int32_t changeLive(PROT_HANDLE handle, Change&& change) {
    std::string reason = "not a live descriptor";
    withLive(handle, [&](PROT_DES& des) {
        reason = change(des);
        return 0;
    });
    if (!reason.empty()) return refuse(std::move(reason));
    refusal.clear();
    return 0;
}

// Frees a live descriptor: 0; -1 (nothing done) for one that is not live. No
// device ID keeps pointing at it afterwards.
int32_t deleteDescriptor(PROT_HANDLE handle) {
    if (!handle) return 0;  // deleting nothing is harmless
    {
        const std::lock_guard<std::mutex> guard(live().lock);
        if (live().records.erase(key(handle)) == 0) return -1;
    }
    qz::forgetDescriptor(handle);
    return 0;
}

}  // namespace

std::optional<PROT_DES> qz::copyDescriptor(PROT_HANDLE handle) {
    const std::lock_guard<std::mutex> guard(live().lock);
    const auto it = live().records.find(key(handle));
    if (it == live().records.end()) return std::nullopt;
    return it->second;
}

bool qz::editDescriptor(PROT_HANDLE handle, const std::function<void(PROT_DES&)>& change) {
    return withLive(handle, [&](PROT_DES& des) {
        change(des);
        return 0;
    }) == 0;
}

extern "C" {

// 0 and a new SPI descriptor in *inHandle; -1 (nothing allocated) for a null
// handle address, a pin above 7, more than 32 address or data bits, RWbit
// other than 0 or 1, or clock, chip select and data-in not on three pins.
int32_t initSPIDev(PROT_HANDLE* inHandle, uint8_t CLKnum, uint8_t CSnum, uint8_t SDInum,
                   uint8_t SDOnum, uint8_t addrBits, uint8_t dataBits, int32_t posedge,
                   int32_t RWbit) {
    if (std::string bad = pinAboveSeven({{"SPI clock", CLKnum}, {"SPI chip select", CSnum},
                                         {"SPI data in", SDInum}, {"SPI data out", SDOnum}});
        !bad.empty())
        return refuse(bad);
    if (addrBits > qz::kMaxBits) return refuse(std::to_string(addrBits) + " address bits, above 32");
    if (dataBits > qz::kMaxBits) return refuse(std::to_string(dataBits) + " data bits, above 32");
    if (RWbit != 0 && RWbit != 1) return refuse("read/write bit " + std::to_string(RWbit) + ", not 0 or 1");
    if (std::string clash = sharedPin("SPI", {{"clock", CLKnum}, {"chip select", CSnum}, {"data in", SDInum}});
        !clash.empty())
        return refuse(clash);
    PROT_DES des{};
    des.SPI_I2C = 1;
    des.CLKnum = CLKnum;
    des.CSnum = CSnum;
    des.SDInum = SDInum;
    des.SDOnum = SDOnum;
    des.addrBits = addrBits;
    des.dataBits = dataBits;
    des.posedge = posedge;
    des.RWbit = RWbit;
    des.OEnum = 0;
    des.OE_EN = 0;
    des.OE_pol = 1;
    return storeNew(inHandle, des);
}

// 0 and a new I2C descriptor in *inHandle; -1 (nothing allocated) for a null
// handle address, a pin above 7, an address above 0x7F (the 7-bit form is
// wanted: 0x50, not the datasheets' 0xA0), more than 4 register-address or
// data bytes, or SCL and SDA written on one pin.
int32_t initI2CDev(PROT_HANDLE* inHandle, uint8_t SCL_num, uint8_t SDAw_num, uint8_t SDAr_num,
                   uint8_t addr, uint8_t bytesPerAddr, uint8_t bytesPerReg) {
    if (std::string bad = pinAboveSeven({{"I2C SCL", SCL_num}, {"I2C SDA write", SDAw_num},
                                         {"I2C SDA read", SDAr_num}});
        !bad.empty())
        return refuse(bad);
    if (addr > kMaxI2CAddress)
        return refuse("I2C address " + hex(addr) + ", above 0x7F (give the 7-bit address)");
    if (bytesPerAddr > qz::kMaxBytes)
        return refuse(std::to_string(bytesPerAddr) + " register-address bytes, above 4");
    if (bytesPerReg > qz::kMaxBytes) return refuse(std::to_string(bytesPerReg) + " data bytes, above 4");
    if (std::string clash = sharedPin("I2C", {{"SCL", SCL_num}, {"SDA", SDAw_num}}); !clash.empty())
        return refuse(clash);
    PROT_DES des{};
    des.SPI_I2C = 0;
    des.SCLnum = SCL_num;
    des.SDAnumW = SDAw_num;
    des.SDAnumR = SDAr_num;
    des.addr = addr;
    des.bytesPerAddr = bytesPerAddr;
    des.bytesPerReg = bytesPerReg;
    des.OEnum = 0;
    des.OE_EN = 0;
    des.OE_pol = 1;
    return storeNew(inHandle, des);
}

// Switches the output-enable pin on (or moves it): 0; -1, the descriptor
// unchanged, for a null handle address, a handle that is not a live
// descriptor, a pin above 7 or one that carries another output signal.
int32_t setupOE(PROT_HANDLE* inHandle, uint8_t OEnum, int32_t OEpol) {
    if (!inHandle) return refuse("no handle (a null pointer)");
    if (OEnum > qz::kMaxPin) return refuse("output enable on pin " + std::to_string(OEnum) + ", above 7");
    return changeLive(*inHandle, [&](PROT_DES& des) {
        std::string clash = outputClash(des, OEnum);
        if (!clash.empty()) return clash;
        des.OEnum = OEnum;
        des.OE_pol = OEpol;
        des.OE_EN = 1;
        return std::string();
    });
}

// Frees a descriptor of either kind: 0 (a null handle is harmless); -1, and
// nothing done, for a pointer that is not a live descriptor (deleted
// already, or never one). Device IDs bound to it are emptied.
int32_t deleteSPIDev(PROT_HANDLE spi) { return deleteDescriptor(spi); }

int32_t deleteI2CDev(PROT_HANDLE i2c) { return deleteDescriptor(i2c); }

// Strict I2C timing on (strict non-zero) or off: 0, or -1 for a handle that
// is not a live I2C descriptor.
int32_t setI2CStrictTiming(PROT_HANDLE i2c, int32_t strict) {
    return withLive(i2c, [&](PROT_DES& des) {
        if (qz::isSPI(des)) return -1;
        des.strictTiming = strict != 0 ? 1 : 0;
        return 0;
    });
}

// 1 when strict I2C timing is on, 0 when off, -1 for a handle that is not a
// live I2C descriptor.
int32_t getI2CStrictTiming(PROT_HANDLE i2c) {
    return withLive(i2c, [](PROT_DES& des) { return qz::isSPI(des) ? -1 : des.strictTiming; });
}

// QZ_OK; QZ_BAD_ARGUMENT (unchanged) for a handle that is not a live SPI
// descriptor, a mode outside 0 to 3 or an unknown flag.
int32_t qz_setSPIMode(PROT_HANDLE spi, int32_t mode, uint32_t flags) {
    if (mode < 0 || mode > 3) {
        refuse("SPI mode " + std::to_string(mode) + ", not 0 to 3");
        return QZ_BAD_ARGUMENT;
    }
    if ((flags & ~(QZ_SPI_CS_ACTIVE_HIGH | QZ_SPI_LSB_FIRST)) != 0) {
        refuse("unknown SPI mode flags " + hex(flags));
        return QZ_BAD_ARGUMENT;
    }
    const int32_t changed = changeLive(spi, [&](PROT_DES& des) {
        if (!qz::isSPI(des)) return std::string("not an SPI descriptor");
        des.posedge = (mode & 2) ? 0 : 1;
        des.cpha = mode & 1;
        des.csActiveHigh = (flags & QZ_SPI_CS_ACTIVE_HIGH) ? 1 : 0;
        des.lsbFirst = (flags & QZ_SPI_LSB_FIRST) ? 1 : 0;
        return std::string();
    });
    return changed == 0 ? QZ_OK : QZ_BAD_ARGUMENT;
}

// QZ_OK and the mode and flags; QZ_BAD_ARGUMENT for null outputs or a handle
// that is not a live SPI descriptor.
int32_t qz_getSPIMode(PROT_HANDLE spi, int32_t* mode, uint32_t* flags) {
    if (!mode || !flags) return QZ_BAD_ARGUMENT;
    const auto des = qz::copyDescriptor(spi);
    if (!des || !qz::isSPI(*des)) return QZ_BAD_ARGUMENT;
    *mode = (des->posedge != 0 ? 0 : 2) | (des->cpha != 0 ? 1 : 0);
    *flags = (des->csActiveHigh != 0 ? QZ_SPI_CS_ACTIVE_HIGH : 0u) | (des->lsbFirst != 0 ? QZ_SPI_LSB_FIRST : 0u);
    return QZ_OK;
}

// QZ_OK; QZ_BAD_ARGUMENT for a handle that is not a live descriptor.
int32_t qz_setBusClock(PROT_HANDLE prot, uint32_t hz) {
    const int32_t changed = changeLive(prot, [&](PROT_DES& des) {
        des.clockHz = hz;
        return std::string();
    });
    return changed == 0 ? QZ_OK : QZ_BAD_ARGUMENT;
}

// QZ_OK and the setting in *hz (0: the device's baud rate); QZ_BAD_ARGUMENT
// for a null hz or a handle that is not a live descriptor.
int32_t qz_getBusClock(PROT_HANDLE prot, uint32_t* hz) {
    if (!hz) return QZ_BAD_ARGUMENT;
    const auto des = qz::copyDescriptor(prot);
    if (!des) return QZ_BAD_ARGUMENT;
    *hz = des->clockHz;
    return QZ_OK;
}

const char* qz_refusalText(void) { return refusal.c_str(); }

}  // extern "C"
