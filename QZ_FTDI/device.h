// Device connection and pin direction (device.cpp).
#pragma once

#include "descriptors.h"

#include <cstdint>

namespace qz {

// Output pins of the descriptor's protocol (bit n = 1: pin n is an output).
uint8_t pinDirectionMask(const PROT_DES& prot);

}  // namespace qz
