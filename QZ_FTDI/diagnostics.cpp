// Debug switches, the eight-row pattern dump, the version banner and the
// Windows entry point.
#include "diagnostics.h"
#include "QZ_FTDI.h"
#include "messages.h"

#include <atomic>

#include <string>

namespace {

// Switched from any thread while others dump: each is read once per dump.
std::atomic<int32_t> writeDebug{0};
std::atomic<int32_t> readDebug{0};
std::atomic<char> debugDelim{'n'};  // 'n': no delimiter between samples

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 0;
constexpr int kVersionPatch = 1;
}  // namespace

// One message: a row of 0 and 1 per pin (pin 0 first), then an empty line.
void qz::printPattern(const uint8_t* writeArray, uint32_t len, char delim) {
    std::string rows;
    rows.reserve((delim == 'n' ? 1u : 2u) * (size_t{len} + 1) * 8 + 1);
    for (unsigned pin = 0; pin < 8; ++pin) {
        for (uint32_t j = 0; j < len; ++j) {
            rows += static_cast<char>('0' + ((writeArray[j] >> pin) & 1));
            if (delim != 'n') rows += delim;
        }
        rows += '\n';
    }
    rows += '\n';
    qz::say(QZ_MESSAGE_DEBUG, rows);
}

namespace {
void dumpIf(int32_t enabled, std::span<const uint8_t> stream) {
    if (enabled != 0)
        qz::printPattern(stream.data(), static_cast<uint32_t>(stream.size()), debugDelim.load());
}
}  // namespace

void qz::dumpWritten(std::span<const uint8_t> stream) { dumpIf(writeDebug.load(), stream); }
void qz::dumpReadBack(std::span<const uint8_t> rx) { dumpIf(readDebug.load(), rx); }

extern "C" {

// Sets both dump switches (any non-zero value is on). Returns 0.
int32_t enableDebugPrint(int32_t writeDB, int32_t readDB) {
    writeDebug = writeDB;
    readDebug = readDB;
    return 0;
}

// Sets the character printed after each dumped sample ('n': none). Returns 0.
int32_t setDebugDelim(char delim) {
    debugDelim = delim;
    return 0;
}

// Prints the version banner, without a newline.
void getDLLVersion(void) {
    qz::sayf(QZ_MESSAGE_INFO, "QZ_FTDI DLL Version %d.%d.%d", kVersionMajor, kVersionMinor,
             kVersionPatch);
}

}  // extern "C"

#ifdef _WIN32
#include <windows.h>
// Accepts every attach and detach and does nothing else: loading the library
// resets no table and starts nothing.
extern "C" __declspec(dllexport) BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
