// Whole-bus operations: the scan of every address in one round trip, and the
// recovery of a bus whose SDA a slave holds low.
#include "i2c.h"
#include "device.h"
#include "session.h"

#include <algorithm>
#include <array>

namespace {

// The addresses i2cdetect probes by default: below 0x08 and above 0x77 the
// bus reserves them.
constexpr uint8_t kFirstProbed = 0x08;
constexpr uint8_t kLastProbed = 0x77;
constexpr uint32_t kProbes = kLastProbed - kFirstProbed + 1;

// SCL pulses that clock any slave through the rest of a byte and its
// acknowledge slot.
constexpr uint32_t kRecoveryClocks = 9;
// Samples a recovery step holds its last levels, so that the read-back's
// last sample shows them whatever the chip's lag (0 to 2).
constexpr std::size_t kHeldSamples = 3;

// Both lines as they read in the last sample of a read-back.
struct Lines {
    bool scl, sda;
};

Lines lastLevels(const PROT_DES& i2c, const qz::ByteStream& rx) {
    const uint8_t last = rx.empty() ? 0 : rx.back();
    return {qz::pinHigh(last, i2c.SCLnum), qz::pinHigh(last, i2c.SDAnumR)};
}

// Plays one recovery step and reports the lines at its end.
qz::Outcome step(FT_HANDLE dev, const PROT_DES& i2c, const qz::ByteStream& samples, Lines* lines) {
    qz::ByteStream rx;
    const auto length = static_cast<uint32_t>(samples.size());
    const qz::Outcome played =
        qz::playStream(dev, i2c, samples, qz::PlayOptions{true, length, false}, &rx);
    if (played.ok()) *lines = lastLevels(i2c, rx);
    return played;
}

// `count` samples of SCL at `sclHigh` with SDA at `sda`, appended.
void hold(qz::ByteStream& out, const PROT_DES& i2c, bool sclHigh, qz::SdaLevel sda,
          std::size_t count) {
    out.insert(out.end(), count, qz::i2cSample(i2c, sclHigh, sda));
}

}  // namespace

namespace qz {

// Probes 0x08..0x77 with address-only write frames laid back to back and
// played in one round trip; present[a] = 1 where a acknowledged. QZ_OK and
// the count, or the failure (a held bus or clock included); present is
// written only on success. The descriptor's address is ignored.
Outcome scanBus(FT_HANDLE dev, const PROT_DES& i2c, uint8_t* present, uint32_t* count) {
    DeviceSession session(dev);
    if (Outcome purged = beginTransaction(dev, i2c); !purged.ok()) return purged;
    PROT_DES probe = i2c;
    probe.bytesPerAddr = 0;
    probe.bytesPerReg = 0;
    const uint32_t frameLength = i2cStreamLength(probe, WRITE);
    const std::size_t total = std::size_t{frameLength} * kProbes;
    ByteStream frames(total), rx;
    const I2CLayout layout = i2cRepeated(i2cShape(probe, WRITE), kProbes, frameLength, true);
    for (uint32_t i = 0; i < kProbes; ++i) {
        probe.addr = static_cast<uint8_t>(kFirstProbed + i);
        renderI2CStream(probe, 0, 0, WRITE, frames.data() + std::size_t{frameLength} * i);
    }
    const I2CJudgement judged = playI2C(dev, probe, frames, layout,
                                        PlayOptions{true, frameLength, false}, frameLength, &rx);
    // Addresses that do not answer are what a scan is for.
    if (!judged.outcome.ok() && judged.outcome.status != QZ_NACK) return judged.outcome;
    std::array<uint8_t, QZ_I2C_ADDRESS_COUNT> table{};
    uint32_t answered = 0;
    forEachAck(layout, [&](uint32_t at, uint32_t, uint32_t unit) {
        const std::size_t position = at + judged.lag;
        const bool acknowledged =
            position < rx.size() && !pinHigh(rx[position], probe.SDAnumR);
        table[kFirstProbed + unit] = acknowledged ? 1 : 0;
        answered += acknowledged ? 1 : 0;
        return true;
    });
    std::copy(table.begin(), table.end(), present);
    *count = answered;
    return Outcome::success();
}

// Frees the bus in a few round trips, looking at the lines after each: SDA
// released with SCL high; while SDA reads low, one SCL pulse at a time, at
// most nine (a slave that was sending sees its byte end and the master's
// not-acknowledge; one that was acknowledging lets go); then, SCL staying
// high, SDA pulled low and released: a START and a STOP without a clock
// edge, which no slave can take for a bit, and which resets one that was in
// the middle of a byte. QZ_OK when both lines read high at the end;
// QZ_BUS_HELD (SDA low) or QZ_CLOCK_STRETCHED (SCL low) otherwise.
Outcome recoverBus(FT_HANDLE dev, const PROT_DES& i2c) {
    DeviceSession session(dev);
    if (Outcome purged = beginTransaction(dev, i2c); !purged.ok()) return purged;
    Lines lines{};
    ByteStream look;
    hold(look, i2c, true, SdaLevel::Released, kHeldSamples);
    if (Outcome o = step(dev, i2c, look, &lines); !o.ok()) return o;

    ByteStream pulse;
    hold(pulse, i2c, false, SdaLevel::Released, 2);
    hold(pulse, i2c, true, SdaLevel::Released, kHeldSamples);
    for (uint32_t clock = 0; clock < kRecoveryClocks && !lines.sda; ++clock)
        if (Outcome o = step(dev, i2c, pulse, &lines); !o.ok()) return o;

    ByteStream startStop;
    hold(startStop, i2c, true, SdaLevel::DrivenLow, 1);
    hold(startStop, i2c, true, SdaLevel::DrivenHigh, kHeldSamples);
    if (Outcome o = step(dev, i2c, startStop, &lines); !o.ok()) return o;
    if (!lines.scl) return Outcome::of(QZ_CLOCK_STRETCHED);
    if (!lines.sda) return Outcome::of(QZ_BUS_HELD);
    return Outcome::success();
}

}  // namespace qz

