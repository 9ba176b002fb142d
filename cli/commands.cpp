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
// Registers per stream of i2c read and write: one frame each, so that memory
// stays bounded by 4096 values and the wire stream of one frame.
constexpr uint32_t kStreamBlock = 4096;

void emit(const json& document) { std::cout << document.dump() << '\n'; }

int i2cDigits(const Session& session) { return 2 * session.options().i2c.dataBytes; }
int spiDigits(const Session& session) { return (session.options().spi.dataBits + 3) / 4; }

I2cFrame i2cFrame(const Session& session, uint32_t address, bool read) {
    return {address, session.options().i2c.regBytes, session.options().i2c.dataBytes, read};
}

std::string hex(uint32_t value) { return hexValue(value, 2); }

// An I2C value between the wire's byte order (most significant byte first)
// and the user's: with --little-endian the bytes swap, as in SMBus words.
// The same swap converts either way.
uint32_t i2cOrder(const Session& session, uint32_t value) {
    const I2cOptions& o = session.options().i2c;
    if (!o.littleEndian) return value;
    uint32_t swapped = 0;
    for (int byte = 0; byte < o.dataBytes; ++byte)
        swapped = swapped << 8 | ((value >> (8 * byte)) & 0xFFu);
    return swapped;
}

// Asks before a write (on a terminal, without -y); false: the user said no.
bool mayWrite(const Session& session, const std::string& what) {
    if (confirmWrite(what + " on " + session.serial(), session.options().yes)) return true;
    std::cerr << "Aborting on user request.\n";
    return false;
}

// Between blocks of a long transfer: after Ctrl-C, ends the output (whole rows
// only) and stops with exit 130.
template <typename End>
void stopIfInterrupted(const End& endOutput) {
    if (!interrupted()) return;
    endOutput();
    throw Failure(kExitInterrupted, "interrupted");
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
        if (value && frame) value = i2cOrder(session, *value);
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
    Progress progress("reading", total, asJson);
    std::vector<uint32_t> regs, values;
    for (uint64_t done = 0; done < total;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kDumpChunk, total - done));
        regs.resize(n);
        values.assign(n, 0);
        for (uint32_t i = 0; i < n; ++i) regs[i] = static_cast<uint32_t>(first + done + i);
        stopIfInterrupted(close);
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

uint64_t i2cHighest(const Session& session) {
    return (uint64_t{1} << (8 * session.options().i2c.regBytes)) - 1;
}
// Refuses (usage) a stream of `count` registers from `reg` that runs past the
// highest register the chip's address width can name, before any transfer.
void checkStream(const Session& session, uint32_t reg, uint64_t count) {
    if (uint64_t{reg} + count - 1 > i2cHighest(session))
        throw Failure(kExitUsage, std::to_string(count) + " registers from " + hex(reg) +
                                      " run past the chip's highest, " +
                                      hex(static_cast<uint32_t>(i2cHighest(session))));
}

uint64_t spiHighest(const Session& session) {
    return (uint64_t{1} << session.options().spi.addrBits) - 1;
}

}  // namespace

