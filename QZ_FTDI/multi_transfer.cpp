// Multi-register transfers in one USB round trip: batches (one complete frame
// per register, laid back to back) and streams (one frame addressed once,
// further data words spliced in before its closing samples).
#include "engine.h"

#include <algorithm>
#include <limits>

namespace {

using qz::ByteStream;
using qz::sequenceMode;

// FT_Write and FT_Read take 32-bit lengths.
constexpr uint64_t kMaxTransfer = std::numeric_limits<uint32_t>::max();

// ---- batches --------------------------------------------------------------

// The samples of a batch of numRegs frames, or nullopt when it does not fit
// one driver transfer.
std::optional<uint32_t> batchLength(const PROT_DES& des, uint32_t numRegs, bool write) {
    const uint64_t total =
        uint64_t{qz::protocolOf(des).length(des, write ? qz::WRITE : qz::READ_NACK)} * numRegs;
    if (total > kMaxTransfer) return std::nullopt;
    return static_cast<uint32_t>(total);
}

// The frames laid back to back; a read finds each frame as a batch's frame
// (an I2C write reads back too, for its acknowledges, every frame judged as
// a single transfer would judge it). Nothing is dumped. The driver's read
// waits for the rest once one frame's worth has come.
qz::Outcome batchTransfer(FT_HANDLE dev, const PROT_DES& des, const uint32_t* reg,
                          uint32_t* data, uint32_t numRegs, bool write, uint32_t total) {
    return qz::runTransaction(dev, des, nullptr, [&] {
        const qz::Protocol& protocol = qz::protocolOf(des);
        const sequenceMode mode = write ? qz::WRITE : qz::READ_NACK;
        const uint32_t frameLength = total / numRegs;
        qz::Transaction t;
        t.stream.resize(total);
        for (uint32_t i = 0; i < numRegs; ++i)
            protocol.render(des, reg[i], write ? data[i] : 0, mode,
                            t.stream.data() + std::size_t{frameLength} * i);
        protocol.planFrames(des, mode, numRegs, frameLength, true,
                            qz::Destination{write ? 0 : numRegs, 0, data, nullptr}, t.plan);
        t.options = qz::PlayOptions{!write || protocol.writesReadBack, frameLength, false};
        t.firstFrameLength = frameLength;
        return t;
    });
}

// ---- streams --------------------------------------------------------------

// A frame's last three samples close it (SPI: the sample before chip select
// rises and two with it high; I2C: the STOP). They move to the stream's end.
constexpr uint32_t kClosingSamples = 3;

// The samples of a stream of numRegs words, or nullopt when it does not fit
// one driver transfer.
std::optional<uint32_t> streamLength(const PROT_DES& des, uint32_t numRegs, bool write) {
    const qz::Protocol& protocol = qz::protocolOf(des);
    const qz::StreamKinds kinds = protocol.streamKinds(numRegs, write);
    const uint64_t total = protocol.length(des, kinds.first) +
                           uint64_t{protocol.length(des, kinds.piece)} * (numRegs - 1);
    if (total > kMaxTransfer) return std::nullopt;
    return static_cast<uint32_t>(total);
}

// One frame addressed once: the first frame without its closing samples,
// the pieces for the further words, then the closing samples. The written
// stream is dumped whatever the driver says; a read's read-back once its
// words were delivered. No wait first: the driver's read returns once every
// byte has come.
qz::Outcome streamTransfer(FT_HANDLE dev, const PROT_DES& des, uint32_t reg, uint32_t* data,
                           uint32_t numRegs, bool write, uint32_t total) {
    return qz::runTransaction(dev, des, nullptr, [&] {
        const qz::Protocol& protocol = qz::protocolOf(des);
        const qz::StreamKinds kinds = protocol.streamKinds(numRegs, write);
        const uint32_t frameLength = protocol.length(des, kinds.first);
        const uint32_t pieceLength = protocol.length(des, kinds.piece);
        qz::Transaction t;
        t.stream.resize(total);
        uint8_t* const out = t.stream.data();
        protocol.render(des, reg, write ? data[0] : 0, kinds.first, out);
        const uint32_t cut = frameLength - kClosingSamples;
        uint8_t closing[kClosingSamples];
        std::copy_n(out + cut, kClosingSamples, closing);
        uint32_t at = cut;
        for (uint32_t i = 1; i < numRegs; ++i, at += pieceLength)
            protocol.render(des, reg, write ? data[i] : 0,
                            i + 1 == numRegs ? kinds.lastPiece : kinds.piece, out + at);
        std::copy_n(closing, kClosingSamples, out + at);
        protocol.planStream(des, kinds, numRegs, cut, frameLength, pieceLength,
                            qz::Destination{write ? 0 : numRegs, 0, data, nullptr}, t.plan);
        t.options = qz::PlayOptions{!write || protocol.writesReadBack, std::nullopt, true};
        t.dumpReadBack = write ? qz::ReadBackDump::Never : qz::ReadBackDump::WhenDelivered;
        t.firstFrameLength = frameLength;
        return t;
    });
}

// ---- the C entry points' checks ---------------------------------------------

// Whether every register (and word written) fits: QZ_OK, or QZ_BAD_ARGUMENT
// naming the first that does not.
template <class RegisterOf>
qz::Outcome everyArgumentFits(const PROT_DES& des, RegisterOf regOf, const uint32_t* data,
                              uint32_t numRegs, bool write) {
    for (uint32_t i = 0; i < numRegs; ++i) {
        if (!qz::acceptsArguments(des, nullptr, regOf(i), write ? data[i] : 0, write)) {
            qz::Outcome outcome = qz::Outcome::of(QZ_BAD_ARGUMENT);
            outcome.index = i;
            return outcome;
        }
    }
    return qz::Outcome::success();
}

qz::Outcome batchHandle(FT_HANDLE dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                        uint32_t numRegs, bool write) {
    const auto des = qz::copyDescriptor(prot);
    if (!des || !reg || !data || numRegs == 0) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    const auto total = batchLength(*des, numRegs, write);
    if (!total) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    const qz::Outcome fits =
        everyArgumentFits(*des, [&](uint32_t i) { return reg[i]; }, data, numRegs, write);
    if (!fits.ok()) return fits;
    return qz::guardedOutcome(
        [&] { return batchTransfer(dev, *des, reg, data, numRegs, write, *total); });
}

qz::Outcome streamHandle(FT_HANDLE dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                         uint32_t numRegs, bool write) {
    const auto des = qz::copyDescriptor(prot);
    if (!des || !data || numRegs == 0) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    const auto total = streamLength(*des, numRegs, write);
    if (!total) return qz::Outcome::of(QZ_BAD_ARGUMENT);
    const qz::Outcome fits =
        everyArgumentFits(*des, [&](uint32_t) { return reg; }, data, numRegs, write);
    if (!fits.ok()) return fits;
    return qz::guardedOutcome(
        [&] { return streamTransfer(dev, *des, reg, data, numRegs, write, *total); });
}

}  // namespace

