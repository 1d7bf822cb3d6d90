#include "common/aDebug.h"

#include <cstdarg>
#include <cstdio>

bool aQuillarexDebuggingEnable = false;
uint32_t aQuillarexDebuggingLevel = 0;

bool aDebug_IsOn(uint32_t area) {
    return aQuillarexDebuggingEnable && (aQuillarexDebuggingLevel & area) != 0;
}

void aDebug_Printf(uint32_t area, const char* format, ...) {
    if (format == nullptr || !aDebug_IsOn(area)) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    // Held across the whole line so that lines of several threads do not mix.
    flockfile(stdout);
    std::vfprintf(stdout, format, arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    funlockfile(stdout);
    va_end(arguments);
}
