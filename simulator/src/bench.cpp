#include "qzsim/bench.hpp"

#include "ftd2xx.h"
#include "progress_guard.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace qzsim {

const char* opName(Op op) {
    static const char* const names[kOpCount] = {
        "ListDevices", "CreateDeviceInfoList", "GetDeviceInfoDetail", "OpenEx",
        "SetBaudRate", "SetBitMode",           "Purge",               "Write",
        "GetQueueStatus", "Read",              "Close",               "SetLatencyTimer",
        "GetLatencyTimer"};
    const auto i = static_cast<unsigned>(op);
    return i < kOpCount ? names[i] : "?";
}

InputSource::InputSource(PinDrive constant) : mask_(constant.mask), levels_{constant.level} {}

InputSource::InputSource(uint8_t mask, std::vector<uint8_t> levelsPerSample)
    : mask_(mask), levels_(std::move(levelsPerSample)) {
    if (levels_.empty()) levels_.push_back(0xFF);
}

PinDrive InputSource::onSample(uint8_t) {
    const uint8_t level = levels_[std::min(next_, levels_.size() - 1)];
    if (next_ < levels_.size()) ++next_;
    return {mask_, level};
}

uint32_t RegisterFile::read(uint32_t reg) const {
    const auto it = cells.find(reg);
    return it == cells.end() ? fill : it->second;
}

// ---------------------------------------------------------------------------
// Device

namespace {
// Baud rates below this are refused by the chip's divisor.
constexpr uint32_t kMinBaud = 183;

// Empties a read-back queue and gives its memory back: the chip's FIFO holds
// what the host has not read yet, not what the largest transfer once needed.
void releaseQueue(std::vector<uint8_t>& queue) { std::vector<uint8_t>().swap(queue); }

// The latency timer holds 1 to 255 ms.
uint8_t clampLatency(uint32_t ms) { return static_cast<uint8_t>(std::clamp<uint32_t>(ms, 1, 255)); }

std::optional<uint32_t> takeFailure(std::multimap<std::pair<unsigned, uint64_t>, uint32_t>& plan,
                                    unsigned op, uint64_t call) {
    const auto it = plan.find({op, call});
    if (it == plan.end()) return std::nullopt;
    const uint32_t status = it->second;
    plan.erase(it);
    return status;
}
}  // namespace

Device::Device(DeviceInfo info) : info_(std::move(info)), latencyMs_(clampLatency(info_.profile.latencyMs)) {
    for (unsigned pin = 0; pin < 8; ++pin) pinNames_[pin] = {'D', static_cast<char>('0' + pin)};
}

void Device::setReadbackLag(unsigned lag) {
    if (lag > 2) throw std::invalid_argument("read-back lag is 0, 1 or 2 samples");
    lag_ = lag;
}

// A named chip also lists as that chip (type, USB ID, and the default
// description); a custom one keeps what the device listed as.
void Device::setProfile(const ChipProfile& profile) {
    if (profile.name != "custom") {
        if (info_.description == "QZ simulated " + info_.profile.name)
            info_.description = "QZ simulated " + profile.name;
        info_.type = profile.deviceType;
        info_.id = profile.usbId;
    }
    info_.profile = profile;
    latencyMs_ = clampLatency(profile.latencyMs);
    running_ = false;  // the sample clock changes now
}

void Device::setTimed(bool timed) {
    if (timed == timed_) return;
    if (timed) {
        // Whatever the untimed chip queued is already in the driver's buffer.
        inDriver_ = rx_.size() - rxHead_;
        polled_ = 0;
        lastPacketNs_ = now_;
        running_ = false;
    } else {
        // Back to an instant chip: what waits in the FIFOs happens now.
        timed_ = false;
        clockSamples(inputCount());
        inFifo_.clear();
        inHead_ = 0;
        inDriver_ = 0;
    }
    timed_ = timed;
}

void Device::setDriverBuffer(uint32_t bytes) { driverBuffer_ = std::max<uint32_t>(bytes, 1); }

void Device::unplugAtCall(uint32_t nth) { unplugCall_ = totalCalls_ + std::max<uint32_t>(nth, 1); }
void Device::unplugAtTime(uint64_t ns) { unplugNs_ = ns; }

