// What distinguishes one FTDI chip from another in synchronous bit-bang mode:
// the FIFOs between the pins and USB, the USB packet size, and how fast the
// sample clock runs for a given baud rate.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qzsim {

struct ChipProfile {
    std::string name = "FT232R";
    uint32_t fifoToHost = 256;         // bytes of read-back the chip holds for the host
    uint32_t fifoFromHost = 128;       // bytes written by the host waiting for the pins
    uint32_t packetSize = 64;          // USB bulk packet: 2 status bytes, then data
    uint32_t sampleMultiplier = 16;    // sample clock = baud rate x this ...
    uint32_t maxSampleRate = 600000;   // ... up to this many samples per second
    uint32_t latencyMs = 16;           // latency timer after opening
    uint32_t deviceType = 5;           // FT_DEVICE_* the driver lists (FT_DEVICE_232R)
    uint32_t usbId = 0x04036001;       // VID << 16 | PID

    // A chip on a high-speed port: 512-byte packets, FT_FLAGS_HISPEED listed.
    bool highSpeed() const { return packetSize >= 512; }

    // Read-back bytes one USB packet carries (the driver strips the status bytes).
    uint32_t packetData() const { return packetSize > 2 ? packetSize - 2 : 1; }
    // Samples per second at a baud rate.
    uint64_t sampleRate(uint32_t baud) const;
};

// The chips by name: "FT232R", "FT232H", "FT2232H", "FT4232H"; nullopt for
// any other name.
std::optional<ChipProfile> chipProfile(std::string_view name);
// Their names, for a message that lists them ("FT232R, FT232H, ...").
std::string chipProfileNames();

// A custom chip; nullopt when a size or rate is out of range (FIFOs 1 byte to
// 1 MiB, packets of 3 to 4096 bytes, multiplier 1 to 64, rate 1 to 10^9
// samples/s, latency 1 to 255 ms).
std::optional<ChipProfile> customProfile(uint32_t fifoToHost, uint32_t fifoFromHost,
                                         uint32_t packetSize, uint32_t sampleMultiplier,
                                         uint32_t maxSampleRate, uint32_t latencyMs);

}  // namespace qzsim
