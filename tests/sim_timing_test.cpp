// The timed chip model, driven through the D2XX operations alone: bounded
// FIFOs and driver buffer that stall the chip, USB packets and the latency
// timer, the sample clock, unplugging, and the wire trace ring.
#include "sim_fixture.hpp"
#include "qzsim/qzsim.h"

#include <atomic>
#include <numeric>
#include <thread>

namespace {

constexpr uint64_t kMs = 1000000;

class SimTiming : public SimBench {
protected:
    // A timed device of the given chip, opened, all pins outputs in
    // synchronous bit-bang mode at `baud`.
    FT_HANDLE openTimed(const std::string& serial, const char* chip, uint32_t driverBuffer = 65536,
                        uint32_t baud = 1000000) {
        qzsim::Device& d = addDevice(serial);
        d.setProfile(*qzsim::chipProfile(chip));
        d.setTimed(true);
        d.setDriverBuffer(driverBuffer);
        FT_HANDLE dev = nullptr;
        EXPECT_EQ(FT_OK, FT_OpenEx(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &dev));
        EXPECT_EQ(FT_OK, FT_SetBaudRate(dev, baud));
        EXPECT_EQ(FT_OK, FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG));
        handles_.push_back(dev);
        return dev;
    }
    void TearDown() override {
        for (FT_HANDLE h : handles_) FT_Close(h);
        SimBench::TearDown();
    }
    static uint32_t poll(FT_HANDLE dev) {
        uint32_t rx = 0;
        EXPECT_EQ(FT_OK, FT_GetQueueStatus(dev, &rx));
        return rx;
    }
    std::vector<FT_HANDLE> handles_;
};

// A counting pattern, and what an all-output chip at lag 1 reads back for
// it: each sample shows the byte before it, the first the latch (0).
std::vector<uint8_t> stream(std::size_t n) {
    std::vector<uint8_t> s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return s;
}
std::vector<uint8_t> readbackOf(const std::vector<uint8_t>& s) {
    std::vector<uint8_t> rx(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) rx[i] = i == 0 ? 0 : s[i - 1];
    return rx;
}

const char* const kChips[] = {"FT232R", "FT232H", "FT2232H", "FT4232H"};

}  // namespace

TEST_F(SimTiming, OneLongWriteStallsEveryChipBehindAFullDriverBuffer) {
    for (const char* chip : kChips) {
        FT_HANDLE dev = openTimed(chip, chip, 4096);
        const qzsim::ChipProfile p = *qzsim::chipProfile(chip);
        const auto s = stream(4096 + p.fifoToHost + p.fifoFromHost + 20000);
        const uint64_t start = device(chip).clockNs();
        uint32_t written = 0;
        ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), static_cast<uint32_t>(s.size()), &written));
        // One completed IN request fills the driver (no room for another),
        // then the chip's FIFO, then the from-host FIFO takes what it can.
        const uint32_t inDriver = 4096 / p.packetSize * p.packetData();
        // (OUT packets are whole: the from-host FIFO may keep less than a packet free.)
        EXPECT_LE(written, inDriver + p.fifoToHost + p.fifoFromHost) << chip;
        EXPECT_GT(written + p.packetSize, inDriver + p.fifoToHost + p.fifoFromHost) << chip;
        EXPECT_EQ(1u, device(chip).stallCount()) << chip;
        EXPECT_EQ(start + 5000 * kMs, device(chip).clockNs()) << chip;
        EXPECT_EQ(inDriver, poll(dev)) << chip;
    }
}

TEST_F(SimTiming, ReadingBetweenChunksCompletesTheStreamWithoutAStall) {
    for (const char* chip : kChips) {
        FT_HANDLE dev = openTimed(chip, chip, 4096);
        const auto s = stream(100000);
        std::vector<uint8_t> rx(s.size());
        const std::size_t chunk = 1024;
        for (std::size_t at = 0; at < s.size(); at += chunk) {
            const auto n = static_cast<uint32_t>(std::min(chunk, s.size() - at));
            uint32_t count = 0;
            ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data() + at), n, &count));
            ASSERT_EQ(n, count);
            ASSERT_EQ(FT_OK, FT_Read(dev, rx.data() + at, n, &count));
            ASSERT_EQ(n, count) << chip << " at " << at;
        }
        EXPECT_EQ(readbackOf(s), rx) << chip;
        EXPECT_EQ(0u, device(chip).stallCount()) << chip;
    }
}

