// How qzftdi ends: exit codes, and the failure that carries one to main.
#pragma once

#include <stdexcept>
#include <string>

namespace qzcli {

enum ExitCode : int {
    kExitDone = 0,
    kExitBusSaidNo = 1,    // a missing acknowledge, a held or stretched line
    kExitDeclined = 1,     // the user answered no to a confirmation
    kExitDeviceError = 2,  // no device, a driver failure (D2XX status by name)
    kExitUsage = 64,       // bad arguments, a bench file with a mistake
    kExitInterrupted = 130,  // Ctrl-C: stopped between blocks
};

// A command that cannot finish: its message goes to stderr, its code is the
// exit code.
class Failure : public std::runtime_error {
public:
    Failure(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

}  // namespace qzcli
