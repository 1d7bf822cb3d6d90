// Each fault a simulated module can inject, seen from the host's side.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "unit/modsim_host.h"

using namespace modsim_test;

namespace {

std::unique_ptr<modsim::Simulator> simWith(const std::string& moduleSpec,
                                           std::vector<std::string> faults) {
    auto m = spec(moduleSpec);
    for (const auto& f : faults)
        m.faults.push_back(modsim::parseFault(f));
    return startSim({m});
}

const Bytes kPrepare{95, 3, 0, 0, 0, 0x10, 0};
const Bytes kData{95, 1, 1, 2, 3, 4};
const Pkt kDataOk{2, {95, 1, 4}};
const Pkt kSum10{2, {95, 7, 0, 0, 0, 0, 10}};

// INIT, PREPARE and one DATA packet of 1+2+3+4.
void startBlock(Host& host) {
    ASSERT_TRUE(host.ask(2, {95, 0}));
    ASSERT_EQ(host.ask(2, kPrepare), (Pkt{2, {95, 7, 0, 4, 0}}));
    ASSERT_EQ(host.ask(2, kData), kDataOk);
}

std::unique_ptr<Host> dialWhenBack(uint16_t port, int attempts = 100) {
    for (int i = 0; i < attempts; ++i) {
        int fd = Host::dialTcp(port);
        if (fd >= 0)
            return std::make_unique<Host>(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

}  // namespace

TEST(modsimFaults, DropAfterNPacketsClosesTheLinkOnceAndTheModuleStaysReachable) {
    auto sim = simWith("serial=1", {"drop-after:3"});
    Host host(Host::dialTcp(sim->tcpPort(1)));
    EXPECT_EQ(host.ask(0xAD, {}), (Pkt{2, {}}));
    EXPECT_EQ(host.ask(0xAD, {}), (Pkt{2, {}}));
    host.send(0xAD, {});
    EXPECT_TRUE(host.closedWithin(1000));
    Host again(Host::dialTcp(sim->tcpPort(1)));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(again.ask(0xAD, {}), (Pkt{2, {}}));
}

TEST(modsimFaults, DropInAPhaseClosesTheLinkInsteadOfAnswering) {
    auto sim = simWith("serial=1", {"drop-in:sum"});
    Host host(Host::dialTcp(sim->tcpPort(1)));
    startBlock(host);
    host.send(2, {95, 4});
    EXPECT_TRUE(host.closedWithin(1000));

    auto second = simWith("serial=1,transport=none", {"drop-in:write@2"});
    Host h2(second->connectStream(1));
    startBlock(h2);
    EXPECT_EQ(h2.ask(2, {95, 5, 0, 4}), (Pkt{2, {95, 7, 0}}));
    ASSERT_EQ(h2.ask(2, kData), kDataOk);
    h2.send(2, {95, 5, 0, 4});
    EXPECT_TRUE(h2.closedWithin(1000));
}

TEST(modsimFaults, IgnoreLeavesTheChosenRequestsUnanswered) {
    auto sim = simWith("serial=1,transport=none", {"ignore:sum"});
    Host host(sim->connectStream(1));
    startBlock(host);
    host.send(2, {95, 4});
    EXPECT_TRUE(host.silentFor(100));
    EXPECT_EQ(host.ask(2, {95, 4}), kSum10);  // only the first, by default

    auto every = simWith("serial=1,transport=none", {"ignore:data@*"});
    Host h2(every->connectStream(1));
    ASSERT_TRUE(h2.ask(2, kPrepare));
    for (int i = 0; i < 3; ++i) {
        h2.send(2, kData);
        EXPECT_TRUE(h2.silentFor(30)) << i;
    }
    EXPECT_EQ(h2.ask(2, {95, 4}), (Pkt{2, {95, 7, 0, 0, 0, 0, 0}}));
}

TEST(modsimFaults, CorruptFlipsOneByteOfTheChosenAnswer) {
    auto sim = simWith("serial=40F5849A,transport=none", {"corrupt@2", "corrupt:3@3"});
    Host host(sim->connectStream(0x40F5849A));
    EXPECT_EQ(host.ask(0xAD, {}), (Pkt{2, {}}));
    EXPECT_EQ(host.ask(2, {3, 0x40 | 9, 0x20}), (Pkt{2, {3, 9, 0, 0x40, 0xF5, 0x84, 0x65}}));
    EXPECT_EQ(host.ask(2, {3, 0x40 | 9, 0x20}), (Pkt{2, {3, 0xF6, 0, 0x40, 0xF5, 0x84, 0x9A}}));
    EXPECT_EQ(host.ask(2, {3, 0x40 | 9, 0x20}), (Pkt{2, {3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}}));
}

TEST(modsimFaults, DelayHoldsAnswersBack) {
    auto sim = simWith("serial=1,transport=none", {"delay:150"});
    Host host(sim->connectStream(1));
    auto start = std::chrono::steady_clock::now();
    host.send(0xAD, {});
    EXPECT_TRUE(host.silentFor(100));
    EXPECT_EQ(host.receive(2000), (Pkt{2, {}}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

TEST(modsimFaults, BadDataCountReportsOneByteLessAndKeepsNone) {
    auto sim = simWith("serial=1,transport=none", {"bad-data-count"});
    Host host(sim->connectStream(1));
    ASSERT_TRUE(host.ask(2, kPrepare));
    EXPECT_EQ(host.ask(2, kData), (Pkt{2, {95, 1, 3}}));
    EXPECT_EQ(host.ask(2, kData), kDataOk);  // sent again, as a host does
    EXPECT_EQ(host.ask(2, {95, 4}), kSum10);
}

struct StatusCase {
    const char* fault;
    Bytes request;
    Pkt answer;
};

TEST(modsimFaults, WrongSumsStatusesAndBlockSizes) {
    const StatusCase cases[] = {
        {"bad-sum", {95, 4}, {2, {95, 7, 0, 0, 0, 0, 11}}},
        {"write-status:3", {95, 5, 0, 4}, {2, {95, 7, 3}}},
    };
    for (const auto& c : cases) {
        auto sim = simWith("serial=1,transport=none", {c.fault});
        Host host(sim->connectStream(1));
        startBlock(host);
        EXPECT_EQ(host.ask(2, c.request), c.answer) << c.fault;
        EXPECT_EQ(sim->state()["modules"]["00000001"]["counters"]["flash_bytes_written"], nullptr)
            << c.fault;
    }
    const StatusCase prepares[] = {
        {"prepare-status:5", kPrepare, {2, {95, 7, 5, 4, 0}}},
        {"block-size-0", kPrepare, {2, {95, 7, 0, 0, 0}}},
    };
    for (const auto& c : prepares) {
        auto sim = simWith("serial=1,transport=none", {c.fault});
        Host host(sim->connectStream(1));
        EXPECT_EQ(host.ask(2, c.request), c.answer) << c.fault;
        EXPECT_EQ(host.ask(2, c.request), (Pkt{2, {95, 7, 0, 4, 0}})) << c.fault << " (second)";
    }
}

TEST(modsimFaults, BusyRefusesASecondConnectionWhileOneIsOpen) {
    auto sim = simWith("serial=1", {"busy"});
    const uint16_t port = sim->tcpPort(1);
    auto first = std::make_unique<Host>(Host::dialTcp(port));
    EXPECT_EQ(first->ask(0xAD, {}), (Pkt{2, {}}));
    Host second(Host::dialTcp(port));
    EXPECT_TRUE(second.closedWithin(1000));
    first.reset();
    bool served = false;
    for (int i = 0; i < 100 && !served; ++i) {
        Host third(Host::dialTcp(port));
        served = third.ask(0xAD, {}, 100) == Pkt{2, {}};
    }
    EXPECT_TRUE(served);
    EXPECT_GE(sim->state()["modules"]["00000001"]["counters"]["refused_busy"], 1);
}

TEST(modsimFaults, NoReturnKeepsTheModuleAwayAfterReboot) {
    auto sim = simWith("serial=1,reboot-ms=20", {"no-return"});
    const uint16_t port = sim->tcpPort(1);
    Host host(Host::dialTcp(port));
    host.send(2, {95, 6});
    EXPECT_TRUE(host.closedWithin(1000));
    EXPECT_FALSE(dialWhenBack(port, 20));  // 200 ms, ten times the reboot time
}
