#include "qzsim/spi_peripheral.hpp"

#include "qzsim/qzsim.h"

#include <stdexcept>

namespace qzsim {

namespace {
constexpr uint8_t kLastPin = 7;
constexpr uint8_t kWordBits = 32;

bool levelOf(uint8_t levels, uint8_t pin) { return ((levels >> pin) & 1u) != 0; }
uint8_t maskOf(uint8_t pin) { return static_cast<uint8_t>(1u << pin); }
uint32_t lowBits(uint32_t value, uint32_t count) {
    return count >= kWordBits ? value : value & ((1u << count) - 1u);
}
}  // namespace

SPIPeripheral::SPIPeripheral(SPIWiring wiring) : wiring_(wiring) {
    const bool pinsValid = wiring_.clk <= kLastPin && wiring_.cs <= kLastPin &&
                           wiring_.sdi <= kLastPin && wiring_.sdo <= kLastPin &&
                           (!wiring_.outputEnable || *wiring_.outputEnable <= kLastPin);
    if (!pinsValid) throw std::invalid_argument("SPI chip pins are 0 to 7");
    if (wiring_.addrBits > kWordBits || wiring_.dataBits == 0 || wiring_.dataBits > kWordBits)
        throw std::invalid_argument("SPI chip: 0-32 address bits, 1-32 data bits");
}

void SPIPeripheral::setOutputEnable(uint8_t pin, bool high) {
    if (pin > kLastPin) throw std::invalid_argument("SPI chip pins are 0 to 7");
    wiring_.outputEnable = pin;
    wiring_.outputEnableHigh = high;
}

void SPIPeripheral::setLogLimit(std::size_t entries) {
    log_.setLimit(entries);
    violations_.setLimit(entries);
}

// Empties both logs and their counts.
void SPIPeripheral::clearLog() {
    log_.clear();
    violations_.clear();
}

uint32_t SPIPeripheral::commandBits() const { return (wiring_.rwBit ? 1u : 0u) + wiring_.addrBits; }

uint32_t SPIPeripheral::wordAddress(uint32_t word) const {
    return lowBits(address_ + word, wiring_.addrBits);
}

bool SPIPeripheral::outputEnabled(uint8_t levels) const {
    return wiring_.outputEnable &&
           levelOf(levels, *wiring_.outputEnable) == wiring_.outputEnableHigh;
}

SPITransaction::Kind SPIPeripheral::frameKind(bool outputEnabledNow) const {
    using Kind = SPITransaction::Kind;
    if (wiring_.rwBit) return readBit_ ? Kind::Read : Kind::Write;
    if (wiring_.outputEnable) return outputEnabledNow ? Kind::Read : Kind::Write;
    return Kind::Exchange;
}

void SPIPeripheral::violation(SPIViolation::Kind kind) { violations_.push({kind, samples_}); }

// Chip select fell: a new frame, its first bit presented at once.
void SPIPeripheral::beginFrame() {
    bits_ = 0;
    readBit_ = false;
    address_ = shiftIn_ = shiftOut_ = 0;
    kind_.reset();
    in_.clear();
    out_.clear();
    presentNextBit();
}

// Chip select rose: complete words are latched (unless reading) and the
// transaction is logged; a frame cut inside a word is a violation.
void SPIPeripheral::endFrame() {
    if (bits_ == 0) return;  // selected and released without a clock
    if (bits_ < commandBits() || (bits_ - commandBits()) % wiring_.dataBits != 0)
        violation(SPIViolation::Kind::ChipSelectRoseMidWord);
    if (bits_ < commandBits()) return;  // no address: nothing to log
    const auto kind = kind_.value_or(frameKind(false));
    if (kind != SPITransaction::Kind::Read)
        for (uint32_t w = 0; w < in_.size(); ++w) registers.write(wordAddress(w), in_[w]);
    if (kind == SPITransaction::Kind::Write) out_.clear();
    log_.push({kind, address_, std::move(in_), std::move(out_)});
    in_.clear();
    out_.clear();
}

// An active edge samples data-in as the read/write bit, an address bit or a
// data bit.
void SPIPeripheral::activeEdge(bool dataIn, bool outputEnabledNow) {
    if (dataIn != dataIn_) violation(SPIViolation::Kind::DataInChangedAtEdge);
    const uint32_t bit = bits_++;
    if (wiring_.rwBit && bit == 0) {
        readBit_ = dataIn;
        return;
    }
    if (bit < commandBits()) {
        address_ = (address_ << 1) | (dataIn ? 1u : 0u);
        return;
    }
    if (!kind_) kind_ = frameKind(outputEnabledNow);
    if (wiring_.outputEnable && outputEnabledNow != (*kind_ == SPITransaction::Kind::Read))
        violation(SPIViolation::Kind::OutputEnableMismatch);
    shiftIn_ = (shiftIn_ << 1) | (dataIn ? 1u : 0u);
    if ((bit - commandBits()) % wiring_.dataBits == wiring_.dataBits - 1u) {
        in_.push_back(lowBits(shiftIn_, wiring_.dataBits));
        out_.push_back(lowBits(shiftOut_, wiring_.dataBits));
        shiftIn_ = 0;
    }
}

// Puts the bit for the next active edge on data-out: low through the command,
// then the addressed register, most significant bit first (low in a frame
// whose read/write bit says write).
void SPIPeripheral::presentNextBit() {
    if (bits_ < commandBits()) {
        dataOut_ = false;
        return;
    }
    const uint32_t dataBit = bits_ - commandBits();
    const uint32_t word = dataBit / wiring_.dataBits;
    const uint32_t bitInWord = dataBit % wiring_.dataBits;
    if (bitInWord == 0) shiftOut_ = registers.read(wordAddress(word));
    const bool writing = wiring_.rwBit && !readBit_;
    dataOut_ = !writing && ((shiftOut_ >> (wiring_.dataBits - 1u - bitInWord)) & 1u) != 0;
}

PinDrive SPIPeripheral::onSample(uint8_t levels) {
    const bool selected = !levelOf(levels, wiring_.cs);
    const bool clockActive = levelOf(levels, wiring_.clk) == wiring_.posedge;
    const bool dataIn = levelOf(levels, wiring_.sdi);
    const bool outputEnabledNow = outputEnabled(levels);

    if (!seenAny_) {
        seenAny_ = true;  // the levels at power-up: no edge yet
    } else if (selected && !selected_) {
        beginFrame();
    } else if (!selected && selected_) {
        endFrame();
    } else if (clockActive != clockActive_) {
        // A clock edge in the sample of a chip-select edge is not counted.
        if (!selected)
            violation(SPIViolation::Kind::ClockWhileDeselected);
        else if (clockActive)
            activeEdge(dataIn, outputEnabledNow);
        else
            presentNextBit();
    }
    selected_ = selected;
    clockActive_ = clockActive;
    dataIn_ = dataIn;
    ++samples_;

    const bool driving = selected && (!wiring_.outputEnable || outputEnabledNow);
    if (!driving) return {};  // released: the pull-up holds the line high
    const uint8_t sdo = maskOf(wiring_.sdo);
    return {sdo, dataOut_ ? sdo : uint8_t{0}};
}

}  // namespace qzsim

