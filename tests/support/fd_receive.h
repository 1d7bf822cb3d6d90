// Reading a known number of bytes from a descriptor within a time limit.
#ifndef TESTS_SUPPORT_FD_RECEIVE_H
#define TESTS_SUPPORT_FD_RECEIVE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qxtest {

// Reads from fd until count bytes have come, the descriptor reports end of
// data or an error, or patience has passed; returns what came.
std::vector<uint8_t> ReceiveFromFd(int fd, size_t count, std::chrono::milliseconds patience);

}  // namespace qxtest

#endif
