// Device connection and pin direction (device.cpp).
#pragma once

#include "descriptors.h"
#include "ftd2xx.h"
#include "status.h"

#include <cstdint>

namespace qz {

// Output pins of the descriptor's protocol (bit n = 1: pin n is an output).
uint8_t pinDirectionMask(const PROT_DES& prot);

// The baud rate that clocks the descriptor's bus (SCL or SCK) at most at
// hz, on a chip whose sample clock is `multiplier` x baud: an I2C bit takes
// four samples, an SPI bit two. Within the slowest and fastest bit-bang
// rates the drivers take.
uint32_t baudForClock(const PROT_DES& prot, uint32_t hz, uint32_t multiplier);

// Opens a transaction on the device (the caller holds its session): empties
// both driver queues and, for a descriptor with a bus clock, sets the baud
// rate it needs when the device runs at another. QZ_OK, or the driver's failure.
Outcome beginTransaction(FT_HANDLE dev, const PROT_DES& prot);

}  // namespace qz
