// qzftdi selftest: a chip's own figures, for a user with one jumper from an
// output pin (--out) to an input pin (--in). It checks that the input follows
// the output (the loopback) and at which read-back lag, then times single
// registers in the default and the low-latency mode, a long pattern (the
// sample rate USB sustains, against the baud rate) and a short transaction at
// two latency timers. Beside each figure stands what the timed chip model
// projects for a chip of the same profile: the very same steps on a simulated
// chip of that profile, timed on its simulated clock. It is the model the
// benchmarks run, so the projection has one home: the model.
#include "commands.hpp"

#include <qzsim/qzsim.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace qzcli {
namespace {

using nlohmann::json;

// The simulated chip that the projections run on (never listed).
constexpr const char* kModelSerial = "QZFTDI-MODEL";
// Samples of the loopback check: enough that no wrong lag reads alike.
constexpr uint32_t kCheckSamples = 64;
// Samples of a short transaction: its read-back fills no USB transfer.
constexpr uint32_t kShortSamples = 100;
// Lags looked for, and the ones the library's frame search handles.
constexpr uint32_t kSearchedLag = 8;
constexpr uint32_t kHandledLag = 2;
// The latency timers of the short transactions, in ms.
constexpr uint8_t kLatencies[] = {16, 2};

// A device under test and the clock its figures are timed on.
struct Probe {
    void* dev = nullptr;
    std::function<uint64_t()> nowNs;
};

// What one device measured. Times in ms (medians), rates in MS/s; an empty
// figure is not available on that device.
struct Figures {
    // Each in the default mode, then the low-latency mode.
    std::optional<double> write[2], read[2];
    std::optional<double> rate[2];  // of the long pattern
    // In the default mode (the latency timer ends their read-back there).
    double shortAt[std::size(kLatencies)] = {};
    std::optional<std::size_t> lostAt;  // the first long-pattern sample the input did not follow
};

struct Plan {
    uint8_t out = 0, in = 1;
    uint32_t samples = 0, repeat = 0;
    uint32_t baud = 0;
    uint8_t clk = 0, cs = 0;    // the register frames' clock and chip select, off the jumper
    PROT_HANDLE spi = nullptr;  // their descriptor: data out on `out`, data in on `in`
    uint8_t mask() const { return static_cast<uint8_t>(1u << out); }
};

uint64_t wallNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// `count` samples that drive the out pin with pseudo-random levels (the same
// ones on every run and device).
std::vector<uint8_t> pattern(const Plan& plan, std::size_t count, uint32_t seed) {
    std::minstd_rand random(seed);
    std::vector<uint8_t> samples(count);
    for (uint8_t& sample : samples) sample = (random() & 1u) ? plan.mask() : uint8_t{0};
    return samples;
}

// Plays `samples` with the out pin driven and returns the read-back.
std::vector<uint8_t> play(const Probe& probe, const Plan& plan, const std::vector<uint8_t>& samples) {
    std::vector<uint8_t> readback(samples.size());
    QZ_RESULT result{};
    check(qz_playPattern(probe.dev, plan.mask(), samples.data(),
                         static_cast<uint32_t>(samples.size()), readback.data(), &result),
          result, "selftest: playing a pattern on pin " + std::to_string(plan.out));
    return readback;
}

// The first read-back sample from `lag` on where the in pin does not show
// what the out pin was given `lag` samples before; nullopt when it always does.
std::optional<std::size_t> firstMismatch(const Plan& plan, const std::vector<uint8_t>& samples,
                                         const std::vector<uint8_t>& readback, uint32_t lag) {
    for (std::size_t k = 0; k + lag < readback.size(); ++k)
        if (((readback[k + lag] >> plan.in) & 1u) != ((samples[k] >> plan.out) & 1u)) return k;
    return std::nullopt;
}

// The read-back lag at which the in pin follows the out pin; nullopt: no lag
// up to kSearchedLag (no loopback).
std::optional<uint32_t> loopbackLag(const Probe& probe, const Plan& plan) {
    const std::vector<uint8_t> samples = pattern(plan, kCheckSamples, 1);
    const std::vector<uint8_t> readback = play(probe, plan, samples);
    for (uint32_t lag = 0; lag <= kSearchedLag; ++lag)
        if (!firstMismatch(plan, samples, readback, lag)) return lag;
    return std::nullopt;
}

// The median time in ms of plan.repeat runs of `op`.
double medianMs(const Probe& probe, const Plan& plan, const std::function<void()>& op) {
    std::vector<uint64_t> took;
    for (uint32_t run = 0; run < plan.repeat; ++run) {
        const uint64_t start = probe.nowNs();
        op();
        took.push_back(probe.nowNs() - start);
    }
    std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
    return static_cast<double>(took[took.size() / 2]) / 1e6;
}

// Puts the device in the low-latency mode (`on`) or the default mode; false
// when it asks for a low-latency mode that the driver lacks (without
// FT_SetUSBParameters the default mode is the only one).
bool useMode(const Probe& probe, bool on) {
    return setLowLatency(probe.dev, on ? 1 : 0) == 0 || !on;
}

void setLatency(const Probe& probe, uint8_t ms) {
    QZ_RESULT result{};
    check(qz_setLatencyTimer(probe.dev, ms, &result), result, "selftest: setting the latency timer");
}

// Every figure of the plan on one device, which is left in the mode and with
// the latency timer it had. `lag`: the read-back lag of the loopback.
Figures measure(const Probe& probe, const Plan& plan, uint32_t lag) {
    Figures f;
    const bool wasLow = getLowLatency(probe.dev) == 1;
    for (const int mode : {0, 1}) {
        if (!useMode(probe, mode == 1)) continue;
        f.write[mode] = medianMs(probe, plan, [&] {
            QZ_RESULT result{};
            check(qz_writeSPI(probe.dev, plan.spi, 0x12, 0xBEEF, &result), result,
                  "selftest: a single register write");
        });
        f.read[mode] = medianMs(probe, plan, [&] {
            uint32_t value = 0;
            QZ_RESULT result{};
            check(qz_readSPI(probe.dev, plan.spi, 0x12, &value, &result), result,
                  "selftest: a single register read");
        });
        const std::vector<uint8_t> longPattern = pattern(plan, plan.samples, 2);
        const uint64_t start = probe.nowNs();
        const std::vector<uint8_t> readback = play(probe, plan, longPattern);
        const uint64_t took = std::max<uint64_t>(probe.nowNs() - start, 1);
        f.rate[mode] = static_cast<double>(plan.samples) * 1e3 / static_cast<double>(took);
        if (!f.lostAt) f.lostAt = firstMismatch(plan, longPattern, readback, lag);
    }
    useMode(probe, false);

    const int32_t original = getLatencyTimer(probe.dev);
    const std::vector<uint8_t> shortPattern = pattern(plan, kShortSamples, 3);
    for (std::size_t i = 0; i < std::size(kLatencies); ++i) {
        setLatency(probe, kLatencies[i]);
        f.shortAt[i] = medianMs(probe, plan, [&] { play(probe, plan, shortPattern); });
    }
    if (original > 0) setLatency(probe, static_cast<uint8_t>(original));
    useMode(probe, wasLow);
    return f;
}

// The model's chip profile for a listed device: its type, and for the H
// series the bus speed it enumerated at; nullopt for a chip the model lacks.
std::optional<std::string> modelProfile(const AttachedDevice& device) {
    constexpr uint32_t kHighSpeed = 2;  // FT_FLAGS_HISPEED
    static const std::pair<uint32_t, const char*> kProfiles[] = {
        {5, "FT232R"}, {8, "FT232H"}, {6, "FT2232H"}, {7, "FT4232H"}};
    for (const auto& [type, name] : kProfiles)
        if (type == device.type)
            return std::string(name) + ((type == 5 || (device.flags & kHighSpeed) != 0) ? "" : "-FS");
    return std::nullopt;
}

// The simulated chip of a profile, timed, with the same jumper, open; closed
// and taken off the bench at the end of its scope. Not open when the bench
// already has a device of its serial (which it leaves alone) or refuses it.
class ModelChip {
public:
    ModelChip(const std::string& profile, const Plan& plan, uint32_t lag, int latencyMs) {
        if (qzsim_clock_ns(kModelSerial) >= 0) return;  // a bench device of that name
        if (qzsim_add_device(kModelSerial, "qzftdi selftest model", 0) != 0) return;
        added_ = true;
        if (qzsim_set_profile(kModelSerial, profile.c_str()) != 0 ||
            qzsim_set_timed(kModelSerial, 1) != 0 ||
            qzsim_set_readback_lag(kModelSerial, std::min(lag, kHandledLag)) != 0 ||
            qzsim_attach_wire(kModelSerial, plan.out, plan.in) != 0 ||
            setupFTDIdev(&dev_, (std::string("simulator:") + kModelSerial).c_str(), plan.baud) != 0) {
            dev_ = nullptr;
            return;
        }
        if (latencyMs > 0) setLatencyTimer(dev_, static_cast<uint8_t>(latencyMs));
    }
    ~ModelChip() {
        if (dev_) closeFTDI(dev_);
        if (added_) qzsim_remove_device(kModelSerial);
    }
    ModelChip(const ModelChip&) = delete;
    ModelChip& operator=(const ModelChip&) = delete;

