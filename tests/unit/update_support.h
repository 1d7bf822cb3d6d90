// Pieces shared by the firmware update tests: one simulated module and a
// module object connected to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/Module.h"
#include "api_support.h"

namespace update_test {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr char kSerialText[] = "40F5849A";

// A module of the in-process simulator (serial 40F5849A with the given
// module keys and faults), and a Module with networking mode on and sharing
// off connected to it over TCP on 127.0.0.1; check `connected`.
struct SimulatedModule {
    explicit SimulatedModule(const std::string& keys, const std::vector<std::string>& faults = {})
        : module(2, true, 0) {
        const std::string spec =
            std::string("serial=") + kSerialText + (keys.empty() ? "" : ",") + keys;
        sim = apitest::startSimWithFaults(spec, faults);
        module.setConfig(apitest::directOnly());
        connected = module.connectFromSpec(apitest::tcpSpec(kSerial, sim->tcpPort(kSerial)));
    }
    int64_t Counter(const char* name) { return apitest::counter(*sim, kSerialText, name); }
    apitest::Bytes Flash() {
        return sim->call([this] { return sim->module(kSerial)->bootLoader().flashImage(); });
    }

    std::unique_ptr<modsim::Simulator> sim;
    Vexmoran::Quillarex::Module module;
    aErr connected = aErrUnknown;
};

}  // namespace update_test
