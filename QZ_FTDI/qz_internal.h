// Internal declarations shared by the library's subsystems. Nothing here is
// exported from QZ_FTDIx64: the whole module is compiled with hidden
// visibility and only the QZ_API functions of QZ_FTDI.h are made public.
#pragma once

#include "QZ_FTDI.h"
#include "ftd2xx.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <optional>
#include <span>
#include <vector>

// One peripheral: how it is wired to the eight pins and how its frames are
// shaped. Field names keep the hardware signal names.
struct PROT_DES {
    int32_t SPI_I2C;  // 1 = SPI, anything else = I2C
    // SPI
    uint8_t CLKnum;
    uint8_t CSnum;
    uint8_t SDInum;  // data into the peripheral, driven by us
    uint8_t SDOnum;  // data out of the peripheral, sampled by us
    uint8_t addrBits;
    uint8_t dataBits;
    int32_t posedge;  // non-zero: clock idles low, peripheral samples on the rising edge
    int32_t RWbit;    // == 1: a read/write bit precedes the address
    // I2C
    uint8_t SCLnum;
    uint8_t SDAnumW;  // pin that drives SDA
    uint8_t SDAnumR;  // pin on which SDA is sampled
    uint8_t addr;     // 7-bit bus address
    uint8_t bytesPerAddr;
    uint8_t bytesPerReg;
    // output enable (steers an external SDA/SDO buffer)
    uint8_t OEnum;
    int32_t OE_EN;   // == 1: in use
    int32_t OE_pol;  // non-zero: high while asserted
    // I2C strict timing: every SCL-low phase at least two samples, SDA never
    // changing in a sample in which SCL changes (for slaves that react late).
    int32_t strictTiming;
};

