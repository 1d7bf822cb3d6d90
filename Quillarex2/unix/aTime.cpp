#include "unix/aTime.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

namespace {

constexpr uint64_t kMaxStepMicroseconds = 999999;

// Sleeps the whole step, resuming after signals.
void sSleepMicroseconds(uint64_t microseconds) {
    timespec request;
    request.tv_sec = static_cast<time_t>(microseconds / 1000000);
    request.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
    timespec remaining;
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
}

}  // namespace

uint64_t aTime_GetMSTicks() {
    timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

void aTime_MSSleep(uint64_t ms) {
    // Done in steps so that no single request exceeds what the classic
    // microsecond sleep accepts; the total is exact in microseconds.
    uint64_t remaining = ms <= UINT64_MAX / 1000 ? ms * 1000 : UINT64_MAX;
    while (remaining > 0) {
        const uint64_t step = remaining < kMaxStepMicroseconds ? remaining : kMaxStepMicroseconds;
        sSleepMicroseconds(step);
        remaining -= step;
    }
}
