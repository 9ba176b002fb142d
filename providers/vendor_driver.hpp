// FTDI's own D2XX library (ftd2xx.dll on Windows, libftd2xx.so on Linux),
// loaded at run time so that the library runs, and finds no real devices,
// where the vendor's driver is not installed.
#pragma once

#include "d2xx_driver.hpp"

#include <memory>
#include <string>

namespace qz {

// The file name under which the platform's loader finds the vendor's library.
const char* vendorLibraryName();

// Loads `libraryName` as a D2XX driver and resolves the eleven operations.
// nullptr if the library cannot be loaded or lacks any of them (it is then
// unloaded again). The driver unloads the library when destroyed.
std::unique_ptr<D2xxDriver> loadD2xxLibrary(const char* libraryName);

// The vendor's driver, loaded on first use and kept loaded for the life of
// the process; nullptr where none is installed.
D2xxDriver* vendorDriver();

// The path and version ("1.4.27") of the loaded vendor library; empty where
// none is loaded or it does not tell its version.
std::string vendorDriverPath();
std::string vendorDriverVersion();

}  // namespace qz
