// Single SPI register transfers: one full frame in one driver write; a read
// takes the same number of samples back and finds its data bits by the
// frame's first active clock edge.
#include "spi.h"

#include <algorithm>

std::optional<std::size_t> qz::findSPIStrobe(const PROT_DES& spi, std::span<const uint8_t> rx,
                                             std::size_t limit) {
    const std::size_t end = std::min(limit, rx.size());
    // Every frame opens with chip select high: skip what the pins showed
    // before it.
    std::size_t i = 0;
    while (i < end && !pinHigh(rx[i], spi.CSnum)) ++i;
    for (; i < end; ++i)
        if (spiStrobe(spi, rx[i])) return i;
    return std::nullopt;
}

int32_t qz::writeSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr, uint32_t data) {
    if (!purgeQueues(dev)) return -1;
    if (!isSPI(spi)) return -1;
    const ByteStream frame = createSPIByteStream(spi, addr, data, WRITE);
    if (setImpedance(dev, spi) != 0) return -1;
    return writeStream(dev, frame, true) ? 0 : -1;
}

int32_t qz::readSPIRegister(FT_HANDLE dev, const PROT_DES& spi, uint32_t addr) {
    if (!purgeQueues(dev)) return -1;
    if (!isSPI(spi)) return -1;
    uint32_t samples = 0;
    {  // the frame is released once written
        const ByteStream frame = createSPIByteStream(spi, addr, 0, READ_ACK);
        if (setImpedance(dev, spi) != 0) return -1;
        if (!writeStream(dev, frame, false)) return -1;
        samples = static_cast<uint32_t>(frame.size());
    }
    const std::optional<ByteStream> rx = readBack(dev, samples, samples);
    if (!rx) return -1;
    // The data bits: every second sample from the first data clock on, taken
    // from the data-out pin. No strobe, or one too late for all the bits to
    // lie in the read-back, leaves no value.
    std::optional<uint32_t> value;
    if (const auto strobe = findSPIStrobe(spi, *rx, rx->size()))
        value = parseByteStream(*rx, spiDataPosition(spi, *strobe), spi.SDOnum, kSPISamplesPerBit,
                                spi.dataBits);
    dumpIf(readDebug, *rx);  // also without a value: the dump shows why
    return value ? static_cast<int32_t>(*value) : -1;
}

extern "C" {

// Writes register `addr` of an SPI peripheral: 0, or -1 on a null
// descriptor, an I2C descriptor or any driver failure.
int32_t writeSPI(void* dev, PROT_HANDLE spi, uint32_t addr, uint32_t data) {
    const std::optional<PROT_DES> des = qz::copyDescriptor(spi);
    if (!des) return -1;
    return qz::guarded([&] { return qz::writeSPIRegister(dev, *des, addr, data); });
}

// Reads register `addr` of an SPI peripheral: its value (32-bit words come
// back as their signed reading), or -1 on a null descriptor, an I2C
// descriptor, any driver failure or a read-back without a usable strobe.
int32_t readSPI(void* dev, PROT_HANDLE spi, uint32_t addr) {
    const std::optional<PROT_DES> des = qz::copyDescriptor(spi);
    if (!des) return -1;
    return qz::guarded([&] { return qz::readSPIRegister(dev, *des, addr); });
}

}  // extern "C"
