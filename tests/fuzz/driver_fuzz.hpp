// The driver stand-in of the fuzz targets: one device whose read-back is
// whatever the fuzzer chose.
#pragma once

#include "fuzz_case.hpp"

#include <cstddef>
#include <cstdint>

namespace qzfuzz {

// Serves `readback` (then `fill` bytes without end) as the device's read-back
// from now on, and fails driver call `faultCall` (1 = the next; 0 = none) in
// the manner `fault`.
void feedDriver(const uint8_t* readback, std::size_t size, uint8_t fill, uint8_t faultCall,
                Fault fault);

}  // namespace qzfuzz
