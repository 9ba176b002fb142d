// The open-drain I2C bus and the virtual I2C register chips on it, decoded
// edge by edge from the pin levels of each sample; and their C interface.
#include "qzsim/i2c_bus.hpp"

#include "qzsim/qzsim.h"

#include <algorithm>
#include <mutex>
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

// The I2C timing of each mode: tLOW, tHIGH, tSU;DAT minimum, tVD;DAT maximum.
I2CTiming i2cTiming(I2CSpeed speed) {
    switch (speed) {
    case I2CSpeed::Standard: return {4700000, 4000000, 250000, 3450000};
    case I2CSpeed::Fast: return {1300000, 600000, 100000, 900000};
    case I2CSpeed::FastPlus: return {500000, 260000, 50000, 450000};
    case I2CSpeed::Unchecked: break;
    }
    return {0, 0, 0, 0};
}

bool I2CChip::lasts(uint64_t samples, uint64_t ps) const {
    return !checked() || samples * periodPs_ >= ps;
}

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

void I2CChip::setReactionDelay(uint32_t samples) {
    if (samples > kMaxReactionDelay) throw std::invalid_argument("I2C chip: reaction delay too long");
    delay_ = samples;
}

void I2CChip::setRegisterWidth(uint32_t reg, uint32_t bytes) {
    if (bytes == 0 || bytes > kMaxWordBytes)
        throw std::invalid_argument("I2C chip: registers of 1 to 4 bytes");
    widths_[reg] = bytes;
}

void I2CChip::setEeprom(uint32_t pageSize, uint32_t busySamples) {
    pageSize_ = pageSize;
    busySamples_ = busySamples;
}

// The slow-data-valid fault is a reaction delay of one sample.
// On a timed device the chip also takes its mode's whole data valid time: the
// change lands in the sample in which that time ends.
uint32_t I2CChip::reactionDelay() const {
    uint32_t delay = fault_ == I2CFault::SlowDataValid ? std::max<uint32_t>(delay_, 1) : delay_;
    if (checked())
        delay = std::max(delay, static_cast<uint32_t>(std::min<uint64_t>(
                                    i2cTiming(speed_).validPs / periodPs_, kMaxReactionDelay)));
    return delay;
}

uint32_t I2CChip::widthOf(uint32_t reg) const {
    const auto it = widths_.find(reg);
    return it == widths_.end() ? dataBytes_ : it->second;
}

// The register after `reg`: the chip's address counter is as wide as its
// register address (8 bits per byte), so it wraps from the last register to
// register 0, as EEPROMs and register chips do.
uint32_t I2CChip::following(uint32_t reg) const {
    const uint32_t bits = 8 * regBytes_;
    return bits == 0 || bits >= 32 ? reg + 1 : (reg + 1) & ((1u << bits) - 1);
}

// Where the word after the one just written goes: the next register, or in
// an EEPROM the next one within the same page (the page's first after its last).
uint32_t I2CChip::nextWritePointer() const {
    if (pageSize_ == 0) return following(pointer_);
    const uint32_t page = pointer_ - pointer_ % pageSize_;
    return page + (pointer_ - page + 1) % pageSize_;
}

bool I2CChip::pullsSCL() const {
    return fault_ == I2CFault::HoldSCLLow || sample_ <= stretchUntil_;
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
    wordsWritten_ = 0;
    if (regBytes_ == 0) pointer_ = 0;
}

// STOP: the transfer is over; SDA is let go. An EEPROM that took data starts
// its write cycle.
void I2CChip::onStop() {
    if (phase_ != Phase::Idle && wordsWritten_ > 0 && pageSize_ > 0)
        busyUntil_ = sample_ + busySamples_;
    wordsWritten_ = 0;
    phase_ = Phase::Idle;
    sdaOut_ = false;
}

// SDA as the chip sees it changed: while SCL is high, a START (falling) or a
// STOP (rising).
void I2CChip::seeSda(bool line, bool sclHigh) {
    if (line == lineSeen_) return;
    lineSeen_ = line;
    lastSdaEdge_ = sample_;
    if (!sclHigh) return;
    if (line)
        onStop();
    else
        onStart();
}

