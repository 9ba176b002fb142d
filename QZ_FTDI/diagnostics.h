// The pattern dump and its process-wide switches (diagnostics.cpp).
#pragma once

#include <cstdint>
#include <span>

namespace qz {

// Prints the stream as eight rows of 0/1, pin 0 first, then an empty line.
void printPattern(const uint8_t* writeArray, uint32_t len, char delim);

// Dumps a written stream / a read-back with the current delimiter when its
// switch (set by enableDebugPrint) is on; any thread may switch them while
// others dump: each is read once per dump.
void dumpWritten(std::span<const uint8_t> stream);
void dumpReadBack(std::span<const uint8_t> rx);

}  // namespace qz
