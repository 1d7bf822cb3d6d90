// The simulator: its modules, their transports, the discovery responder and
// the loop that runs them, in the foreground or on a thread of its own.
#pragma once

#include <atomic>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "modsim/config.h"
#include "modsim/discovery.h"
#include "modsim/endpoint.h"
#include "modsim/event_loop.h"
#include "modsim/module.h"

namespace modsim {

class Simulator {
  public:
    explicit Simulator(SimConfig config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Builds the modules and opens their transports. Throws on failure.
    void open();
    // Runs the loop on this thread until stop().
    void run();
    // Runs the loop on a thread of its own.
    void start();
    // Thread-safe.
    void stop();

    // One line per directly reachable module: "module SERIAL tcp 127.0.0.1 PORT".
    std::vector<std::string> describe() const;
    uint16_t tcpPort(uint32_t serial) const;
    std::string path(uint32_t serial) const;

    // Thread-safe: an in-process link to a module; the host's end of a
    // connected socket pair, or -1.
    int connectStream(uint32_t serial);
    // Thread-safe: the state as written to the state file.
    nlohmann::json state();
    // Thread-safe: writes the state file (to `path`, or the configured one).
    void writeState(const std::string& path = "");

    // Runs `f` on the loop's thread and returns its result.
    template <typename F>
    auto call(F f) -> decltype(f()) {
        if (!running_ || std::this_thread::get_id() == thread_.get_id())
            return f();
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        loop_.post([&task] { task(); });
        return result.get();
    }

    // Only on the loop's thread (or through call()).
    Module* module(uint32_t serial);
    EventLoop& loop() { return loop_; }
    const SimConfig& config() const { return config_; }

  private:
    Endpoint* endpoint(uint32_t serial) const;
    std::string flashDir() const;

    SimConfig config_;
    EventLoop loop_;
    std::vector<std::unique_ptr<Module>> modules_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::unique_ptr<DiscoveryResponder> discovery_;
    std::thread thread_;
    std::atomic<bool> running_{false};
};

}  // namespace modsim
