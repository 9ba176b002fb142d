// Playing a transaction's stream on the chip and fetching its read-back.
//
// In synchronous bit-bang mode the chip clocks a written byte onto the pins
// only when it has room to keep the sample it takes for the host. The D2XX
// driver keeps reading the chip into a receive buffer of its own whether or
// not we call FT_Read, but that buffer is bounded: 4 KiB on every driver by
// default (the default USB transfer size; up to 64 KiB when a program raises
// it). Once the driver buffer and the chip's FIFO towards the host are full
// the chip stops clocking, and a write that is still queued cannot finish.
//
// So the read-back we have not yet fetched ("unread": written minus read)
// must never exceed kMaxUnread = 4 KiB: then the whole of it fits in the
// smallest driver buffer alone (a 4 KiB request holds 64 x 62 = 3968 data
// bytes at full speed, and the chip's own FIFO holds at least 256 more on the
// FT232R, 1 KiB or more on the H series), and the chip never stalls.
//  - A stream of at most kSingleWriteSamples (= kMaxUnread) samples is
//    written in one FT_Write and read in one FT_Read, as every transaction
//    always has been: its whole read-back fits in the driver even if nothing
//    reads it until the write has returned.
//  - A longer stream is written in chunks that fill the unread read-back up
//    to kMaxUnread; then we wait until some of it is queued, read all that
//    is, and write again. The driver's IN requests (4096 bytes by default:
//    3968 data bytes at full speed, 4080 at high speed) become visible only
//    when full or when the chip's latency timer ends them, so the samples of
//    the oldest request must all be written before we wait on it: with
//    kMaxUnread of them in flight it always is, its request fills, and the
//    latency timer is paid once, for the last part-filled request.
//  - A read never asks for bytes that are not queued yet (a D2XX read
//    without a timeout would block for ever): every path waits, bounded,
//    with FT_GetQueueStatus first.
#include "transport.h"
#include "device.h"
#include "diagnostics.h"
#include "session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <timeapi.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxUnread = qz::kSingleWriteSamples;
constexpr uint32_t kChunkSamples = 4096;
static_assert(kMaxUnread >= 4080, "the oldest IN request must be written whole before we wait on it");

// The slowest bit-bang baud rate any FTDI divisor gives.
constexpr uint32_t kSlowestBaud = 183;
// USB latency timer (at most 255 ms) plus host scheduling.
constexpr uint64_t kLatencyAllowanceMs = 300;

// Polling schedule while read-back is awaited. The first polls follow each
// other at once (the bytes of a short frame are often there already); after
// that we sleep between polls, doubling the pause up to kMaxPause. Waiting out
// a 16 ms latency timer then takes about 4 + 5 + 16 / 0.5 = 41 polls, each a
// few microseconds of work: well under 10 % of one core, and the wait ends at
// most kMaxPause after the bytes have come.
constexpr int kBusyPolls = 4;
#ifdef _WIN32
// Windows sleeps in whole milliseconds at least: a shorter sleep returns at
// once and the wait would spin. So there the pause is one millisecond, with
// the system timer at 1 ms while the wait sleeps (timeBeginPeriod): at its
// default 15.6 ms tick every pause would last a tick.
constexpr std::chrono::microseconds kFirstPause{1000};
constexpr std::chrono::microseconds kMaxPause{1000};
#else
constexpr std::chrono::microseconds kFirstPause{20};
constexpr std::chrono::microseconds kMaxPause{500};
#endif

// The library's own wait clock.
class SystemClock final : public qz::WaitClock {
public:
    Clock::time_point now() override { return Clock::now(); }
    void sleep(std::chrono::microseconds pause) override { std::this_thread::sleep_for(pause); }
#ifdef _WIN32
    void beginSleeping() override { timeBeginPeriod(1); }
    void endSleeping() override { timeEndPeriod(1); }
#endif
};

SystemClock systemClock;
std::atomic<qz::WaitClock*> waitClock{&systemClock};

