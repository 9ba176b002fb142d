// Single SPI register transfers: one full frame in one driver write; a read
// takes the same number of samples back and finds its data bits by the
// frame's first active clock edge.
#include "spi.h"
#include "diagnostics.h"
#include "device.h"
#include "session.h"


qz::Outcome qz::writeSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr,
                                 uint32_t data) {
    DeviceSession session(dev);
    if (Outcome purged = beginTransaction(dev, spi); !purged.ok()) return purged;
    if (!isSPI(spi)) return Outcome::of(QZ_BAD_ARGUMENT);
    const ByteStream frame = createSPIByteStream(spi, addr, data, WRITE);
    return playStream(dev, spi, frame, PlayOptions{false, std::nullopt, true}, nullptr);
}

qz::Outcome qz::readSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr,
                                uint32_t* value) {
    DeviceSession session(dev);
    if (Outcome purged = beginTransaction(dev, spi); !purged.ok()) return purged;
    if (!isSPI(spi)) return Outcome::of(QZ_BAD_ARGUMENT);
    ByteStream rx;
    {  // the frame is released once played
        const ByteStream frame = createSPIByteStream(spi, addr, 0, READ_ACK);
        const auto samples = static_cast<uint32_t>(frame.size());
        const Outcome played =
            playStream(dev, spi, frame, PlayOptions{true, samples, false}, &rx);
        if (!played.ok()) return played;
    }
    // No strobe, or one too late for all the bits to lie in the read-back,
    // leaves no value.
    const auto words = spiStreamWords(spi, rx, rx.size(), 1);
    dumpReadBack(rx);  // also without a value: the dump shows why
    if (!words) return Outcome::of(QZ_FRAME_NOT_FOUND);
    *value = words->front();
    return Outcome::success();
}

namespace {

// The C entry points' checks: a live descriptor whose widths take the
// arguments (no driver call otherwise). An I2C descriptor is refused by the
// transfer, after the purge.
qz::Outcome writeSPIHandle(FT_HANDLE dev, PROT_HANDLE handle, uint32_t addr, uint32_t data) {
    const auto des = qz::copyDescriptor(handle);
    if (!des) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    if (qz::isSPI(*des) && !qz::spiArgumentsFit(*des, addr, data))
        return qz::Outcome::of(QZ_BAD_ARGUMENT);
    return qz::guardedOutcome([&] { return qz::writeSPIRegister(dev, *des, addr, data); });
}

qz::Outcome readSPIHandle(FT_HANDLE dev, PROT_HANDLE handle, uint32_t addr, uint32_t* value) {
    const auto des = qz::copyDescriptor(handle);
    if (!des) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    if (qz::isSPI(*des) && !qz::spiArgumentsFit(*des, addr, 0))
        return qz::Outcome::of(QZ_BAD_ARGUMENT);
    return qz::guardedOutcome([&] { return qz::readSPIRegister(dev, *des, addr, value); });
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
