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
//  - The sample clock is not capped by USB: the chip clocks in bursts while
//    its FIFOs allow (FT232R at 1 MBaud: 16 MS/s inside a burst), and USB
//    sets the average (full speed: about 0.6 MS/s both ways; see usb_link).
//    The cap is the chip's own: FT232R 16 x 3 MBaud; H series about 12 MS/s.
//  - Latency timer after opening: 16 ms on every chip.
const std::array<ChipProfile, 4> kChips = {{
    {"FT232R", 256, 128, 64, 16, 48000000, 16},
    {"FT232H", 1024, 1024, 512, 5, 12000000, 16},
    {"FT2232H", 4096, 4096, 512, 5, 12000000, 16},
    {"FT4232H", 2048, 2048, 512, 5, 12000000, 16},
}};

// An H-series chip on a full-speed port enumerates at full speed: 64-byte packets.
constexpr std::string_view kFullSpeedSuffix = "-FS";

}  // namespace

uint64_t ChipProfile::sampleRate(uint32_t baud) const {
    const uint64_t rate = std::min<uint64_t>(uint64_t{baud} * sampleMultiplier, maxSampleRate);
    return std::max<uint64_t>(rate, 1);
}

std::optional<ChipProfile> chipProfile(std::string_view name) {
    for (const ChipProfile& chip : kChips)
        if (chip.name == name) return chip;
    if (name.size() <= kFullSpeedSuffix.size() || !name.ends_with(kFullSpeedSuffix)) return std::nullopt;
    std::optional<ChipProfile> chip = chipProfile(name.substr(0, name.size() - kFullSpeedSuffix.size()));
    if (!chip || !chip->highSpeed()) return std::nullopt;
    chip->name = std::string(name);
    chip->packetSize = 64;
    return chip;
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
