// Single-register I2C transfers: one full frame written in one driver write,
// its read-back fetched in one driver read, and the acknowledges (and, for a
// read, the data bits) taken from the read-back at fixed distances from the
// frame's reference: its first SCL-low sample after the START.
#include "i2c.h"

#include <algorithm>

std::optional<std::size_t> qz::i2cFrameReference(std::span<const uint8_t> rx, uint8_t sclPin,
                                                 std::size_t limit) {
    const std::size_t end = std::min(limit, rx.size());
    std::size_t sclHighRun = 0;
    for (std::size_t i = 0; i < end; ++i) {
        if (pinHigh(rx[i], sclPin)) {
            ++sclHighRun;
        } else {
            if (sclHighRun >= kI2CStartEvents) return i;
            sclHighRun = 0;
        }
    }
    return std::nullopt;
}

uint8_t qz::i2cAcknowledges(std::span<const uint8_t> rx, std::size_t reference, uint8_t sdaPin) {
    constexpr unsigned kRecordedAcks = 8;
    uint8_t ackBits = 0;
    std::size_t position = reference + kI2CFirstAckOffset;
    for (unsigned m = 0; m < kRecordedAcks && position < rx.size(); ++m, position += kI2CByteEvents)
        if (pinHigh(rx[position], sdaPin)) ackBits = static_cast<uint8_t>(ackBits | (1u << m));
    return ackBits;
}

uint8_t qz::i2cReadAckMask(uint32_t bytesPerAddr) {
    const uint32_t counted = bytesPerAddr + 2;
    return counted >= 8 ? uint8_t{0xFF} : static_cast<uint8_t>((1u << counted) - 1);
}

std::size_t qz::i2cFirstDataSample(std::size_t reference, uint32_t bytesPerAddr) {
    return reference + kI2CFirstDataOffset + std::size_t{kI2CByteEvents} * bytesPerAddr;
}

std::optional<uint32_t> qz::i2cReadWord(std::span<const uint8_t> rx, std::size_t first,
                                        uint8_t sdaPin, uint32_t bytes) {
    constexpr uint32_t kBitsPerByte = 8;
    uint32_t word = 0;
    for (uint32_t j = 0; j < bytes; ++j) {
        const auto byte = parseByteStream(rx, first + std::size_t{kI2CByteEvents} * j, sdaPin,
                                          kI2CBitEvents, kBitsPerByte);
        if (!byte) return std::nullopt;
        word = (word << kBitsPerByte) | *byte;  // the first byte ends up most significant
    }
    return word;
}

namespace {

// What one played frame left to look at: its read-back and where the frame
// starts in it.
struct PlayedFrame {
    qz::ByteStream rx;
    std::size_t reference;
};

// Purges, refuses an SPI descriptor, writes one full frame of `mode` in one
// driver write (dumped under writeDebug if `dumpFrame`) and reads back as many
// samples. nullopt on any driver failure, an SPI descriptor, or a read-back
// in which the frame's START never shows.
std::optional<PlayedFrame> playFrame(FT_HANDLE dev, const PROT_DES& i2c, uint32_t reg,
                                     uint32_t data, qz::sequenceMode mode, bool dumpFrame) {
    if (!qz::purgeQueues(dev)) return std::nullopt;
    if (qz::isSPI(i2c)) return std::nullopt;
    uint32_t eventCount = 0;
    {
        const qz::ByteStream frame = qz::createI2CByteStream(i2c, reg, data, mode);
        eventCount = static_cast<uint32_t>(frame.size());
        if (qz::setImpedance(dev, i2c) != 0) return std::nullopt;
        if (!qz::writeStream(dev, frame, dumpFrame)) return std::nullopt;
    }  // the frame is released before the read-back is fetched
    auto rx = qz::readBack(dev, eventCount, eventCount);
    if (!rx) return std::nullopt;
    const auto reference = qz::i2cFrameReference(*rx, i2c.SCLnum, rx->size());
    if (!reference) return std::nullopt;
    return PlayedFrame{std::move(*rx), *reference};
}

}  // namespace

int32_t qz::writeI2C(FT_HANDLE dev, const PROT_DES& i2c, uint32_t reg, uint32_t data) {
    // The written frame is dumped whatever the driver says.
    const auto played = playFrame(dev, i2c, reg, data, WRITE, true);
    if (!played) return -1;
    return -static_cast<int32_t>(i2cAcknowledges(played->rx, played->reference, i2c.SDAnumR));
}

int32_t qz::readI2C(FT_HANDLE dev, const PROT_DES& i2c, uint32_t reg) {
    // The master does not acknowledge the last data byte; a read never dumps
    // its frame.
    const auto played = playFrame(dev, i2c, reg, 0, READ_NACK, false);
    if (!played) return -1;
    const uint8_t ackBits =
        static_cast<uint8_t>(i2cAcknowledges(played->rx, played->reference, i2c.SDAnumR) &
                             i2cReadAckMask(i2c.bytesPerAddr));
    if (ackBits != 0) {
        dumpIf(readDebug, played->rx);
        return -static_cast<int32_t>(ackBits);
    }
    const auto value = i2cReadWord(played->rx,
                                   i2cFirstDataSample(played->reference, i2c.bytesPerAddr),
                                   i2c.SDAnumR, i2c.bytesPerReg);
    if (!value) return -1;
    dumpIf(readDebug, played->rx);
    return static_cast<int32_t>(*value);
}

extern "C" {

// Writes one register: 0 when every acknowledge slot was acknowledged,
// -(acknowledge bits) when some were not (bit 0 the address, then the
// register-address bytes, then the data bytes); -1 for a null descriptor
// (no driver call), an SPI descriptor, a driver failure or no clock seen.
int32_t writeI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t data) {
    const auto des = qz::copyDescriptor(i2c);
    if (!des) return -1;
    return qz::guarded([&] { return qz::writeI2C(dev, *des, reg, data); });
}

// Reads one register: its value, or -(acknowledge bits within the read mask)
// when the address, a register-address byte or the read address was not
// acknowledged; -1 for a null descriptor (no driver call), an SPI
// descriptor, a driver failure, no clock seen or data past the read-back.
int32_t readI2C(void* dev, PROT_HANDLE i2c, uint32_t reg) {
    const auto des = qz::copyDescriptor(i2c);
    if (!des) return -1;
    return qz::guarded([&] { return qz::readI2C(dev, *des, reg); });
}

}  // extern "C"