TEST_F(SimTiming, LossyDriverDropsReadbackInsteadOfStalling) {
    FT_HANDLE dev = openTimed("DEV", "FT232R", 4096);
    device().setLossy(true);
    const auto s = stream(30000);
    uint32_t written = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 30000, &written));
    EXPECT_EQ(30000u, written);
    EXPECT_EQ(0u, device().stallCount());
    // The last OUT packet (48 bytes) still waits in the from-host FIFO; of
    // the rest, the driver holds one request of 64 packets of 62 and the
    // chip's FIFO 256.
    EXPECT_EQ(30000u - 48 - 64 * 62 - 256, device().droppedCount());
    EXPECT_EQ(30000 - 48 - 64 * 62 - 256, qzsim_dropped_count("DEV"));
}

// Hand-worked: the write's first packet goes at the next frame (1 ms full
// speed, 125 us high speed), packets take 1/19 ms (full speed) or 1/13 of a
// microframe; read-back is visible only once its IN request completes.
TEST_F(SimTiming, ReadbackIsVisibleOnlyWhenItsRequestCompletes) {
    constexpr uint64_t kSlot = 1000000 / 19;
    const struct {
        const char* chip;
        uint32_t transferSize;
        uint32_t samples;
        uint64_t loNs, hiNs;  // from the write's start to the read's end
    } cases[] = {
        // One packet fills a 64-byte request: within a frame of the write's.
        {"FT232R", 64, 62, kMs + 2 * kSlot, kMs + 2 * kSlot + 4000},
        // The same packet in a 4096-byte request waits for the timer, whose
        // status-only packet ends the request (the timer restarted at the packet).
        {"FT232R", 4096, 62, 17 * kMs + 2 * kSlot, 17 * kMs + 2 * kSlot + 4000},
        // 3,968 samples (64 packets of 62) fill the request: no timer.
        {"FT232R", 4096, 3968, 7 * kMs, 9 * kMs},
        // High speed: 510 samples at 5 MS/s fill a 512-byte request.
        {"FT232H", 512, 510, 200000, 260000},
        {"FT232H", 4096, 510, 16 * kMs, 17 * kMs},
    };
    int i = 0;
    for (const auto& c : cases) {
        const std::string serial = "RQ" + std::to_string(i++);
        FT_HANDLE dev = openTimed(serial, c.chip);
        ASSERT_EQ(FT_OK, FT_SetUSBParameters(dev, c.transferSize, 4096));
        const uint64_t start = device(serial).clockNs();
        const auto s = stream(c.samples);
        uint32_t count = 0;
        ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), c.samples, &count));
        std::vector<uint8_t> rx(c.samples);
        ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), c.samples, &count));
        EXPECT_EQ(readbackOf(s), rx);
        const uint64_t took = device(serial).clockNs() - start;
        EXPECT_GE(took, c.loNs) << c.chip << " " << c.transferSize << " " << c.samples;
        EXPECT_LE(took, c.hiNs) << c.chip << " " << c.transferSize << " " << c.samples;
        EXPECT_EQ(0u, device(serial).foreverReads());
    }
}

// Inside a burst the pins change at the sample clock (FT232R at 1 MBaud:
// 16 MS/s, 62.5 ns), not at the average rate USB sustains (about 0.6 MS/s).
TEST_F(SimTiming, SamplesLeaveInBurstsAtTheSampleClock) {
    struct Clock : qzsim::Peripheral {
        const qzsim::Device* device = nullptr;
        std::vector<uint64_t> at;
        qzsim::PinDrive onSample(uint8_t) override {
            at.push_back(device->sampleNs());
            return {};
        }
    };
    FT_HANDLE dev = openTimed("DEV", "FT232R");
    auto clock = std::make_shared<Clock>();
    clock->device = &device();
    device().attach(clock);
    const auto s = stream(6200);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 6200, &count));
    std::vector<uint8_t> rx(6200);
    ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), 6200, &count));
    ASSERT_EQ(6200u, clock->at.size());
    for (std::size_t k = 1; k < 64; ++k) EXPECT_LE(clock->at[k] - clock->at[k - 1], 63u) << k;
    // On average USB sets the pace: 0.6 MS/s or less.
    EXPECT_GE(clock->at.back() - clock->at.front(), 6199 * 1000000000ull / 620000);
}

