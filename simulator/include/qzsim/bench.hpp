// The simulated FTDI bench: FTDI chips in synchronous bit-bang mode with
// virtual peripherals on their pins. One bench per process; the D2XX
// operations of the simulator provider act on it.
//
// How the chip is modelled (each quirk has a test that fails if the model is
// simplified away):
//  - One read-back byte per written byte, in order, only in synchronous
//    bit-bang mode.
//  - Read-back lag (0, 1 or 2; default 1): the pins are sampled before each
//    byte is applied, so read-back byte k shows the levels that byte k-1
//    produced, and the first byte of a write shows the levels from before it.
//  - Direction mask: output pins drive the written level; the output latch is
//    0 after opening, so outputs go low as soon as a bit mode is set.
//  - Pull-ups: an input that nobody drives reads high.
//  - Peripherals see each sample after the chip's outputs are applied and may
//    drive input pins. A peripheral that drives an *output* pin low wins over
//    the chip's driver (a sink holding a clock low); driving an output high has
//    no effect. Where peripherals disagree on an input, low wins (wired AND).
//  - A loopback wire (a jumper from one pin to another) carries its source
//    pin's level to its other end within the same sample: a jumper's delay is
//    nanoseconds, far below a sample period, so the read-back shows the far
//    end following the source at the chip's own lag, never a sample later.
//
// Time (only on a device switched to timed; an untimed device answers every
// call at once, with unbounded buffers): the USB link and the driver's IN
// requests are modelled in usb_link.hpp.
//  - Unplugged (at a call or a time): every call answers FT_IO_ERROR except
//    FT_Close, which releases the handle; a write cut short by it answers
//    FT_IO_ERROR with the bytes that did go out in its count.
//
// Threads: the bench's device list and handle table have their own lock, and
// each device has one of its own, held by the D2XX provider for each driver
// operation; different devices never wait for each other. Bench::clear() and
// Bench::remove() must not run while other threads use the devices they drop
// through the C++ interface (the D2XX operations are safe against them).
#pragma once

