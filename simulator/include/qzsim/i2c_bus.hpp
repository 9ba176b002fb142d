// An open-drain I2C bus on three pins of a simulated FTDI chip, and virtual
// I2C register chips on it.
//
// The bus: SCL is driven by the host (a chip may hold it low); the SDA line is
// low while the host drives its SDA-write pin low or any chip pulls the line
// low, and high otherwise (pull-up). The SDA-read pin shows the line.
//
// Edge order within one sample: in synchronous bit-bang mode all pins change
// at once, so SCL may fall in the very sample in which SDA changes (the first
// address bit after every START, the end of an acknowledged stream word). A
// chip with an internal SDA hold time sees SCL fall first, so the bus hands
// chips the SCL edge before the SDA change: such a sample is not taken for a
// START or STOP (except by a chip set to see SDA ahead of SCL, below), and
// the bus's own START, STOP and violation counts follow that order.
//
// A chip decodes the bus edge by edge: START (SDA falls while SCL is high),
// repeated START, STOP (SDA rises while SCL is high); bits are sampled on SCL
// rising; the chip acknowledges by pulling SDA low from the falling edge after
// the eighth bit to the falling edge after the ninth; read data is driven from
// the falling edges; after the host's not-acknowledge it stops sending. Each
// further data word of one transfer goes to the next register.
#pragma once

#include "qzsim/bench.hpp"
#include "qzsim/ring_log.hpp"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qzsim {

enum class I2CFault {
    None,
    NoAddressAck,   // recognises its address but never acknowledges it
    NoDataAck,      // withholds the acknowledge of data byte `arg` of each write (0 = first)
    HoldSDALow,     // pulls SDA low all the time
    HoldSCLLow,     // pulls SCL low all the time
    SlowDataValid,  // its SDA output changes one sample after each SCL falling edge
                    // (a reaction delay of 1)
};

// One register word a chip took or gave.
struct I2CAccess {
    bool read = false;
    uint32_t reg = 0;
    uint32_t value = 0;
    bool operator==(const I2CAccess&) const = default;
};

class I2CBus;

// Habits of real chips, each off by default:
//  - Reaction delay: the chip's SDA output (acknowledge, read data, their
//    release) reaches the line `n` samples after the SCL falling edge that
//    made its logic change it. Its logic moves on at once: a chip that still
//    holds its acknowledge when SCL rises samples its own low level, and a
//    release that lands in a sample in which SCL is already high is a rising
//    SDA with SCL high, a STOP, to every chip on the bus (the harsher order).
//  - Clock stretching: after each byte it took part in (the falling edge that
//    ends the acknowledge slot) it holds SCL low for `n` samples; the
//    master's clock pulses in that time are lost.
//  - Per-register widths: register R transfers width(R) bytes (an LM75 has
//    1- and 2-byte registers); the words of a stream go register by register.
//  - EEPROM: written words go to the next register within the page of
//    `pageSize` registers (the pointer wraps to the start of the page), and
//    after the STOP of a transfer that wrote data the chip is busy with its
//    write cycle for `busySamples` bus samples: it does not acknowledge its
//    address and ignores the transfer.
//  - SDA ahead of SCL: a chip that samples the pins on its own clock through
//    unequal input paths may see SDA move before SCL in a sample in which
//    both change: SDA rising as SCL falls is a STOP to it.
//  - A read interrupted mid-byte (the master stops clocking) leaves the chip
//    driving its current bit; it lets go only when the master clocks the rest
//    of the byte out (and does not acknowledge it) or sends a STOP that the
//    line can show.
class I2CChip : public RegisterChip {
public:
    virtual ~I2CChip() = default;
    static constexpr uint32_t kMaxReactionDelay = 65535;

    // A 7-bit address; a register address of regBytes and registers of
    // dataBytes bytes (at most 4 each), most significant byte first.
    I2CChip(uint8_t address, uint8_t regBytes, uint8_t dataBytes);

    void setFault(I2CFault fault, uint32_t arg = 0);
    // Samples from an SCL falling edge to the SDA change it causes (0 to
    // kMaxReactionDelay; throws std::invalid_argument beyond).
    void setReactionDelay(uint32_t samples);
    // Samples SCL is held low after each byte (0: never).
    void setClockStretch(uint32_t samples) { stretch_ = samples; }
    // The width of one register in bytes, 1 to 4 (throws std::invalid_argument).
    void setRegisterWidth(uint32_t reg, uint32_t bytes);
    // EEPROM mode (pageSize 0: off; writes then go on past any page).
    void setEeprom(uint32_t pageSize, uint32_t busySamples);

    uint8_t address() const { return address_; }
    // The most recent register words written or read, oldest first (a ring
    // of kDefaultLogLimit entries unless set), and how many there were in all.
    std::vector<I2CAccess> log() const { return log_.entries(); }
    uint64_t logCount() const { return log_.count(); }
    void setLogLimit(std::size_t entries) { log_.setLimit(entries); }
    void clearLog() { log_.clear(); }
    // The bus the chip was added to (empty if none, or if it is gone).
    std::shared_ptr<I2CBus> bus() const { return bus_.lock(); }

    // Sees SDA move ahead of SCL: in a sample in which both change, the SDA
    // change comes first (default: SCL first).
    void setSdaLeadsScl(bool leads) { sdaLeadsScl_ = leads; }
    bool sdaLeadsScl() const { return sdaLeadsScl_; }

