// Value Change Dump of a device's wire trace, and its C entry point.
#include "qzsim/vcd.hpp"
#include "qzsim/qzsim.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <ostream>
#include <stdexcept>

namespace qzsim {

namespace {

constexpr unsigned kPins = 8;
constexpr std::size_t kChunkBytes = 1 << 16;

// The VCD identifier code of a pin: one printable character per wire.
char wireCode(unsigned pin) { return static_cast<char>('a' + pin); }

bool hasWhitespace(const std::string& name) {
    return std::any_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isspace(c) != 0; });
}

// One value-change line: the level, then the wire's code.
void appendLevel(std::string& text, unsigned pin, bool high) {
    text += high ? '1' : '0';
    text += wireCode(pin);
    text += '\n';
}

// Hands the text gathered so far to the stream, so that a trace of millions
// of samples never sits in memory twice.
void flush(std::string& text, std::ostream& out) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    text.clear();
}

}  // namespace

PinNames defaultPinNames() {
    PinNames names;
    for (unsigned pin = 0; pin < kPins; ++pin) names[pin] = {'D', static_cast<char>('0' + pin)};
    return names;
}

PinNames pinNames(const Device& device) {
    PinNames names;
    for (unsigned pin = 0; pin < kPins; ++pin) names[pin] = device.pinName(pin);
    return names;
}

VcdTimescale vcdTimescale(uint64_t sampleRate) {
    static const VcdTimescale units[] = {
        {"1 s", 1},           {"100 ms", 10},          {"10 ms", 100},
        {"1 ms", 1000},       {"100 us", 10000},       {"10 us", 100000},
        {"1 us", 1000000},    {"100 ns", 10000000},    {"10 ns", 100000000},
        {"1 ns", 1000000000}, {"100 ps", 10000000000}, {"10 ps", 100000000000},
        {"1 ps", 1000000000000}};
    const uint64_t rate = std::max<uint64_t>(sampleRate, 1);
    for (const VcdTimescale& unit : units) {
        if (unit.unitsPerSecond < rate) continue;  // a sample shorter than the unit
        if (unit.unitsPerSecond % rate == 0 || unit.unitsPerSecond / rate >= 10) return unit;
    }
    return units[std::size(units) - 1];
}

void writeVcd(const std::vector<TraceSample>& trace, std::ostream& out, const PinNames& names,
              uint64_t sampleRate) {
    uint8_t shown = 0;  // pins that get a wire
    for (unsigned pin = 0; pin < kPins; ++pin) {
        if (hasWhitespace(names[pin]))
            throw std::invalid_argument("VCD channel names hold no whitespace");
        if (!names[pin].empty()) shown |= static_cast<uint8_t>(1u << pin);
    }

    const VcdTimescale unit = vcdTimescale(sampleRate);
    const uint64_t rate = std::max<uint64_t>(sampleRate, 1);
    // Sample i starts at floor(i * units / rate), split so that nothing overflows.
    const uint64_t whole = unit.unitsPerSecond / rate, part = unit.unitsPerSecond % rate;
    auto start = [&](uint64_t i) { return std::to_string(i * whole + i * part / rate); };

    std::string text = "$version QZ simulated FTDI bench $end\n$timescale ";
    text += unit.text;
    text += " $end\n";
    for (unsigned pin = 0; pin < kPins; ++pin)
        if (shown & (1u << pin)) {
            text += "$var wire 1 ";
            text += wireCode(pin);
            text += ' ';
            text += names[pin];
            text += " $end\n";
        }
    text += "$enddefinitions $end\n";

    // Every wire's first level at #0, then a timestamp only where a shown pin
    // changes.
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const uint8_t levels = trace[i].levels;
        const uint8_t changed =
            i == 0 ? shown : static_cast<uint8_t>((levels ^ trace[i - 1].levels) & shown);
        if (changed == 0) continue;
        text += '#' + start(i) + '\n';
        for (unsigned pin = 0; pin < kPins; ++pin)
            if (changed & (1u << pin)) appendLevel(text, pin, (levels >> pin) & 1u);
        if (text.size() >= kChunkBytes) flush(text, out);
    }
    // The end of the last sample: without it a reader gives that sample no length.
    text += '#' + start(trace.size()) + '\n';
    flush(text, out);
}

void writeVcd(const Device& device, std::ostream& out) { writeVcd(device, out, pinNames(device)); }

void writeVcd(const Device& device, std::ostream& out, const PinNames& names) {
    writeVcd(device.trace(), out, names, device.sampleRate());
}

}  // namespace qzsim

extern "C" {

// Writes the device's trace to `path` with its pin names, at its sample
// rate: 0, or -1 for an unknown device, a null path or a file that cannot be
// written.
int32_t qzsim_write_vcd(const char* serial, const char* path) {
    return qzsim::guardedSim([&]() -> int32_t {
        const auto device = serial ? qzsim::bench().share(serial) : nullptr;
        if (!device || !path) return -1;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        if (!file) return -1;
        auto lock = device->lock();
        qzsim::writeVcd(*device, file);
        file.close();
        return file ? 0 : -1;
    });
}

}  // extern "C"
