// Bench files: a virtual board described in TOML (devices, their chip profile
// and read-back lag, and the virtual chips on their pins), loaded onto the
// simulated bench through its C interface.
#pragma once

#include <cstddef>
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

// Limits of what the loader reads: the file's size, the dotted parts of one
// key and the length of each, and how deep arrays and inline tables nest.
inline constexpr std::size_t kMaxBenchFileBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxBenchKeyParts = 16;
inline constexpr std::size_t kMaxBenchKeyLength = 256;
inline constexpr std::size_t kMaxBenchNesting = 32;

// The text of a bench file: a regular file of at most kMaxBenchFileBytes
// (a FIFO, a directory or a device is refused, without waiting on it).
// Throws BenchFileError "file: what".
std::string readBenchText(const std::string& path);
// Checks the keys of a bench file's text against the limits above, and that
// bare keys are ASCII, before the TOML parser sees it. Throws BenchFileError
// "file:line: what".
void checkBenchText(const std::string& text, const std::string& path);
// Loads a bench file's text (named `path` in messages) like loadBenchFile.
void loadBenchText(const std::string& text, const std::string& path);

// The environment variable that names a bench file for the shipped library.
inline constexpr const char* kBenchEnvironmentVariable = "QZ_SIM_BENCH";

// Loads the file named by QZ_SIM_BENCH, once per process; true when none is
// named or it loaded. A mistake goes to stderr as "QZ_SIM_BENCH: file:line:
// key: what" (a host program that cannot be changed has no other way to show
// it) and leaves the bench empty.
bool loadEnvironmentBench();

}  // namespace qzsim
