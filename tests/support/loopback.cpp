#include "support/loopback.h"
#include "support/fd_receive.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qxtest {

namespace {

sockaddr_in LoopbackEndpoint(uint16_t port) {
    sockaddr_in endpoint;
    std::memset(&endpoint, 0, sizeof(endpoint));
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return endpoint;
}

}  // namespace

uint32_t LoopbackAddress() {
    return htonl(INADDR_LOOPBACK);
}

uint16_t UnusedLoopbackPort() {
    LoopbackListener probe;
    return probe.port();  // closed again when probe goes
}

LoopbackListener::LoopbackListener(uint16_t port) {
    Listen(port);
}

bool LoopbackListener::Listen(uint16_t port) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        return false;
    }
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in endpoint = LoopbackEndpoint(port);
    socklen_t size = sizeof(endpoint);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&endpoint), size) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&endpoint), &size) != 0) {
        close(listener_);
        listener_ = -1;
        return false;
    }
    port_ = ntohs(endpoint.sin_port);
    return true;
}

bool LoopbackListener::Restart() {
    Stop();
    return Listen(port_);
}

LoopbackListener::~LoopbackListener() {
    Stop();
}

int LoopbackListener::Accept(std::chrono::milliseconds patience) {
    if (listener_ < 0) {
        return -1;
    }
    pollfd entry = {listener_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(patience.count())) <= 0) {
        return -1;
    }
    return accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
}

void LoopbackListener::Stop() {
    if (listener_ >= 0) {
        close(listener_);
        listener_ = -1;
    }
}

bool SendAll(int socket, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(sent);
    }
    return true;
}

std::vector<uint8_t> ReceiveSome(int socket, size_t count, std::chrono::milliseconds patience) {
    return ReceiveFromFd(socket, count, patience);
}

void CloseGracefully(int socket) {
    shutdown(socket, SHUT_RDWR);
    close(socket);
}

}  // namespace qxtest