TEST_F(SimTiming, ControlRequestsCostAFrameAtFullSpeedAndAMicroframeAtHighSpeed) {
    for (const auto& [chip, ns] : {std::pair{"FT232R", uint64_t{1000000}}, {"FT232H", uint64_t{125000}},
                                   {"FT232H-FS", uint64_t{1000000}}}) {
        FT_HANDLE dev = openTimed(chip, chip);
        const uint64_t start = device(chip).clockNs();
        ASSERT_EQ(FT_OK, FT_SetBaudRate(dev, 115200));
        ASSERT_EQ(FT_OK, FT_Purge(dev, FT_PURGE_RX | FT_PURGE_TX));
        EXPECT_EQ(start + 2 * ns, device(chip).clockNs()) << chip;
    }
}

TEST_F(SimTiming, HighSpeedDevicesSayItInTheirFlags) {
    addDevice("HS").setProfile(*qzsim::chipProfile("FT2232H"));
    addDevice("FS").setProfile(*qzsim::chipProfile("FT2232H-FS"));
    EXPECT_EQ(64u, device("FS").profile().packetSize);
    EXPECT_FALSE(qzsim::chipProfile("FT232R-FS"));
    uint32_t n = 0;
    ASSERT_EQ(FT_OK, FT_CreateDeviceInfoList(&n));
    ASSERT_EQ(2u, n);
    uint32_t flags[2] = {};
    for (uint32_t i = 0; i < 2; ++i)
        ASSERT_EQ(FT_OK, FT_GetDeviceInfoDetail(i, &flags[i], nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(2u, flags[0] & 2u);
    EXPECT_EQ(0u, flags[1] & 2u);
}

TEST_F(SimTiming, SetUSBParametersDiscardsWhatTheDriverHolds) {
    FT_HANDLE dev = openTimed("DEV", "FT232R");
    const auto s = stream(100);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 100, &count));
    EXPECT_EQ(100u, poll(dev));
    ASSERT_EQ(FT_OK, FT_SetUSBParameters(dev, 64, 64));
    EXPECT_EQ(0u, poll(dev));
    EXPECT_EQ(64u, device().link().transferSize());
    for (const uint32_t bad : {0u, 63u, 100u, 65600u}) EXPECT_EQ(FT_INVALID_PARAMETER, FT_SetUSBParameters(dev, bad, 64));
    EXPECT_EQ(64u, device().link().transferSize());
}

TEST_F(SimTiming, PollThatWouldSeeNothingNewMovesToTheNextPacket) {
    FT_HANDLE dev = openTimed("DEV", "FT232R");
    const auto s = stream(130);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_SetUSBParameters(dev, 64, 64));
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 130, &count));
    // With 64-byte requests each full packet is a request of its own.
    EXPECT_EQ(62u, poll(dev));
    EXPECT_EQ(124u, poll(dev));
    const uint64_t beforeTimer = device().clockNs();
    // The last 6 bytes wait for the latency timer, which restarted when the
    // second packet left (one packet slot ago).
    EXPECT_EQ(130u, poll(dev));
    EXPECT_EQ(beforeTimer + 16 * kMs, device().clockNs());
    EXPECT_EQ(130u, poll(dev));  // nothing more can come: the clock stays
    EXPECT_EQ(beforeTimer + 16 * kMs, device().clockNs());
}

