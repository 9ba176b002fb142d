// The shipped library's FT_* functions: the vendor's real devices (where its
// D2XX library is installed) first, then the simulated bench's devices (none
// until a bench is set up through the qzsim_ interface).
#include "d2xx_driver.hpp"
#include "dispatcher.hpp"
#include "qzsim/bench_file.hpp"
#include "sim_d2xx.hpp"
#include "vendor_driver.hpp"

// Real devices, then simulated ones.
qz::D2xxDriver& qz::activeDriver() {
    static Dispatcher dispatcher({vendorDriver(), &qzsim::simDriver()});
    [[maybe_unused]] static const bool benchFromEnvironment = qzsim::loadEnvironmentBench();
    return dispatcher;
}
