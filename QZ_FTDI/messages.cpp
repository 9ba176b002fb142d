// The library's messages ("FTDI Error, ...", the device list, the pattern
// dumps, the version banner) and where they go.
#include "messages.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

struct Target {
    int32_t where = QZ_MESSAGES_STDOUT;
    QZ_MESSAGE_CALLBACK callback = nullptr;
    void* context = nullptr;
};

std::mutex targetLock;
Target target;

Target currentTarget() {
    std::lock_guard<std::mutex> hold(targetLock);
    return target;
}

}  // namespace

void qz::say(QZ_MESSAGE_KIND kind, std::string_view text) {
    const Target now = currentTarget();
    switch (now.where) {
        case QZ_MESSAGES_STDOUT:
        case QZ_MESSAGES_STDERR:
            std::fwrite(text.data(), 1, text.size(), now.where == QZ_MESSAGES_STDOUT ? stdout : stderr);
            return;
        case QZ_MESSAGES_CALLBACK: {
            // One call per message, without its final newline; the callback
            // runs outside the lock, so it may itself call the library.
            if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
            const std::string line(text);
            now.callback(kind, line.c_str(), now.context);
            return;
        }
        default:
            return;
    }
}

void qz::sayf(QZ_MESSAGE_KIND kind, const char* format, ...) {
    char small[256];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        say(kind, std::string_view(small, static_cast<size_t>(length)));
        return;
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.pop_back();
    say(kind, text);
}

extern "C" {

// Chooses where the library's messages go. 0, or -1 (nothing changed) for an
// unknown target or QZ_MESSAGES_CALLBACK without a callback.
int32_t qz_setMessageTarget(int32_t where, QZ_MESSAGE_CALLBACK callback, void* context) {
    if (where < QZ_MESSAGES_STDOUT || where > QZ_MESSAGES_CALLBACK) return -1;
    if (where == QZ_MESSAGES_CALLBACK && !callback) return -1;
    std::lock_guard<std::mutex> hold(targetLock);
    target = Target{where, where == QZ_MESSAGES_CALLBACK ? callback : nullptr,
                    where == QZ_MESSAGES_CALLBACK ? context : nullptr};
    return 0;
}

// The current target (a QZ_MESSAGE_TARGET).
int32_t qz_getMessageTarget(void) { return currentTarget().where; }

}  // extern "C"
