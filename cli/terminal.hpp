// The terminal around qzftdi: whether a stream is one, the confirmation that
// writes ask for, and a progress bar for long transfers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qzcli {

bool stdinIsTerminal();

// Ctrl-C sets a flag instead of ending the program, so that long transfers
// stop between blocks with their output whole (exit 130).
void catchInterrupt();
bool interrupted();
bool stderrIsTerminal();

// Asks "Continue? [Y/n]" on stderr when stdin is a terminal and `assumeYes`
// is false, as i2cset does; true to go on.
bool confirmWrite(const std::string& what, bool assumeYes);

class Progress;
// While it lives, the library's reports on the long streams of this thread's
// calls (one SPI transfer, one I2C frame) draw `progress`.
class LibraryProgress {
public:
    explicit LibraryProgress(Progress& progress);
    ~LibraryProgress();
    LibraryProgress(const LibraryProgress&) = delete;
    LibraryProgress& operator=(const LibraryProgress&) = delete;
};

// A progress bar on stderr, drawn only on a terminal, never for --json
// (`forScripts`), and only once the work has taken more than about a second
// (short transfers stay silent).
class Progress {
public:
    Progress(std::string label, uint64_t total, bool forScripts);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void update(uint64_t done);
    // The same, for work whose size is learnt as it goes.
    void update(uint64_t done, uint64_t total);

private:
    std::string label_;
    uint64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace qzcli
