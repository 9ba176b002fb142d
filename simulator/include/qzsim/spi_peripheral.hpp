// A virtual SPI register chip. It decodes its pins edge by edge as a real
// chip does and logs every transaction and every protocol violation it saw,
// so that tests can check what arrived on the wire.
//
// The chip (SPI mode 0 when the clock idles low, mode 3 when it idles high):
//  - Chip select falling starts a frame; rising ends it. While chip select is
//    high the data-out line is released (it reads high through the pull-up).
//  - Each active clock edge (idle -> active level) samples data-in: first the
//    read/write bit when the chip has one (1 = read), then the address bits,
//    then data words, all most significant bit first. Each further word of
//    the same frame belongs to the next address (wrapping at the address
//    width).
//  - Data-out changes when chip select falls and on each edge back to idle,
//    so every bit is stable while the clock is at its active level. During
//    the read/write bit and the address it is low; during the data phase it
//    shifts out the addressed register.
//  - What a frame does:
//      with a read/write bit: 1 reads, 0 writes;
//      else, with an output-enable input wired: the level at the first data
//        edge decides (asserted = read). Data-out is driven only while the
//        input is asserted; it must stay asserted through a read's data phase
//        and stay off through a write's;
//      else the frame is an exchange, as in a plain shift-register chip: the
//        register is shifted out while the new word is shifted in.
//    Written and exchanged words are latched when chip select rises (complete
//    words only); a read latches nothing.
#pragma once

#include "qzsim/bench.hpp"
#include "qzsim/ring_log.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace qzsim {

struct SPIWiring {
    uint8_t clk = 0;
    uint8_t cs = 1;
    uint8_t sdi = 2;  // data into the chip
    uint8_t sdo = 3;  // data out of the chip
    uint8_t addrBits = 8;  // 0 to 32
    uint8_t dataBits = 8;  // 1 to 32
    bool rwBit = false;    // a read/write bit precedes the address
    bool posedge = true;   // clock idles low, sampled on the rising edge
    std::optional<uint8_t> outputEnable;  // pin of the output-enable input, if wired
    bool outputEnableHigh = true;         // its level while asserted
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
        ChipSelectRoseMidWord,  // inside the command or a data word
        ClockWhileDeselected,   // a clock edge while chip select is high
        DataInChangedAtEdge,    // data-in moved in the sample of an active edge
        OutputEnableMismatch,   // output enable not matching the frame's direction
    };
    Kind kind;
    uint64_t sample;  // this chip's sample count when it happened
    bool operator==(const SPIViolation&) const = default;
};

class SPIPeripheral : public Peripheral, public RegisterChip {
public:
    // Throws std::invalid_argument for pins above 7 or bit counts out of range.
    explicit SPIPeripheral(SPIWiring wiring);

    PinDrive onSample(uint8_t levels) override;

    const SPIWiring& wiring() const { return wiring_; }
    // Wires the output-enable input to `pin` (asserted at level `high`); throws
    // std::invalid_argument for a pin above 7.
    void setOutputEnable(uint8_t pin, bool high);
    // The most recent transactions and violations, oldest first (rings of
    // kDefaultLogLimit entries unless set), and how many there were in all.
    std::vector<SPITransaction> log() const { return log_.entries(); }
    std::vector<SPIViolation> violations() const { return violations_.entries(); }
    uint64_t logCount() const { return log_.count(); }
    uint64_t violationCount() const { return violations_.count(); }
    void setLogLimit(std::size_t entries);
    void clearLog();

private:
    uint32_t commandBits() const;
    uint32_t wordAddress(uint32_t word) const;
    bool outputEnabled(uint8_t levels) const;
    SPITransaction::Kind frameKind(bool outputEnabledNow) const;
    void violation(SPIViolation::Kind kind);
    void beginFrame();
    void endFrame();
    void activeEdge(bool dataIn, bool outputEnabledNow);
    void presentNextBit();

    SPIWiring wiring_;
    uint64_t samples_ = 0;
    bool seenAny_ = false;
    // pin state of the previous sample
    bool selected_ = false;
    bool clockActive_ = false;
    bool dataIn_ = false;
    // the frame in progress
    uint32_t bits_ = 0;  // active edges since chip select fell
    bool readBit_ = false;
    uint32_t address_ = 0;
    uint32_t shiftIn_ = 0;
    uint32_t shiftOut_ = 0;  // the word being shifted out
    bool dataOut_ = false;   // the level presented on data-out
    std::optional<SPITransaction::Kind> kind_;
    std::vector<uint32_t> in_;
    std::vector<uint32_t> out_;

    RingLog<SPITransaction> log_;
    RingLog<SPIViolation> violations_;
};

}  // namespace qzsim
