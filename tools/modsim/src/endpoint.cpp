#include "modsim/endpoint.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "modsim/module.h"

namespace modsim {

Endpoint::Endpoint(EventLoop& loop, Module& module) : loop_(loop), module_(module) {}

Endpoint::~Endpoint() {
    if (comeBackTimer_)
        loop_.cancelTimer(comeBackTimer_);
    sessions_.clear();
}

std::size_t Endpoint::liveSessions() const {
    std::size_t n = 0;
    for (const auto& s : sessions_)
        if (!s->closed())
            ++n;
    return n;
}

void Endpoint::attach(int inFd, int outFd, Session::Framing framing, bool persistent) {
    bool busy = module_.faults().find(Fault::Kind::Busy) && liveSessions() > 0;
    if (!up_ || busy) {
        module_.counters().inc(busy ? "refused_busy" : "refused_away");
        close(inFd);
        if (outFd != inFd)
            close(outFd);
        return;
    }
    auto session = std::make_shared<Session>(loop_, *this, inFd, outFd, framing, persistent);
    sessions_.push_back(session);
    session->start();
}

int Endpoint::connectPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return -1;
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    attach(fds[1], fds[1], Session::Framing::Raw, false);
    return fds[0];
}

void Endpoint::sessionEnded() {
    // Closed sessions are released later: the one that ended may still be
    // running the callback that closed it.
    loop_.post([this] {
        std::vector<std::shared_ptr<Session>> keep;
        for (auto& s : sessions_)
            if (!s->closed())
                keep.push_back(s);
        sessions_.swap(keep);
    });
}

void Endpoint::restart(int comeBackMs, bool applyImage) {
    module_.counters().inc("restarts");
    up_ = false;
    // The transport goes first, so that a host that sees its link drop
    // cannot reach the module before it is back.
    goDown();
    auto sessions = sessions_;
    for (auto& s : sessions) {
        s->drop();
        s->setMuted(true);
    }
    if (comeBackTimer_)
        loop_.cancelTimer(comeBackTimer_);
    comeBackTimer_ = 0;
    if (comeBackMs < 0)
        return;
    comeBackTimer_ = loop_.addTimer(comeBackMs, [this, applyImage] {
        comeBackTimer_ = 0;
        module_.comeBack(applyImage);
        up_ = true;
        goUp();
        auto live = sessions_;
        for (auto& s : live)
            if (!s->closed())
                s->setMuted(false);
    });
}

}  // namespace modsim
