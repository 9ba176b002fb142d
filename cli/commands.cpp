#include "commands.hpp"

#include "grids.hpp"
#include "terminal.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <iostream>
#include <string>

namespace qzcli {
namespace {

using nlohmann::json;

// Registers per round trip of a dump: one batch each, so that a long dump
// shows progress and a real device's latency timer is paid rarely.
constexpr uint32_t kDumpChunk = 256;

void emit(const json& document) { std::cout << document.dump() << '\n'; }

int i2cDigits(const Session& session) { return 2 * session.options().i2c.dataBytes; }
int spiDigits(const Session& session) { return (session.options().spi.dataBits + 3) / 4; }

I2cFrame i2cFrame(const Session& session, uint32_t address, bool read) {
    return {address, session.options().i2c.regBytes, session.options().i2c.dataBytes, read};
}

std::string hex(uint32_t value) { return hexValue(value, 2); }

// Asks before a write (on a terminal, without -y); false: the user said no.
bool mayWrite(const Session& session, const std::string& what) {
    if (confirmWrite(what + " on " + session.serial(), session.options().yes)) return true;
    std::cerr << "Aborting on user request.\n";
    return false;
}

// Reads registers first..last in batches and prints each batch as it comes:
// the grid, or with --json the document `head` with "first" and "values".
// Memory stays bounded by one batch. When a batch fails, it and every later
// register print as XX (null in JSON), and the failure is thrown after them.
void dumpRegisters(PROT_HANDLE prot, Session& session, uint32_t first, uint32_t last,
                   const std::string& what, const I2cFrame* frame, int digits, json head) {
    const bool asJson = session.options().json;
    std::optional<RegisterGrid> grid;
    if (asJson) {
        head["first"] = first;
        head["values"] = json::array();
        const std::string open = head.dump();  // keys sorted: "values" comes last
        std::cout << open.substr(0, open.size() - 2);
    } else {
        grid.emplace(std::cout, first, last, digits);
    }
    const uint64_t total = uint64_t{last} - first + 1;
    const auto put = [&](std::optional<uint32_t> value, uint64_t index) {
        if (grid) {
            grid->add(value);
        } else {
            std::cout << (index ? "," : "") << (value ? std::to_string(*value) : "null");
        }
    };
    const auto close = [&] {
        if (asJson) std::cout << "]}\n";
        std::cout.flush();
    };
    Progress progress("reading", total);
    std::vector<uint32_t> regs, values;
    for (uint64_t done = 0; done < total;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kDumpChunk, total - done));
        regs.resize(n);
        values.assign(n, 0);
        for (uint32_t i = 0; i < n; ++i) regs[i] = static_cast<uint32_t>(first + done + i);
        QZ_RESULT result{};
        try {
            check(qz_multiRegRW(session.device(), prot, regs.data(), values.data(), n, 0, &result),
                  result, what, frame, regs);
        } catch (const Failure&) {
            for (uint64_t index = done; index < total; ++index) put(std::nullopt, index);
            close();
            throw;
        }
        for (uint32_t i = 0; i < n; ++i) put(values[i], done + i);
        done += n;
        progress.update(done);
    }
    close();
}

// Refuses (usage) a range that ends before it begins or past the highest
// register the chip's address width can name, before any transfer.
void checkRange(uint32_t first, uint32_t last, uint64_t highest) {
    if (last > highest)
        throw Failure(kExitUsage, "register " + hex(last) + " is past the chip's highest, " +
                                      hex(static_cast<uint32_t>(highest)));
    if (first > last)
        throw Failure(kExitUsage, "the range ends (" + hex(last) + ") before it begins (" +
                                      hex(first) + ")");
}

// A string of a fixed buffer, read no further than the buffer's end.
template <std::size_t N>
std::string bounded(const char (&buffer)[N]) {
    return std::string(buffer, std::find(buffer, buffer + N, '\0'));
}

uint64_t i2cHighest(const Session& session) {
    return (uint64_t{1} << (8 * session.options().i2c.regBytes)) - 1;
}
uint64_t spiHighest(const Session& session) {
    return (uint64_t{1} << session.options().spi.addrBits) - 1;
}

}  // namespace

