// The I2C waveform: START, address pass, register-address bytes, repeated
// START, data bytes with their acknowledge slots and STOP, played as pin
// samples in synchronous bit-bang mode. The master never drives SDA high into
// the peripheral where the peripheral may answer: it "releases" the line
// (SDA bit 1, and the external buffer's output enable asserted when one is
// fitted), and the bus pull-up or the peripheral decides the level.
#include "i2c.h"

#include <cstring>
#include <optional>
#include <span>

namespace {

// How the master treats the data line during one event or slot.
enum DataLine : unsigned {
    DrivenLow = 0,
    DrivenHigh = 1,
    Released = 2,  // for the peripheral to answer (acknowledge, read data)
    SentOne = 3,   // released to send a 1 of the master's own
};
constexpr unsigned kLineKinds = 4;

constexpr uint32_t kStopEvents = 3;
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kAddressBits = 7;
// Strict timing: one more SCL-low sample after each START (so that SDA does
// not change in the sample in which SCL falls) and one before a repeated
// START (so that SCL stays low two samples there too).
constexpr uint32_t kStrictStartEvents = 1;
constexpr uint32_t kStrictRepeatedStartEvents = 2;

// Positions within a bit slot: SCL rises at 1, falls at 3.
constexpr uint32_t kFirstHighEvent = 1;
constexpr uint32_t kSecondHighEvent = 2;

// Lays down the slots of one frame or stream word. Every bit slot is four
// events with SCL low, high, high, low and the data line held the same way in
// all four, so SDA only ever changes while SCL is low. With a shape, it also
// records which pins the master watches and where the peripheral answers.
class SlotWriter {
public:
    SlotWriter(const PROT_DES& i2c, uint8_t* out, qz::I2CShape* shape = nullptr,
               bool secondHighSample = false)
        : begin_(out), out_(out), shape_(shape), secondHigh_(secondHighSample),
          strict_(qz::strictTiming(i2c)) {
        scl_ = qz::pinBit(i2c.SCLnum);
        sda_ = qz::pinBit(i2c.SDAnumW);
        sdaRead_ = qz::pinBit(i2c.SDAnumR);
        sclLow_[DrivenLow] = qz::i2cSample(i2c, false, qz::SdaLevel::DrivenLow);
        sclLow_[DrivenHigh] = qz::i2cSample(i2c, false, qz::SdaLevel::DrivenHigh);
        sclLow_[Released] = qz::i2cSample(i2c, false, qz::SdaLevel::Released);
        sclLow_[SentOne] = sclLow_[Released];
        for (unsigned line = 0; line < kLineKinds; ++line) {
            const uint8_t low = sclLow_[line];
            const uint8_t high = static_cast<uint8_t>(low | scl_);
            const uint8_t events[4] = {low, high, high, low};
            std::memcpy(&slot_[line], events, sizeof events);
        }
    }

    // One bit slot: SCL low, high, high, low. SDA is watched wherever the
    // master drives the slot (where it writes SDA high, it must read high).
    void bit(DataLine line) {
        const uint8_t watched = static_cast<uint8_t>(scl_ | (line == Released ? 0 : sdaRead_));
        watch(kFirstHighEvent, watched);
        watch(kSecondHighEvent, watched);
        std::memcpy(out_, &slot_[line], sizeof slot_[line]);
        out_ += sizeof slot_[line];
    }

    // START (and repeated START): SDA falls while SCL is high. Expects SCL
    // low with the line released, or the bus idle (both high), before it.
    // Strict timing keeps SCL low for a second sample before a repeated
    // START, and lets SCL fall one sample after the START, before the first
    // bit changes SDA.
    void start(bool repeated) {
        if (strict_ && repeated) *out_++ = sclLow_[DrivenHigh];
        const uint8_t high = static_cast<uint8_t>(sclLow_[DrivenHigh] | scl_);
        const uint8_t low = static_cast<uint8_t>(sclLow_[DrivenLow] | scl_);
        watch(0, static_cast<uint8_t>(scl_ | sdaRead_));  // the idle level before it
        watch(1, scl_);
        watch(2, scl_);
        *out_++ = high;
        *out_++ = low;
        *out_++ = low;
        if (strict_) *out_++ = sclLow_[DrivenLow];
    }

    // STOP: SDA is held low while SCL rises, then rises while SCL is high
    // (the last-event rule of finish gives the same byte).
    void stop() {
        watch(1, scl_);
        watch(2, static_cast<uint8_t>(scl_ | sdaRead_));
        *out_++ = sclLow_[DrivenLow];
        *out_++ = static_cast<uint8_t>(sclLow_[DrivenLow] | scl_);
        *out_++ = static_cast<uint8_t>(sclLow_[DrivenHigh] | scl_);
    }

