#include "terminal.hpp"

#include <QZ_FTDI.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#define QZ_ISATTY _isatty
#define QZ_FILENO _fileno
#else
#include <unistd.h>
#define QZ_ISATTY isatty
#define QZ_FILENO fileno
#endif

namespace qzcli {

namespace {
volatile std::sig_atomic_t interruptSeen = 0;
extern "C" void onInterrupt(int) { interruptSeen = 1; }
}  // namespace

void catchInterrupt() { std::signal(SIGINT, onInterrupt); }
bool interrupted() { return interruptSeen != 0; }

bool stdinIsTerminal() { return QZ_ISATTY(QZ_FILENO(stdin)) != 0; }
bool stderrIsTerminal() { return QZ_ISATTY(QZ_FILENO(stderr)) != 0; }

bool confirmWrite(const std::string& what, bool assumeYes) {
    if (assumeYes || !stdinIsTerminal()) return true;
    std::cerr << "This will " << what << ".\nContinue? [Y/n] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer.empty() || answer[0] == 'y' || answer[0] == 'Y';
}

Progress::Progress(std::string label, uint64_t total, bool forScripts)
    : label_(std::move(label)), total_(total),
      enabled_(!forScripts && stderrIsTerminal()),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
    if (drawn_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(label_.size()) + 50, "");
}

void Progress::update(uint64_t done, uint64_t total) {
    total_ = total;
    update(done);
}

void Progress::update(uint64_t done) {
    if (!enabled_ || total_ == 0) return;
    if (!drawn_ && std::chrono::steady_clock::now() - start_ < std::chrono::seconds(1)) return;
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(kWidth * done / total_);
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled,
                 "########################################", kWidth - filled, "",
                 static_cast<int>(100 * done / total_));
    std::fflush(stderr);
    drawn_ = true;
}

LibraryProgress::LibraryProgress(Progress& progress) {
    qz_setProgressCallback(
        [](uint64_t done, uint64_t total, void* bar) { static_cast<Progress*>(bar)->update(done, total); },
        &progress);
}

LibraryProgress::~LibraryProgress() { qz_setProgressCallback(nullptr, nullptr); }

}  // namespace qzcli
