#include "session.hpp"

#include <qzsim/qzsim.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <cstdio>
#include <utility>

namespace qzcli {

std::string listedSerial(const std::string& wanted) {
    for (const char* backend : {"vendor:", "libftdi:", "simulator:"})
        if (wanted.rfind(backend, 0) == 0) return wanted.substr(std::strlen(backend));
    return wanted;
}

namespace {

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

// Whether `chosen` opens a simulated device: its backend is named, or the
// first device listed under that serial (the one setupFTDIdev opens) is one.
bool opensSimulated(const std::string& chosen) {
    if (chosen.rfind("simulator:", 0) == 0) return true;
    if (listedSerial(chosen) != chosen) return false;
    try {
        const std::optional<AttachedDevice> device = findAttached(chosen);
        return device && device->backend == "simulator";
    } catch (const Failure&) {  // a listing that fails now: no trace, but the device is open
    }
    return false;
}

// A string of a fixed buffer, read no further than the buffer's end.
template <std::size_t N>
std::string bounded(const char (&buffer)[N]) {
    return std::string(buffer, std::find(buffer, buffer + N, '\0'));
}

std::string chooseSerial(const std::string& wanted) {
    const std::vector<std::string> serials = listableSerials();
    const std::string missing = missingDriver();
    if (serials.empty() && !missing.empty()) throw Failure(kExitDeviceError, missing);
    if (!wanted.empty()) {
        const std::string listed = listedSerial(wanted);
        if (std::find(serials.begin(), serials.end(), listed) != serials.end()) return wanted;
        // Attached but not listed: opening it is worth a try (and says why not).
        if (!findAttached(listed))
            throw Failure(kExitDeviceError, "no FTDI device with serial number " + wanted +
                                                " (qzftdi list shows the attached ones)");
        return wanted;
    }
    if (serials.empty())
        throw Failure(kExitDeviceError,
                      "no FTDI device found (connect one, or use --sim BENCH.toml)");
    if (serials.size() > 1) {
        std::string names;
        for (const auto& serial : serials) names += (names.empty() ? "" : ", ") + serial;
        throw Failure(kExitUsage, std::to_string(serials.size()) + " devices found (" + names +
                                      "): choose one with --serial");
    }
    return serials.front();
}

// Refuses (usage) a --trace that can never be written, before any transfer:
// a directory, or a file in a folder that does not exist.
void checkTracePath(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::is_directory(path, error))
        throw Failure(kExitUsage, "--trace " + path + ": is a directory");
    const fs::path folder = fs::path(path).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, error))
        throw Failure(kExitUsage, "--trace " + path + ": no folder " + folder.string());
}

// Writes the device's wire trace to `path`: a file through a temporary one
// renamed into place, so that a trace that did not finish never looks
// complete; anything else (a pipe, a device) directly. Empty when written,
// else what went wrong.
std::string writeTrace(const std::string& serial, const std::string& path) {
    if (qzsim_call_count(serial.c_str(), "Write") < 0)
        return "only a simulated device has one";
    std::error_code error;
    const auto kind = std::filesystem::status(path, error).type();
    const bool direct = kind != std::filesystem::file_type::regular &&
                        kind != std::filesystem::file_type::not_found;
    const std::string part = direct ? path : path + ".part";
    errno = 0;
    if (qzsim_write_vcd(serial.c_str(), part.c_str()) != 0) {
        const std::string why = errno ? std::strerror(errno) : "the file could not be written";
        if (!direct) std::remove(part.c_str());
        return why;
    }
    if (direct) return {};
    std::filesystem::rename(part, path, error);
    if (error) {
        std::remove(part.c_str());
        return error.message();
    }
    return {};
}

}  // namespace

