// The contents of a simulated board's chips (their registers, a flash's
// bytes, a port expander's latches) saved to a text file and loaded back, so
// that a virtual board keeps what was written to it from one program run to
// the next. The file names each device by serial and each chip by its place
// among the device's chips and its kind; a run of consecutive registers is
// one line:
//   qzsim-state 1
//   device QZS001
//   chip 0 i2c
//   0x00000000 0x51 0x5a 0x5f 0x46
// A chip with a latch beside its registers (a flash's write enable) has it on
// a line "latch 0x1" after its chip line. A chip's listed registers replace all it held (so an erased flash sector
// stays erased); chips the file does not name keep their bench values.
#include "qzsim/bench_state.hpp"

#include "qzsim/bench.hpp"
#include "qzsim/qzsim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qzsim;

namespace {

constexpr const char* kHeader = "qzsim-state 1";
constexpr std::size_t kValuesPerLine = 16;

// "0x" and 1 to 8 hexadecimal digits, or nothing.
std::optional<uint32_t> hexWord(const std::string& text) {
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return std::nullopt;
    uint32_t value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return value;
}

// One chip's contents as the file gives them, to be applied once the whole
// file has been read.
struct PendingChip {
    std::shared_ptr<Device> device;
    std::shared_ptr<RegisterChip> chip;
    std::map<uint32_t, uint32_t> cells;
    std::optional<uint32_t> latch;
};

// The chips and contents of a state file's text (named `path` in messages),
// checked against the bench.
std::vector<PendingChip> readState(std::istream& in, const std::string& path) {
    std::vector<PendingChip> chips;
    std::shared_ptr<Device> device;
    std::vector<Bench::ChipEntry> onDevice;
    bool headerSeen = false, inChip = false;
    std::string line;
    for (uint64_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto fail = [&](const std::string& what) {
            throw StateError(path + ":" + std::to_string(number) + ": " + what);
        };
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == '#') continue;
        if (!headerSeen) {
            if (line != kHeader) fail("not a simulator state file (expected \"" + std::string(kHeader) + "\")");
            headerSeen = true;
        } else if (word == "device") {
            std::string serial;
            std::getline(words >> std::ws, serial);
            device = bench().share(serial);
            if (!device || device->unplugged())
                fail("device " + serial + " is not on the bench (a state of another bench file?)");
            onDevice = bench().chipsOn(*device);
            inChip = false;
        } else if (word == "chip") {
            std::string index, kind, extra;
            words >> index >> kind;
            if (!device) fail("a chip before its device");
            std::size_t at = 0;
            if (index.empty() || index.find_first_not_of("0123456789") != std::string::npos ||
                index.size() > 6 || (at = std::stoul(index)) >= onDevice.size() ||
                onDevice[at].kind != kind || (words >> extra))
                fail("chip " + index + " " + kind + " is not on device " + device->info().serial +
                     " (a state of another bench file?)");
            chips.push_back({device, onDevice[at].chip, {}, std::nullopt});
            inChip = true;
        } else if (word == "latch") {
            std::string text;
            words >> text;
            const std::optional<uint32_t> value = hexWord(text);
            if (!inChip || !chips.back().chip->latch()) fail("a latch without a chip that has one");
            if (!value) fail(text + ": expected a value (0x...)");
            chips.back().latch = value;
        } else {
            const std::optional<uint32_t> first = hexWord(word);
            if (!first) fail(word + ": expected device, chip or a register (0x...)");
            if (!inChip) fail("registers before their chip");
            uint64_t reg = *first;
            std::size_t values = 0;
            for (std::string text; words >> text; ++values, ++reg) {
                const std::optional<uint32_t> value = hexWord(text);
                if (!value) fail(text + ": expected a value (0x...)");
                if (reg > 0xFFFFFFFFu) fail("registers past 0xffffffff");
                chips.back().cells[static_cast<uint32_t>(reg)] = *value;
            }
            if (values == 0) fail("register " + word + " without a value");
        }
    }
    if (in.bad()) throw StateError(path + ": " + std::strerror(errno));
    if (!headerSeen) throw StateError(path + ": not a simulator state file (empty)");
    return chips;
}

