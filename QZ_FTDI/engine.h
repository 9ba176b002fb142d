// The transaction engine (engine.cpp): each protocol's frame geometry in one
// table row, chosen once per descriptor, and the one runner that plays a
// planned stream and states the dump and judging rules of every transfer.
#pragma once

#include "descriptors.h"
#include "frame.h"
#include "i2c.h"
#include "spi.h"
#include "status.h"
#include "transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace qz {

// What a transaction's read-back must show, and where its words go.
struct ReadPlan {
    I2CLayout layout;                // I2C: the pieces, for the judge and the data bits
    std::vector<Destination> words;  // I2C: the words the data bits form, in stream order
    SPIFields fields;                // SPI: the frames and their fields
};

// The kinds of the three parts of a stream: the first frame, the pieces for
// the further words, and the last piece.
struct StreamKinds {
    sequenceMode first, piece, lastPiece;
};

// The verdict on a read-back: QZ_OK or the first thing that went wrong, and
// the lag (read-back position of written sample k is k + lag).
struct Judgement {
    Outcome outcome;
    std::size_t lag = 0;
};

// One protocol's frame geometry and read-back rules.
struct Protocol {
    uint32_t samplesPerBit;               // samples of one SCL or SCK period
    uint8_t (*outputs)(const PROT_DES&);  // the pins it drives (without the output enable)
    // The samples of a piece of `mode`, and its renderer (exactly that many).
    uint32_t (*length)(const PROT_DES&, sequenceMode);
    void (*render)(const PROT_DES&, uint32_t reg, uint32_t data, sequenceMode, uint8_t* out);
    // Whether a register and (for writes) a data word fit the descriptor.
    bool (*fits)(const PROT_DES&, uint32_t reg, uint32_t data, bool write);
    // Whether a read of the descriptor's registers would carry no data (refused).
    bool (*readsNothing)(const PROT_DES&);
    StreamKinds (*streamKinds)(uint32_t numRegs, bool write);
    bool writesReadBack;  // writes fetch their read-back too (for acknowledges)
    // The plan of `count` frames of `mode`, frameLength apart (batch: as a
    // batch's frames are found, else as a single frame's), words into `into`.
    void (*planFrames)(const PROT_DES&, sequenceMode, uint32_t count, uint32_t frameLength,
                       bool batch, Destination into, ReadPlan&);
    // The plan of a stream of numRegs words whose first frame is cut before
    // its closing samples at `cut`; words into `into`.
    void (*planStream)(const PROT_DES&, const StreamKinds&, uint32_t numRegs, uint32_t cut,
                       uint32_t frameLength, uint32_t pieceLength, Destination into, ReadPlan&);
    // Judges a fetched read-back against the written stream (the first
    // frame's start searched within firstFrameLength samples).
    Judgement (*judge)(const PROT_DES&, std::span<const uint8_t> written, const ReadPlan&,
                       std::span<const uint8_t> rx, uint32_t firstFrameLength);
    // Every planned word into its destination; false, none touched, when a
    // word does not show.
    bool (*receive)(const PROT_DES&, const ReadPlan&, std::span<const uint8_t> rx,
                    std::size_t lag);
};

// The descriptor's protocol: SPI for SPI_I2C == 1, I2C otherwise.
const Protocol& protocolOf(const PROT_DES& des);
extern const Protocol kI2CProtocol;
extern const Protocol kSPIProtocol;

// When a transaction dumps its read-back (under the read dump switch): never,
// once it has been fetched in full (also when the judge or the parser then
// fails: the dump shows why), or only once its words were delivered.
enum class ReadBackDump { Never, WhenFetched, WhenDelivered };

// A planned transaction: its stream, what its read-back must show, how it is
// played (options.dumpWritten: the written stream is dumped whatever the
// driver answers) and dumped.
struct Transaction {
    ByteStream stream;
    ReadPlan plan;
    PlayOptions options;
    ReadBackDump dumpReadBack = ReadBackDump::Never;
    uint32_t firstFrameLength = 0;
};

// Runs one transaction in the device's session: purges (and sets the bus
// clock), refuses a descriptor of another protocol than `required` (when
// given) with QZ_BAD_ARGUMENT, builds the transaction, plays it, judges the
// read-back, releases the stream and delivers the words. QZ_OK, or the
// first failure; destinations are written only on QZ_OK.
Outcome runTransaction(FT_HANDLE dev, const PROT_DES& des, const Protocol* required,
                       const std::function<Transaction()>& build);

// Whether a register and (for writes) a data word are accepted before any
// driver call: they fit the descriptor's widths, and a read carries data. A
// descriptor of another protocol than `expected` (when given) passes here
// and is refused by its transaction, after the purge.
bool acceptsArguments(const PROT_DES& des, const Protocol* expected, uint32_t reg, uint32_t data,
                      bool write);

// One register of `protocol`, for the C entry points: a live descriptor
// that accepts the arguments (QZ_BAD_ARGUMENT and no driver call otherwise),
// then one full frame in a transaction, guarded against running out of
// memory: a write's data, or a read's word into *value (untouched unless
// QZ_OK). A descriptor of the other protocol is refused after the purge. The
// written frame of a write is dumped whatever the driver says; a read's
// read-back once fetched, also when it shows no value (the dump shows why).
Outcome registerHandle(FT_HANDLE dev, PROT_HANDLE handle, const Protocol& protocol, uint32_t reg,
                       uint32_t data, bool write, uint32_t* value);

}  // namespace qz
