// Playing streams of any length on the simulated chip: the single write and
// read of short streams, the chunked write with the read-back drained of long
// ones, their failures, and the wait that sleeps instead of spinning.
#include "sim_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

using qzsim::Op;

// Records the most read-back the host had left unread at any sample: the
// driver buffer and chip FIFO of a real chip must hold all of it.
class UnreadProbe : public qzsim::Peripheral {
public:
    explicit UnreadProbe(const qzsim::Device& device) : device_(device) {}
    qzsim::PinDrive onSample(uint8_t) override {
        most = std::max(most, device_.queuedReadback());
        return {};
    }
    std::size_t most = 0;

private:
    const qzsim::Device& device_;
};

// A pseudo-random stream: every position distinct enough that a reordering
// or a lost byte shows.
std::vector<uint8_t> streamOf(std::size_t length, uint32_t seed = 1) {
    std::vector<uint8_t> out(length);
    for (auto& b : out) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return out;
}

class Transport : public SimBench {
protected:
    void SetUp() override {
        SimBench::SetUp();
        makeSPI(spi, 0, 3, 1, 2, 8, 16, 1, 1);  // pins 0, 1 and 3 are outputs
        dev = openDevice();
        addDevice("REF");
        ref = open("REF");
    }

    // The read-back one FT_Write and one FT_Read of `stream` give on a second,
    // identical chip (the simulated driver holds any amount).
    std::vector<uint8_t> referenceReadback(std::span<const uint8_t> stream) {
        EXPECT_EQ(FT_OK, FT_Purge(ref, FT_PURGE_RX | FT_PURGE_TX));
        EXPECT_EQ(FT_OK, FT_SetBitMode(ref, qz::pinDirectionMask(spi.des()), FT_BITMODE_SYNC_BITBANG));
        uint32_t done = 0;
        const auto n = static_cast<uint32_t>(stream.size());
        EXPECT_EQ(FT_OK, FT_Write(ref, const_cast<uint8_t*>(stream.data()), n, &done));
        std::vector<uint8_t> rx(n);
        EXPECT_EQ(FT_OK, FT_Read(ref, rx.data(), n, &done));
        EXPECT_EQ(n, done);
        return rx;
    }

    qz::Outcome play(std::span<const uint8_t> stream, qz::ByteStream* rx, bool readBack = true,
                     std::optional<uint32_t> waitFor = std::nullopt) {
        const qz::DeviceSession session(dev);
        EXPECT_TRUE(qz::purgeDevice(dev).ok());
        return qz::playStream(dev, spi.des(), stream, qz::PlayOptions{readBack, waitFor, false}, rx);
    }

    Descriptor spi;
    FT_HANDLE dev = nullptr;
    FT_HANDLE ref = nullptr;
};

TEST_F(Transport, ShortStreamKeepsOneWriteAndOneRead) {
    for (const std::size_t length : {std::size_t{1}, std::size_t{54}, std::size_t{qz::kSingleWriteSamples}}) {
        const auto stream = streamOf(length);
        device().resetCallCounts();
        qz::ByteStream rx;
        ASSERT_TRUE(play(stream, &rx, true, static_cast<uint32_t>(length)).ok()) << length;
        EXPECT_EQ(referenceReadback(stream), rx) << length;
        EXPECT_EQ(1u, device().calls(Op::SetBitMode));
        EXPECT_EQ(1u, device().calls(Op::Write)) << length;
        EXPECT_EQ(1u, device().calls(Op::Read)) << length;
    }
}

TEST_F(Transport, LongReadBackIsTheSameBytesInTheSameOrderAsOneRead) {
    for (const std::size_t length : {qz::kSingleWriteSamples + 1u, 10000u, 100000u}) {
        const auto stream = streamOf(length, static_cast<uint32_t>(length));
        qz::ByteStream rx;
        ASSERT_TRUE(play(stream, &rx).ok()) << length;
        EXPECT_EQ(referenceReadback(stream), rx) << length;
    }
}

TEST_F(Transport, UnreadReadBackNeverExceedsFourKiB) {
    auto probe = std::make_shared<UnreadProbe>(device());
    device().attach(probe);
    const auto stream = streamOf(50000);
    qz::ByteStream rx;
    ASSERT_TRUE(play(stream, &rx).ok());
    EXPECT_LE(probe->most, qz::kSingleWriteSamples);
    EXPECT_GT(device().calls(Op::Write), 1u);
    // A write-only stream drains too, to its end: a purge would discard
    // samples the chip had not clocked out yet.
    probe->most = 0;
    ASSERT_TRUE(play(stream, nullptr, false).ok());
    EXPECT_LE(probe->most, qz::kSingleWriteSamples);
    EXPECT_EQ(0u, device().queuedReadback());
}

