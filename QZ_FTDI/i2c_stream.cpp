// The I2C waveform: START, address pass, register-address bytes, repeated
// START, data bytes with their acknowledge slots and STOP, played as pin
// samples in synchronous bit-bang mode. The master never drives SDA high into
// the peripheral where the peripheral may answer: it "releases" the line
// (SDA bit 1, and the external buffer's output enable asserted when one is
// fitted), and the bus pull-up or the peripheral decides the level.
#include "i2c.h"

#include <cstring>

namespace {

// How the master treats the data line during one event or slot.
enum DataLine : unsigned { DrivenLow = 0, DrivenHigh = 1, Released = 2 };

constexpr uint32_t kStopEvents = 3;
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kAddressBits = 7;

// Lays down the slots of one frame or stream word. Every bit slot is four
// events with SCL low, high, high, low and the data line held the same way in
// all four, so SDA only ever changes while SCL is low.
class SlotWriter {
public:
    SlotWriter(const PROT_DES& i2c, uint8_t* out) : begin_(out), out_(out) {
        const uint8_t oe = qz::pinBit(i2c.OEnum);
        const bool oeInUse = i2c.OE_EN == 1;
        scl_ = qz::pinBit(i2c.SCLnum);
        sda_ = qz::pinBit(i2c.SDAnumW);
        // Output enable idles at its not-asserted level; asserting flips it.
        const uint8_t oeIdle = oeInUse && i2c.OE_pol == 0 ? oe : 0;
        const uint8_t oeAsserted = oeInUse ? static_cast<uint8_t>(oeIdle ^ oe) : 0;
        sclLow_[DrivenLow] = oeIdle;
        sclLow_[DrivenHigh] = static_cast<uint8_t>(oeIdle | sda_);
        sclLow_[Released] = static_cast<uint8_t>(oeAsserted | sda_);
        for (unsigned line = 0; line < 3; ++line) {
            const uint8_t low = sclLow_[line];
            const uint8_t high = static_cast<uint8_t>(low | scl_);
            const uint8_t events[4] = {low, high, high, low};
            std::memcpy(&slot_[line], events, sizeof events);
        }
    }

    // One bit slot: SCL low, high, high, low.
    void bit(DataLine line) {
        std::memcpy(out_, &slot_[line], sizeof slot_[line]);
        out_ += sizeof slot_[line];
    }

    // START (and repeated START): SDA falls while SCL is high. Expects SCL
    // low with the line released, or the bus idle (both high), before it.
    void start() {
        const uint8_t high = static_cast<uint8_t>(sclLow_[DrivenHigh] | scl_);
        const uint8_t low = static_cast<uint8_t>(sclLow_[DrivenLow] | scl_);
        *out_++ = high;
        *out_++ = low;
        *out_++ = low;
    }

    // STOP: SDA is held low while SCL rises, then rises while SCL is high.
    // The last event's SDA comes from the last-event rule (see finish).
    void stop() {
        *out_++ = sclLow_[DrivenLow];
        *out_++ = static_cast<uint8_t>(sclLow_[DrivenLow] | scl_);
        *out_++ = static_cast<uint8_t>(sclLow_[DrivenLow] | scl_);
    }

    // The 7-bit address (bit 7 of `addr` is not sent), the read/write bit and
    // the released acknowledge slot.
    void addressPass(uint8_t addr, bool readBit) {
        for (uint32_t b = kAddressBits; b-- > 0;) bit((addr >> b) & 1u ? DrivenHigh : DrivenLow);
        bit(readBit ? DrivenHigh : DrivenLow);
        bit(Released);
    }

    // A byte sent to the peripheral: each 1 is `one`, each 0 driven low; then
    // the peripheral's acknowledge slot, released.
    void byteOut(uint8_t value, DataLine one) {
        for (uint32_t b = kBitsPerByte; b-- > 0;) bit((value >> b) & 1u ? one : DrivenLow);
        bit(Released);
    }

