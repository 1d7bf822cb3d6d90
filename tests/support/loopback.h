// TCP helpers on 127.0.0.1: a listener the code under test connects to, and
// small blocking-with-patience socket operations for the test's side.
#ifndef TESTS_SUPPORT_LOOPBACK_H
#define TESTS_SUPPORT_LOOPBACK_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace qxtest {

// 127.0.0.1 in network byte order, as the library takes IPv4 addresses.
uint32_t LoopbackAddress();

// A port on 127.0.0.1 where nothing listens at the moment of the call.
uint16_t UnusedLoopbackPort();

class LoopbackListener {
  public:
    // Listens on 127.0.0.1 at port (0: an ephemeral port); check ok().
    explicit LoopbackListener(uint16_t port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return listener_ >= 0; }
    uint16_t port() const { return port_; }

    // The next connection, waiting up to patience; its descriptor (owned by
    // the caller, close it with close()) or -1.
    int Accept(std::chrono::milliseconds patience);

    // Stops listening: connections are refused from now on.
    void Stop();

    // Listens again (after Stop) on the same port; false on failure.
    bool Restart();

  private:
    bool Listen(uint16_t port);

    int listener_ = -1;
    uint16_t port_ = 0;
};

// Sends all bytes on a connected socket (never raising SIGPIPE); false on failure.
bool SendAll(int socket, const std::vector<uint8_t>& bytes);

// Receives until count bytes have come, the peer closes, or patience passes.
std::vector<uint8_t> ReceiveSome(int socket, size_t count, std::chrono::milliseconds patience);

// Closes a socket with an orderly shutdown (FIN), as a peer going away does.
void CloseGracefully(int socket);

}  // namespace qxtest

#endif
