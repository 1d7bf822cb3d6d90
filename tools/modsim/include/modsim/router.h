// The I2C entity (command 8) of a module. On a router, the I2C module network
// holds the sub-modules: a write or read succeeds only at an address where a
// sub-module sits and is running.
#pragma once

#include <cstdint>
#include <functional>

#include "modsim/outcome.h"

namespace modsim {

constexpr uint8_t kCmdI2C = 8;
constexpr std::size_t kMaxI2CLength = 23;

class I2CBus {
  public:
    // Tells whether a device answers at an even bus address.
    using Presence = std::function<bool(uint8_t address)>;
    explicit I2CBus(Presence presence) : presence_(std::move(presence)) {}
    void handle(const Packet& packet, uint8_t address, Outcome& out, Counters& counters);

  private:
    Presence presence_;
};

}  // namespace modsim