void Device::attach(std::shared_ptr<Peripheral> peripheral) {
    peripherals_.push_back(std::move(peripheral));
    drives_.push_back({});
}

void Device::detachAll() {
    peripherals_.clear();
    drives_.clear();
}

void Device::setPinName(unsigned pin, const std::string& name) {
    if (pin >= 8) throw std::invalid_argument("pins are 0 to 7");
    if (std::any_of(name.begin(), name.end(), [](unsigned char c) { return std::isspace(c) != 0; }))
        throw std::invalid_argument("pin names hold no whitespace");
    pinNames_[pin] = name;
}

std::string Device::pinName(unsigned pin) const { return pin < 8 ? pinNames_[pin] : std::string(); }

void Device::failNthCall(Op op, uint32_t nth, uint32_t status) {
    const auto i = static_cast<unsigned>(op);
    failAt_.insert({{i, calls_[i] + std::max<uint32_t>(nth, 1)}, status});
}

void Device::setShortWrite(std::optional<uint32_t> maxBytesPerWrite) { shortWrite_ = maxBytesPerWrite; }
void Device::setReadbackDrip(std::optional<uint32_t> bytesPerPoll) { drip_ = bytesPerPoll; }
void Device::setReadbackStall(std::optional<uint32_t> bytesBeforeStall) {
    stallBudget_ = bytesBeforeStall;
}

void Device::clearFaults() {
    failAt_.clear();
    shortWrite_.reset();
    drip_.reset();
    stallBudget_.reset();
}

void Device::resetCallCounts() {
    failAt_.clear();
    std::fill(std::begin(calls_), std::end(calls_), 0);
}

std::optional<uint32_t> Device::enter(Op op) {
    const auto i = static_cast<unsigned>(op);
    ++calls_[i];
    ++totalCalls_;
    if ((unplugCall_ && totalCalls_ >= *unplugCall_) || (unplugNs_ && now_ >= *unplugNs_))
        unplugged_ = true;
    return takeFailure(failAt_, i, calls_[i]);
}

// ---- the wire trace: a ring of the most recent samples ----

void Device::record(const TraceSample& sample) {
    if (traceLimit_ == 0) return;
    if (ring_.size() < traceLimit_) {
        // Grow by doubling, but never past the limit.
        if (ring_.size() == ring_.capacity())
            ring_.reserve(std::min(traceLimit_, std::max<std::size_t>(1024, 2 * ring_.size())));
        ring_.push_back(sample);
        return;
    }
    ring_[ringNext_] = sample;
    ringNext_ = ringNext_ + 1 == ring_.size() ? 0 : ringNext_ + 1;
    ++traceDropped_;
}

std::vector<TraceSample> Device::trace() const {
    std::vector<TraceSample> out;
    out.reserve(ring_.size());
    const auto split = ring_.begin() + static_cast<std::ptrdiff_t>(ringNext_);
    out.insert(out.end(), split, ring_.end());
    out.insert(out.end(), ring_.begin(), split);
    return out;
}

void Device::clearTrace() {
    std::vector<TraceSample>().swap(ring_);
    ringNext_ = 0;
    traceDropped_ = 0;
}

void Device::setTraceLimit(std::size_t samples) {
    std::vector<TraceSample> kept = trace();
    if (kept.size() > samples) {
        traceDropped_ += kept.size() - samples;
        kept.erase(kept.begin(), kept.end() - static_cast<std::ptrdiff_t>(samples));
    }
    kept.shrink_to_fit();
    ring_ = std::move(kept);
    ringNext_ = 0;
    traceLimit_ = samples;
}

// ---- the driver side ----

void Device::dropQueues() {
    releaseQueue(rx_);
    rxHead_ = revealed_ = polled_ = inDriver_ = 0;
    releaseQueue(inFifo_);
    inHead_ = 0;
    running_ = false;
    lastPacketNs_ = now_;
}

uint32_t Device::open() {
    if (open_) return FT_DEVICE_NOT_OPENED;  // the driver refuses a second open
    open_ = true;
    latencyMs_ = clampLatency(info_.profile.latencyMs);
    bitMode_ = FT_BITMODE_RESET;
    mask_ = 0;
    latch_ = 0;
    dropQueues();
    settle();
    return FT_OK;
}

