// Transfers for chips without register maps: raw I2C messages, full-duplex
// SPI transfers, and the pins read or played with their read-back. Each is
// one transaction in the device's session, played and judged like the
// register transfers.
#include "device.h"
#include "engine.h"
#include "session.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace {

// FT_Write and FT_Read take 32-bit lengths.
constexpr uint64_t kMaxTransfer = std::numeric_limits<uint32_t>::max();
constexpr uint8_t kMaxI2CAddress = 0x7F;

// Samples of the pins-read pattern: every pin an input for long enough that
// the last read-back sample shows the board's levels at every lag (0 to 2).
constexpr std::size_t kPinsReadSamples = 3;

// The messages played as one frame; read buffers filled only on QZ_OK. The
// written frame is dumped whatever the driver says, the read-back once
// fetched. A held line names the message it was found in.
qz::Outcome i2cMessages(FT_HANDLE dev, const PROT_DES& i2c, std::span<const QZ_I2C_MSG> msgs,
                        uint32_t total) {
    return qz::runTransaction(dev, i2c, &qz::kI2CProtocol, [&] {
        qz::Transaction t;
        t.stream.resize(total);
        qz::renderI2CMessages(i2c, msgs, t.stream.data(), t.plan.layout);
        for (const QZ_I2C_MSG& msg : msgs)
            if (msg.read != 0)
                t.plan.words.push_back({msg.len, qz::kI2CBitsPerByte, nullptr, msg.buf});
        t.options = qz::PlayOptions{true, total, true};
        t.dumpReadBack = qz::ReadBackDump::WhenFetched;
        t.firstFrameLength = total;
        return t;
    });
}

// The C entry point's checks: a live I2C descriptor, 1 to 2^32 - 1 messages,
// each a 7-bit address, at most QZ_I2C_MSG_MAX bytes, a buffer where it has
// bytes, a read of at least one byte (a read of none would leave the
// peripheral driving SDA). detail->index names the message refused.
qz::Outcome i2cTransferHandle(FT_HANDLE dev, PROT_HANDLE handle, const QZ_I2C_MSG* msgs,
                              uint32_t count) {
    const auto des = qz::copyDescriptor(handle);
    if (!des || &qz::protocolOf(*des) != &qz::kI2CProtocol || !msgs || count == 0)
        return qz::Outcome::of(QZ_BAD_ARGUMENT);
    for (uint32_t m = 0; m < count; ++m) {
        const QZ_I2C_MSG& msg = msgs[m];
        if (msg.addr > kMaxI2CAddress || msg.len > QZ_I2C_MSG_MAX || (msg.len > 0 && !msg.buf) ||
            (msg.read != 0 && msg.len == 0)) {
            qz::Outcome refused = qz::Outcome::of(QZ_BAD_ARGUMENT);
            refused.index = m;
            return refused;
        }
    }
    const std::span<const QZ_I2C_MSG> all(msgs, count);
    const auto total = qz::i2cMessagesLength(*des, all);
    if (!total || *total > kMaxTransfer) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    return qz::guardedOutcome(
        [&] { return i2cMessages(dev, *des, all, static_cast<uint32_t>(*total)); });
}

// The segments under one chip select; rx buffers filled only on QZ_OK. A
// transfer that reads nothing waits for its samples to be on the pins and
// does not look at the read-back. The written frame is dumped whatever the
// driver says, the read-back once fetched.
qz::Outcome spiExchange(FT_HANDLE dev, const PROT_DES& spi,
                        std::span<const QZ_SPI_SEGMENT> segments, uint8_t fill, uint32_t total) {
    return qz::runTransaction(dev, spi, &qz::kSPIProtocol, [&] {
        qz::Transaction t;
        t.stream.resize(total);
        qz::renderSPIExchange(spi, segments, fill, t.stream.data());
        t.plan.fields.limit = std::numeric_limits<std::size_t>::max();
        constexpr uint32_t kBits = 8;
        std::size_t bitsBefore = 0;
        for (const QZ_SPI_SEGMENT& s : segments) {
            if (s.rx)
                t.plan.fields.runs.push_back({{s.len, kBits, nullptr, s.rx},
                                           0,
                                           qz::kSPISamplesPerBit * bitsBefore,
                                           qz::kSPISamplesPerBit * kBits});
            bitsBefore += std::size_t{kBits} * s.len;
        }
        t.options = qz::PlayOptions{!t.plan.fields.runs.empty(), total, true};
        t.dumpReadBack = qz::ReadBackDump::WhenFetched;
        return t;
    });
}

