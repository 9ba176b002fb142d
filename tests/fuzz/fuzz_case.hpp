// One fuzz case: which reading (or writing) function to call, on a descriptor
// of which shape, with which arguments and which driver fault; the bytes after
// the header are the read-back the driver returns. The fuzz targets decode
// cases from libFuzzer's input; the seed generator encodes cases and records
// their real read-back from the simulated bench.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qzfuzz {

// The function families, one fuzz target each.
enum class Family : uint8_t {
    Spi,      // readSPI, writeSPI and their device-ID forms
    I2c,      // readI2C, writeI2C and their device-ID forms
    Multi,    // batches and streams, both protocols, by handle and by ID
    Status,   // the status forms, bus scan and bus recovery
};
inline constexpr uint8_t kFamilies = 4;
const char* familyName(Family family);

// What the fuzz driver does wrong, at driver call number `faultCall` of the
// case (counting every call from the first purge; 0: nothing).
enum class Fault : uint8_t { IoError, OtherError, ShortWrite, ShortRead };
inline constexpr uint8_t kFaults = 4;

inline constexpr uint32_t kMaxCount = 32;  // registers of a batch or stream

struct Case {
    uint8_t op = 0;       // the function within the family (taken modulo its count)
    bool spi = true;      // Multi and Status: the protocol
    bool write = false;   // Multi: a write batch or stream
    bool posedge = true;  // SPI clock edge
    bool rwBit = true;    // SPI read/write bit
    bool strict = false;  // I2C strict timing
    bool sdaShared = false;  // I2C SDA read on the pin that writes it
    uint8_t pinOrder = 0;    // which arrangement of the pins (see pins())
    uint8_t addrBits = 8;    // SPI: 0 to 32
    uint8_t dataBits = 16;   // SPI: 0 to 32
    uint8_t i2cAddress = 0x50;
    uint8_t bytesPerAddr = 1;  // I2C: 0 to 4
    uint8_t bytesPerReg = 1;   // I2C: 0 to 4
    uint8_t deviceID = 0;
    uint32_t reg = 0;
    uint32_t data = 0;
    uint32_t count = 1;       // 1 to kMaxCount
    uint8_t faultCall = 0;
    Fault fault = Fault::IoError;
    uint8_t fill = 0xFF;      // read-back past the input's end
};

// The pins of a case, all different: SPI clock, chip select, data in, data
// out; I2C SCL, SDA write, SDA read (the fourth unused).
struct Pins {
    uint8_t p[4];
};
Pins pins(const Case& c);

inline constexpr std::size_t kHeaderSize = 20;
// Reads a case from the first kHeaderSize bytes (missing bytes read 0); every
// byte pattern gives a case.
Case decode(const uint8_t* data, std::size_t size);
// The header that decodes to `c`.
std::vector<uint8_t> encode(const Case& c);

// Builds the case's descriptor, calls the chosen function on `dev` (and
// through a device ID), checks the properties every result must have, and
// frees everything. Aborts on a broken property, as a fuzzer finding.
void run(Family family, const Case& c, void* dev);

}  // namespace qzfuzz
