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
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
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
};
inline constexpr std::size_t kOpCount = 13;
const char* opName(Op op);

struct DeviceInfo {
    std::string serial;  // at most 15 characters, as in the chip's EEPROM
    std::string description = "QZ simulated FT232R";
    uint32_t type = 5;           // FT_DEVICE_232R
    uint32_t id = 0x04036001;    // VID 0x0403, PID 0x6001
    uint32_t locId = 0;          // 0: the bench assigns one
    bool listable = true;        // false: listing by index answers FT_DEVICE_NOT_OPENED
    uint32_t maxBaud = 3000000;  // bit-bang baud rates above this are refused
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

class Device {
public:
    explicit Device(DeviceInfo info);

    const DeviceInfo& info() const { return info_; }

    // ---- chip settings ----
    void setReadbackLag(unsigned lag);  // 0, 1 or 2
    unsigned readbackLag() const { return lag_; }

    // ---- wiring ----
    void attach(std::shared_ptr<Peripheral> peripheral);
    void detachAll();

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

    const std::vector<TraceSample>& trace() const { return trace_; }
    void clearTrace() { trace_.clear(); }
    // Samples recorded at most (default 4 Mi); 0 switches the trace off.
    void setTraceLimit(std::size_t samples) { traceLimit_ = samples; }

    // ---- the driver side (used by the D2XX provider) ----
    uint32_t open();
    void close();
    uint32_t setBaudRate(uint32_t baud);
    uint32_t setBitMode(uint8_t mask, uint8_t mode);
    uint32_t purge(uint32_t mask);
    uint32_t write(const uint8_t* bytes, uint32_t count, uint32_t* written);
    uint32_t queueStatus(uint32_t* rxBytes);
    uint32_t read(uint8_t* buffer, uint32_t count, uint32_t* got);
    // The USB latency timer: D2XX takes 2 to 255 ms (16 after opening).
    uint32_t setLatencyTimer(uint8_t ms);
    uint32_t latencyTimer(uint8_t* ms) const;
    // Counts the call and answers an injected failure, if one is due.
    std::optional<uint32_t> enter(Op op);

private:
    uint8_t applySample(uint8_t written);
    void settle();
    void queueReadback(uint8_t byte);

    DeviceInfo info_;
    unsigned lag_ = 1;
    std::vector<std::shared_ptr<Peripheral>> peripherals_;
    std::vector<PinDrive> drives_;

    bool open_ = false;
    uint32_t baud_ = 9600;
    uint8_t bitMode_ = 0;
    uint8_t mask_ = 0;
    uint8_t latch_ = 0;
    uint8_t latencyMs_ = 16;
    uint8_t history_[3] = {0xFF, 0xFF, 0xFF};  // levels now, one and two samples ago

    std::vector<uint8_t> rx_;
    std::size_t rxHead_ = 0;
    std::size_t revealed_ = 0;  // bytes FT_GetQueueStatus has shown (drip)

    std::vector<TraceSample> trace_;
    std::size_t traceLimit_ = std::size_t{4} << 20;

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
    // Unplugs every device and clears the bench's own faults and counts.
    void clear();
    Device* find(const std::string& serial);
    std::vector<Device*> devices();

    // Faults and counts of the operations that take no handle (listing,
    // device-info list, open).
    void failNthCall(Op op, uint32_t nth, uint32_t status);
    uint64_t calls(Op op) const { return calls_[static_cast<unsigned>(op)]; }
    std::optional<uint32_t> enter(Op op);

    // Handles: opaque tokens, never reused, so a stale handle is recognised.
    void* openHandle(Device& device);
    // The device behind a handle; nullptr for an unknown or closed handle.
    // `unplugged` is set when the handle was valid but its device is gone.
    Device* lookup(void* handle, bool* unplugged);
    void closeHandle(void* handle);

    // Snapshot taken by FT_CreateDeviceInfoList, read by FT_GetDeviceInfoDetail.
    struct InfoEntry {
        DeviceInfo info;
        bool open;
    };
    std::vector<InfoEntry> infoList;

    // Register chips reachable from the C API by ID.
    int32_t adoptChip(std::shared_ptr<RegisterChip> chip);
    RegisterChip* chip(int32_t id);

private:
    Bench() = default;
    std::vector<std::unique_ptr<Device>> devices_;
    std::map<uintptr_t, Device*> handles_;  // nullptr: device unplugged
    uintptr_t nextHandle_ = 0x1000;
    uint32_t nextLocId_ = 0x1011;
    uint64_t calls_[kOpCount] = {};
    std::multimap<std::pair<unsigned, uint64_t>, uint32_t> failAt_;
    std::vector<std::shared_ptr<RegisterChip>> chips_;
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
