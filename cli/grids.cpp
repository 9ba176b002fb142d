#include "grids.hpp"

#include <cstdio>

namespace qzcli {
namespace {

constexpr unsigned kFirstProbed = 0x08, kLastProbed = 0x77;

std::string format(const char* pattern, int width, uint32_t value) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, width, value);
    return text;
}

// The ASCII column: '.' for 0x00 and 0xff, '?' for other unprintable bytes.
char asciiOf(uint32_t byte) {
    if (byte == 0x00 || byte == 0xFF) return '.';
    if (byte < 0x20 || byte >= 0x7F) return '?';
    return static_cast<char>(byte);
}

}  // namespace

std::string hexValue(uint32_t value, int digits) { return format("0x%0*x", digits, value); }

void printScanGrid(std::ostream& out, const uint8_t* present) {
    out << "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    for (unsigned row = 0; row < 0x80; row += 16) {
        out << format("%0*x:", 2, row);
        for (unsigned address = row; address < row + 16; ++address) {
            if (address < kFirstProbed || address > kLastProbed)
                out << "   ";
            else if (present[address])
                out << format(" %0*x", 2, address);
            else
                out << " --";
        }
        out << '\n';
    }
}

void printRegisterGrid(std::ostream& out, uint32_t first, const std::vector<uint32_t>& values,
                       int digits) {
    if (values.empty()) return;
    const unsigned perRow = digits <= 2 ? 16 : digits <= 4 ? 8 : 4;
    const bool ascii = digits <= 2;
    const uint64_t last = first + values.size() - 1;
    int labelDigits = 2;
    while (labelDigits < 8 && (last >> (4 * labelDigits)) != 0) ++labelDigits;

    out << std::string(labelDigits + 2, ' ');
    for (unsigned column = 0; column < perRow; ++column) out << format("%*x ", digits, column);
    if (ascii) out << "   0123456789abcdef";
    out << '\n';
    for (uint64_t row = first - first % perRow; row <= last; row += perRow) {
        out << format("%0*x: ", labelDigits, static_cast<uint32_t>(row));
        std::string text;
        for (uint64_t reg = row; reg < row + perRow; ++reg) {
            if (reg < first || reg > last) {
                out << std::string(digits + 1, ' ');
                text += ' ';
                continue;
            }
            const uint32_t value = values[reg - first];
            out << format("%0*x ", digits, value);
            text += asciiOf(value);
        }
        if (ascii) out << "   " << text;
        out << '\n';
    }
}

}  // namespace qzcli
