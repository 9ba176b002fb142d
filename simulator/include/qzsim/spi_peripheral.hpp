// Virtual SPI chips. They decode their pins edge by edge as real chips do
// and log every transaction and every protocol violation they saw, so that
// tests can check what arrived on the wire.
//
// The wire, shared by every SPI chip (SPISlave):
//  - SPI modes 0 to 3: the clock idles low (modes 0, 1) or high (2, 3); in
//    modes 0 and 2 data-in is sampled on the leading edge (idle -> active)
//    and data-out shifts on the trailing edge, the first bit being presented
//    when chip select is asserted; in modes 1 and 3 data-out shifts on the
//    leading edge and data-in is sampled on the trailing one. Chip select is
//    active low unless set active high; it starts a frame when asserted and
//    ends it when released. While deselected, data-out is released (it reads
//    high through the pull-up).
//  - Data-out timing, as strict as a real chip: a bit shifted out on the
//    shifting edge reaches the line only in the following sample (the output
//    valid time; in the sample of the shifting edge the line still shows the
//    previous bit) and holds through the next shifting edge's sample (the
//    hold time). A sampler one sample early reads the previous bit. Set to
//    the harshest case, the bit is valid only in the sample of the sampling
//    edge, and every other sample of a selected frame shows noise, so a
//    sampler one sample early or late reads garbage.
//  - Data-in must not change in the sample of a sampling edge (a violation).
//
// The register chip (SPIPeripheral):
//  - Each sampling edge takes data-in: first the read/write bit when the chip
//    has one (1 = read), then the address bits, then data words, most
//    significant bit first (least significant first if set so, each field
//    on its own). Each further word of the same frame belongs to the next
//    address (wrapping at the address width).
//  - During the read/write bit and the address data-out is low; during the
//    data phase it shifts out the addressed register.
//  - What a frame does:
//      with a read/write bit: 1 reads, 0 writes;
//      else, with an output-enable input wired: the level at the first data
//        edge decides (asserted = read). Data-out is driven only while the
//        input is asserted; it must stay asserted through a read's data phase
//        and stay off through a write's;
//      else the frame is an exchange, as in a plain shift-register chip: the
//        register is shifted out while the new word is shifted in.
//    Written and exchanged words are latched when chip select is released
//    (complete words only); a read latches nothing.
//
// The NOR flash (SPIFlash), commands of one byte then their arguments, most
// significant bit and byte first, 24-bit addresses wrapping at the size:
//   0x9F JEDEC ID (3 bytes, repeated), 0x05 status (repeated; bit 0 busy,
//   bit 1 write enabled), 0x03 read and 0x0B fast read (one dummy byte) from
//   the address on, 0x06 / 0x04 write enable / disable, 0x02 page program
//   (wraps within its 256-byte page, the last 256 bytes sent count; clears
//   bits only), 0x20 sector erase (4 KiB to 0xFF). Program and erase need
//   write enable, act when chip select is released on a byte boundary, keep
//   the chip busy for a set number of samples and then clear write enable.
//   A busy chip answers only the status command.
#pragma once

#include "qzsim/bench.hpp"
#include "qzsim/ring_log.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace qzsim {

// How long a virtual SPI chip's data-out holds each bit.
enum class SPIDataValid {
    ShiftToShift,        // the sample after the shifting edge up to the next one
    SamplingSampleOnly,  // only the sample of the sampling edge; noise elsewhere
};

struct SPIWiring {
    uint8_t clk = 0;
    uint8_t cs = 1;
    uint8_t sdi = 2;  // data into the chip
    uint8_t sdo = 3;  // data out of the chip
    uint8_t addrBits = 8;  // 0 to 32
    uint8_t dataBits = 8;  // 1 to 32
    bool rwBit = false;    // a read/write bit precedes the address
    bool posedge = true;   // clock idles low (modes 0, 1); false: idles high (2, 3)
    std::optional<uint8_t> outputEnable;  // pin of the output-enable input, if wired
    bool outputEnableHigh = true;         // its level while asserted
    bool cpha = false;          // data-in sampled on the trailing edge (modes 1, 3)
    bool csActiveHigh = false;  // chip select asserted high
    bool lsbFirst = false;      // fields least significant bit first
    SPIDataValid dataValid = SPIDataValid::ShiftToShift;

    // SPI mode 0 to 3 (clock polarity << 1 | phase).
    uint8_t mode() const { return static_cast<uint8_t>((posedge ? 0 : 2) | (cpha ? 1 : 0)); }
    void setMode(uint8_t mode) {
        posedge = (mode & 2u) == 0;
        cpha = (mode & 1u) != 0;
    }
};

struct SPITransaction {
    enum class Kind { Write, Read, Exchange };
    Kind kind;
    uint32_t address;
    std::vector<uint32_t> in;   // complete words that arrived on data-in
    std::vector<uint32_t> out;  // words shifted out on data-out (none for a write)
    bool operator==(const SPITransaction&) const = default;
};

struct SPIViolation {
    enum class Kind {
        ChipSelectRoseMidWord,  // released inside the command or a data word
        ClockWhileDeselected,   // a clock edge while chip select is released
        DataInChangedAtEdge,    // data-in moved in the sample of a sampling edge
        OutputEnableMismatch,   // output enable not matching the frame's direction
    };
    Kind kind;
    uint64_t sample;  // this chip's sample count when it happened
    bool operator==(const SPIViolation&) const = default;
};

// The wire side of an SPI chip: chip select, the clock edges of its mode and
// the timing of data-out. The chip's protocol answers the hooks.
class SPISlave : public Peripheral {
public:
    // Throws std::invalid_argument for pins above 7.
    explicit SPISlave(SPIWiring wiring);

