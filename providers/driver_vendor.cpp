// This binary's FT_* functions reach the vendor's D2XX library, loaded at run
// time, and nothing else: no devices where it is not installed.
#include "d2xx_driver.hpp"
#include "dispatcher.hpp"
#include "vendor_driver.hpp"

// The vendor's devices, under tokens of a dispatcher.
qz::D2xxDriver& qz::activeDriver() {
    static Dispatcher dispatcher({vendorDriver()});
    return dispatcher;
}