void Device::close() {
    open_ = false;
    bitMode_ = FT_BITMODE_RESET;
    mask_ = 0;
    settle();
    dropQueues();
}

uint32_t Device::setBaudRate(uint32_t baud) {
    if (baud < kMinBaud || baud > info_.maxBaud) return FT_INVALID_BAUD_RATE;
    baud_ = baud;
    running_ = false;  // a control request: the new sample clock runs from now
    return FT_OK;
}

uint32_t Device::setBitMode(uint8_t mask, uint8_t mode) {
    bitMode_ = mode;
    mask_ = mask;
    // The pins change as soon as the mode is set: outputs drive the latch.
    settle();
    return FT_OK;
}

// A mode change or an open is long ago, in sample periods, by the time the
// next write starts: the read-back pipeline holds the new steady levels only.
void Device::settle() {
    const uint8_t levels = applySample(latch_);
    std::fill(std::begin(history_), std::end(history_), levels);
}

// One sample period: the chip applies `written` to its outputs, the
// peripherals react, and the resolved levels become the newest history entry.
uint8_t Device::applySample(uint8_t written) {
    const bool bitbang = bitMode_ == FT_BITMODE_SYNC_BITBANG || bitMode_ == FT_BITMODE_ASYNC_BITBANG;
    const uint8_t outputs = bitbang ? mask_ : 0;
    // Inputs float up to the pull-ups; outputs show the written level.
    const uint8_t base = static_cast<uint8_t>((written & outputs) | static_cast<uint8_t>(~outputs));

    auto resolve = [&](const std::vector<PinDrive>& drives) {
        uint8_t low = 0;   // pins some peripheral drives low
        uint8_t high = 0;  // input pins some peripheral drives high
        for (const PinDrive& d : drives) {
            low |= static_cast<uint8_t>(d.mask & ~d.level);
            high |= static_cast<uint8_t>(d.mask & d.level & ~outputs);
        }
        return static_cast<uint8_t>((base | high) & ~low);
    };

    const uint8_t seen = resolve(drives_);
    for (std::size_t i = 0; i < peripherals_.size(); ++i) drives_[i] = peripherals_[i]->onSample(seen);
    const uint8_t levels = resolve(drives_);

    history_[2] = history_[1];
    history_[1] = history_[0];
    history_[0] = levels;
    return levels;
}

// One written byte reaches the pins: synchronous bit-bang samples the pins
// before applying it, so with lag L its read-back shows the levels L samples
// ago. Returns that read-back byte (meaningful in synchronous mode only).
uint8_t Device::clockSample(uint8_t written, bool sync) {
    const uint8_t sampled = history_[lag_ == 0 ? 0 : lag_ - 1];
    latch_ = written;
    const uint8_t levels = applySample(written);
    const uint8_t readback = lag_ == 0 ? levels : sampled;
    record({written, mask_, levels, sync ? readback : uint8_t{0}});
    return readback;
}

void Device::queueReadback(uint8_t byte) {
    if (stallBudget_) {
        if (*stallBudget_ == 0) return;  // this byte never reaches the host
        --*stallBudget_;
    }
    rx_.push_back(byte);
}

uint32_t Device::write(const uint8_t* bytes, uint32_t count, uint32_t* written) {
    if (!written || (count > 0 && !bytes)) return FT_INVALID_PARAMETER;
    if (timed_) return writeTimed(bytes, count, written);
    const uint32_t take = shortWrite_ ? std::min(count, *shortWrite_) : count;
    const bool sync = bitMode_ == FT_BITMODE_SYNC_BITBANG;
    // Room for the whole write's read-back at once, rather than growing by
    // doubling (which can hold twice the bytes, and three times while moving).
    const std::size_t needed = rx_.size() + take;
    if (sync && needed > rx_.capacity()) rx_.reserve(std::max(needed, 2 * rx_.size()));
    for (uint32_t i = 0; i < take; ++i) {
        const uint8_t readback = clockSample(bytes[i], sync);
        if (sync) queueReadback(readback);
    }
    *written = take;
    return FT_OK;
}

