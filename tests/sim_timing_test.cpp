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
        // Whole packets fill the driver, then the chip's FIFO, then the
        // from-host FIFO takes what it can: nothing more ever goes.
        const uint32_t inDriver = 4096 / p.packetData() * p.packetData();
        EXPECT_EQ(inDriver + p.fifoToHost + p.fifoFromHost, written) << chip;
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
    // The last 128 bytes still wait in the from-host FIFO; of the rest, the
    // driver holds 66 packets of 62 and the chip's FIFO 256.
    EXPECT_EQ(30000u - 128 - 66 * 62 - 256, device().droppedCount());
    EXPECT_EQ(30000 - 128 - 66 * 62 - 256, qzsim_dropped_count("DEV"));
}

TEST_F(SimTiming, SmallReadbackWaitsForTheLatencyTimer) {
    for (const uint8_t latency : {16, 2}) {
        const std::string serial = "LT" + std::to_string(latency);
        FT_HANDLE dev = openTimed(serial, "FT232R");
        ASSERT_EQ(FT_OK, FT_SetLatencyTimer(dev, latency));
        const uint64_t start = device(serial).clockNs();
        const auto s = stream(54);  // an SPI read of 8 + 16 bits
        uint32_t count = 0;
        ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 54, &count));
        std::vector<uint8_t> rx(54);
        ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), 54, &count));
        ASSERT_EQ(54u, count);
        EXPECT_EQ(readbackOf(s), rx);
        EXPECT_EQ(start + latency * kMs, device(serial).clockNs()) << int(latency);
    }
}

TEST_F(SimTiming, FullPacketsArriveAsSoonAsTheSamplesAreDone) {
    // FT232R at 1 MBd: 16 MS/s capped at 0.6 MS/s; FT232H: 5 x 1 MBd.
    const std::tuple<const char*, uint32_t, uint64_t> cases[] = {
        {"FT232R", 62, (62 * 1000000000ull + 599999) / 600000},
        {"FT232H", 510, 510 * 1000000000ull / 5000000},
        {"FT232R", 6200, (6200 * 1000000000ull + 599999) / 600000},
    };
    int i = 0;
    for (const auto& [chip, bytes, ns] : cases) {
        const std::string serial = "FP" + std::to_string(i++);
        FT_HANDLE dev = openTimed(serial, chip);
        const uint64_t start = device(serial).clockNs();
        const auto s = stream(bytes);
        uint32_t count = 0;
        ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), bytes, &count));
        std::vector<uint8_t> rx(bytes);
        ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), bytes, &count));
        EXPECT_EQ(bytes, count);
        EXPECT_EQ(start + ns, device(serial).clockNs()) << chip << " " << bytes;
    }
}

TEST_F(SimTiming, PollThatWouldSeeNothingNewMovesToTheNextPacket) {
    FT_HANDLE dev = openTimed("DEV", "FT232R");
    const auto s = stream(130);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 130, &count));
    EXPECT_EQ(62u, poll(dev));
    EXPECT_EQ(124u, poll(dev));
    const uint64_t beforeTimer = device().clockNs();
    EXPECT_LT(beforeTimer, 16 * kMs);
    // The last 6 bytes wait for the latency timer, which restarted when the
    // second packet left.
    EXPECT_EQ(130u, poll(dev));
    EXPECT_EQ(beforeTimer + 16 * kMs, device().clockNs());
    EXPECT_EQ(130u, poll(dev));  // nothing more can come: the clock stays
    EXPECT_EQ(beforeTimer + 16 * kMs, device().clockNs());
}

TEST_F(SimTiming, ReadOfMoreThanWillComeReturnsShortAfterTheReadTimeout) {
    FT_HANDLE dev = openTimed("DEV", "FT232H");
    const auto s = stream(10);
    uint32_t count = 0;
    ASSERT_EQ(FT_OK, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10, &count));
    std::vector<uint8_t> rx(20);
    ASSERT_EQ(FT_OK, FT_Read(dev, rx.data(), 20, &count));
    EXPECT_EQ(10u, count);
    EXPECT_EQ(5000 * kMs, device().clockNs());
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
    ASSERT_EQ(0, qzsim_unplug_at_time("DEV", device().clockNs() + kMs));
    const auto s = stream(10000);
    uint32_t written = 0;
    EXPECT_EQ(FT_IO_ERROR, FT_Write(dev, const_cast<uint8_t*>(s.data()), 10000, &written));
    // 1 ms at 0.6 MS/s clocks out 600 bytes; 128 more sat in the FIFO.
    EXPECT_EQ(600u + 128u, written);
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
