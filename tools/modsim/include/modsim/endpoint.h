// A directly reachable module and the transport that reaches it. The
// transport goes down while the module restarts and comes back with it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "modsim/config.h"
#include "modsim/event_loop.h"
#include "modsim/session.h"

namespace modsim {

class Module;

class Endpoint {
  public:
    Endpoint(EventLoop& loop, Module& module);
    virtual ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    Module& module() { return module_; }
    EventLoop& loop() { return loop_; }
    bool up() const { return up_; }

    // Opens the transport (listener, pseudo-terminal...). Throws on failure.
    virtual void open() {}
    // How the transport is reached, for the start-up lines: "tcp 127.0.0.1 4567".
    virtual std::string describe() const { return "stream"; }
    virtual uint16_t port() const { return 0; }
    virtual std::string path() const { return ""; }

    // A new link over connected descriptors. Refused (closed at once) while the
    // module is away, or when it is busy and already has a link.
    void attach(int inFd, int outFd, Session::Framing framing, bool persistent);
    // An in-process link: returns the host's end of a socket pair.
    int connectPair();

    // The module leaves: every link drops; back after comeBackMs (-1 never).
    void restart(int comeBackMs, bool applyImage);
    virtual void sessionEnded();
    std::size_t liveSessions() const;

  protected:
    virtual void goDown() {}
    virtual void goUp() {}

    EventLoop& loop_;
    Module& module_;
    bool up_ = true;
    std::vector<std::shared_ptr<Session>> sessions_;
    uint64_t comeBackTimer_ = 0;
};

std::unique_ptr<Endpoint> makeEndpoint(EventLoop& loop, Module& module, const std::string& listen);

}  // namespace modsim