// Pauses between the polls of one wait; the wait's sleeping span (the 1 ms
// system timer on Windows) opens at its first sleep and closes with it.
class Backoff {
public:
    explicit Backoff(qz::WaitClock& clock) : clock_(clock) {}
    ~Backoff() {
        if (sleeping_) clock_.endSleeping();
    }
    Backoff(const Backoff&) = delete;
    Backoff& operator=(const Backoff&) = delete;
    void pause() {
        const std::chrono::microseconds wait = qz::pollPause(polls_++);
        if (wait.count() == 0) return;
        if (!sleeping_) clock_.beginSleeping();
        sleeping_ = true;
        clock_.sleep(wait);
    }

private:
    qz::WaitClock& clock_;
    int polls_ = 0;
    bool sleeping_ = false;
};

// Polls until at least `count` read-back bytes are queued; `*queued` is the
// last count seen. Fails with the driver's status on a failed poll (the count
// is tested first: a poll that shows enough ends the wait), or QZ_TIMEOUT at
// `deadline`.
qz::Outcome awaitQueued(FT_HANDLE dev, uint32_t count, Clock::time_point deadline,
                        uint32_t* queued) {
    qz::WaitClock& clock = *waitClock.load();
    Backoff backoff(clock);
    for (;;) {
        uint32_t rx = 0;
        const FT_STATUS status = FT_GetQueueStatus(dev, &rx);
        if (status != FT_OK) rx = 0;  // a failed poll leaves no count to trust
        *queued = rx;
        if (rx >= count) return qz::Outcome::success();
        if (status != FT_OK) return qz::Outcome::driver(status);
        if (clock.now() > deadline) return qz::Outcome::of(QZ_TIMEOUT);  // the read-back stalled
        backoff.pause();
    }
}

Clock::time_point deadlineFor(FT_HANDLE dev, uint32_t count) {
    return waitClock.load()->now() + std::chrono::milliseconds(qz::waitBoundMs(dev, count));
}

// One FT_Write that must take every byte; the chip is never asked for more
// than it can clock out, so a short count means the device failed. *taken
// grows by what the driver reports taken.
qz::Outcome writeAll(FT_HANDLE dev, const uint8_t* bytes, uint32_t count, uint32_t* taken) {
    uint32_t written = 0;
    const FT_STATUS status = FT_Write(dev, const_cast<uint8_t*>(bytes), count, &written);
    if (status != FT_OK) return qz::Outcome::driver(status);
    *taken += std::min(written, count);
    if (written != count) return qz::Outcome::shortWrite(written, count);
    return qz::Outcome::success();
}

// One FT_Read of exactly `count` bytes, all of them already queued (a D2XX
// read has no timeout: one for bytes that never come blocks for ever). Fewer
// means they went; more than asked is the driver's fault, not a timeout.
qz::Outcome readAll(FT_HANDLE dev, uint8_t* into, uint32_t count) {
    uint32_t got = 0;
    const FT_STATUS status = FT_Read(dev, into, count, &got);
    if (status != FT_OK) return qz::Outcome::driver(status);
    if (got > count) return qz::Outcome{QZ_DRIVER_ERROR, 0, 0, FT_OTHER_ERROR};
    if (got != count) return qz::Outcome::of(QZ_TIMEOUT);
    return qz::Outcome::success();
}

// The calling thread's progress observer (qz_setProgressCallback).
struct ProgressObserver {
    QZ_PROGRESS_CALLBACK callback = nullptr;
    void* context = nullptr;
};
thread_local ProgressObserver progressObserver;

void reportProgress(uint32_t done, uint32_t total) {
    if (progressObserver.callback) progressObserver.callback(done, total, progressObserver.context);
}