    // A byte from the peripheral: eight released slots, then the master's
    // acknowledge (driven low) or not-acknowledge (released).
    void byteIn(bool masterAcknowledges) {
        for (uint32_t b = 0; b < kBitsPerByte; ++b) bit(Released);
        bit(masterAcknowledges ? DrivenLow : Released);
    }

    // The last event of every stream has SDA set (the output enable keeps its
    // level): the STOP's rising SDA, or an acknowledged stream word's release.
    void finish() const {
        if (out_ != begin_) out_[-1] |= sda_;
    }

private:
    uint8_t* begin_;
    uint8_t* out_;
    uint8_t scl_ = 0;
    uint8_t sda_ = 0;
    uint8_t sclLow_[3] = {};  // the event byte with SCL low, per data-line treatment
    uint32_t slot_[3] = {};   // the four events of a bit slot, per treatment
};

// Byte k (0 = least significant) of a register address or data word; bytes
// beyond the 32-bit word are 0.
uint8_t byteOf(uint32_t word, uint32_t k) {
    return k < sizeof word ? static_cast<uint8_t>(word >> (8 * k)) : 0;
}

bool isRead(qz::sequenceMode mode) { return mode != qz::WRITE && mode != qz::WRITE_STREAM_WORD; }

// Whether the master acknowledges the last byte it reads: not in the NACK modes.
bool acknowledgesLastByte(qz::sequenceMode mode) {
    return mode != qz::READ_NACK && mode != qz::READ_STREAM_WORD_NACK;
}

}  // namespace

// Samples in the stream of `mode`: 42 (write) or 81 (read) + 36 x (A + B)
// for a full frame, 36 x B for a stream word.
uint32_t qz::i2cStreamLength(const PROT_DES& i2c, sequenceMode mode) {
    const uint32_t dataEvents = kI2CByteEvents * i2c.bytesPerReg;
    if (!qz::isFullFrame(mode)) return dataEvents;
    const uint32_t addressedPart =
        kI2CStartEvents + kI2CByteEvents + kI2CByteEvents * i2c.bytesPerAddr;
    const uint32_t readPass = isRead(mode) ? kI2CStartEvents + kI2CByteEvents : 0;
    return addressedPart + readPass + dataEvents + kStopEvents;
}

// Fills out[0, i2cStreamLength) with the frame or stream word of `mode`;
// `out` holds at least that many samples. Bits of `reg` above 8A and of
// `data` above 8B are not sent; read modes ignore `data`, stream words `reg`.
void qz::renderI2CStream(const PROT_DES& i2c, uint32_t reg, uint32_t data, sequenceMode mode,
                         uint8_t* out) {
    SlotWriter writer(i2c, out);
    const bool read = isRead(mode);
    const uint32_t addrBytes = i2c.bytesPerAddr;
    const uint32_t dataBytes = i2c.bytesPerReg;

    if (qz::isFullFrame(mode)) {
        writer.start();
        writer.addressPass(i2c.addr, false);
        // In a read frame the register address's ones are released, as the
        // data bits of a write are.
        for (uint32_t k = addrBytes; k-- > 0;)
            writer.byteOut(byteOf(reg, k), read ? Released : DrivenHigh);
        if (read) {
            writer.start();  // repeated START
            writer.addressPass(i2c.addr, true);
        }
    }
    for (uint32_t k = dataBytes; k-- > 0;) {
        if (read)
            writer.byteIn(k > 0 || acknowledgesLastByte(mode));
        else
            writer.byteOut(byteOf(data, k), Released);
    }
    if (qz::isFullFrame(mode)) writer.stop();
    writer.finish();
}

// The stream of `mode` in a fresh buffer; throws std::bad_alloc if none is left.
qz::ByteStream qz::createI2CByteStream(const PROT_DES& i2c, uint32_t reg, uint32_t data,
                                       sequenceMode mode) {
    ByteStream stream(i2cStreamLength(i2c, mode));
    renderI2CStream(i2c, reg, data, mode, stream.data());
    return stream;
}