// Gives each chip the contents read for it, under its device's lock.
void applyState(std::vector<PendingChip>& chips) {
    for (PendingChip& c : chips) {
        const auto held = c.device->lock();
        c.chip->registers.cells = std::move(c.cells);
        if (c.latch) c.chip->setLatch(*c.latch);
    }
}

// Writes every chip of every device on the bench to `out`.
void writeState(std::ostream& out) {
    out << kHeader << "\n# Register contents of the virtual chips; delete the file to start "
                      "again from the bench file.\n";
    char word[16];
    for (const std::shared_ptr<Device>& device : bench().plugged()) {
        out << "device " << device->info().serial << '\n';
        const std::vector<Bench::ChipEntry> chips = bench().chipsOn(*device);
        const auto held = device->lock();  // the chips change only under it
        for (std::size_t index = 0; index < chips.size(); ++index) {
            out << "chip " << index << ' ' << chips[index].kind << '\n';
            if (const std::optional<uint32_t> latch = chips[index].chip->latch()) {
                std::snprintf(word, sizeof word, "0x%x", *latch);
                out << "latch " << word << '\n';
            }
            std::optional<uint64_t> next;  // the register the current line goes on with
            std::size_t onLine = 0;
            for (const auto& [reg, value] : chips[index].chip->registers.cells) {
                if (!next || *next != reg || onLine == kValuesPerLine) {
                    std::snprintf(word, sizeof word, "0x%08x", reg);
                    out << (next ? "\n" : "") << word;
                    onLine = 0;
                }
                std::snprintf(word, sizeof word, " 0x%02x", value);
                out << word;
                next = uint64_t{reg} + 1;
                ++onLine;
            }
            if (next) out << '\n';
        }
    }
}

int32_t report(const std::string& message, char* error, uint32_t capacity) {
    if (error && capacity > 0) std::snprintf(error, capacity, "%s", message.c_str());
    return -1;
}

}  // namespace

void qzsim::loadStateText(const std::string& text, const std::string& path) {
    std::istringstream in(text);
    std::vector<PendingChip> chips = readState(in, path);
    applyState(chips);
}

extern "C" {

// Loads a state file onto the chips on the bench: all of it or, on a
// mistake, none of it (-1 with "file:line: what" in `error`).
int32_t qzsim_load_state(const char* path, char* error, uint32_t errorCapacity) {
    if (!path) return report("no state file named", error, errorCapacity);
    try {
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error))
            throw StateError(std::string(path) + ": not a regular file");
        std::ifstream in(path, std::ios::binary);
        if (!in) throw StateError(std::string(path) + ": " + std::strerror(errno));
        std::vector<PendingChip> chips = readState(in, path);
        applyState(chips);
        return 0;
    } catch (const std::exception& failure) {
        return report(failure.what(), error, errorCapacity);
    }
}

// Saves the chips on the bench through a temporary file renamed into place:
// 0, or -1 with what went wrong in `error`.
int32_t qzsim_save_state(const char* path, char* error, uint32_t errorCapacity) {
    if (!path || !*path) return report("no state file named", error, errorCapacity);
    const std::string target = path;
    const std::string part = target + ".part";
    try {
        {
            std::ofstream out(part, std::ios::binary | std::ios::trunc);
            if (!out) return report(target + ": " + std::strerror(errno), error, errorCapacity);
            writeState(out);
            out.flush();
            if (!out) {
                const std::string why = errno ? std::strerror(errno) : "the file could not be written";
                out.close();
                std::remove(part.c_str());
                return report(target + ": " + why, error, errorCapacity);
            }
        }
        std::error_code failed;
        std::filesystem::rename(part, target, failed);
        if (failed) {
            std::remove(part.c_str());
            return report(target + ": " + failed.message(), error, errorCapacity);
        }
        return 0;
    } catch (const std::exception& failure) {
        std::remove(part.c_str());
        return report(target + ": " + failure.what(), error, errorCapacity);
    }
}

}  // extern "C"
