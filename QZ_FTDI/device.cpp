// Device connection, pin direction and the USB latency timer.
#include "device.h"
#include "engine.h"
#include "messages.h"
#include "session.h"
#include "status.h"

#include <algorithm>
#include <optional>


uint8_t qz::pinDirectionMask(const PROT_DES& prot) {
    uint8_t mask = protocolOf(prot).outputs(prot);
    if (prot.OE_EN == 1) mask |= pinBit(prot.OEnum);
    return mask;
}

namespace {
// The bit-bang baud rates the drivers take: the slowest divisor, and the
// fastest the FT232R drivers accept.
constexpr uint32_t kSlowestBaud = 183;
constexpr uint32_t kFastestBaud = 3000000;
constexpr uint32_t kI2CSamplesPerBit = qz::kI2CBitEvents;  // four samples an SCL period
constexpr uint64_t kPsPerSecond = 1000000000000ull;

// The shortest sample (ps) that clocks an I2C bus at hz: a bit is four
// samples, and with a clock set every SCL phase lasts two samples at the
// least, which must cover the shortest SCL low and high time of the mode hz
// falls in (standard up to 100 kHz: 4.7 / 4.0 us; fast up to 400 kHz:
// 1.3 / 0.6 us; fast-plus: 0.5 / 0.26 us). Fast mode's low time is the one
// the even four-sample bit cannot give at its top rate: 400 kHz runs at 385.
uint64_t i2cSamplePs(uint32_t hz) {
    const uint64_t lowPs = hz <= 100000 ? 4700000 : hz <= 400000 ? 1300000 : 500000;
    const uint64_t highPs = hz <= 100000 ? 4000000 : hz <= 400000 ? 600000 : 260000;
    const uint64_t bitPs = (kPsPerSecond + hz - 1) / hz;
    return std::max({(bitPs + kI2CSamplesPerBit - 1) / kI2CSamplesPerBit, lowPs / 2, highPs / 2});
}

// The baud rate a transaction on the descriptor runs at: the one its clock
// picks, or the device's current one; nullopt for a device setupFTDIdev did
// not open and a descriptor without a clock. The caller holds the device's session.
std::optional<uint32_t> transactionBaud(FT_HANDLE dev, const PROT_DES& prot) {
    if (prot.clockHz == 0) return qz::rememberedBaudRate(dev);
    return qz::baudForClock(prot, prot.clockHz, qz::sampleMultiplier(dev));
}
}  // namespace

uint32_t qz::baudForClock(const PROT_DES& prot, uint32_t hz, uint32_t multiplier) {
    hz = std::max(hz, 1u);
    // An I2C clock also keeps the SCL phases its bus mode asks for.
    const Protocol& protocol = protocolOf(prot);
    const uint64_t samplesPerSecond = &protocol == &kI2CProtocol
                                          ? kPsPerSecond / i2cSamplePs(hz)
                                          : uint64_t{hz} * protocol.samplesPerBit;
    const uint64_t baud = samplesPerSecond / std::max(multiplier, 1u);
    return static_cast<uint32_t>(std::clamp<uint64_t>(baud, kSlowestBaud, kFastestBaud));
}

qz::Outcome qz::beginTransaction(FT_HANDLE dev, const PROT_DES& prot) {
    // In low-latency mode a transaction that ended well left both queues
    // empty (it fetched all its read-back): no purge then.
    const std::optional<LinkTuning> tuning = lowLatency(dev);
    if (!tuning || !tuning->queueEmpty)
        if (Outcome purged = purgeDevice(dev); !purged.ok()) return purged;
    if (prot.clockHz == 0) return Outcome::success();
    const uint32_t baud = *transactionBaud(dev, prot);
    if (rememberedBaudRate(dev) == baud) return Outcome::success();
    if (const FT_STATUS s = FT_SetBaudRate(dev, baud); s != FT_OK) return Outcome::driver(s);
    rememberBaudRate(dev, baud);
    return Outcome::success();
}

