// Waveform export of a simulated device's wire: the resolved pin levels of
// its trace as a Value Change Dump, the format that sigrok's protocol
// decoders and GTKWave read. One sample of the trace lasts one microsecond.
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

// Writes the pin levels of `trace` as a VCD: $timescale 1 us, one 1-bit wire
// per named pin, every initial value at #0, then only the changes, and a
// closing timestamp so that the last sample keeps its full length.
// Throws std::invalid_argument for a name that holds whitespace.
void writeVcd(const std::vector<TraceSample>& trace, std::ostream& out,
              const PinNames& names = defaultPinNames());
void writeVcd(const Device& device, std::ostream& out, const PinNames& names = defaultPinNames());

}  // namespace qzsim
