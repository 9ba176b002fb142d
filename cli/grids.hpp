// Text output in the i2c-tools layouts: the i2cdetect grid of a bus scan and
// the i2cdump grid of registers (16 per row, with an ASCII column for bytes).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qzcli {

// present: 128 entries, non-zero where the address answered. Addresses below
// 0x08 and above 0x77 (not probed) are blank.
void printScanGrid(std::ostream& out, const uint8_t* present);

// The i2cdump grid of registers first..last, printed row by row as the
// values come (memory stays bounded however long the range): `digits` hex
// digits per value; bytes get 16 per row and the ASCII column, wider values
// 8 or 4 per row. A register that could not be read shows XX.
class RegisterGrid {
public:
    RegisterGrid(std::ostream& out, uint32_t first, uint32_t last, int digits);
    // The next register's value, or nullopt when it was not read.
    void add(std::optional<uint32_t> value);

private:
    void endRow();
    std::ostream& out_;
    uint64_t next_, last_;
    int digits_, labelDigits_ = 2;
    unsigned perRow_;
    bool ascii_;
    std::string row_, text_;
};

// "0x5a", with `digits` hex digits.
std::string hexValue(uint32_t value, int digits);

}  // namespace qzcli