extern "C" {

// Opens a device by serial number at a baud rate. Returns 0 and the handle in
// *inHandle, or the failing driver status (nothing stored; a device that
// refused its baud rate is closed again).
int32_t setupFTDIdev(void** inHandle, const char* serial, uint32_t baudRate) {
    if (!inHandle || !serial) return FT_INVALID_PARAMETER;
    FT_HANDLE handle = nullptr;
    FT_STATUS status = FT_OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &handle);
    if (status != FT_OK) {
        qz::sayf(QZ_MESSAGE_ERROR, "FTDI Error, Cannot open Serial %s\n", serial);
        return static_cast<int32_t>(status);
    }
    status = FT_SetBaudRate(handle, baudRate);
    if (status != FT_OK) {
        qz::say(QZ_MESSAGE_ERROR, "FTDI Error, invalid Baudrate\n");
        FT_Close(handle);
        return static_cast<int32_t>(status);
    }
    // Without a record (no memory left) the device still works: no lock of
    // its own, and the wait bound of the slowest baud rate.
    qz::rememberDevice(handle, baudRate);
    *inHandle = handle;
    return 0;
}

// Closes the device once a transaction running on it has finished; returns
// FT_Close's status.
int32_t closeFTDI(void* dev) { return static_cast<int32_t>(qz::closeRememberedDevice(dev)); }

// QZ_OK and the bus clock in *hz; QZ_BAD_ARGUMENT for a null hz, a handle
// that is not a live descriptor, or a device setupFTDIdev did not open.
int32_t qz_getWireClock(void* dev, PROT_HANDLE prot, uint32_t* hz) {
    if (!hz) return QZ_BAD_ARGUMENT;
    const auto des = qz::copyDescriptor(prot);
    if (!des || !qz::rememberedBaudRate(dev)) return QZ_BAD_ARGUMENT;
    qz::DeviceSession session(dev);
    const uint64_t samplesPerSecond = uint64_t{*transactionBaud(dev, *des)} * qz::sampleMultiplier(dev);
    *hz = static_cast<uint32_t>(samplesPerSecond / qz::protocolOf(*des).samplesPerBit);
    return QZ_OK;
}

}  // extern "C"

// ---- USB latency timer ------------------------------------------------------
// The chip sends a part-filled packet of read-back only when this timer
// expires, so it bounds every short transaction. D2XX takes 2 to 255 ms; a
// driver without the operation answers FT_NOT_SUPPORTED.
namespace {
constexpr uint8_t kMinLatencyMs = 2;
}  // namespace

extern "C" {

// QZ_OK; QZ_BAD_ARGUMENT (no driver call) below 2 ms; the driver's refusal.
int32_t qz_setLatencyTimer(void* dev, uint8_t ms, QZ_RESULT* detail) {
    if (ms < kMinLatencyMs) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    const qz::DeviceSession session(dev);
    const FT_STATUS status = FT_SetLatencyTimer(dev, ms);
    return qz::report(status == FT_OK ? qz::Outcome::success() : qz::Outcome::driver(status), detail);
}

// QZ_OK and the timer in *ms; QZ_BAD_ARGUMENT for a null ms; the driver's refusal.
int32_t qz_getLatencyTimer(void* dev, uint8_t* ms, QZ_RESULT* detail) {
    if (!ms) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    const qz::DeviceSession session(dev);
    uint8_t timer = 0;
    const FT_STATUS status = FT_GetLatencyTimer(dev, &timer);
    if (status != FT_OK) return qz::report(qz::Outcome::driver(status), detail);
    *ms = timer;
    return qz::report(qz::Outcome::success(), detail);
}

// 0, or -1 below 2 ms or when the driver refuses or lacks the operation.
int32_t setLatencyTimer(void* dev, uint8_t ms) {
    return qz_setLatencyTimer(dev, ms, nullptr) == QZ_OK ? 0 : -1;
}

// The timer in ms, or -1 when the driver refuses or lacks the operation.
int32_t getLatencyTimer(void* dev) {
    uint8_t ms = 0;
    return qz_getLatencyTimer(dev, &ms, nullptr) == QZ_OK ? ms : -1;
}

}  // extern "C"

