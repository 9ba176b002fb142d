// qzftdi: the library from a shell, in the i2c-tools tradition. Every command
// runs on a real FTDI device, or on a virtual board with --sim BENCH.toml.
//   qzftdi list | info | i2c scan|get|set|dump|read|write|recover | spi read|write|dump
//          | i2c transfer | spi transfer | pins play|read|toggle | selftest
// Exit codes: 0 done, 1 the bus said no (or the user answered no), 2 device or
// driver error, 64 usage, 130 interrupted (Ctrl-C stops a long transfer between
// blocks: whole dump rows only, and a --trace file is written whole or not at all).
#include "commands.hpp"
#include "failure.hpp"
#include "grids.hpp"
#include "session.hpp"
#include "terminal.hpp"

#include <CLI/CLI.hpp>

#include <cctype>
#include <optional>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace qzcli;

// A number as the README has them: decimal, 0x hexadecimal or 0b binary, up
// to 0xffffffff. Empty text (an unset shell variable) and a leading zero
// (octal to C, decimal to a person) are refused rather than guessed at.
std::optional<uint32_t> parseNumber(const std::string& text, std::string& why) {
    if (text.empty()) {
        why = "an empty number (an unset shell variable?)";
        return std::nullopt;
    }
    int base = 10;
    std::string digits = text;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = 2;
        digits = text.substr(2);
    } else if (text.size() > 1 && text[0] == '0') {
        why = text + ": a leading zero is ambiguous (octal or decimal?): write " +
              text.substr(text.find_first_not_of('0') == std::string::npos
                              ? text.size() - 1
                              : text.find_first_not_of('0')) +
              " for decimal, or 0x... for hexadecimal";
        return std::nullopt;
    }
    uint64_t value = 0;
    if (digits.empty()) digits = "?";  // "0x" alone
    for (const char c : digits) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : base;
        if (digit >= base) {
            why = text + ": not a number (decimal, 0x hexadecimal or 0b binary)";
            return std::nullopt;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull) {
            why = text + ": above 0xffffffff";
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

// The CLI11 transform of every numeric argument: the number in decimal, or
// the reason it is refused.
const CLI::Validator kNumber(
    [](std::string& text) {
        std::string why;
        const std::optional<uint32_t> value = parseNumber(text, why);
        if (!value) return why;
        text = std::to_string(*value);
        return std::string();
    },
    "NUMBER");

// i2c transfer's messages in i2ctransfer syntax: "w2@0x50 0x00 0x10 r8@0x50";
// a message without "@ADDR" ("r4") goes to the address of the one before.
std::vector<I2cMessage> parseMessages(const std::vector<std::string>& words) {
    std::vector<I2cMessage> messages;
    std::optional<uint32_t> lastAddress;
    const auto usage = [](const std::string& text) { return Failure(kExitUsage, "i2c transfer: " + text); };
    const auto number = [&](const std::string& text, uint32_t highest) {
        std::string why;
        const std::optional<uint32_t> value = parseNumber(text, why);
        if (!value) throw usage(why);
        if (*value > highest) throw usage(text + ": above " + hexValue(highest, 2));
        return *value;
    };
    for (const std::string& word : words) {
        const bool spec = word.size() >= 2 && (word[0] == 'r' || word[0] == 'w') &&
                          std::isdigit(static_cast<unsigned char>(word[1]));
        if (!spec) {
            if (messages.empty() || messages.back().read ||
                messages.back().data.size() == messages.back().length)
                throw usage(word + ": a byte no write message is waiting for");
            messages.back().data.push_back(static_cast<uint8_t>(number(word, 0xFF)));
            continue;
        }
        if (!messages.empty() && !messages.back().read &&
            messages.back().data.size() != messages.back().length)
            throw usage(messages.back().text + ": too few bytes");
        I2cMessage m;
        m.read = word[0] == 'r';
        m.text = word;
        const auto at = word.find('@');
        m.length = number(word.substr(1, at == std::string::npos ? std::string::npos : at - 1),
                          QZ_I2C_MSG_MAX);
        if (at != std::string::npos) lastAddress = number(word.substr(at + 1), 0x7F);
        if (!lastAddress) throw usage(word + ": no address yet (write " + word + "@ADDR)");
        if (m.read && m.length == 0) throw usage(word + ": a read needs at least one byte");
        m.address = *lastAddress;
        messages.push_back(std::move(m));
    }
    if (!messages.empty() && !messages.back().read &&
        messages.back().data.size() != messages.back().length)
        throw usage(messages.back().text + ": too few bytes");
    return messages;
}

// "FIRST-LAST" of i2c dump --range, each a number as above.
void parseRange(const std::string& text, uint32_t& first, uint32_t& last) {
    const auto dash = text.find('-');
    const std::string usage = "--range " + text + ": expected FIRST-LAST, e.g. 0x00-0x3f";
    if (dash == std::string::npos) throw Failure(kExitUsage, usage);
    std::string why;
    const auto from = parseNumber(text.substr(0, dash), why);
    const auto to = from ? parseNumber(text.substr(dash + 1), why) : std::nullopt;
    if (!from || !to) throw Failure(kExitUsage, usage + " (" + why + ")");
    first = *from;
    last = *to;
}

void addCommonOptions(CLI::App& app, CommonOptions& o) {
    const char* device = "Device";
    app.add_option("-s,--serial", o.serial, "Serial number of the FTDI device (default: the only one)")
        ->group(device);
    app.add_option("-b,--baud", o.baud, "Bit-bang baud rate (clocks SPI: SCK at 8 x baud on an FT232R; I2C "
                   "runs at --i2c-khz)")->transform(kNumber)->capture_default_str()->group(device);
    app.add_option("--latency", o.latencyMs, "USB latency timer in ms (2-255)")
        ->check(CLI::Range(2, 255))
        ->group(device);
    app.add_flag("!--no-low-latency", o.lowLatency,
                 "Keep the driver's 4096-byte USB requests: each small transfer then waits "
                 "for the latency timer")
        ->group(device);
    app.add_option("--sim", o.sim,
                   "Load a virtual board from a TOML bench file first; it starts from the file "
                   "on every run (a set is gone in the next run, unless --sim-state keeps it)")
        ->check(CLI::ExistingFile)
        ->group(device);
    app.add_option("--sim-state", o.simState,
                   "Keep the virtual chips' contents between runs in FILE: loaded after the "
                   "bench file if it exists, saved after a command that succeeded")
        ->check(CLI::Validator(
            [](std::string& path) { return path.empty() ? "--sim-state needs a file name" : ""; },
            "FILE"))
        ->group(device);
    app.add_option("--backend", o.backend,
                   "Real devices from: auto (the vendor's D2XX driver, else libftdi1), vendor, "
                   "libftdi, or simulator (none)")
        ->check(CLI::IsMember({"auto", "vendor", "libftdi", "simulator"}))
        ->group(device);
    app.add_option("--trace", o.trace, "Write the virtual device's wire trace (VCD) at the end")
        ->check(CLI::Validator(
            [](std::string& path) { return path.empty() ? "--trace needs a file name" : ""; },
            "FILE"))
        ->group(device);
    app.add_flag("--json", o.json, "Print results as JSON")->group("Output");
    app.add_flag("-y,--yes", o.yes, "Write without asking for confirmation")->group("Output");

    const char* i2c = "I2C bus";
    const auto pin = CLI::Range(0, 7);
    app.add_option("--scl", o.i2c.scl, "SCL pin")->check(pin)->capture_default_str()->group(i2c);
    app.add_option("--sda", o.i2c.sdaWrite, "Pin that drives SDA")->check(pin)->capture_default_str()->group(i2c);
    app.add_option("--sda-read", o.i2c.sdaRead, "Pin that reads SDA")->check(pin)->capture_default_str()->group(i2c);
    app.add_option("--reg-bytes", o.i2c.regBytes, "Register-address bytes")
        ->check(CLI::Range(0, 4))->capture_default_str()->group(i2c);
    app.add_option("--data-bytes", o.i2c.dataBytes, "Data bytes per register")
        ->check(CLI::Range(1, 4))->capture_default_str()->group(i2c);
    app.add_flag("--little-endian", o.i2c.littleEndian,
                 "Values of several bytes least significant byte first (SMBus words); the "
                 "default is most significant first, as the chip sends them")
        ->group(i2c);
    app.add_option("--i2c-khz", o.i2c.khz,
                   "SCL clock in kHz: the baud rate is set for each I2C transfer from it (0: "
                   "the --baud rate clocks SCL, 4 MHz on an FT232R at 1 MBaud); qzftdi info "
                   "shows the SCL rate the chip gives")
        ->transform(kNumber)->check(CLI::Range(0, 4000))->capture_default_str()->group(i2c);
    app.add_flag("--strict", o.i2c.strict, "Strict I2C timing (for slaves that react late)")->group(i2c);

    const char* spi = "SPI bus";
    app.add_option("--clk", o.spi.clk, "Clock pin")->check(pin)->capture_default_str()->group(spi);
    app.add_option("--cs", o.spi.cs, "Chip-select pin")->check(pin)->capture_default_str()->group(spi);
    app.add_option("--mosi", o.spi.sdi, "Pin to the chip's data input")->check(pin)->capture_default_str()->group(spi);
    app.add_option("--miso", o.spi.sdo, "Pin from the chip's data output")->check(pin)->capture_default_str()->group(spi);
    app.add_option("--addr-bits", o.spi.addrBits, "Address bits")
        ->check(CLI::Range(0, 32))->capture_default_str()->group(spi);
    app.add_option("--data-bits", o.spi.dataBits, "Data bits")
        ->check(CLI::Range(1, 32))->capture_default_str()->group(spi);
    app.add_flag("--negedge", o.spi.negedge, "Clock idles high, data sampled on the falling edge")->group(spi);
    app.add_option("--rw-bit", o.spi.rwBit, "Read/write bit before the address (1) or none (0)")
        ->check(CLI::Range(0, 1))->capture_default_str()->group(spi);
    app.add_option("--oe", o.spi.oePin, "Output-enable pin of a data-line buffer")->check(pin)->group(spi);
    app.add_flag("--oe-active-high", o.spi.oeHigh, "The output enable is active high")->group(spi);
    app.add_option("--mode", o.spi.mode, "SPI mode 0-3 (clock polarity << 1 | phase)")
        ->check(CLI::Range(0, 3))->group(spi);
    app.add_flag("--cs-high", o.spi.csHigh, "The chip select is active high")->group(spi);
    app.add_flag("--lsb-first", o.spi.lsbFirst, "Least significant bit first")->group(spi);
}

// After a parse error: "unknown command NAME (...)" when the deepest command
// given was followed by a word that names none of its subcommands, else "".
std::string unknownCommand(CLI::App& app) {
    CLI::App* at = &app;
    while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
    const auto all = at->get_subcommands([](CLI::App*) { return true; });
    std::vector<std::string> left = at->remaining();
    if (left.empty()) left = app.remaining();  // fallthrough hands them up
    if (all.empty() || left.empty() || left.front().rfind('-', 0) == 0) return "";
    std::string names;
    for (const CLI::App* command : all) names += (names.empty() ? "" : ", ") + command->get_name();
    return "unknown command " + left.front() + " (" +
           (at == &app ? std::string("commands") : at->get_name() + " commands") + ": " + names +
           ")";
}

}  // namespace