uint32_t Device::purge(uint32_t mask) {
    if (mask & FT_PURGE_RX) {
        // The driver's buffer and the chip's to-host FIFO.
        releaseQueue(rx_);
        rxHead_ = revealed_ = polled_ = inDriver_ = 0;
    }
    if (mask & FT_PURGE_TX) {
        // What the chip had not clocked out yet.
        releaseQueue(inFifo_);
        inHead_ = 0;
    }
    return FT_OK;
}

uint32_t Device::queueStatus(uint32_t* rxBytes) {
    if (!rxBytes) return FT_INVALID_PARAMETER;
    std::size_t queued = rx_.size() - rxHead_;
    if (timed_) {
        // Polling again for the same count: the caller is waiting, so the
        // clock moves on to the next packet (if one can come at all).
        const std::size_t toHost = toHostCount();
        const bool canArrive =
            chipCanTake() > 0 ||
            (toHost > 0 && driverRoom() >= std::min<std::size_t>(toHost, profile().packetData()));
        if (inDriver_ <= polled_ && canArrive)
            advance(now_ + uint64_t{readTimeoutMs_} * kNsPerMs, Goal::DriverGrows, inDriver_);
        if (unplugged_) return FT_IO_ERROR;
        polled_ = inDriver_;
        queued = inDriver_;
    }
    if (drip_) revealed_ = std::min(queued, revealed_ + *drip_);
    else revealed_ = queued;
    *rxBytes = static_cast<uint32_t>(revealed_);
    return FT_OK;
}

uint32_t Device::read(uint8_t* buffer, uint32_t count, uint32_t* got) {
    if (!got || (count > 0 && !buffer)) return FT_INVALID_PARAMETER;
    if (timed_) return readTimed(buffer, count, got);
    // The driver waits for the bytes; those that will never come end the read
    // short, as a read timeout does.
    const std::size_t queued = rx_.size() - rxHead_;
    const uint32_t take = static_cast<uint32_t>(std::min<std::size_t>(count, queued));
    std::copy_n(rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_), take, buffer);
    rxHead_ += take;
    revealed_ = revealed_ > take ? revealed_ - take : 0;
    if (rxHead_ == rx_.size()) {
        releaseQueue(rx_);
        rxHead_ = 0;
    }
    *got = take;
    return FT_OK;
}

uint32_t Device::setLatencyTimer(uint8_t ms) {
    if (ms < 2) return FT_INVALID_PARAMETER;
    latencyMs_ = ms;
    return FT_OK;
}

uint32_t Device::latencyTimer(uint8_t* ms) const {
    if (!ms) return FT_INVALID_PARAMETER;
    *ms = latencyMs_;
    return FT_OK;
}

// ---------------------------------------------------------------------------
// Device: the timed model. The clock moves only inside driver calls, from
// event to event: a run of samples up to the next full packet (or the chip's
// stall, or the caller's goal), a latency timer expiry, the end of a wait.
// Samples inside a run are timed with exact integer arithmetic: sample k of a
// run that began at t0 ends at t0 + ceil(k * 10^9 / rate) ns.

namespace {
// Samples clocked in one step at most, so that a lossy chip streaming into a
// full buffer still returns to the event loop now and then.
constexpr uint64_t kMaxStep = uint64_t{1} << 20;
// Consumed read-back is cut from the front of the queue past this size.
constexpr std::size_t kCompactBytes = std::size_t{1} << 16;
}  // namespace

void Device::restartRun() {
    running_ = true;
    runStartNs_ = now_;
    runDone_ = 0;
}

uint64_t Device::runEndNs(uint64_t samples) const {
    const uint64_t rate = sampleRate();
    return runStartNs_ + (samples * kNsPerS + rate - 1) / rate;
}

uint64_t Device::runSamplesBy(uint64_t ns) const {
    return ns <= runStartNs_ ? 0 : (ns - runStartNs_) * sampleRate() / kNsPerS;
}

