// The open-drain I2C bus and the virtual I2C register chips on it, decoded
// edge by edge from the pin levels of each sample; and their C interface.
#include "qzsim/i2c_bus.hpp"

#include "qzsim/qzsim.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace qzsim {

namespace {
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kAckClock = 9;  // the ninth clock of every byte
constexpr uint8_t kMaxPin = 7;
constexpr uint8_t kMaxWordBytes = 4;
constexpr uint8_t kMaxAddress = 0x7F;

uint8_t bitOf(uint8_t pin) { return static_cast<uint8_t>(1u << pin); }
}  // namespace

// ---------------------------------------------------------------------------
// I2CChip

I2CChip::I2CChip(uint8_t address, uint8_t regBytes, uint8_t dataBytes)
    : address_(address), regBytes_(regBytes), dataBytes_(dataBytes) {
    if (address > kMaxAddress || regBytes > kMaxWordBytes || dataBytes > kMaxWordBytes)
        throw std::invalid_argument("I2C chip: 7-bit address, at most 4 register and data bytes");
}

// Replaces the chip's fault; `arg` is the data byte for NoDataAck.
void I2CChip::setFault(I2CFault fault, uint32_t arg) {
    fault_ = fault;
    faultArg_ = arg;
}

// START or repeated START: a new address byte follows. A chip without a
// register address always starts at register 0.
void I2CChip::onStart() {
    phase_ = Phase::Receive;
    role_ = Role::Address;
    clocks_ = 0;
    shift_ = 0;
    sdaOut_ = false;
    regAccum_ = 0;
    regBytesSeen_ = 0;
    word_ = 0;
    wordBytes_ = 0;  // a partly written word is dropped
    dataBytesSeen_ = 0;
    if (regBytes_ == 0) pointer_ = 0;
}

// STOP: the transfer is over; SDA is let go.
void I2CChip::onStop() {
    phase_ = Phase::Idle;
    sdaOut_ = false;
}

// SCL rose: bits 1 to 8 of a received byte are taken; on the ninth clock of a
// sent byte the host's acknowledge is read (low = acknowledged).
void I2CChip::onRise(bool sda) {
    if (phase_ == Phase::Idle) return;
    ++clocks_;
    if (clocks_ <= kBitsPerByte) {
        if (phase_ == Phase::Receive) shift_ = static_cast<uint8_t>((shift_ << 1) | (sda ? 1 : 0));
    } else if (clocks_ == kAckClock && phase_ == Phase::Transmit) {
        hostAcknowledged_ = !sda;
    }
}

// SCL fell: the chip changes SDA only here, while SCL is low.
void I2CChip::onFall() {
    if (phase_ == Phase::Idle) return;
    if (clocks_ == 0) return;  // the fall that ends a START
    if (clocks_ < kBitsPerByte) {
        if (phase_ == Phase::Transmit) driveBit();
    } else if (clocks_ == kBitsPerByte) {
        if (phase_ == Phase::Receive)
            byteReceived();
        else
            sdaOut_ = false;  // the host answers in the ninth slot
    } else {
        byteDone();
    }
}

// After the eighth bit of a received byte: decide the acknowledge and take the
// byte as address, register address or data.
void I2CChip::byteReceived() {
    bool acknowledge = true;
    switch (role_) {
    case Role::Address:
        if ((shift_ >> 1) != address_) {
            phase_ = Phase::Idle;  // another chip's transfer: wait for START or STOP
            return;
        }
        acknowledge = fault_ != I2CFault::NoAddressAck;
        break;
    case Role::RegisterByte:
        regAccum_ = (regAccum_ << 8) | shift_;
        if (++regBytesSeen_ == regBytes_) pointer_ = regAccum_;
        break;
    case Role::DataByte:
        acknowledge = !(fault_ == I2CFault::NoDataAck && dataBytesSeen_ == faultArg_);
        ++dataBytesSeen_;
        if (dataBytes_ == 0) break;  // registers of no bytes take nothing
        word_ = (word_ << 8) | shift_;
        if (++wordBytes_ == dataBytes_) {
            registers.write(pointer_, word_);
            log_.push_back({false, pointer_, word_});
            ++pointer_;
            word_ = 0;
            wordBytes_ = 0;
        }
        break;
    }
    sdaOut_ = acknowledge;
}

