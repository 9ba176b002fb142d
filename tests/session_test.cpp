// Per-device sessions under threads: one device's transactions never
// interleave, different devices never wait for each other, closing waits for
// the transaction in progress; and the USB latency timer.
#include "sim_fixture.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;
using qzsim::Op;

class Session : public SimBench {};

// Whether `body`, run on another thread, finishes within `patience`; the
// thread is joined either way.
bool finishesWhileHeld(const std::function<void()>& body, std::chrono::milliseconds patience,
                       const std::function<void()>& release) {
    std::atomic<bool> done{false};
    std::thread other([&] {
        body();
        done = true;
    });
    const auto until = std::chrono::steady_clock::now() + patience;
    while (!done && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    const bool finished = done;
    release();
    other.join();
    return finished;
}

TEST_F(Session, SecondSessionOnOneDeviceWaitsForTheFirst) {
    FT_HANDLE dev = openDevice();
    auto held = std::make_unique<qz::DeviceSession>(dev);
    EXPECT_FALSE(finishesWhileHeld([&] { qz::DeviceSession again(dev); }, 50ms, [&] { held.reset(); }));
}

TEST_F(Session, DifferentDevicesNeverWaitForEachOther) {
    FT_HANDLE a = openDevice(1, "A");
    FT_HANDLE b = openDevice(1, "B");
    auto held = std::make_unique<qz::DeviceSession>(a);
    EXPECT_TRUE(finishesWhileHeld([&] { qz::DeviceSession other(b); }, 2000ms, [&] { held.reset(); }));
    // Handles this library did not open have no lock to wait for.
    held = std::make_unique<qz::DeviceSession>(a);
    EXPECT_TRUE(finishesWhileHeld([&] { qz::DeviceSession none(reinterpret_cast<FT_HANDLE>(0x77)); },
                                  2000ms, [&] { held.reset(); }));
}

TEST_F(Session, CloseWaitsForTheTransactionInProgress) {
    addDevice("DEV");
    void* dev = nullptr;
    ASSERT_EQ(0, setupFTDIdev(&dev, "DEV", 1000000));
    auto held = std::make_unique<qz::DeviceSession>(dev);
    int32_t closed = -1;
    EXPECT_FALSE(finishesWhileHeld([&] { closed = closeFTDI(dev); }, 50ms, [&] { held.reset(); }));
    EXPECT_EQ(FT_OK, closed);
    EXPECT_FALSE(device().isOpen());
    EXPECT_FALSE(qz::rememberedBaudRate(dev).has_value());
}

// Each waits for a transaction in progress: none may slip its driver calls
// between those of another thread's transfer.
TEST_F(Session, PinPatternsAndLatencyTimerTakeTheSession) {
    FT_HANDLE dev = openDevice();
    const uint8_t samples[3] = {1, 0, 1};
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"writeCustomPattern", [&] { writeCustomPattern(dev, 0xFF, samples, 3); }},
        {"toggleSingleBit", [&] { toggleSingleBit(dev, 0, 0, 1); }},
        {"setLatencyTimer", [&] { setLatencyTimer(dev, 4); }},
        {"getLatencyTimer", [&] { getLatencyTimer(dev); }},
    };
    for (const auto& [what, call] : calls) {
        auto held = std::make_unique<qz::DeviceSession>(dev);
        EXPECT_FALSE(finishesWhileHeld(call, 50ms, [&] { held.reset(); })) << what;
    }
}

