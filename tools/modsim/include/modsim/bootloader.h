// The boot loader's upgrade entity (command 95) and the flash it writes.
//
// Firmware images carry a 16-byte identity header 0x100 bytes after the start
// of the image (the lowest flash address written since the last INIT): the
// ASCII magic "FWID", the packed version (4 bytes, big-endian), the build
// number (4 bytes, big-endian) and 4 reserved bytes. After a reboot the module
// reports the version and build found there.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "modsim/config.h"
#include "modsim/fault.h"
#include "modsim/outcome.h"

namespace modsim {

constexpr uint8_t kCmdUpgrade = 95;
constexpr uint8_t kUpgradeUeiOption = 10;
constexpr uint32_t kImageHeaderOffset = 0x100;
constexpr char kImageMagic[4] = {'F', 'W', 'I', 'D'};

struct ImageIdentity {
    uint32_t version;
    uint32_t build;
};

class BootLoader {
  public:
    BootLoader(const ModuleConfig& config, FaultPlan& faults, Counters& counters);

    // The phase a command-95 packet belongs to (for faults).
    static Phase phaseOf(const Packet& packet);

    // A raw command-95 request; replies are addressed to `address`.
    void handle(const Packet& packet, uint8_t address, Outcome& out);
    // The bytes of one byte-array transfer on option 10.
    void acceptBlockBytes(const std::vector<uint8_t>& bytes);

    // The identity header of the image last written, if there is a valid one.
    std::optional<ImageIdentity> imageIdentity() const;
    // Flash from its base up to the end of the highest byte ever written.
    std::vector<uint8_t> flashImage() const;
    uint32_t flashBase() const { return config_.flashBase; }
    // Reading flash for tests: `length` bytes at `address` (0xFF where unwritten).
    std::vector<uint8_t> readFlash(uint32_t address, std::size_t length) const;

    bool inLoader() const { return inLoader_; }
    void leaveLoader() { inLoader_ = false; }
    bool pendingLoadReply = false;
    // A module behind a router answers LOAD at once: it has no link of its own to drop.
    void allowLoadDrop(bool allow) { allowLoadDrop_ = allow; }

  private:
    void stashUnwritten();
    uint32_t pendingSum() const;

    const ModuleConfig& config_;
    FaultPlan& faults_;
    Counters& counters_;

    std::vector<uint8_t> flash_;  // allocated at the first write
    std::size_t flashHigh_ = 0;   // end of the highest byte written, from the base
    std::optional<uint32_t> imageStart_;
    bool inLoader_ = false;
    bool allowLoadDrop_ = true;

    uint32_t blockAddress_ = 0;
    uint32_t blockOffset_ = 0;
    bool prepared_ = false;
    std::vector<uint8_t> pending_;  // bytes of the current block transfer
};

}  // namespace modsim
