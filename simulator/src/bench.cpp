#include "qzsim/bench.hpp"

#include "ftd2xx.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace qzsim {

const char* opName(Op op) {
    static const char* const names[kOpCount] = {
        "ListDevices", "CreateDeviceInfoList", "GetDeviceInfoDetail", "OpenEx",
        "SetBaudRate", "SetBitMode",           "Purge",               "Write",
        "GetQueueStatus", "Read",              "Close",               "SetLatencyTimer",
        "GetLatencyTimer", "SetUSBParameters"};
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

PinDrive Jumper::onSample(uint8_t levels) {
    const uint8_t bit = static_cast<uint8_t>(1u << to_);
    return {bit, ((levels >> from_) & 1u) ? bit : uint8_t{0}};
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

// Consumed read-back is cut from the front of the queue past this size.
constexpr std::size_t kCompactBytes = std::size_t{1} << 16;

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
    link_.setLatencyTimer(latencyMs_);
    link_.restartClock();  // the sample clock changes now
}

void Device::setTimed(bool timed) {
    if (timed == timed_) return;
    if (timed) {
        // Whatever the untimed chip queued is already in the driver's buffer.
        link_.setLatencyTimer(latencyMs_);
        link_.adoptQueued(rx_.size() - rxHead_);
        polled_ = 0;
    } else {
        // Back to an instant chip: what waits in the FIFOs happens now.
        link_.flushUntimed();
        latencyMs_ = link_.latencyMs();
    }
    timed_ = timed;
}

void Device::unplugAtCall(uint32_t nth) { unplugCall_ = totalCalls_ + std::max<uint32_t>(nth, 1); }
void Device::unplugAtTime(uint64_t ns) { link_.setUnplugTime(ns); }

void Device::attach(std::shared_ptr<Peripheral> peripheral) {
    peripherals_.push_back(std::move(peripheral));
    drives_.push_back({});
    toldPeriodPs_ = ~uint64_t{0};  // the new one is told at the next write
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
    if ((unplugCall_ && totalCalls_ >= *unplugCall_) || link_.unplugDue()) unplugged_ = true;
    return takeFailure(failAt_, i, calls_[i]);
}

std::size_t Device::traceSize() const {
    return static_cast<std::size_t>(std::min<uint64_t>(ring_.count(), ring_.limit()));
}

// ---- the driver side ----

void Device::dropQueues() {
    releaseQueue(rx_);
    rxHead_ = revealed_ = polled_ = 0;
    link_.reset(latencyMs_);
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

std::optional<uint32_t> Device::controlRequest() {
    if (!timed_) return std::nullopt;
    link_.control();
    if (link_.unplugDue()) unplugged_ = true;
    if (unplugged_) return FT_IO_ERROR;
    return std::nullopt;
}

uint32_t Device::setBaudRate(uint32_t baud) {
    if (auto gone = controlRequest()) return *gone;
    if (baud < kMinBaud || baud > info_.maxBaud) return FT_INVALID_BAUD_RATE;
    baud_ = baud;
    link_.restartClock();  // the new sample clock runs from now
    return FT_OK;
}

uint32_t Device::setBitMode(uint8_t mask, uint8_t mode) {
    if (auto gone = controlRequest()) return *gone;
    bitMode_ = mode;
    mask_ = mask;
    // The pins change as soon as the mode is set: outputs drive the latch.
    settle();
    return FT_OK;
}

bool Device::synchronous() const { return bitMode_ == FT_BITMODE_SYNC_BITBANG; }

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
uint8_t Device::clockByte(uint8_t written, bool sync) {
    const uint8_t sampled = history_[lag_ == 0 ? 0 : lag_ - 1];
    latch_ = written;
    const uint8_t levels = applySample(written);
    const uint8_t readback = lag_ == 0 ? levels : sampled;
    ring_.push({written, mask_, levels, sync ? readback : uint8_t{0}});
    return readback;
}

bool Device::clockSample(uint8_t written, uint64_t ns, bool keep) {
    sampleNs_ = ns;
    const bool sync = synchronous();
    const uint8_t readback = clockByte(written, sync);
    return sync && keep && queueReadback(readback);
}

void Device::takeReadback(uint8_t* into, std::size_t count) {
    count = std::min(count, rx_.size() - rxHead_);
    if (into) std::copy_n(rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_), count, into);
    rxHead_ += count;
    revealed_ = revealed_ > count ? revealed_ - count : 0;
    polled_ = polled_ > count ? polled_ - count : 0;
    if (rxHead_ == rx_.size()) {
        releaseQueue(rx_);
        rxHead_ = 0;
    } else if (rxHead_ >= kCompactBytes && rxHead_ * 2 >= rx_.size()) {
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_));
        rxHead_ = 0;
    }
}

bool Device::queueReadback(uint8_t byte) {
    if (stallBudget_) {
        if (*stallBudget_ == 0) return false;  // this byte never reaches the host
        --*stallBudget_;
    }
    rx_.push_back(byte);
    return true;
}

// Peripherals that check timing learn the sample period (whenever it changed).
void Device::tellSamplePeriod() {
    const uint64_t ps = timed_ ? 1000000000000ull / sampleRate() : 0;
    if (ps == toldPeriodPs_) return;
    toldPeriodPs_ = ps;
    for (const auto& p : peripherals_) p->samplePeriod(ps);
}

