// Single-register I2C transfers, and the judgement of every I2C read-back:
// one stream written in one driver write, its read-back fetched in one driver
// read, and compared with what was written, sample by sample, once the
// read-back's lag is known from the first frame's START.
#include "i2c.h"
#include "engine.h"

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

namespace {

// The read-back sample that shows the third sample of the frame at every lag
// from 0 to 2: inside the START, where SCL is driven high.
constexpr std::size_t kInsideEveryStart = 2;

// Why no START shows: SCL read low where every lag puts the START (a slave
// holds the clock), or the frame is simply not there.
qz::Outcome missingStart(const PROT_DES& i2c, std::span<const uint8_t> rx) {
    const bool sclHeld = rx.size() > kInsideEveryStart &&
                         !qz::pinHigh(rx[kInsideEveryStart], i2c.SCLnum);
    return qz::Outcome::of(sclHeld ? QZ_CLOCK_STRETCHED : QZ_FRAME_NOT_FOUND);
}

// The first watched pin that read low: SCL driven high (stretched or held
// clock), or a 1 of the master's on SDA (held or contested bus). Where the
// master writes a watchable pin high, it must read high.
qz::Outcome watchedLines(const PROT_DES& i2c, std::span<const uint8_t> written,
                         const qz::I2CLayout& layout, std::span<const uint8_t> rx,
                         std::size_t lag) {
    const uint8_t scl = qz::pinBit(i2c.SCLnum);
    const uint8_t sdaWritten = qz::pinBit(i2c.SDAnumW);
    const uint8_t sdaRead = qz::pinBit(i2c.SDAnumR);
    const std::size_t end = std::min(written.size(), rx.size() - std::min(rx.size(), lag));
    for (const qz::I2CRun& run : layout.runs) {
        const uint8_t* watchable = layout.shapes[run.shape].watchable.data() + run.from;
        for (uint32_t c = 0; c < run.count; ++c) {
            const std::size_t first = run.at + std::size_t{c} * run.stride;
            const std::size_t last = std::min<std::size_t>(first + run.length, end);
            for (std::size_t k = first; k < last; ++k) {
                const uint8_t w = written[k];
                const uint8_t high = static_cast<uint8_t>(((w & scl) ? scl : 0) |
                                                          ((w & sdaWritten) ? sdaRead : 0));
                const uint8_t low =
                    static_cast<uint8_t>(watchable[k - first] & high & ~rx[k + lag]);
                if (low == 0) continue;
                qz::Outcome outcome =
                    qz::Outcome::of((low & scl) ? QZ_CLOCK_STRETCHED : QZ_BUS_HELD);
                outcome.index = run.frame + c * run.frameStep;
                return outcome;
            }
        }
    }
    return qz::Outcome::success();
}

// The first frame with a missing acknowledge: its acknowledge bits (bit m the
// m-th acknowledge of the frame, the first 32 kept) and the register of the
// first missing one.
qz::Outcome acknowledges(const PROT_DES& i2c, const qz::I2CLayout& layout,
                         std::span<const uint8_t> rx, std::size_t lag) {
    constexpr uint32_t kKeptBits = 32;
    bool nacked = false;
    uint32_t missing = 0, unit = 0, frame = 0, slot = 0;
    qz::forEachAck(layout, [&](uint32_t at, uint32_t ackFrame, uint32_t ackUnit) {
        if (ackFrame != frame || slot == 0) {
            if (nacked) return false;  // the frame with the first missing acknowledge is complete
            frame = ackFrame;
            slot = 0;
        }
        const std::size_t position = at + lag;
        if (position < rx.size() && qz::pinHigh(rx[position], i2c.SDAnumR)) {
            if (!nacked) unit = ackUnit;
            nacked = true;
            if (slot < kKeptBits) missing |= 1u << slot;
        }
        ++slot;
        return true;
    });
    if (!nacked) return qz::Outcome::success();
    qz::Outcome outcome = qz::Outcome::nack(missing);
    outcome.index = unit;
    return outcome;
}

}  // namespace

qz::I2CJudgement qz::judgeI2C(const PROT_DES& i2c, std::span<const uint8_t> written,
                              const I2CLayout& layout, std::span<const uint8_t> rx,
                              uint32_t firstFrameLength) {
    const auto sent = i2cFrameReference(written, i2c.SCLnum, firstFrameLength);
    if (!sent) return {missingStart(i2c, rx), 0, true};
    const auto seen =
        i2cFrameReference(rx, i2c.SCLnum, std::min<std::size_t>(firstFrameLength,
                                                                *sent + kMaxReadbackLag + 1));
    if (!seen || *seen < *sent) return {missingStart(i2c, rx), 0, true};
    const std::size_t lag = *seen - *sent;
    Outcome outcome = watchedLines(i2c, written, layout, rx, lag);
    if (outcome.ok()) outcome = acknowledges(i2c, layout, rx, lag);
    return {outcome, lag, true};
}