// After the ninth clock: release the acknowledge and set up the next byte.
void I2CChip::byteDone() {
    sdaOut_ = false;
    clocks_ = 0;
    if (phase_ == Phase::Receive) {
        if (role_ == Role::Address && (shift_ & 1u)) {
            // Addressed for reading: send from the register pointer on.
            if (dataBytes_ == 0) {
                phase_ = Phase::Idle;
                return;
            }
            phase_ = Phase::Transmit;
            wordBytes_ = 0;
            loadWord();
            driveBit();
        } else if (role_ == Role::Address) {
            role_ = regBytes_ > 0 ? Role::RegisterByte : Role::DataByte;
        } else if (role_ == Role::RegisterByte && regBytesSeen_ == regBytes_) {
            role_ = Role::DataByte;
        }
        shift_ = 0;
        return;
    }
    // A byte was sent.
    if (++wordBytes_ == dataBytes_) {
        log_.push_back({true, pointer_, word_});
        ++pointer_;
        wordBytes_ = 0;
    }
    if (!hostAcknowledged_) {
        phase_ = Phase::Idle;  // not-acknowledge: send nothing more
        return;
    }
    if (wordBytes_ == 0) loadWord();
    driveBit();
}

// The register under the pointer becomes the word being sent.
void I2CChip::loadWord() { word_ = registers.read(pointer_); }

// Puts the next bit of the word on SDA, most significant first: clocks_ bits
// of the current byte have gone, wordBytes_ bytes of the word.
void I2CChip::driveBit() {
    const uint32_t byteIndex = dataBytes_ - 1 - wordBytes_;
    const uint32_t bitIndex = kBitsPerByte - 1 - clocks_;
    const bool one = ((word_ >> (8 * byteIndex + bitIndex)) & 1u) != 0;
    sdaOut_ = !one;  // open drain: a 1 is the line left to its pull-up
}

// A slow chip's output reaches the line one sample after its logic set it.
void I2CChip::beginSample() {
    if (fault_ == I2CFault::SlowDataValid) sdaPin_ = sdaOut_;
}

void I2CChip::endSample() {
    if (fault_ != I2CFault::SlowDataValid) sdaPin_ = sdaOut_;
}

// ---------------------------------------------------------------------------
// I2CBus

I2CBus::I2CBus(uint8_t scl, uint8_t sdaWrite, uint8_t sdaRead)
    : scl_(scl), sdaWrite_(sdaWrite), sdaRead_(sdaRead) {
    if (scl > kMaxPin || sdaWrite > kMaxPin || sdaRead > kMaxPin || scl == sdaWrite ||
        scl == sdaRead || sdaWrite == sdaRead)
        throw std::invalid_argument("I2C bus: three different pins 0 to 7");
}

// A new chip on the bus (throws std::invalid_argument like I2CChip).
std::shared_ptr<I2CChip> I2CBus::addChip(uint8_t address, uint8_t regBytes, uint8_t dataBytes) {
    auto chip = std::make_shared<I2CChip>(address, regBytes, dataBytes);
    addChip(chip);
    return chip;
}

void I2CBus::addChip(std::shared_ptr<I2CChip> chip) { chips_.push_back(std::move(chip)); }

bool I2CBus::anyChip(bool (I2CChip::*pulls)() const) const {
    return std::any_of(chips_.begin(), chips_.end(),
                       [&](const auto& chip) { return ((*chip).*pulls)(); });
}

// One sample: SCL edge, then SDA; drives the SDA-read pin with the line and,
// while a chip holds it, SCL low.
PinDrive I2CBus::onSample(uint8_t levels) {
    ++sample_;
    for (auto& chip : chips_) chip->beginSample();
    const bool sclHeld = anyChip(&I2CChip::pullsSCL);
    const bool scl = (levels & bitOf(scl_)) != 0 && !sclHeld;

    // The SCL edge first: a rising edge samples the line as it stood.
    if (scl != sclHigh_) {
        sclHigh_ = scl;
        if (scl) {
            ++clocks_;
            for (auto& chip : chips_) chip->onRise(line_);
        } else {
            for (auto& chip : chips_) chip->onFall();
        }
    }
    for (auto& chip : chips_) chip->endSample();

    // Then SDA: open drain, low if the host or any chip pulls it low.
    const bool line = (levels & bitOf(sdaWrite_)) != 0 && !anyChip(&I2CChip::pullsSDA);
    if (line != line_) {
        line_ = line;
        if (sclHigh_) sdaChanged(line);
    }

    PinDrive drive;
    drive.mask = static_cast<uint8_t>(bitOf(sdaRead_) | (sclHeld ? bitOf(scl_) : 0));
    drive.level = line ? bitOf(sdaRead_) : 0;
    return drive;
}