// Samples the chip can clock before something else must happen: it needs
// written bytes, and (synchronous mode, not lossy) room in its to-host FIFO
// for each read-back byte; a step also ends where a full packet can leave.
uint64_t Device::chipCanTake() const {
    uint64_t n = inputCount();
    if (n == 0) return 0;
    if (bitMode_ != FT_BITMODE_SYNC_BITBANG) return std::min(n, kMaxStep);
    const std::size_t toHost = toHostCount();
    const std::size_t packet = profile().packetData();
    if (!lossy_) {
        const std::size_t fifo = profile().fifoToHost;
        if (toHost >= fifo) return 0;  // stalled: the chip does not drop samples
        n = std::min<uint64_t>(n, fifo - toHost);
    }
    if (toHost < packet && driverRoom() >= packet) n = std::min<uint64_t>(n, packet - toHost);
    return std::min(n, kMaxStep);
}

// Clocks `count` written bytes out of the from-host FIFO (then out of the
// write in progress) onto the pins.
void Device::clockSamples(uint64_t count) {
    const bool sync = bitMode_ == FT_BITMODE_SYNC_BITBANG;
    const std::size_t fifo = profile().fifoToHost;
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t byte;
        if (inHead_ < inFifo_.size()) byte = inFifo_[inHead_++];
        else byte = pending_[pendingTaken_++];
        const uint8_t readback = clockSample(byte, sync);
        if (!sync) continue;
        if (lossy_ && timed_ && toHostCount() >= fifo) ++dropped_;  // no room: the byte is lost
        else queueReadback(readback);
    }
    if (inHead_ == inFifo_.size()) {
        inFifo_.clear();
        inHead_ = 0;
    }
}

// Full packets leave at once while the driver has room for them.
void Device::sendFullPackets() {
    const std::size_t packet = profile().packetData();
    while (toHostCount() >= packet && driverRoom() >= packet) {
        inDriver_ += packet;
        lastPacketNs_ = now_;
    }
}

// The latency timer expired: what the to-host FIFO holds (up to a packet)
// leaves if the driver has room for it, and the timer starts again (it also
// does when there was nothing to send: the chip sends a status-only packet).
void Device::latencyExpired() {
    lastPacketNs_ = now_;
    const std::size_t size = std::min<std::size_t>(toHostCount(), profile().packetData());
    if (size > 0 && driverRoom() >= size) inDriver_ += size;
}

bool Device::reached(Goal goal, std::size_t target) const {
    switch (goal) {
        case Goal::WriteFits: return inputCount() <= profile().fifoFromHost;
        case Goal::DriverHolds: return inDriver_ >= target;
        case Goal::DriverGrows: return inDriver_ > target;
        case Goal::None: break;
    }
    return false;
}

// Runs the chip, USB and the driver from now to `until` at most, stopping as
// soon as `goal` is reached (true) or the device is unplugged.
bool Device::advance(uint64_t until, Goal goal, std::size_t target) {
    if (unplugNs_) until = std::min(until, std::max(*unplugNs_, now_));
    ProgressGuard guard("the timed chip's event loop");
    for (;;) {
        if (!guard.moving(now_, lastPacketNs_, inDriver_, rx_.size(), inHead_, pendingTaken_)) break;
        sendFullPackets();
        if (reached(goal, target)) return true;
        if (now_ >= until) break;
        const uint64_t expiry = std::max(lastPacketNs_ + latencyNs(), now_);
        uint64_t next = std::min(until, expiry);
        uint64_t n = chipCanTake();
        if (goal == Goal::WriteFits) n = std::min<uint64_t>(n, inputCount() - profile().fifoFromHost);
        if (n > 0) {
            if (!running_) restartRun();
            const uint64_t end = runEndNs(runDone_ + n);
            uint64_t done = n;
            if (end > next) done = runSamplesBy(next) - runDone_;
            else next = end;
            clockSamples(done);
            runDone_ += done;
            // Whole seconds of samples fold into the start, keeping the
            // products above far from overflowing.
            const uint64_t rate = sampleRate();
            if (runDone_ >= rate) {
                runStartNs_ += runDone_ / rate * kNsPerS;
                runDone_ %= rate;
            }
        } else {
            running_ = false;
            const std::size_t waiting = std::min<std::size_t>(toHostCount(), profile().packetData());
            if (waiting == 0 || driverRoom() < waiting) {
                // Nothing can change before `until`: only empty timer periods pass.
                const uint64_t period = latencyNs();
                if (until >= lastPacketNs_ + period)
                    lastPacketNs_ += (until - lastPacketNs_) / period * period;
                now_ = until;
                continue;
            }
        }
        now_ = next;
        if (now_ >= expiry) latencyExpired();
    }
    if (unplugNs_ && now_ >= *unplugNs_) unplugged_ = true;
    return reached(goal, target);
}