// A stream longer than kSingleWriteSamples: chunks written while the
// read-back is drained, never more than kMaxUnread of it unread, until all of
// it has come. Without `keep` the read-back is drained into a scratch buffer
// and dropped. A chunk is at least `minChunk` samples (but the last): each
// FT_Write is a bulk transfer of its own that starts at the next (micro)frame.
qz::Outcome playChunked(FT_HANDLE dev, std::span<const uint8_t> stream, uint8_t* keep,
                        uint32_t& written, uint32_t minChunk) {
    const auto total = static_cast<uint32_t>(stream.size());
    std::vector<uint8_t> scratch;
    if (!keep) scratch.resize(kMaxUnread);
    uint32_t read = 0;
    const auto drain = [&](uint32_t atLeast) {
        uint32_t queued = 0;
        const qz::Outcome waited =
            awaitQueued(dev, atLeast, deadlineFor(dev, written - read), &queued);
        if (!waited.ok()) return waited;
        // Bytes beyond what we wrote would be a driver's fault: leave them.
        const uint32_t take = std::min(queued, written - read);
        uint8_t* into = keep ? keep + read : scratch.data();
        const qz::Outcome got = readAll(dev, into, take);
        if (got.ok()) read += take;
        if (got.ok() && take) reportProgress(read, total);
        return got;
    };
    while (written < total) {
        // Fill up to kMaxUnread before waiting: the driver's IN requests (of
        // at most 3968 data bytes at full speed, 4080 at high speed with the
        // default 4096-byte transfer size) complete only when full, so the
        // oldest one must have all its samples written before we wait on it;
        // otherwise only the latency timer would end it.
        const uint32_t unread = written - read;
        const uint32_t room = kMaxUnread - unread;
        const uint32_t chunk = std::min({kChunkSamples, total - written, room});
        if (chunk == 0 || (chunk < minChunk && chunk < total - written)) {
            // Enough queued that reading it leaves room for minChunk (never
            // more than is unread: minChunk is at most kMaxUnread).
            const qz::Outcome drained = drain(room < minChunk ? minChunk - room : 1);
            if (!drained.ok()) return drained;
            continue;
        }
        const qz::Outcome sent = writeAll(dev, stream.data() + written, chunk, &written);
        if (!sent.ok()) return sent;
    }
    // Also without `keep`: a purge discards what the chip has not clocked
    // out yet, so a write is only done once all its read-back has come.
    while (read < total) {
        const qz::Outcome drained = drain(total - read);
        if (!drained.ok()) return drained;
    }
    return qz::Outcome::success();
}

// The smallest chunk of a long stream in low-latency mode. There every
// packet completes a request of its own, and a poll sees the read-back a
// packet at a time. At full speed writing whatever room that left would make
// many small bulk transfers, each waiting for the next 1 ms frame on a bus
// both directions share: a chunk waits for room for what a default 4096-byte
// request carries (64 x 62 bytes). At high speed (125 us microframes) any
// room is worth writing into at once.
uint32_t lowLatencyChunk(const qz::LinkTuning& tuning) {
    constexpr uint32_t kFullSpeedData = 62;
    constexpr uint32_t kFullSpeedRequestData = 64 * kFullSpeedData;
    return tuning.packetData == kFullSpeedData ? kFullSpeedRequestData : 1;
}

}  // namespace

qz::WaitClock* qz::setWaitClock(WaitClock* clock) {
    return waitClock.exchange(clock ? clock : &systemClock);
}

std::chrono::microseconds qz::pollPause(int poll) {
    if (poll < kBusyPolls) return std::chrono::microseconds{0};
    std::chrono::microseconds pause = kFirstPause;
    for (int i = kBusyPolls; i < poll && pause < kMaxPause; ++i) pause *= 2;
    return std::min(pause, kMaxPause);
}

extern "C" int32_t qz_setProgressCallback(QZ_PROGRESS_CALLBACK callback, void* context) {
    progressObserver = {callback, context};
    return 0;
}

// In bit-bang mode every FTDI chip clocks samples at least at the baud rate
// (FT232R: 16 x baud; H series: 4 or 5 x), so `count` samples need at most
// count / baud seconds on the wire. The bound doubles that and adds the
// latency allowance: a working device always delivers well inside it.
uint64_t qz::waitBoundMs(FT_HANDLE dev, uint32_t count) {
    // A rate below the slowest divisor (a driver that took 0, say) is no
    // faster than that divisor; it must not shrink the divisor to nothing.
    const uint64_t baud = std::max(rememberedBaudRate(dev).value_or(kSlowestBaud), kSlowestBaud);
    return kLatencyAllowanceMs + (2000ull * count + baud - 1) / baud;
}