// As D2XX: no read timeout unless set. A read of bytes that never come is
// counted ("would block for ever") and returns after a long simulated time.
TEST_F(SimTiming, ReadOfMoreThanWillComeWouldBlockForEver) {
    FT_HANDLE dev = openTimed("DEV", "FT232H");
    const auto s = stream(10);
    uint32_t count = 0;
    std::vector<uint8_t> rx(20);
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10, &count));
    ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), 20, &count));
    EXPECT_EQ(10u, count);
    EXPECT_EQ(1u, device().foreverReads());
    EXPECT_EQ(1, qzsim_forever_reads("DEV"));
    EXPECT_GE(device().clockNs(), qzsim::UsbLink::kForeverNs);
    device().setReadTimeout(5000);
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10, &count));
    const uint64_t start = device().clockNs();
    ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), 20, &count));
    EXPECT_EQ(10u, count);
    EXPECT_EQ(1u, device().foreverReads());
    EXPECT_EQ(start + 5000 * kMs, device().clockNs());
}

TEST_F(SimTiming, PurgeEmptiesTheDriverBufferAndTheChipFifos) {
    FT_HANDLE dev = openTimed("DEV", "FT232R", 4096);
    const auto s = stream(10000);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10000, &count));
    ASSERT_GT(device().driverQueued(), 0u);
    ASSERT_GT(device().chipQueued(), 0u);
    ASSERT_EQ(FT_OK, FT_Purge(dev, FT_PURGE_RX | FT_PURGE_TX));
    EXPECT_EQ(0u, device().driverQueued());
    EXPECT_EQ(0u, device().chipQueued());
    // The chip runs again: a new transfer reads back whole.
    const auto t = stream(100);
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(t.data()), 100, &count));
    std::vector<uint8_t> rx(100);
    ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), 100, &count));
    EXPECT_EQ(100u, count);
    EXPECT_EQ(t[98], rx[99]);
}

TEST_F(SimTiming, WriteReturnsBeforeTheChipClockedItsTailAndPurgeLosesIt) {
    // FT_Write is done when its bytes are in the chip: on an FT2232H at
    // 1 MBaud most of its 4 KiB from-host FIFO is not on the pins yet, and a
    // purge of the transmit side right after it (one microframe) discards it.
    FT_HANDLE dev = openTimed("DEV", "FT2232H");
    const auto s = stream(8192);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 8192, &count));
    EXPECT_EQ(8192u, count);
    EXPECT_LE(device().trace().size(), 8192u - 3000u);
    ASSERT_EQ(FT_OK, FT_Purge(dev, FT_PURGE_TX));
    const std::size_t clocked = device().trace().size();
    EXPECT_LT(clocked, 8192u - 3000u);
    std::vector<uint8_t> rx(8192);
    device().setReadTimeout(100);
    ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), 8192, &count));
    EXPECT_EQ(clocked, count);
    EXPECT_EQ(clocked, device().trace().size());
}

TEST_F(SimTiming, UntimedDeviceKeepsNoClock) {
    FT_HANDLE dev = openDevice();
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG));
    const auto s = stream(100000);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 100000, &count));
    EXPECT_EQ(100000u, count);
    EXPECT_EQ(100000u, poll(dev));
    EXPECT_EQ(0, qzsim_clock_ns("DEV"));
    EXPECT_EQ(0, qzsim_stall_count("DEV"));
}

TEST_F(SimTiming, UnplugAtTheNthCallAnswersIoErrorFromThen) {
    FT_HANDLE dev = openTimed("DEV", "FT232R");
    ASSERT_EQ(0, qzsim_unplug_at_call("DEV", 2));
    const auto s = stream(10);
    uint32_t count = 0;
    EXPECT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10, &count));
    EXPECT_EQ(FT_IO_ERROR, FT_GetQueueStatus(dev, &count));
    EXPECT_EQ(FT_IO_ERROR, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10, &count));
    EXPECT_EQ(FT_IO_ERROR, FT_SetBaudRate(dev, 9600));
    uint32_t devices = 9;
    ASSERT_EQ(FT_OK, FT_CreateDeviceInfoList(&devices));
    EXPECT_EQ(0u, devices);  // gone from the bus
    EXPECT_EQ(FT_OK, FT_Close(dev));
    EXPECT_EQ(FT_INVALID_HANDLE, FT_Close(dev));
    handles_.clear();
}

