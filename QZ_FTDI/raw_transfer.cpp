// Transfers for chips without register maps: raw I2C messages, full-duplex
// SPI transfers, and the pins read or played with their read-back. Each is
// one transaction in the device's session, played and judged like the
// register transfers.
#include "device.h"
#include "diagnostics.h"
#include "i2c.h"
#include "session.h"
#include "spi.h"

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

// The message a written sample belongs to (starts ascending, starts[0] = 0).
uint32_t messageAt(const std::vector<uint32_t>& starts, std::size_t sample) {
    const auto after = std::upper_bound(starts.begin(), starts.end(), sample);
    return static_cast<uint32_t>(std::max<std::ptrdiff_t>(after - starts.begin() - 1, 0));
}

// The messages played as one frame; read buffers filled only on QZ_OK.
qz::Outcome i2cMessages(FT_HANDLE dev, const PROT_DES& i2c, std::span<const QZ_I2C_MSG> msgs,
                        uint32_t total) {
    qz::DeviceSession session(dev);
    if (qz::Outcome begun = qz::beginTransaction(dev, i2c); !begun.ok()) return begun;
    qz::ByteStream stream(total), rx;
    qz::I2CLayout layout;
    std::vector<uint32_t> starts;
    starts.reserve(msgs.size());
    qz::renderI2CMessages(i2c, msgs, stream.data(), layout, starts);
    const qz::I2CJudgement judged =
        qz::playI2C(dev, i2c, stream, layout, qz::PlayOptions{true, total, true}, total, 0, &rx);
    if (judged.fetched) qz::dumpReadBack(rx);
    qz::Outcome outcome = judged.outcome;
    if (outcome.status == QZ_BUS_HELD || outcome.status == QZ_CLOCK_STRETCHED)
        outcome.index = messageAt(starts, judged.wrongAt);
    if (!outcome.ok()) return outcome;
    // Every bit first, so that no buffer is touched unless all of them are there.
    std::size_t bits = 0, lastPosition = 0;
    qz::forEachDataBit(layout, [&](uint32_t at) {
        ++bits;
        lastPosition = at + judged.lag;
        return true;
    });
    if (bits > 0 && lastPosition >= rx.size()) return qz::Outcome::of(QZ_FRAME_NOT_FOUND);
    // The bits lie in stream order: once the last is there, every buffer is filled.
    auto msg = msgs.begin();
    uint32_t byte = 0, bit = 0;
    qz::forEachDataBit(layout, [&](uint32_t at) {
        while (msg->read == 0) ++msg;
        uint8_t& into = msg->buf[byte];
        into = static_cast<uint8_t>((bit == 0 ? 0 : into << 1) |
                                    (qz::pinHigh(rx[at + judged.lag], i2c.SDAnumR) ? 1 : 0));
        if (++bit == qz::kI2CBitsPerByte) {
            bit = 0;
            if (++byte == msg->len) {
                byte = 0;
                ++msg;
            }
        }
        return true;
    });
    return qz::Outcome::success();
}

// The C entry point's checks: a live I2C descriptor, 1 to 2^32 - 1 messages,
// each a 7-bit address, at most QZ_I2C_MSG_MAX bytes, a buffer where it has
// bytes, a read of at least one byte (a read of none would leave the
// peripheral driving SDA). detail->index names the message refused.
qz::Outcome i2cTransferHandle(FT_HANDLE dev, PROT_HANDLE handle, const QZ_I2C_MSG* msgs,
                              uint32_t count) {
    const auto des = qz::copyDescriptor(handle);
    if (!des || qz::isSPI(*des) || !msgs || count == 0) return qz::Outcome::of(QZ_BAD_ARGUMENT);
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
// does not look at the read-back.
qz::Outcome spiExchange(FT_HANDLE dev, const PROT_DES& spi,
                        std::span<const QZ_SPI_SEGMENT> segments, uint8_t fill, uint32_t total) {
    qz::DeviceSession session(dev);
    if (qz::Outcome begun = qz::beginTransaction(dev, spi); !begun.ok()) return begun;
    const bool reads = std::any_of(segments.begin(), segments.end(),
                                   [](const QZ_SPI_SEGMENT& s) { return s.rx != nullptr; });
    qz::ByteStream rx;
    {  // the frame is released once played
        qz::ByteStream frame(total);
        qz::renderSPIExchange(spi, segments, fill, frame.data());
        const qz::Outcome played =
            qz::playStream(dev, spi, frame, qz::PlayOptions{reads, total, true}, &rx);
        if (!played.ok() || !reads) return played;
    }
    qz::dumpReadBack(rx);
    const auto strobe = qz::findSPIStrobe(spi, rx, rx.size());
    if (!strobe) return qz::Outcome::of(QZ_FRAME_NOT_FOUND);
    std::size_t bytesBefore = 0, inCount = 0;
    for (const QZ_SPI_SEGMENT& s : segments) inCount += s.rx ? s.len : 0;
    std::vector<uint8_t> in(inCount);
    auto into = in.begin();
    for (const QZ_SPI_SEGMENT& s : segments) {
        if (s.rx) {
            if (!qz::spiExchangeBytes(spi, rx, *strobe, 8 * bytesBefore, s.len, &*into))
                return qz::Outcome::of(QZ_FRAME_NOT_FOUND);
            into += s.len;
        }
        bytesBefore += s.len;
    }
    into = in.begin();
    for (const QZ_SPI_SEGMENT& s : segments) {
        if (!s.rx) continue;
        std::copy_n(into, s.len, s.rx);
        into += s.len;
    }
    return qz::Outcome::success();
}

// The C entry point's checks: a live SPI descriptor, at least one segment,
// buffers may be null (a null tx sends the fill byte, a null rx drops the bytes
// in), 1 to QZ_SPI_TRANSFER_MAX bytes in all.
qz::Outcome spiTransferHandle(FT_HANDLE dev, PROT_HANDLE handle, const QZ_SPI_SEGMENT* segments,
                              uint32_t count, uint8_t fill) {
    const auto des = qz::copyDescriptor(handle);
    if (!des || !qz::isSPI(*des) || !segments || count == 0)
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
