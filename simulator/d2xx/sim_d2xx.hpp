// The simulated bench as a D2XX driver provider.
#pragma once

#include "d2xx_driver.hpp"

namespace qzsim {

// The D2XX operations answered by the process-wide bench (qzsim::bench()).
qz::D2xxDriver& simDriver();

}  // namespace qzsim
