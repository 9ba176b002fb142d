// The timed path between the host program and the chip's pins: the D2XX
// driver's IN requests and receive buffer, the USB bus with its frames and
// packets, the chip's two FIFOs, its sample clock and its latency timer.
//
// How it is modelled (each quirk has a test that fails if it is simplified
// away):
//  - OUT: an FT_Write is one bulk transfer. Its first packet goes at the next
//    (micro)frame start; then packets of the USB packet size (no status bytes)
//    go while the chip's from-host FIFO has room for them (the chip NAKs
//    otherwise). FT_Write returns when its last byte is in that FIFO.
//  - The sample clock runs at its full rate (FT232R: 16 x baud, uncapped by
//    USB) while the from-host FIFO holds bytes and, in synchronous mode, the
//    to-host FIFO has room for the read-back byte; otherwise the chip stalls
//    (it never drops a sample unless set lossy). So samples leave in bursts,
//    and the pulse widths on the pins are the burst's, not USB's average.
//  - The bus carries one packet at a time, in either direction; a packet
//    takes one slot (full speed: 19 per 1 ms frame; high speed: 13 per
//    125 us microframe), so full-speed bandwidth is shared by both ways.
//  - IN: the chip sends a packet (2 status bytes + up to packet-2 data bytes)
//    when it holds a full packet's data, or when its latency timer expires:
//    then with whatever it holds, possibly nothing (a status-only packet).
//    The timer restarts whenever a packet is sent and runs while the host is
//    idle; an expiry while the driver posts no request waits for the next.
//  - The driver reads with IN requests of the USB transfer size (default
//    4096 bytes: 64 x 62 data bytes at full speed, 8 x 510 at high speed). A
//    request completes when it is full or a short packet ends it; only then
//    do its bytes become visible to FT_GetQueueStatus and FT_Read. The driver
//    posts a request while its receive buffer has room for a whole one (or is
//    empty), whether or not the program reads.
//  - Control requests (baud rate, bit mode, purge, latency timer, USB
//    parameters) each cost a control round trip (one frame at full speed, one
//    microframe at high speed; settable); the chip goes on meanwhile.
//    FT_GetQueueStatus and FT_Read cost nothing: they look at the driver.
//  - FT_SetUSBParameters sets the IN transfer size (a multiple of 64, 64 to
//    65536) and discards what the driver holds.
//  - FT_Read has no timeout unless one is set: a read of bytes that never
//    come is counted as "would block for ever" and returns short after a long
//    simulated time (kForeverNs), so that a test ends and can assert the count.
#pragma once

#include "qzsim/profile.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qzsim {

// What the link needs from the chip behind it.
class LinkChip {
public:
    virtual ~LinkChip() = default;
    // One written byte reaches the pins at time `ns`; true when its read-back
    // byte joined the to-host FIFO (synchronous mode, `keep`, and not lost to
    // a fault).
    virtual bool clockSample(uint8_t written, uint64_t ns, bool keep) = 0;
    virtual bool synchronous() const = 0;
    virtual uint64_t sampleRate() const = 0;
    virtual const ChipProfile& chip() const = 0;
    // Removes the `count` oldest read-back bytes, copying them to `into` unless null.
    virtual void takeReadback(uint8_t* into, std::size_t count) = 0;
};

class UsbLink {
public:
    static constexpr uint64_t kNsPerMs = 1000000;
    static constexpr uint64_t kForeverNs = 600 * 1000 * kNsPerMs;  // "for ever": 10 simulated minutes

    explicit UsbLink(LinkChip& chip) : chip_(chip) {}

    uint64_t clockNs() const { return now_; }
    // Back to the state after plugging in: queues empty, defaults restored.
    void reset(uint8_t latencyMs);
    // The chip changed its clock (profile or baud rate): the next run starts now.
    void restartClock() { running_ = false; }

    // ---- settings ----
    void setDriverBuffer(uint32_t bytes);
    uint32_t driverBuffer() const { return driverBuffer_; }
    void setWriteTimeout(uint32_t ms) { writeTimeoutMs_ = ms; }
    // No value: reads wait for ever (the D2XX default).
    void setReadTimeout(std::optional<uint32_t> ms) { readTimeoutMs_ = ms; }
    void setLossy(bool lossy) { lossy_ = lossy; }
    // A control request's cost; by default one (micro)frame.
    void setControlCost(std::optional<uint64_t> ns) { controlCostNs_ = ns; }
    uint64_t controlCostNs() const;
    uint64_t frameNs() const;
    uint32_t transferSize() const { return transferSize_; }
    uint8_t latencyMs() const { return latencyMs_; }

