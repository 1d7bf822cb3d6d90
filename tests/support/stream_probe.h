// Reading helpers for tests of byte streams.
#ifndef TESTS_SUPPORT_STREAM_PROBE_H
#define TESTS_SUPPORT_STREAM_PROBE_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "common/aStream.h"

namespace qxtest {

// The outcome of reading one byte: the first result that is not
// aErrNotReady (aErrTimeout when patience ran out first), the byte, and how
// many aErrNotReady results came before.
struct ReadOutcome {
    aErr result;
    uint8_t byte;
    int notReady;
};

// Reads one byte with aStream_Read as a link's reader does: again and again
// while the stream reports aErrNotReady.
ReadOutcome ReadOne(aStreamRef stream, std::chrono::milliseconds patience);

// Reads count bytes, one at a time as above; stops at the first result other
// than aErrNone and aErrNotReady (returned in *result when given).
std::vector<uint8_t> ReadBytes(aStreamRef stream, size_t count, std::chrono::milliseconds patience,
                               aErr* result = nullptr);

// Runs a reader loop over the stream (one-byte aStream_Read calls, no pause
// between them) on a thread of its own for duration, and returns the CPU
// time that thread used as a share of duration (1.0 = one core).
double ReaderLoopCpuShare(aStreamRef stream, std::chrono::milliseconds duration);

}  // namespace qxtest

#endif