// Two threads play long read-back transactions on one device, each its own
// stream: every read-back is whole and belongs to its own stream (the pins
// echo the outputs one sample late). Without the session their chunks would
// mix in the driver.
TEST_F(Session, TwoThreadsOnOneDeviceGetWholeTransactions) {
    FT_HANDLE dev = openDevice();
    Descriptor spi;
    makeSPI(spi, 0, 1, 2, 3, 8, 8, 1, 0);
    const uint8_t outputs = qz::pinDirectionMask(spi.des());
    std::atomic<int> wrong{0};
    auto worker = [&](uint8_t seed) {
        qz::ByteStream stream(9000);
        for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(seed + i * 7);
        for (int round = 0; round < 20; ++round) {
            const qz::DeviceSession session(dev);
            qz::ByteStream rx;
            if (!qz::purgeDevice(dev).ok() ||
                !qz::playStream(dev, spi.des(), stream, qz::PlayOptions{true, std::nullopt, false}, &rx).ok()) {
                ++wrong;
                continue;
            }
            for (std::size_t i = 1; i < rx.size(); ++i)
                if ((rx[i] & outputs) != (stream[i - 1] & outputs)) {
                    ++wrong;
                    break;
                }
        }
    };
    std::thread first(worker, 0x11);
    std::thread second(worker, 0xA4);
    first.join();
    second.join();
    EXPECT_EQ(0, wrong.load());
}

TEST_F(Session, LatencyTimerIsSetAndReadThroughTheDriver) {
    FT_HANDLE dev = openDevice();
    EXPECT_EQ(0u, device().calls(Op::SetLatencyTimer));  // opening leaves the timer alone
    EXPECT_EQ(16, getLatencyTimer(dev));
    EXPECT_EQ(0, setLatencyTimer(dev, 2));
    EXPECT_EQ(2, getLatencyTimer(dev));
    EXPECT_EQ(0, setLatencyTimer(dev, 255));
    uint8_t ms = 0;
    QZ_RESULT detail{};
    EXPECT_EQ(QZ_OK, qz_getLatencyTimer(dev, &ms, &detail));
    EXPECT_EQ(255, ms);
    EXPECT_EQ(QZ_OK, detail.status);
}

TEST_F(Session, LatencyTimerOutOfRangeOrRefusedIsAFailure) {
    FT_HANDLE dev = openDevice();
    device().resetCallCounts();
    EXPECT_EQ(-1, setLatencyTimer(dev, 1));
    EXPECT_EQ(-1, setLatencyTimer(dev, 0));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_setLatencyTimer(dev, 1, nullptr));
    EXPECT_EQ(QZ_BAD_ARGUMENT, qz_getLatencyTimer(dev, nullptr, nullptr));
    EXPECT_EQ(0u, device().calls(Op::SetLatencyTimer) + device().calls(Op::GetLatencyTimer));

    // A driver without the operations: -1, the timer untouched.
    device().failNthCall(Op::SetLatencyTimer, 1, FT_NOT_SUPPORTED);
    device().failNthCall(Op::GetLatencyTimer, 1, FT_NOT_SUPPORTED);
    QZ_RESULT detail{};
    EXPECT_EQ(QZ_DRIVER_ERROR, qz_setLatencyTimer(dev, 4, &detail));
    EXPECT_EQ(uint32_t{FT_NOT_SUPPORTED}, detail.driverStatus);
    EXPECT_EQ(-1, getLatencyTimer(dev));
    EXPECT_EQ(16, getLatencyTimer(dev));

    device().failNthCall(Op::SetLatencyTimer, 1, FT_IO_ERROR);
    EXPECT_EQ(QZ_UNPLUGGED, qz_setLatencyTimer(dev, 4, &detail));
    EXPECT_EQ(-1, getLatencyTimer(nullptr));
    EXPECT_EQ(-1, setLatencyTimer(nullptr, 16));
}

// A handle value the driver hands out again (after a close that bypassed the
// library) gets a fresh record; the close removes it.
TEST_F(Session, RecordFollowsTheLatestOpenOfAHandle) {
    FT_HANDLE dev = openDevice();
    ASSERT_TRUE(qz::rememberDevice(dev, 9600));
    EXPECT_EQ(9600u, qz::rememberedBaudRate(dev).value_or(0));
    { const qz::DeviceSession session(dev); }
    EXPECT_EQ(FT_OK, closeFTDI(dev));
    EXPECT_FALSE(qz::rememberedBaudRate(dev).has_value());
}

}  // namespace