    // ---- the bus side ----
    // The SDA line as this chip sees it (a change while SCL is high is a
    // START or STOP); SCL edges, a rising one sampling that line.
    void seeSda(bool line, bool sclHigh);
    void onRise();
    void onFall();
    // Called around the edges of every sample: the chip counts samples, and
    // output changes made by its logic reach the line after the reaction
    // delay.
    void beginSample();
    void endSample();
    bool pullsSDA() const { return fault_ == I2CFault::HoldSDALow || sdaPin_; }
    bool pullsSCL() const;

private:
    friend class I2CBus;
    enum class Phase { Idle, Receive, Transmit };
    enum class Role { Address, RegisterByte, DataByte };

    void onStart();
    void onStop();
    void byteReceived();
    void byteDone();
    void takeDataByte();
    void loadWord();
    void driveBit();
    uint32_t widthOf(uint32_t reg) const;
    // The word a read of `reg` sends, and the register after `reg`.
    virtual uint32_t readWord(uint32_t reg) const { return registers.read(reg); }
    virtual uint32_t following(uint32_t reg) const;
    uint32_t nextWritePointer() const;
    uint32_t reactionDelay() const;
    bool busy() const { return sample_ <= busyUntil_; }

    uint8_t address_;
    uint32_t regBytes_;
    uint32_t dataBytes_;
    I2CFault fault_ = I2CFault::None;
    uint32_t faultArg_ = 0;
    uint32_t delay_ = 0;
    uint32_t stretch_ = 0;
    uint32_t pageSize_ = 0;
    uint32_t busySamples_ = 0;
    std::map<uint32_t, uint32_t> widths_;  // registers not of dataBytes bytes
    bool sdaLeadsScl_ = false;
    std::weak_ptr<I2CBus> bus_;

    Phase phase_ = Phase::Idle;
    Role role_ = Role::Address;
    uint32_t clocks_ = 0;  // rising SCL edges in the current byte, 1 to 9
    uint8_t shift_ = 0;
    bool hostAcknowledged_ = false;
    bool tookPart_ = false;  // acknowledged or sent the byte being finished
    bool lineSeen_ = true;   // SDA as the chip last saw it (the bus idles high)
    bool sdaOut_ = false;    // what the chip's logic pulls
    bool sdaPin_ = false;    // what reaches the line
    std::deque<bool> pending_;  // logic outputs on their way to the pin

    uint64_t sample_ = 0;        // bus samples seen, 1 = the first
    uint64_t stretchUntil_ = 0;  // SCL held low through this sample
    uint64_t busyUntil_ = 0;     // write cycle in progress through this sample

    uint32_t pointer_ = 0;  // register of the next word
    uint32_t regAccum_ = 0;
    uint32_t regBytesSeen_ = 0;
    uint32_t word_ = 0;
    uint32_t wordWidth_ = 0;       // bytes of the current word
    uint32_t wordBytes_ = 0;       // bytes of the current word taken or given
    uint32_t dataBytesSeen_ = 0;   // data bytes written since the last START
    uint32_t wordsWritten_ = 0;    // words stored since the last START
    RingLog<I2CAccess> log_;
};

// An 8-bit port expander without a register pointer (PCF8574-like): every
// byte written sets the outputs, every byte read returns the pins. Register 0
// is the output latch (0xFF at power-up: quasi-bidirectional pins, weakly
// high), register 1 what the circuit around drives on the pins (0xFF:
// nothing pulls them low); a pin reads low when either pulls it low.
class I2CPortExpander : public I2CChip {
public:
    explicit I2CPortExpander(uint8_t address);
    static constexpr uint32_t kOutputs = 0;
    static constexpr uint32_t kInputs = 1;

private:
    uint32_t readWord(uint32_t) const override;
    uint32_t following(uint32_t) const override { return kOutputs; }
};

// One violation of the bus protocol: SDA changed while SCL was high in the
// middle of a byte, where only START and STOP may change it.
struct I2CViolation {
    uint64_t sample;   // bus samples counted from the attach, 1 = the first
    std::string what;
};

class I2CBus : public Peripheral, public std::enable_shared_from_this<I2CBus> {
public:
    // Pins 0 to 7; the three must differ. Throws std::invalid_argument.
    I2CBus(uint8_t scl, uint8_t sdaWrite, uint8_t sdaRead);

    std::shared_ptr<I2CChip> addChip(uint8_t address, uint8_t regBytes, uint8_t dataBytes);
    void addChip(std::shared_ptr<I2CChip> chip);

    PinDrive onSample(uint8_t levels) override;

    // The most recent violations, oldest first (a ring), and their count.
    std::vector<I2CViolation> violations() const { return violations_.entries(); }
    uint64_t violationCount() const { return violations_.count(); }
    void setViolationLimit(std::size_t entries) { violations_.setLimit(entries); }
    void clearViolations() { violations_.clear(); }
    uint64_t starts() const { return starts_; }  // START and repeated START
    uint64_t stops() const { return stops_; }    // STOPs that ended a transfer

private:
    void sdaChanged(bool line);
    // Whether some chip on the bus pulls the line that `pulls` asks about.
    bool anyChip(bool (I2CChip::*pulls)() const) const;

    uint8_t scl_;
    uint8_t sdaWrite_;
    uint8_t sdaRead_;
    std::vector<std::shared_ptr<I2CChip>> chips_;

    bool sclHigh_ = true;  // the bus idles high
    bool line_ = true;
    bool busy_ = false;        // between a START and its STOP
    uint64_t clocks_ = 0;      // rising SCL edges since the last START
    uint64_t sample_ = 0;
    uint64_t starts_ = 0;
    uint64_t stops_ = 0;
    RingLog<I2CViolation> violations_;
};

}  // namespace qzsim
