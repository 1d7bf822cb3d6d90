#include "modsim/discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace modsim {

namespace {
constexpr const char* kGroup = "232.2.2.2";

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("discovery: " + what + ": " + std::strerror(errno));
}
}  // namespace

std::array<uint8_t, 16> discoveryReply(const DiscoveryEntry& e) {
    std::array<uint8_t, 16> r{};
    r[1] = e.address;
    r[2] = static_cast<uint8_t>(e.port);
    r[3] = static_cast<uint8_t>(e.port >> 8);
    for (int i = 0; i < 4; ++i)
        r[4 + i] = static_cast<uint8_t>(e.serial >> (8 * i));
    r[12] = e.model;
    return r;
}

DiscoveryResponder::DiscoveryResponder(EventLoop& loop, std::string interfaceAddress, uint16_t port,
                                       uint16_t replyPort, Entries entries)
    : loop_(loop),
      interface_(std::move(interfaceAddress)),
      port_(port),
      replyPort_(replyPort),
      entries_(std::move(entries)) {}

DiscoveryResponder::~DiscoveryResponder() {
    if (listenFd_ >= 0) {
        loop_.removeFd(listenFd_);
        close(listenFd_);
    }
    if (replyFd_ >= 0)
        close(replyFd_);
}

void DiscoveryResponder::open() {
    in_addr ifaddr{}, group{};
    if (inet_pton(AF_INET, interface_.c_str(), &ifaddr) != 1)
        throw std::runtime_error("discovery: '" + interface_ + "' is not an IPv4 address");
    uint32_t host = ntohl(ifaddr.s_addr);
    if (host == 0 || host == 0xFFFFFFFFu || (host >> 28) == 0xE)
        throw std::runtime_error("discovery: the interface must be one unicast address, not " +
                                 interface_);
    inet_pton(AF_INET, kGroup, &group);

    listenFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        fail("socket");
    int one = 1, zero = 0;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Only datagrams of the group joined on this socket.
    setsockopt(listenFd_, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_);
    sa.sin_addr = group;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        fail("bind");
    ip_mreq mreq{};
    mreq.imr_multiaddr = group;
    mreq.imr_interface = ifaddr;
    if (setsockopt(listenFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
        fail("join on " + interface_);

    replyFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (replyFd_ < 0)
        fail("socket");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr = ifaddr;
    if (bind(replyFd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
        fail("bind reply socket");

    loop_.addFd(listenFd_, POLLIN, [this](short) { onRequest(); });
}

void DiscoveryResponder::onRequest() {
    uint8_t buffer[64];
    sockaddr_in sender{};
    socklen_t len = sizeof sender;
    ssize_t n =
        recvfrom(listenFd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &len);
    if (n != 16 || buffer[0] != 1)
        return;
    ++requests_;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = sender.sin_addr;
    to.sin_port = htons(replyPort_);
    for (const DiscoveryEntry& e : entries_()) {
        auto reply = discoveryReply(e);
        sendto(replyFd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
    }
}

}  // namespace modsim
