#include "support/stream_probe.h"

#include <time.h>

#include <thread>

namespace qxtest {

namespace {

double ThreadCpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

ReadOutcome ReadOne(aStreamRef stream, std::chrono::milliseconds patience) {
    ReadOutcome outcome{aErrTimeout, 0, 0};
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        const aErr result = aStream_Read(stream, &outcome.byte, 1);
        if (result != aErrNotReady) {
            outcome.result = result;
            return outcome;
        }
        ++outcome.notReady;
    }
    return outcome;
}

std::vector<uint8_t> ReadBytes(aStreamRef stream, size_t count, std::chrono::milliseconds patience,
                               aErr* result) {
    std::vector<uint8_t> bytes;
    aErr last = aErrNone;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const ReadOutcome outcome = ReadOne(stream, left);
        last = outcome.result;
        if (last != aErrNone) {
            break;
        }
        bytes.push_back(outcome.byte);
    }
    if (result != nullptr) {
        *result = last;
    }
    return bytes;
}

double ReaderLoopCpuShare(aStreamRef stream, std::chrono::milliseconds duration) {
    double used = 0;
    std::thread reader([&] {
        const double start = ThreadCpuSeconds();
        const auto end = std::chrono::steady_clock::now() + duration;
        uint8_t byte;
        while (std::chrono::steady_clock::now() < end) {
            aStream_Read(stream, &byte, 1);
        }
        used = ThreadCpuSeconds() - start;
    });
    reader.join();
    return used / std::chrono::duration<double>(duration).count();
}

}  // namespace qxtest
