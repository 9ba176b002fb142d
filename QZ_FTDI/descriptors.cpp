// Protocol descriptors: how one SPI or I2C peripheral is wired to the pins.
#include "qz_internal.h"

namespace {

bool validPin(uint8_t pin) { return pin <= qz::kMaxPin; }

// Stores a new descriptor in *inHandle: 0, or -1 for a null handle address
// or when no memory is left (nothing is allocated then).
int32_t storeNew(PROT_HANDLE* inHandle, const PROT_DES& des) {
    if (!inHandle) return -1;
    PROT_DES* record = new (std::nothrow) PROT_DES(des);
    if (!record) return -1;
    *inHandle = record;
    return 0;
}

}  // namespace

std::optional<PROT_DES> qz::copyDescriptor(PROT_HANDLE handle) {
    if (!handle) return std::nullopt;
    return *static_cast<const PROT_DES*>(handle);
}

extern "C" {

// 0 and a new SPI descriptor in *inHandle; -1 (nothing allocated) for a null
// handle address, a pin above 7 or more than 32 address or data bits.
int32_t initSPIDev(PROT_HANDLE* inHandle, uint8_t CLKnum, uint8_t CSnum, uint8_t SDInum,
                   uint8_t SDOnum, uint8_t addrBits, uint8_t dataBits, int32_t posedge,
                   int32_t RWbit) {
    if (!validPin(CLKnum) || !validPin(CSnum) || !validPin(SDInum) || !validPin(SDOnum) ||
        addrBits > qz::kMaxBits || dataBits > qz::kMaxBits)
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
// handle address, a pin above 7 or more than 4 register-address or data bytes.
int32_t initI2CDev(PROT_HANDLE* inHandle, uint8_t SCL_num, uint8_t SDAw_num, uint8_t SDAr_num,
                   uint8_t addr, uint8_t bytesPerAddr, uint8_t bytesPerReg) {
    if (!validPin(SCL_num) || !validPin(SDAw_num) || !validPin(SDAr_num) ||
        bytesPerAddr > qz::kMaxBytes || bytesPerReg > qz::kMaxBytes)
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

// Switches the output-enable pin on (or moves it): 0; -1 for a null handle
// address or handle, or a pin above 7.
int32_t setupOE(PROT_HANDLE* inHandle, uint8_t OEnum, int32_t OEpol) {
    if (!inHandle || !*inHandle || !validPin(OEnum)) return -1;
    auto* des = static_cast<PROT_DES*>(*inHandle);
    des->OEnum = OEnum;
    des->OE_pol = OEpol;
    des->OE_EN = 1;
    return 0;
}

// Frees a descriptor of either kind; a null handle is harmless. Returns 0.
int32_t deleteSPIDev(PROT_HANDLE spi) {
    delete static_cast<PROT_DES*>(spi);
    return 0;
}

int32_t deleteI2CDev(PROT_HANDLE i2c) { return deleteSPIDev(i2c); }

}  // extern "C"
