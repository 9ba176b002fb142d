// This binary's FT_* functions are answered by the simulated bench alone: the
// unit tests, the benchmarks, and the drop-in D2XX library built from the
// simulator.
#include "d2xx_driver.hpp"
#include "sim_d2xx.hpp"

// The simulated bench.
qz::D2xxDriver& qz::activeDriver() { return qzsim::simDriver(); }
