#include "qzsim/bench.hpp"

#include "ftd2xx.h"

#include <algorithm>
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

std::optional<uint32_t> takeFailure(std::multimap<std::pair<unsigned, uint64_t>, uint32_t>& plan,
                                    unsigned op, uint64_t call) {
    const auto it = plan.find({op, call});
    if (it == plan.end()) return std::nullopt;
    const uint32_t status = it->second;
    plan.erase(it);
    return status;
}
}  // namespace

Device::Device(DeviceInfo info) : info_(std::move(info)) {}

void Device::setReadbackLag(unsigned lag) {
    if (lag > 2) throw std::invalid_argument("read-back lag is 0, 1 or 2 samples");
    lag_ = lag;
}

void Device::attach(std::shared_ptr<Peripheral> peripheral) {
    peripherals_.push_back(std::move(peripheral));
    drives_.push_back({});
}

void Device::detachAll() {
    peripherals_.clear();
    drives_.clear();
}

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
    return takeFailure(failAt_, i, calls_[i]);
}

uint32_t Device::open() {
    if (open_) return FT_DEVICE_NOT_OPENED;  // the driver refuses a second open
    open_ = true;
    latencyMs_ = 16;
    bitMode_ = FT_BITMODE_RESET;
    mask_ = 0;
    latch_ = 0;
    releaseQueue(rx_);
    rxHead_ = revealed_ = 0;
    settle();
    return FT_OK;
}

void Device::close() {
    open_ = false;
    bitMode_ = FT_BITMODE_RESET;
    mask_ = 0;
    settle();
    releaseQueue(rx_);
    rxHead_ = revealed_ = 0;
}

uint32_t Device::setBaudRate(uint32_t baud) {
    if (baud < kMinBaud || baud > info_.maxBaud) return FT_INVALID_BAUD_RATE;
    baud_ = baud;
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

void Device::queueReadback(uint8_t byte) {
    if (stallBudget_) {
        if (*stallBudget_ == 0) return;  // this byte never reaches the host
        --*stallBudget_;
    }
    rx_.push_back(byte);
}

uint32_t Device::write(const uint8_t* bytes, uint32_t count, uint32_t* written) {
    if (!written || (count > 0 && !bytes)) return FT_INVALID_PARAMETER;
    const uint32_t take = shortWrite_ ? std::min(count, *shortWrite_) : count;
    const bool sync = bitMode_ == FT_BITMODE_SYNC_BITBANG;
    // Room for the whole write's read-back at once, rather than growing by
    // doubling (which can hold twice the bytes, and three times while moving).
    const std::size_t needed = rx_.size() + take;
    if (sync && needed > rx_.capacity()) rx_.reserve(std::max(needed, 2 * rx_.size()));
    for (uint32_t i = 0; i < take; ++i) {
        // Synchronous bit-bang samples the pins before applying each byte:
        // with lag L the read-back of this byte shows the levels L samples ago.
        const uint8_t sampled = history_[lag_ == 0 ? 0 : lag_ - 1];
        latch_ = bytes[i];
        const uint8_t levels = applySample(bytes[i]);
        const uint8_t readback = lag_ == 0 ? levels : sampled;
        if (sync) queueReadback(readback);
        if (trace_.size() < traceLimit_) trace_.push_back({bytes[i], mask_, levels, sync ? readback : uint8_t{0}});
    }
    *written = take;
    return FT_OK;
}

uint32_t Device::purge(uint32_t mask) {
    if (mask & FT_PURGE_RX) {
        releaseQueue(rx_);
        rxHead_ = revealed_ = 0;
    }
    return FT_OK;
}

uint32_t Device::queueStatus(uint32_t* rxBytes) {
    if (!rxBytes) return FT_INVALID_PARAMETER;
    const std::size_t queued = rx_.size() - rxHead_;
    if (drip_) revealed_ = std::min(queued, revealed_ + *drip_);
    else revealed_ = queued;
    *rxBytes = static_cast<uint32_t>(revealed_);
    return FT_OK;
}

uint32_t Device::read(uint8_t* buffer, uint32_t count, uint32_t* got) {
    if (!got || (count > 0 && !buffer)) return FT_INVALID_PARAMETER;
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
// Bench

Bench& Bench::instance() {
    static Bench bench;
    return bench;
}

Device& Bench::add(DeviceInfo info) {
    if (info.serial.empty() || info.serial.size() > 15)
        throw std::invalid_argument("serial numbers have 1 to 15 characters");
    if (find(info.serial)) throw std::invalid_argument("serial number already on the bench");
    if (info.locId == 0) info.locId = nextLocId_++;
    devices_.push_back(std::make_unique<Device>(std::move(info)));
    return *devices_.back();
}

bool Bench::remove(const std::string& serial) {
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const auto& d) { return d->info().serial == serial; });
    if (it == devices_.end()) return false;
    for (auto& [token, device] : handles_)
        if (device == it->get()) device = nullptr;
    devices_.erase(it);
    return true;
}

void Bench::clear() {
    for (auto& [token, device] : handles_) device = nullptr;
    devices_.clear();
    infoList.clear();
    failAt_.clear();
    std::fill(std::begin(calls_), std::end(calls_), 0);
    chips_.clear();
}

Device* Bench::find(const std::string& serial) {
    for (auto& d : devices_)
        if (d->info().serial == serial) return d.get();
    return nullptr;
}

std::vector<Device*> Bench::devices() {
    std::vector<Device*> out;
    for (auto& d : devices_) out.push_back(d.get());
    return out;
}

void Bench::failNthCall(Op op, uint32_t nth, uint32_t status) {
    const auto i = static_cast<unsigned>(op);
    failAt_.insert({{i, calls_[i] + std::max<uint32_t>(nth, 1)}, status});
}

std::optional<uint32_t> Bench::enter(Op op) {
    const auto i = static_cast<unsigned>(op);
    ++calls_[i];
    return takeFailure(failAt_, i, calls_[i]);
}

void* Bench::openHandle(Device& device) {
    const uintptr_t token = nextHandle_;
    nextHandle_ += 0x10;
    handles_[token] = &device;
    return reinterpret_cast<void*>(token);
}

Device* Bench::lookup(void* handle, bool* unplugged) {
    if (unplugged) *unplugged = false;
    const auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end()) return nullptr;
    if (!it->second && unplugged) *unplugged = true;
    return it->second;
}

void Bench::closeHandle(void* handle) { handles_.erase(reinterpret_cast<uintptr_t>(handle)); }

int32_t Bench::adoptChip(std::shared_ptr<RegisterChip> chip) {
    chips_.push_back(std::move(chip));
    return static_cast<int32_t>(chips_.size() - 1);
}

RegisterChip* Bench::chip(int32_t id) {
    if (id < 0 || static_cast<std::size_t>(id) >= chips_.size()) return nullptr;
    return chips_[static_cast<std::size_t>(id)].get();
}

}  // namespace qzsim
