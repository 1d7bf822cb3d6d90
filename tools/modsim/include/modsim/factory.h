// Factory data (command 94): small byte areas by kind, read and written in
// chunks of up to 26 bytes and closed with the total byte count.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "modsim/config.h"
#include "modsim/outcome.h"

namespace modsim {

constexpr uint8_t kCmdFactory = 94;

class FactoryData {
  public:
    explicit FactoryData(const ModuleConfig& config) : areas_(config.factory) {}
    void handle(const Packet& packet, uint8_t address, Outcome& out);
    const std::map<uint8_t, std::vector<uint8_t>>& areas() const { return areas_; }

  private:
    std::map<uint8_t, std::vector<uint8_t>> areas_;
    enum class Mode { None, Reading, Writing } mode_ = Mode::None;
    uint8_t kind_ = 0;
    std::size_t position_ = 0;
    std::vector<uint8_t> incoming_;
};

}  // namespace modsim
