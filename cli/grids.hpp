// Text output in the i2c-tools layouts: the i2cdetect grid of a bus scan and
// the i2cdump grid of registers (16 per row, with an ASCII column for bytes).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace qzcli {

// present: 128 entries, non-zero where the address answered. Addresses below
// 0x08 and above 0x77 (not probed) are blank.
void printScanGrid(std::ostream& out, const uint8_t* present);

// values[i] is register first + i; `digits` hex digits per value. Bytes get
// 16 per row and the ASCII column; wider values 8 or 4 per row.
void printRegisterGrid(std::ostream& out, uint32_t first, const std::vector<uint32_t>& values,
                       int digits);

// "0x5a", with `digits` hex digits.
std::string hexValue(uint32_t value, int digits);

}  // namespace qzcli
