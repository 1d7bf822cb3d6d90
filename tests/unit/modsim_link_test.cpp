// Link behaviour of a simulated module: synchronisation replies, route
// forcing, heartbeats, and answers streamed back to back.
#include <gtest/gtest.h>
#include <sys/un.h>

#include "unit/modsim_host.h"

using namespace modsim_test;

TEST(modsimLink, AnswersEachSyncRequestWithAZeroLengthPacketFromItsAddress) {
    auto sim = startSim({spec("serial=40F5849A,address=4,transport=none")});
    Host host(sim->connectStream(0x40F5849A));
    host.sendRaw({0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0});
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(host.receive(), (Pkt{4, {}})) << i;
    EXPECT_TRUE(host.silentFor(50));
    EXPECT_EQ(sim->state()["modules"]["40F5849A"]["counters"]["sync_requests"], 6);
}

TEST(modsimLink, TakesRouteForcingWithoutAnswer) {
    auto sim = startSim({spec("serial=1,transport=none")});
    Host host(sim->connectStream(1));
    host.send(0xAF, {1});
    host.send(0xAF, {0});
    EXPECT_TRUE(host.silentFor(50));
    auto counters = sim->state()["modules"]["00000001"]["counters"];
    EXPECT_EQ(counters["route_forcing_on"], 1);
    EXPECT_EQ(counters["route_forcing_off"], 1);
}

TEST(modsimLink, AnswersAPoolOfRequestsWrittenAtOnceInOrder) {
    auto sim = startSim({spec("serial=1,model=21,build=77,transport=none")});
    Host host(sim->connectStream(1));
    Bytes pool{0xAD, 0, 2, 3, 3, 0x48, 0x20, 2, 2, 0x49, 0xFF, 0xAD, 0};
    host.sendRaw(pool);
    EXPECT_EQ(host.receive(), (Pkt{2, {}}));
    EXPECT_EQ(host.receive(), (Pkt{2, {3, 8, 0, 21}}));
    EXPECT_EQ(host.receive(), (Pkt{2, {0x49, 0xFF, 0, 0, 0, 77}}));
    EXPECT_EQ(host.receive(), (Pkt{2, {}}));
}

TEST(modsimLink, SkipsAFramingErrorAndCarriesOn) {
    auto sim = startSim({spec("serial=1,transport=none")});
    Host host(sim->connectStream(1));
    // A zero address byte cannot start a packet; a length of 29 is too long.
    host.sendRaw({0, 2, 29, 0xAD, 0});
    EXPECT_EQ(host.receive(), (Pkt{2, {}}));
    EXPECT_GE(sim->state()["modules"]["00000001"]["counters"]["framing_errors"], 2);
}

struct HeartbeatCase {
    const char* spec;
    uint8_t beat;
    uint8_t reply;
};

class modsimHeartbeat : public ::testing::TestWithParam<HeartbeatCase> {};

TEST_P(modsimHeartbeat, SendsHeartbeatsAndChecksTheReplies) {
    auto sim = startSim({spec(GetParam().spec)});
    Host host(sim->connectStream(1));
    auto beat = host.receive(1000);
    ASSERT_TRUE(beat);
    EXPECT_EQ(*beat, (Pkt{2, {0, GetParam().beat}}));
    host.send(2, {0, GetParam().reply});
    auto second = host.receive(1000);
    ASSERT_TRUE(second);  // a second beat, and this time no reply
    auto third = host.receive(1000);
    ASSERT_TRUE(third);
    auto counters = sim->state()["modules"]["00000001"]["counters"];
    EXPECT_EQ(counters["heartbeat_replies"], 1);
    EXPECT_GE(counters["heartbeats_missed"], 1);
    host.send(2, {0, uint8_t(GetParam().reply ^ 1)});  // the wrong acknowledgement
    host.barrier();
    EXPECT_EQ(sim->state()["modules"]["00000001"]["counters"]["heartbeat_bad_replies"], 1);
}

INSTANTIATE_TEST_SUITE_P(
    UpAndDown, modsimHeartbeat,
    ::testing::Values(HeartbeatCase{"serial=1,heartbeat=40,transport=none", 0, 2},
                      HeartbeatCase{"serial=1,heartbeat=40,heartbeat-down=1,transport=none", 1, 3}),
    [](const auto& info) { return info.param.beat ? "Down" : "Up"; });

TEST(modsimLink, TcpListenerServesOneLinkPerConnection) {
    auto sim = startSim({spec("serial=1,address=6")});
    uint16_t port = sim->tcpPort(1);
    ASSERT_NE(port, 0);
    Host a(Host::dialTcp(port)), b(Host::dialTcp(port));
    EXPECT_EQ(a.ask(0xAD, {}), (Pkt{6, {}}));
    EXPECT_EQ(b.ask(0xAD, {}), (Pkt{6, {}}));
    EXPECT_EQ(sim->state()["modules"]["00000001"]["counters"]["connections"], 2);
}

TEST(modsimLink, UnixSocketIsAPlainBytePipe) {
    const std::string path = "/tmp/modsim_link_test_" + std::to_string(getpid()) + ".sock";
    auto sim = startSim({spec("serial=1,address=8,transport=unix,path=" + path)});
    EXPECT_EQ(sim->path(1), path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    Host host(fd);
    host.sendRaw({0xAD, 0, 8, 3, 3, 0x40 | 8, 0x20});  // two packets in one transfer
    EXPECT_EQ(host.receive(), (Pkt{8, {}}));
    EXPECT_EQ(host.receive(), (Pkt{8, {3, 8, 0, 17}}));
    sim.reset();
    EXPECT_NE(access(path.c_str(), F_OK), 0);  // the socket file goes with the simulator
}

TEST(modsimLink, ResetThroughTheSystemEntityDropsTheLinkAndComesBack) {
    auto sim = startSim({spec("serial=1,reboot-ms=50")});
    const uint16_t port = sim->tcpPort(1);
    Host host(Host::dialTcp(port));
    EXPECT_EQ(host.ask(2, {3, 0x80 | 11, 0x20}), (Pkt{2, {3, 0xC0 | 11, 0}}));
    EXPECT_TRUE(host.closedWithin(1000));
    bool back = false;
    for (int i = 0; i < 100 && !back; ++i) {
        int fd = Host::dialTcp(port);
        if (fd >= 0) {
            Host again(fd);
            back = again.ask(0xAD, {}) == Pkt{2, {}};
        } else {
            usleep(10000);
        }
    }
    EXPECT_TRUE(back);
    EXPECT_EQ(sim->state()["modules"]["00000001"]["counters"]["resets"], 1);
}
