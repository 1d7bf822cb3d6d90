#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "modsim/module.h"
#include "modsim/transports.h"

namespace modsim {

TcpEndpoint::TcpEndpoint(EventLoop& loop, Module& module, std::string address, uint16_t port)
    : Endpoint(loop, module), address_(std::move(address)), port_(port) {}

TcpEndpoint::~TcpEndpoint() {
    if (retryTimer_)
        loop_.cancelTimer(retryTimer_);
    goDown();
}

void TcpEndpoint::open() {
    listenNow();
    if (fd_ < 0)
        throw std::runtime_error("cannot listen on " + address_ + ":" + std::to_string(port_) +
                                 ": " + std::strerror(errno));
}

void TcpEndpoint::listenNow() {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_);
    if (inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1) {
        errno = EINVAL;
        return;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    fd_ = fd;
    loop_.addFd(fd_, POLLIN, [this](short) {
        int c = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0)
            return;
        int on = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        attach(c, c, Session::Framing::Raw, false);
    });
}

std::string TcpEndpoint::describe() const {
    return "tcp " + address_ + " " + std::to_string(port_);
}

void TcpEndpoint::goDown() {
    if (fd_ < 0)
        return;
    loop_.removeFd(fd_);
    close(fd_);
    fd_ = -1;
}

void TcpEndpoint::goUp() {
    listenNow();
    if (fd_ >= 0)
        return;
    // The port can be briefly unavailable; try again shortly.
    retryTimer_ = loop_.addTimer(50, [this] {
        retryTimer_ = 0;
        if (up_ && fd_ < 0)
            goUp();
    });
}

}  // namespace modsim
