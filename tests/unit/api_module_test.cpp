// Module and Link against simulated modules over TCP on 127.0.0.1: connecting
// by specification, learning the module address, sharing one link between a
// router and the modules behind it, raw packets and module information.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "api/Entity.h"
#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aLink.h"
#include "unit/api_support.h"

using namespace apitest;
using Vexmoran::Quillarex::Link;
using Vexmoran::Quillarex::SystemClass;

namespace {

constexpr const char* kBench = "serial=40F5849A,model=17,address=6,version=2.14.7,build=4711";

TEST(apiModule, ConnectsBySpecificationAndLearnsItsAddress) {
    auto sim = startSim({kBench});
    Module module(0, 0);
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    linkSpec none{};
    EXPECT_EQ(module.getLinkSpecifier(&none), aErrNotFound);

    const linkSpec spec = tcpSpec(0x40F5849A, sim->tcpPort(0x40F5849A));
    ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getStatus(), 2u);
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec stored{};
    ASSERT_EQ(module.getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(memcmp(&stored, &spec, sizeof spec), 0);

    // Connected: the specification and the configuration stay as they are.
    EXPECT_EQ(module.connectFromSpec(spec), aErrBusy);
    EXPECT_EQ(module.getLink()->connect(), aErrConnection);
    EXPECT_EQ(module.setConfig(directOnly()), aErrMode);
    EXPECT_EQ(module.getLink()->setLinkSpecifier(spec), aErrBusy);

    // After a disconnect the stored specification connects again.
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), 8u);
    module.setModuleAddress(0);
    ASSERT_EQ(module.reconnect(), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    EXPECT_EQ(counter(*sim, "40F5849A", "connections"), 2);
}

TEST(apiModule, RefusedSpecificationsAndParameters) {
    Module module(2, 0);
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    EXPECT_EQ(module.connect(USB, 0), aErrParam);
    NimbusConfig config;
    EXPECT_EQ(module.getConfig(nullptr), aErrParam);
    ASSERT_EQ(module.getConfig(&config), aErrNone);
    EXPECT_FALSE(config.enabled);

    struct Case {
        linkType type;
        aErr expected;
    } cases[] = {{INVALID, aErrMode},
                 {static_cast<linkType>(9), aErrMode},
                 {NIMBUS, aErrConfiguration},
                 {NIMBUS_USB, aErrConfiguration}};
    for (const Case& c : cases) {
        linkSpec spec{};
        spec.type = c.type;
        EXPECT_EQ(module.connectFromSpec(spec), c.expected) << c.type;
        EXPECT_FALSE(module.isConnected());
    }
    // Nothing listens: the link cannot be made.
    linkSpec closed = tcpSpec(1, 1);
    EXPECT_EQ(module.connectFromSpec(closed), aErrConnection);
    EXPECT_FALSE(module.isConnected());
    linkSpec kept{};
    ASSERT_EQ(module.getLinkSpecifier(&kept), aErrNone);
    EXPECT_EQ(kept.serial_num, 1u);
}

// Sharing a direct link needs the network server, which is not there: the
// connect fails cleanly and leaves no link behind.
TEST(apiModule, SharingADirectLinkFailsCleanly) {
    auto sim = startSim({kBench});
    Module module(0, 0);
    NimbusConfig config;
    config.fallback = false;
    ASSERT_TRUE(config.enabled);
    ASSERT_EQ(module.setConfig(config), aErrNone);
    EXPECT_EQ(module.connectFromSpec(tcpSpec(0x40F5849A, sim->tcpPort(0x40F5849A))),
              aErrConnection);
    EXPECT_FALSE(module.isConnected());

    // The module's connection was closed again: a direct connect now gets
    // a fresh link rather than a left-over entry.
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    EXPECT_EQ(module.reconnect(), aErrNone);
    EXPECT_TRUE(module.isConnected());
}

