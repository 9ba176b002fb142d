// Test support: sigrok's protocol decoders as an independent reader of the
// waveforms on a simulated device's wire (exported as a VCD).
#pragma once

#include "qzsim/vcd.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

inline std::string vcdOf(const qzsim::Device& device, const qzsim::PinNames& names) {
    std::ostringstream out;
    qzsim::writeVcd(device, out, names);
    return out.str();
}

inline std::string tempPath(const std::string& stem) {
    return testing::TempDir() + stem + "_" + std::to_string(std::random_device{}()) + ".vcd";
}

// The lines that sigrok-cli prints (stdout and stderr) for a VCD with the
// given decoder options, keeping decoder lines that hold one of `keep` and
// every line that is not a decoder annotation (errors); nullopt without
// sigrok-cli.
inline std::optional<std::string> sigrokLines(const std::string& vcd, const std::string& decoder,
                                              std::initializer_list<const char*> keep) {
#ifdef _WIN32
    (void)vcd, (void)decoder, (void)keep;
    return std::nullopt;
#else
    if (std::system("command -v sigrok-cli >/dev/null 2>&1") != 0) return std::nullopt;
    const std::string path = tempPath("sigrok");
    std::ofstream(path) << vcd;
    std::string output;
    if (FILE* pipe = popen(("sigrok-cli -i '" + path + "' -I vcd " + decoder + " 2>&1").c_str(), "r")) {
        for (char line[256]; std::fgets(line, sizeof line, pipe);) {
            const std::string text = line;
            bool wanted = text.rfind("i2c-1:", 0) != 0 && text.rfind("spi-1:", 0) != 0;
            for (const char* word : keep) wanted = wanted || text.find(word) != text.npos;
            if (wanted) output += text;
        }
        pclose(pipe);
    }
    std::remove(path.c_str());
    return output;
#endif
}

// I2C address and data bytes only (no START, R/W, ACK or STOP annotations).
inline std::optional<std::string> sigrokWords(const std::string& vcd, const std::string& decoder) {
    return sigrokLines(vcd, decoder, {"Address", "Data"});
}
