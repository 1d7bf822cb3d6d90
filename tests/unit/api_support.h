// Pieces shared by the object-layer tests: TCP link specifications for the
// in-process simulator, modules with network sharing off, and a scripted
// module peer on 127.0.0.1 that answers packets as a test says (for exact
// wire bytes and answers the simulator never gives).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "api/Module.h"
#include "modsim/simulator.h"

namespace apitest {

using Bytes = std::vector<uint8_t>;
using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::NimbusConfig;

struct Pkt {
    uint8_t address = 0;
    Bytes data;
    bool operator==(const Pkt& o) const { return address == o.address && data == o.data; }
};

inline std::ostream& operator<<(std::ostream& os, const Pkt& p) {
    os << "[" << int(p.address) << ":";
    for (uint8_t b : p.data)
        os << " " << int(b);
    return os << "]";
}

inline linkSpec tcpSpec(uint32_t serial, uint16_t port) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = serial;
    inet_pton(AF_INET, "127.0.0.1", &spec.t.ip.ip_address);
    spec.t.ip.ip_port = port;
    return spec;
}

// As the application configures every module: no sharing, no fallback.
inline NimbusConfig directOnly() {
    NimbusConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

inline std::unique_ptr<modsim::Simulator> startSim(const std::vector<std::string>& modules,
                                                   const std::vector<std::string>& subs = {}) {
    modsim::SimConfig config;
    for (const auto& m : modules)
        config.modules.push_back(modsim::parseModuleSpec(m, false));
    for (const auto& s : subs)
        config.modules.back().subModules.push_back(modsim::parseModuleSpec(s, true));
    auto sim = std::make_unique<modsim::Simulator>(config);
    sim->open();
    sim->start();
    return sim;
}

// One module (modsim --module syntax) with faults (--fault syntax).
inline std::unique_ptr<modsim::Simulator> startSimWithFaults(
    const std::string& module, const std::vector<std::string>& faults) {
    modsim::SimConfig config;
    config.modules.push_back(modsim::parseModuleSpec(module, false));
    for (const auto& f : faults)
        config.modules.back().faults.push_back(modsim::parseFault(f));
    auto sim = std::make_unique<modsim::Simulator>(config);
    sim->open();
    sim->start();
    return sim;
}

inline int64_t counter(modsim::Simulator& sim, const char* serial, const char* name) {
    auto state = sim.state();
    auto& counters = state["modules"][serial]["counters"];
    return counters.contains(name) ? counters[name].get<int64_t>() : 0;
}

// A module played by the test: one TCP connection on 127.0.0.1, every
// packet handed to the handler, whose packets go back at once.
class ScriptedPeer {
  public:
    using Handler = std::function<std::vector<Pkt>(const Pkt&)>;

    // address: the module address with which synchronisation requests are
    // answered; 0 leaves them unanswered.
    explicit ScriptedPeer(uint8_t address, Handler handler = nullptr)
        : address_(address), handler_(std::move(handler)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
        bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listener_, 4);
        socklen_t len = sizeof sa;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        if (pipe(wake_) != 0)
            ADD_FAILURE() << "pipe";
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedPeer() {
        char b = 0;
        if (write(wake_[1], &b, 1) != 1)
            ADD_FAILURE() << "wake";
        thread_.join();
        close(listener_);
        close(wake_[0]);
        close(wake_[1]);
    }

    uint16_t port() const { return port_; }

    // Packets received so far, synchronisation and route forcing excluded.
    std::vector<Pkt> received() {
        std::lock_guard<std::mutex> g(lock_);
        return received_;
    }
    // Waits up to 2 s until n packets were received.
    bool awaitReceived(size_t n) {
        std::unique_lock<std::mutex> g(lock_);
        return arrived_.wait_for(g, std::chrono::seconds(2), [&] { return received_.size() >= n; });
    }
    // Sends packets unasked.
    void push(const std::vector<Pkt>& packets) {
        std::lock_guard<std::mutex> g(lock_);
        sendLocked(packets);
    }

  private:
    void sendLocked(const std::vector<Pkt>& packets) {
        Bytes wire;
        for (const Pkt& p : packets) {
            wire.push_back(p.address);
            wire.push_back(uint8_t(p.data.size()));
            wire.insert(wire.end(), p.data.begin(), p.data.end());
        }
        if (conn_ >= 0 && !wire.empty())
            ::send(conn_, wire.data(), wire.size(), MSG_NOSIGNAL);
    }

    void run() {
        Bytes buffer;
        for (;;) {
            pollfd fds[2] = {{wake_[0], POLLIN, 0}, {conn_ >= 0 ? conn_ : listener_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0)
                continue;
            if (fds[0].revents)
                break;
            if (!fds[1].revents)
                continue;
            if (conn_ < 0) {
                int c = accept(listener_, nullptr, nullptr);
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                std::lock_guard<std::mutex> g(lock_);
                conn_ = c;
                continue;
            }
            uint8_t tmp[4096];
            ssize_t n = recv(conn_, tmp, sizeof tmp, 0);
            if (n <= 0) {
                std::lock_guard<std::mutex> g(lock_);
                close(conn_);
                conn_ = -1;
                continue;
            }
            buffer.insert(buffer.end(), tmp, tmp + n);
            while (buffer.size() >= 2 && buffer.size() >= size_t(buffer[1]) + 2) {
                Pkt p{buffer[0], Bytes(buffer.begin() + 2, buffer.begin() + 2 + buffer[1])};
                buffer.erase(buffer.begin(), buffer.begin() + 2 + buffer[1]);
                std::lock_guard<std::mutex> g(lock_);
                if (p.address == 0xAD && p.data.empty()) {
                    if (address_)
                        sendLocked({{address_, {}}});
                    continue;
                }
                if (p.address == 0xAF)
                    continue;
                received_.push_back(p);
                arrived_.notify_all();
                if (handler_)
                    sendLocked(handler_(p));
            }
        }
        if (conn_ >= 0)
            close(conn_);
    }

    uint8_t address_;
    Handler handler_;
    int listener_ = -1;
    int conn_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Pkt> received_;
    std::thread thread_;
};

}  // namespace apitest