int listDevices(const CommonOptions& options) {
    loadBench(options);
    // The listable ones only: a device the driver does not list by serial
    // (in use by another program) cannot be chosen from the list either.
    std::vector<std::string> listable = listableSerials();
    json devices = json::array();
    std::size_t unlisted = 0;
    for (const AttachedDevice& d : attachedDevices()) {
        const auto at = std::find(listable.begin(), listable.end(), d.serial);
        if (at == listable.end()) {
            ++unlisted;
            continue;
        }
        listable.erase(at);
        devices.push_back({{"serial", d.serial},
                           {"description", d.description},
                           {"type", deviceTypeName(d.type)},
                           {"backend", d.backend},
                           {"location", d.location},
                           {"open", (d.flags & 1) != 0}});
    }
    if (unlisted)
        std::cerr << unlisted << " more device(s) attached that the driver does not list "
                                 "(in use by another program?)\n";
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

int deviceInfo(Session& session) {
    const auto wireClock = [&](PROT_HANDLE prot) {
        uint32_t hz = 0;
        QZ_RESULT none{};
        check(qz_getWireClock(session.device(), prot, &hz), none, "the bus clock");
        return hz;
    };
    const json info = {{"serial", session.serial()},
                       {"baud", session.options().baud},
                       {"i2c_khz", session.options().i2c.khz},
                       {"scl_hz", wireClock(session.i2c(0))},
                       {"sck_hz", wireClock(session.spi())}};
    if (session.options().json) {
        emit(info);
        return kExitDone;
    }
    std::cout << "serial  " << info["serial"].get<std::string>() << "\n"
              << "baud    " << info["baud"] << "\n"
              << "SCL     " << info["scl_hz"] << " Hz (--i2c-khz " << info["i2c_khz"] << ")\n"
              << "SCK     " << info["sck_hz"] << " Hz (--baud)\n";
    return kExitDone;
}

int i2cScan(Session& session, uint32_t first, uint32_t last, bool reserved) {
    constexpr uint32_t kFirstProbed = 0x08, kLastProbed = 0x77;
    checkRange(first, last, QZ_I2C_ADDRESS_COUNT - 1);
    if (!reserved && (first < kFirstProbed || last > kLastProbed))
        throw Failure(kExitUsage, hex(first < kFirstProbed ? first : last) +
                                      " is a reserved address (0x00-0x07, 0x78-0x7f): -a probes "
                                      "them too");
    uint8_t present[QZ_I2C_ADDRESS_COUNT] = {};
    uint32_t count = 0;
    QZ_RESULT result{};
    check(qz_i2cScan(session.device(), session.i2c(0), present, &count, &result), result,
          "i2c scan");
    // The library's scan probes 0x08-0x77 in one round trip; a reserved
    // address is probed by reading a byte from it (as i2cdetect -r does).
    for (uint32_t address = first; address <= last; ++address) {
        if (address >= kFirstProbed && address <= kLastProbed) continue;
        PROT_HANDLE probe = nullptr;
        if (initI2CDev(&probe, static_cast<uint8_t>(session.options().i2c.scl),
                       static_cast<uint8_t>(session.options().i2c.sdaWrite),
                       static_cast<uint8_t>(session.options().i2c.sdaRead),
                       static_cast<uint8_t>(address), 0, 1) != 0)
            throw Failure(kExitUsage, "the I2C pins do not make a bus");
        uint32_t value = 0;
        QZ_RESULT answer{};
        const int32_t status = qz_readI2C(session.device(), probe, 0, &value, &answer);
        deleteI2CDev(probe);
        if (status == QZ_OK || (status == QZ_NACK && !(answer.missingAcks & 1u)))
            present[address] = 1;
        else if (status != QZ_NACK)
            check(status, answer, "i2c scan of " + hex(address));
    }
    for (uint32_t address = 0; address < QZ_I2C_ADDRESS_COUNT; ++address)
        if (address < first || address > last) present[address] = 0;
    if (session.options().json) {
        std::vector<uint32_t> found;
        for (uint32_t address = 0; address < QZ_I2C_ADDRESS_COUNT; ++address)
            if (present[address]) found.push_back(address);
        emit({{"serial", session.serial()}, {"present", found}});
    } else {
        printScanGrid(std::cout, present, first, last);
    }
    return kExitDone;
}

int i2cGet(Session& session, uint32_t address, uint32_t reg) {
    uint32_t value = 0;
    QZ_RESULT result{};
    const I2cFrame frame = i2cFrame(session, address, true);
    check(qz_readI2C(session.device(), session.i2c(address), reg, &value, &result), result,
          "i2c get " + hex(address) + " " + hex(reg), &frame);
    value = i2cOrder(session, value);
    if (session.options().json)
        emit({{"address", address}, {"register", reg}, {"value", value}});
    else
        std::cout << hexValue(value, i2cDigits(session)) << '\n';
    return kExitDone;
}

int i2cSet(Session& session, uint32_t address, uint32_t reg, uint32_t value) {
    if (!mayWrite(session, "write " + hex(value) + " to register " + hex(reg) +
                               " of the I2C chip at " + hex(address)))
        return kExitDeclined;
    QZ_RESULT result{};
    const I2cFrame frame = i2cFrame(session, address, false);
    check(qz_writeI2C(session.device(), session.i2c(address), reg, i2cOrder(session, value),
                      &result),
          result, "i2c set " + hex(address) + " " + hex(reg), &frame);
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
    checkStream(session, reg, count);
    const I2cFrame frame = i2cFrame(session, address, true);
    const bool asJson = session.options().json;
    // Streamed in blocks, each printed as it comes: memory stays bounded.
    std::vector<uint32_t> values;
    bool printed = false;
    const auto end = [&] {
        if (asJson)
            std::cout << "]}\n";
        else if (printed)
            std::cout << '\n';
        std::cout.flush();
    };
    if (asJson) {
        const std::string open = json{{"address", address}, {"register", reg}, {"values", json::array()}}.dump();
        std::cout << open.substr(0, open.size() - 2);  // keys sorted: "values" comes last
    }
    Progress progress("reading", count, asJson);
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(kStreamBlock, count - done);
        values.assign(n, 0);
        stopIfInterrupted(end);
        QZ_RESULT result{};
        try {
            check(qz_multiRegStreamRW(session.device(), session.i2c(address), reg + done,
                                      values.data(), n, 0, &result),
                  result, "i2c read " + hex(address) + " " + hex(reg + done), &frame);
        } catch (const Failure&) {
            end();
            throw;
        }
        for (uint32_t value : values) {
            value = i2cOrder(session, value);
            if (asJson)
                std::cout << (printed ? "," : "") << value;
            else
                std::cout << (printed ? " " : "") << hexValue(value, i2cDigits(session));
            printed = true;
        }
        done += n;
        progress.update(done);
    }
    end();
    return kExitDone;
}

