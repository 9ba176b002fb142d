// Decoding and running fuzz cases (see fuzz_case.hpp).
#include "fuzz_case.hpp"

#include "QZ_FTDI.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qzfuzz {

const char* familyName(Family family) {
    switch (family) {
        case Family::Spi: return "spi";
        case Family::I2c: return "i2c";
        case Family::Multi: return "multi";
        case Family::Status: return "status";
    }
    return "?";
}

// The eight pins shuffled by the case's pin order (a fixed permutation per
// value): every arrangement of distinct pins is reachable.
Pins pins(const Case& c) {
    uint8_t all[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    uint32_t state = c.pinOrder * 2654435761u + 1;
    for (int i = 7; i > 0; --i) {
        state = state * 1103515245u + 12345u;
        const int j = static_cast<int>((state >> 16) % static_cast<uint32_t>(i + 1));
        const uint8_t t = all[i];
        all[i] = all[j];
        all[j] = t;
    }
    return Pins{{all[0], all[1], all[2], all[3]}};
}

namespace {

uint32_t word(const uint8_t* b) {
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

void putWord(uint8_t* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

enum Flag : uint8_t {
    kSpi = 1,
    kWrite = 2,
    kPosedge = 4,
    kRwBit = 8,
    kStrict = 16,
    kSdaShared = 32,
};

}  // namespace

// Header layout: op, flags, pin order, address bits / I2C address, data bits,
// bytes per address (low nibble) and per register (high nibble), device ID,
// count, register (4 bytes, little endian), data (4), fault call, fault kind,
// fill.
Case decode(const uint8_t* data, std::size_t size) {
    uint8_t h[kHeaderSize] = {};
    std::memcpy(h, data, size < kHeaderSize ? size : kHeaderSize);
    Case c;
    c.op = h[0];
    c.spi = h[1] & kSpi;
    c.write = h[1] & kWrite;
    c.posedge = h[1] & kPosedge;
    c.rwBit = h[1] & kRwBit;
    c.strict = h[1] & kStrict;
    c.sdaShared = h[1] & kSdaShared;
    c.pinOrder = h[2];
    c.addrBits = h[3] % 33;
    c.i2cAddress = h[3] & 0x7F;
    c.dataBits = h[4] % 33;
    c.bytesPerAddr = (h[5] & 0x0F) % 5;
    c.bytesPerReg = (h[5] >> 4) % 5;
    c.deviceID = h[6];
    c.count = 1 + h[7] % kMaxCount;
    c.reg = word(h + 8);
    c.data = word(h + 12);
    c.faultCall = h[16];
    c.fault = static_cast<Fault>(h[17] % kFaults);
    c.fill = h[18];
    return c;
}

std::vector<uint8_t> encode(const Case& c) {
    std::vector<uint8_t> h(kHeaderSize, 0);
    h[0] = c.op;
    h[1] = static_cast<uint8_t>((c.spi ? kSpi : 0) | (c.write ? kWrite : 0) |
                                (c.posedge ? kPosedge : 0) | (c.rwBit ? kRwBit : 0) |
                                (c.strict ? kStrict : 0) | (c.sdaShared ? kSdaShared : 0));
    h[2] = c.pinOrder;
    h[3] = c.spi ? c.addrBits : c.i2cAddress;
    h[4] = c.dataBits;
    h[5] = static_cast<uint8_t>(c.bytesPerAddr | c.bytesPerReg << 4);
    h[6] = c.deviceID;
    h[7] = static_cast<uint8_t>(c.count - 1);
    putWord(&h[8], c.reg);
    putWord(&h[12], c.data);
    h[16] = c.faultCall;
    h[17] = static_cast<uint8_t>(c.fault);
    h[18] = c.fill;
    return h;
}

namespace {

[[noreturn]] void broken(const char* what, int64_t value) {
    std::fprintf(stderr, "fuzz property broken: %s (%lld)\n", what, static_cast<long long>(value));
    std::abort();
}

// A descriptor for the case; nullptr when the library refuses the shape.
PROT_HANDLE makeDescriptor(const Case& c, bool spi) {
    const Pins p = pins(c);
    PROT_HANDLE prot = nullptr;
    if (spi) {
        if (initSPIDev(&prot, p.p[0], p.p[1], p.p[2], p.p[3], c.addrBits, c.dataBits,
                       c.posedge ? 1 : 0, c.rwBit ? 1 : 0) != 0)
            return nullptr;
    } else {
        const uint8_t sdaR = c.sdaShared ? p.p[1] : p.p[2];
        if (initI2CDev(&prot, p.p[0], p.p[1], sdaR, c.i2cAddress, c.bytesPerAddr,
                       c.bytesPerReg) != 0)
            return nullptr;
        if (c.strict && setI2CStrictTiming(prot, 1) != 0) broken("strict timing refused", 0);
    }
    return prot;
}

// Largest value a word of `bits` holds.
uint64_t widest(uint32_t bits) { return bits >= 32 ? 0xFFFFFFFFull : (1ull << bits) - 1; }

// A single SPI read gives -1 or a value that fits the data width.
void checkSPIRead(int32_t r, const Case& c) {
    if (r == -1 || c.dataBits >= 32) return;
    if (r < 0 || static_cast<uint64_t>(r) > widest(c.dataBits)) broken("SPI read value", r);
}

// A single I2C read gives a value that fits its data bytes, -1, or minus a
// set of acknowledge bits (device address, register-address bytes, second
// address pass). A 4-byte value fills all 32 bits and may read negative.
void checkI2CRead(int32_t r, const Case& c) {
    if (r == -1 || c.bytesPerReg >= 4) return;
    if (r < 0) {
        if (-static_cast<int64_t>(r) >= (int64_t{1} << (c.bytesPerAddr + 2))) broken("I2C ack bits", r);
        return;
    }
    if (c.bytesPerReg < 4 && static_cast<uint64_t>(r) > widest(8u * c.bytesPerReg))
        broken("I2C read value", r);
}

// A write gives 0 or -1 (SPI); I2C also minus acknowledge bits.
void checkWrite(int32_t r, const Case& c, bool spi) {
    if (r == 0 || r == -1) return;
    if (spi || r > 0 || -static_cast<int64_t>(r) >= (int64_t{1} << (1 + c.bytesPerAddr + 4)))
        broken("write result", r);
}

constexpr uint32_t kUntouched = 0xA5A5A5A5u;

// A batch or stream gives 0 or -1; a failed read leaves the data alone, a
// successful one fills words that fit the data width.
void checkMulti(int32_t r, const Case& c, bool spi, bool write, const uint32_t* data) {
    if (r != 0 && r != -1) broken("multi result", r);
    if (write) return;
    const uint32_t bits = spi ? c.dataBits : 8u * c.bytesPerReg;
    for (uint32_t i = 0; i < c.count; ++i) {
        if (r == -1 && data[i] != kUntouched) broken("failed read changed data", i);
        if (r == 0 && bits < 32 && data[i] > widest(bits)) broken("multi word width", data[i]);
    }
}

void runSingle(const Case& c, void* dev, PROT_HANDLE prot, bool spi) {
    const uint32_t id = c.deviceID;
    switch (c.op % 4) {
        case 0: {
            const int32_t r = spi ? readSPI(dev, prot, c.reg) : readI2C(dev, prot, c.reg);
            spi ? checkSPIRead(r, c) : checkI2CRead(r, c);
            break;
        }
        case 1:
            checkWrite(spi ? writeSPI(dev, prot, c.reg, c.data) : writeI2C(dev, prot, c.reg, c.data),
                       c, spi);
            break;
        case 2: {
            mapHandles(dev, prot, id);
            const int32_t r = read_reg(id, c.reg);
            spi ? checkSPIRead(r, c) : checkI2CRead(r, c);
            mapHandles(nullptr, nullptr, id);
            break;
        }
        default:
            mapHandles(dev, prot, id);
            checkWrite(write_reg(id, c.reg, c.data), c, spi);
            mapHandles(nullptr, nullptr, id);
            break;
    }
}

void runMulti(const Case& c, void* dev, PROT_HANDLE prot) {
    uint32_t regs[kMaxCount], data[kMaxCount];
    for (uint32_t i = 0; i < c.count; ++i) {
        regs[i] = c.reg + i * 3;
        data[i] = c.write ? c.data + i * 0x101 : kUntouched;
    }
    const uint32_t id = c.deviceID;
    int32_t r = 0;
    switch (c.op % 4) {
        case 0: r = multiRegRW(dev, prot, regs, data, c.count, c.write ? 1 : 0); break;
        case 1: r = multiRegStreamRW(dev, prot, c.reg, data, c.count, c.write ? 1 : 0); break;
        case 2:
            mapHandles(dev, prot, id);
            r = c.write ? write_regs(id, regs, data, c.count) : read_regs(id, regs, data, c.count);
            mapHandles(nullptr, nullptr, id);
            break;
        default:
            mapHandles(dev, prot, id);
            r = c.write ? write_reg_stream(id, c.reg, data, c.count)
                        : read_reg_stream(id, c.reg, data, c.count);
            mapHandles(nullptr, nullptr, id);
            break;
    }
    checkMulti(r, c, c.spi, c.write, data);
}

// The status forms: a status code in range; a value only on success; the
// missing-acknowledge set only with QZ_NACK.
void checkStatus(int32_t s, const QZ_RESULT& detail) {
    if (s < QZ_OK || s > QZ_NO_MEMORY) broken("status out of range", s);
    if (detail.status != s) broken("detail status differs", detail.status);
    if (s != QZ_NACK && detail.missingAcks != 0) broken("acks without NACK", detail.missingAcks);
    if (s == QZ_NACK && detail.missingAcks == 0) broken("NACK without acks", 0);
}

void runStatus(const Case& c, void* dev, PROT_HANDLE prot) {
    QZ_RESULT detail{};
    uint32_t value = kUntouched;
    uint32_t regs[kMaxCount], data[kMaxCount];
    for (uint32_t i = 0; i < c.count; ++i) {
        regs[i] = c.reg + i;
        data[i] = c.write ? c.data + i : kUntouched;
    }
    [[maybe_unused]] const uint32_t id = c.deviceID;
    int32_t s = QZ_OK;
    switch (c.op % 11) {
        case 0:
            s = c.spi ? qz_readSPI(dev, prot, c.reg, &value, &detail)
                      : qz_readI2C(dev, prot, c.reg, &value, &detail);
            if (s != QZ_OK && value != kUntouched) broken("failed status read set a value", s);
            break;
        case 1:
            s = c.spi ? qz_writeSPI(dev, prot, c.reg, c.data, &detail)
                      : qz_writeI2C(dev, prot, c.reg, c.data, &detail);
            break;
        case 2: s = qz_multiRegRW(dev, prot, regs, data, c.count, c.write, &detail); break;
        case 3: s = qz_multiRegStreamRW(dev, prot, c.reg, data, c.count, c.write, &detail); break;
        case 4:
            mapHandles(dev, prot, id);
            s = c.write ? qz_write_regs(id, regs, data, c.count, &detail)
                        : qz_read_regs(id, regs, data, c.count, &detail);
            mapHandles(nullptr, nullptr, id);
            break;
        case 5:
            mapHandles(dev, prot, id);
            s = c.write ? qz_write_reg_stream(id, c.reg, data, c.count, &detail)
                        : qz_read_reg_stream(id, c.reg, data, c.count, &detail);
            mapHandles(nullptr, nullptr, id);
            break;
        case 6: {
            mapHandles(dev, prot, id);
            s = c.write ? qz_write_reg(id, c.reg, c.data, &detail)
                        : qz_read_reg(id, c.reg, &value, &detail);
            mapHandles(nullptr, nullptr, id);
            break;
        }
        case 7: {
            uint8_t present[QZ_I2C_ADDRESS_COUNT];
            uint32_t count = 0;
            const int32_t n = i2cScan(dev, prot, present);
            if (n < -1 || n > 0x70) broken("scan count", n);
            s = qz_i2cScan(dev, prot, present, &count, &detail);
            if (s == QZ_OK) {
                uint32_t answered = 0;
                for (uint8_t p : present) answered += p;
                if (answered != count) broken("scan table and count differ", count);
            }
            break;
        }
        case 8: {  // raw transfers: a failed one leaves the read buffers alone
            uint8_t in[kMaxCount * 4];
            std::memset(in, 0xA5, sizeof in);
            uint8_t out[kMaxCount * 4];
            for (uint32_t i = 0; i < sizeof out; ++i) out[i] = static_cast<uint8_t>(c.data >> (8 * (i % 4)));
            const uint32_t len = 1 + c.count * 4 % sizeof in;
            if (c.spi) {
                const QZ_SPI_SEGMENT segments[] = {{out, nullptr, c.reg % 5}, {c.write ? out : nullptr, in, len}};
                s = qz_spiTransferSegments(dev, prot, segments, 2, c.fill, &detail);
            } else {
                const QZ_I2C_MSG msgs[] = {{c.i2cAddress, 0, c.reg % 5, out},
                                           {static_cast<uint8_t>(c.data & 0xFF), 1, len, in}};
                s = qz_i2cTransfer(dev, prot, msgs, c.write ? 1 : 2, &detail);
            }
            if (s != QZ_OK)
                for (uint8_t b : in)
                    if (b != 0xA5) broken("failed raw transfer wrote its read buffer", s);
            break;
        }
        case 9: {  // SPI mode and bus clock, then a register read through them
            const int32_t m = qz_setSPIMode(prot, static_cast<int32_t>(c.fill % 6) - 1, c.reg & 7);
            if (m != QZ_OK && m != QZ_BAD_ARGUMENT) broken("SPI mode result", m);
            if (qz_setBusClock(prot, c.data % 5000000) != QZ_OK) broken("bus clock refused", 0);
            uint8_t levels = 0;
            s = qz_readPins(dev, &levels, &detail);
            checkStatus(s, detail);
            s = c.spi ? qz_readSPI(dev, prot, c.reg, &value, &detail)
                      : qz_readI2C(dev, prot, c.reg, &value, &detail);
            if (s != QZ_OK && value != kUntouched) broken("failed status read set a value", s);
            break;
        }
        default: {
            const int32_t r = i2cRecoverBus(dev, prot);
            if (r != 0 && r != -1) broken("recovery result", r);
            s = qz_i2cRecoverBus(dev, prot, &detail);
            break;
        }
    }
    checkStatus(s, detail);
}

}  // namespace

void run(Family family, const Case& c, void* dev) {
    const bool spi = family == Family::Spi || (family != Family::I2c && c.spi);
    PROT_HANDLE prot = makeDescriptor(c, spi);
    if (!prot) return;
    switch (family) {
        case Family::Spi:
        case Family::I2c: runSingle(c, dev, prot, spi); break;
        case Family::Multi: runMulti(c, dev, prot); break;
        case Family::Status:
            runStatus(c, dev, prot);
            break;
    }
    deleteSPIDev(prot);
}

}  // namespace qzfuzz
