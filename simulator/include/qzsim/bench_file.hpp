// Bench files: a virtual board described in TOML (devices, their chip profile
// and read-back lag, and the virtual chips on their pins), loaded onto the
// simulated bench through its C interface.
#pragma once

#include <stdexcept>
#include <string>

namespace qzsim {

// A mistake in a bench file; what() is "file:line: key: what".
class BenchFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Loads every device of the file onto the bench (a device replaces one of the
// same serial already there). Checks the whole file before it changes the
// bench: on a mistake it throws BenchFileError and the bench is as it was.
void loadBenchFile(const std::string& path);

// The environment variable that names a bench file for the shipped library.
inline constexpr const char* kBenchEnvironmentVariable = "QZ_SIM_BENCH";

// Loads the file named by QZ_SIM_BENCH, once per process; true when none is
// named or it loaded. A mistake goes to stderr as "QZ_SIM_BENCH: file:line:
// key: what" (a host program that cannot be changed has no other way to show
// it) and leaves the bench empty.
bool loadEnvironmentBench();

}  // namespace qzsim
