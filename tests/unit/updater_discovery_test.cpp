// What discovery asks of each module it finds: build number, version and
// addresses, and the name, against simulated modules over TCP on 127.0.0.1
// (connected by specification, so no discovery datagram is sent).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "app/UpdaterDiscovery.h"
#include "unit/api_support.h"
#include "unit/cli_support.h"

using apitest::Pkt;
using apitest::ScriptedPeer;
using apitest::startSim;
using apitest::tcpSpec;
using cli_test::RecordingDisplay;
using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::NimbusConfig;
using Vexmoran::Quillarex::SystemClass;

namespace {

// A module object as discovery makes it: address 2, networking on, direct
// links only, connected by specification.
struct Questioned {
    Questioned(uint16_t port, uint32_t serial) : module(2, true, 0) {
        EXPECT_EQ(_disableNimbus(module, display), aErrNone);
        connected = module.connectFromSpec(tcpSpec(serial, port));
    }
    ~Questioned() { module.disconnect(); }

    RecordingDisplay display;
    Module module;
    aErr connected = aErrUnknown;
};

TEST(updaterDiscovery, DirectLinksOnly) {
    RecordingDisplay display;
    Module module(2, true, 0);
    ASSERT_EQ(_disableNimbus(module, display), aErrNone);
    NimbusConfig config;
    ASSERT_EQ(module.getConfig(&config), aErrNone);
    EXPECT_FALSE(config.enabled);
    EXPECT_FALSE(config.fallback);
    EXPECT_TRUE(config.localOnly);
    EXPECT_TRUE(display.messages.empty());

    // A connected module keeps its configuration: the failure is shown.
    auto sim = startSim({"serial=0000002A,address=4"});
    ASSERT_EQ(module.connectFromSpec(tcpSpec(0x2A, sim->tcpPort(0x2A))), aErrNone);
    EXPECT_EQ(_disableNimbus(module, display), aErrMode);
    EXPECT_EQ(display.Texts(UpdaterDisplayInterface::Error),
              std::vector<std::string>{"Failed to SET network configuration"});
    EXPECT_TRUE(display.Texts(UpdaterDisplayInterface::Info).empty());
    module.disconnect();
}

TEST(updaterDiscovery, EnumerationCallbackKeepsTheWholeSpecification) {
    std::vector<DeviceInfo> devices;
    linkSpec spec{};
    std::memset(&spec, 0x5A, sizeof spec);
    spec.type = USB;
    for (uint32_t serial : {7u, 9u}) {
        spec.serial_num = serial;
        bool accepted = false;
        EXPECT_TRUE(_discovered_device(&spec, &accepted, &devices));
        EXPECT_TRUE(accepted);
    }
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].spec.serial_num, 7u);
    spec.serial_num = 9;
    EXPECT_EQ(std::memcmp(&devices[1].spec, &spec, sizeof spec), 0);
    EXPECT_EQ(devices[1].build, 0u);
    EXPECT_EQ(devices[1].error, aErrNone);
    EXPECT_TRUE(devices[1].modelName.empty());
}

// Version, addresses, build and name of modules of several firmware versions;
// names are read from 2.10.4 on.
TEST(updaterDiscovery, QuestionsAModule) {
    struct Case {
        uint32_t serial;
        const char* spec;
        uint8_t major, minor, patch;
        uint32_t build;
        const char* name;
    } cases[] = {
        {0xA1, "serial=A1,address=6,version=2.10.3,build=77,name=Hidden", 2, 10, 3, 77, ""},
        {0xA2, "serial=A2,address=8,version=2.10.4,build=4711,name=Bench", 2, 10, 4, 4711, "Bench"},
        {0xA3, "serial=A3,address=10,version=3.0.1,build=0xFFFFFFFF,name=New", 3, 0, 1, 0xFFFFFFFF,
         "New"},
        {0xA4, "serial=A4,address=12,version=1.15.200,build=5,name=Old", 1, 15, 200, 5, ""},
    };
    std::vector<std::string> specs;
    for (const Case& c : cases)
        specs.push_back(c.spec);
    auto sim = startSim(specs);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        Questioned q(sim->tcpPort(c.serial), c.serial);
        ASSERT_EQ(q.connected, aErrNone);
        DeviceInfo info;
        EXPECT_EQ(_get_build_number(q.module), c.build);
        ASSERT_EQ(_get_version(q.module, info), aErrNone);
        EXPECT_EQ(info.major, c.major);
        EXPECT_EQ(info.minor, c.minor);
        EXPECT_EQ(info.patch, c.patch);
        EXPECT_EQ(info.spec.module, q.module.getModuleAddress());
        EXPECT_EQ(info.spec.router, q.module.getModuleAddress());
        EXPECT_EQ(_get_device_name(q.module, info), aErrNone);
        EXPECT_EQ(info.deviceName, c.name);
        EXPECT_TRUE(q.display.messages.empty());
    }
}

