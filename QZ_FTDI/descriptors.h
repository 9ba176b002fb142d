// Protocol descriptors (descriptors.cpp): how one SPI or I2C peripheral is
// wired to the eight pins and how its frames are shaped, and the pin helpers
// every waveform is built from.
#pragma once

#include "QZ_FTDI.h"

#include <cstdint>
#include <functional>
#include <optional>

// One peripheral: how it is wired to the eight pins and how its frames are
// shaped. Field names keep the hardware signal names.
struct PROT_DES {
    int32_t SPI_I2C;  // 1 = SPI, anything else = I2C
    // SPI
    uint8_t CLKnum;
    uint8_t CSnum;
    uint8_t SDInum;  // data into the peripheral, driven by us
    uint8_t SDOnum;  // data out of the peripheral, sampled by us
    uint8_t addrBits;
    uint8_t dataBits;
    int32_t posedge;  // non-zero: clock idles low, peripheral samples on the rising edge
    int32_t RWbit;    // == 1: a read/write bit precedes the address
    // I2C
    uint8_t SCLnum;
    uint8_t SDAnumW;  // pin that drives SDA
    uint8_t SDAnumR;  // pin on which SDA is sampled
    uint8_t addr;     // 7-bit bus address
    uint8_t bytesPerAddr;
    uint8_t bytesPerReg;
    // output enable (steers an external SDA/SDO buffer)
    uint8_t OEnum;
    int32_t OE_EN;   // == 1: in use
    int32_t OE_pol;  // non-zero: high while asserted
    // I2C strict timing: every SCL-low phase at least two samples, SDA never
    // changing in a sample in which SCL changes (for slaves that react late).
    int32_t strictTiming;
    // SPI mode beyond the clock polarity that posedge gives: data sampled on
    // the trailing edge (modes 1 and 3), chip select asserted high, fields
    // least significant bit first.
    int32_t cpha;
    int32_t csActiveHigh;
    int32_t lsbFirst;
    // Bus clock (SCL or SCK) in Hz the transactions ask for; 0: the device's baud rate.
    uint32_t clockHz;
};

namespace qz {

// SPI descriptors carry SPI_I2C == 1; every other value means I2C.
inline constexpr bool isSPI(const PROT_DES& prot) { return prot.SPI_I2C == 1; }

inline constexpr uint8_t pinBit(uint8_t pin) { return static_cast<uint8_t>(1u << (pin & 7u)); }
inline constexpr bool pinHigh(uint8_t sample, uint8_t pin) { return (sample & pinBit(pin)) != 0; }

// Largest values a valid descriptor may carry (checked by the constructors).
inline constexpr uint8_t kMaxPin = 7;
inline constexpr uint8_t kMaxBits = 32;
inline constexpr uint8_t kMaxBytes = 4;

// Whether a value fits `bits` bits; a width of 0 sends nothing of the value,
// which is then ignored.
inline constexpr bool fitsWidth(uint32_t value, uint32_t bits) {
    return bits == 0 || bits >= 32 || (value >> bits) == 0;
}

// The descriptor behind a caller's handle, copied under the descriptors'
// lock; nullopt for a handle that is not a live descriptor (null, deleted,
// or any other pointer).
std::optional<PROT_DES> copyDescriptor(PROT_HANDLE handle);
// Runs `change` on the live descriptor behind a handle, under that lock:
// true, or false (nothing run) for a handle that is not live.
bool editDescriptor(PROT_HANDLE handle, const std::function<void(PROT_DES&)>& change);

}  // namespace qz
