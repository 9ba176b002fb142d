// Protocol descriptors: how one SPI or I2C peripheral is wired to the pins.
// The library keeps the live descriptor records itself and hands out handles
// that are tokens, not addresses: a deleted, doubly deleted or foreign handle
// is refused instead of being read, and since a token is never handed out
// twice, the handle of a deleted descriptor can never reach one created
// later (an address would: the allocator gives freed memory straight back).
#include "descriptors.h"
#include "registry.h"

#include <initializer_list>
#include <new>

#include <mutex>
#include <unordered_map>

namespace {

bool validPin(uint8_t pin) { return pin <= qz::kMaxPin; }

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

// Pins that the descriptor drives (bit n: pin n), each signal once; false
// when two output signals share a pin.
bool outputsDistinct(std::initializer_list<uint8_t> pins) {
    uint8_t used = 0;
    for (uint8_t pin : pins) {
        if (used & qz::pinBit(pin)) return false;
        used |= qz::pinBit(pin);
    }
    return true;
}

// The output signals of a descriptor, with `oe` as the output-enable pin.
bool outputsDistinct(const PROT_DES& des, uint8_t oe) {
    if (qz::isSPI(des)) return outputsDistinct({des.CLKnum, des.CSnum, des.SDInum, oe});
    return outputsDistinct({des.SCLnum, des.SDAnumW, oe});
}

// Stores a new descriptor in *inHandle and registers it as live: 0, or -1
// for a null handle address or when no memory is left (nothing is kept then).
int32_t storeNew(PROT_HANDLE* inHandle, const PROT_DES& des) {
    if (!inHandle) return -1;
    uintptr_t handle = 0;
    try {
        const std::lock_guard<std::mutex> guard(live().lock);
        handle = live().next;
        live().records.emplace(handle, des);
        live().next += kHandleStep;
    } catch (const std::exception&) {
        return -1;
    }
    *inHandle = reinterpret_cast<PROT_HANDLE>(handle);
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
    if (!validPin(CLKnum) || !validPin(CSnum) || !validPin(SDInum) || !validPin(SDOnum) ||
        addrBits > qz::kMaxBits || dataBits > qz::kMaxBits || (RWbit != 0 && RWbit != 1) ||
        !outputsDistinct({CLKnum, CSnum, SDInum}))
        return -1;
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
    if (!validPin(SCL_num) || !validPin(SDAw_num) || !validPin(SDAr_num) ||
        addr > kMaxI2CAddress || bytesPerAddr > qz::kMaxBytes || bytesPerReg > qz::kMaxBytes ||
        !outputsDistinct({SCL_num, SDAw_num}))
        return -1;
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
    if (!inHandle || !validPin(OEnum)) return -1;
    return withLive(*inHandle, [&](PROT_DES& des) {
        if (!outputsDistinct(des, OEnum)) return -1;
        des.OEnum = OEnum;
        des.OE_pol = OEpol;
        des.OE_EN = 1;
        return 0;
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

}  // extern "C"