    bool open() const { return dev_ != nullptr; }
    Probe probe() const {
        return {dev_, [] { return static_cast<uint64_t>(qzsim_clock_ns(kModelSerial)); }};
    }

private:
    bool added_ = false;
    void* dev_ = nullptr;
};

struct CheckResult {
    const char* name;
    bool pass;
    std::string detail;
};

// One line of the figures: its name, unit and value on a device.
struct Row {
    std::string name;
    const char* unit;
    std::function<std::optional<double>(const Figures&)> value;
};

std::vector<Row> rows(const Plan& plan) {
    std::vector<Row> list;
    const char* const modes[] = {"default mode", "low-latency mode"};
    for (const int mode : {0, 1}) {
        list.push_back({std::string("single register write, ") + modes[mode], "ms",
                        [mode](const Figures& f) { return f.write[mode]; }});
        list.push_back({std::string("single register read, ") + modes[mode], "ms",
                        [mode](const Figures& f) { return f.read[mode]; }});
    }
    const double baud = plan.baud;
    for (const int mode : {0, 1}) {
        list.push_back({std::string("long pattern's sample rate, ") + modes[mode], "MS/s", [mode](const Figures& f) { return f.rate[mode]; }});
        list.push_back({std::string("  samples per baud, ") + modes[mode], "x",
                        [mode, baud](const Figures& f) {
                            return f.rate[mode] ? std::optional<double>(*f.rate[mode] * 1e6 / baud)
                                                : std::nullopt;
                        }});
    }
    for (std::size_t i = 0; i < std::size(kLatencies); ++i)
        list.push_back({"short transaction, default mode, timer " + std::to_string(kLatencies[i]) + " ms",
                        "ms", [i](const Figures& f) { return std::optional<double>(f.shortAt[i]); }});
    return list;
}

std::string number(std::optional<double> value) {
    if (!value) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", *value);
    return text;
}

json jsonNumber(std::optional<double> value) { return value ? json(*value) : json(nullptr); }

// The device under test as the report's head names it.
struct Subject {
    AttachedDevice device;
    std::optional<std::string> profile;  // the model's; none for a chip the model lacks
    int32_t latencyMs = -1;               // the latency timer at the start
    int32_t lowAtStart = -1;              // the low-latency mode at the start (1 on, 0 off)
};

// The report: text a user can paste, or JSON.
void report(const Session& session, const Plan& plan, const Subject& subject,
            const std::vector<CheckResult>& checks, const std::optional<Figures>& measured,
            const std::optional<Figures>& model) {
    const AttachedDevice& device = subject.device;
    const std::optional<std::string>& profile = subject.profile;
    const std::vector<Row> list = rows(plan);
    const bool lowLatencyAvailable = measured && measured->write[1];
    if (session.options().json) {
        json checkList = json::array(), figureList = json::array();
        for (const CheckResult& c : checks)
            checkList.push_back({{"name", c.name}, {"pass", c.pass}, {"detail", c.detail}});
        if (measured)
            for (const Row& row : list)
                figureList.push_back({{"name", row.name},
                                      {"unit", row.unit},
                                      {"measured", jsonNumber(row.value(*measured))},
                                      {"model", model ? jsonNumber(row.value(*model)) : json(nullptr)}});
        std::cout << json{{"serial", session.serial()},
                          {"type", deviceTypeName(device.type)},
                          {"backend", device.backend},
                          {"baud", plan.baud},
                          {"latency_timer_ms", subject.latencyMs},
                          {"out", plan.out},
                          {"in", plan.in},
                          {"model", profile ? json(*profile) : json(nullptr)},
                          {"low_latency", lowLatencyAvailable},
                          {"checks", checkList},
                          {"figures", figureList},
                          {"passed", std::all_of(checks.begin(), checks.end(),
                                                 [](const CheckResult& c) { return c.pass; })}}
                         .dump()
                  << '\n';
        return;
    }
    std::cout << "qzftdi selftest of " << session.serial() << " (" << deviceTypeName(device.type)
              << ", " << (device.backend.empty() ? "unknown" : device.backend) << " backend) at "
              << plan.baud << " Bd, latency timer " << subject.latencyMs << " ms"
              << (subject.lowAtStart < 0 ? ""
                  : subject.lowAtStart ? ", low-latency mode on"
                                       : ", low-latency mode off")
              << "\n"
              << "wiring: a jumper from pin " << int{plan.out} << " (out) to pin " << int{plan.in}
              << " (in); the register frames also drive pins " << int{plan.clk} << " (clock) and "
              << int{plan.cs} << " (chip select)\n"
              << "model: "
              << (profile ? "the timed chip model of an " + *profile +
                                " (projections of a model, not measurements)"
                          : std::string("none for this chip"))
              << "\n\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-16s %-6s %s\n", "check", "result", "detail");
    std::cout << line;
    for (const CheckResult& c : checks) {
        std::snprintf(line, sizeof line, "%-16s %-6s %s\n", c.name, c.pass ? "pass" : "FAIL",
                      c.detail.c_str());
        std::cout << line;
    }
    if (!measured) return;
    std::snprintf(line, sizeof line, "\n%-56s %10s %10s %8s\n", "figure", "measured", "model",
                  "ratio");
    std::cout << line;
    for (const Row& row : list) {
        const std::string name = row.name + " (" + row.unit + ")";
        const std::optional<double> mine = row.value(*measured);
        const std::optional<double> projected = model ? row.value(*model) : std::nullopt;
        std::string ratio = "n/a";
        if (mine && projected && *projected > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", *mine / *projected);
            ratio = text;
        }
        std::snprintf(line, sizeof line, "%-56s %10s %10s %8s\n", name.c_str(), number(mine).c_str(),
                      number(projected).c_str(), ratio.c_str());
        std::cout << line;
    }
    if (!lowLatencyAvailable) std::cout << "low-latency mode: not available\n";
    std::cout << "long pattern: " << plan.samples << " samples; short transaction: "
              << kShortSamples << " samples (its read-back fills no USB transfer)\n"
              << "times: medians of " << plan.repeat << " runs on the wall clock; the model's on "
              << "its simulated clock\n";
    if (device.backend == "simulator")
        std::cout << "(a simulated device: its wall-clock figures are the simulator's speed, "
                     "not a chip's)\n";
}

}  // namespace

