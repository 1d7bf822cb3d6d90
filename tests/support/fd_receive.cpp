#include "support/fd_receive.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace qxtest {

std::vector<uint8_t> ReceiveFromFd(int fd, size_t count, std::chrono::milliseconds patience) {
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        uint8_t buffer[512];
        const size_t want = std::min(count - got.size(), sizeof(buffer));
        const ssize_t n = read(fd, buffer, want);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

}  // namespace qxtest