// FT_Write on the timed chip: returns once the last byte is in the from-host
// FIFO; short (a stall) when the write timeout passes first.
uint32_t Device::writeTimed(const uint8_t* bytes, uint32_t count, uint32_t* written) {
    *written = 0;
    if (unplugged_) return FT_IO_ERROR;
    const uint32_t take = shortWrite_ ? std::min(count, *shortWrite_) : count;
    pending_ = bytes;
    pendingLen_ = take;
    pendingTaken_ = 0;
    advance(now_ + uint64_t{writeTimeoutMs_} * kNsPerMs, Goal::WriteFits, 0);
    // What fits the FIFO enters it; the rest is never sent.
    const std::size_t queued = inFifo_.size() - inHead_;
    const std::size_t room = profile().fifoFromHost > queued ? profile().fifoFromHost - queued : 0;
    const std::size_t moved = std::min(pendingLen_ - pendingTaken_, room);
    inFifo_.erase(inFifo_.begin(), inFifo_.begin() + static_cast<std::ptrdiff_t>(inHead_));
    inHead_ = 0;
    inFifo_.insert(inFifo_.end(), bytes + pendingTaken_, bytes + pendingTaken_ + moved);
    const std::size_t accepted = pendingTaken_ + moved;
    pending_ = nullptr;
    pendingLen_ = pendingTaken_ = 0;
    *written = static_cast<uint32_t>(accepted);
    if (unplugged_) return FT_IO_ERROR;
    if (accepted < take) ++stalls_;
    return FT_OK;
}

// FT_Read on the timed chip: waits for `count` bytes up to the read timeout,
// then returns what has arrived (FT_OK, short).
uint32_t Device::readTimed(uint8_t* buffer, uint32_t count, uint32_t* got) {
    *got = 0;
    if (inDriver_ < count) advance(now_ + uint64_t{readTimeoutMs_} * kNsPerMs, Goal::DriverHolds, count);
    if (unplugged_) return FT_IO_ERROR;
    const std::size_t take = std::min<std::size_t>(count, inDriver_);
    std::copy_n(rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_), take, buffer);
    rxHead_ += take;
    inDriver_ -= take;
    revealed_ = revealed_ > take ? revealed_ - take : 0;
    polled_ = polled_ > take ? polled_ - take : 0;
    if (rxHead_ == rx_.size()) {
        releaseQueue(rx_);
        rxHead_ = 0;
    } else if (rxHead_ >= kCompactBytes && rxHead_ * 2 >= rx_.size()) {
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_));
        rxHead_ = 0;
    }
    *got = static_cast<uint32_t>(take);
    return FT_OK;
}

// ---------------------------------------------------------------------------
// Bench

Bench& Bench::instance() {
    static Bench bench;
    return bench;
}

Device& Bench::add(DeviceInfo info) {
    if (info.serial.empty() || info.serial.size() > 15)
        throw std::invalid_argument("serial numbers have 1 to 15 characters");
    std::unique_lock lock(mutex_);
    for (const auto& d : devices_)
        if (d->info().serial == info.serial)
            throw std::invalid_argument("serial number already on the bench");
    if (info.locId == 0) info.locId = nextLocId_++;
    devices_.push_back(std::make_shared<Device>(std::move(info)));
    return *devices_.back();
}

bool Bench::remove(const std::string& serial) {
    std::unique_lock lock(mutex_);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const auto& d) { return d->info().serial == serial; });
    if (it == devices_.end()) return false;
    for (auto& [token, device] : handles_)
        if (device == *it) device.reset();
    devices_.erase(it);
    return true;
}

