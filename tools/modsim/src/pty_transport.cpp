#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "modsim/module.h"
#include "modsim/transports.h"

namespace modsim {

PtyEndpoint::PtyEndpoint(EventLoop& loop, Module& module) : Endpoint(loop, module) {}

PtyEndpoint::~PtyEndpoint() {
    sessions_.clear();
    if (heldSlave_ >= 0)
        close(heldSlave_);
}

void PtyEndpoint::open() {
    int master = -1, slave = -1;
    char name[128] = {0};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") +
                                 std::strerror(errno));
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    // Holding the slave open keeps the master from reporting a hang-up
    // (and poll() from waking endlessly) while no host has the port open.
    heldSlave_ = slave;
    path_ = name;
    attach(master, master, Session::Framing::Cobs, true);
}

}  // namespace modsim