// A module that never answers the address query: four attempts, then
// aErrNotReady while the link itself stays up.
TEST(apiModule, SilentModuleGivesNotReadyWithTheLinkUp) {
    ScriptedPeer silent(0);
    Module module(8, 0);
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    EXPECT_EQ(module.connectFromSpec(tcpSpec(5, silent.port())), aErrNotReady);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), 8);
    uint8_t address = 99;
    EXPECT_EQ(module.getLink()->getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);

    // With networking mode off nobody asks.
    Module quiet(8, false, 0);
    ASSERT_EQ(quiet.setConfig(directOnly()), aErrNone);
    EXPECT_EQ(quiet.connectFromSpec(tcpSpec(5, silent.port())), aErrNone);
}

// Two modules connected to one module share one link-engine entry; the
// entry lives until the last of them lets go.
TEST(apiModule, TwoModulesShareOneEntry) {
    auto sim = startSim({kBench});
    const linkSpec spec = tcpSpec(0x40F5849A, sim->tcpPort(0x40F5849A));
    auto first = std::make_unique<Module>(0, 0);
    Module second(0, 0);
    ASSERT_EQ(first->setConfig(directOnly()), aErrNone);
    ASSERT_EQ(second.setConfig(directOnly()), aErrNone);
    ASSERT_EQ(first->connectFromSpec(spec), aErrNone);
    ASSERT_EQ(second.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(counter(*sim, "40F5849A", "connections"), 1);
    first.reset();
    SystemClass system;
    system.init(&second, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
}

TEST(apiModule, ThroughARouterModule) {
    auto sim = startSim({"serial=00000F00,model=27,address=4"},
                        {"serial=00000A06,i2c=6,model=13,build=66"});
    Module router(0, 0);
    ASSERT_EQ(router.setConfig(directOnly()), aErrNone);
    ASSERT_EQ(router.connectFromSpec(tcpSpec(0x0F00, sim->tcpPort(0x0F00))), aErrNone);
    EXPECT_EQ(router.getModuleAddress(), 4);

    Module sub(6, false, 0);
    Module unlinked(8, false, 0);
    EXPECT_EQ(unlinked.connectThroughLinkModule(&sub), aErrNotFound);  // sub has no specification
    ASSERT_EQ(sub.connectThroughLinkModule(&router), aErrNone);
    EXPECT_TRUE(sub.isConnected());
    EXPECT_EQ(sub.getModuleAddress(), 6);
    EXPECT_EQ(sub.connectThroughLinkModule(&router), aErrNone);  // already connected
    EXPECT_EQ(counter(*sim, "00000F00", "connections"), 1);

    SystemClass subSystem, routerSystem;
    subSystem.init(&sub, 0);
    routerSystem.init(&router, 0);
    uint32_t serial = 0;
    ASSERT_EQ(subSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0A06u);
    uint8_t address = 0;
    ASSERT_EQ(subSystem.getModule(&address), aErrNone);
    EXPECT_EQ(address, 6);
    uint32_t build = 0;
    ASSERT_EQ(sub.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 66u);
    ASSERT_EQ(routerSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0F00u);

    // The router lets go; the sub-module keeps the shared link.
    EXPECT_EQ(router.disconnect(), aErrNone);
    EXPECT_TRUE(sub.isConnected());
    ASSERT_EQ(subSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0A06u);
}

TEST(apiModule, RawPacketsAndModuleInformation) {
    auto sim = startSim({kBench});
    Module module(0, 0);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.getBuild(nullptr), aErrParam);
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(0x40F5849A, sim->tcpPort(0x40F5849A))), aErrNone);
    Link* link = module.getLink();

    uint8_t data[28] = {};
    EXPECT_EQ(link->sendPacket(3, 0x49, 0, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(0, 0x49, 0, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(6, 0x49, 28, data), aErrParam);
    uint8_t length = 1;
    EXPECT_EQ(link->receivePacket(5, data, &length, data), aErrPacket);

    ASSERT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4711u);

    // hasUEI: the module's answer is the result; flags hold bit 6 or 7.
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), aErrNone);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x80), aErrInvalidOption);  // read-only
    EXPECT_EQ(module.hasUEI(3, 9, 1, 0x40), aErrIndexRange);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0xC0), aErrParam);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x01), aErrParam);

    uint8_t count = 99;
    ASSERT_EQ(module.classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(module.subClassQuantity(3, 0, &count), aErrNone);
    EXPECT_GT(count, 20);
    uint8_t group = 99;
    ASSERT_EQ(module.entityGroup(3, 0, &group), aErrNone);
    EXPECT_EQ(group, 0);

    const uint8_t echo[] = {1, 2, 3, 0xFE};
    EXPECT_EQ(module.debug(echo, sizeof echo), aErrNone);
    EXPECT_EQ(module.debug(nullptr, 0), aErrNone);
    uint8_t longest[28];
    for (uint8_t i = 0; i < sizeof longest; ++i)
        longest[i] = uint8_t(0xA0 + i);
    EXPECT_EQ(module.debug(longest, 27), aErrNone);
    EXPECT_EQ(module.debug(longest, 28), aErrParam);

    // A raw exchange: the reply is matched on its first bytes.
    const uint8_t ask[] = {0xFF};
    ASSERT_EQ(link->sendPacket(6, 0x49, 1, ask), aErrNone);
    const uint8_t match[] = {0x49, 0xFF};
    length = 2;
    ASSERT_EQ(link->receivePacket(6, match, &length, data), aErrNone);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(data[5], 4711 & 0xFF);
    length = 2;
    EXPECT_EQ(link->receivePacket(6, match, &length, data), aErrTimeout);
}

