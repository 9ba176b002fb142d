// Waveform export of a simulated device's wire: the resolved pin levels of
// its trace as a Value Change Dump, the format that sigrok's protocol
// decoders and GTKWave read. One sample lasts one period of the device's
// sample clock.
#pragma once

#include "qzsim/bench.hpp"

#include <array>
#include <iosfwd>
#include <string>
#include <vector>

namespace qzsim {

// The channel name of each pin, pin 0 first. Names are plain words (no
// whitespace, no vector suffix); an empty name leaves that pin out of the dump.
using PinNames = std::array<std::string, 8>;

// D0 .. D7.
PinNames defaultPinNames();
// The names the device's pins carry.
PinNames pinNames(const Device& device);

// The VCD time unit for a sample rate. sigrok's reader makes one logic sample
// of every unit, so the unit is the largest power of ten that still times
// the samples well: one that divides the sample period exactly, or else one
// at most a tenth of it (sample starts rounded down to the unit then move by
// less than a tenth of a period; decoders look at edges, whose order stays).
struct VcdTimescale {
    const char* text;         // "1 us", "100 ns", ...
    uint64_t unitsPerSecond;  // 10^6 for 1 us
};
VcdTimescale vcdTimescale(uint64_t sampleRate);

// Writes the pin levels of `trace` as a VCD: the timescale of the sample
// rate, one 1-bit wire per named pin, every initial value at #0, then only
// the changes, and a closing timestamp so that the last sample keeps its full
// length. Throws std::invalid_argument for a name that holds whitespace.
void writeVcd(const std::vector<TraceSample>& trace, std::ostream& out,
              const PinNames& names = defaultPinNames(), uint64_t sampleRate = 1000000);
// The device's trace at its sample rate, with its pin names or with `names`.
void writeVcd(const Device& device, std::ostream& out);
void writeVcd(const Device& device, std::ostream& out, const PinNames& names);

}  // namespace qzsim