    PinDrive onSample(uint8_t levels) final;

    const SPIWiring& wiring() const { return wiring_; }
    void setMode(uint8_t mode, bool csActiveHigh, bool lsbFirst);
    void setDataValid(SPIDataValid valid) { wiring_.dataValid = valid; }
    std::vector<SPIViolation> violations() const { return violations_.entries(); }
    uint64_t violationCount() const { return violations_.count(); }

protected:
    // Chip select asserted / released.
    virtual void select() = 0;
    virtual void deselect() = 0;
    // A sampling edge took `bit` from data-in (`levels`: all pins).
    virtual void sampled(bool bit, uint8_t levels) = 0;
    // The bit to present on data-out from the next shifting edge (or, in
    // modes 0 and 2, from chip select on).
    virtual bool nextOut() = 0;
    // Whether data-out is driven now (while selected).
    virtual bool drives(uint8_t) const { return true; }
    // Once per sample, before the pins are decoded.
    virtual void tick() {}
    void violation(SPIViolation::Kind kind) { violations_.push({kind, samples_}); }
    uint64_t samples() const { return samples_; }
    SPIWiring wiring_;
    RingLog<SPIViolation> violations_;

private:
    uint64_t samples_ = 0;
    bool seenAny_ = false;
    bool selected_ = false;
    bool clock_ = false;  // the clock pin's level in the previous sample
    bool dataIn_ = false;
    bool presented_ = false;  // the bit the chip's logic has shifted out
    bool line_ = false;       // what reaches data-out in this sample
    uint16_t noise_ = 0xACE1;
};

class SPIPeripheral : public SPISlave, public RegisterChip {
public:
    // Throws std::invalid_argument for pins above 7 or bit counts out of range.
    explicit SPIPeripheral(SPIWiring wiring);

    // Wires the output-enable input to `pin` (asserted at level `high`); throws
    // std::invalid_argument for a pin above 7.
    void setOutputEnable(uint8_t pin, bool high);
    // The most recent transactions and violations, oldest first (rings of
    // kDefaultLogLimit entries unless set), and how many there were in all.
    std::vector<SPITransaction> log() const { return log_.entries(); }
    uint64_t logCount() const { return log_.count(); }
    void setLogLimit(std::size_t entries);
    void clearLog();

private:
    void select() override;
    void deselect() override;
    void sampled(bool bit, uint8_t levels) override;
    bool nextOut() override;
    bool drives(uint8_t levels) const override;

    uint32_t commandBits() const;
    uint32_t wordAddress(uint32_t word) const;
    bool outputEnabled(uint8_t levels) const;
    SPITransaction::Kind frameKind(bool outputEnabledNow) const;
    // Shifts `bit` into `field`, which holds `taken` of its `width` bits.
    uint32_t shiftIn(uint32_t field, bool bit, uint32_t taken, uint32_t width) const;

    // the frame in progress
    uint32_t bits_ = 0;  // sampling edges since chip select was asserted
    uint32_t outBits_ = 0;  // bits presented on data-out
    bool readBit_ = false;
    uint32_t address_ = 0;
    uint32_t shiftIn_ = 0;
    uint32_t shiftOut_ = 0;  // the word being shifted out
    std::optional<SPITransaction::Kind> kind_;
    std::vector<uint32_t> in_;
    std::vector<uint32_t> out_;

    RingLog<SPITransaction> log_;
};

// A NOR flash; its bytes are its registers (unwritten ones read 0xFF).
class SPIFlash : public SPISlave, public RegisterChip {
public:
    // `size`: a power of two from 256 bytes to 16 MiB; `jedecId`: the three
    // ID bytes (manufacturer, type, capacity). Throws std::invalid_argument.
    SPIFlash(SPIWiring wiring, uint32_t size, uint32_t jedecId);

    // Samples a page program and a sector erase keep the chip busy.
    void setBusySamples(uint64_t program, uint64_t erase);
    uint32_t size() const { return size_; }
    bool busy() const { return busyLeft_ > 0; }
    uint8_t status() const;
    // The write-enable latch as it stands once a write cycle in progress has
    // ended (which clears it): between program runs the cycle runs out.
    std::optional<uint32_t> latch() const override { return writeEnabled_ && !busy() ? 1u : 0u; }
    void setLatch(uint32_t on) override { writeEnabled_ = on != 0; }
    // Commands the chip took, in all.
    uint64_t commandCount() const { return commands_; }

    static constexpr uint8_t kStatusBusy = 0x01;
    static constexpr uint8_t kStatusWriteEnabled = 0x02;

private:
    void select() override;
    void deselect() override;
    void sampled(bool bit, uint8_t levels) override;
    bool nextOut() override;
    void tick() override;

    uint8_t byteOut(uint32_t index) const;
    uint32_t addressOf(uint32_t offset) const { return (address_ + offset) & (size_ - 1); }

    uint32_t size_;
    uint32_t jedecId_;
    uint64_t programSamples_ = 200;
    uint64_t eraseSamples_ = 2000;
    uint64_t busyLeft_ = 0;
    bool writeEnabled_ = false;
    uint64_t commands_ = 0;
    // the frame in progress
    bool ignored_ = false;  // a command that a busy chip does not take
    uint32_t bitsIn_ = 0;
    uint32_t bitsOut_ = 0;
    uint8_t byteIn_ = 0;
    uint8_t outByte_ = 0xFF;
    uint8_t opcode_ = 0;
    uint32_t address_ = 0;
    std::vector<uint8_t> data_;  // a page program's bytes
};

}  // namespace qzsim
