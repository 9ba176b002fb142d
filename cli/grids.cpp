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

RegisterGrid::RegisterGrid(std::ostream& out, uint32_t first, uint32_t last, int digits)
    : out_(out), next_(first - first % (digits <= 2 ? 16 : digits <= 4 ? 8 : 4)), last_(last),
      digits_(digits), perRow_(digits <= 2 ? 16 : digits <= 4 ? 8 : 4), ascii_(digits <= 2) {
    while (labelDigits_ < 8 && (last_ >> (4 * labelDigits_)) != 0) ++labelDigits_;
    out_ << std::string(labelDigits_ + 2, ' ');
    for (unsigned column = 0; column < perRow_; ++column) out_ << format("%*x ", digits_, column);
    if (ascii_) out_ << "   0123456789abcdef";
    out_ << '\n';
    // Blank cells before the first register of its row.
    while (next_ < first) {
        if (row_.empty()) row_ = format("%0*x: ", labelDigits_, static_cast<uint32_t>(next_));
        row_ += std::string(digits_ + 1, ' ');
        text_ += ' ';
        ++next_;
    }
}

void RegisterGrid::add(std::optional<uint32_t> value) {
    if (next_ > last_) return;
    if (row_.empty()) row_ = format("%0*x: ", labelDigits_, static_cast<uint32_t>(next_));
    row_ += value ? format("%0*x ", digits_, *value) : std::string(digits_, 'X') + ' ';
    text_ += value ? asciiOf(*value) : 'X';
    ++next_;
    if (next_ % perRow_ == 0) {
        endRow();
    } else if (next_ > last_) {  // blank cells after the last register
        while (next_ % perRow_ != 0) {
            row_ += std::string(digits_ + 1, ' ');
            text_ += ' ';
            ++next_;
        }
        endRow();
    }
}

void RegisterGrid::endRow() {
    out_ << row_;
    if (ascii_) out_ << "   " << text_;
    out_ << '\n';
    row_.clear();
    text_.clear();
}

}  // namespace qzcli