TEST_F(SimTiming, UnplugDuringAWriteCutsItShort) {
    FT_HANDLE dev = openTimed("DEV", "FT232R");
    ASSERT_EQ(0, qzsim_unplug_at_time("DEV", device().clockNs() + 3 * kMs));
    const auto s = stream(10000);
    uint32_t written = 0;
    EXPECT_EQ(FT_IO_ERROR, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10000, &written));
    // The write's packets go from the next frame on: 2 ms of full-speed
    // bandwidth, shared with the read-back, carry about 1,200 bytes.
    EXPECT_GT(written, 1000u);
    EXPECT_LT(written, 1400u);
    std::vector<uint8_t> rx(10);
    uint32_t got = 0;
    EXPECT_EQ(FT_IO_ERROR, FT_Read(dev, rx.data(), 10, &got));
    EXPECT_EQ(0u, got);
}

TEST_F(SimTiming, TraceRingKeepsTheMostRecentSamplesAndCountsTheRest) {
    FT_HANDLE dev = openDevice();
    ASSERT_EQ(0, qzsim_set_trace_limit("DEV", 100));
    const auto s = stream(250);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG));
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 250, &count));
    std::vector<uint8_t> written(100), levels(100);
    EXPECT_EQ(100, qzsim_read_trace("DEV", written.data(), levels.data(), 100));
    EXPECT_EQ(std::vector<uint8_t>(s.end() - 100, s.end()), written);
    EXPECT_EQ(written, levels);
    EXPECT_EQ(150, qzsim_trace_dropped("DEV"));
    // A smaller ring keeps the newest of what it held.
    ASSERT_EQ(0, qzsim_set_trace_limit("DEV", 10));
    EXPECT_EQ(10u, device().trace().size());
    EXPECT_EQ(s.back(), device().trace().back().written);
    EXPECT_EQ(240, qzsim_trace_dropped("DEV"));
    ASSERT_EQ(0, qzsim_clear_trace("DEV"));
    EXPECT_EQ(0, qzsim_trace_dropped("DEV"));
    ASSERT_EQ(0, qzsim_set_trace_limit("DEV", 0));
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 250, &count));
    EXPECT_EQ(0, qzsim_read_trace("DEV", nullptr, nullptr, 0));
}

TEST_F(SimTiming, CInterfaceSetsTheChipAndReportsItsTime) {
    addDevice("DEV");
    EXPECT_EQ(0, qzsim_set_profile("DEV", "FT2232H"));
    EXPECT_EQ(4096u, device().profile().fifoToHost);
    EXPECT_EQ(-1, qzsim_set_profile("DEV", "FT9999"));
    EXPECT_EQ(-1, qzsim_set_profile("NOPE", "FT232H"));
    EXPECT_EQ(0, qzsim_set_custom_profile("DEV", 100, 50, 64, 4, 1000000, 3));
    EXPECT_EQ(4u, device().profile().sampleMultiplier);
    EXPECT_EQ(3, qzsim_get_latency_timer("DEV"));
    EXPECT_EQ(-1, qzsim_set_custom_profile("DEV", 0, 50, 64, 4, 1000000, 3));
    EXPECT_EQ(-1, qzsim_set_driver_buffer("DEV", 0));
    EXPECT_EQ(0, qzsim_set_driver_buffer("DEV", 4096));
    EXPECT_EQ(4096u, device().driverBuffer());
    EXPECT_EQ(0, qzsim_set_timed("DEV", 1));
    EXPECT_TRUE(device().timed());
    EXPECT_EQ(0, qzsim_set_write_timeout("DEV", 10));
    EXPECT_EQ(0, qzsim_set_lossy("DEV", 0));
    EXPECT_EQ(0, qzsim_clock_ns("DEV"));
    EXPECT_EQ(-1, qzsim_clock_ns("NOPE"));
    EXPECT_EQ(-1, qzsim_stall_count(nullptr));
}