#include "qzsim/profile.hpp"
#include "qzsim/ring_log.hpp"
#include "qzsim/usb_link.hpp"

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace qzsim {

// The driver operations, for call counts and fault injection.
enum class Op : unsigned {
    ListDevices,
    CreateDeviceInfoList,
    GetDeviceInfoDetail,
    OpenEx,
    SetBaudRate,
    SetBitMode,
    Purge,
    Write,
    GetQueueStatus,
    Read,
    Close,
    SetLatencyTimer,
    GetLatencyTimer,
    SetUSBParameters,
};
inline constexpr std::size_t kOpCount = 14;
const char* opName(Op op);

struct DeviceInfo {
    std::string serial;  // at most 15 characters, as in the chip's EEPROM
    std::string description = "QZ simulated FT232R";
    uint32_t type = 5;           // FT_DEVICE_232R
    uint32_t id = 0x04036001;    // VID 0x0403, PID 0x6001
    uint32_t locId = 0;          // 0: the bench assigns one
    bool listable = true;        // false: listing by index answers FT_DEVICE_NOT_OPENED
    uint32_t maxBaud = 3000000;  // bit-bang baud rates above this are refused
    ChipProfile profile;         // FT232R unless set
};

// What a peripheral does to the pins from one sample on: pins in `mask` are
// driven to the matching bit of `level`.
struct PinDrive {
    uint8_t mask = 0;
    uint8_t level = 0;
};

// A virtual chip wired to some of the pins. It decodes the pin levels sample
// by sample, as a real chip sees its input edges.
class Peripheral {
public:
    virtual ~Peripheral() = default;
    // One sample period: `levels` are the pin levels after the chip's outputs
    // were applied (inputs at their pull-up or at what peripherals drove in
    // the previous sample). Returns what this peripheral drives from now on;
    // the read-back of this sample already shows it.
    virtual PinDrive onSample(uint8_t levels) = 0;
    // The length of one sample in picoseconds, told before the samples of
    // each write (0 on an untimed device, which models no time).
    virtual void samplePeriod(uint64_t) {}
};

// A test input source: drives pins to fixed levels, or to a sequence of
// levels, one entry per sample (holding the last entry once it runs out).
class InputSource : public Peripheral {
public:
    explicit InputSource(PinDrive constant);
    InputSource(uint8_t mask, std::vector<uint8_t> levelsPerSample);
    PinDrive onSample(uint8_t levels) override;

private:
    uint8_t mask_;
    std::vector<uint8_t> levels_;
    std::size_t next_ = 0;
};

// A jumper from pin `from` to pin `to`: `to` follows `from` in every sample
// (driven high or low, as an input the FTDI chip reads; on a pin the chip
// drives, the wire's low wins, as a shorted output's would).
class Jumper : public Peripheral {
public:
    Jumper(uint8_t from, uint8_t to) : from_(from), to_(to) {}
    PinDrive onSample(uint8_t levels) override;

private:
    uint8_t from_, to_;
};

// A sparse register file, as register chips hold it; unwritten registers
// read `fill`.
struct RegisterFile {
    std::map<uint32_t, uint32_t> cells;
    uint32_t fill = 0;
    uint32_t read(uint32_t reg) const;
    void write(uint32_t reg, uint32_t value) { cells[reg] = value; }
};

// A virtual peripheral that holds registers (SPI chips, I2C targets); the C
// API reaches their registers by a small peripheral ID.
class RegisterChip {
public:
    virtual ~RegisterChip() = default;
    RegisterFile registers;
};

// One recorded sample of a device's wire.
struct TraceSample {
    uint8_t written;   // the byte the host wrote
    uint8_t mask;      // direction mask in force (1 = output)
    uint8_t levels;    // resolved pin levels after the byte was applied
    uint8_t readback;  // the byte returned for it (0 when no read-back)
};

class Device : private LinkChip {
public:
    explicit Device(DeviceInfo info);

    const DeviceInfo& info() const { return info_; }

    // The device's own lock: the D2XX provider holds it for each driver
    // operation; C++ code that changes a device other threads use takes it too.
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

    // ---- chip settings ----
    void setReadbackLag(unsigned lag);  // 0, 1 or 2
    unsigned readbackLag() const { return lag_; }
    // The chip: FIFOs, packets, sample clock, latency timer after opening.
    void setProfile(const ChipProfile& profile);
    const ChipProfile& profile() const { return info_.profile; }
    // Samples per second at the baud rate in force.
    uint64_t sampleRate() const override { return info_.profile.sampleRate(baud_); }

    // ---- time and buffers (only a timed device uses them) ----
    void setTimed(bool timed);
    bool timed() const { return timed_; }
    // The driver's receive buffer in bytes (default 64 KiB; at least 1).
    void setDriverBuffer(uint32_t bytes) { link_.setDriverBuffer(bytes); }
    uint32_t driverBuffer() const { return link_.driverBuffer(); }
    // How long FT_Write waits for room (ms of simulated time; default 5000),
    // and FT_Read for its bytes (default: for ever, as D2XX without a timeout).
    void setWriteTimeout(uint32_t ms) { link_.setWriteTimeout(ms); }
    void setReadTimeout(std::optional<uint32_t> ms) { link_.setReadTimeout(ms); }
    // Lossy: read-back that finds the to-host FIFO full is dropped and the
    // chip goes on, as some Linux driver versions are reported to do.
    void setLossy(bool lossy) { link_.setLossy(lossy); }
    // What a control request costs (default one frame, or microframe at high speed).
    void setControlCost(std::optional<uint64_t> ns) { link_.setControlCost(ns); }
    const UsbLink& link() const { return link_; }
    uint64_t clockNs() const { return link_.clockNs(); }
    uint64_t stallCount() const { return link_.stallCount(); }
    uint64_t droppedCount() const { return link_.droppedCount(); }
    // Reads of bytes that never came, with no read timeout set: on a real
    // driver each would have blocked for ever.
    uint64_t foreverReads() const { return link_.foreverReads(); }
    // Read-back bytes held by the driver / still in the chip's FIFOs.
    std::size_t driverQueued() const { return timed_ ? link_.driverHeld() : queuedReadback(); }
    std::size_t chipQueued() const { return timed_ ? link_.chipHeld() : 0; }

    // ---- unplug ----
    // At the nth driver call from now (1 = the next), or when the clock
    // reaches `ns`; from then every call answers FT_IO_ERROR.
    void unplugAtCall(uint32_t nth);
    void unplugAtTime(uint64_t ns);
    bool unplugged() const { return unplugged_; }

    // ---- wiring ----
    void attach(std::shared_ptr<Peripheral> peripheral);
    void detachAll();
    // The name a pin carries in waveform files ("D0".."D7" unless set).
    void setPinName(unsigned pin, const std::string& name);
    std::string pinName(unsigned pin) const;
    // When the sample being applied ends, in simulated ns (0 on an untimed device).
    uint64_t sampleNs() const { return sampleNs_; }

    // ---- fault injection (all counted from the moment they are set) ----
    // The nth call (1 = the next one) of `op` on this device fails with `status`.
    void failNthCall(Op op, uint32_t nth, uint32_t status);
    // FT_Write takes at most this many bytes per call and reports the shorter count.
    void setShortWrite(std::optional<uint32_t> maxBytesPerWrite);
    // Each FT_GetQueueStatus poll reveals at most this many more bytes.
    void setReadbackDrip(std::optional<uint32_t> bytesPerPoll);
    // Only this many more read-back bytes will ever arrive; the rest never come.
    void setReadbackStall(std::optional<uint32_t> bytesBeforeStall);
    void clearFaults();

    // ---- observation ----
    uint64_t calls(Op op) const { return calls_[static_cast<unsigned>(op)]; }
    void resetCallCounts();
    bool isOpen() const { return open_; }
    uint8_t bitMode() const { return bitMode_; }
    uint8_t directionMask() const { return mask_; }
    uint32_t baudRate() const { return baud_; }
    uint8_t pinLevels() const { return history_[0]; }
    std::size_t queuedReadback() const { return rx_.size() - rxHead_; }

    // The most recent samples of the wire, oldest first (a copy).
    std::vector<TraceSample> trace() const { return ring_.entries(); }
    std::size_t traceSize() const;
    void clearTrace() { ring_.clear(); }
    // Samples kept at most, the most recent ones (default 4 Mi); 0 switches
    // the trace off. Keeps the most recent of those already recorded.
    void setTraceLimit(std::size_t samples) { ring_.setLimit(samples); }
    // Samples that fell out of the ring since the trace was last cleared.
    uint64_t traceDropped() const { return ring_.count() - traceSize(); }

    // ---- the driver side (used by the D2XX provider) ----
    uint32_t open();
    void close();
    uint32_t setBaudRate(uint32_t baud);
    uint32_t setBitMode(uint8_t mask, uint8_t mode);
    uint32_t purge(uint32_t mask);
    uint32_t write(const uint8_t* bytes, uint32_t count, uint32_t* written);
    uint32_t queueStatus(uint32_t* rxBytes);
    uint32_t read(uint8_t* buffer, uint32_t count, uint32_t* got);
    // The USB latency timer: D2XX takes 2 to 255 ms (the profile's after opening).
    uint32_t setLatencyTimer(uint8_t ms);
    uint32_t latencyTimer(uint8_t* ms);
    // The latency timer in force, without a control request (for observers).
    uint8_t latency() const { return latencyMs_; }
    // The IN transfer size (a multiple of 64, 64 to 65536; the OUT size is
    // accepted and has no effect); discards what the driver holds.
    uint32_t setUSBParameters(uint32_t in, uint32_t out);
    // Counts the call, unplugs the device if that is due, and answers an
    // injected failure, if one is due.
    std::optional<uint32_t> enter(Op op);

private:
    uint8_t applySample(uint8_t written);
    void settle();
    bool queueReadback(uint8_t byte);
    uint8_t clockByte(uint8_t written, bool sync);
    bool synchronous() const override;
    // The link's view of the chip.
    bool clockSample(uint8_t written, uint64_t ns, bool keep) override;
    const ChipProfile& chip() const override { return info_.profile; }
    void takeReadback(uint8_t* into, std::size_t count) override;
    // A control request on the timed link; FT_IO_ERROR if the device went
    // while it was on the bus.
    std::optional<uint32_t> controlRequest();
    // Peripherals that check timing learn the sample period (whenever it changed).
    void tellSamplePeriod();
    void dropQueues();

    std::mutex mutex_;
    DeviceInfo info_;
    unsigned lag_ = 1;
    std::vector<std::shared_ptr<Peripheral>> peripherals_;
    std::vector<PinDrive> drives_;
    uint64_t toldPeriodPs_ = ~uint64_t{0};  // what the peripherals were last told
    std::string pinNames_[8];

    std::atomic<bool> open_{false};
    uint32_t baud_ = 9600;
    uint8_t bitMode_ = 0;
    uint8_t mask_ = 0;
    uint8_t latch_ = 0;
    uint8_t latencyMs_ = 16;  // untimed devices keep the setting here
    uint8_t history_[3] = {0xFF, 0xFF, 0xFF};  // levels now, one and two samples ago
    uint64_t sampleNs_ = 0;

    // Read-back in order, oldest first; on a timed device the link says
    // which of it is visible, in the driver, on the bus or in the chip.
    std::vector<uint8_t> rx_;
    std::size_t rxHead_ = 0;
    std::size_t revealed_ = 0;  // bytes FT_GetQueueStatus has shown (drip)
    std::size_t polled_ = 0;    // driver bytes the last poll reported

    bool timed_ = false;
    UsbLink link_{*this};

    uint64_t totalCalls_ = 0;
    std::optional<uint64_t> unplugCall_;
    std::atomic<bool> unplugged_{false};

    RingLog<TraceSample> ring_{std::size_t{4} << 20};  // the wire trace

    uint64_t calls_[kOpCount] = {};
    std::multimap<std::pair<unsigned, uint64_t>, uint32_t> failAt_;  // (op, call number) -> status
    std::optional<uint32_t> shortWrite_;
    std::optional<uint32_t> drip_;
    std::optional<uint64_t> stallBudget_;
};

class Bench {
public:
    // The process-wide bench.
    static Bench& instance();

    // Adds a device (serial numbers are unique, at most 15 characters).
    Device& add(DeviceInfo info);
    // Unplugs a device: its open handles answer FT_IO_ERROR from now on.
    bool remove(const std::string& serial);
    // A device taken off the list (so that another of its serial can be set
    // up) while its open handles keep working; put back, or retired as
    // remove() would have done.
    struct Taken {
        std::shared_ptr<Device> device;
        std::size_t index;  // its place in the list
    };
    std::optional<Taken> take(const std::string& serial);
    void putBack(const Taken& taken);
    void retire(const Taken& taken);
    // Unplugs every device and clears the bench's own faults and counts.
    // Not while other threads use the bench.
    void clear();
    Device* find(const std::string& serial);
    // The same, kept alive while the caller holds it.
    std::shared_ptr<Device> share(const std::string& serial);
    std::vector<Device*> devices();
    // The devices still plugged in, kept alive while the caller holds them.
    std::vector<std::shared_ptr<Device>> plugged();

    // Faults and counts of the operations that take no handle (listing,
    // device-info list, open).
    void failNthCall(Op op, uint32_t nth, uint32_t status);
    uint64_t calls(Op op) const;
    std::optional<uint32_t> enter(Op op);

    // Handles: opaque tokens, never reused, so a stale handle is recognised.
    void* openHandle(std::shared_ptr<Device> device);
    // The device behind a handle; empty for an unknown or closed handle.
    // `unplugged` is set when the handle was valid but its device is gone.
    std::shared_ptr<Device> lookup(void* handle, bool* unplugged);
    void closeHandle(void* handle);

    // Snapshot taken by FT_CreateDeviceInfoList, read by FT_GetDeviceInfoDetail.
    struct InfoEntry {
        DeviceInfo info;
        bool open;
        void* handle = nullptr;  // the handle it is open under, as D2XX lists it
    };
    // Takes the snapshot; the number of devices in it.
    std::size_t snapshotInfo();
    std::optional<InfoEntry> infoEntry(std::size_t index);

    // Register chips reachable from the C API by ID, each with the device it
    // is wired to and its kind as bench files name it ("spi", "i2c", ...).
    int32_t adoptChip(std::shared_ptr<RegisterChip> chip, const std::shared_ptr<Device>& owner,
                      std::string kind);
    RegisterChip* chip(int32_t id);
    struct ChipEntry {
        std::shared_ptr<RegisterChip> chip;
        std::string kind;
    };
    // The register chips wired to `device`, in the order they were attached.
    std::vector<ChipEntry> chipsOn(const Device& device) const;

private:
    Bench() = default;
    mutable std::shared_mutex mutex_;
    std::vector<std::shared_ptr<Device>> devices_;
    std::map<uintptr_t, std::shared_ptr<Device>> handles_;  // empty: device removed
    uintptr_t nextHandle_ = 0x1000;
    uint32_t nextLocId_ = 0x1011;
    uint64_t calls_[kOpCount] = {};
    std::multimap<std::pair<unsigned, uint64_t>, uint32_t> failAt_;
    std::vector<InfoEntry> infoList_;
    struct AdoptedChip {
        ChipEntry entry;
        std::weak_ptr<Device> owner;
    };
    std::vector<AdoptedChip> chips_;
};

inline Bench& bench() { return Bench::instance(); }

// Runs the body of a C entry point of the simulator; anything thrown (a bad
// argument, no memory) becomes -1.
template <class Body>
auto guardedSim(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace qzsim
