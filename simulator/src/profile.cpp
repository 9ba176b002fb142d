#include "qzsim/profile.hpp"

#include <algorithm>
#include <array>

namespace qzsim {

namespace {

// The chips' figures in one place.
//  - FIFOs (to host / from host): FT232R 256/128; FT232H 1 KiB each way;
//    FT2232H 4 KiB each way per channel; FT4232H 2 KiB each way.
//  - USB packets: full speed (FT232R) 64 bytes, high speed (H series) 512;
//    2 of them are the modem status bytes.
//  - Sample clock: FT232R 16 x baud (measured with scopes by several users);
//    H series 5 x baud (drivers report 4 or 5: settable through a custom chip).
//  - Highest sustained sample rate in synchronous bit-bang, where every
//    sample crosses USB twice: FT232R about 0.6 MS/s (1.2 MB/s of full-speed
//    bulk bandwidth shared by both directions); H series about 12 MS/s.
//  - Latency timer after opening: 16 ms on every chip.
//  - What the driver lists: FT_DEVICE_232R (5) with ID 0403:6001, 232H (8)
//    0403:6014, 2232H (6) 0403:6010, 4232H (7) 0403:6011; the H series on a
//    high-speed port with FT_FLAGS_HISPEED.
const std::array<ChipProfile, 4> kChips = {{
    {"FT232R", 256, 128, 64, 16, 600000, 16, 5, 0x04036001},
    {"FT232H", 1024, 1024, 512, 5, 12000000, 16, 8, 0x04036014},
    {"FT2232H", 4096, 4096, 512, 5, 12000000, 16, 6, 0x04036010},
    {"FT4232H", 2048, 2048, 512, 5, 12000000, 16, 7, 0x04036011},
}};

}  // namespace

uint64_t ChipProfile::sampleRate(uint32_t baud) const {
    const uint64_t rate = std::min<uint64_t>(uint64_t{baud} * sampleMultiplier, maxSampleRate);
    return std::max<uint64_t>(rate, 1);
}

std::optional<ChipProfile> chipProfile(std::string_view name) {
    for (const ChipProfile& chip : kChips)
        if (chip.name == name) return chip;
    return std::nullopt;
}

std::string chipProfileNames() {
    std::string names;
    for (const ChipProfile& chip : kChips) names += (names.empty() ? "" : ", ") + chip.name;
    return names;
}

std::optional<ChipProfile> customProfile(uint32_t fifoToHost, uint32_t fifoFromHost,
                                         uint32_t packetSize, uint32_t sampleMultiplier,
                                         uint32_t maxSampleRate, uint32_t latencyMs) {
    constexpr uint32_t kMaxFifo = 1u << 20;
    const auto within = [](uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi; };
    if (!within(fifoToHost, 1, kMaxFifo) || !within(fifoFromHost, 1, kMaxFifo) ||
        !within(packetSize, 3, 4096) || !within(sampleMultiplier, 1, 64) ||
        !within(maxSampleRate, 1, 1000000000) || !within(latencyMs, 1, 255))
        return std::nullopt;
    return ChipProfile{"custom",         fifoToHost,    fifoFromHost, packetSize,
                       sampleMultiplier, maxSampleRate, latencyMs};
}

}  // namespace qzsim