std::vector<AttachedDevice> attachedDevices() {
    const int32_t total = printConnectedDevices(0, 1);
    if (total < 0) throw Failure(kExitDeviceError, "the driver cannot list the devices");
    std::vector<AttachedDevice> devices;
    for (int32_t index = 0; index < total; ++index) {
        AttachedDevice d;
        uint32_t id = 0;
        char description[QZ_DESCRIPTION_BUFFER_SIZE] = "";
        char serial[QZ_SERIAL_BUFFER_SIZE] = "";
        if (getDeviceInfo(static_cast<uint32_t>(index), &d.flags, &d.type, &id, &d.location,
                          description, serial, index == 0 ? 1 : 0) < 0)
            throw Failure(kExitDeviceError, "the driver cannot describe device " +
                                                std::to_string(index));
        const char* backend = qz_getDeviceBackend(static_cast<uint32_t>(index));
        d.serial = bounded(serial);
        d.description = bounded(description);
        d.backend = backend ? backend : "";
        devices.push_back(std::move(d));
    }
    return devices;
}

std::vector<std::string> listableSerials() {
    const int32_t count = printConnectedDevices(0, 0);
    if (count < 0) throw Failure(kExitDeviceError, "the driver cannot list the devices");
    std::vector<std::vector<char>> buffers(count, std::vector<char>(QZ_SERIAL_BUFFER_SIZE, '\0'));
    std::vector<char*> entries;
    for (auto& buffer : buffers) entries.push_back(buffer.data());
    if (count > 0 && getConnectedDevices(entries.data(), static_cast<uint32_t>(count)) != 0)
        throw Failure(kExitDeviceError, "the driver cannot list the devices");
    std::vector<std::string> serials;
    for (const auto& buffer : buffers) serials.emplace_back(buffer.data());
    return serials;
}

std::optional<AttachedDevice> findAttached(const std::string& wanted) {
    for (AttachedDevice& device : attachedDevices())
        if (device.serial == wanted) return std::move(device);
    return std::nullopt;
}

std::string missingDriver() {
    QZ_DRIVER_INFO drivers[3];
    const int32_t count = qz_getDrivers(drivers, 3);
    const std::string choice = qz_getBackend();
    if (choice == "simulator") return "";
    bool vendor = false, libftdi = false;
    for (int32_t k = 0; k < count && k < 3; ++k) {
        const std::string name = drivers[k].name;
        if (drivers[k].installed && name == "vendor") vendor = true;
        if (drivers[k].installed && name == "libftdi") libftdi = true;
    }
    const char* const docs = "see docs/real-hardware.md";
    if (choice == "vendor" && !vendor)
        return std::string("the FTDI D2XX driver is not installed (") + docs + ")";
    if (choice == "libftdi" && !libftdi)
        return std::string("libftdi1 is not installed (on Debian: apt install libftdi1-2; ") +
               docs + ")";
    if (choice == "auto" && !vendor && !libftdi)
        return std::string("no FTDI driver is installed: neither the vendor's D2XX driver nor "
                           "libftdi1 (on Debian: apt install libftdi1-2; ") +
               docs + ")";
    return "";
}

void loadBench(const CommonOptions& options) {
    if (!options.backend.empty() && qz_setBackend(options.backend.c_str()) != 0)
        throw Failure(kExitUsage, "--backend " + options.backend +
                                      ": expected auto, vendor, libftdi or simulator");
    char error[512] = "";
    if (!options.sim.empty() && qzsim_load_bench(options.sim.c_str(), error, sizeof error) != 0)
        throw Failure(kExitUsage, error);
    std::error_code missing;
    if (options.simState.empty() || !std::filesystem::exists(options.simState, missing)) return;
    if (qzsim_load_state(options.simState.c_str(), error, sizeof error) != 0)
        throw Failure(kExitUsage, std::string("--sim-state ") + error);
}

std::string d2xxStatusName(uint32_t status) {
    static const char* const names[] = {
        "FT_OK", "FT_INVALID_HANDLE", "FT_DEVICE_NOT_FOUND", "FT_DEVICE_NOT_OPENED",
        "FT_IO_ERROR", "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER",
        "FT_INVALID_BAUD_RATE", "FT_DEVICE_NOT_OPENED_FOR_ERASE",
        "FT_DEVICE_NOT_OPENED_FOR_WRITE", "FT_FAILED_TO_WRITE_DEVICE", "FT_EEPROM_READ_FAILED",
        "FT_EEPROM_WRITE_FAILED", "FT_EEPROM_ERASE_FAILED", "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED", "FT_INVALID_ARGS", "FT_NOT_SUPPORTED", "FT_OTHER_ERROR",
        "FT_DEVICE_LIST_NOT_READY"};
    if (status < sizeof names / sizeof names[0]) return names[status];
    return "status " + std::to_string(status);
}