// A short write-only stream reads nothing back, but it is done only once its
// read-back has come: until then its last samples sit in the chip's FIFO,
// where the next transaction's purge would discard them.
TEST_F(Transport, ShortWriteOnlyStreamWaitsForItsSamplesButReadsNothing) {
    const auto stream = streamOf(300);
    device().resetCallCounts();
    ASSERT_TRUE(play(stream, nullptr, false).ok());
    EXPECT_EQ(1u, device().calls(Op::Write));
    EXPECT_EQ(0u, device().calls(Op::Read));
    EXPECT_GE(device().calls(Op::GetQueueStatus), 1u);
    device().setReadbackStall(100);
    EXPECT_EQ(QZ_TIMEOUT, play(stream, nullptr, false).status);  // the tail never reached the pins
}

TEST_F(Transport, ReadBackThatTricklesInIsStillWhole) {
    device().setReadbackDrip(700);  // less than a chunk per poll
    const auto stream = streamOf(20000, 7);
    qz::ByteStream rx;
    ASSERT_TRUE(play(stream, &rx).ok());
    device().clearFaults();
    EXPECT_EQ(referenceReadback(stream), rx);
}

// Each fault ends a long transfer with its failure, soon, however far it got.
TEST_F(Transport, FaultInTheMiddleOfALongStreamFailsWithoutHanging) {
    const struct {
        const char* name;
        std::function<void(qzsim::Device&)> inject;
        QZ_STATUS status;
    } cases[] = {
        {"short write", [](qzsim::Device& d) { d.setShortWrite(600); }, QZ_DRIVER_ERROR},
        {"write refused", [](qzsim::Device& d) { d.failNthCall(Op::Write, 3, FT_OTHER_ERROR); }, QZ_DRIVER_ERROR},
        {"unplug on write", [](qzsim::Device& d) { d.failNthCall(Op::Write, 6, FT_IO_ERROR); }, QZ_UNPLUGGED},
        {"unplug on poll", [](qzsim::Device& d) { d.failNthCall(Op::GetQueueStatus, 4, FT_IO_ERROR); }, QZ_UNPLUGGED},
        {"unplug on read", [](qzsim::Device& d) { d.failNthCall(Op::Read, 2, FT_IO_ERROR); }, QZ_UNPLUGGED},
        {"lost read-back", [](qzsim::Device& d) { d.setReadbackStall(9000); }, QZ_TIMEOUT},
    };
    const auto stream = streamOf(30000);
    for (const auto& c : cases) {
        device().clearFaults();
        c.inject(device());
        qz::ByteStream rx;
        const auto start = std::chrono::steady_clock::now();
        const qz::Outcome outcome = play(stream, &rx);
        EXPECT_EQ(c.status, outcome.status) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
        if (c.status == QZ_UNPLUGGED) {
            EXPECT_EQ(uint32_t{FT_IO_ERROR}, outcome.driverStatus) << c.name;
        }
    }
}

TEST_F(Transport, ShortStreamFailuresAreReported) {
    const auto stream = streamOf(200);
    qz::ByteStream rx;
    device().setShortWrite(100);
    QZ_RESULT detail{};
    EXPECT_EQ(QZ_DRIVER_ERROR, qz::report(play(stream, &rx), &detail));
    char text[64] = "";
    EXPECT_EQ(32, qz_detailText(&detail, text, sizeof text));
    EXPECT_STREQ("the driver took 100 of 200 bytes", text);
    device().clearFaults();
    device().failNthCall(Op::SetBitMode, 1, FT_IO_ERROR);
    EXPECT_EQ(QZ_UNPLUGGED, play(stream, &rx).status);
    device().setReadbackStall(150);
    EXPECT_EQ(QZ_TIMEOUT, play(stream, &rx, true, 200u).status);  // the wait gave up
}

// A D2XX read has no timeout: a read of read-back that never comes would
// block for ever on a real driver. The short stream waits (bounded) first.
TEST_F(Transport, ReadBackThatNeverComesIsNeverReadBlindly) {
    device().setTimed(true);
    const auto stream = streamOf(200);
    qz::ByteStream rx;
    device().setReadbackStall(150);
    EXPECT_EQ(QZ_TIMEOUT, play(stream, &rx).status);
    EXPECT_EQ(0u, device().foreverReads());
    EXPECT_EQ(0u, device().calls(Op::Read));
}

