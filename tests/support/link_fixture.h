// Link tests against the module simulator: in-process simulators, links to
// them over socket pairs, and the simulator program in a child process.
#ifndef TESTS_SUPPORT_LINK_FIXTURE_H
#define TESTS_SUPPORT_LINK_FIXTURE_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "modsim/simulator.h"

namespace qxtest {

// A simulator with the given modules (modsim --module syntax) running on a
// thread of its own.
std::unique_ptr<modsim::Simulator> StartSimulator(const std::vector<std::string>& modules);

// A started link (aLink_Create) over an in-process socket pair to the
// module; 0 on failure.
uint32_t LinkInProcess(modsim::Simulator& simulator, uint32_t serial);

// The module's counters from the simulator's state (a missing counter is 0).
int64_t Counter(modsim::Simulator& simulator, uint32_t serial, const std::string& name);

// Checks condition every 5 ms until it holds or patience passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds patience);

// Waits until aLink_GetStatus(id) is status.
bool WaitForStatus(uint32_t id, uint32_t status, std::chrono::milliseconds patience);

// The simulator program in a child process.
class SimulatorProcess {
  public:
    // Starts program with the arguments and waits for its "ready" line;
    // check ok().
    SimulatorProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    bool ok() const { return pid_ > 0 && !ports_.empty(); }
    // The TCP port of the first module.
    uint16_t port() const { return ports_.empty() ? 0 : ports_.front(); }
    // Ends it at once (SIGKILL) and reaps it.
    void Kill();

  private:
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    std::vector<uint16_t> ports_;
};

}  // namespace qxtest

#endif