namespace qz {

// The kind of byte stream a generator is asked for. Values are fixed; any
// value above READ_STREAM_WORD_ACK is accepted by the generators.
enum sequenceMode : uint32_t {
    WRITE = 0,
    WRITE_STREAM_WORD = 1,
    READ_NACK = 2,
    READ_ACK = 3,
    READ_STREAM_WORD_NACK = 4,
    READ_STREAM_WORD_ACK = 5,
};

// A full frame (addressed, with its own start and end) rather than a
// further data word of a stream.
inline constexpr bool isFullFrame(sequenceMode mode) {
    return mode == WRITE || mode == READ_NACK || mode == READ_ACK;
}

// SPI descriptors carry SPI_I2C == 1; every other value means I2C.
inline constexpr bool isSPI(const PROT_DES& prot) { return prot.SPI_I2C == 1; }

// One sample of the eight pins per byte; bit n is pin n.
using ByteStream = std::vector<uint8_t>;

inline constexpr uint8_t pinBit(uint8_t pin) { return static_cast<uint8_t>(1u << (pin & 7u)); }
inline constexpr bool pinHigh(uint8_t sample, uint8_t pin) { return (sample & pinBit(pin)) != 0; }

// Largest values a valid descriptor may carry (checked by the constructors).
inline constexpr uint8_t kMaxPin = 7;
inline constexpr uint8_t kMaxBits = 32;
inline constexpr uint8_t kMaxBytes = 4;

// ---- descriptors -----------------------------------------------------------
// The descriptor behind a caller's handle, copied under the descriptors'
// lock; nullopt for a handle that is not a live descriptor (null, deleted,
// or any other pointer).
std::optional<PROT_DES> copyDescriptor(PROT_HANDLE handle);
// Runs `change` on the live descriptor behind a handle, under that lock:
// true, or false (nothing run) for a handle that is not live.
bool editDescriptor(PROT_HANDLE handle, const std::function<void(PROT_DES&)>& change);

// Whether a value fits `bits` bits; a width of 0 sends nothing of the value,
// which is then ignored.
inline constexpr bool fitsWidth(uint32_t value, uint32_t bits) {
    return bits == 0 || bits >= 32 || (value >> bits) == 0;
}

// ---- waveform generators --------------------------------------------------
// Each generator comes as a length function and a renderer that fills exactly
// that many samples, so batches and streams can be laid into one buffer
// without copies. createXByteStream returns the stream as a fresh buffer.
uint32_t spiStreamLength(const PROT_DES& spi, sequenceMode mode);
void renderSPIStream(const PROT_DES& spi, uint32_t addr, uint32_t data, sequenceMode mode,
                     uint8_t* out);
ByteStream createSPIByteStream(const PROT_DES& spi, uint32_t addr, uint32_t data,
                               sequenceMode mode);

uint32_t i2cStreamLength(const PROT_DES& i2c, sequenceMode mode);
void renderI2CStream(const PROT_DES& i2c, uint32_t reg, uint32_t data, sequenceMode mode,
                     uint8_t* out);
ByteStream createI2CByteStream(const PROT_DES& i2c, uint32_t reg, uint32_t data,
                               sequenceMode mode);

// ---- read-back ------------------------------------------------------------
// Assembles `strobeCount` bits (at most 32) of pin `StrobeIndex`, taken from
// rx[first], rx[first + strobeJump], ..., first sample most significant.
// nullopt when a sampled position lies outside rx or strobeCount exceeds 32.
std::optional<uint32_t> parseByteStream(std::span<const uint8_t> rx, std::size_t first,
                                        uint32_t StrobeIndex, uint32_t strobeJump,
                                        uint32_t strobeCount);

// ---- device ---------------------------------------------------------------
// Output pins of the descriptor's protocol (bit n = 1: pin n is an output).
uint8_t pinDirectionMask(const PROT_DES& prot);
// Synchronous bit-bang with the descriptor's mask: 0, or -1 if refused.
int32_t setImpedance(FT_HANDLE dev, const PROT_DES& prot);
// 0 once at least `count` bytes wait in the receive queue; -1 on a driver
// failure or when the bytes have not come within waitBoundMs(dev, count).
// Polls briefly, then sleeps between polls (see transport.cpp).
int32_t wait4RxBuffer(FT_HANDLE dev, uint32_t count);
// The longest a working device can take to return `count` samples, in ms.
uint64_t waitBoundMs(FT_HANDLE dev, uint32_t count);

// Steps shared by every register transaction.
// Empties both driver queues: false if the driver refuses.
bool purgeQueues(FT_HANDLE dev);

// ---- outcomes ------------------------------------------------------------
// What a transaction came to, before it is folded into a specified result or
// handed out by the status API (QZ_RESULT carries the same fields).
struct Outcome {
    QZ_STATUS status = QZ_OK;
    uint32_t missingAcks = 0;   // QZ_NACK: the acknowledge bits, as writeI2C/readI2C count them
    uint32_t index = 0;         // batches and streams: the register it refers to
    uint32_t driverStatus = 0;  // QZ_DRIVER_ERROR / QZ_UNPLUGGED: the D2XX status