    // The 7-bit address (bit 7 of `addr` is not sent), the read/write bit and
    // the released acknowledge slot.
    void addressPass(uint8_t addr, bool readBit) {
        for (uint32_t b = kAddressBits; b-- > 0;) bit((addr >> b) & 1u ? DrivenHigh : DrivenLow);
        bit(readBit ? DrivenHigh : DrivenLow);
        acknowledgeSlot();
    }

    // A byte sent to the peripheral: each 1 is `one`, each 0 driven low; then
    // the peripheral's acknowledge slot, released.
    void byteOut(uint8_t value, DataLine one) {
        for (uint32_t b = kBitsPerByte; b-- > 0;) bit((value >> b) & 1u ? one : DrivenLow);
        acknowledgeSlot();
    }

    // A byte from the peripheral: eight released slots, then the master's
    // acknowledge (driven low) or not-acknowledge (released).
    void byteIn(bool masterAcknowledges) {
        for (uint32_t b = 0; b < kBitsPerByte; ++b) {
            if (shape_)
                shape_->dataBits.push_back(here() +
                                           (secondHigh_ ? kSecondHighEvent : kFirstHighEvent));
            bit(Released);
        }
        bit(masterAcknowledges ? DrivenLow : Released);
    }

    // The last event of every stream has SDA set (the output enable keeps its
    // level): the STOP's rising SDA, or an acknowledged stream word's release.
    // Strict timing leaves a stream word's last event alone: SCL falls there,
    // and the next piece releases SDA one sample later.
    void finish(bool fullFrame) const {
        if (strict_ && !fullFrame) return;
        if (out_ != begin_) out_[-1] |= sda_;
    }

private:
    // The peripheral's acknowledge: sampled on the slot's second SCL-high
    // event, which leaves a late slave the whole SCL-low phase to answer.
    void acknowledgeSlot() {
        if (shape_) shape_->acks.push_back(here() + kSecondHighEvent);
        bit(Released);
    }

    uint32_t here() const { return static_cast<uint32_t>(out_ - begin_); }

public:
    // Samples laid down so far.
    std::size_t written() const { return static_cast<std::size_t>(out_ - begin_); }

private:

    // Pins to watch at event `offset` from the current position.
    void watch(uint32_t offset, uint8_t pins) {
        if (shape_) shape_->watchable[here() + offset] |= pins;
    }