std::string deviceTypeName(uint32_t type) {
    static const char* const names[] = {"FT232BM", "FT232AM", "FT100AX", "unknown",
                                        "FT2232C", "FT232R",  "FT2232H", "FT4232H",
                                        "FT232H",  "FT-X"};
    if (type < sizeof names / sizeof names[0]) return names[type];
    return "type " + std::to_string(type);
}

std::string I2cFrame::ackNames(uint32_t missingAcks) const {
    char text[512] = "";
    qz_ackText(missingAcks, static_cast<uint32_t>(regBytes), read ? 1 : 0, text, sizeof text);
    return text;
}

Failure refused(const std::string& what) {
    const std::string why = qz_refusalText();
    return Failure(kExitUsage, why.empty() ? what : what + ": " + why);
}

void check(int32_t status, const QZ_RESULT& result, const std::string& what,
           const I2cFrame* frame, const std::vector<uint32_t>& registers) {
    if (status == QZ_OK) return;
    std::string message = what;
    if (!registers.empty() && result.index < registers.size())
        message += " at register " + hex(registers[result.index]);
    message += ": ";
    message += qz_statusText(status);
    switch (status) {
    case QZ_NACK: {
        // Without the address's acknowledge the rest went unanswered too.
        if (frame && (result.missingAcks & 1u))
            throw Failure(kExitBusSaidNo, message + ": no chip answers at " + hex(frame->address) +
                                              " (no acknowledge of its address)");
        const std::string missing =
            frame ? frame->ackNames(result.missingAcks) : "acknowledges " + hex(result.missingAcks);
        throw Failure(kExitBusSaidNo, message + ": no acknowledge of the " + missing);
    }
    case QZ_BUS_HELD:
        throw Failure(kExitBusSaidNo, message + ": SDA reads low while released (a chip holds it, or another master drives it)");
    case QZ_CLOCK_STRETCHED:
        throw Failure(kExitBusSaidNo, message + ": SCL reads low while driven high");
    case QZ_FRAME_NOT_FOUND:
        throw Failure(kExitBusSaidNo, message + " (check the clock and chip-select wiring)");
    case QZ_DRIVER_ERROR:
    case QZ_UNPLUGGED: {
        char particulars[128] = "";
        qz_detailText(&result, particulars, sizeof particulars);
        throw Failure(kExitDeviceError, message + ": " + (particulars[0] ? std::string(particulars)
                                                          : d2xxStatusName(result.driverStatus)));
    }
    case QZ_BAD_ARGUMENT:
        throw Failure(kExitUsage, message + " (does it fit the address and data widths?)");
    default:
        throw Failure(kExitDeviceError, message);
    }
}

Session::Session(const CommonOptions& options) : options_(options) {
    if (!options_.trace.empty()) checkTracePath(options_.trace);
    loadBench(options_);
    serial_ = chooseSerial(options_.serial);
    const int32_t status = setupFTDIdev(&device_, serial_.c_str(), options_.baud);
    if (status != 0) {
        device_ = nullptr;
        bool unlisted = false;
        try {
            const std::vector<std::string> listable = listableSerials();
            unlisted = std::find(listable.begin(), listable.end(), listedSerial(serial_)) ==
                       listable.end();
        } catch (const Failure&) {  // the open's own failure is the one to report
        }
        throw Failure(kExitDeviceError,
                      "cannot open " + serial_ + " at " + std::to_string(options_.baud) +
                          " Bd: " + d2xxStatusName(static_cast<uint32_t>(status)) +
                          (unlisted ? " (the driver does not list it: is another program "
                                      "using it?)"
                                    : ""));
    }
    // The trace shows this session's transfers only (a real device has none).
    if (opensSimulated(serial_)) simSerial_ = listedSerial(serial_);
    if (!options_.trace.empty()) qzsim_clear_trace(simSerial_.c_str());
    // Low latency where the driver can set its USB transfer size; a driver
    // that cannot keeps working in the default mode. An explicit --latency
    // comes after it and wins over its 2 ms timer.
    if (options_.lowLatency) setLowLatency(device_, 1);
    if (options_.latencyMs != 0) {
        QZ_RESULT result{};
        check(qz_setLatencyTimer(device_, static_cast<uint8_t>(options_.latencyMs), &result),
              result, "setting the latency timer");
    }
}

