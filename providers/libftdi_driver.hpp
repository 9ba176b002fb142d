// libftdi1, the open-source FTDI library over libusb-1.0, behind the driver
// interface: real devices on Linux without the vendor's D2XX library. Loaded
// at run time (libftdi1.so.2), so the library neither builds nor links
// against it; where it is not installed it simply gives no devices. Not on
// Windows, where libftdi needs its devices moved to a libusb driver.
#pragma once

#include "d2xx_driver.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace qz {

// The file name under which the platform's loader finds libftdi1.
const char* libftdiLibraryName();

// Loads `libraryName` (libftdi1) and the libusb-1.0 it runs on. nullptr if
// either is missing or lacks a function the driver needs.
std::unique_ptr<D2xxDriver> loadLibftdi(const char* libraryName);

// libftdi1, loaded on first use and kept for the life of the process;
// nullptr where it is not installed (always on Windows).
D2xxDriver* libftdiDriver();

// The path and version of the loaded libftdi1; empty where none is loaded.
std::string libftdiPath();
std::string libftdiVersion();

// The rate to hand ftdi_set_baudrate for D2XX's FT_SetBaudRate(baud). D2XX
// programs the chip's divisor from the baud rate as given; libftdi does so
// too, except while bit-bang mode is on, when it programs the divisor of
// 4 x the rate. So the same divisor, and the same sample clock, needs the rate
// divided by 4 then (rounded to the nearest: exact for multiples of 4).
// 0 for a rate that has no such counterpart.
uint32_t libftdiBaudFor(uint32_t baud, bool bitbangOn);

}  // namespace qz