int listDevices(const CommonOptions& options) {
    loadBench(options);
    const int32_t total = printConnectedDevices(0, 1);
    if (total < 0) throw Failure(kExitDeviceError, "the driver cannot list the devices");
    json devices = json::array();
    for (int32_t index = 0; index < total; ++index) {
        uint32_t flags = 0, type = 0, id = 0, location = 0;
        char description[QZ_DESCRIPTION_BUFFER_SIZE] = "";
        char serial[QZ_SERIAL_BUFFER_SIZE] = "";
        if (getDeviceInfo(static_cast<uint32_t>(index), &flags, &type, &id, &location,
                          description, serial, index == 0 ? 1 : 0) < 0)
            throw Failure(kExitDeviceError, "the driver cannot describe device " +
                                                std::to_string(index));
        const char* backend = qz_getDeviceBackend(static_cast<uint32_t>(index));
        devices.push_back({{"serial", bounded(serial)},
                           {"description", bounded(description)},
                           {"type", deviceTypeName(type)},
                           {"backend", backend ? backend : ""},
                           {"location", location},
                           {"open", (flags & 1) != 0}});
    }
    if (devices.empty()) {
        if (const std::string missing = missingDriver(); !missing.empty())
            throw Failure(kExitDeviceError, missing);
    }
    if (options.json) {
        emit(devices);
        return kExitDone;
    }
    if (devices.empty()) {
        std::cerr << "no FTDI device found\n";
        return kExitDone;
    }
    char line[200];
    std::snprintf(line, sizeof line, "%-16s %-32s %-8s %-9s %s\n", "SERIAL", "DESCRIPTION", "TYPE",
                  "BACKEND", "LOCATION");
    std::cout << line;
    for (const json& d : devices) {
        std::snprintf(line, sizeof line, "%-16s %-32s %-8s %-9s 0x%04x%s\n",
                      d["serial"].get<std::string>().c_str(),
                      d["description"].get<std::string>().c_str(),
                      d["type"].get<std::string>().c_str(),
                      d["backend"].get<std::string>().c_str(), d["location"].get<uint32_t>(),
                      d["open"].get<bool>() ? " (open)" : "");
        std::cout << line;
    }
    return kExitDone;
}

int i2cScan(Session& session) {
    uint8_t present[QZ_I2C_ADDRESS_COUNT] = {};
    uint32_t count = 0;
    QZ_RESULT result{};
    check(qz_i2cScan(session.device(), session.i2c(0), present, &count, &result), result,
          "i2c scan");
    if (session.options().json) {
        std::vector<uint32_t> found;
        for (uint32_t address = 0; address < QZ_I2C_ADDRESS_COUNT; ++address)
            if (present[address]) found.push_back(address);
        emit({{"serial", session.serial()}, {"present", found}});
    } else {
        printScanGrid(std::cout, present);
    }
    return kExitDone;
}

int i2cGet(Session& session, uint32_t address, uint32_t reg) {
    uint32_t value = 0;
    QZ_RESULT result{};
    const I2cFrame frame = i2cFrame(session, address, true);
    check(qz_readI2C(session.device(), session.i2c(address), reg, &value, &result), result,
          "i2c get " + hex(address) + " " + hex(reg), &frame);
    if (session.options().json)
        emit({{"address", address}, {"register", reg}, {"value", value}});
    else
        std::cout << hexValue(value, i2cDigits(session)) << '\n';
    return kExitDone;
}

int i2cSet(Session& session, uint32_t address, uint32_t reg, uint32_t value) {
    if (!mayWrite(session, "write " + hex(value) + " to register " + hex(reg) +
                               " of the I2C chip at " + hex(address)))
        return kExitDone;
    QZ_RESULT result{};
    const I2cFrame frame = i2cFrame(session, address, false);
    check(qz_writeI2C(session.device(), session.i2c(address), reg, value, &result), result,
          "i2c set " + hex(address) + " " + hex(reg), &frame);
    if (session.options().json)
        emit({{"address", address}, {"register", reg}, {"written", value}});
    return kExitDone;
}

int i2cDump(Session& session, uint32_t address, uint32_t first, uint32_t last) {
    checkRange(first, last, i2cHighest(session));
    const I2cFrame frame = i2cFrame(session, address, true);
    dumpRegisters(session.i2c(address), session, first, last, "i2c dump " + hex(address), &frame,
                  i2cDigits(session), {{"address", address}});
    return kExitDone;
}