// ---- Low-latency mode ---------------------------------------------------------
// With the default 4096-byte IN transfer size the driver sees read-back only
// when a request fills or the chip's latency timer ends it with a short
// packet: every small transaction waits one latency period (16 ms by
// default). With a transfer size of one packet every full packet completes
// a request at once; the transport pads each stream to whole packets, so no
// part-filled packet is left for the timer. The timer goes to 2 ms: the bound
// for the rare transaction that a timer expiry splits (its tail then waits
// for the next expiry).
namespace {
constexpr uint32_t kDefaultTransferSize = 4096;
constexpr uint32_t kFullSpeedPacket = 64;
constexpr uint32_t kHighSpeedPacket = 512;
constexpr uint8_t kLowLatencyTimerMs = 2;

qz::Outcome driverOutcome(FT_STATUS status) {
    return status == FT_OK ? qz::Outcome::success() : qz::Outcome::driver(status);
}

// Turns the mode on (the caller holds the session): one-packet IN requests,
// then the 2 ms timer, remembering the timer it replaces. On a failure the
// transfer size goes back and nothing else has changed.
qz::Outcome lowLatencyOn(FT_HANDLE dev) {
    const uint32_t data = qz::packetData(dev);
    const uint32_t packet = data + 2 == kHighSpeedPacket ? kHighSpeedPacket : kFullSpeedPacket;
    if (const FT_STATUS s = FT_SetUSBParameters(dev, packet, kDefaultTransferSize); s != FT_OK)
        return qz::Outcome::driver(s);
    qz::LinkTuning tuning;
    tuning.packetData = data;
    if (uint8_t ms = 0; FT_GetLatencyTimer(dev, &ms) == FT_OK) tuning.previousLatency = ms;
    if (const FT_STATUS s = FT_SetLatencyTimer(dev, kLowLatencyTimerMs); s != FT_OK) {
        FT_SetUSBParameters(dev, kDefaultTransferSize, kDefaultTransferSize);
        return qz::Outcome::driver(s);
    }
    qz::setLowLatencyState(dev, tuning);
    return qz::Outcome::success();
}

// Turns the mode off (the caller holds the session): the default transfer
// size and the timer that was in force before. The mode is off afterwards
// even when the driver refuses (its failure is returned).
qz::Outcome lowLatencyOff(FT_HANDLE dev, const qz::LinkTuning& tuning) {
    qz::setLowLatencyState(dev, qz::LinkTuning{});
    const qz::Outcome sized =
        driverOutcome(FT_SetUSBParameters(dev, kDefaultTransferSize, kDefaultTransferSize));
    if (!tuning.previousLatency) return sized;
    const qz::Outcome timed = driverOutcome(FT_SetLatencyTimer(dev, *tuning.previousLatency));
    return sized.ok() ? timed : sized;
}
}  // namespace

extern "C" {

// QZ_OK; QZ_BAD_ARGUMENT for a handle setupFTDIdev did not open; the
// driver's refusal (FT_NOT_SUPPORTED from a driver without FT_SetUSBParameters:
// then nothing changed).
int32_t qz_setLowLatency(void* dev, int32_t on, QZ_RESULT* detail) {
    const qz::DeviceSession session(dev);
    if (!qz::rememberedBaudRate(dev)) return qz::report(qz::Outcome::of(QZ_BAD_ARGUMENT), detail);
    const std::optional<qz::LinkTuning> tuning = qz::lowLatency(dev);
    if ((on != 0) == tuning.has_value()) return qz::report(qz::Outcome::success(), detail);
    return qz::report(on != 0 ? lowLatencyOn(dev) : lowLatencyOff(dev, *tuning), detail);
}

// 0, or -1 for a bad handle or a driver that refuses (nothing changed).
int32_t setLowLatency(void* dev, int32_t on) {
    return qz_setLowLatency(dev, on, nullptr) == QZ_OK ? 0 : -1;
}

// 1 (on), 0 (off), or -1 for a handle setupFTDIdev did not open.
int32_t getLowLatency(void* dev) {
    const qz::DeviceSession session(dev);
    if (!qz::rememberedBaudRate(dev)) return -1;
    return qz::lowLatency(dev) ? 1 : 0;
}

}  // extern "C"
