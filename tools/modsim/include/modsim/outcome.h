// What handling one request asks of the link that carried it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "modsim/packet.h"

namespace modsim {

struct Outcome {
    std::vector<Packet> replies;
    enum class Action {
        None,
        DropLink,  // close this link; the module stays reachable
        Restart,   // the module leaves: every link drops, it comes back later
    } action = Action::None;
    int comeBackMs = -1;      // Restart: time until the module is back; -1 never
    bool applyImage = false;  // Restart: come back running what is in flash
};

// Per-link state that the module's answers depend on.
struct LinkState {
    bool routeForced = false;  // route forcing from the host
    bool routeToMe = false;    // routing to the host switched on through the system entity
    std::set<uint32_t>
        subscriptions;       // stream keys: module << 24 | command << 16 | option << 8 | index
    std::size_t chunk = 24;  // payload bytes per byte-array message
    bool routing() const { return routeForced || routeToMe; }
};

// Named event counters of a module, written into the state file.
class Counters {
  public:
    void inc(const std::string& name, uint64_t by = 1) { values_[name] += by; }
    uint64_t get(const std::string& name) const {
        auto it = values_.find(name);
        return it == values_.end() ? 0 : it->second;
    }
    const std::map<std::string, uint64_t>& all() const { return values_; }

  private:
    std::map<std::string, uint64_t> values_;
};

}  // namespace modsim