    uint8_t* begin_;
    uint8_t* out_;
    qz::I2CShape* shape_;
    bool secondHigh_;
    bool strict_;
    uint8_t scl_ = 0;
    uint8_t sda_ = 0;
    uint8_t sdaRead_ = 0;
    uint8_t sclLow_[kLineKinds] = {};  // the event byte with SCL low, per data-line treatment
    uint32_t slot_[kLineKinds] = {};   // the four events of a bit slot, per treatment
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

uint8_t qz::i2cSample(const PROT_DES& i2c, bool sclHigh, SdaLevel sda) {
    const uint8_t oe = pinBit(i2c.OEnum);
    const bool oeInUse = i2c.OE_EN == 1;
    // Output enable idles at its not-asserted level; asserting flips it.
    const uint8_t oeIdle = oeInUse && i2c.OE_pol == 0 ? oe : 0;
    const uint8_t oeAsserted = oeInUse ? static_cast<uint8_t>(oeIdle ^ oe) : 0;
    uint8_t sample = sclHigh ? pinBit(i2c.SCLnum) : 0;
    if (sda == SdaLevel::DrivenLow) sample |= oeIdle;
    if (sda == SdaLevel::DrivenHigh) sample |= static_cast<uint8_t>(oeIdle | pinBit(i2c.SDAnumW));
    if (sda == SdaLevel::Released) sample |= static_cast<uint8_t>(oeAsserted | pinBit(i2c.SDAnumW));
    return sample;
}

// Samples in the stream of `mode`: 42 (write) or 81 (read) + 36 x (A + B)
// for a full frame, 36 x B for a stream word; strict timing adds one sample
// after each START and one before the repeated START.
uint32_t qz::i2cStreamLength(const PROT_DES& i2c, sequenceMode mode) {
    const uint32_t dataEvents = kI2CByteEvents * i2c.bytesPerReg;
    if (!qz::isFullFrame(mode)) return dataEvents;
    const bool strict = strictTiming(i2c);
    const uint32_t addressedPart = kI2CStartEvents + (strict ? kStrictStartEvents : 0) +
                                   kI2CByteEvents + kI2CByteEvents * i2c.bytesPerAddr;
    const uint32_t readPass =
        isRead(mode)
            ? kI2CStartEvents + kI2CByteEvents + (strict ? kStrictRepeatedStartEvents : 0)
            : 0;
    return addressedPart + readPass + dataEvents + kStopEvents;
}

namespace {

// Fills out[0, i2cStreamLength) with the frame or stream word of `mode`,
// recording its shape when there is one to record.
void render(const PROT_DES& i2c, uint32_t reg, uint32_t data, qz::sequenceMode mode,
            uint8_t* out, qz::I2CShape* shape, bool secondHighSample) {
    SlotWriter writer(i2c, out, shape, secondHighSample);
    const bool read = isRead(mode);
    const uint32_t addrBytes = i2c.bytesPerAddr;
    const uint32_t dataBytes = i2c.bytesPerReg;
    const bool fullFrame = qz::isFullFrame(mode);

    if (fullFrame) {
        writer.start(false);
        writer.addressPass(i2c.addr, false);
        // In a read frame the register address's ones are released, as the
        // data bits of a write are.
        for (uint32_t k = addrBytes; k-- > 0;)
            writer.byteOut(byteOf(reg, k), read ? SentOne : DrivenHigh);
        if (read) {
            writer.start(true);  // repeated START
            writer.addressPass(i2c.addr, true);
        }
    }
    for (uint32_t k = dataBytes; k-- > 0;) {
        if (read)
            writer.byteIn(k > 0 || acknowledgesLastByte(mode));
        else
            writer.byteOut(byteOf(data, k), SentOne);
    }
    if (fullFrame) writer.stop();
    writer.finish(fullFrame);
}

}  // namespace

// Bits of `reg` above 8A and of `data` above 8B are not sent; read modes
// ignore `data`, stream words `reg`.
void qz::renderI2CStream(const PROT_DES& i2c, uint32_t reg, uint32_t data, sequenceMode mode,
                         uint8_t* out) {
    render(i2c, reg, data, mode, out, nullptr, false);
}

namespace {

// The shape of a piece of `length` samples that `lay` lays down with a
// writer, recorded on a scratch copy of it.
template <class Lay>
qz::I2CShape shapeOf(const PROT_DES& i2c, std::size_t length, bool secondHighSample, Lay lay) {
    qz::I2CShape shape;
    shape.watchable.assign(length, 0);
    qz::ByteStream scratch(length);
    SlotWriter writer(i2c, scratch.data(), &shape, secondHighSample);
    lay(writer);
    return shape;
}

}  // namespace

qz::I2CShape qz::i2cShape(const PROT_DES& i2c, sequenceMode mode, bool secondHighSample) {
    const uint32_t length = i2cStreamLength(i2c, mode);
    I2CShape shape;
    shape.watchable.assign(length, 0);
    ByteStream scratch(length);
    render(i2c, 0, 0, mode, scratch.data(), &shape, secondHighSample);
    return shape;
}

uint32_t qz::I2CLayout::add(I2CShape shape) {
    shapes.push_back(std::move(shape));
    return static_cast<uint32_t>(shapes.size() - 1);
}

qz::I2CLayout qz::i2cRepeated(I2CShape shape, uint32_t count, uint32_t stride, bool perCopy) {
    I2CLayout layout;
    const auto length = static_cast<uint32_t>(shape.watchable.size());
    const uint32_t step = perCopy ? 1 : 0;
    layout.runs.push_back({.count = count, .stride = stride, .shape = layout.add(std::move(shape)),
                           .length = length, .frameStep = step, .unitStep = step});
    return layout;
}

// The stream of `mode` in a fresh buffer; throws std::bad_alloc if none is left.
qz::ByteStream qz::createI2CByteStream(const PROT_DES& i2c, uint32_t reg, uint32_t data,
                                       sequenceMode mode) {
    ByteStream stream(i2cStreamLength(i2c, mode));
    renderI2CStream(i2c, reg, data, mode, stream.data());
    return stream;
}

void qz::planI2CStream(const PROT_DES& i2c, sequenceMode first, sequenceMode piece,
                       sequenceMode lastPiece, uint32_t numRegs, uint32_t cut,
                       uint32_t pieceLength, I2CLayout& layout) {
    const uint32_t frame = layout.add(i2cShape(i2c, first));
    const auto closing = static_cast<uint32_t>(layout.shapes[frame].watchable.size() - cut);
    auto plan = [&](uint32_t shape, uint32_t at, uint32_t count, uint32_t from, uint32_t length,
                    uint32_t unit) {
        if (count > 0)
            layout.runs.push_back({.at = at, .count = count, .stride = length, .shape = shape,
                                   .from = from, .length = length, .unit = unit, .unitStep = 1});
    };
    plan(frame, 0, 1, 0, cut, 0);
    if (numRegs > 1) {
        plan(layout.add(i2cShape(i2c, piece)), cut, numRegs - 2, 0, pieceLength, 1);
        plan(layout.add(i2cShape(i2c, lastPiece)), cut + pieceLength * (numRegs - 2), 1, 0,
             pieceLength, numRegs - 1);
    }
    plan(frame, cut + pieceLength * (numRegs - 1), 1, cut, closing, 0);
}

namespace {

// Samples of one START, and what strict timing adds to the first START and
// to each repeated START.
uint32_t startSamples(const PROT_DES& i2c, bool repeated) {
    if (!qz::strictTiming(i2c)) return qz::kI2CStartEvents;
    return qz::kI2CStartEvents + (repeated ? kStrictRepeatedStartEvents : kStrictStartEvents);
}

}  // namespace

std::optional<uint64_t> qz::i2cMessagesLength(const PROT_DES& i2c,
                                              std::span<const QZ_I2C_MSG> msgs) {
    if (msgs.empty()) return std::nullopt;
    uint64_t total = kStopEvents;
    for (std::size_t m = 0; m < msgs.size(); ++m)
        total += startSamples(i2c, m > 0) + uint64_t{kI2CByteEvents} * (1 + uint64_t{msgs[m].len});
    return total;
}

// START, then per message its address pass and bytes (a read acknowledges
// all but its last byte), a repeated START between messages, one STOP. Every
// acknowledge is planned as frame and unit m, the message. The pieces' shapes
// (a message's head, a byte each way, the STOP) are recorded once each.
void qz::renderI2CMessages(const PROT_DES& i2c, std::span<const QZ_I2C_MSG> msgs, uint8_t* out,
                           I2CLayout& layout) {
    enum Piece : std::size_t { Head, HeadRead, RepeatedHead, RepeatedHeadRead, ByteOut, ByteInAck,
                               ByteInLast, Stop, kPieces };
    std::optional<uint32_t> shapes[kPieces];
    auto shapeFor = [&](Piece piece) {
        if (shapes[piece]) return *shapes[piece];
        const bool repeated = piece == RepeatedHead || piece == RepeatedHeadRead;
        const bool read = piece == HeadRead || piece == RepeatedHeadRead;
        I2CShape shape;
        if (piece <= RepeatedHeadRead)
            shape = shapeOf(i2c, startSamples(i2c, repeated) + kI2CByteEvents, false,
                            [&](SlotWriter& w) { w.start(repeated); w.addressPass(0, read); });
        else if (piece == Stop)
            shape = shapeOf(i2c, kStopEvents, false, [](SlotWriter& w) { w.stop(); });
        else
            shape = shapeOf(i2c, kI2CByteEvents, false, [&](SlotWriter& w) {
                if (piece == ByteOut) w.byteOut(0, SentOne);
                else w.byteIn(piece == ByteInAck);
            });
        shapes[piece] = layout.add(std::move(shape));
        return *shapes[piece];
    };
    auto plan = [&](Piece piece, uint32_t at, uint32_t count, uint32_t length, uint32_t message) {
        if (count > 0)
            layout.runs.push_back({.at = at, .count = count, .stride = length,
                                   .shape = shapeFor(piece), .length = length, .frame = message,
                                   .unit = message});
    };
    uint32_t at = 0;
    for (std::size_t m = 0; m < msgs.size(); ++m) {
        const QZ_I2C_MSG& msg = msgs[m];
        const auto index = static_cast<uint32_t>(m);
        const bool read = msg.read != 0;
        SlotWriter writer(i2c, out + at);
        writer.start(m > 0);
        writer.addressPass(msg.addr, read);
        const auto head = static_cast<uint32_t>(writer.written());
        plan(static_cast<Piece>((m > 0 ? RepeatedHead : Head) + (read ? 1 : 0)), at, 1, head,
             index);
        for (uint32_t k = 0; k < msg.len; ++k) {
            if (read)
                writer.byteIn(k + 1 < msg.len);
            else
                writer.byteOut(msg.buf[k], SentOne);
        }
        const uint32_t bytesAt = at + head;
        if (read) {
            plan(ByteInAck, bytesAt, msg.len - 1, kI2CByteEvents, index);
            plan(ByteInLast, bytesAt + kI2CByteEvents * (msg.len - 1), 1, kI2CByteEvents, index);
        } else {
            plan(ByteOut, bytesAt, msg.len, kI2CByteEvents, index);
        }
        const bool last = m + 1 == msgs.size();
        if (last) {
            plan(Stop, static_cast<uint32_t>(at + writer.written()), 1, kStopEvents, index);
            writer.stop();
        }
        writer.finish(last);
        at += static_cast<uint32_t>(writer.written());
    }
}