// SCL rose: bits 1 to 8 of a received byte are taken; on the ninth clock of a
// sent byte the host's acknowledge is read (low = acknowledged).
void I2CChip::onRise() {
    const I2CTiming timing = i2cTiming(speed_);
    const bool lowLongEnough = lasts(sample_ - lastSclEdge_, timing.lowPs);
    // Data that moved too shortly before this edge is taken at its old level.
    const bool sda = lasts(sample_ - lastSdaEdge_, timing.setupPs) ? lineSeen_ : !lineSeen_;
    lastSclEdge_ = sample_;
    if (phase_ == Phase::Idle) return;
    if (!lowLongEnough) return loseByte();
    ++clocks_;
    if (clocks_ <= kBitsPerByte) {
        if (phase_ == Phase::Receive) shift_ = static_cast<uint8_t>((shift_ << 1) | (sda ? 1 : 0));
    } else if (clocks_ == kAckClock && phase_ == Phase::Transmit) {
        hostAcknowledged_ = !sda;
    }
}

// SCL fell: the chip's logic changes SDA only here, while SCL is low.
void I2CChip::onFall() {
    const bool highLongEnough = lasts(sample_ - lastSclEdge_, i2cTiming(speed_).highPs);
    lastSclEdge_ = sample_;
    if (phase_ == Phase::Idle) return;
    if (!highLongEnough) return loseByte();
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

// A clock phase too short for the chip: it loses the byte, lets SDA go and
// waits for the next START.
void I2CChip::loseByte() {
    ++timingViolations_;
    phase_ = Phase::Idle;
    sdaOut_ = false;
}

// After the eighth bit of a received byte: decide the acknowledge and take the
// byte as address, register address or data.
void I2CChip::byteReceived() {
    bool acknowledge = true;
    switch (role_) {
    case Role::Address:
        if ((shift_ >> 1) != address_ || busy()) {
            phase_ = Phase::Idle;  // another chip's transfer, or a write cycle: wait for START
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
        takeDataByte();
        break;
    }
    sdaOut_ = acknowledge;
    tookPart_ = acknowledge;
}

// A written data byte joins the word for the register under the pointer; a
// complete word is stored and the pointer moves on.
void I2CChip::takeDataByte() {
    if (wordBytes_ == 0) {
        wordWidth_ = widthOf(pointer_);
        word_ = 0;
    }
    if (wordWidth_ == 0) return;  // registers of no bytes take nothing
    word_ = (word_ << 8) | shift_;
    if (++wordBytes_ < wordWidth_) return;
    registers.write(pointer_, word_);
    log_.push({false, pointer_, word_});
    ++wordsWritten_;
    pointer_ = nextWritePointer();
    wordBytes_ = 0;
}

// After the ninth clock: release the acknowledge, stretch the clock if the
// chip does, and set up the next byte.
void I2CChip::byteDone() {
    sdaOut_ = false;
    clocks_ = 0;
    if (tookPart_ && stretch_ > 0) stretchUntil_ = sample_ + stretch_;
    if (phase_ == Phase::Receive) {
        if (role_ == Role::Address && (shift_ & 1u)) {
            // Addressed for reading: send from the register pointer on.
            phase_ = Phase::Transmit;
            wordBytes_ = 0;
            loadWord();
        } else if (role_ == Role::Address) {
            role_ = regBytes_ > 0 ? Role::RegisterByte : Role::DataByte;
        } else if (role_ == Role::RegisterByte && regBytesSeen_ == regBytes_) {
            role_ = Role::DataByte;
        }
        shift_ = 0;
        return;
    }
    // A byte was sent.
    if (++wordBytes_ == wordWidth_) {
        log_.push({true, pointer_, word_});
        pointer_ = following(pointer_);
        wordBytes_ = 0;
    }
    if (!hostAcknowledged_) {
        phase_ = Phase::Idle;  // not-acknowledge: send nothing more
        return;
    }
    if (wordBytes_ == 0)
        loadWord();
    else
        driveBit();
}

// The register under the pointer becomes the word being sent, and its first
// bit goes out; a register of no bytes ends the read.
void I2CChip::loadWord() {
    word_ = readWord(pointer_);
    wordWidth_ = widthOf(pointer_);
    tookPart_ = wordWidth_ > 0;
    if (wordWidth_ == 0) {
        phase_ = Phase::Idle;
        return;
    }
    driveBit();
}

// Puts the next bit of the word on SDA, most significant first: clocks_ bits
// of the current byte have gone, wordBytes_ bytes of the word.
void I2CChip::driveBit() {
    const uint32_t byteIndex = wordWidth_ - 1 - wordBytes_;
    const uint32_t bitIndex = kBitsPerByte - 1 - clocks_;
    const bool one = ((word_ >> (8 * byteIndex + bitIndex)) & 1u) != 0;
    sdaOut_ = !one;  // open drain: a 1 is the line left to its pull-up
}

void I2CChip::beginSample() { ++sample_; }

// What the logic pulls now reaches the pin after the reaction delay; with no
// delay, in this very sample.
void I2CChip::endSample() {
    if (pending_.empty() && reactionDelay() == 0) {
        sdaPin_ = sdaOut_;
        return;
    }
    pending_.push_back(sdaOut_);
    while (pending_.size() > reactionDelay()) {
        sdaPin_ = pending_.front();
        pending_.pop_front();
    }
}

I2CPortExpander::I2CPortExpander(uint8_t address) : I2CChip(address, 0, 1) {
    registers.write(kOutputs, 0xFF);
    registers.write(kInputs, 0xFF);
}

uint32_t I2CPortExpander::readWord(uint32_t) const {
    return registers.read(kOutputs) & registers.read(kInputs) & 0xFFu;
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

void I2CBus::samplePeriod(uint64_t ps) {
    periodPs_ = ps;
    for (auto& chip : chips_) chip->setSamplePeriod(ps);
}

void I2CBus::addChip(std::shared_ptr<I2CChip> chip) {
    chip->bus_ = weak_from_this();
    chip->setSamplePeriod(periodPs_);
    chips_.push_back(std::move(chip));
}

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
    const bool hostSda = (levels & bitOf(sdaWrite_)) != 0;

    if (scl != sclHigh_) {
        // A chip that sees SDA ahead of SCL takes the host's SDA change
        // before this SCL edge.
        const bool early = hostSda && !anyChip(&I2CChip::pullsSDA);
        for (auto& chip : chips_)
            if (chip->sdaLeadsScl()) chip->seeSda(early, sclHigh_);
        // The SCL edge: a rising edge samples the line as each chip saw it.
        sclHigh_ = scl;
        if (scl) {
            ++clocks_;
            for (auto& chip : chips_) chip->onRise();
        } else {
            for (auto& chip : chips_) chip->onFall();
        }
    }
    for (auto& chip : chips_) chip->endSample();

    // Then SDA: open drain, low if the host or any chip pulls it low.
    const bool line = hostSda && !anyChip(&I2CChip::pullsSDA);
    if (line != line_) {
        line_ = line;
        if (sclHigh_) sdaChanged(line);
    }
    for (auto& chip : chips_) chip->seeSda(line, sclHigh_);

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
        violations_.push({sample_, std::string("SDA ") + (line ? "rose" : "fell") +
                                            " while SCL high, clock " +
                                            std::to_string(clockInByte) + " of byte " +
                                            std::to_string((clocks_ - 1) / kAckClock + 1)});
    }
    if (!line) {
        ++starts_;
        busy_ = true;
        clocks_ = 0;
    } else {
        if (busy_) ++stops_;
        busy_ = false;
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

// The bus on the device's pin triple, attached on first use. The table is
// shared by every device, which may be set up from several threads.
std::shared_ptr<I2CBus> busOn(Device& device, uint8_t scl, uint8_t sdaW, uint8_t sdaR) {
    static std::mutex tableMutex;
    const std::lock_guard<std::mutex> held(tableMutex);
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

// Puts a chip on the device's bus, its pins named after their signals in the
// wire trace (the read pin shows the open-drain line itself): its peripheral
// ID, or -1 for an unknown device.
int32_t attachI2CChip(const char* serial, uint8_t scl, uint8_t sdaW, uint8_t sdaR,
                      std::shared_ptr<I2CChip> chip, const char* kind) {
    const std::shared_ptr<Device> device = serial ? bench().share(serial) : nullptr;
    if (!device) return -1;
    {  // the device may be playing a transfer on another thread
        const auto held = device->lock();
        busOn(*device, scl, sdaW, sdaR)->addChip(chip);
        device->setPinName(scl, "SCL");
        device->setPinName(sdaR, "SDA");
        device->setPinName(sdaW, "SDA_W");
    }
    return bench().adoptChip(std::move(chip), device, kind);
}

// The I2C chip behind a peripheral ID, or nullptr.
I2CChip* i2cChip(int32_t peripheral) { return dynamic_cast<I2CChip*>(bench().chip(peripheral)); }

}  // namespace

extern "C" {

// A new chip on the device's bus: its peripheral ID, or -1 for an unknown
// device, pins that are not three different ones of 0-7, an address above
// 0x7F or more than 4 register or data bytes.
int32_t qzsim_attach_i2c(const char* serial, uint8_t scl, uint8_t sdaW, uint8_t sdaR,
                         uint8_t address, uint8_t regBytes, uint8_t dataBytes) {
    return guardedSim([&]() -> int32_t {
        return attachI2CChip(serial, scl, sdaW, sdaR,
                             std::make_shared<I2CChip>(address, regBytes, dataBytes), "i2c");
    });
}

// A new port expander on the device's bus: its peripheral ID, or -1 as for
// qzsim_attach_i2c.
int32_t qzsim_attach_i2c_expander(const char* serial, uint8_t scl, uint8_t sdaW, uint8_t sdaR,
                                  uint8_t address) {
    return guardedSim([&]() -> int32_t {
        if (address > kMaxAddress) return -1;
        return attachI2CChip(serial, scl, sdaW, sdaR, std::make_shared<I2CPortExpander>(address),
                             "i2c_expander");
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

// Sets a chip's reaction delay in samples: 0, or -1 for another peripheral or
// a delay above 65535.
int32_t qzsim_i2c_set_reaction_delay(int32_t peripheral, uint32_t samples) {
    I2CChip* chip = i2cChip(peripheral);
    if (!chip || samples > I2CChip::kMaxReactionDelay) return -1;
    chip->setReactionDelay(samples);
    return 0;
}

// Sets how many samples a chip holds SCL low after each byte: 0, or -1 for
// another peripheral.
int32_t qzsim_i2c_set_clock_stretch(int32_t peripheral, uint32_t samples) {
    I2CChip* chip = i2cChip(peripheral);
    if (!chip) return -1;
    chip->setClockStretch(samples);
    return 0;
}

// Makes a chip an EEPROM (pageSize 0: not one): 0, or -1 for another peripheral.
int32_t qzsim_i2c_set_eeprom(int32_t peripheral, uint32_t pageSize, uint32_t busySamples) {
    I2CChip* chip = i2cChip(peripheral);
    if (!chip) return -1;
    chip->setEeprom(pageSize, busySamples);
    return 0;
}

// Sets the bus speed a chip is made for (0 standard, 1 fast, 2 fast-plus,
// 3 unchecked): 0, or -1 for another peripheral or an unknown speed.
int32_t qzsim_i2c_set_speed(int32_t peripheral, int32_t speed) {
    I2CChip* chip = i2cChip(peripheral);
    if (!chip || speed < 0 || speed > 3) return -1;
    chip->setSpeed(static_cast<I2CSpeed>(speed));
    return 0;
}

// Sets the order in which a chip sees SDA and SCL change in one sample: 0, or
// -1 for another peripheral.
int32_t qzsim_i2c_set_sda_leads_scl(int32_t peripheral, int32_t leads) {
    I2CChip* chip = i2cChip(peripheral);
    if (!chip) return -1;
    chip->setSdaLeadsScl(leads != 0);
    return 0;
}

// Sets the width of one I2C register: 0, or -1 for another peripheral or a
// width outside 1-4.
int32_t qzsim_set_register_width(int32_t peripheral, uint32_t reg, uint32_t bytes) {
    I2CChip* chip = i2cChip(peripheral);
    if (!chip || bytes == 0 || bytes > kMaxWordBytes) return -1;
    chip->setRegisterWidth(reg, bytes);
    return 0;
}

}  // extern "C"