    bool ok() const { return status == QZ_OK; }
    static Outcome success() { return {}; }
    static Outcome of(QZ_STATUS status) { return Outcome{status, 0, 0, 0}; }
    // A failed D2XX call: FT_IO_ERROR is what an unplugged device answers.
    static Outcome driver(FT_STATUS status) {
        return Outcome{status == FT_IO_ERROR ? QZ_UNPLUGGED : QZ_DRIVER_ERROR, 0, 0, status};
    }
    static Outcome nack(uint32_t missingAcks) { return Outcome{QZ_NACK, missingAcks, 0, 0}; }
    // The driver took fewer bytes than written without a failing status.
    static Outcome shortWrite() { return Outcome{QZ_DRIVER_ERROR, 0, 0, FT_OK}; }
    bool isShortWrite() const { return status == QZ_DRIVER_ERROR && driverStatus == FT_OK; }
};

// Copies an outcome into the caller's detail record (which may be null) and
// returns its status.
int32_t report(const Outcome& outcome, QZ_RESULT* detail);

// ---- device sessions -------------------------------------------------------
// What the library keeps about a device that setupFTDIdev opened (session.cpp).
struct DeviceRecord;

// Transactions on one device are serialised: a session holds the device's
// lock for a whole transaction (purge to last read). Different devices never
// wait for each other. Handles that were not opened by setupFTDIdev get no
// lock of their own (the driver refuses them anyway). Not reentrant: a
// transaction takes one session and calls no function that takes another.
class DeviceSession {
public:
    explicit DeviceSession(FT_HANDLE dev);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

private:
    std::shared_ptr<DeviceRecord> state_;  // the device's record, kept alive while held
};

// Records a device that setupFTDIdev has just opened at `baudRate`. False
// when no memory is left (the device then has no lock and the slowest wait bound).
bool rememberDevice(FT_HANDLE dev, uint32_t baudRate);
// Closes the device once no transaction is running on it (FT_Close's status);
// its record goes when the driver has closed it.
FT_STATUS closeRememberedDevice(FT_HANDLE dev);
// The baud rate setupFTDIdev set on the device; nullopt for a handle it did not open.
std::optional<uint32_t> rememberedBaudRate(FT_HANDLE dev);

// How a transaction plays its stream.
struct PlayOptions {
    bool readBack = true;                 // fetch the whole read-back
    std::optional<uint32_t> waitFor;      // wait for this many bytes before reading
    bool dumpWritten = false;             // dump the written stream under writeDebug
};

// Streams up to this many samples are played in one FT_Write and one FT_Read
// (transport.cpp says why this size is safe on every chip and driver).
inline constexpr uint32_t kSingleWriteSamples = 4096;

// Sets the descriptor's pin directions, writes `stream` (in one FT_Write when
// it is at most kSingleWriteSamples long; longer ones in chunks with the
// read-back drained as it comes, so that the chip never stalls) and, with
// readBack, fetches exactly stream.size() read-back bytes into *rx (rx may be
// null without readBack). The caller holds the device's session and has
// purged the queues. QZ_OK, or the failure (driver status, unplug, read-back
// timeout, short write or read, QZ_BAD_ARGUMENT for a stream of 4 GiB or more).
Outcome playStream(FT_HANDLE dev, const PROT_DES& prot, std::span<const uint8_t> stream,
                   const PlayOptions& options, ByteStream* rx);
// playStream with an explicit direction mask (raw pin patterns). *taken (may
// be null) receives how many samples the driver took, also on a failure.
Outcome playSamples(FT_HANDLE dev, uint8_t mask, std::span<const uint8_t> stream,
                    const PlayOptions& options, ByteStream* rx, uint32_t* taken = nullptr);

// ---- registry -----------------------------------------------------------
// Empties every device ID bound to this descriptor (it is being deleted).
void forgetDescriptor(PROT_HANDLE prot);

// ---- diagnostics ----------------------------------------------------------
// Prints the stream as eight rows of 0/1, pin 0 first, then an empty line.
void printPattern(const uint8_t* writeArray, uint32_t len, char delim);
// printPattern with the current delimiter when `enabled` is non-zero.
void dumpIf(int32_t enabled, std::span<const uint8_t> stream);

// Runs a C entry point's body; an allocation failure becomes -1.
template <class Body>
int32_t guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return -1;
    } catch (const std::length_error&) {
        return -1;
    }
}

}  // namespace qz

// Process-wide switches of the pattern dump.
// Atomic: any thread may switch them while others dump.
extern std::atomic<int32_t> writeDebug;
extern std::atomic<int32_t> readDebug;
extern std::atomic<char> debugDelim;

// The device-ID tables (borrowed handles; index = device ID). Read and
// written only under the registry's lock (registry.cpp).
inline constexpr uint32_t kDeviceIDs = 256;
extern FT_HANDLE FTDI_Handles[kDeviceIDs];
extern PROT_HANDLE PROT_Handles[kDeviceIDs];