int i2cRead(Session& session, uint32_t address, uint32_t reg, uint32_t count) {
    std::vector<uint32_t> values(count);
    QZ_RESULT result{};
    const I2cFrame frame = i2cFrame(session, address, true);
    {
        Progress progress("reading", count);
        check(qz_multiRegStreamRW(session.device(), session.i2c(address), reg, values.data(),
                                  count, 0, &result),
              result, "i2c read " + hex(address) + " " + hex(reg), &frame);
    }
    if (session.options().json) {
        emit({{"address", address}, {"register", reg}, {"values", values}});
        return kExitDone;
    }
    std::string line;
    for (uint32_t value : values)
        line += (line.empty() ? "" : " ") + hexValue(value, i2cDigits(session));
    std::cout << line << '\n';
    return kExitDone;
}

int i2cWrite(Session& session, uint32_t address, uint32_t reg, std::vector<uint32_t> values) {
    if (!mayWrite(session, "write " + std::to_string(values.size()) +
                               " value(s) from register " + hex(reg) + " of the I2C chip at " +
                               hex(address)))
        return kExitDone;
    QZ_RESULT result{};
    const I2cFrame frame = i2cFrame(session, address, false);
    check(qz_multiRegStreamRW(session.device(), session.i2c(address), reg, values.data(),
                              static_cast<uint32_t>(values.size()), 1, &result),
          result, "i2c write " + hex(address) + " " + hex(reg), &frame);
    if (session.options().json)
        emit({{"address", address}, {"register", reg}, {"written", values}});
    return kExitDone;
}

int i2cRecover(Session& session) {
    QZ_RESULT result{};
    check(qz_i2cRecoverBus(session.device(), session.i2c(0), &result), result, "i2c recover");
    if (session.options().json)
        emit({{"serial", session.serial()}, {"recovered", true}});
    else
        std::cout << "bus free: SCL and SDA read high\n";
    return kExitDone;
}

int spiRead(Session& session, uint32_t reg) {
    uint32_t value = 0;
    QZ_RESULT result{};
    check(qz_readSPI(session.device(), session.spi(), reg, &value, &result), result,
          "spi read " + hex(reg));
    if (session.options().json)
        emit({{"register", reg}, {"value", value}});
    else
        std::cout << hexValue(value, spiDigits(session)) << '\n';
    return kExitDone;
}

int spiWrite(Session& session, uint32_t reg, uint32_t value) {
    if (!mayWrite(session, "write " + hex(value) + " to SPI register " + hex(reg)))
        return kExitDone;
    QZ_RESULT result{};
    check(qz_writeSPI(session.device(), session.spi(), reg, value, &result), result,
          "spi write " + hex(reg));
    if (session.options().json) emit({{"register", reg}, {"written", value}});
    return kExitDone;
}

int spiDump(Session& session, uint32_t first, uint32_t last) {
    checkRange(first, last, spiHighest(session));
    dumpRegisters(session.spi(), session, first, last, "spi dump", nullptr, spiDigits(session),
                  json::object());
    return kExitDone;
}

int pinsPlay(Session& session, uint8_t mask, const std::vector<uint8_t>& samples) {
    if (!mayWrite(session, "play " + std::to_string(samples.size()) +
                               " samples on the pins of mask " + hex(mask)))
        return kExitDone;
    const int32_t written = writeCustomPattern(session.device(), mask, samples.data(),
                                               static_cast<int32_t>(samples.size()));
    if (written != static_cast<int32_t>(samples.size()))
        throw Failure(kExitDeviceError, "pins: the driver wrote " + std::to_string(written) +
                                            " of " + std::to_string(samples.size()) +
                                            " samples");
    if (session.options().json) emit({{"mask", mask}, {"written", written}});
    return kExitDone;
}

int pinsToggle(Session& session, uint8_t pin, bool low, bool singleEdge) {
    if (!mayWrite(session, std::string("drive pin ") + std::to_string(pin) +
                               (singleEdge ? " through one edge" : " through one pulse")))
        return kExitDone;
    if (toggleSingleBit(session.device(), pin, low ? 1 : 0, singleEdge ? 1 : 0) != 0)
        throw Failure(kExitDeviceError, "pins: the driver failed to play the toggle");
    if (session.options().json) emit({{"pin", pin}, {"toggled", true}});
    return kExitDone;
}

}  // namespace qzcli