// The C entry point's checks: a live SPI descriptor, at least one segment,
// buffers may be null (a null tx sends the fill byte, a null rx drops the bytes
// in), 1 to QZ_SPI_TRANSFER_MAX bytes in all.
qz::Outcome spiTransferHandle(FT_HANDLE dev, PROT_HANDLE handle, const QZ_SPI_SEGMENT* segments,
                              uint32_t count, uint8_t fill) {
    const auto des = qz::copyDescriptor(handle);
    if (!des || &qz::protocolOf(*des) != &qz::kSPIProtocol || !segments || count == 0)
        return qz::Outcome::of(QZ_BAD_ARGUMENT);
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < count; ++i) bytes += segments[i].len;
    if (bytes == 0 || bytes > QZ_SPI_TRANSFER_MAX) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    const std::span<const QZ_SPI_SEGMENT> all(segments, count);
    const auto total = static_cast<uint32_t>(qz::spiExchangeLength(bytes));
    return qz::guardedOutcome([&] { return spiExchange(dev, *des, all, fill, total); });
}

// Plays `samples` with `mask` in a session of its own; *rx gets the read-back.
qz::Outcome playWithReadBack(FT_HANDLE dev, uint8_t mask, std::span<const uint8_t> samples,
                             qz::ByteStream* rx) {
    qz::DeviceSession session(dev);
    if (qz::Outcome purged = qz::purgeDevice(dev); !purged.ok()) return purged;
    const auto length = static_cast<uint32_t>(samples.size());
    return qz::playSamples(dev, mask, samples, qz::PlayOptions{rx != nullptr, length, false}, rx);
}

}  // namespace

extern "C" {

int32_t qz_i2cTransfer(void* dev, PROT_HANDLE i2c, const QZ_I2C_MSG* msgs, uint32_t count,
                       QZ_RESULT* detail) {
    return qz::report(i2cTransferHandle(dev, i2c, msgs, count), detail);
}

int32_t qz_spiTransfer(void* dev, PROT_HANDLE spi, const uint8_t* tx, uint8_t* rx, uint32_t len,
                       uint8_t fill, QZ_RESULT* detail) {
    const QZ_SPI_SEGMENT segment{tx, rx, len};
    return qz::report(spiTransferHandle(dev, spi, &segment, 1, fill), detail);
}

int32_t qz_spiTransferSegments(void* dev, PROT_HANDLE spi, const QZ_SPI_SEGMENT* segments,
                               uint32_t count, uint8_t fill, QZ_RESULT* detail) {
    return qz::report(spiTransferHandle(dev, spi, segments, count, fill), detail);
}

// QZ_OK and the levels; QZ_BAD_ARGUMENT for a null levels; the driver's failure.
int32_t qz_readPins(void* dev, uint8_t* levels, QZ_RESULT* detail) {
    if (!levels) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    const uint8_t released[kPinsReadSamples] = {};
    return qz::report(qz::guardedOutcome([&] {
                          qz::ByteStream rx;
                          const qz::Outcome played = playWithReadBack(dev, 0x00, released, &rx);
                          if (played.ok()) *levels = rx.back();
                          return played;
                      }),
                      detail);
}

// QZ_OK and the read-back in readback (len bytes; NULL: not fetched, the
// pattern only played); QZ_BAD_ARGUMENT for null samples with a length.
int32_t qz_playPattern(void* dev, uint8_t mask, const uint8_t* samples, uint32_t len,
                       uint8_t* readback, QZ_RESULT* detail) {
    if (len > 0 && !samples) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    const std::span<const uint8_t> pattern(samples, samples ? len : 0);
    return qz::report(qz::guardedOutcome([&] {
                          qz::ByteStream rx;
                          const qz::Outcome played =
                              playWithReadBack(dev, mask, pattern, readback ? &rx : nullptr);
                          if (played.ok() && readback) std::copy(rx.begin(), rx.end(), readback);
                          return played;
                      }),
                      detail);
}

}  // extern "C"