    // ---- counters ----
    uint64_t stallCount() const { return stalls_; }
    uint64_t droppedCount() const { return dropped_; }
    uint64_t foreverReads() const { return foreverReads_; }
    // Read-back the driver holds (visible, or in the request being filled),
    // and what is visible to FT_GetQueueStatus.
    std::size_t driverHeld() const { return visible_ + request_ + flightIn(); }
    std::size_t visible() const { return visible_; }
    // Bytes still in the chip: its to-host FIFO and its from-host FIFO.
    std::size_t chipHeld() const { return toHost_ + fifoCount(); }

    // ---- the driver operations (the unplug time bounds every wait) ----
    void setUnplugTime(std::optional<uint64_t> ns) { unplugNs_ = ns; }
    bool unplugDue() const { return unplugNs_ && now_ >= *unplugNs_; }
    // A control request: the clock moves on by its cost.
    void control();
    // What was already queued untimed is visible at once.
    void adoptQueued(std::size_t bytes);
    // Everything still in the chip happens now (the device stops being timed).
    void flushUntimed();
    uint32_t write(const uint8_t* bytes, uint32_t count, uint32_t* written);
    // Visible bytes; a poll that would show nothing new waits for the next
    // request to complete (if one can).
    std::size_t poll(std::size_t lastSeen);
    // Waits for `count` visible bytes (up to the read timeout, or for ever),
    // then takes what is there into `buffer`; the number taken.
    std::size_t read(uint8_t* buffer, std::size_t count);
    void purge(bool rx, bool tx);
    void setLatencyTimer(uint8_t ms) { latencyMs_ = ms; }
    // Sets the IN transfer size; false (and nothing changes) for a size that
    // is not a multiple of 64 from 64 to 65536. Discards what the driver holds.
    bool setTransferSize(uint32_t in);
    // Whether `in` is a transfer size the driver takes: a multiple of 64
    // from 64 to 65536.
    static bool validTransferSize(uint32_t in);

private:
    enum class Goal { None, WriteSent, Visible, VisibleGrows };
    enum class Dir { None, In, Out };
    struct Flight {
        Dir dir = Dir::None;
        std::size_t bytes = 0;
        uint64_t endNs = 0;
    };

    bool advance(uint64_t until, Goal goal, std::size_t target, bool stopWhenIdle = false);
    bool reached(Goal goal, std::size_t target) const;
    void startPacket();
    void landPacket();
    uint64_t chipCanTake() const;
    void clockSamples(uint64_t count);
    void completeRequest();
    bool requestPosted() const;
    bool highSpeed() const { return chip_.chip().packetSize >= 512; }
    uint64_t slotNs() const;
    uint32_t packetsPerRequest() const;
    std::size_t fifoCount() const { return fifo_.size() - fifoHead_; }
    std::size_t fifoRoom() const;
    std::size_t pendingLeft() const { return pendingLen_ - pendingSent_; }
    std::size_t outPacketSize() const;
    bool outReady() const;
    bool inReady() const;
    std::size_t flightIn() const { return flight_.dir == Dir::In ? flight_.bytes : 0; }
    uint64_t latencyNs() const { return uint64_t{latencyMs_} * kNsPerMs; }
    void dropHeld();

    LinkChip& chip_;
    uint64_t now_ = 0;

    // Settings.
    uint32_t driverBuffer_ = 65536;
    uint32_t writeTimeoutMs_ = 5000;
    std::optional<uint32_t> readTimeoutMs_;
    std::optional<uint64_t> controlCostNs_;
    bool lossy_ = false;
    uint32_t transferSize_ = 4096;
    uint8_t latencyMs_ = 16;

    // The write in progress: its bytes, how many crossed USB, when its first
    // packet may go.
    const uint8_t* pending_ = nullptr;
    std::size_t pendingLen_ = 0;
    std::size_t pendingSent_ = 0;
    uint64_t outStartNs_ = 0;

    // The chip: from-host FIFO bytes, to-host FIFO count, the sample run.
    std::vector<uint8_t> fifo_;
    std::size_t fifoHead_ = 0;
    std::size_t toHost_ = 0;
    bool running_ = false;
    uint64_t runStartNs_ = 0;
    uint64_t runDone_ = 0;
    uint64_t lastPacketNs_ = 0;  // the latency timer restarts here
    bool flushDue_ = false;      // the timer expired; the chip sends at the next chance

    // USB and the driver: the packet on the bus, the request being filled,
    // the bytes visible to the program.
    Flight flight_;
    Dir lastDir_ = Dir::None;
    std::size_t request_ = 0;
    uint32_t requestPackets_ = 0;
    std::size_t visible_ = 0;

    std::optional<uint64_t> unplugNs_;
    uint64_t stalls_ = 0;
    uint64_t dropped_ = 0;
    uint64_t foreverReads_ = 0;
};

}  // namespace qzsim