qz::I2CJudgement qz::playI2C(FT_HANDLE dev, const PROT_DES& i2c, std::span<const uint8_t> stream,
                             const I2CLayout& layout, const PlayOptions& options,
                             uint32_t firstFrameLength, ByteStream* rx) {
    const Outcome played = playStream(dev, i2c, stream, options, rx);
    if (!played.ok() || !options.readBack) return {played, 0, false};
    return judgeI2C(i2c, stream, layout, *rx, firstFrameLength);
}

bool qz::i2cReceivedWords(const PROT_DES& i2c, const I2CLayout& layout,
                          std::span<const uint8_t> rx, std::size_t lag,
                          std::span<const Destination> into) {
    std::size_t wanted = 0;
    for (const Destination& d : into) wanted += std::size_t{d.count} * d.bits;
    if (wanted == 0) return true;
    // The bits lie in stream order: every one is there when the last is.
    std::size_t seen = 0, lastPosition = 0;
    forEachDataBit(layout, [&](uint32_t at) {
        lastPosition = at + lag;
        return ++seen < wanted;
    });
    if (seen < wanted || lastPosition >= rx.size()) return false;
    auto d = into.begin();
    uint32_t word = 0, bit = 0, value = 0;
    forEachDataBit(layout, [&](uint32_t at) {
        while (d->count == 0 || d->bits == 0) ++d;
        value = (value << 1) | (pinHigh(rx[at + lag], i2c.SDAnumR) ? 1u : 0u);
        if (++bit == d->bits) {
            d->put(word, value);
            bit = value = 0;
            if (++word == d->count) {
                word = 0;
                if (++d == into.end()) return false;
            }
        }
        return true;
    });
    return true;
}

int32_t qz::writeI2CResult(const Outcome& outcome) {
    constexpr uint32_t kRecorded = 0xFF;  // the first eight acknowledges
    if (outcome.status == QZ_NACK && (outcome.missingAcks & kRecorded) != 0)
        return -static_cast<int32_t>(outcome.missingAcks & kRecorded);
    return zeroOrFailure(outcome);
}

int32_t qz::readI2CResult(const Outcome& outcome, uint32_t value) {
    return outcome.status == QZ_NACK ? writeI2CResult(outcome) : valueOrFailure(outcome, value);
}

namespace {

// The C entry points' checks: a live I2C descriptor whose widths take the
// arguments (nothing is sent to the driver otherwise; a read of zero data
// bytes would leave the peripheral driving SDA, and is refused). An SPI
// descriptor is refused by the transfer, after the purge.
qz::Outcome writeI2CHandle(FT_HANDLE dev, PROT_HANDLE handle, uint32_t reg, uint32_t data) {
    return qz::registerHandle(dev, handle, qz::kI2CProtocol, reg, data, true, nullptr);
}

qz::Outcome readI2CHandle(FT_HANDLE dev, PROT_HANDLE handle, uint32_t reg, uint32_t* value) {
    return qz::registerHandle(dev, handle, qz::kI2CProtocol, reg, 0, false, value);
}

}  // namespace

extern "C" {

// Writes one register: 0 when every acknowledge slot was acknowledged,
// -(acknowledge bits) when some of the first eight were not (bit 0 the
// address, then the register-address bytes, then the data bytes); -1 for
// anything else: not a live descriptor, an SPI one, a value wider than the
// descriptor (no driver call), a driver failure, a held bus or clock, or a
// frame that does not show in the read-back.
int32_t writeI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t data) {
    return qz::writeI2CResult(writeI2CHandle(dev, i2c, reg, data));
}

// Reads one register: its value, or -(acknowledge bits) when the address, a
// register-address byte or the read address was not acknowledged; -1 as for
// writeI2C, and for a descriptor of zero data bytes.
int32_t readI2C(void* dev, PROT_HANDLE i2c, uint32_t reg) {
    uint32_t value = 0;
    const qz::Outcome outcome = readI2CHandle(dev, i2c, reg, &value);
    return qz::readI2CResult(outcome, value);
}

// writeI2C as a status; detail (may be NULL) gets the missing acknowledges.
int32_t qz_writeI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t data,
                    QZ_RESULT* detail) {
    return qz::report(writeI2CHandle(dev, i2c, reg, data), detail);
}

// readI2C as a status: QZ_OK and the register in *value (untouched otherwise;
// a NULL value is a bad argument).
int32_t qz_readI2C(void* dev, PROT_HANDLE i2c, uint32_t reg, uint32_t* value,
                   QZ_RESULT* detail) {
    if (!value) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    return qz::report(readI2CHandle(dev, i2c, reg, value), detail);
}

}  // extern "C"