int i2cWrite(Session& session, uint32_t address, uint32_t reg, std::vector<uint32_t> values) {
    if (!mayWrite(session, "write " + std::to_string(values.size()) +
                               " value(s) from register " + hex(reg) + " of the I2C chip at " +
                               hex(address)))
        return kExitDeclined;
    checkStream(session, reg, values.size());
    const I2cFrame frame = i2cFrame(session, address, false);
    const auto count = static_cast<uint32_t>(values.size());
    std::vector<uint32_t> wire;
    Progress progress("writing", count, session.options().json);
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(kStreamBlock, count - done);
        wire.resize(n);
        std::transform(values.begin() + done, values.begin() + done + n, wire.begin(),
                       [&](uint32_t value) { return i2cOrder(session, value); });
        stopIfInterrupted([] {});
        QZ_RESULT result{};
        check(qz_multiRegStreamRW(session.device(), session.i2c(address), reg + done, wire.data(),
                                  n, 1, &result),
              result, "i2c write " + hex(address) + " " + hex(reg + done), &frame);
        done += n;
        progress.update(done);
    }
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

namespace {
// Bytes as "0x51 0x5a ..." (text) or numbers (JSON).
std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (const uint8_t byte : bytes) text += (text.empty() ? "" : " ") + hex(byte);
    return text;
}
}  // namespace

