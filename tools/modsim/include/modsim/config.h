// What a simulated module is: identity, firmware, transport and faults.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "modsim/fault.h"

namespace modsim {

enum class TransportKind { Tcp, Pty, Unix, Stdio, None };

struct ModuleConfig {
    uint32_t serial = 0x00000001;
    uint8_t model = 17;
    uint8_t address = 2;            // module bus address (even, not 0)
    uint32_t version = 0x2F020F00;  // packed firmware version (2.15.0)
    uint32_t build = 1;
    std::string name;                  // empty: "Module <serial>"
    uint32_t features = 0x80000000u;   // protocol features; bit 31: pooled packets accepted
    bool ueiData = true;               // the boot loader takes byte arrays on option 10
    std::set<uint8_t> withoutOptions;  // system entity options answered as unknown
    bool recovery = false;             // a recovery loader: option 39 subindexes 0-3
    std::array<uint32_t, 4> ids{};     // its four identifier words

    // Boot loader and flash.
    uint32_t loadBase = 0x00000000;
    uint16_t blockSize = 1024;
    uint32_t flashBase = 0x00000000;
    uint32_t flashSize = 0x00100000;
    int loadDropMs = -1;  // >= 0: LOAD drops the link and the module comes back after that time
    int rebootMs = 300;   // REBOOT and reset: the module comes back after this time
    int loadReplyQuietMs = 300;  // after a LOAD drop: quiet time before the late LOAD answer

    // Link behaviour.
    int heartbeatMs = 0;  // 0: no heartbeats
    bool heartbeatDown = false;
    int streamPeriodMs = 100;

    // Store slots and factory data.
    uint8_t stores = 2;
    uint8_t slots = 8;
    uint16_t slotCapacity = 1024;
    std::map<uint8_t, std::vector<uint8_t>> factory;

    // Transport of a directly reachable module (sub-modules have none).
    TransportKind transport = TransportKind::Tcp;
    uint16_t port = 0;  // 0: ephemeral
    std::string path;   // unix socket path

    // Sub-modules on the I2C network of a router.
    uint8_t i2cAddress = 0;
    std::vector<ModuleConfig> subModules;

    std::vector<Fault> faults;

    std::string displayName() const;
};

struct SimConfig {
    std::string listen = "127.0.0.1";  // address of the TCP listeners
    std::string discoveryIf;           // empty: no discovery responder
    uint16_t discoveryPort = 9888;
    uint16_t discoveryReplyPort = 9889;
    std::string stateFile;  // written at exit and on request
    std::string flashDir;   // where flash images go; default: beside the state file
    std::vector<ModuleConfig> modules;
};

// "2.14.7" or a number; throws std::invalid_argument.
uint32_t parseVersion(const std::string& text);
uint32_t packVersion(unsigned major, unsigned minor, unsigned patch);
std::string versionText(uint32_t packed);

// One module from KEY=VALUE,KEY=VALUE (the --module and --sub syntax).
ModuleConfig parseModuleSpec(const std::string& spec, bool subModule);
// A whole configuration from a JSON file.
SimConfig loadConfigFile(const std::string& path);
// Checks addresses, duplicates and the like; throws std::invalid_argument.
void validateConfig(const SimConfig& config);

}  // namespace modsim
