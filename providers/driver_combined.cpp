// The shipped library's FT_* functions: one real backend's devices first,
// then the simulated bench's devices (none until a bench is set up through
// the qzsim_ interface).
//
// The real backend: the vendor's D2XX library where it is installed, else
// libftdi1 (Linux only). QZ_FTDI_BACKEND or qz_setBackend chooses one
// explicitly: "vendor", "libftdi", "simulator" (simulated devices only) or
// "auto" (the default order). Only one real backend lists at a time: both
// reach the same chips, and a chip one has open is busy for the other.
#include "QZ_FTDI.h"
#include "d2xx_driver.hpp"
#include "dispatcher.hpp"
#include "libftdi_driver.hpp"
#include "qzsim/bench_file.hpp"
#include "sim_d2xx.hpp"
#include "vendor_driver.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr const char* kVendor = "vendor";
constexpr const char* kLibftdi = "libftdi";
constexpr const char* kSimulator = "simulator";
constexpr const char* kAuto = "auto";
constexpr std::array<const char*, 4> kChoices{kAuto, kVendor, kLibftdi, kSimulator};

// The choice's own spelling (a pointer into kChoices); nullptr for an
// unknown name.
const char* choiceNamed(const char* name) {
    if (!name) return nullptr;
    for (const char* choice : kChoices)
        if (std::strcmp(choice, name) == 0) return choice;
    return nullptr;
}

// The real backend that `choice` lists; nullptr for none.
const char* realBackendOf(const char* choice) {
    if (choice == kVendor || choice == kLibftdi) return choice;
    if (choice == kSimulator) return nullptr;
    if (qz::vendorDriver()) return kVendor;
    return qz::libftdiDriver() ? kLibftdi : nullptr;
}

std::vector<qz::Dispatcher::Backend> backendsOf(const char* choice) {
    std::vector<qz::Dispatcher::Backend> list;
    const char* real = realBackendOf(choice);
    if (real == kVendor) list.push_back({kVendor, qz::vendorDriver()});
    if (real == kLibftdi) list.push_back({kLibftdi, qz::libftdiDriver()});
    list.push_back({kSimulator, &qzsim::simDriver()});
    return list;
}

// The choice from QZ_FTDI_BACKEND; an unknown value goes to stderr (a host
// program that cannot be changed has no other way to show it) and counts as
// "auto".
const char* environmentChoice() {
    const char* value = std::getenv("QZ_FTDI_BACKEND");
    if (!value || !*value) return kAuto;
    if (const char* choice = choiceNamed(value)) return choice;
    std::fprintf(stderr, "QZ_FTDI_BACKEND: unknown backend \"%s\" (auto, vendor, libftdi, simulator)\n",
                 value);
    return kAuto;
}

struct Choice {
    std::mutex mutex;
    const char* name = environmentChoice();
    qz::Dispatcher dispatcher{backendsOf(name)};
};

Choice& choice() {
    static Choice instance;
    return instance;
}

void fill(QZ_DRIVER_INFO& info, const char* name, bool installed, bool active,
          const std::string& path, const std::string& version) {
    info = QZ_DRIVER_INFO{};
    std::snprintf(info.name, sizeof info.name, "%s", name);
    info.installed = installed ? 1 : 0;
    info.active = active ? 1 : 0;
    std::snprintf(info.path, sizeof info.path, "%s", path.c_str());
    std::snprintf(info.version, sizeof info.version, "%s", version.c_str());
}

}  // namespace

// A real backend, then simulated devices.
qz::D2xxDriver& qz::activeDriver() {
    static qz::Dispatcher& dispatcher = choice().dispatcher;
    [[maybe_unused]] static const bool benchFromEnvironment = qzsim::loadEnvironmentBench();
    return dispatcher;
}

extern "C" {

// 0, or -1 for an unknown name (nothing changes).
int32_t qz_setBackend(const char* name) {
    const char* chosen = choiceNamed(name);
    if (!chosen) return -1;
    Choice& c = choice();
    const std::lock_guard<std::mutex> lock(c.mutex);
    c.name = chosen;
    c.dispatcher.select(backendsOf(chosen));
    return 0;
}

// The choice in force; never NULL.
const char* qz_getBackend(void) {
    Choice& c = choice();
    const std::lock_guard<std::mutex> lock(c.mutex);
    return c.name;
}

// The backend of entry `index` of the list getDeviceInfo(..., update) last
// built; NULL past its end.
const char* qz_getDeviceBackend(uint32_t index) {
    qz::activeDriver();
    Choice& c = choice();
    const std::lock_guard<std::mutex> lock(c.mutex);
    return c.dispatcher.backendOf(index);
}

// The number of drivers (3); the first min(capacity, 3) entries filled.
// -1 for a NULL array with a capacity.
int32_t qz_getDrivers(QZ_DRIVER_INFO* drivers, uint32_t capacity) {
    constexpr int32_t kDrivers = 3;
    if (capacity > 0 && !drivers) return -1;
    const char* real = realBackendOf(qz_getBackend());
    QZ_DRIVER_INFO all[kDrivers];
    fill(all[0], kVendor, qz::vendorDriver() != nullptr, real == kVendor, qz::vendorDriverPath(),
         qz::vendorDriverVersion());
    fill(all[1], kLibftdi, qz::libftdiDriver() != nullptr, real == kLibftdi, qz::libftdiPath(),
         qz::libftdiVersion());
    fill(all[2], kSimulator, true, true, "", "");
    for (uint32_t k = 0; k < capacity && k < kDrivers; ++k) drivers[k] = all[k];
    return kDrivers;
}

}  // extern "C"