int main(int argc, char** argv) {
    // stdout carries data only (text or --json); the library's own messages
    // ("FTDI Error, ...") are diagnostics.
    qz_setMessageTarget(QZ_MESSAGES_STDERR, nullptr, nullptr);
    catchInterrupt();
    CLI::App app{"qzftdi: read and write SPI and I2C registers through the GPIO pins of an "
                 "FTDI chip in synchronous bit-bang mode"};
    app.set_version_flag("--version", "qzftdi " QZFTDI_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    CommonOptions o;
    addCommonOptions(app, o);

    // What the chosen command does: with the device open, or (list) without.
    std::function<int(Session&)> onDevice;
    std::function<int()> alone;
    uint32_t address = 0, reg = 0, value = 0, count = 0, first = 0, last = 0;
    std::vector<uint32_t> values;
    std::string range = "0x00-0xff";
    uint32_t mask = 0, pin = 0;
    bool low = false, edge = false;
    const auto i2cAddress = CLI::Range(0, 0x7F);

    app.add_subcommand("list", "List the attached FTDI devices")->callback([&] {
        alone = [&] { return listDevices(o); };
    });

    app.add_subcommand("info", "The device and the SCL and SCK rates its transfers run at")
        ->callback([&] { onDevice = [&](Session& s) { return deviceInfo(s); }; });

    CLI::App* i2c = app.add_subcommand("i2c", "I2C registers and bus");
    i2c->require_subcommand(1);
    CLI::App* scan =
        i2c->add_subcommand("scan", "Which addresses FIRST-LAST (0x08-0x77) answer (the i2cdetect grid)");
    uint32_t scanFirst = 0x08, scanLast = 0x77;
    bool reserved = false;
    scan->add_option("FIRST", scanFirst, "First address")->transform(kNumber)->check(i2cAddress);
    scan->add_option("LAST", scanLast, "Last address")->transform(kNumber)->check(i2cAddress);
    scan->add_flag("-a", reserved, "Also probe the reserved addresses 0x00-0x07 and 0x78-0x7f");
    scan->callback([&] {
        onDevice = [&](Session& s) { return i2cScan(s, scanFirst, scanLast, reserved); };
    });
    CLI::App* get = i2c->add_subcommand("get", "Read one register");
    get->add_option("ADDR", address, "7-bit chip address")->transform(kNumber)->required()->check(i2cAddress);
    get->add_option("REG", reg, "Register")->transform(kNumber)->required();
    get->callback([&] { onDevice = [&](Session& s) { return i2cGet(s, address, reg); }; });
    CLI::App* set = i2c->add_subcommand("set", "Write one register");
    set->add_option("ADDR", address, "7-bit chip address")->transform(kNumber)->required()->check(i2cAddress);
    set->add_option("REG", reg, "Register")->transform(kNumber)->required();
    set->add_option("VALUE", value, "Value")->transform(kNumber)->required();
    set->callback([&] { onDevice = [&](Session& s) { return i2cSet(s, address, reg, value); }; });
    CLI::App* dump = i2c->add_subcommand("dump", "Read a range of registers (the i2cdump grid)");
    dump->add_option("ADDR", address, "7-bit chip address")->transform(kNumber)->required()->check(i2cAddress);
    dump->add_option("-r,--range", range, "Registers FIRST-LAST")->capture_default_str();
    dump->callback([&] {
        parseRange(range, first, last);
        onDevice = [&](Session& s) { return i2cDump(s, address, first, last); };
    });
    CLI::App* read = i2c->add_subcommand("read", "Read N registers in one stream");
    read->add_option("ADDR", address, "7-bit chip address")->transform(kNumber)->required()->check(i2cAddress);
    read->add_option("REG", reg, "First register")->transform(kNumber)->required();
    read->add_option("N", count, "Number of registers")->transform(kNumber)->required()->check(CLI::Range(1, 1 << 24));
    read->callback([&] { onDevice = [&](Session& s) { return i2cRead(s, address, reg, count); }; });
    CLI::App* write = i2c->add_subcommand("write", "Write registers in one stream");
    write->add_option("ADDR", address, "7-bit chip address")->transform(kNumber)->required()->check(i2cAddress);
    write->add_option("REG", reg, "First register")->transform(kNumber)->required();
    write->add_option("VALUES", values, "Values")->transform(kNumber)->required();
    write->callback([&] { onDevice = [&](Session& s) { return i2cWrite(s, address, reg, values); }; });
    CLI::App* transfer = i2c->add_subcommand(
        "transfer", "Messages in one frame, i2ctransfer style: w2@0x50 0x00 0x10 r8@0x50");
    std::vector<std::string> words;
    transfer->add_option("MESSAGES", words, "wN@ADDR BYTES... | rN@ADDR (@ADDR: as before)")
        ->required();
    transfer->callback([&] {
        const std::vector<I2cMessage> messages = parseMessages(words);
        onDevice = [messages](Session& s) { return i2cTransfer(s, messages); };
    });
    i2c->add_subcommand("recover", "Free a bus whose SDA a chip holds low")->callback([&] {
        onDevice = [&](Session& s) { return i2cRecover(s); };
    });

    CLI::App* spi = app.add_subcommand("spi", "SPI registers");
    spi->require_subcommand(1);
    CLI::App* spiRead = spi->add_subcommand("read", "Read one register");
    spiRead->add_option("REG", reg, "Register")->transform(kNumber)->required();
    spiRead->callback([&] { onDevice = [&](Session& s) { return qzcli::spiRead(s, reg); }; });
    CLI::App* spiWrite = spi->add_subcommand("write", "Write one register");
    spiWrite->add_option("REG", reg, "Register")->transform(kNumber)->required();
    spiWrite->add_option("VALUE", value, "Value")->transform(kNumber)->required();
    spiWrite->callback([&] { onDevice = [&](Session& s) { return qzcli::spiWrite(s, reg, value); }; });
    CLI::App* spiDump = spi->add_subcommand("dump", "Read registers FROM to TO");
    spiDump->add_option("FROM", first, "First register")->transform(kNumber)->required();
    spiDump->add_option("TO", last, "Last register")->transform(kNumber)->required();
    spiDump->callback([&] { onDevice = [&](Session& s) { return qzcli::spiDump(s, first, last); }; });

    CLI::App* spiTransfer =
        spi->add_subcommand("transfer", "Clock bytes out under one chip select; print the bytes in");
    uint32_t readCount = 0;
    spiTransfer->add_option("BYTES", values, "Bytes out")->transform(kNumber)->check(CLI::Range(0, 255));
    spiTransfer->add_option("--read", readCount, "Then read N bytes (print only those)")
        ->transform(kNumber)->check(CLI::Range(1u, QZ_SPI_TRANSFER_MAX));
    spiTransfer->callback([&] {
        if (values.empty() && readCount == 0)
            throw Failure(kExitUsage, "spi transfer: give bytes out, --read N, or both");
        if (values.size() + readCount > QZ_SPI_TRANSFER_MAX)
            throw Failure(kExitUsage, "spi transfer: more than " +
                                          std::to_string(QZ_SPI_TRANSFER_MAX) + " bytes");
        onDevice = [&](Session& s) {
            return qzcli::spiTransfer(s, std::vector<uint8_t>(values.begin(), values.end()), readCount);
        };
    });

    CLI::App* pins = app.add_subcommand("pins", "Play samples on the pins, or toggle one pin");
    pins->require_subcommand(1);
    CLI::App* play = pins->add_subcommand("play", "Set the direction mask and play samples");
    play->add_option("MASK", mask, "Direction mask (1: output)")->transform(kNumber)->required()->check(CLI::Range(0, 255));
    play->add_option("SAMPLES", values, "Samples, one byte each (bit n: pin n)")->transform(kNumber)
        ->required()
        ->check(CLI::Range(0, 255));
    play->callback([&] {
        onDevice = [&](Session& s) {
            return pinsPlay(s, static_cast<uint8_t>(mask),
                            std::vector<uint8_t>(values.begin(), values.end()));
        };
    });
    pins->add_subcommand("read", "The levels of the eight pins (none driven)")->callback([&] {
        onDevice = [&](Session& s) { return pinsRead(s); };
    });
    CLI::App* toggle = pins->add_subcommand("toggle", "A pulse (or one edge) on one pin");
    toggle->add_option("PIN", pin, "Pin")->transform(kNumber)->required()->check(CLI::Range(0, 7));
    toggle->add_flag("--low", low, "Low-going instead of high-going");
    toggle->add_flag("--edge", edge, "One edge instead of a pulse");
    toggle->callback([&] {
        onDevice = [&](Session& s) {
            return pinsToggle(s, static_cast<uint8_t>(pin), low, edge);
        };
    });

    CLI::App* self = app.add_subcommand(
        "selftest", "Check a jumper from --out to --in (loopback, read-back lag), then time "
                    "registers, a long pattern and short transactions beside the model's projection");
    SelftestOptions selfOptions;
    self->add_option("--out", selfOptions.out, "Output pin of the jumper")->check(CLI::Range(0, 7))->capture_default_str();
    self->add_option("--in", selfOptions.in, "Input pin of the jumper")->check(CLI::Range(0, 7))->capture_default_str();
    self->add_option("--samples", selfOptions.samples, "Samples of the long pattern")
        ->transform(kNumber)->check(CLI::Range(1024u, 1u << 24))->capture_default_str();
    self->add_option("--repeat", selfOptions.repeat, "Runs of each timed transaction")
        ->transform(kNumber)->check(CLI::Range(1, 1000))->capture_default_str();
    self->callback([&] { onDevice = [&](Session& s) { return selftest(s, selfOptions); }; });

    try {
        app.parse(argc, argv);
        if (alone) return alone();
        Session session(o);
        int code = kExitDone;
        try {
            code = onDevice(session);
        } catch (const Failure&) {
            try {
                session.finish();  // the trace of a failed transfer is the useful one
            } catch (const Failure&) {
            }
            throw;
        }
        session.finish();
        if (code == kExitDone) session.saveSimState();
        return code;
    } catch (const CLI::ParseError& error) {
        if (const std::string unknown = unknownCommand(app); !unknown.empty()) {
            std::cerr << "qzftdi: " << unknown << '\n';
            return kExitUsage;
        }
        const int code = app.exit(error);
        return code == 0 ? kExitDone : kExitUsage;
    } catch (const Failure& failure) {
        std::cerr << "qzftdi: " << failure.what() << '\n';
        return failure.code();
    } catch (const std::exception& error) {
        std::cerr << "qzftdi: " << error.what() << '\n';
        return kExitDeviceError;
    }
}
