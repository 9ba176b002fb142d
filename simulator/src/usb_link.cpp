// The timed USB link: the clock moves only inside driver calls, from event to
// event (a packet landing, the latency timer, the chip reaching a FIFO
// threshold, the start of a frame, the end of a wait). Samples inside a run
// of the sample clock are timed with exact integer arithmetic: sample k of a
// run that began at t0 ends at t0 + ceil(k * 10^9 / rate) ns.
#include "qzsim/usb_link.hpp"

#include "progress_guard.hpp"

#include <algorithm>

namespace qzsim {

namespace {
constexpr uint64_t kNsPerS = 1000000000;
// Full speed: 1 ms frames, about 19 bulk packets of 64 bytes each.
constexpr uint64_t kFullSpeedFrameNs = 1000000;
constexpr uint64_t kFullSpeedPacketsPerFrame = 19;
// High speed: 125 us microframes, 13 bulk packets of 512 bytes each.
constexpr uint64_t kHighSpeedFrameNs = 125000;
constexpr uint64_t kHighSpeedPacketsPerFrame = 13;
// Samples clocked in one step at most, so that a lossy chip streaming into a
// full buffer still returns to the event loop now and then.
constexpr uint64_t kMaxStep = uint64_t{1} << 20;
// Bytes of a transfer size that make one packet's worth of request.
constexpr uint32_t kSizeUnit = 64;
constexpr uint32_t kMaxTransferSize = 65536;
}  // namespace

void UsbLink::reset(uint8_t latencyMs) {
    dropHeld();
    chip_.takeReadback(nullptr, toHost_);
    toHost_ = 0;
    fifo_.clear();
    fifo_.shrink_to_fit();
    fifoHead_ = 0;
    transferSize_ = 4096;
    latencyMs_ = latencyMs;
    running_ = false;
    flushDue_ = false;
    lastPacketNs_ = now_;
}

void UsbLink::setDriverBuffer(uint32_t bytes) { driverBuffer_ = std::max<uint32_t>(bytes, 1); }

uint64_t UsbLink::frameNs() const { return highSpeed() ? kHighSpeedFrameNs : kFullSpeedFrameNs; }

uint64_t UsbLink::controlCostNs() const { return controlCostNs_.value_or(frameNs()); }

uint64_t UsbLink::slotNs() const {
    return highSpeed() ? kHighSpeedFrameNs / kHighSpeedPacketsPerFrame
                       : kFullSpeedFrameNs / kFullSpeedPacketsPerFrame;
}

uint32_t UsbLink::packetsPerRequest() const {
    return std::max<uint32_t>(1, transferSize_ / chip_.chip().packetSize);
}

std::size_t UsbLink::fifoRoom() const {
    const std::size_t size = chip_.chip().fifoFromHost;
    return size > fifoCount() ? size - fifoCount() : 0;
}

std::size_t UsbLink::outPacketSize() const {
    return std::min<std::size_t>(pendingLeft(), chip_.chip().packetSize);
}

// The driver posts a request while its buffer has room for a whole one; an
// empty buffer always takes one (a buffer smaller than a request still works).
bool UsbLink::requestPosted() const {
    const std::size_t capacity = std::size_t{packetsPerRequest()} * chip_.chip().packetData();
    return visible_ == 0 || driverBuffer_ >= visible_ + capacity;
}

bool UsbLink::outReady() const {
    return pendingLeft() > 0 && now_ >= outStartNs_ && fifoRoom() >= outPacketSize();
}

bool UsbLink::inReady() const {
    return requestPosted() && (toHost_ >= chip_.chip().packetData() || flushDue_);
}

void UsbLink::dropHeld() {
    chip_.takeReadback(nullptr, visible_ + request_ + flightIn());
    visible_ = request_ = 0;
    requestPackets_ = 0;
    if (flight_.dir == Dir::In) flight_.bytes = 0;
}

void UsbLink::completeRequest() {
    visible_ += request_;
    request_ = 0;
    requestPackets_ = 0;
}

// The bus is free: the next packet goes, alternating directions when both
// have one (the host controller serves its endpoints in turn).
void UsbLink::startPacket() {
    if (flight_.dir != Dir::None) return;
    const bool in = inReady();
    const bool out = outReady();
    if (!in && !out) return;
    const Dir dir = in && out ? (lastDir_ == Dir::In ? Dir::Out : Dir::In) : (in ? Dir::In : Dir::Out);
    flight_.dir = dir;
    flight_.endNs = now_ + slotNs();
    lastDir_ = dir;
    if (dir == Dir::In) {
        flight_.bytes = std::min<std::size_t>(toHost_, chip_.chip().packetData());
        toHost_ -= flight_.bytes;
        lastPacketNs_ = now_;  // a packet is sent: the latency timer starts again
        flushDue_ = false;
    } else {
        flight_.bytes = outPacketSize();
    }
}

void UsbLink::landPacket() {
    const Flight f = flight_;
    flight_ = {};
    if (f.dir == Dir::Out) {
        if (fifoHead_ > 0 && fifoHead_ == fifo_.size()) {
            fifo_.clear();
            fifoHead_ = 0;
        } else if (fifoHead_ >= 4096) {
            fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(fifoHead_));
            fifoHead_ = 0;
        }
        // The write may have ended (timed out) while its last packet flew.
        const std::size_t n = std::min(f.bytes, pendingLeft());
        if (pending_) fifo_.insert(fifo_.end(), pending_ + pendingSent_, pending_ + pendingSent_ + n);
        pendingSent_ += n;
        return;
    }
    request_ += f.bytes;
    ++requestPackets_;
    if (f.bytes < chip_.chip().packetData() || requestPackets_ >= packetsPerRequest()) completeRequest();
}

