#include "app/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (muted) {
        return;
    }
    char text[kMessageBufferSize];
    text[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof(text), format, args);
        va_end(args);
    }
    if (level == Error) {
        error_message(text);
    } else {
        info_message(text);
    }
}
