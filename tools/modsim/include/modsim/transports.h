// The transports of directly reachable modules.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "modsim/endpoint.h"

namespace modsim {

// A TCP listener on one address and port (0: an ephemeral port, kept across
// restarts). Each accepted connection is one link.
class TcpEndpoint : public Endpoint {
  public:
    TcpEndpoint(EventLoop& loop, Module& module, std::string address, uint16_t port);
    ~TcpEndpoint() override;
    void open() override;
    std::string describe() const override;
    uint16_t port() const override { return port_; }
    const std::string& address() const { return address_; }

  protected:
    void goDown() override;
    void goUp() override;

  private:
    void listenNow();
    std::string address_;
    uint16_t port_;
    int fd_ = -1;
    uint64_t retryTimer_ = 0;
};

// A Unix-domain stream listener: a plain byte pipe for bridges (for example a
// USB test harness forwarding bulk transfers). Each connection is one link.
class UnixEndpoint : public Endpoint {
  public:
    UnixEndpoint(EventLoop& loop, Module& module, std::string path);
    ~UnixEndpoint() override;
    void open() override;
    std::string describe() const override { return "unix " + path_; }
    std::string path() const override { return path_; }

  protected:
    void goDown() override;
    void goUp() override;

  private:
    std::string path_;
    int fd_ = -1;
};

// A serial module on a pseudo-terminal: COBS frames on the master side; the
// host opens the slave path.
class PtyEndpoint : public Endpoint {
  public:
    PtyEndpoint(EventLoop& loop, Module& module);
    ~PtyEndpoint() override;
    void open() override;
    std::string describe() const override { return "pty " + path_; }
    std::string path() const override { return path_; }

  private:
    std::string path_;
    int heldSlave_ = -1;
};

// Standard input and output as the module's byte pipe. The simulator stops
// when standard input ends.
class StdioEndpoint : public Endpoint {
  public:
    StdioEndpoint(EventLoop& loop, Module& module) : Endpoint(loop, module) {}
    void open() override;
    std::string describe() const override { return "stdio"; }
    void sessionEnded() override;
};

}  // namespace modsim
