// Test support: a fresh simulated bench per test, devices opened through the
// library, descriptors that free themselves, and captured standard output.
#pragma once

#include "QZ_FTDI.h"
#include "ftd2xx.h"
#include "descriptors.h"
#include "device.h"
#include "diagnostics.h"
#include "registry.h"
#include "session.h"
#include "status.h"
#include "transport.h"
#include "qzsim/bench.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Whether the bench's call counts are the library's own driver calls: not in
// a program that reaches the bench through libftdi1 and USB, where they count
// what the USB requests became.
#ifdef QZ_BENCH_BEHIND_USB
inline constexpr bool kBenchCountsLibraryCalls = false;
#else
inline constexpr bool kBenchCountsLibraryCalls = true;
#endif

// A descriptor handle that is deleted at the end of the test.
class Descriptor {
public:
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { deleteSPIDev(handle); }
    PROT_HANDLE* address() { return &handle; }
    PROT_HANDLE get() const { return handle; }
    PROT_DES des() const { return qz::copyDescriptor(handle).value(); }
    PROT_HANDLE handle = nullptr;
};

inline Descriptor* makeSPI(Descriptor& d, uint8_t clk, uint8_t cs, uint8_t sdi, uint8_t sdo,
                           uint8_t addrBits, uint8_t dataBits, int32_t posedge, int32_t rwBit) {
    EXPECT_EQ(0, initSPIDev(d.address(), clk, cs, sdi, sdo, addrBits, dataBits, posedge, rwBit));
    return &d;
}

inline Descriptor* makeI2C(Descriptor& d, uint8_t scl, uint8_t sdaW, uint8_t sdaR, uint8_t addr,
                           uint8_t bytesPerAddr, uint8_t bytesPerReg) {
    EXPECT_EQ(0, initI2CDev(d.address(), scl, sdaW, sdaR, addr, bytesPerAddr, bytesPerReg));
    return &d;
}

// Runs `body` and returns what it printed on standard output.
inline std::string captureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class SimBench : public testing::Test {
protected:
    void SetUp() override {
        qzsim::bench().clear();
        enableDebugPrint(0, 0);
        setDebugDelim('n');
    }
    void TearDown() override {
        for (FT_HANDLE h : opened_) closeFTDI(h);
        qzsim::bench().clear();
        enableDebugPrint(0, 0);
        setDebugDelim('n');
    }

    qzsim::Device& addDevice(const std::string& serial, bool listable = true) {
        qzsim::DeviceInfo info;
        info.serial = serial;
        info.listable = listable;
        return qzsim::bench().add(info);
    }

    // Opens a bench device through the library; closed again at TearDown.
    FT_HANDLE open(const std::string& serial, uint32_t baud = 1000000) {
        void* handle = nullptr;
        EXPECT_EQ(0, setupFTDIdev(&handle, serial.c_str(), baud));
        if (handle) opened_.push_back(handle);
        return handle;
    }

    // A device "DEV" on the bench at the given read-back lag, opened.
    FT_HANDLE openDevice(unsigned lag = 1, const std::string& serial = "DEV") {
        addDevice(serial).setReadbackLag(lag);
        return open(serial);
    }

    qzsim::Device& device(const std::string& serial = "DEV") { return *qzsim::bench().find(serial); }

    // The bytes written to a device since its trace was last cleared.
    std::vector<uint8_t> written(const std::string& serial = "DEV") {
        std::vector<uint8_t> out;
        for (const auto& s : device(serial).trace()) out.push_back(s.written);
        return out;
    }

private:
    std::vector<FT_HANDLE> opened_;
};