// With the default 4096-byte transfer size the driver's IN requests complete
// only when full (or at the latency timer): a long stream must keep the
// oldest request's samples written, or every request waits for the timer.
// Within 1.1 x the floor (wire or USB time, whichever is longer) + one timer
// period + the control requests.
TEST_F(Transport, LongStreamNeverStrandsARequest) {
    constexpr std::size_t kSamples = 40000;
    for (const char* chip : {"FT232R", "FT232H", "FT2232H"})
        for (const uint32_t buffer : {4096u, 65536u}) {
            qzsim::Device& d = device();
            d.setProfile(*qzsim::chipProfile(chip));
            d.setTimed(true);
            d.setDriverBuffer(buffer);
            const auto stream = streamOf(kSamples);
            qz::ByteStream rx;
            const uint64_t start = d.clockNs();
            ASSERT_TRUE(play(stream, &rx).ok()) << chip;
            const uint64_t took = d.clockNs() - start;
            const qzsim::UsbLink& usb = d.link();
            const uint64_t wire = kSamples * 1000000000ull / d.sampleRate();
            const uint64_t packetNs = usb.frameNs() / (d.profile().highSpeed() ? 13 : 19);
            const uint64_t packets = kSamples / d.profile().packetSize + kSamples / d.profile().packetData();
            const uint64_t floor = std::max(wire, packets * packetNs);
            EXPECT_LE(took, floor * 11 / 10 + 16000000 + 3 * usb.controlCostNs()) << chip << " " << buffer;
            EXPECT_EQ(0u, d.stallCount());
            EXPECT_EQ(0u, d.foreverReads());
            d.setTimed(false);
        }
}

// A spinning wait polls millions of times in 300 ms; one that sleeps between
// polls (up to half a millisecond) polls at most about 600 times (fewer on a
// loaded machine, so the lower bound only says that it kept polling).
TEST_F(Transport, WaitSleepsInsteadOfSpinning) {
    const uint8_t pattern[10] = {};
    device().setReadbackStall(4);
    qz::ByteStream rx;
    device().resetCallCounts();
    EXPECT_EQ(QZ_TIMEOUT, qz::playSamples(dev, 0xFF, pattern, qz::PlayOptions{true, 10u, false}, &rx).status);
    EXPECT_GT(device().calls(Op::GetQueueStatus), 2u);
    EXPECT_LT(device().calls(Op::GetQueueStatus), 2000u);
}

// The wait's schedule on a simulated clock: a few polls at once, then pauses
// doubling up to the longest (on Windows whole milliseconds, with the 1 ms
// system timer asked for once per sleeping wait), until the bound.
TEST_F(Transport, WaitFollowsItsPollScheduleUntilTheBound) {
    struct SimulatedClock : qz::WaitClock {
        std::chrono::steady_clock::time_point t{};
        std::vector<std::chrono::microseconds> pauses;
        int begun = 0, ended = 0;
        std::chrono::steady_clock::time_point now() override { return t; }
        void sleep(std::chrono::microseconds pause) override { pauses.push_back(pause), t += pause; }
        void beginSleeping() override { ++begun; }
        void endSleeping() override { ++ended; }
    } clock;
    const uint8_t pattern[10] = {};
    device().setReadbackStall(4);
    qz::ByteStream rx;
    device().resetCallCounts();
    qz::WaitClock* const previous = qz::setWaitClock(&clock);
    const QZ_STATUS status = qz::playSamples(dev, 0xFF, pattern, qz::PlayOptions{true, 10u, false}, &rx).status;
    qz::setWaitClock(previous);
    EXPECT_EQ(QZ_TIMEOUT, status);
    EXPECT_EQ(1, clock.begun);
    EXPECT_EQ(1, clock.ended);
    ASSERT_GT(clock.pauses.size(), 10u);
    for (std::size_t i = 0; i < clock.pauses.size(); ++i)
        EXPECT_EQ(qz::pollPause(static_cast<int>(i) + 4), clock.pauses[i]) << i;
    EXPECT_EQ(clock.pauses.size() + 4 + 1, device().calls(Op::GetQueueStatus));
    EXPECT_GE(clock.t - std::chrono::steady_clock::time_point{}, std::chrono::milliseconds(qz::waitBoundMs(dev, 10)));
#ifdef _WIN32
    const std::vector<long long> schedule = {0, 0, 0, 0, 1000, 1000, 1000};
#else
    const std::vector<long long> schedule = {0, 0, 0, 0, 20, 40, 80, 160, 320, 500, 500};
#endif
    for (std::size_t i = 0; i < schedule.size(); ++i)
        EXPECT_EQ(schedule[i], qz::pollPause(static_cast<int>(i)).count()) << i;
}

TEST_F(Transport, ReadBackWithoutABufferIsRefusedBeforeAnyWrite) {
    const auto stream = streamOf(16);
    device().resetCallCounts();
    EXPECT_EQ(QZ_BAD_ARGUMENT, play(stream, nullptr, true).status);
    EXPECT_EQ(0u, device().calls(Op::Write));
}

}  // namespace
