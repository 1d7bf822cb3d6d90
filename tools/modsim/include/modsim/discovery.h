// Answers the TCP/IP discovery request (a 16-byte datagram, byte 0 = 1, sent
// to group 232.2.2.2, UDP port 9888) with one 16-byte datagram per module:
// byte 1 module address, bytes 2-3 TCP port (little-endian), bytes 4-7 serial
// number (little-endian), byte 12 model; the rest is 0. Replies go from the
// interface address to the sender's address, UDP port 9889.
//
// The responder joins the group only on the one interface address it is
// given, never on all interfaces.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "modsim/event_loop.h"

namespace modsim {

struct DiscoveryEntry {
    uint8_t address;
    uint16_t port;
    uint32_t serial;
    uint8_t model;
};

std::array<uint8_t, 16> discoveryReply(const DiscoveryEntry& entry);

class DiscoveryResponder {
  public:
    using Entries = std::function<std::vector<DiscoveryEntry>()>;
    DiscoveryResponder(EventLoop& loop, std::string interfaceAddress, uint16_t port,
                       uint16_t replyPort, Entries entries);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Throws std::runtime_error when the interface address is not a usable
    // IPv4 unicast address or the sockets cannot be set up.
    void open();
    uint64_t requests() const { return requests_; }

  private:
    void onRequest();
    EventLoop& loop_;
    std::string interface_;
    uint16_t port_, replyPort_;
    Entries entries_;
    int listenFd_ = -1, replyFd_ = -1;
    uint64_t requests_ = 0;
};

}  // namespace modsim
