// Multi-register transfers in one USB round trip: batches (one complete frame
// per register, laid back to back) and streams (one frame addressed once,
// further data words spliced in before its closing samples).
#include "i2c.h"
#include "qz_internal.h"
#include "spi.h"

#include <algorithm>
#include <limits>

namespace {

using qz::ByteStream;
using qz::sequenceMode;

// A waveform generator: the stream length for a mode, and a renderer that
// fills exactly that many samples.
struct Generator {
    uint32_t (*length)(const PROT_DES&, sequenceMode);
    void (*render)(const PROT_DES&, uint32_t, uint32_t, sequenceMode, uint8_t*);
};

// Indexed by SPI_I2C: 0 the I2C generator, 1 the SPI generator.
constexpr Generator byteStreamFunc[2] = {
    {qz::i2cStreamLength, qz::renderI2CStream},
    {qz::spiStreamLength, qz::renderSPIStream},
};

const Generator& generatorFor(const PROT_DES& des) {
    return byteStreamFunc[qz::isSPI(des) ? 1 : 0];
}

// FT_Write and FT_Read take 32-bit lengths.
constexpr uint64_t kMaxTransfer = std::numeric_limits<uint32_t>::max();

// ---- batch read-back references -------------------------------------------

// Every SPI frame raises chip select for its first two and last two samples,
// so each frame shows exactly one chip-select fall: its first CS-low sample.
// Positions of the falls, searched from the first sample with CS high (the
// levels from before the frame are not part of it); nullopt unless there are
// exactly `frames` of them. The table never grows past one entry per frame.
std::optional<std::vector<std::size_t>> chipSelectFalls(std::span<const uint8_t> rx,
                                                        const PROT_DES& spi, uint32_t frames) {
    std::vector<std::size_t> falls;
    falls.reserve(frames);
    std::size_t i = 0;
    while (i < rx.size() && !qz::pinHigh(rx[i], spi.CSnum)) ++i;
    for (++i; i < rx.size(); ++i) {
        if (!qz::pinHigh(rx[i - 1], spi.CSnum) || qz::pinHigh(rx[i], spi.CSnum)) continue;
        if (falls.size() == frames) return std::nullopt;  // more falls than frames
        falls.push_back(i);
    }
    if (falls.size() != frames) return std::nullopt;
    return falls;
}

// Only a START holds SCL high for three samples in a row (bits hold it for
// two); where a frame's closing samples run into the next START the run is
// longer but counts once. Every read frame has two STARTs: the opening one
// arms the detector, the repeated START in front of the address with the
// read bit is recorded at its third SCL-high sample (one earlier should SCL
// still be high in the next sample). nullopt unless exactly `frames` repeated
// STARTs are found; the table never grows past one entry per frame.
std::optional<std::vector<std::size_t>> repeatedStarts(std::span<const uint8_t> rx,
                                                       const PROT_DES& i2c, uint32_t frames) {
    std::vector<std::size_t> starts;
    starts.reserve(frames);
    unsigned highRun = 0;
    bool armed = false;
    for (std::size_t i = 0; i + 1 < rx.size(); ++i) {
        if (!qz::pinHigh(rx[i], i2c.SCLnum)) {
            highRun = 0;
            continue;
        }
        if (++highRun < qz::kI2CStartEvents) continue;
        highRun = 0;
        if (!armed) {
            armed = true;
            continue;
        }
        armed = false;
        if (starts.size() == frames) return std::nullopt;  // more than one per frame
        starts.push_back(qz::pinHigh(rx[i + 1], i2c.SCLnum) ? i - 1 : i);
    }
    if (starts.size() != frames) return std::nullopt;
    return starts;
}

// The value of one register whose first data bit (most significant) shows at
// rx[first]: SPI words are dataBits wide, two samples per bit; I2C words are
// bytesPerReg bytes of eight bits, four samples per bit.
std::optional<uint32_t> wordAt(std::span<const uint8_t> rx, std::size_t first, const PROT_DES& des) {
    if (qz::isSPI(des))
        return qz::parseByteStream(rx, first, des.SDOnum, qz::kSPISamplesPerBit, des.dataBits);
    return qz::i2cReadWord(rx, first, des.SDAnumR, des.bytesPerReg);
}

// Reads `count` words, the i-th starting at firstOf(i); nullopt if any word
// lies (partly) outside the read-back.
template <class FirstOf>
std::optional<std::vector<uint32_t>> wordsAt(std::span<const uint8_t> rx, uint32_t count,
                                             const PROT_DES& des, FirstOf firstOf) {
    std::vector<uint32_t> words(count);
    for (uint32_t i = 0; i < count; ++i) {
        const auto word = wordAt(rx, firstOf(i), des);
        if (!word) return std::nullopt;
        words[i] = *word;
    }
    return words;
}

// ---- batches --------------------------------------------------------------

// The data of every frame of a batch read-back; nullopt unless exactly one
// reference feature per frame is found and every word lies inside.
std::optional<std::vector<uint32_t>> extractBatch(std::span<const uint8_t> rx, uint32_t numRegs,
                                                  const PROT_DES& des) {
    if (qz::isSPI(des)) {
        const auto falls = chipSelectFalls(rx, des, numRegs);
        if (!falls) return std::nullopt;
        // The frame's first active clock comes one bit period after chip
        // select falls; the data follow the read/write bit and the address.
        return wordsAt(rx, numRegs, des, [&](uint32_t i) {
            return qz::spiDataPosition(des, (*falls)[i] + qz::kSPISamplesPerBit);
        });
    }
    const auto starts = repeatedStarts(rx, des, numRegs);
    if (!starts) return std::nullopt;
    // From the repeated START's third SCL-high sample: the address with the
    // read bit (one byte), then the first data bit's second SCL-high sample.
    constexpr std::size_t kFirstDataAfterRepeatedStart = qz::kI2CByteEvents + 3;
    return wordsAt(rx, numRegs, des,
                   [&](uint32_t i) { return (*starts)[i] + kFirstDataAfterRepeatedStart; });
}

int32_t batchTransfer(FT_HANDLE dev, const PROT_DES& des, const uint32_t* reg, uint32_t* data,
                      uint32_t numRegs, bool write) {
    const Generator& gen = generatorFor(des);
    const sequenceMode mode = write ? qz::WRITE : qz::READ_NACK;
    const uint32_t frameLength = gen.length(des, mode);
    const uint64_t total = uint64_t{frameLength} * numRegs;
    if (total > kMaxTransfer) return -1;  // does not fit one driver transfer

    if (!qz::purgeQueues(dev)) return -1;
    {  // the batch is released before its read-back is fetched
        ByteStream batch(total);
        if (qz::setImpedance(dev, des) != 0) return -1;
        for (uint32_t i = 0; i < numRegs; ++i)
            gen.render(des, reg[i], data[i], mode, batch.data() + std::size_t{frameLength} * i);
        if (!qz::writeStream(dev, batch, false)) return -1;
    }
    if (write) return 0;

    // Wait for one frame's worth; the driver's read waits for the rest.
    const auto rx = qz::readBack(dev, static_cast<uint32_t>(total), frameLength);
    if (!rx) return -1;
    const auto words = extractBatch(*rx, numRegs, des);
    if (!words) return -1;
    std::copy(words->begin(), words->end(), data);
    return 0;
}

// ---- streams --------------------------------------------------------------

// The kinds of the three parts of a stream: the first frame, the pieces for
// the further words, and the last piece (an I2C read does not acknowledge
// the very last byte).
struct StreamKinds {
    sequenceMode first, piece, lastPiece;
};

StreamKinds streamKinds(const PROT_DES& des, uint32_t numRegs, bool write) {
    if (write) return {qz::WRITE, qz::WRITE_STREAM_WORD, qz::WRITE_STREAM_WORD};
    if (qz::isSPI(des)) return {qz::READ_ACK, qz::READ_STREAM_WORD_ACK, qz::READ_STREAM_WORD_ACK};
    return {numRegs == 1 ? qz::READ_NACK : qz::READ_ACK, qz::READ_STREAM_WORD_ACK,
            qz::READ_STREAM_WORD_NACK};
}

// A frame's last three samples close it (SPI: the sample before chip select
// rises and two with it high; I2C: the STOP). They move to the stream's end.
constexpr uint32_t kClosingSamples = 3;

// The words of a stream read-back: the first word sits where a single read
// finds it, the others follow at one word's length each.
std::optional<std::vector<uint32_t>> extractStream(std::span<const uint8_t> rx, uint32_t numRegs,
                                                   uint32_t frameLength, const PROT_DES& des) {
    if (qz::isSPI(des)) {
        const auto strobe = qz::findSPIStrobe(des, rx, frameLength);
        if (!strobe) return std::nullopt;
        return wordsAt(rx, numRegs, des,
                       [&](uint32_t i) { return qz::spiDataPosition(des, *strobe, i); });
    }
    const auto reference = qz::i2cFrameReference(rx, des.SCLnum, frameLength);
    if (!reference) return std::nullopt;
    const std::size_t first = qz::i2cFirstDataSample(*reference, des.bytesPerAddr);
    const std::size_t wordLength = std::size_t{qz::kI2CByteEvents} * des.bytesPerReg;
    return wordsAt(rx, numRegs, des, [&](uint32_t i) { return first + wordLength * i; });
}

int32_t streamTransfer(FT_HANDLE dev, const PROT_DES& des, uint32_t reg, uint32_t* data,
                       uint32_t numRegs, bool write) {
    const Generator& gen = generatorFor(des);
    const StreamKinds kinds = streamKinds(des, numRegs, write);
    const uint32_t frameLength = gen.length(des, kinds.first);
    const uint32_t pieceLength = gen.length(des, kinds.piece);
    const uint64_t total = frameLength + uint64_t{pieceLength} * (numRegs - 1);
    if (total > kMaxTransfer) return -1;

    if (!qz::purgeQueues(dev)) return -1;
    if (qz::setImpedance(dev, des) != 0) return -1;
    {  // the stream is released before its read-back is fetched
        ByteStream stream(total);
        gen.render(des, reg, write ? data[0] : 0, kinds.first, stream.data());
        uint8_t closing[kClosingSamples];
        std::copy_n(stream.data() + frameLength - kClosingSamples, kClosingSamples, closing);
        std::size_t at = frameLength - kClosingSamples;
        for (uint32_t i = 1; i < numRegs; ++i, at += pieceLength)
            gen.render(des, reg, write ? data[i] : 0,
                       i + 1 == numRegs ? kinds.lastPiece : kinds.piece, stream.data() + at);
        std::copy_n(closing, kClosingSamples, stream.data() + at);
        if (!qz::writeStream(dev, stream, true)) return -1;
    }
    if (write) return 0;

    // No wait first: the driver's read returns once every byte has come.
    const auto rx = qz::readBack(dev, static_cast<uint32_t>(total), std::nullopt);
    if (!rx) return -1;
    const auto words = extractStream(*rx, numRegs, frameLength, des);
    if (!words) return -1;
    std::copy(words->begin(), words->end(), data);
    qz::dumpIf(readDebug, *rx);
    return 0;
}

}  // namespace

extern "C" {

// Writes (write non-zero) or reads numRegs registers reg[i] <-> data[i] as a
// batch of complete frames in one driver write (and one read). 0, or -1 on a
// driver failure, a null argument, numRegs 0, a batch too large for one
// transfer, or a read-back that does not show every frame; data is written
// only after a successful read.
int32_t multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                   uint32_t numRegs, int32_t write) {
    const auto des = qz::copyDescriptor(prot);
    if (!des || !reg || !data || numRegs == 0) return -1;
    return qz::guarded([&] { return batchTransfer(dev, *des, reg, data, numRegs, write != 0); });
}

// Writes or reads numRegs consecutive data words starting at register reg in
// one frame that carries the address once. Results as for multiRegRW.
int32_t multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                         uint32_t numRegs, int32_t write) {
    const auto des = qz::copyDescriptor(prot);
    if (!des || !data || numRegs == 0) return -1;
    return qz::guarded([&] { return streamTransfer(dev, *des, reg, data, numRegs, write != 0); });
}

}  // extern "C"
