// The link registry: shared, counted entries, identifiers that are never
// reused, creation that fails cleanly, unknown identifiers, and the packet
// log of a link.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aPacketLog.h"
#include "support/fake_stream.h"
#include "support/link_fixture.h"
#include "support/loopback.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr auto kPatience = 10s;
constexpr uint32_t kSerial = 0x40F5849A;

bool Any(const aPacket*, const void*) {
    return true;
}

uint32_t FakeLink() {
    return aLink_Create(qxtest::FakeStream::Make()->CreateStream());
}

TEST(linkRegistry, FirstLinkOfAProcessIsOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            uint32_t id = FakeLink();
            const bool first = id == 1;
            aLink_Destroy(&id);
            _exit(first ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(linkRegistry, TwoCreationsShareOneLinkUntilTheLastDestroy) {
    auto simulator = qxtest::StartSimulator({"serial=40F5849A,build=9"});
    const uint16_t port = simulator->tcpPort(kSerial);
    uint32_t first = aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), port);
    ASSERT_NE(first, 0u);
    uint32_t second = aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), port);
    EXPECT_EQ(second, first);
    const uint32_t id = first;
    EXPECT_TRUE(qxtest::WaitUntil(
        [&] { return qxtest::Counter(*simulator, kSerial, "connections") == 1; }, kPatience));

    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));
    EXPECT_EQ(aLink_Sync(id), aErrNone);

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_NO_STREAM));
    EXPECT_EQ(aLink_Destroy(&second), aErrParam);  // second is 0 now

    uint32_t again = aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), port);
    EXPECT_GT(again, id);
    EXPECT_TRUE(qxtest::WaitUntil(
        [&] { return qxtest::Counter(*simulator, kSerial, "route_forcing_on") == 2; }, kPatience));
    aLink_Destroy(&again);
}

// Creations from several threads at once still make one link per module.
TEST(linkRegistry, ConcurrentCreationsForOneModuleShareOneLink) {
    auto simulator = qxtest::StartSimulator({"serial=40F5849A"});
    const uint16_t port = simulator->tcpPort(kSerial);
    std::vector<std::future<uint32_t>> creations;
    for (int i = 0; i < 4; ++i) {
        creations.push_back(std::async(std::launch::async, [port] {
            return aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), port);
        }));
    }
    std::vector<uint32_t> ids;
    for (auto& creation : creations) {
        ids.push_back(creation.get());
    }
    ASSERT_NE(ids[0], 0u);
    for (uint32_t id : ids) {
        EXPECT_EQ(id, ids[0]);
    }
    const uint32_t id = ids[0];
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
        EXPECT_EQ(aLink_Destroy(&ids[i]), aErrNone);
        EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));
    }
    EXPECT_EQ(aLink_Destroy(&ids.back()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_NO_STREAM));
    EXPECT_EQ(qxtest::Counter(*simulator, kSerial, "connections"), 1);
}

TEST(linkRegistry, IdentifiersAreNeverReused) {
    uint32_t a = FakeLink();
    uint32_t b = FakeLink();
    uint32_t c = FakeLink();
    ASSERT_NE(a, 0u);
    EXPECT_GT(b, a);
    EXPECT_GT(c, b);
    const uint32_t old = c;
    aLink_Destroy(&b);
    aLink_Destroy(&c);
    uint32_t d = FakeLink();
    EXPECT_GT(d, old);
    // A creation that fails uses up its identifier too.
    EXPECT_EQ(aLink_CreateSerial(1, "/nonexistent/port", 115200), 0u);
    uint32_t e = FakeLink();
    EXPECT_GT(e, d + 1);
    EXPECT_EQ(aLink_GetStatus(d + 1), uint32_t(aLINK_STATUS_NO_STREAM));
    aLink_Destroy(&a);
    aLink_Destroy(&d);
    aLink_Destroy(&e);
}

TEST(linkRegistry, CreationsThatCannotWorkReturnZero) {
    // No USB module is ever found here.
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
    // A rate the port does not offer, a port that does not exist.
    EXPECT_EQ(aLink_CreateSerial(1, "/dev/null", 12345), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, "/nonexistent/port", 9600), 0u);
    EXPECT_EQ(aLink_CreateSerial(1, nullptr, 9600), 0u);
    // Nothing listens at this port.
    EXPECT_EQ(aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), qxtest::UnusedLoopbackPort()),
              0u);
    // No network client or server exists yet.
    EXPECT_EQ(aLink_CreateClient(qxtest::LoopbackAddress(), 9000, 0), 0u);
    EXPECT_EQ(aLink_Create(nullptr), 0u);

    uint32_t id = FakeLink();
    ASSERT_NE(id, 0u);
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    EXPECT_EQ(aLink_CreateServer(id, &port, &networkInterface, true), 0u);
    EXPECT_EQ(aLink_CreateServer(id, nullptr, &networkInterface, true), 0u);
    EXPECT_EQ(aLink_CreateServer(0, &port, &networkInterface, true), 0u);
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));
    aLink_Destroy(&id);
}

