#include "commands.hpp"

#include "grids.hpp"
#include "terminal.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
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

// Reads registers first..last in batches; `what` names the transfer.
std::vector<uint32_t> readBatches(PROT_HANDLE prot, Session& session, uint32_t first,
                                  uint32_t last, const std::string& what, const I2cFrame* frame) {
    const uint64_t total = uint64_t{last} - first + 1;
    std::vector<uint32_t> values(total);
    Progress progress("reading", total);
    for (uint64_t done = 0; done < total;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kDumpChunk, total - done));
        std::vector<uint32_t> regs(n);
        for (uint32_t i = 0; i < n; ++i) regs[i] = static_cast<uint32_t>(first + done + i);
        QZ_RESULT result{};
        check(qz_multiRegRW(session.device(), prot, regs.data(), values.data() + done, n, 0,
                            &result),
              result, what, frame, regs);
        done += n;
        progress.update(done);
    }
    return values;
}

void printDump(const Session& session, uint32_t first, const std::vector<uint32_t>& values,
               int digits, json document) {
    if (session.options().json) {
        document["first"] = first;
        document["values"] = values;
        emit(document);
    } else {
        printRegisterGrid(std::cout, first, values, digits);
    }
}

void checkRange(uint32_t first, uint32_t last) {
    if (first > last)
        throw Failure(kExitUsage, "the range ends (" + hex(last) + ") before it begins (" +
                                      hex(first) + ")");
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
        devices.push_back({{"serial", serial},
                           {"description", description},
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
    checkRange(first, last);
    const I2cFrame frame = i2cFrame(session, address, true);
    const std::vector<uint32_t> values = readBatches(
        session.i2c(address), session, first, last, "i2c dump " + hex(address), &frame);
    printDump(session, first, values, i2cDigits(session), {{"address", address}});
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
    checkRange(first, last);
    const std::vector<uint32_t> values =
        readBatches(session.spi(), session, first, last, "spi dump", nullptr);
    printDump(session, first, values, spiDigits(session), json::object());
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
