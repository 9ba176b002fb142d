// Bench files: a TOML description of virtual boards, checked as a whole and
// then set up through the bench's C interface (the same calls a host program
// would make), so that a file and a program build the very same bench.
//
//   [[device]]
//   serial = "QZ0001"                  # required, 1 to 15 characters
//   description = "bench board"        # listable = true, readback_lag = 1,
//   profile = "FT232R"                 # or a table (custom profile), timed,
//                                      # driver_buffer, write_timeout_ms, lossy,
//                                      # trace_limit, pin_names = { "7" = "LED" }
//   [[device.spi]]                     # clk, cs, sdi, sdo, address_bits,
//   clk = 0                            # data_bits, posedge, rw_bit,
//   ...                                # output_enable = { pin, active_high }
//                                      # mode (0-3; or posedge), cs_active_high,
//                                      # lsb_first, data_valid
//   [[device.i2c]]                     # scl, sda_write, sda_read, address,
//   address = 0x50                     # register_bytes, data_bytes, fill,
//   registers = { "0x00" = 0x12 }      # register_widths, reaction_delay,
//                                      # clock_stretch, eeprom, fault
//   [[device.spi_flash]]               # clk, cs, sdi, sdo, size, jedec_id,
//                                      # program_samples, erase_samples, mode,
//                                      # cs_active_high, data_valid, registers
//   [[device.i2c_expander]]            # scl, sda_write, sda_read, address,
//                                      # inputs (levels pulled on its pins)
//   [[device.loopback]]                # a jumper: pin `to` follows pin `from`
//   from = 0
//   to = 1
//
// Register values are an integer, an array (consecutive registers) or a string
// (its bytes in consecutive registers).
#include "qzsim/bench_file.hpp"

#include "qzsim/bench.hpp"
#include "qzsim/profile.hpp"
#include "qzsim/qzsim.h"