extern "C" {

// A new SPI chip on the device's pins, its last two arguments in the order of
// initSPIDev (clock polarity, then read/write bit): its peripheral ID, or -1
// for an unknown device, pins above 7 or bit counts out of range.
int32_t qzsim_attach_spi(const char* serial, uint8_t clk, uint8_t cs, uint8_t sdi, uint8_t sdo,
                         uint8_t addrBits, uint8_t dataBits, int32_t posedge, int32_t rwBit) {
    using namespace qzsim;
    return guardedSim([&]() -> int32_t {
        const std::shared_ptr<Device> device = serial ? bench().share(serial) : nullptr;
        if (!device) return -1;
        const SPIWiring wiring{clk,        cs,           sdi, sdo, addrBits, dataBits,
                               rwBit == 1, posedge != 0, {},  true};
        auto chip = std::make_shared<SPIPeripheral>(wiring);
        {  // the device may be playing a transfer on another thread
            const auto held = device->lock();
            device->attach(chip);
            // The wire trace names the pins after their signals.
            device->setPinName(clk, "CLK");
            device->setPinName(cs, "CS");
            device->setPinName(sdi, "MOSI");
            device->setPinName(sdo, "MISO");
        }
        return bench().adoptChip(chip);
    });
}

// Gates an SPI chip's data-out with an output-enable input: 0, or -1 for
// another kind of peripheral or a pin above 7.
int32_t qzsim_spi_output_enable(int32_t peripheral, uint8_t pin, int32_t high) {
    using namespace qzsim;
    auto* chip = dynamic_cast<SPIPeripheral*>(bench().chip(peripheral));
    if (!chip || pin > kLastPin) return -1;
    chip->setOutputEnable(pin, high != 0);
    return 0;
}

}  // extern "C"
