// Store slots (command 4): numbered stores of numbered slots, read and
// written through small handles, one chunk per request.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "modsim/config.h"
#include "modsim/outcome.h"

namespace modsim {

constexpr uint8_t kCmdSlot = 4;

class SlotStore {
  public:
    explicit SlotStore(const ModuleConfig& config) : config_(config) {}
    void handle(const Packet& packet, uint8_t address, Outcome& out);
    // Contents of a slot (for tests and the state file).
    const std::vector<uint8_t>* slot(uint8_t store, uint8_t slot) const;

  private:
    struct Handle {
        uint8_t store, slot;
        bool writing;
        std::size_t position;
    };
    bool valid(uint8_t store, uint8_t slot) const {
        return store < config_.stores && slot < config_.slots;
    }
    const ModuleConfig& config_;
    std::map<uint16_t, std::vector<uint8_t>> slots_;  // store << 8 | slot
    std::map<uint8_t, Handle> handles_;
};

}  // namespace modsim