// Samples the chip can clock before something else must happen: it needs
// written bytes and (synchronous, not lossy) room in its to-host FIFO; a step
// also ends where a packet could start on an idle bus.
uint64_t UsbLink::chipCanTake() const {
    uint64_t n = fifoCount();
    if (n == 0) return 0;
    if (chip_.synchronous() && !lossy_) {
        const std::size_t fifo = chip_.chip().fifoToHost;
        if (toHost_ >= fifo) return 0;  // stalled: the chip does not drop samples
        n = std::min<uint64_t>(n, fifo - toHost_);
    }
    if (flight_.dir == Dir::None) {
        const std::size_t packet = chip_.chip().packetData();
        if (chip_.synchronous() && requestPosted() && toHost_ < packet)
            n = std::min<uint64_t>(n, packet - toHost_);
        if (pendingLeft() > 0 && now_ >= outStartNs_ && fifoRoom() < outPacketSize())
            n = std::min<uint64_t>(n, outPacketSize() - fifoRoom());
    }
    return std::min(n, kMaxStep);
}

void UsbLink::clockSamples(uint64_t count) {
    const uint64_t rate = chip_.sampleRate();
    const std::size_t fifo = chip_.chip().fifoToHost;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t at = runStartNs_ + ((runDone_ + i + 1) * kNsPerS + rate - 1) / rate;
        const uint8_t byte = fifo_[fifoHead_++];
        const bool room = !(lossy_ && chip_.synchronous() && toHost_ >= fifo);
        if (chip_.clockSample(byte, at, room)) ++toHost_;
        if (!room) ++dropped_;  // a lossy driver: no room, the byte is lost
    }
}

bool UsbLink::reached(Goal goal, std::size_t target) const {
    switch (goal) {
        case Goal::WriteSent: return pendingLeft() == 0;
        case Goal::Visible: return visible_ >= target;
        case Goal::VisibleGrows: return visible_ > target;
        case Goal::None: break;
    }
    return false;
}