std::optional<Bench::Taken> Bench::take(const std::string& serial) {
    std::unique_lock lock(mutex_);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const auto& d) { return d->info().serial == serial; });
    if (it == devices_.end()) return std::nullopt;
    Taken taken{*it, static_cast<std::size_t>(it - devices_.begin())};
    devices_.erase(it);
    return taken;
}

void Bench::putBack(const Taken& taken) {
    std::unique_lock lock(mutex_);
    const std::size_t at = std::min(taken.index, devices_.size());
    devices_.insert(devices_.begin() + static_cast<std::ptrdiff_t>(at), taken.device);
}

void Bench::retire(const Taken& taken) {
    std::unique_lock lock(mutex_);
    for (auto& [token, device] : handles_)
        if (device == taken.device) device.reset();
}

void Bench::clear() {
    std::unique_lock lock(mutex_);
    for (auto& [token, device] : handles_) device.reset();
    devices_.clear();
    infoList_.clear();
    failAt_.clear();
    std::fill(std::begin(calls_), std::end(calls_), 0);
    chips_.clear();
}

Device* Bench::find(const std::string& serial) { return share(serial).get(); }

std::shared_ptr<Device> Bench::share(const std::string& serial) {
    std::shared_lock lock(mutex_);
    for (auto& d : devices_)
        if (d->info().serial == serial) return d;
    return nullptr;
}

std::vector<Device*> Bench::devices() {
    std::shared_lock lock(mutex_);
    std::vector<Device*> out;
    for (auto& d : devices_) out.push_back(d.get());
    return out;
}

std::vector<std::shared_ptr<Device>> Bench::plugged() {
    std::shared_lock lock(mutex_);
    std::vector<std::shared_ptr<Device>> out;
    for (auto& d : devices_)
        if (!d->unplugged()) out.push_back(d);
    return out;
}

void Bench::failNthCall(Op op, uint32_t nth, uint32_t status) {
    std::unique_lock lock(mutex_);
    const auto i = static_cast<unsigned>(op);
    failAt_.insert({{i, calls_[i] + std::max<uint32_t>(nth, 1)}, status});
}

uint64_t Bench::calls(Op op) const {
    std::shared_lock lock(mutex_);
    return calls_[static_cast<unsigned>(op)];
}

std::optional<uint32_t> Bench::enter(Op op) {
    std::unique_lock lock(mutex_);
    const auto i = static_cast<unsigned>(op);
    ++calls_[i];
    return takeFailure(failAt_, i, calls_[i]);
}

void* Bench::openHandle(std::shared_ptr<Device> device) {
    std::unique_lock lock(mutex_);
    const uintptr_t token = nextHandle_;
    nextHandle_ += 0x10;
    handles_[token] = std::move(device);
    return reinterpret_cast<void*>(token);
}

std::shared_ptr<Device> Bench::lookup(void* handle, bool* unplugged) {
    if (unplugged) *unplugged = false;
    std::shared_lock lock(mutex_);
    const auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end()) return nullptr;
    if (!it->second && unplugged) *unplugged = true;
    return it->second;
}

void Bench::closeHandle(void* handle) {
    std::unique_lock lock(mutex_);
    handles_.erase(reinterpret_cast<uintptr_t>(handle));
}

std::size_t Bench::snapshotInfo() {
    std::unique_lock lock(mutex_);
    infoList_.clear();
    for (const auto& d : devices_)
        if (!d->unplugged()) infoList_.push_back({d->info(), d->isOpen()});
    return infoList_.size();
}

std::optional<Bench::InfoEntry> Bench::infoEntry(std::size_t index) {
    std::shared_lock lock(mutex_);
    if (index >= infoList_.size()) return std::nullopt;
    return infoList_[index];
}

int32_t Bench::adoptChip(std::shared_ptr<RegisterChip> chip) {
    std::unique_lock lock(mutex_);
    chips_.push_back(std::move(chip));
    return static_cast<int32_t>(chips_.size() - 1);
}

RegisterChip* Bench::chip(int32_t id) {
    std::shared_lock lock(mutex_);
    if (id < 0 || static_cast<std::size_t>(id) >= chips_.size()) return nullptr;
    return chips_[static_cast<std::size_t>(id)].get();
}

}  // namespace qzsim