TEST(linkRegistry, ClientCreationWithAnIdentifierCountsOneMoreUse) {
    uint32_t id = FakeLink();
    ASSERT_NE(id, 0u);
    uint32_t user = aLink_CreateClient(0, 0, id);
    EXPECT_EQ(user, id);
    EXPECT_EQ(aLink_Destroy(&user), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));
    const uint32_t gone = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(aLink_CreateClient(0, 0, gone), 0u);
}

TEST(linkRegistry, UnknownIdentifiers) {
    uint32_t id = 0xFFFF0000u;
    EXPECT_EQ(aLink_Destroy(&id), aErrParam);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    const uint32_t unknown = 0xFFFF0000u;
    EXPECT_EQ(aLink_GetStatus(unknown), uint32_t(aLINK_STATUS_NO_STREAM));
    EXPECT_EQ(aLink_Sync(unknown), aErrParam);
    EXPECT_EQ(aLink_Reset(unknown), aErrParam);
    EXPECT_EQ(aLink_Start(unknown), aErrParam);
    EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);
    EXPECT_EQ(aLink_ForceRoute(unknown, true), aErrNotFound);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    aPacketRef packet = aPacket_CreateWithData(2, 0, reinterpret_cast<const uint8_t*>(""));
    EXPECT_EQ(aLink_PutPacket(unknown, packet), aErrParam);
    aPacket_Destroy(&packet);
    EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(unknown, 10), nullptr);
    EXPECT_EQ(aLink_GetFirst(unknown, Any, nullptr), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(unknown, Any, nullptr, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(unknown, Any, nullptr), 0u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, Any, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 10), aErrParam);
}

// ---- Packet log ----

TEST(linkPacketLog, SizeIsBoundedAndFixedOnceEnabled) {
    uint32_t id = FakeLink();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
    uint8_t kind = 0;
    uint32_t length = 0;
    EXPECT_EQ(aLink_PacketDebug_Read(id, &kind, &length, nullptr), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 1, reinterpret_cast<const uint8_t*>("x")),
              aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0x4000001), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0x4000000), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, -5), aErrNone);  // the default size
    EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 100), aErrBusy);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
    aLink_Destroy(&id);
}

// The log holds a text written into it, each packet received (kind 2) and
// the first packet of each write (kind 1), in order.
TEST(linkPacketLog, RecordsTextsAndPacketsBothWays) {
    auto fake = qxtest::FakeStream::Make();
    uint32_t id = aLink_Create(fake->CreateStream());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(fake->WaitForWrites([](const auto& w) { return !w.empty(); }, kPatience));
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_KIND_TEXT, 6,
                                      reinterpret_cast<const uint8_t*>("START")),
              aErrNone);
    fake->Feed({0x04, 0x01, 0x33});
    aPacketRef received = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(received, nullptr);
    aPacket_Destroy(&received);
    const uint8_t data[] = {0x49, 0xFF};
    aPacketRef packet = aPacket_CreateWithData(4, sizeof(data), data);
    ASSERT_EQ(aLink_PutPacket(id, packet), aErrNone);
    aPacket_Destroy(&packet);
    ASSERT_TRUE(fake->WaitForWrites([](const auto& w) { return w.size() >= 2; }, kPatience));

    struct Entry {
        uint8_t kind;
        Bytes payload;
        bool operator==(const Entry& other) const {
            return kind == other.kind && payload == other.payload;
        }
    };
    std::vector<Entry> entries;
    for (;;) {
        Entry entry{0, Bytes(64)};
        uint32_t length = static_cast<uint32_t>(entry.payload.size());
        if (aLink_PacketDebug_Read(id, &entry.kind, &length, entry.payload.data()) != aErrNone) {
            break;
        }
        entry.payload.resize(length);
        entries.push_back(entry);
    }
    const std::vector<Entry> expected = {
        {3, {'S', 'T', 'A', 'R', 'T', 0}}, {2, {0x04, 0x01, 0x33}}, {1, {0x04, 0x02, 0x49, 0xFF}}};
    EXPECT_TRUE(entries == expected);
    aLink_Destroy(&id);
}

}  // namespace