int i2cTransfer(Session& session, const std::vector<I2cMessage>& messages) {
    const bool writes = std::any_of(messages.begin(), messages.end(),
                                    [](const I2cMessage& m) { return !m.read; });
    if (writes && !mayWrite(session, "write the I2C messages"))
        return kExitDeclined;
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<QZ_I2C_MSG> wire;
    for (const I2cMessage& m : messages) {
        buffers.push_back(m.read ? std::vector<uint8_t>(m.length) : m.data);
        wire.push_back({static_cast<uint8_t>(m.address), static_cast<uint8_t>(m.read ? 1 : 0),
                        m.length, buffers.back().data()});
    }
    QZ_RESULT result{};
    Progress progress("transferring", 0, session.options().json);
    const int32_t status = [&] {
        const LibraryProgress drawn(progress);
        return qz_i2cTransfer(session.device(), session.i2c(0), wire.data(),
                              static_cast<uint32_t>(wire.size()), &result);
    }();
    if (status != QZ_OK) {
        const uint32_t at = result.index < messages.size() ? result.index : 0;
        const I2cMessage& m = messages[at];
        const I2cFrame frame{m.address, 0, 1, m.read};
        check(status, result, "i2c transfer message " + std::to_string(at) + " (" + m.text + ")",
              &frame);
    }
    json reads = json::array();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!messages[i].read) continue;
        if (session.options().json)
            reads.push_back({{"message", i}, {"address", messages[i].address}, {"data", buffers[i]}});
        else
            std::cout << hexBytes(buffers[i]) << '\n';
    }
    if (session.options().json) emit({{"reads", reads}});
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
        return kExitDeclined;
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

int spiTransfer(Session& session, const std::vector<uint8_t>& out, uint32_t readCount) {
    std::vector<uint8_t> in(readCount ? readCount : out.size());
    std::vector<QZ_SPI_SEGMENT> segments;
    if (readCount) {
        if (!out.empty()) segments.push_back({out.data(), nullptr, static_cast<uint32_t>(out.size())});
        segments.push_back({nullptr, in.data(), readCount});
    } else {
        segments.push_back({out.data(), in.data(), static_cast<uint32_t>(out.size())});
    }
    QZ_RESULT result{};
    Progress progress("transferring", 0, session.options().json);
    const int32_t status = [&] {
        const LibraryProgress drawn(progress);
        return qz_spiTransferSegments(session.device(), session.spi(), segments.data(),
                                      static_cast<uint32_t>(segments.size()), 0xFF, &result);
    }();
    check(status, result, "spi transfer");
    if (session.options().json)
        emit({{"written", out}, {"read", in}});
    else
        std::cout << hexBytes(in) << '\n';
    return kExitDone;
}

int pinsPlay(Session& session, uint8_t mask, const std::vector<uint8_t>& samples) {
    if (!mayWrite(session, "play " + std::to_string(samples.size()) +
                               " samples on the pins of mask " + hex(mask)))
        return kExitDeclined;
    const int32_t written = writeCustomPattern(session.device(), mask, samples.data(),
                                               static_cast<int32_t>(samples.size()));
    if (written != static_cast<int32_t>(samples.size()))
        throw Failure(kExitDeviceError, "pins: the driver wrote " + std::to_string(written) +
                                            " of " + std::to_string(samples.size()) +
                                            " samples");
    if (session.options().json) emit({{"mask", mask}, {"written", written}});
    return kExitDone;
}

int pinsRead(Session& session) {
    uint8_t levels = 0;
    QZ_RESULT result{};
    check(qz_readPins(session.device(), &levels, &result), result, "pins read");
    std::vector<int> pins;
    for (int pin = 0; pin < 8; ++pin) pins.push_back((levels >> pin) & 1);
    if (session.options().json) {
        emit({{"levels", levels}, {"pins", pins}});
    } else {
        std::cout << "pin   0 1 2 3 4 5 6 7\nlevel";
        for (const int level : pins) std::cout << ' ' << level;
        std::cout << '\n';
    }
    return kExitDone;
}

int pinsToggle(Session& session, uint8_t pin, bool low, bool singleEdge) {
    if (!mayWrite(session, std::string("drive pin ") + std::to_string(pin) +
                               (singleEdge ? " through one edge" : " through one pulse")))
        return kExitDeclined;
    if (toggleSingleBit(session.device(), pin, low ? 1 : 0, singleEdge ? 1 : 0) != 0)
        throw Failure(kExitDeviceError, "pins: the driver failed to play the toggle");
    if (session.options().json) emit({{"pin", pin}, {"toggled", true}});
    return kExitDone;
}

}  // namespace qzcli
