// Where the library's messages go: stdout (the default), stderr, nowhere, or
// a callback of the host program (qz_setMessageTarget).
#pragma once

#include "QZ_FTDI.h"

#include <string_view>

namespace qz {

// Sends one message (its exact text, newlines included) to the current target.
void say(QZ_MESSAGE_KIND kind, std::string_view text);
// say() of a printf-formatted text.
void sayf(QZ_MESSAGE_KIND kind, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace qz
