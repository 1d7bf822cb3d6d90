#include "support/pty_pair.h"
#include "support/fd_receive.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>

namespace qxtest {

PtyPair::PtyPair() {
    char name[256] = {0};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    slavePath_ = name;
}

PtyPair::~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) {
        close(slave_);
    }
}

bool PtyPair::Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(master_, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

std::vector<uint8_t> PtyPair::Receive(size_t count, std::chrono::milliseconds patience) {
    return ReceiveFromFd(master_, count, patience);
}

std::vector<uint8_t> PtyPair::Drain(std::chrono::milliseconds quiet) {
    std::vector<uint8_t> got;
    for (;;) {
        pollfd entry = {master_, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(quiet.count())) <= 0) {
            return got;
        }
        uint8_t buffer[256];
        const ssize_t n = read(master_, buffer, sizeof(buffer));
        if (n <= 0) {
            return got;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

}  // namespace qxtest