Session::~Session() {
    for (PROT_HANDLE handle : i2cHandles_) deleteI2CDev(handle);
    if (spiHandle_) deleteSPIDev(spiHandle_);
    if (device_) closeFTDI(device_);
}

PROT_HANDLE Session::i2c(uint32_t address) {
    const I2cOptions& o = options_.i2c;
    PROT_HANDLE handle = nullptr;
    if (address > 0x7F ||
        initI2CDev(&handle, static_cast<uint8_t>(o.scl), static_cast<uint8_t>(o.sdaWrite),
                   static_cast<uint8_t>(o.sdaRead), static_cast<uint8_t>(address),
                   static_cast<uint8_t>(o.regBytes), static_cast<uint8_t>(o.dataBytes)) != 0 ||
        !handle)
        throw refused("the I2C pins, address or widths do not make a bus "
                      "(three pins 0-7, a 7-bit address, 0-4 register bytes, 1-4 data bytes)");
    i2cHandles_.push_back(handle);
    if (o.strict && setI2CStrictTiming(handle, 1) != 0)
        throw Failure(kExitUsage, "strict I2C timing refused");
    if (qz_setBusClock(handle, o.khz * 1000) != QZ_OK) throw refused("the I2C clock is refused");
    return handle;
}

PROT_HANDLE Session::spi() {
    if (spiHandle_) return spiHandle_;
    const SpiOptions& o = options_.spi;
    if (initSPIDev(&spiHandle_, static_cast<uint8_t>(o.clk), static_cast<uint8_t>(o.cs),
                   static_cast<uint8_t>(o.sdi), static_cast<uint8_t>(o.sdo),
                   static_cast<uint8_t>(o.addrBits), static_cast<uint8_t>(o.dataBits),
                   o.negedge ? 0 : 1, o.rwBit) != 0 ||
        !spiHandle_) {
        spiHandle_ = nullptr;
        throw refused("the SPI pins or widths do not make a bus (four pins 0-7, "
                      "0-32 address bits, 1-32 data bits)");
    }
    if (o.oePin >= 0 &&
        setupOE(&spiHandle_, static_cast<uint8_t>(o.oePin), o.oeHigh ? 1 : 0) != 0)
        throw refused("the output-enable pin is refused");
    const uint32_t flags = (o.csHigh ? QZ_SPI_CS_ACTIVE_HIGH : 0u) | (o.lsbFirst ? QZ_SPI_LSB_FIRST : 0u);
    if ((o.mode >= 0 || flags) && qz_setSPIMode(spiHandle_, o.mode >= 0 ? o.mode : o.negedge ? 2 : 0,
                                                flags) != QZ_OK)
        throw refused("the SPI mode is refused");
    return spiHandle_;
}

void Session::finish() {
    if (!device_) return;
    std::string problem;
    if (!options_.trace.empty())
        problem = simSerial_.empty() ? "only a simulated device has one"
                                     : writeTrace(simSerial_, options_.trace);
    closeFTDI(device_);
    device_ = nullptr;
    if (!problem.empty())
        throw Failure(kExitDeviceError, "cannot write the trace " + options_.trace + ": " + problem);
}

void Session::saveSimState() const {
    if (options_.simState.empty()) return;
    char error[512] = "";
    if (qzsim_save_state(options_.simState.c_str(), error, sizeof error) != 0)
        throw Failure(kExitDeviceError, std::string("cannot save the --sim-state ") + error);
}

}  // namespace qzcli