#ifndef TOML_HEADER_ONLY
#define TOML_HEADER_ONLY 1
#endif
#include <toml++/toml.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <optional>
#include <initializer_list>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qzsim {
namespace {

// Where a value came from, for the "file:line: key: what" of a mistake.
struct Origin {
    uint32_t line = 0;
    std::string key;
};

// One register setting: the chip's register `reg` gets `value`.
struct RegisterValue {
    uint32_t reg;
    uint32_t value;
};

struct ChipSpec {
    enum class Kind { Spi, I2c, Flash, Expander };
    Origin origin;
    Kind kind = Kind::Spi;
    bool i2c() const { return kind == Kind::I2c || kind == Kind::Expander; }
    // SPI: clk, cs, sdi, sdo; I2C: scl, sda_write, sda_read; and where the
    // file sets each.
    uint8_t pins[4] = {0, 0, 0, 0};
    Origin pinOrigins[4];
    uint8_t addressWidth = 0;  // SPI: address bits; I2C: register-address bytes
    uint8_t dataWidth = 0;     // SPI: data bits; I2C: data bytes
    uint8_t i2cAddress = 0;
    int32_t posedge = 1;
    int32_t rwBit = 1;
    std::optional<std::pair<uint8_t, int32_t>> outputEnable;  // pin, active high
    std::vector<RegisterValue> registers;
    std::vector<RegisterValue> widths;  // I2C per-register widths in bytes
    std::optional<uint32_t> fill;
    std::optional<uint32_t> reactionDelay;
    std::optional<uint32_t> clockStretch;
    std::optional<std::pair<uint32_t, uint32_t>> eeprom;  // page size, busy samples
    std::optional<std::pair<int32_t, int32_t>> fault;     // mode, argument
    // SPI chips and flashes.
    uint32_t mode = 0;
    bool csActiveHigh = false;
    bool lsbFirst = false;
    bool dataValidSamplingOnly = false;
    uint32_t flashSize = 1u << 20;
    uint32_t jedecId = 0xEF4014;
    std::optional<std::pair<uint32_t, uint32_t>> busy;  // program, erase samples
    std::optional<int32_t> speed;                        // I2C bus speed
};

// The pins of each kind of chip, in ChipSpec::pins order; the last one of an
// SPI chip (data out) and of an I2C chip (the SDA line the bus shows on the
// read pin) is driven by the chip, the others by the FTDI chip.
const char* const kSpiPins[] = {"clk", "cs", "sdi", "sdo"};
const char* const kI2cPins[] = {"scl", "sda_write", "sda_read"};

struct CustomProfile {
    uint32_t fifoToHost, fifoFromHost, packetSize, sampleMultiplier, maxSampleRate, latencyMs;
};

// A jumper between two pins: `to` follows `from`.
struct Loopback {
    Origin origin;
    uint8_t from = 0;
    uint8_t to = 0;
};

struct DeviceSpec {
    Origin origin;
    std::string serial;
    std::string description = "QZ simulated FT232R";
    bool listable = true;
    std::optional<std::pair<Origin, std::string>> profile;
    std::optional<std::pair<Origin, CustomProfile>> customProfile;
    std::optional<uint32_t> readbackLag;
    std::optional<bool> timed;
    std::optional<uint32_t> driverBuffer;
    std::optional<uint32_t> writeTimeoutMs;
    std::optional<bool> lossy;
    std::optional<uint32_t> traceLimit;
    std::vector<std::pair<uint8_t, std::string>> pinNames;
    std::vector<ChipSpec> chips;
    std::vector<Loopback> loopbacks;
};

class FileContext {
public:
    explicit FileContext(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void fail(uint32_t line, const std::string& key, const std::string& what) const {
        throw BenchFileError(path_ + ":" + std::to_string(line) + ": " + key + ": " + what);
    }
    [[noreturn]] void fail(const Origin& origin, const std::string& what) const {
        fail(origin.line, origin.key, what);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

uint32_t lineOf(const toml::node& node) { return node.source().begin.line; }

// Reads one TOML table: typed values with their ranges. A key that the table
// may not hold is reported before anything else (a misspelt key must not be
// ignored silently, nor hide behind the "missing" of the key it misspells).
class TableReader {
public:
    TableReader(const FileContext& file, const toml::table& table, std::string path,
                std::initializer_list<const char*> keys)
        : file_(file), table_(table), path_(std::move(path)), keys_(keys.begin(), keys.end()) {
        for (auto&& [key, value] : table_) {
            const std::string name(key.str());
            if (!keys_.count(name)) file_.fail(lineOf(value), keyPath(name), "unknown key");
        }
    }

    Origin origin() const { return {lineOf(table_), path_}; }
    Origin originOf(const std::string& key) const {
        const toml::node* node = table_.get(key);
        return {node ? lineOf(*node) : lineOf(table_), keyPath(key)};
    }
    std::string keyPath(const std::string& key) const {
        return path_.empty() ? key : path_ + "." + key;
    }

    std::optional<int64_t> integer(const std::string& key, int64_t min, int64_t max) {
        const toml::node* node = take(key);
        if (!node) return std::nullopt;
        const auto value = node->value<int64_t>();
        if (!node->is_integer() || !value || *value < min || *value > max)
            file_.fail(lineOf(*node), keyPath(key),
                       "expected an integer from " + std::to_string(min) + " to " +
                           std::to_string(max));
        return *value;
    }
    int64_t requiredInteger(const std::string& key, int64_t min, int64_t max) {
        if (!table_.contains(key)) file_.fail(lineOf(table_), keyPath(key), "missing");
        return *integer(key, min, max);
    }
    uint8_t pin(const std::string& key) {
        return static_cast<uint8_t>(requiredInteger(key, 0, 7));
    }
    std::optional<bool> boolean(const std::string& key) {
        const toml::node* node = take(key);
        if (!node) return std::nullopt;
        if (!node->is_boolean()) file_.fail(lineOf(*node), keyPath(key), "expected true or false");
        return node->value<bool>();
    }
    std::optional<std::string> string(const std::string& key) {
        const toml::node* node = take(key);
        if (!node) return std::nullopt;
        if (!node->is_string()) file_.fail(lineOf(*node), keyPath(key), "expected a string");
        return *node->value<std::string>();
    }
    const toml::table* table(const std::string& key) {
        const toml::node* node = take(key);
        if (!node) return nullptr;
        if (!node->is_table()) file_.fail(lineOf(*node), keyPath(key), "expected a table");
        return node->as_table();
    }
    // An array of tables ([[key]] sections).
    const toml::array* tables(const std::string& key) {
        const toml::node* node = take(key);
        if (!node) return nullptr;
        if (!node->is_array_of_tables())
            file_.fail(lineOf(*node), keyPath(key), "expected [[" + keyPath(key) + "]] sections");
        return node->as_array();
    }
    const toml::node* node(const std::string& key) { return take(key); }

private:
    const toml::node* take(const std::string& key) {
        if (!keys_.count(key)) throw std::logic_error("bench file key not declared: " + key);
        return table_.get(key);
    }

    const FileContext& file_;
    const toml::table& table_;
    std::string path_;
    std::set<std::string> keys_;
};

// A register number written as a TOML key: decimal or 0x hexadecimal.
uint32_t registerKey(const FileContext& file, uint32_t line, const std::string& path,
                     const std::string& text, uint32_t limit) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || text[0] == '-' || value > limit)
        file.fail(line, path + "." + text,
                  "expected a register number from 0 to " + std::to_string(limit));
    return static_cast<uint32_t>(value);
}

uint32_t maxOfBits(unsigned bits) {
    return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
}

// registers = { "REG" = value | [values...] | "text" }
void readRegisters(const FileContext& file, const toml::table& table, const std::string& path,
                   uint32_t regLimit, uint32_t valueLimit, std::vector<RegisterValue>& out) {
    for (auto&& [key, node] : table) {
        const std::string name(key.str());
        const uint32_t line = lineOf(node);
        const std::string where = path + "." + name;
        // Counted wider than a register number: a run that starts at the top
        // of a 32-bit register space must not wrap to register 0.
        uint64_t reg = registerKey(file, line, path, name, regLimit);
        auto add = [&](int64_t value, uint32_t at) {
            if (value < 0 || static_cast<uint64_t>(value) > valueLimit)
                file.fail(at, where,
                          "value does not fit the chip's data width (at most " +
                              std::to_string(valueLimit) + ")");
            if (reg > regLimit) file.fail(at, where, "runs past the last register");
            out.push_back({static_cast<uint32_t>(reg++), static_cast<uint32_t>(value)});
        };
        if (node.is_integer()) {
            add(*node.value<int64_t>(), line);
        } else if (node.is_string()) {
            const std::string text = *node.value<std::string>();
            for (unsigned char c : text) add(c, line);
        } else if (const toml::array* values = node.as_array()) {
            for (const toml::node& element : *values) {
                if (!element.is_integer()) file.fail(lineOf(element), where, "expected integers");
                add(*element.value<int64_t>(), lineOf(element));
            }
        } else {
            file.fail(line, where, "expected an integer, an array of integers or a string");
        }
    }
}

void readFault(const FileContext& file, TableReader& chip, ChipSpec& spec) {
    const toml::node* node = chip.node("fault");
    if (!node) return;
    static const std::pair<const char*, int32_t> kinds[] = {
        {"none", 0}, {"nack-address", 1}, {"nack-data", 2}, {"hold-sda", 3}, {"hold-scl", 4}};
    const std::string path = chip.keyPath("fault");
    std::string kind;
    int32_t byte = 0;
    if (node->is_string()) {
        kind = *node->value<std::string>();
    } else if (const toml::table* table = node->as_table()) {
        TableReader fault(file, *table, path, {"kind", "byte"});
        kind = fault.string("kind").value_or("");
        byte = static_cast<int32_t>(fault.integer("byte", 0, 3).value_or(0));
    } else {
        file.fail(lineOf(*node), path, "expected a fault name or { kind = ..., byte = N }");
    }
    for (const auto& [name, mode] : kinds)
        if (kind == name) {
            spec.fault = {mode, byte};
            return;
        }
    file.fail(lineOf(*node), path,
              "unknown fault \"" + kind +
                  "\" (none, nack-address, nack-data, hold-sda, hold-scl)");
}

// The pins of a chip, with where the file sets them.
template <std::size_t N>
void readPins(TableReader& chip, const char* const (&names)[N], ChipSpec& spec) {
    for (std::size_t i = 0; i < N; ++i) {
        spec.pins[i] = chip.pin(names[i]);
        spec.pinOrigins[i] = chip.originOf(names[i]);
    }
}

// mode, cs_active_high, lsb_first, data_valid of an SPI chip or flash.
void readSpiWire(const FileContext& file, TableReader& chip, ChipSpec& spec, bool bitOrder) {
    spec.mode = static_cast<uint32_t>(chip.integer("mode", 0, 3).value_or(spec.mode));
    spec.csActiveHigh = chip.boolean("cs_active_high").value_or(false);
    if (bitOrder) spec.lsbFirst = chip.boolean("lsb_first").value_or(false);
    if (auto valid = chip.string("data_valid")) {
        if (*valid != "shift-to-shift" && *valid != "sampling-edge-only")
            file.fail(chip.originOf("data_valid"),
                      "expected \"shift-to-shift\" or \"sampling-edge-only\"");
        spec.dataValidSamplingOnly = *valid == "sampling-edge-only";
    }
}

ChipSpec readFlash(const FileContext& file, const toml::table& table, const std::string& path) {
    TableReader chip(file, table, path,
                     {"clk", "cs", "sdi", "sdo", "mode", "cs_active_high", "data_valid", "size",
                      "jedec_id", "program_samples", "erase_samples", "fill", "registers"});
    ChipSpec spec;
    spec.kind = ChipSpec::Kind::Flash;
    spec.origin = chip.origin();
    readPins(chip, kSpiPins, spec);
    readSpiWire(file, chip, spec, false);
    if (auto size = chip.integer("size", 256, 1 << 24)) {
        if ((*size & (*size - 1)) != 0)
            file.fail(chip.originOf("size"), "a flash's size is a power of two");
        spec.flashSize = static_cast<uint32_t>(*size);
    }
    if (auto id = chip.integer("jedec_id", 0, 0xFFFFFF)) spec.jedecId = static_cast<uint32_t>(*id);
    const auto program = chip.integer("program_samples", 0, 100000000);
    const auto erase = chip.integer("erase_samples", 0, 100000000);
    if (program || erase)
        spec.busy = {static_cast<uint32_t>(program.value_or(200)),
                     static_cast<uint32_t>(erase.value_or(2000))};
    if (auto fill = chip.integer("fill", 0, 0xFF)) spec.fill = static_cast<uint32_t>(*fill);
    if (const toml::table* registers = chip.table("registers"))
        readRegisters(file, *registers, chip.keyPath("registers"), spec.flashSize - 1, 0xFF,
                      spec.registers);
    return spec;
}

ChipSpec readExpander(const FileContext& file, const toml::table& table, const std::string& path) {
    TableReader chip(file, table, path, {"scl", "sda_write", "sda_read", "address", "inputs"});
    ChipSpec spec;
    spec.kind = ChipSpec::Kind::Expander;
    spec.origin = chip.origin();
    readPins(chip, kI2cPins, spec);
    spec.i2cAddress = static_cast<uint8_t>(chip.requiredInteger("address", 0, 0x7F));
    if (auto inputs = chip.integer("inputs", 0, 0xFF))
        spec.registers.push_back({1, static_cast<uint32_t>(*inputs)});
    return spec;
}

ChipSpec readSpi(const FileContext& file, const toml::table& table, const std::string& path) {
    TableReader chip(file, table, path,
                     {"clk", "cs", "sdi", "sdo", "address_bits", "data_bits", "posedge", "rw_bit",
                      "output_enable", "fill", "registers", "mode", "cs_active_high", "lsb_first",
                      "data_valid"});
    ChipSpec spec;
    spec.origin = chip.origin();
    readPins(chip, kSpiPins, spec);
    spec.addressWidth = static_cast<uint8_t>(chip.requiredInteger("address_bits", 0, 32));
    spec.dataWidth = static_cast<uint8_t>(chip.requiredInteger("data_bits", 1, 32));
    spec.posedge = chip.boolean("posedge").value_or(true) ? 1 : 0;
    // posedge = false alone is the falling-edge chip of initSPIDev (mode 2).
    spec.mode = spec.posedge ? 0 : 2;
    if (table.contains("mode") && table.contains("posedge"))
        file.fail(chip.originOf("mode"), "give mode or posedge, not both");
    readSpiWire(file, chip, spec, true);
    spec.rwBit = static_cast<int32_t>(chip.integer("rw_bit", 0, 1).value_or(1));
    if (const toml::table* oe = chip.table("output_enable")) {
        TableReader reader(file, *oe, chip.keyPath("output_enable"), {"pin", "active_high"});
        const uint8_t pin = reader.pin("pin");
        spec.outputEnable = {pin, reader.boolean("active_high").value_or(false) ? 1 : 0};
    }
    const uint32_t dataMax = maxOfBits(spec.dataWidth);
    if (auto fill = chip.integer("fill", 0, dataMax)) spec.fill = static_cast<uint32_t>(*fill);
    if (const toml::table* registers = chip.table("registers"))
        readRegisters(file, *registers, chip.keyPath("registers"), maxOfBits(spec.addressWidth),
                      dataMax, spec.registers);
    return spec;
}

ChipSpec readI2c(const FileContext& file, const toml::table& table, const std::string& path) {
    TableReader chip(file, table, path,
                     {"scl", "sda_write", "sda_read", "address", "register_bytes", "data_bytes",
                      "register_widths", "fill", "registers", "reaction_delay", "clock_stretch",
                      "eeprom", "fault", "speed"});
    ChipSpec spec;
    spec.kind = ChipSpec::Kind::I2c;
    spec.origin = chip.origin();
    readPins(chip, kI2cPins, spec);
    spec.i2cAddress = static_cast<uint8_t>(chip.requiredInteger("address", 0, 0x7F));
    spec.addressWidth = static_cast<uint8_t>(chip.integer("register_bytes", 0, 4).value_or(1));
    spec.dataWidth = static_cast<uint8_t>(chip.integer("data_bytes", 1, 4).value_or(1));
    const uint32_t regMax = maxOfBits(8u * spec.addressWidth);
    if (const toml::table* widths = chip.table("register_widths")) {
        for (auto&& [key, node] : *widths) {
            const std::string where = chip.keyPath("register_widths");
            const uint32_t reg = registerKey(file, lineOf(node), where, std::string(key.str()), regMax);
            const auto bytes = node.value<int64_t>();
            if (!node.is_integer() || *bytes < 1 || *bytes > 4)
                file.fail(lineOf(node), where + "." + std::string(key.str()),
                          "expected a width from 1 to 4 bytes");
            spec.widths.push_back({reg, static_cast<uint32_t>(*bytes)});
        }
    }
    uint32_t widest = spec.dataWidth;
    for (const RegisterValue& width : spec.widths) widest = std::max(widest, width.value);
    if (auto fill = chip.integer("fill", 0, maxOfBits(8u * widest)))
        spec.fill = static_cast<uint32_t>(*fill);
    if (const toml::table* registers = chip.table("registers")) {
        readRegisters(file, *registers, chip.keyPath("registers"), regMax,
                      maxOfBits(8u * widest), spec.registers);
        // A register narrower than the chip's data width holds only its bytes.
        for (const RegisterValue& r : spec.registers)
            for (const RegisterValue& width : spec.widths)
                if (width.reg == r.reg && r.value > maxOfBits(8u * width.value))
                    file.fail(chip.originOf("registers"),
                              "register " + std::to_string(r.reg) + " is " +
                                  std::to_string(width.value) + " byte(s) wide");
    }
    if (auto delay = chip.integer("reaction_delay", 0, 1000000))
        spec.reactionDelay = static_cast<uint32_t>(*delay);
    if (auto stretch = chip.integer("clock_stretch", 0, 1000000))
        spec.clockStretch = static_cast<uint32_t>(*stretch);
    if (const toml::table* eeprom = chip.table("eeprom")) {
        TableReader reader(file, *eeprom, chip.keyPath("eeprom"), {"page_size", "busy_samples"});
        const auto page = reader.requiredInteger("page_size", 1, 65536);
        const auto busy = reader.integer("busy_samples", 0, 100000000).value_or(0);
        spec.eeprom = {static_cast<uint32_t>(page), static_cast<uint32_t>(busy)};
    }
    readFault(file, chip, spec);
    if (auto speed = chip.string("speed")) {
        static const char* const speeds[] = {"standard", "fast", "fast-plus", "unchecked"};
        const auto it = std::find(std::begin(speeds), std::end(speeds), *speed);
        if (it == std::end(speeds))
            file.fail(chip.originOf("speed"),
                      "unknown speed \"" + *speed + "\" (standard, fast, fast-plus, unchecked)");
        spec.speed = static_cast<int32_t>(it - std::begin(speeds));
    }
    return spec;
}

// A board that can exist: no pin is driven by two outputs at once (a chip's
// output on a pin the FTDI chip drives, or two chips' outputs on one pin,
// except SPI chips sharing a data-out line under their own chip selects and
// I2C chips on one bus), the pins of one chip differ, and no two I2C chips
// on one bus share an address.
void checkBoard(const FileContext& file, const DeviceSpec& device) {
    const auto pinCount = [](const ChipSpec& c) -> std::size_t { return c.i2c() ? 3 : 4; };
    const auto pinName = [](const ChipSpec& c, std::size_t i) {
        return std::string(c.i2c() ? kI2cPins[i] : kSpiPins[i]);
    };
    const auto sameBus = [](const ChipSpec& a, const ChipSpec& b) {
        return a.i2c() && b.i2c() && std::equal(a.pins, a.pins + 3, b.pins);
    };
    for (std::size_t x = 0; x < device.chips.size(); ++x) {
        const ChipSpec& a = device.chips[x];
        const std::size_t driven = pinCount(a) - 1;
        for (std::size_t i = 0; i < pinCount(a); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if (a.pins[i] == a.pins[j])
                    file.fail(a.pinOrigins[i], "pin " + std::to_string(a.pins[i]) +
                                                   " is this chip's " + pinName(a, j) + " too");
        if (a.outputEnable && a.outputEnable->first == a.pins[driven])
            file.fail(a.pinOrigins[driven], "pin " + std::to_string(a.pins[driven]) +
                                                " is this chip's output_enable too");
        for (std::size_t y = 0; y < device.chips.size(); ++y) {
            if (y == x) continue;
            const ChipSpec& b = device.chips[y];
            const std::size_t bDriven = pinCount(b) - 1;
            const uint8_t pin = a.pins[driven];
            const std::string where = "pin " + std::to_string(pin) + ", which this chip drives, is ";
            for (std::size_t j = 0; j < bDriven; ++j)
                if (b.pins[j] == pin)
                    file.fail(a.pinOrigins[driven], where + b.origin.key + "." + pinName(b, j) +
                                                        ", which the FTDI chip drives");
            if (b.outputEnable && b.outputEnable->first == pin)
                file.fail(a.pinOrigins[driven],
                          where + b.origin.key + ".output_enable, which the FTDI chip drives");
            const bool sharedSpiData =
                !a.i2c() && !b.i2c() && b.pins[1] != a.pins[1];  // own chip selects
            if (y < x && b.pins[bDriven] == pin && !sharedSpiData && !sameBus(a, b))
                file.fail(a.pinOrigins[driven], where + "driven by " + b.origin.key + "." +
                                                    pinName(b, bDriven) + " as well");
            if (y < x && sameBus(a, b) && a.i2cAddress == b.i2cAddress) {
                char address[8];
                std::snprintf(address, sizeof address, "0x%02X", a.i2cAddress);
                file.fail(a.origin.line, a.origin.key + ".address",
                          std::string(address) + " is " + b.origin.key + "'s address on this bus too");
            }
        }
    }
}

// A loopback drives its `to` pin: no chip may use that pin as well.
void checkLoopbacks(const FileContext& file, const DeviceSpec& device) {
    for (const Loopback& wire : device.loopbacks)
        for (const ChipSpec& c : device.chips)
            for (std::size_t i = 0; i < (c.i2c() ? 3u : 4u); ++i)
                if (c.pins[i] == wire.to)
                    file.fail(wire.origin, "pin " + std::to_string(wire.to) +
                                               ", which this loopback drives, is " + c.origin.key +
                                               "." + (c.i2c() ? kI2cPins[i] : kSpiPins[i]));
}

DeviceSpec readDevice(const FileContext& file, const toml::table& table, const std::string& path) {
    TableReader device(file, table, path,
                       {"serial", "description", "listable", "profile", "readback_lag", "timed",
                        "driver_buffer", "write_timeout_ms", "lossy", "trace_limit", "pin_names",
                        "spi", "i2c", "spi_flash", "i2c_expander", "loopback"});
    DeviceSpec spec;
    spec.origin = device.origin();
    if (!table.contains("serial")) file.fail(spec.origin.line, device.keyPath("serial"), "missing");
    spec.serial = *device.string("serial");
    if (spec.serial.empty() || spec.serial.size() > 15)
        file.fail(device.originOf("serial"), "a serial number has 1 to 15 characters");
    if (auto description = device.string("description")) spec.description = *description;
    spec.listable = device.boolean("listable").value_or(true);
    if (const toml::node* profile = device.node("profile")) {
        const Origin at = device.originOf("profile");
        if (profile->is_string()) {
            spec.profile = {at, *profile->value<std::string>()};
            if (!chipProfile(spec.profile->second))
                file.fail(at, "unknown profile \"" + spec.profile->second + "\" (" +
                                  chipProfileNames() + ", or a table of a custom profile)");
        } else if (const toml::table* custom = profile->as_table()) {
            TableReader reader(file, *custom, at.key,
                               {"fifo_to_host", "fifo_from_host", "packet_size",
                                "sample_multiplier", "max_sample_rate", "latency_ms"});
            const auto u32 = [&](const char* key, int64_t min, int64_t max) {
                return static_cast<uint32_t>(reader.requiredInteger(key, min, max));
            };
            CustomProfile p{};
            p.fifoToHost = u32("fifo_to_host", 1, 1 << 20);
            p.fifoFromHost = u32("fifo_from_host", 1, 1 << 20);
            p.packetSize = u32("packet_size", 3, 4096);
            p.sampleMultiplier = u32("sample_multiplier", 1, 64);
            p.maxSampleRate = u32("max_sample_rate", 1, 1000000000);
            p.latencyMs = u32("latency_ms", 1, 255);
            spec.customProfile = {at, p};
        } else {
            file.fail(at, "expected a chip name (\"FT232R\", ...) or a table of a custom profile");
        }
    }
    if (auto lag = device.integer("readback_lag", 0, 2)) spec.readbackLag = static_cast<uint32_t>(*lag);
    spec.timed = device.boolean("timed");
    if (auto bytes = device.integer("driver_buffer", 1, 1 << 24))
        spec.driverBuffer = static_cast<uint32_t>(*bytes);
    if (auto ms = device.integer("write_timeout_ms", 0, 3600000))
        spec.writeTimeoutMs = static_cast<uint32_t>(*ms);
    spec.lossy = device.boolean("lossy");
    if (auto samples = device.integer("trace_limit", 0, 0xFFFFFFFF))
        spec.traceLimit = static_cast<uint32_t>(*samples);
    if (const toml::table* names = device.table("pin_names")) {
        const std::string where = device.keyPath("pin_names");
        for (auto&& [key, node] : *names) {
            const uint32_t pin = registerKey(file, lineOf(node), where, std::string(key.str()), 7);
            if (!node.is_string())
                file.fail(lineOf(node), where + "." + std::string(key.str()), "expected a string");
            spec.pinNames.push_back({static_cast<uint8_t>(pin), *node.value<std::string>()});
        }
    }
    using Reader = ChipSpec (*)(const FileContext&, const toml::table&, const std::string&);
    static const std::pair<const char*, Reader> kinds[] = {
        {"spi", readSpi}, {"i2c", readI2c}, {"spi_flash", readFlash}, {"i2c_expander", readExpander}};
    for (const auto& [kind, read] : kinds) {
        const toml::array* chips = device.tables(kind);
        if (!chips) continue;
        for (std::size_t i = 0; i < chips->size(); ++i) {
            const std::string chipPath = device.keyPath(kind) + "[" + std::to_string(i) + "]";
            spec.chips.push_back(read(file, *chips->get(i)->as_table(), chipPath));
        }
    }
    if (const toml::array* wires = device.tables("loopback")) {
        for (std::size_t i = 0; i < wires->size(); ++i) {
            TableReader wire(file, *wires->get(i)->as_table(),
                             device.keyPath("loopback") + "[" + std::to_string(i) + "]",
                             {"from", "to"});
            Loopback loopback{wire.originOf("to"), wire.pin("from"), wire.pin("to")};
            if (loopback.from == loopback.to)
                file.fail(loopback.origin, "a loopback joins two different pins");
            spec.loopbacks.push_back(loopback);
        }
    }
    checkBoard(file, spec);
    checkLoopbacks(file, spec);
    return spec;
}

std::vector<DeviceSpec> readFile(const FileContext& file, const std::string& text) {
    toml::table root;
    try {
        root = toml::parse(text, file.path());
    } catch (const toml::parse_error& error) {
        const std::string what(error.description());
        if (error.source().begin.line == 0) throw BenchFileError(file.path() + ": " + what);
        throw BenchFileError(file.path() + ":" + std::to_string(error.source().begin.line) +
                             ": " + what);
    }
    TableReader top(file, root, "", {"device"});
    std::vector<DeviceSpec> devices;
    std::set<std::string> serials;
    if (const toml::array* list = top.tables("device")) {
        for (std::size_t i = 0; i < list->size(); ++i) {
            DeviceSpec spec = readDevice(file, *list->get(i)->as_table(),
                                         "device[" + std::to_string(i) + "]");
            if (!serials.insert(spec.serial).second)
                file.fail(spec.origin.line, spec.origin.key + ".serial",
                          "serial number \"" + spec.serial + "\" used twice");
            devices.push_back(std::move(spec));
        }
    }
    if (devices.empty()) file.fail(1, "device", "the file describes no [[device]]");
    return devices;
}

// Sets one device up on the bench; a refused call names the file's line.
void applyDevice(const FileContext& file, const DeviceSpec& d) {
    const char* serial = d.serial.c_str();
    auto check = [&](int64_t result, const Origin& origin, const char* what) {
        if (result < 0) file.fail(origin, std::string("the simulator refused ") + what);
    };
    check(qzsim_add_device(serial, d.description.c_str(), d.listable ? 1 : 0), d.origin,
          "the device");
    if (d.profile) check(qzsim_set_profile(serial, d.profile->second.c_str()), d.profile->first,
                         "the profile");
    if (d.customProfile) {
        const CustomProfile& p = d.customProfile->second;
        check(qzsim_set_custom_profile(serial, p.fifoToHost, p.fifoFromHost, p.packetSize,
                                       p.sampleMultiplier, p.maxSampleRate, p.latencyMs),
              d.customProfile->first, "the custom profile");
    }
    if (d.readbackLag) check(qzsim_set_readback_lag(serial, *d.readbackLag), d.origin, "the lag");
    if (d.driverBuffer) check(qzsim_set_driver_buffer(serial, *d.driverBuffer), d.origin,
                              "the driver buffer size");
    if (d.writeTimeoutMs) check(qzsim_set_write_timeout(serial, *d.writeTimeoutMs), d.origin,
                                "the write timeout");
    if (d.lossy) check(qzsim_set_lossy(serial, *d.lossy ? 1 : 0), d.origin, "lossy mode");
    if (d.timed) check(qzsim_set_timed(serial, *d.timed ? 1 : 0), d.origin, "the timed model");
    if (d.traceLimit) check(qzsim_set_trace_limit(serial, *d.traceLimit), d.origin,
                            "the trace limit");
    for (const ChipSpec& c : d.chips) {
        using Kind = ChipSpec::Kind;
        int32_t id = -1;
        switch (c.kind) {
        case Kind::Spi:
            id = qzsim_attach_spi(serial, c.pins[0], c.pins[1], c.pins[2], c.pins[3],
                                  c.addressWidth, c.dataWidth, c.posedge, c.rwBit);
            break;
        case Kind::Flash:
            id = qzsim_attach_spi_flash(serial, c.pins[0], c.pins[1], c.pins[2], c.pins[3],
                                        c.flashSize, c.jedecId);
            break;
        case Kind::I2c:
            id = qzsim_attach_i2c(serial, c.pins[0], c.pins[1], c.pins[2], c.i2cAddress,
                                  c.addressWidth, c.dataWidth);
            break;
        case Kind::Expander:
            id = qzsim_attach_i2c_expander(serial, c.pins[0], c.pins[1], c.pins[2], c.i2cAddress);
            break;
        }
        check(id, c.origin, "the chip (pins or widths)");
        if (!c.i2c()) {
            check(qzsim_spi_set_mode(id, c.mode, c.csActiveHigh, c.lsbFirst), c.origin, "the SPI mode");
            check(qzsim_spi_set_data_valid(id, c.dataValidSamplingOnly ? 1 : 0), c.origin,
                  "the data-out timing");
        }
        if (c.speed) check(qzsim_i2c_set_speed(id, *c.speed), c.origin, "the bus speed");
        if (c.busy)
            check(qzsim_spi_flash_set_busy(id, c.busy->first, c.busy->second), c.origin,
                  "the busy times");
        if (c.outputEnable)
            check(qzsim_spi_output_enable(id, c.outputEnable->first, c.outputEnable->second),
                  c.origin, "the output enable");
        for (const RegisterValue& w : c.widths)
            check(qzsim_set_register_width(id, w.reg, w.value), c.origin, "a register width");
        if (c.fill) check(qzsim_set_fill(id, *c.fill), c.origin, "the fill value");
        for (const RegisterValue& r : c.registers)
            check(qzsim_set_register(id, r.reg, r.value), c.origin, "a register value");
        if (c.reactionDelay)
            check(qzsim_i2c_set_reaction_delay(id, *c.reactionDelay), c.origin,
                  "the reaction delay");
        if (c.clockStretch)
            check(qzsim_i2c_set_clock_stretch(id, *c.clockStretch), c.origin,
                  "the clock stretching");
        if (c.eeprom)
            check(qzsim_i2c_set_eeprom(id, c.eeprom->first, c.eeprom->second), c.origin,
                  "the EEPROM behaviour");
        if (c.fault)
            check(qzsim_i2c_fault(id, c.fault->first, c.fault->second), c.origin, "the fault");
    }
    for (const Loopback& wire : d.loopbacks)
        check(qzsim_attach_wire(serial, wire.from, wire.to), wire.origin, "the loopback");
    for (const auto& [pin, name] : d.pinNames)
        check(qzsim_set_pin_name(serial, pin, name.c_str()), d.origin, "a pin name");
}

}  // namespace

void loadBenchText(const std::string& text, const std::string& path) {
    const FileContext file(path);
    checkBenchText(text, path);
    const std::vector<DeviceSpec> devices = readFile(file, text);
    // A device of the file replaces one of the same serial; the one it
    // replaces stays whole (and its open handles working) until the whole
    // file is set up, and comes back as it was if that fails.
    std::vector<Bench::Taken> replaced;
    std::vector<std::string> added;
    try {
        for (const DeviceSpec& device : devices) {
            if (auto taken = bench().take(device.serial)) replaced.push_back(*taken);
            added.push_back(device.serial);
            applyDevice(file, device);
        }
    } catch (...) {
        for (const std::string& serial : added) qzsim_remove_device(serial.c_str());
        for (auto it = replaced.rbegin(); it != replaced.rend(); ++it) bench().putBack(*it);
        throw;
    }
    for (const Bench::Taken& taken : replaced) bench().retire(taken);
}

void loadBenchFile(const std::string& path) { loadBenchText(readBenchText(path), path); }

bool loadEnvironmentBench() {
    static const bool loaded = [] {
        const char* path = std::getenv(kBenchEnvironmentVariable);
        if (!path || !*path) return true;
        try {
            loadBenchFile(path);
            return true;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s: %s\n", kBenchEnvironmentVariable, error.what());
            return false;
        }
    }();
    return loaded;
}

}  // namespace qzsim

extern "C" int32_t qzsim_load_bench(const char* path, char* error, uint32_t errorCapacity) {
    std::string message;
    if (!path) {
        message = "no bench file named";
    } else {
        try {
            qzsim::loadBenchFile(path);
            return 0;
        } catch (const std::exception& failure) {
            message = failure.what();
        }
    }
    if (error && errorCapacity > 0) std::snprintf(error, errorCapacity, "%s", message.c_str());
    return -1;
}