// Module-information answers the simulator never gives: malformed ones.
TEST(apiModule, MalformedInformationAnswers) {
    ScriptedPeer peer(2, [](const Pkt& p) -> std::vector<Pkt> {
        if (p.data == Bytes{0x49, 0xFF})
            return {{2, {0x49, 0xFF, 1, 2, 3}}};  // one byte short
        if (p.data.size() >= 2 && p.data[0] == 0x49 && p.data[1] == 0x04)
            return {{2, {0x49, 0x04, p.data[2]}}};
        if (p.data.size() >= 2 && p.data[0] == 0x49 && p.data[1] == 0x01)
            return {{2, {0x49, 0x01, 9, 9, 9, 0}}};  // another entity
        if (p.data.size() >= 1 && p.data[0] == 0x17)
            return {{2, {0x17, 1, 2}}};  // echo cut short
        return {};
    });
    Module module(0, 0);
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(7, peer.port())), aErrNone);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrSize);
    uint8_t count = 5;
    EXPECT_EQ(module.classQuantity(3, &count), aErrUnknown);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module.hasUEI(3, 1, 0, 0x40), aErrUnknown);
    const uint8_t echo[] = {1, 2, 3};
    EXPECT_EQ(module.debug(echo, sizeof echo), aErrIO);
    EXPECT_EQ(module.subClassQuantity(3, 0, &count), aErrTimeout);
}

TEST(apiModule, PacketLogWritesItsLines) {
    auto sim = startSim({kBench});
    Module module(0, 0);
    EXPECT_EQ(module.getLink()->enablePacketLog("/nonexistent"), aErrConfiguration);
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    ASSERT_EQ(module.connectFromSpec(tcpSpec(0x40F5849A, sim->tcpPort(0x40F5849A))), aErrNone);
    char path[] = "/tmp/qx-packetlog-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(module.enablePacketLog(path), aErrNone);
    uint32_t build = 0;
    ASSERT_EQ(module.getBuild(&build), aErrNone);
    // The logger thread writes within a few milliseconds; wait for both lines.
    std::string text;
    for (int i = 0; i < 200; ++i) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        text = s.str();
        if (text.find("8 < 0x6 0x6 0x49 0xFF 0x0 0x0 0x12 0x67") != std::string::npos)
            break;
        usleep(10000);
    }
    EXPECT_EQ(module.disablePacketLog(), aErrNone);
    EXPECT_EQ(text.rfind("6 < START", 0), 0u) << text;
    EXPECT_NE(text.find("4 > 0x6 0x2 0x49 0xFF \r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("8 < 0x6 0x6 0x49 0xFF 0x0 0x0 0x12 0x67 \r\n"), std::string::npos) << text;
    unlink(path);
}

}  // namespace