// SDA changed while SCL is high: a START (falling) or STOP (rising). Either is
// in order on an idle bus, right after a START, or on the first clock of a
// byte; anywhere else in a byte it breaks the bit being sent.
void I2CBus::sdaChanged(bool line) {
    const uint64_t clockInByte = clocks_ == 0 ? 0 : (clocks_ - 1) % kAckClock + 1;
    if (busy_ && clockInByte > 1) {
        violations_.push_back({sample_, std::string("SDA ") + (line ? "rose" : "fell") +
                                            " while SCL high, clock " +
                                            std::to_string(clockInByte) + " of byte " +
                                            std::to_string((clocks_ - 1) / kAckClock + 1)});
    }
    if (!line) {
        ++starts_;
        busy_ = true;
        clocks_ = 0;
        for (auto& chip : chips_) chip->onStart();
    } else {
        if (busy_) ++stops_;
        busy_ = false;
        for (auto& chip : chips_) chip->onStop();
    }
}

}  // namespace qzsim

// ---------------------------------------------------------------------------
// C interface

using namespace qzsim;

namespace {

// One bus per (device, pin triple). The device owns its buses; an entry whose
// bus is gone (device removed or cleared) is dropped on the next attach.
struct BusEntry {
    Device* device;
    uint8_t scl, sdaWrite, sdaRead;
    std::weak_ptr<I2CBus> bus;
};

std::vector<BusEntry>& buses() {
    static std::vector<BusEntry> entries;
    return entries;
}

// The bus on the device's pin triple, attached on first use.
std::shared_ptr<I2CBus> busOn(Device& device, uint8_t scl, uint8_t sdaW, uint8_t sdaR) {
    auto& entries = buses();
    std::erase_if(entries, [](const BusEntry& e) { return e.bus.expired(); });
    for (const BusEntry& e : entries)
        if (e.device == &device &&
            std::tie(e.scl, e.sdaWrite, e.sdaRead) == std::tie(scl, sdaW, sdaR))
            return e.bus.lock();
    auto bus = std::make_shared<I2CBus>(scl, sdaW, sdaR);
    device.attach(bus);
    entries.push_back({&device, scl, sdaW, sdaR, bus});
    return bus;
}

}  // namespace

extern "C" {

// A new chip on the device's bus: its peripheral ID, or -1 for an unknown
// device, pins that are not three different ones of 0-7, an address above
// 0x7F or more than 4 register or data bytes.
int32_t qzsim_attach_i2c(const char* serial, uint8_t scl, uint8_t sdaW, uint8_t sdaR,
                         uint8_t address, uint8_t regBytes, uint8_t dataBytes) {
    return guardedSim([&]() -> int32_t {
        Device* device = serial ? bench().find(serial) : nullptr;
        if (!device) return -1;
        auto chip = std::make_shared<I2CChip>(address, regBytes, dataBytes);
        busOn(*device, scl, sdaW, sdaR)->addChip(chip);
        return bench().adoptChip(std::move(chip));
    });
}

// Sets an I2C chip's fault mode (0-4, see qzsim.h): 0, or -1 for another
// peripheral, an unknown mode or a negative argument.
int32_t qzsim_i2c_fault(int32_t peripheral, int32_t fault, int32_t arg) {
    auto* chip = dynamic_cast<I2CChip*>(bench().chip(peripheral));
    if (!chip || arg < 0) return -1;
    static constexpr I2CFault kFaults[] = {I2CFault::None, I2CFault::NoAddressAck,
                                           I2CFault::NoDataAck, I2CFault::HoldSDALow,
                                           I2CFault::HoldSCLLow};
    if (fault < 0 || fault >= static_cast<int32_t>(std::size(kFaults))) return -1;
    chip->setFault(kFaults[fault], static_cast<uint32_t>(arg));
    return 0;
}

}  // extern "C"