extern "C" {

// Writes (write non-zero) or reads numRegs registers reg[i] <-> data[i] as a
// batch of complete frames in one driver write (and one read). 0, or -1 on a
// driver failure, a handle that is not a live descriptor, a null argument,
// numRegs 0, a batch too large for one transfer, a register or word wider
// than the descriptor (no driver call for these), an I2C read of zero data
// bytes, a missing I2C acknowledge, a held bus or clock, or a read-back that
// does not show every frame; data is written only after a successful read.
int32_t multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                   uint32_t numRegs, int32_t write) {
    return qz::zeroOrFailure(batchHandle(dev, prot, reg, data, numRegs, write != 0));
}

// Writes or reads numRegs consecutive data words starting at register reg in
// one frame that carries the address once. Results as for multiRegRW.
int32_t multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                         uint32_t numRegs, int32_t write) {
    return qz::zeroOrFailure(streamHandle(dev, prot, reg, data, numRegs, write != 0));
}

// multiRegRW as a status; detail->index names the register concerned.
int32_t qz_multiRegRW(void* dev, PROT_HANDLE prot, const uint32_t* reg, uint32_t* data,
                      uint32_t numRegs, int32_t write, QZ_RESULT* detail) {
    return qz::report(batchHandle(dev, prot, reg, data, numRegs, write != 0), detail);
}

// multiRegStreamRW as a status; detail->index names the word concerned.
int32_t qz_multiRegStreamRW(void* dev, PROT_HANDLE prot, uint32_t reg, uint32_t* data,
                            uint32_t numRegs, int32_t write, QZ_RESULT* detail) {
    return qz::report(streamHandle(dev, prot, reg, data, numRegs, write != 0), detail);
}

}  // extern "C"