uint32_t Device::write(const uint8_t* bytes, uint32_t count, uint32_t* written) {
    if (!written || (count > 0 && !bytes)) return FT_INVALID_PARAMETER;
    tellSamplePeriod();
    const uint32_t take = shortWrite_ ? std::min(count, *shortWrite_) : count;
    if (timed_) {
        link_.write(bytes, take, written);
        if (link_.unplugDue()) unplugged_ = true;
        return unplugged_ ? FT_IO_ERROR : FT_OK;
    }
    const bool sync = synchronous();
    // Room for the whole write's read-back at once, rather than growing by
    // doubling (which can hold twice the bytes, and three times while moving).
    const std::size_t needed = rx_.size() + take;
    if (sync && needed > rx_.capacity()) rx_.reserve(std::max(needed, 2 * rx_.size()));
    for (uint32_t i = 0; i < take; ++i) {
        const uint8_t readback = clockByte(bytes[i], sync);
        if (sync) queueReadback(readback);
    }
    *written = take;
    return FT_OK;
}

uint32_t Device::purge(uint32_t mask) {
    const bool rx = (mask & FT_PURGE_RX) != 0;
    const bool tx = (mask & FT_PURGE_TX) != 0;
    if (timed_) {
        // The driver's buffer and the chip's to-host FIFO; what the chip
        // had not clocked out yet.
        link_.purge(rx, tx);
        if (link_.unplugDue()) unplugged_ = true;
        return unplugged_ ? FT_IO_ERROR : FT_OK;
    }
    if (rx) {
        releaseQueue(rx_);
        rxHead_ = revealed_ = polled_ = 0;
    }
    return FT_OK;
}

uint32_t Device::queueStatus(uint32_t* rxBytes) {
    if (!rxBytes) return FT_INVALID_PARAMETER;
    std::size_t queued = rx_.size() - rxHead_;
    if (timed_) {
        // Polling again for the same count: the caller is waiting, so the
        // clock moves on until the next request completes (if one can).
        queued = link_.poll(polled_);
        if (link_.unplugDue()) unplugged_ = true;
        if (unplugged_) return FT_IO_ERROR;
        polled_ = queued;
    }
    if (drip_) revealed_ = std::min(queued, revealed_ + *drip_);
    else revealed_ = queued;
    *rxBytes = static_cast<uint32_t>(revealed_);
    return FT_OK;
}

uint32_t Device::read(uint8_t* buffer, uint32_t count, uint32_t* got) {
    if (!got || (count > 0 && !buffer)) return FT_INVALID_PARAMETER;
    if (timed_) {
        *got = static_cast<uint32_t>(link_.read(buffer, count));
        if (link_.unplugDue()) unplugged_ = true;
        if (unplugged_) {
            *got = 0;
            return FT_IO_ERROR;
        }
        return FT_OK;
    }
    // The driver waits for the bytes; those that will never come end the read
    // short, as a read timeout does.
    const auto take = static_cast<uint32_t>(std::min<std::size_t>(count, rx_.size() - rxHead_));
    takeReadback(buffer, take);
    *got = take;
    return FT_OK;
}

uint32_t Device::setLatencyTimer(uint8_t ms) {
    if (auto gone = controlRequest()) return *gone;
    if (ms < 2) return FT_INVALID_PARAMETER;
    latencyMs_ = ms;
    link_.setLatencyTimer(ms);
    return FT_OK;
}

uint32_t Device::latencyTimer(uint8_t* ms) {
    if (!ms) return FT_INVALID_PARAMETER;
    if (auto gone = controlRequest()) return *gone;
    *ms = latencyMs_;
    return FT_OK;
}

uint32_t Device::setUSBParameters(uint32_t in, uint32_t) {
    if (!timed_) {
        if (!UsbLink::validTransferSize(in)) return FT_INVALID_PARAMETER;
        // Untimed, everything is visible at once: what the driver held goes.
        releaseQueue(rx_);
        rxHead_ = revealed_ = polled_ = 0;
        return FT_OK;
    }
    if (!link_.setTransferSize(in)) return FT_INVALID_PARAMETER;
    if (link_.unplugDue()) unplugged_ = true;
    return unplugged_ ? FT_IO_ERROR : FT_OK;
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
    for (const auto& d : devices_) {
        if (d->unplugged()) continue;
        // D2XX lists an open device with the handle it is open under: a
        // program finds its own device's entry (type, speed flags) by it.
        void* handle = nullptr;
        for (const auto& [token, device] : handles_)
            if (device == d && d->isOpen()) handle = reinterpret_cast<void*>(token);
        infoList_.push_back({d->info(), d->isOpen(), handle});
    }
    return infoList_.size();
}

std::optional<Bench::InfoEntry> Bench::infoEntry(std::size_t index) {
    std::shared_lock lock(mutex_);
    if (index >= infoList_.size()) return std::nullopt;
    return infoList_[index];
}

int32_t Bench::adoptChip(std::shared_ptr<RegisterChip> chip, const std::shared_ptr<Device>& owner,
                         std::string kind) {
    std::unique_lock lock(mutex_);
    chips_.push_back({{std::move(chip), std::move(kind)}, owner});
    return static_cast<int32_t>(chips_.size() - 1);
}

RegisterChip* Bench::chip(int32_t id) {
    std::shared_lock lock(mutex_);
    if (id < 0 || static_cast<std::size_t>(id) >= chips_.size()) return nullptr;
    return chips_[static_cast<std::size_t>(id)].entry.chip.get();
}

std::vector<Bench::ChipEntry> Bench::chipsOn(const Device& device) const {
    std::shared_lock lock(mutex_);
    std::vector<ChipEntry> found;
    for (const AdoptedChip& c : chips_)
        if (c.owner.lock().get() == &device) found.push_back(c.entry);
    return found;
}

}  // namespace qzsim
