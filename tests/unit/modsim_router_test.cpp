// A router with modules on its I2C network: probes succeed only where a
// module sits, and packets for those modules are answered over the router's
// link while routing to the host is on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "unit/modsim_host.h"

using namespace modsim_test;

namespace {

modsim::ModuleConfig routerWithTwo(const std::string& extraSub = "") {
    auto router = spec("serial=00000F00,address=4,model=27,transport=none");
    router.subModules.push_back(
        modsim::parseModuleSpec("serial=00000A06,i2c=6,model=13,build=66" + extraSub, true));
    router.subModules.push_back(modsim::parseModuleSpec("serial=00000A0A,i2c=10,model=14", true));
    return router;
}

Bytes i2cWrite(uint8_t address) {
    return {8, 0, address, 2, 3, 0, 0};
}

}  // namespace

TEST(modsimRouter, I2CWritesSucceedOnlyWhereAModuleSits) {
    auto sim = startSim({routerWithTwo()});
    Host host(sim->connectStream(0x0F00));
    std::vector<int> answering;
    for (int a = 2; a <= 252; a += 2) {
        auto reply = host.ask(4, i2cWrite(uint8_t(a)));
        ASSERT_TRUE(reply) << a;
        ASSERT_EQ(reply->data.size(), 5u);
        EXPECT_EQ(Bytes(reply->data.begin(), reply->data.begin() + 4),
                  (Bytes{8, 0, uint8_t(a), 0}));
        if (reply->data[4] == 0)
            answering.push_back(a);
        else
            EXPECT_TRUE(reply->data[4] & 0x80) << a;
    }
    EXPECT_EQ(answering, (std::vector<int>{6, 10}));
    // Reads, the pull-up and over-long requests.
    EXPECT_EQ(host.ask(4, {8, 0, 7, 2, 3}), (Pkt{4, {8, 0, 7, 2, 0, 0, 0}}));
    EXPECT_EQ(host.ask(4, {8, 0, 9, 2, 3}), (Pkt{4, {8, 0, 9, 0, 0x86}}));
    EXPECT_EQ(host.ask(4, {8, 0, 1, 1}), (Pkt{4, {8, 0, 1, 1, 0}}));
    EXPECT_EQ(host.ask(4, {8, 0, 7, 24, 3}), (Pkt{4, {8, 0, 7, 0, 0x8E}}));
}

TEST(modsimRouter, AnswersForSubModulesOnlyWhileRoutingIsOn) {
    auto sim = startSim({routerWithTwo()});
    Host host(sim->connectStream(0x0F00));
    const Bytes getSerial{3, 0x40 | 9, 0x20};
    host.send(6, getSerial);
    EXPECT_TRUE(host.silentFor(50));

    host.send(0xAF, {1});  // route forcing, as a host sends it when a link starts
    EXPECT_EQ(host.ask(6, getSerial), (Pkt{6, {3, 9, 0, 0, 0, 0x0A, 0x06}}));
    EXPECT_EQ(host.ask(10, getSerial), (Pkt{10, {3, 9, 0, 0, 0, 0x0A, 0x0A}}));
    EXPECT_EQ(host.ask(6, {3, 0x40 | 1, 0x20}), (Pkt{6, {3, 1, 0, 6}}));  // its module address
    EXPECT_EQ(host.ask(6, {3, 0x40 | 2, 0x20}), (Pkt{6, {3, 2, 0, 4}}));  // its router
    EXPECT_EQ(host.ask(6, {0x49, 0xFF}), (Pkt{6, {0x49, 0xFF, 0, 0, 0, 66}}));
    EXPECT_EQ(host.ask(6, {3, 0x40 | 8, 0x20}), (Pkt{6, {3, 8, 0, 13}}));
    EXPECT_EQ(host.ask(0xAD, {}), (Pkt{4, {}}));  // the link's own module is the router
    host.send(0xAF, {0});
    host.send(6, getSerial);
    EXPECT_TRUE(host.silentFor(50));

    // routeToMe switches it on as well, for this link.
    EXPECT_EQ(host.ask(4, {3, 0x80 | 20, 0x20, 1}), (Pkt{4, {3, 0xC0 | 20, 0}}));
    EXPECT_EQ(host.ask(10, getSerial), (Pkt{10, {3, 9, 0, 0, 0, 0x0A, 0x0A}}));
    Host other(sim->connectStream(0x0F00));
    other.send(10, getSerial);
    EXPECT_TRUE(other.silentFor(50));
    EXPECT_EQ(host.ask(4, {3, 0x80 | 20, 0x20, 0}), (Pkt{4, {3, 0xC0 | 20, 0}}));
    host.send(10, getSerial);
    EXPECT_TRUE(host.silentFor(50));
    EXPECT_EQ(sim->state()["modules"]["00000F00"]["counters"]["routed_packets"], 7);
}

TEST(modsimRouter, ASubModuleRebootsBehindTheRouterIntoItsNewImage) {
    auto sim = startSim({routerWithTwo(",reboot-ms=400,load-drop=50")});
    Host host(sim->connectStream(0x0F00));
    host.send(0xAF, {1});
    ASSERT_TRUE(host.ask(6, {95, 0}));
    // Behind a router, LOAD is answered at once: there is no own link to drop.
    ASSERT_EQ(host.ask(6, {95, 2}), (Pkt{6, {95, 2}}));
    ASSERT_TRUE(host.ask(6, {95, 3, 0, 0, 0, 0, 0}));
    Bytes image(0x110, 0x5A);
    const Bytes header{'F', 'W', 'I', 'D', 0x2F, 2, 0x10, 3, 0, 0, 0x30, 0x39};
    std::copy(header.begin(), header.end(), image.begin() + 0x100);
    for (size_t pos = 0; pos < image.size(); pos += 26) {
        size_t n = std::min<size_t>(26, image.size() - pos);
        Bytes d(image.begin() + pos, image.begin() + pos + n);
        d.insert(d.begin(), {95, 1});
        ASSERT_EQ(host.ask(6, d), (Pkt{6, {95, 1, uint8_t(n)}}));
    }
    ASSERT_EQ(host.ask(6, {95, 5, 0x01, 0x10}), (Pkt{6, {95, 7, 0}}));
    host.send(6, {95, 6});

    // The router's link stays; the sub-module is gone from the network for a while.
    EXPECT_EQ(host.ask(4, i2cWrite(6)), (Pkt{4, {8, 0, 6, 0, 0x86}}));
    EXPECT_EQ(host.ask(0xAD, {}), (Pkt{4, {}}));
    bool back = false;
    for (int i = 0; i < 300 && !back; ++i) {
        back = host.ask(4, i2cWrite(6)) == Pkt{4, {8, 0, 6, 0, 0}};
        if (!back)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(back);
    EXPECT_EQ(host.ask(6, {0x49, 0xFF}), (Pkt{6, {0x49, 0xFF, 0, 0, 0x30, 0x39}}));
    EXPECT_EQ(host.ask(6, {3, 0x40 | 7, 0x20}), (Pkt{6, {3, 7, 0, 0x2F, 2, 0x10, 3}}));
    auto state = sim->state()["modules"];
    EXPECT_EQ(state["00000A06"]["version"], "2.16.3");
    EXPECT_EQ(state["00000A06"]["router"], "00000F00");
    EXPECT_EQ(state["00000A06"]["flash"]["sha256"], modsim::sha256Hex(image));
}
