// The host side of a link to the simulator, for tests: hand-built packets
// out, packets parsed back with a small parser of its own (so that a fault in
// the simulator's codec is not mirrored here).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "modsim/simulator.h"
#include "modsim/state.h"

namespace modsim_test {

using Bytes = std::vector<uint8_t>;

struct Pkt {
    uint8_t address = 0;
    Bytes data;
    bool operator==(const Pkt& o) const { return address == o.address && data == o.data; }
};

inline std::string hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (uint8_t x : b) {
        std::snprintf(t, sizeof t, "%02X ", x);
        s += t;
    }
    return s;
}

inline std::ostream& operator<<(std::ostream& os, const Pkt& p) {
    return os << "[" << int(p.address) << ": " << hex(p.data) << "]";
}

class Host {
  public:
    explicit Host(int fd) : fd_(fd) {}
    ~Host() {
        if (fd_ >= 0)
            close(fd_);
    }
    Host(const Host&) = delete;

    static int dialTcp(uint16_t port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            return -1;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return fd;
    }

    int fd() const { return fd_; }

    void sendRaw(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    void send(uint8_t address, const Bytes& data) {
        Bytes wire{address, uint8_t(data.size())};
        wire.insert(wire.end(), data.begin(), data.end());
        sendRaw(wire);
    }

    // The next packet, or nothing when none comes within the time.
    std::optional<Pkt> receive(int timeoutMs = 1000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (auto p = take())
                return p;
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count());
            if (left < 0 || eof_)
                return std::nullopt;
            if (!fill(left))
                return std::nullopt;
        }
    }

    // Sends and returns the first answer.
    std::optional<Pkt> ask(uint8_t address, const Bytes& data, int timeoutMs = 1000) {
        send(address, data);
        return receive(timeoutMs);
    }

    // True when the simulator closes the link within the time.
    bool closedWithin(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!eof_) {
            buffer_.clear();
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now())
                               .count());
            if (left < 0)
                return false;
            fill(left);
        }
        return true;
    }

    // Waits until everything sent before has been handled: a synchronisation
    // request is answered in order. Packets arriving meanwhile are dropped.
    void barrier() {
        send(0xAD, {});
        while (auto p = receive(2000))
            if (p->data.empty())
                return;
        ADD_FAILURE() << "no answer to a synchronisation request";
    }

    // Nothing arrives within the time.
    bool silentFor(int ms) { return !receive(ms); }

  private:
    std::optional<Pkt> take() {
        if (buffer_.size() < 2 || buffer_.size() < size_t(buffer_[1]) + 2)
            return std::nullopt;
        Pkt p;
        p.address = buffer_[0];
        p.data.assign(buffer_.begin() + 2, buffer_.begin() + 2 + buffer_[1]);
        buffer_.erase(buffer_.begin(), buffer_.begin() + 2 + buffer_[1]);
        return p;
    }
    bool fill(int timeoutMs) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0)
            return false;
        uint8_t tmp[4096];
        ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buffer_.insert(buffer_.end(), tmp, tmp + n);
        return true;
    }

    int fd_;
    std::deque<uint8_t> buffer_;
    bool eof_ = false;
};

// A simulator with the given modules running on its own thread.
inline std::unique_ptr<modsim::Simulator> startSim(std::vector<modsim::ModuleConfig> modules) {
    modsim::SimConfig config;
    config.modules = std::move(modules);
    auto sim = std::make_unique<modsim::Simulator>(config);
    sim->open();
    sim->start();
    return sim;
}

inline modsim::ModuleConfig spec(const std::string& text) {
    return modsim::parseModuleSpec(text, false);
}

inline uint32_t be32(const Bytes& d, size_t at) {
    return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}

}  // namespace modsim_test