namespace {

qz::Outcome scanHandle(FT_HANDLE dev, PROT_HANDLE handle, uint8_t* present, uint32_t* count) {
    const auto des = qz::copyDescriptor(handle);
    if (!des || qz::isSPI(*des) || !present) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    return qz::guardedOutcome([&] { return qz::scanBus(dev, *des, present, count); });
}

qz::Outcome recoverHandle(FT_HANDLE dev, PROT_HANDLE handle) {
    const auto des = qz::copyDescriptor(handle);
    if (!des || qz::isSPI(*des)) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    return qz::guardedOutcome([&] { return qz::recoverBus(dev, *des); });
}

}  // namespace

extern "C" {

// The number of addresses 0x08..0x77 that acknowledged, present[] filled
// (QZ_I2C_ADDRESS_COUNT entries); -1 for a handle that is not a live I2C
// descriptor, a null table, a driver failure, or a held bus or clock.
int32_t i2cScan(void* dev, PROT_HANDLE i2c, uint8_t* present) {
    uint32_t count = 0;
    const qz::Outcome outcome = scanHandle(dev, i2c, present, &count);
    return outcome.ok() ? static_cast<int32_t>(count) : -1;
}

// 0 when both lines read high after the recovery, -1 otherwise (and for a
// handle that is not a live I2C descriptor or a driver failure).
int32_t i2cRecoverBus(void* dev, PROT_HANDLE i2c) {
    return qz::zeroOrFailure(recoverHandle(dev, i2c));
}

// i2cScan as a status: *count (may be NULL) gets the number that answered.
int32_t qz_i2cScan(void* dev, PROT_HANDLE i2c, uint8_t* present, uint32_t* count,
                   QZ_RESULT* detail) {
    uint32_t answered = 0;
    const qz::Outcome outcome = scanHandle(dev, i2c, present, &answered);
    if (outcome.ok() && count) *count = answered;
    return qz::report(outcome, detail);
}

// i2cRecoverBus as a status: QZ_BUS_HELD when SDA stays low, QZ_CLOCK_STRETCHED
// when SCL does.
int32_t qz_i2cRecoverBus(void* dev, PROT_HANDLE i2c, QZ_RESULT* detail) {
    return qz::report(recoverHandle(dev, i2c), detail);
}

}  // extern "C"
