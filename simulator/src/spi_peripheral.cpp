#include "qzsim/spi_peripheral.hpp"

#include "qzsim/qzsim.h"

#include <algorithm>
#include <stdexcept>

namespace qzsim {

namespace {
constexpr uint8_t kLastPin = 7;
constexpr uint32_t kWordBits = 32;
constexpr uint32_t kByteBits = 8;

bool levelOf(uint8_t levels, uint8_t pin) { return ((levels >> pin) & 1u) != 0; }
uint8_t maskOf(uint8_t pin) { return static_cast<uint8_t>(1u << pin); }
uint32_t lowBits(uint32_t value, uint32_t count) {
    return count >= kWordBits ? value : value & ((1u << count) - 1u);
}
}  // namespace

// ---------------------------------------------------------------------------
// SPISlave: the wire

SPISlave::SPISlave(SPIWiring wiring) : wiring_(wiring) {
    const bool pinsValid = wiring_.clk <= kLastPin && wiring_.cs <= kLastPin &&
                           wiring_.sdi <= kLastPin && wiring_.sdo <= kLastPin &&
                           (!wiring_.outputEnable || *wiring_.outputEnable <= kLastPin);
    if (!pinsValid) throw std::invalid_argument("SPI chip pins are 0 to 7");
}

void SPISlave::setMode(uint8_t mode, bool csActiveHigh, bool lsbFirst) {
    if (mode > 3) throw std::invalid_argument("SPI modes are 0 to 3");
    wiring_.setMode(mode);
    wiring_.csActiveHigh = csActiveHigh;
    wiring_.lsbFirst = lsbFirst;
}

PinDrive SPISlave::onSample(uint8_t levels) {
    tick();
    const bool selected = levelOf(levels, wiring_.cs) == wiring_.csActiveHigh;
    const bool clock = levelOf(levels, wiring_.clk);
    const bool dataIn = levelOf(levels, wiring_.sdi);
    bool samplingNow = false;

    if (!seenAny_) {
        seenAny_ = true;  // the levels at power-up: no edge yet
    } else if (selected && !selected_) {
        select();
        if (!wiring_.cpha) presented_ = nextOut();
    } else if (!selected && selected_) {
        deselect();
    } else if (clock != clock_) {
        // A clock edge in the sample of a chip-select edge is not counted.
        const bool leading = clock == wiring_.posedge;  // idle -> active
        if (!selected) {
            violation(SPIViolation::Kind::ClockWhileDeselected);
        } else if (leading != wiring_.cpha) {
            if (dataIn != dataIn_) violation(SPIViolation::Kind::DataInChangedAtEdge);
            sampled(dataIn, levels);
            samplingNow = true;
        } else {
            presented_ = nextOut();
        }
    }
    selected_ = selected;
    clock_ = clock;
    dataIn_ = dataIn;
    ++samples_;
    // A 16-bit Galois LFSR: the noise of a line in transition.
    noise_ = static_cast<uint16_t>((noise_ >> 1) ^ ((noise_ & 1u) ? 0xB400u : 0u));

    // What the line shows in this sample: the bit presented before it (the
    // one shifted out in this very sample reaches the line in the next).
    bool shown = line_;
    line_ = presented_;
    if (wiring_.dataValid == SPIDataValid::SamplingSampleOnly && !samplingNow)
        shown = (noise_ & 1u) != 0;
    if (!selected || !drives(levels)) return {};  // released: the pull-up holds the line high
    const uint8_t sdo = maskOf(wiring_.sdo);
    return {sdo, shown ? sdo : uint8_t{0}};
}

// ---------------------------------------------------------------------------
// SPIPeripheral: the register chip

SPIPeripheral::SPIPeripheral(SPIWiring wiring) : SPISlave(wiring) {
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

bool SPIPeripheral::drives(uint8_t levels) const {
    return !wiring_.outputEnable || outputEnabled(levels);
}

SPITransaction::Kind SPIPeripheral::frameKind(bool outputEnabledNow) const {
    using Kind = SPITransaction::Kind;
    if (wiring_.rwBit) return readBit_ ? Kind::Read : Kind::Write;
    if (wiring_.outputEnable) return outputEnabledNow ? Kind::Read : Kind::Write;
    return Kind::Exchange;
}

uint32_t SPIPeripheral::shiftIn(uint32_t field, bool bit, uint32_t taken, uint32_t width) const {
    if (!wiring_.lsbFirst) return (field << 1) | (bit ? 1u : 0u);
    return taken < width && bit ? field | (1u << taken) : field;
}

// Chip select asserted: a new frame.
void SPIPeripheral::select() {
    bits_ = outBits_ = 0;
    readBit_ = false;
    address_ = shiftIn_ = shiftOut_ = 0;
    kind_.reset();
    in_.clear();
    out_.clear();
}

// Chip select released: complete words are latched (unless reading) and the
// transaction is logged; a frame cut inside a word is a violation.
void SPIPeripheral::deselect() {
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

// A sampling edge takes data-in as the read/write bit, an address bit or a
// data bit.
void SPIPeripheral::sampled(bool dataIn, uint8_t levels) {
    const bool outputEnabledNow = outputEnabled(levels);
    const uint32_t bit = bits_++;
    const uint32_t rw = wiring_.rwBit ? 1u : 0u;
    if (rw && bit == 0) {
        readBit_ = dataIn;
        return;
    }
    if (bit < commandBits()) {
        address_ = shiftIn(address_, dataIn, bit - rw, wiring_.addrBits);
        return;
    }
    if (!kind_) kind_ = frameKind(outputEnabledNow);
    if (wiring_.outputEnable && outputEnabledNow != (*kind_ == SPITransaction::Kind::Read))
        violation(SPIViolation::Kind::OutputEnableMismatch);
    const uint32_t inWord = (bit - commandBits()) % wiring_.dataBits;
    shiftIn_ = shiftIn(shiftIn_, dataIn, inWord, wiring_.dataBits);
    if (inWord == wiring_.dataBits - 1u) {
        in_.push_back(lowBits(shiftIn_, wiring_.dataBits));
        out_.push_back(lowBits(shiftOut_, wiring_.dataBits));
        shiftIn_ = 0;
    }
}

// The bit for the next sampling edge: low through the command, then the
// addressed register (low in a frame whose read/write bit says write).
bool SPIPeripheral::nextOut() {
    const uint32_t bit = outBits_++;
    if (bit < commandBits()) return false;
    const uint32_t dataBit = bit - commandBits();
    const uint32_t word = dataBit / wiring_.dataBits;
    const uint32_t bitInWord = dataBit % wiring_.dataBits;
    if (bitInWord == 0) shiftOut_ = registers.read(wordAddress(word));
    const bool writing = wiring_.rwBit && !readBit_;
    const uint32_t index = wiring_.lsbFirst ? bitInWord : wiring_.dataBits - 1u - bitInWord;
    return !writing && ((shiftOut_ >> index) & 1u) != 0;
}

// ---------------------------------------------------------------------------
// SPIFlash

namespace {
constexpr uint8_t kJedecId = 0x9F, kReadStatus = 0x05, kRead = 0x03, kFastRead = 0x0B,
                  kWriteEnable = 0x06, kWriteDisable = 0x04, kPageProgram = 0x02,
                  kSectorErase = 0x20;
constexpr uint32_t kAddressBytes = 3;
constexpr uint32_t kPageBytes = 256;
constexpr uint32_t kSectorBytes = 4096;
constexpr uint32_t kMaxFlashBytes = 1u << 24;
constexpr uint8_t kErased = 0xFF;
}  // namespace

SPIFlash::SPIFlash(SPIWiring wiring, uint32_t size, uint32_t jedecId)
    : SPISlave(wiring), size_(size), jedecId_(jedecId & 0xFFFFFFu) {
    if (size < kPageBytes || size > kMaxFlashBytes || (size & (size - 1)) != 0)
        throw std::invalid_argument("SPI flash: a power of two from 256 bytes to 16 MiB");
    if (wiring_.lsbFirst) throw std::invalid_argument("SPI flash: most significant bit first");
    registers.fill = kErased;
}

void SPIFlash::setBusySamples(uint64_t program, uint64_t erase) {
    programSamples_ = program;
    eraseSamples_ = erase;
}

uint8_t SPIFlash::status() const {
    return static_cast<uint8_t>((busy() ? kStatusBusy : 0) | (writeEnabled_ ? kStatusWriteEnabled : 0));
}

// The write cycle runs on; write enable clears when it ends.
void SPIFlash::tick() {
    if (busyLeft_ > 0 && --busyLeft_ == 0) writeEnabled_ = false;
}

void SPIFlash::select() {
    ignored_ = false;
    bitsIn_ = bitsOut_ = 0;
    byteIn_ = 0;
    outByte_ = kErased;
    opcode_ = 0;
    address_ = 0;
    data_.clear();
}

// The byte the chip shifts out as byte `index` of the frame (the command is
// byte 0); a released line (all ones) where the command gives nothing.
uint8_t SPIFlash::byteOut(uint32_t index) const {
    if (index == 0 || ignored_) return kErased;
    switch (opcode_) {
    case kJedecId: return static_cast<uint8_t>(jedecId_ >> (8 * (2 - (index - 1) % 3)));
    case kReadStatus: return status();
    case kRead:
        if (index > kAddressBytes) return static_cast<uint8_t>(registers.read(addressOf(index - 1 - kAddressBytes)));
        break;
    case kFastRead:
        if (index > kAddressBytes + 1)
            return static_cast<uint8_t>(registers.read(addressOf(index - 2 - kAddressBytes)));
        break;
    default: break;
    }
    return kErased;
}

void SPIFlash::sampled(bool bit, uint8_t) {
    byteIn_ = static_cast<uint8_t>((byteIn_ << 1) | (bit ? 1 : 0));
    if (++bitsIn_ % kByteBits != 0) return;
    const uint32_t index = bitsIn_ / kByteBits - 1;
    if (index == 0) {
        opcode_ = byteIn_;
        ignored_ = busy() && opcode_ != kReadStatus;
        if (!ignored_) ++commands_;
    } else if (index <= kAddressBytes) {
        address_ = ((address_ << 8) | byteIn_) & 0xFFFFFFu;
    } else if (opcode_ == kPageProgram) {
        data_.push_back(byteIn_);
        // Only the last page's worth of bytes is kept.
        if (data_.size() > kPageBytes) data_.erase(data_.begin());
    }
}

bool SPIFlash::nextOut() {
    const uint32_t bit = bitsOut_++;
    if (bit % kByteBits == 0) outByte_ = byteOut(bit / kByteBits);
    return ((outByte_ >> (kByteBits - 1 - bit % kByteBits)) & 1u) != 0;
}

// Writes act when chip select is released after a whole number of bytes.
void SPIFlash::deselect() {
    if (ignored_ || bitsIn_ == 0 || bitsIn_ % kByteBits != 0) return;
    const uint32_t bytes = bitsIn_ / kByteBits;
    switch (opcode_) {
    case kWriteEnable: if (bytes == 1) writeEnabled_ = true; break;
    case kWriteDisable: if (bytes == 1) writeEnabled_ = false; break;
    case kPageProgram: {
        if (!writeEnabled_ || bytes <= 1 + kAddressBytes) break;
        const uint32_t page = addressOf(0) & ~(kPageBytes - 1);
        uint32_t offset = addressOf(0) % kPageBytes;
        for (uint8_t byte : data_) {
            const uint32_t at = page + offset;
            // NOR cells: programming clears bits, only an erase sets them.
            registers.write(at, registers.read(at) & byte);
            offset = (offset + 1) % kPageBytes;
        }
        busyLeft_ = std::max<uint64_t>(programSamples_, 1);
        break;
    }
    case kSectorErase: {
        if (!writeEnabled_ || bytes != 1 + kAddressBytes) break;
        const uint32_t first = addressOf(0) & ~(kSectorBytes - 1);
        registers.cells.erase(registers.cells.lower_bound(first),
                              registers.cells.lower_bound(first + kSectorBytes));
        if (registers.fill != kErased)
            for (uint32_t a = first; a < first + kSectorBytes; ++a) registers.write(a, kErased);
        busyLeft_ = std::max<uint64_t>(eraseSamples_, 1);
        break;
    }
    default: break;
    }
}

}  // namespace qzsim

namespace {

// Attaches an SPI chip to the named device, its pins named after their
// signals in the wire trace: the chip's peripheral ID, or -1 for an unknown
// device or a chip the constructor refuses.
template <class Chip, class... Args>
int32_t attachSPIChip(const char* kind, const char* serial, const qzsim::SPIWiring& wiring,
                      Args... args) {
    using namespace qzsim;
    return guardedSim([&]() -> int32_t {
        const std::shared_ptr<Device> device = serial ? bench().share(serial) : nullptr;
        if (!device) return -1;
        auto chip = std::make_shared<Chip>(wiring, args...);
        {  // the device may be playing a transfer on another thread
            const auto held = device->lock();
            device->attach(chip);
            device->setPinName(wiring.clk, "CLK");
            device->setPinName(wiring.cs, "CS");
            device->setPinName(wiring.sdi, "MOSI");
            device->setPinName(wiring.sdo, "MISO");
        }
        return bench().adoptChip(chip, device, kind);
    });
}

qzsim::SPISlave* spiChip(int32_t peripheral) {
    return dynamic_cast<qzsim::SPISlave*>(qzsim::bench().chip(peripheral));
}

}  // namespace

extern "C" {

// A new SPI chip on the device's pins, its last two arguments in the order of
// initSPIDev (clock polarity, then read/write bit): its peripheral ID, or -1
// for an unknown device, pins above 7 or bit counts out of range.
int32_t qzsim_attach_spi(const char* serial, uint8_t clk, uint8_t cs, uint8_t sdi, uint8_t sdo,
                         uint8_t addrBits, uint8_t dataBits, int32_t posedge, int32_t rwBit) {
    const qzsim::SPIWiring wiring{clk,        cs,           sdi, sdo, addrBits, dataBits,
                                  rwBit == 1, posedge != 0, {},  true};
    return attachSPIChip<qzsim::SPIPeripheral>("spi", serial, wiring);
}

// A new SPI NOR flash (mode 0): its peripheral ID, or -1 for an unknown
// device, pins above 7 or a size that is not a power of two of 256 B-16 MiB.
int32_t qzsim_attach_spi_flash(const char* serial, uint8_t clk, uint8_t cs, uint8_t sdi,
                               uint8_t sdo, uint32_t sizeBytes, uint32_t jedecId) {
    qzsim::SPIWiring wiring;
    wiring.clk = clk;
    wiring.cs = cs;
    wiring.sdi = sdi;
    wiring.sdo = sdo;
    return attachSPIChip<qzsim::SPIFlash>("spi_flash", serial, wiring, sizeBytes, jedecId);
}

// Sets a flash's program and erase times in samples: 0, or -1 for another
// kind of peripheral.
int32_t qzsim_spi_flash_set_busy(int32_t peripheral, uint32_t programSamples,
                                 uint32_t eraseSamples) {
    auto* chip = dynamic_cast<qzsim::SPIFlash*>(qzsim::bench().chip(peripheral));
    if (!chip) return -1;
    chip->setBusySamples(programSamples, eraseSamples);
    return 0;
}

// Sets an SPI chip's mode, chip-select polarity and bit order: 0, or -1 for
// another kind of peripheral, a mode above 3, or LSB first on a flash.
int32_t qzsim_spi_set_mode(int32_t peripheral, uint32_t mode, int32_t csActiveHigh,
                           int32_t lsbFirst) {
    qzsim::SPISlave* chip = spiChip(peripheral);
    if (!chip || mode > 3) return -1;
    if (lsbFirst && dynamic_cast<qzsim::SPIFlash*>(chip)) return -1;
    chip->setMode(static_cast<uint8_t>(mode), csActiveHigh != 0, lsbFirst != 0);
    return 0;
}

// Sets how long an SPI chip's data-out holds a bit (0 or 1, see qzsim.h): 0,
// or -1 for another kind of peripheral or an unknown setting.
int32_t qzsim_spi_set_data_valid(int32_t peripheral, int32_t samplingSampleOnly) {
    qzsim::SPISlave* chip = spiChip(peripheral);
    if (!chip || samplingSampleOnly < 0 || samplingSampleOnly > 1) return -1;
    chip->setDataValid(samplingSampleOnly ? qzsim::SPIDataValid::SamplingSampleOnly
                                          : qzsim::SPIDataValid::ShiftToShift);
    return 0;
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
