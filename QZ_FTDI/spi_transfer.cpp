// Single SPI register transfers: one full frame in one driver write; a read
// takes the same number of samples back and finds its data bits by the
// frame's first active clock edge.
#include "spi.h"
#include "engine.h"


namespace {

// The C entry points' checks: a live descriptor whose widths take the
// arguments (no driver call otherwise). An I2C descriptor is refused by the
// transfer, after the purge. A write does not read back; a read finds its
// word from the frame's first strobe.
qz::Outcome writeSPIHandle(FT_HANDLE dev, PROT_HANDLE handle, uint32_t addr, uint32_t data) {
    return qz::registerHandle(dev, handle, qz::kSPIProtocol, addr, data, true, nullptr);
}

qz::Outcome readSPIHandle(FT_HANDLE dev, PROT_HANDLE handle, uint32_t addr, uint32_t* value) {
    return qz::registerHandle(dev, handle, qz::kSPIProtocol, addr, 0, false, value);
}

}  // namespace

extern "C" {

// Writes register `addr` of an SPI peripheral: 0, or -1 for a handle that is
// not a live descriptor, an address or data wider than the descriptor (no
// driver call), an I2C descriptor or any driver failure.
int32_t writeSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t data) {
    return qz::zeroOrFailure(writeSPIHandle(dev, spi, addr, data));
}

// Reads register `addr` of an SPI peripheral: its value (32-bit words come
// back as their signed reading), or -1 as for writeSPI and for a read-back
// without a usable strobe.
int32_t readSPI(void* dev, PROT_HANDLE spi, uint32_t addr) {
    uint32_t value = 0;
    const qz::Outcome outcome = readSPIHandle(dev, spi, addr, &value);
    return qz::valueOrFailure(outcome, value);
}

// writeSPI as a status; detail may be NULL.
int32_t qz_writeSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t data,
                    QZ_RESULT* detail) {
    return qz::report(writeSPIHandle(dev, spi, addr, data), detail);
}

// readSPI as a status: QZ_OK and the register in *value (untouched otherwise),
// so that a 32-bit register holding 0xFFFFFFFF reads unmistakably.
int32_t qz_readSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t* value,
                   QZ_RESULT* detail) {
    if (!value) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    return qz::report(readSPIHandle(dev, spi, addr, value), detail);
}

}  // extern "C"