TEST_F(SimTiming, FaultsAreReachableFromC) {
    FT_HANDLE dev = openDevice();
    ASSERT_EQ(FT_OK, FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG));
    const auto s = stream(100);
    uint32_t count = 0;
    ASSERT_EQ(0, qzsim_fail_nth_call("DEV", "Write", 2, FT_OTHER_ERROR));
    EXPECT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10, &count));
    EXPECT_EQ(FT_OTHER_ERROR, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10, &count));
    EXPECT_EQ(-1, qzsim_fail_nth_call("DEV", "Frobnicate", 1, FT_IO_ERROR));
    EXPECT_EQ(-1, qzsim_fail_nth_call(nullptr, "Write", 1, FT_IO_ERROR));  // takes a handle

    ASSERT_EQ(0, qzsim_fail_nth_call(nullptr, "OpenEx", 1, FT_DEVICE_NOT_FOUND));
    addDevice("TWO");
    FT_HANDLE two = nullptr;
    EXPECT_EQ(FT_DEVICE_NOT_FOUND, FT_OpenEx(const_cast<char*>("TWO"), FT_OPEN_BY_SERIAL_NUMBER, &two));

    ASSERT_EQ(FT_OK, FT_Purge(dev, FT_PURGE_RX));
    ASSERT_EQ(0, qzsim_set_short_write("DEV", 7));
    EXPECT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 100, &count));
    EXPECT_EQ(7u, count);
    ASSERT_EQ(0, qzsim_set_short_write("DEV", -1));
    ASSERT_EQ(0, qzsim_set_readback_drip("DEV", 3));
    EXPECT_EQ(3u, poll(dev));
    EXPECT_EQ(6u, poll(dev));
    ASSERT_EQ(0, qzsim_clear_faults("DEV"));
    EXPECT_EQ(7u, poll(dev));
    ASSERT_EQ(FT_OK, FT_Purge(dev, FT_PURGE_RX));
    ASSERT_EQ(0, qzsim_set_readback_stall("DEV", 5));
    EXPECT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 100, &count));
    EXPECT_EQ(5u, poll(dev));
    EXPECT_EQ(-1, qzsim_set_readback_stall("DEV", int64_t{1} << 40));
    EXPECT_EQ(-1, qzsim_clear_faults("NOPE"));
}

TEST_F(SimTiming, ThreadsOnTheirOwnDevicesWhileOthersComeAndGo) {
    constexpr int kWorkers = 4;
    for (int w = 0; w < kWorkers; ++w) {
        qzsim::Device& d = addDevice("W" + std::to_string(w));
        if (w % 2) {
            d.setTimed(true);
            d.setDriverBuffer(4096);
        }
    }
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w)
        threads.emplace_back([&, w] {
            const std::string serial = "W" + std::to_string(w);
            FT_HANDLE dev = nullptr;
            if (FT_OpenEx(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &dev) != FT_OK ||
                FT_SetBitMode(dev, 0xFF, FT_BITMODE_SYNC_BITBANG) != FT_OK) {
                ++wrong;
                return;
            }
            const auto s = stream(700 + 100 * static_cast<std::size_t>(w));
            const auto expected = readbackOf(s);
            for (int round = 0; round < 200; ++round) {
                uint32_t count = 0;
                std::vector<uint8_t> rx(s.size());
                FT_Purge(dev, FT_PURGE_RX | FT_PURGE_TX);
                if (FT_Write(dev, const_cast<uint8_t*>(s.data()), static_cast<uint32_t>(s.size()), &count) != FT_OK ||
                    FT_Read(dev, rx.data(), count, &count) != FT_OK || count != s.size())
                    ++wrong;
                // Each round's first byte shows the last one of the round before.
                rx[0] = 0;
                if (rx != expected) ++wrong;
            }
            FT_Close(dev);
        });
    threads.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            const std::string serial = "X" + std::to_string(i % 3);
            if (!qzsim::bench().find(serial)) qzsim_add_device(serial.c_str(), "coming and going", 1);
            FT_HANDLE dev = nullptr;
            uint32_t n = 0;
            FT_CreateDeviceInfoList(&n);
            if (FT_OpenEx(const_cast<char*>(serial.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &dev) == FT_OK) {
                FT_SetBaudRate(dev, 115200);
                FT_Close(dev);
            }
            if (i % 2) qzsim_remove_device(serial.c_str());
        }
    });
    for (int w = 0; w < kWorkers; ++w) threads[static_cast<std::size_t>(w)].join();
    stop = true;
    threads.back().join();
    EXPECT_EQ(0, wrong.load());
}
