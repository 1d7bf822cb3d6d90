#include "app/Log.h"

#include <cstdarg>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(uint32_t mask, const char* format, ...) {
    if (mask != 0 && (mask & package_bitmask) == 0) {
        return;
    }
    if (fh == nullptr || format == nullptr) {
        return;
    }
    char line[2048];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (length <= 0) {
        return;
    }
    const size_t count =
        static_cast<size_t>(length) < sizeof(line) ? static_cast<size_t>(length) : sizeof(line) - 1;
    fwrite(line, 1, count, fh);
}