// The name is taken as long as the module says, zero bytes included; one
// that does not fit 32 bytes is an error.
TEST(updaterDiscovery, NameBytesAsSent) {
    auto sim = startSim({"serial=B1,address=4,version=2.10.4"});
    Questioned q(sim->tcpPort(0xB1), 0xB1);
    ASSERT_EQ(q.connected, aErrNone);
    SystemClass system;
    system.init(&q.module, 0);
    DeviceInfo info;
    ASSERT_EQ(_get_version(q.module, info), aErrNone);

    const std::string withZero("Rack\0 7", 7);
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(withZero.data()), withZero.size()),
              aErrNone);
    ASSERT_EQ(_get_device_name(q.module, info), aErrNone);
    EXPECT_EQ(info.deviceName, withZero);

    const std::string full(32, 'n');
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(full.data()), full.size()), aErrNone);
    ASSERT_EQ(_get_device_name(q.module, info), aErrNone);
    EXPECT_EQ(info.deviceName, full);

    const std::string tooLong(33, 'x');
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(tooLong.data()), tooLong.size()),
              aErrNone);
    info.deviceName = "kept";
    EXPECT_EQ(_get_device_name(q.module, info), aErrMemory);
    EXPECT_EQ(info.deviceName, "kept");
}

// A build request that gets no answer costs one wait and gives 0; version and
// name are read all the same.
TEST(updaterDiscovery, UnansweredBuildRequest) {
    modsim::SimConfig config;
    config.modules.push_back(
        modsim::parseModuleSpec("serial=C1,address=6,version=2.12.0,build=99,name=Quiet", false));
    // The first request after the address query is the build request.
    config.modules.back().faults.push_back(modsim::parseFault("ignore:any"));
    modsim::Simulator sim(config);
    sim.open();
    sim.start();

    Questioned q(sim.tcpPort(0xC1), 0xC1);
    ASSERT_EQ(q.connected, aErrNone);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(_get_build_number(q.module), 0u);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    EXPECT_EQ(apitest::counter(sim, "000000C1", "faults_fired"), 1);

    DeviceInfo info;
    ASSERT_EQ(_get_version(q.module, info), aErrNone);
    EXPECT_EQ(info.minor, 12);
    ASSERT_EQ(_get_device_name(q.module, info), aErrNone);
    EXPECT_EQ(info.deviceName, "Quiet");
    EXPECT_EQ(_get_build_number(q.module), 99u);
}

// Build answers of every length: only six data bytes carry a build number.
TEST(updaterDiscovery, BuildAnswerLengths) {
    struct Case {
        std::vector<uint8_t> answer;
        unsigned build;
    } cases[] = {
        {{0x49, 0xFF, 0x00, 0x01, 0x02, 0x03}, 0x00010203u},
        {{0x49, 0xFF, 0x80, 0x00, 0x00, 0x01}, 0x80000001u},
        {{0x49, 0xFF, 0x01, 0x02, 0x03}, 0},
        {{0x49, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05}, 0},
        {{0x49, 0xFF}, 0},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer(6, [&](const Pkt& p) {
            return p.data == std::vector<uint8_t>{0x49, 0xFF} ? std::vector<Pkt>{{6, c.answer}}
                                                              : std::vector<Pkt>{};
        });
        Questioned q(peer.port(), 1);
        ASSERT_EQ(q.connected, aErrNone);
        EXPECT_EQ(_get_build_number(q.module), c.build) << c.answer.size() << " bytes";
        ASSERT_TRUE(peer.awaitReceived(1));
        EXPECT_EQ(peer.received()[0], (Pkt{6, {0x49, 0xFF}}));
    }
}

// A module object that is not connected: nothing is read.
TEST(updaterDiscovery, UnconnectedModule) {
    Module module(2, true, 0);
    DeviceInfo info;
    EXPECT_EQ(_get_build_number(module), 0u);
    EXPECT_NE(_get_version(module, info), aErrNone);
    EXPECT_EQ(info.major, 0);
    EXPECT_EQ(info.spec.module, 0u);
    // Firmware too old for names asks nothing; newer firmware fails.
    EXPECT_EQ(_get_device_name(module, info), aErrNone);
    info.major = 2;
    info.minor = 10;
    info.patch = 4;
    EXPECT_NE(_get_device_name(module, info), aErrNone);
    EXPECT_TRUE(info.deviceName.empty());
}

}  // namespace