int selftest(Session& session, const SelftestOptions& options) {
    if (options.out == options.in)
        throw Failure(kExitUsage, "selftest: --out and --in are one pin (" +
                                      std::to_string(options.out) + "): the jumper joins two");
    Plan plan;
    plan.out = static_cast<uint8_t>(options.out);
    plan.in = static_cast<uint8_t>(options.in);
    plan.samples = options.samples;
    plan.repeat = options.repeat;
    plan.baud = session.options().baud;
    // The register frames' clock and chip select: the lowest two pins off the jumper.
    std::vector<uint8_t> spare;
    for (uint8_t pin = 0; pin < 8 && spare.size() < 2; ++pin)
        if (pin != plan.out && pin != plan.in) spare.push_back(pin);
    plan.clk = spare[0];
    plan.cs = spare[1];
    if (initSPIDev(&plan.spi, plan.clk, plan.cs, plan.out, plan.in, 8, 16, 1, 1) != 0)
        throw refused("selftest: the register frames' pins");
    const struct SpiGuard {
        PROT_HANDLE spi;
        ~SpiGuard() { deleteSPIDev(spi); }
    } spiGuard{plan.spi};

    Subject subject;
    subject.device.type = ~0u;  // unknown unless listed
    subject.device = findAttached(listedSerial(session.serial())).value_or(subject.device);
    subject.profile = modelProfile(subject.device);
    subject.latencyMs = getLatencyTimer(session.device());
    subject.lowAtStart = getLowLatency(session.device());
    const Probe user{session.device(), wallNs};
    const std::string pins = "pin " + std::to_string(plan.in) + " did not follow pin " +
                             std::to_string(plan.out);

    std::vector<CheckResult> checks;
    const std::optional<uint32_t> lag = loopbackLag(user, plan);
    checks.push_back({"loopback", lag.has_value(),
                      lag ? "pin " + std::to_string(plan.in) + " follows pin " + std::to_string(plan.out)
                          : pins + " (is the jumper on these pins?)"});
    if (lag)
        checks.push_back({"read-back lag", *lag <= kHandledLag,
                          std::to_string(*lag) + " sample(s) (the library handles 0 to " +
                              std::to_string(kHandledLag) + ")"});
    if (!lag || *lag > kHandledLag) {
        report(session, plan, subject, checks, std::nullopt, std::nullopt);
        throw Failure(kExitBusSaidNo, !lag ? "no loopback: " + pins
                                           : "read-back lag of " + std::to_string(*lag) +
                                                 " samples: the library handles 0 to " +
                                                 std::to_string(kHandledLag));
    }

    const Figures measured = measure(user, plan, *lag);
    checks.push_back({"long pattern", !measured.lostAt,
                      measured.lostAt ? pins + " from sample " + std::to_string(*measured.lostAt) +
                                            " of " + std::to_string(plan.samples) +
                                            " (read-back lost or out of order)"
                                      : "pin " + std::to_string(plan.in) + " followed pin " +
                                            std::to_string(plan.out) + " in all " +
                                            std::to_string(plan.samples) + " samples"});
    std::optional<Figures> model;
    if (subject.profile) {
        const ModelChip chip(*subject.profile, plan, *lag, session.options().latencyMs);
        if (chip.open()) model = measure(chip.probe(), plan, *lag);
    }
    report(session, plan, subject, checks, measured, model);
    if (measured.lostAt)
        throw Failure(kExitBusSaidNo, "read-back lost: " + pins + " from sample " +
                                          std::to_string(*measured.lostAt) + " of the long pattern");
    return kExitDone;
}

}  // namespace qzcli
