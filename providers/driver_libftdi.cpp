// This binary's FT_* functions reach libftdi1, loaded at run time, and
// nothing else: no devices where it is not installed.
#include "d2xx_driver.hpp"
#include "dispatcher.hpp"
#include "libftdi_driver.hpp"

// libftdi1's devices, under tokens of a dispatcher.
qz::D2xxDriver& qz::activeDriver() {
    static Dispatcher dispatcher({Dispatcher::Backend{"libftdi", libftdiDriver()}});
    return dispatcher;
}
