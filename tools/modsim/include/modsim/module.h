// One simulated module: its system entity and the other entities a host
// talks to, its boot loader and, for a router, the modules on its I2C network.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modsim/bootloader.h"
#include "modsim/config.h"
#include "modsim/factory.h"
#include "modsim/fault.h"
#include "modsim/outcome.h"
#include "modsim/router.h"
#include "modsim/slots.h"
#include "modsim/uei.h"

namespace modsim {

constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdStore = 92;
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kCmdInfo = 0x49;
constexpr uint8_t kCmdDebug = 0x17;

class Module {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Module(ModuleConfig config, Module* router = nullptr);
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const ModuleConfig& config() const { return config_; }
    uint32_t serial() const { return config_.serial; }
    uint8_t address() const { return config_.address; }
    uint32_t version() const { return version_; }
    uint32_t build() const { return build_; }
    const std::string& name() const { return name_; }
    Counters& counters() { return counters_; }
    const Counters& counters() const { return counters_; }
    FaultPlan& faults() { return faults_; }
    const FaultPlan& faults() const { return faults_; }
    BootLoader& bootLoader() { return bootLoader_; }
    const BootLoader& bootLoader() const { return bootLoader_; }
    const SlotStore& slots() const { return slots_; }
    const FactoryData& factory() const { return factory_; }

    // Router side.
    Module* router() const { return router_; }
    std::vector<std::unique_ptr<Module>>& subModules() { return subModules_; }
    const std::vector<std::unique_ptr<Module>>& subModules() const { return subModules_; }
    // The running sub-module at an I2C address, or null.
    Module* subModuleAt(uint8_t i2cAddress);

    // Sub-modules reboot on their own while the router's link stays up.
    bool online();
    void goOffline(int ms, bool applyImage);  // ms -1: for good
    // Back from a restart; with applyImage the firmware in flash is taken.
    void comeBack(bool applyImage);

    // One packet for this module; `packet.address` is the address answers use.
    void handle(const Packet& packet, LinkState& link, Outcome& out);

    // Stream samples for one subscription key (module byte ignored).
    std::vector<Packet> streamSamples(uint32_t key, uint8_t replyAddress);
    uint64_t uptimeUs() const;
    int heartbeatMs() const { return heartbeatMs_; }

  private:
    void handleUei(const Packet& packet, LinkState& link, Outcome& out);
    void handleSystem(const Packet& packet, LinkState& link, Outcome& out);
    void handleStream(const Packet& packet, LinkState& link, Outcome& out);
    void handleInfo(const Packet& packet, Outcome& out);
    bool systemGet(uint8_t option, uint8_t subindex, unsigned& width, uint32_t& value,
                   uint8_t& error);
    bool systemSet(uint8_t option, uint32_t value, LinkState& link, Outcome& out, uint8_t& error);
    uint8_t supports(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;
    bool systemHas(uint8_t option, bool set) const;

    ModuleConfig config_;
    Module* router_;
    Counters counters_;
    FaultPlan faults_;
    BootLoader bootLoader_;
    SlotStore slots_;
    FactoryData factory_;
    I2CBus i2c_;
    uei::ByteArrayAssembler assembler_;
    std::vector<std::unique_ptr<Module>> subModules_;

    uint32_t version_;
    uint32_t build_;
    std::string name_;
    int heartbeatMs_;
    std::map<uint8_t, uint32_t> settings_;
    Clock::time_point started_ = Clock::now();
    std::optional<Clock::time_point> offlineUntil_;
    bool offlineForGood_ = false;
    bool applyOnReturn_ = true;
};

}  // namespace modsim