qz::Outcome qz::playStream(FT_HANDLE dev, const PROT_DES& prot, std::span<const uint8_t> stream,
                           const PlayOptions& options, ByteStream* rx) {
    return playSamples(dev, pinDirectionMask(prot), stream, options, rx);
}

namespace {

// The stream as the low-latency mode plays it: padded with idle samples (the
// last one held) to a whole number of packets of read-back, so that no part
// of a packet waits in the chip for the latency timer. `stream` itself when
// it already ends on a packet boundary (or is empty).
std::span<const uint8_t> padToPacket(std::span<const uint8_t> stream, uint32_t packetData,
                                     std::vector<uint8_t>& padded) {
    const std::size_t partial = stream.size() % packetData;
    if (stream.empty() || partial == 0) return stream;
    padded.assign(stream.begin(), stream.end());
    padded.resize(stream.size() + packetData - partial, stream.back());
    return padded;
}

}  // namespace

qz::Outcome qz::playSamples(FT_HANDLE dev, uint8_t mask, std::span<const uint8_t> stream,
                            const PlayOptions& options, ByteStream* rx, uint32_t* taken) {
    uint32_t written = 0;
    if (taken) *taken = 0;
    if (stream.size() > std::numeric_limits<uint32_t>::max() || (options.readBack && !rx))
        return Outcome::of(QZ_BAD_ARGUMENT);
    // In low-latency mode the driver's IN requests are one packet each: the
    // set-bit-mode is skipped while the mask in force is known, the stream is
    // padded to whole packets, and all of its read-back is fetched, so that
    // the next transaction finds the queue empty and need not purge it.
    std::optional<LinkTuning> tuning = lowLatency(dev);
    if (!tuning || tuning->mask != mask) {
        if (tuning) {
            tuning->mask.reset();
            tuning->queueEmpty = false;
            setLowLatencyState(dev, *tuning);
        }
        if (const FT_STATUS s = FT_SetBitMode(dev, mask, FT_BITMODE_SYNC_BITBANG); s != FT_OK)
            return Outcome::driver(s);
    }
    std::vector<uint8_t> padding;
    const std::span<const uint8_t> played =
        tuning ? padToPacket(stream, tuning->packetData, padding) : stream;
    const auto length = static_cast<uint32_t>(played.size());
    if (options.readBack) rx->assign(length, 0);
    std::vector<uint8_t> drained;
    if (tuning && !options.readBack && length <= kSingleWriteSamples) drained.resize(length);
    uint8_t* const keep = options.readBack ? rx->data() : (drained.empty() ? nullptr : drained.data());
    const Outcome outcome = [&] {
        if (length > kSingleWriteSamples)
            return playChunked(dev, played, keep, written, tuning ? lowLatencyChunk(*tuning) : 1);
        const Outcome sent = writeAll(dev, played.data(), length, &written);
        if (!sent.ok()) return sent;
        // FT_Write returns once the bytes are in the chip's FIFO, not on the
        // pins, and the purge that opens the next transaction empties that
        // FIFO (up to 4 KiB on the H series): a write is done only once all
        // its read-back has come. It stays queued until that purge.
        // Never a read of bytes that are not queued yet: wait (bounded) for
        // all of them first, so that a driver without a read timeout cannot
        // hang the caller on read-back that never comes.
        uint32_t queued = 0;
        const Outcome waited = awaitQueued(dev, length, deadlineFor(dev, length), &queued);
        if (!waited.ok() || !keep) return waited;
        return readAll(dev, keep, length);
    }();
    if (options.readBack) rx->resize(stream.size());
    if (options.dumpWritten) dumpWritten(stream);
    if (taken) *taken = std::min(written, static_cast<uint32_t>(stream.size()));
    if (tuning) {
        tuning->queueEmpty = outcome.ok();
        if (outcome.ok()) tuning->mask = mask;
        else tuning->mask.reset();
        setLowLatencyState(dev, *tuning);
    }
    return outcome;
}