// Runs the chip, USB and the driver from now to `until` at most, stopping as
// soon as `goal` is reached (true) or the unplug time comes.
bool UsbLink::advance(uint64_t until, Goal goal, std::size_t target, bool stopWhenIdle) {
    if (unplugNs_) until = std::min(until, std::max(*unplugNs_, now_));
    ProgressGuard guard("the timed chip's event loop");
    for (;;) {
        if (!guard.moving(now_, lastPacketNs_, visible_, toHost_, requestPackets_, pendingLeft(),
                          flight_.endNs))
            break;
        if (flight_.dir != Dir::None && now_ >= flight_.endNs) landPacket();
        if (!flushDue_ && now_ >= lastPacketNs_ + latencyNs()) flushDue_ = true;
        startPacket();
        if (reached(goal, target)) return true;
        if (now_ >= until) break;
        uint64_t next = until;
        if (flight_.dir != Dir::None) next = std::min(next, flight_.endNs);
        if (!flushDue_) next = std::min(next, lastPacketNs_ + latencyNs());
        if (pendingLeft() > 0 && outStartNs_ > now_) next = std::min(next, outStartNs_);
        const uint64_t n = chipCanTake();
        if (n > 0) {
            if (!running_) {
                running_ = true;
                runStartNs_ = now_;
                runDone_ = 0;
            }
            const uint64_t rate = chip_.sampleRate();
            const uint64_t end = runStartNs_ + ((runDone_ + n) * kNsPerS + rate - 1) / rate;
            uint64_t done = n;
            if (end > next) {
                const uint64_t by = (next - runStartNs_) * rate / kNsPerS;
                done = by > runDone_ ? by - runDone_ : 0;
            } else {
                next = end;
            }
            clockSamples(done);
            runDone_ += done;
            // Whole seconds of samples fold into the start, keeping the
            // products above far from overflowing.
            if (runDone_ >= rate) {
                runStartNs_ += runDone_ / rate * kNsPerS;
                runDone_ %= rate;
            }
        } else {
            running_ = false;
            const bool idle = flight_.dir == Dir::None && !inReady() && !outReady() &&
                              !(pendingLeft() > 0 && outStartNs_ > now_) &&
                              ((toHost_ == 0 && requestPackets_ == 0) || !requestPosted());
            if (idle) {
                if (stopWhenIdle) break;  // a poll does not wait for what cannot come
                // Nothing can change before `until`: only status-only packets
                // pass, one per timer period (none while no request is posted),
                // into empty requests.
                const uint64_t period = latencyNs();
                if (requestPosted() && until >= lastPacketNs_ + period)
                    lastPacketNs_ += (until - lastPacketNs_) / period * period;
                else if (!requestPosted() && until >= lastPacketNs_ + period)
                    flushDue_ = true;
                now_ = until;
                continue;
            }
        }
        now_ = std::max(now_, next);
    }
    return reached(goal, target);
}

void UsbLink::control() { advance(now_ + controlCostNs(), Goal::None, 0); }

void UsbLink::adoptQueued(std::size_t bytes) {
    visible_ = bytes;
    request_ = toHost_ = 0;
    requestPackets_ = 0;
    flight_ = {};
    lastPacketNs_ = now_;
    flushDue_ = false;
    running_ = false;
}

void UsbLink::flushUntimed() {
    const uint64_t left = fifoCount();
    const uint64_t rate = chip_.sampleRate();
    for (uint64_t i = 0; i < left; ++i) chip_.clockSample(fifo_[fifoHead_++], now_ + i * kNsPerS / rate, true);
    fifo_.clear();
    fifoHead_ = 0;
    visible_ = request_ = toHost_ = 0;
    requestPackets_ = 0;
    flight_ = {};
}

uint32_t UsbLink::write(const uint8_t* bytes, uint32_t count, uint32_t* written) {
    *written = 0;
    if (count == 0) return 0;
    pending_ = bytes;
    pendingLen_ = count;
    pendingSent_ = 0;
    // A new bulk transfer: its first packet goes in the next (micro)frame.
    outStartNs_ = (now_ / frameNs() + 1) * frameNs();
    advance(now_ + uint64_t{writeTimeoutMs_} * kNsPerMs, Goal::WriteSent, 0);
    *written = static_cast<uint32_t>(pendingSent_);
    if (flight_.dir == Dir::Out) flight_.bytes = 0;  // what was on the bus is not counted
    pending_ = nullptr;
    pendingLen_ = pendingSent_ = 0;
    if (*written < count) ++stalls_;
    return *written;
}

std::size_t UsbLink::poll(std::size_t lastSeen) {
    if (visible_ <= lastSeen) advance(now_ + kForeverNs, Goal::VisibleGrows, lastSeen, true);
    return visible_;
}

std::size_t UsbLink::read(uint8_t* buffer, std::size_t count) {
    if (visible_ < count) {
        const uint64_t wait = readTimeoutMs_ ? uint64_t{*readTimeoutMs_} * kNsPerMs : kForeverNs;
        advance(now_ + wait, Goal::Visible, count);
        if (visible_ < count && !readTimeoutMs_ && !unplugDue()) ++foreverReads_;
    }
    const std::size_t take = std::min(count, visible_);
    chip_.takeReadback(buffer, take);
    visible_ -= take;
    return take;
}

void UsbLink::purge(bool rx, bool tx) {
    control();
    if (rx) {
        dropHeld();
        chip_.takeReadback(nullptr, toHost_);
        toHost_ = 0;
    }
    if (tx) {
        fifo_.clear();
        fifoHead_ = 0;
    }
}

bool UsbLink::validTransferSize(uint32_t in) {
    return in >= kSizeUnit && in <= kMaxTransferSize && in % kSizeUnit == 0;
}

bool UsbLink::setTransferSize(uint32_t in) {
    if (!validTransferSize(in)) return false;
    control();
    dropHeld();
    transferSize_ = in;
    return true;
}

}  // namespace qzsim
