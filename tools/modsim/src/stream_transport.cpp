#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "modsim/module.h"
#include "modsim/transports.h"

namespace modsim {

UnixEndpoint::UnixEndpoint(EventLoop& loop, Module& module, std::string path)
    : Endpoint(loop, module), path_(std::move(path)) {}

UnixEndpoint::~UnixEndpoint() {
    goDown();
}

void UnixEndpoint::open() {
    goUp();
    if (fd_ < 0)
        throw std::runtime_error("cannot listen on " + path_ + ": " + std::strerror(errno));
}

void UnixEndpoint::goUp() {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path_.size() >= sizeof sa.sun_path) {
        errno = ENAMETOOLONG;
        return;
    }
    std::strcpy(sa.sun_path, path_.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    unlink(path_.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 8) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return;
    }
    fd_ = fd;
    loop_.addFd(fd_, POLLIN, [this](short) {
        int c = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c >= 0)
            attach(c, c, Session::Framing::Raw, false);
    });
}

void UnixEndpoint::goDown() {
    if (fd_ < 0)
        return;
    loop_.removeFd(fd_);
    close(fd_);
    unlink(path_.c_str());
    fd_ = -1;
}

void StdioEndpoint::open() {
    int in = dup(0), out = dup(1);
    if (in < 0 || out < 0)
        throw std::runtime_error("cannot use standard input and output");
    fcntl(in, F_SETFL, fcntl(in, F_GETFL) | O_NONBLOCK);
    fcntl(out, F_SETFL, fcntl(out, F_GETFL) | O_NONBLOCK);
    attach(in, out, Session::Framing::Raw, true);
}

void StdioEndpoint::sessionEnded() {
    Endpoint::sessionEnded();
    loop_.stop();
}

}  // namespace modsim
