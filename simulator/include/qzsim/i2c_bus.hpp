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
// real chip sees SCL fall first, thanks to its internal SDA hold time, so the
// bus handles the SCL edge before it looks at SDA: such a sample is never
// taken for a START or STOP.
//
// A chip decodes the bus edge by edge: START (SDA falls while SCL is high),
// repeated START, STOP (SDA rises while SCL is high); bits are sampled on SCL
// rising; the chip acknowledges by pulling SDA low from the falling edge after
// the eighth bit to the falling edge after the ninth; read data is driven from
// the falling edges; after the host's not-acknowledge it stops sending. Each
// further data word of one transfer goes to the next register.
#pragma once

#include "qzsim/bench.hpp"

#include <cstdint>
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
};

// One register word a chip took or gave.
struct I2CAccess {
    bool read = false;
    uint32_t reg = 0;
    uint32_t value = 0;
    bool operator==(const I2CAccess&) const = default;
};

class I2CChip : public RegisterChip {
public:
    // A 7-bit address; a register address of regBytes and registers of
    // dataBytes bytes (at most 4 each), most significant byte first.
    I2CChip(uint8_t address, uint8_t regBytes, uint8_t dataBytes);

    void setFault(I2CFault fault, uint32_t arg = 0);
    uint8_t address() const { return address_; }
    // Every register word written or read, in order.
    const std::vector<I2CAccess>& log() const { return log_; }
    void clearLog() { log_.clear(); }

    // ---- the bus side ----
    void onStart();
    void onStop();
    void onRise(bool sda);
    void onFall();
    // Output changes made by the edges of this sample take effect now (or,
    // for a slow chip, at the start of the next sample).
    void beginSample();
    void endSample();
    bool pullsSDA() const { return fault_ == I2CFault::HoldSDALow || sdaPin_; }
    bool pullsSCL() const { return fault_ == I2CFault::HoldSCLLow; }

private:
    enum class Phase { Idle, Receive, Transmit };
    enum class Role { Address, RegisterByte, DataByte };

    void byteReceived();
    void byteDone();
    void loadWord();
    void driveBit();

    uint8_t address_;
    uint32_t regBytes_;
    uint32_t dataBytes_;
    I2CFault fault_ = I2CFault::None;
    uint32_t faultArg_ = 0;

    Phase phase_ = Phase::Idle;
    Role role_ = Role::Address;
    uint32_t clocks_ = 0;  // rising SCL edges in the current byte, 1 to 9
    uint8_t shift_ = 0;
    bool acknowledging_ = false;
    bool hostAcknowledged_ = false;
    bool sdaOut_ = false;  // what the chip's logic pulls
    bool sdaPin_ = false;  // what reaches the line

    uint32_t pointer_ = 0;  // register of the next word
    uint32_t regAccum_ = 0;
    uint32_t regBytesSeen_ = 0;
    uint32_t word_ = 0;
    uint32_t wordBytes_ = 0;       // bytes of the current word taken or given
    uint32_t dataBytesSeen_ = 0;   // data bytes written since the last START
    std::vector<I2CAccess> log_;
};

// One violation of the bus protocol: SDA changed while SCL was high in the
// middle of a byte, where only START and STOP may change it.
struct I2CViolation {
    uint64_t sample;   // bus samples counted from the attach, 1 = the first
    std::string what;
};

class I2CBus : public Peripheral {
public:
    // Pins 0 to 7; the three must differ. Throws std::invalid_argument.
    I2CBus(uint8_t scl, uint8_t sdaWrite, uint8_t sdaRead);

    std::shared_ptr<I2CChip> addChip(uint8_t address, uint8_t regBytes, uint8_t dataBytes);
    void addChip(std::shared_ptr<I2CChip> chip);

    PinDrive onSample(uint8_t levels) override;

    const std::vector<I2CViolation>& violations() const { return violations_; }
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
    std::vector<I2CViolation> violations_;
};

}  // namespace qzsim
