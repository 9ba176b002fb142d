// A qzftdi session: the bench file (--sim), the device (--serial, or the only
// one attached), the protocol descriptors built from the pin options, the
// wire trace (--trace), and the translation of results into exit codes.
#pragma once

#include "failure.hpp"

#include <QZ_FTDI.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qzcli {

struct I2cOptions {
    int scl = 4, sdaWrite = 5, sdaRead = 6;
    int regBytes = 1, dataBytes = 1;
    bool strict = false;
    bool littleEndian = false;  // values least significant byte first (SMBus words)
    uint32_t khz = 100;  // SCL; 0: as the device's baud rate clocks it
};

struct SpiOptions {
    int clk = 0, cs = 1, sdi = 2, sdo = 3;
    int addrBits = 7, dataBits = 8;
    bool negedge = false;
    int rwBit = 1;
    int oePin = -1;  // -1: no output-enable pin
    bool oeHigh = false;
    int mode = -1;  // 0-3 (clock polarity << 1 | phase); -1: as --negedge says
    bool csHigh = false;
    bool lsbFirst = false;
};

struct CommonOptions {
    std::string serial;
    uint32_t baud = 1000000;
    std::string sim;
    std::string simState;  // the virtual chips' contents kept between runs
    std::string trace;
    std::string backend;  // empty: QZ_FTDI_BACKEND or the default order
    int latencyMs = 0;  // 0: leave the device's latency timer as it is
    bool lowLatency = true;  // one-packet USB requests, where the driver can (--no-low-latency)
    bool json = false;
    bool yes = false;
    I2cOptions i2c;
    SpiOptions spi;
};

// Chooses the --backend, if any, and loads the --sim bench file, if any,
// then the --sim-state file, if it exists; a mistake in either is a usage
// failure naming file, line and key.
void loadBench(const CommonOptions& options);

// A device in the driver's details list (every attached one, listable or not).
struct AttachedDevice {
    uint32_t flags = 0, type = 0, location = 0;
    std::string serial, description, backend;
};
// The driver's details of every attached device, in its order.
std::vector<AttachedDevice> attachedDevices();
// The serial numbers of the listable devices, in the driver's order: a
// device the driver will not list by index (one another program has open,
// or a bench device set up as not listable) is attached but not among them.
std::vector<std::string> listableSerials();

// Why no real device can be listed: the real backend in force is not
// installed ("" when it is, or when only simulated devices were chosen).
std::string missingDriver();

// A serial may name its backend ("simulator:SN"): it is listed as SN.
std::string listedSerial(const std::string& wanted);

// The first attached device of serial number `serial` (as listed, without a
// backend prefix); nullopt when none is.
std::optional<AttachedDevice> findAttached(const std::string& serial);

// The name of a D2XX status ("FT_IO_ERROR"), or "status N".
std::string d2xxStatusName(uint32_t status);
// The name of an FTDI chip type ("FT232R"), or "type N".
std::string deviceTypeName(uint32_t type);

// What the bits of a missing-acknowledge set stand for in one I2C frame.
struct I2cFrame {
    uint32_t address;
    int regBytes;
    int dataBytes;
    bool read;
    std::string ackNames(uint32_t missingAcks) const;  // as qz_ackText names them
};

// `what` refused, with the library's reason when it gives one.
Failure refused(const std::string& what);

// Throws the failure a status API result stands for (nothing for QZ_OK).
// `what` says what was being done; `frame` names acknowledges (may be null);
// `registers` names the register of a batch or stream entry (may be empty).
void check(int32_t status, const QZ_RESULT& result, const std::string& what,
           const I2cFrame* frame = nullptr, const std::vector<uint32_t>& registers = {});

class Session {
public:
    // Loads the bench file, chooses the device and opens it.
    explicit Session(const CommonOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void* device() const { return device_; }
    const std::string& serial() const { return serial_; }
    const CommonOptions& options() const { return options_; }

    // Descriptors of the option's pins and widths (owned by the session).
    PROT_HANDLE i2c(uint32_t address);
    PROT_HANDLE spi();

    // Writes the wire trace (--trace) and closes the device; the session's
    // last step on every path that got the device open.
    void finish();
    // Saves the virtual chips' contents to the --sim-state file, if one is
    // named: after a command that succeeded.
    void saveSimState() const;

private:
    CommonOptions options_;
    std::string serial_;
    std::string simSerial_;  // the bench's serial of a simulated device; "" for a real one
    void* device_ = nullptr;
    std::vector<PROT_HANDLE> i2cHandles_;
    PROT_HANDLE spiHandle_ = nullptr;
};

}  // namespace qzcli
