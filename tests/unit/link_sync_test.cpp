// Synchronisation and heartbeats of links: against the module simulator over
// in-process socket pairs, TCP and a pseudo-terminal, and against scripted
// streams and sockets for the answers a real module never gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "support/fake_stream.h"
#include "support/link_fixture.h"
#include "support/loopback.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr auto kPatience = 10s;
constexpr uint32_t kSerial = 0x40F5849A;

const Bytes kSyncRequest{0xAD, 0x00};
const Bytes kRouteOn{0xAF, 0x01, 0x01};

// Destroys a link when the test ends, however it ends.
struct LinkGuard {
    uint32_t id;
    ~LinkGuard() {
        if (id != 0) {
            aLink_Destroy(&id);
        }
    }
};

// A scripted stream's hold is released before the link goes, so that its
// reader is not left waiting in a get.
struct HoldGuard {
    std::shared_ptr<qxtest::FakeStream> fake;
    ~HoldGuard() { fake->Hold(false); }
};

bool IsSyncRequest(const qxtest::FakeStream::Write& write) {
    return write.bytes == kSyncRequest;
}

size_t CountSyncRequests(const std::vector<qxtest::FakeStream::Write>& writes) {
    return static_cast<size_t>(std::count_if(writes.begin(), writes.end(), IsSyncRequest));
}

bool WantsAnswer(const aPacket* packet, const void*) {
    return packet->dataSize >= 2 && packet->data[0] == 0x49 && packet->data[1] == 0xFF;
}

// Asks the module for its build (0x49 0xFF) through the link.
uint32_t AskBuild(uint32_t id, uint8_t address) {
    const uint8_t request[] = {0x49, 0xFF};
    aPacketRef packet = aPacket_CreateWithData(address, sizeof(request), request);
    EXPECT_EQ(aLink_PutPacket(id, packet), aErrNone);
    aPacket_Destroy(&packet);
    aPacketRef answer = aLink_AwaitFirst(id, WantsAnswer, nullptr, 2000);
    if (answer == nullptr || answer->dataSize != 6) {
        aPacket_Destroy(&answer);
        return 0;
    }
    const uint32_t build = uint32_t(answer->data[2]) << 24 | uint32_t(answer->data[3]) << 16 |
                           uint32_t(answer->data[4]) << 8 | answer->data[5];
    aPacket_Destroy(&answer);
    return build;
}

// ---- Against the simulator ----

enum class Transport { InProcess, Tcp };

class linkSyncWithModule : public ::testing::TestWithParam<Transport> {
  protected:
    uint32_t Connect(modsim::Simulator& simulator) {
        if (GetParam() == Transport::InProcess) {
            return qxtest::LinkInProcess(simulator, kSerial);
        }
        return aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), simulator.tcpPort(kSerial));
    }
};

TEST_P(linkSyncWithModule, SynchronisesForcesTheRouteAndCarriesRequests) {
    auto simulator = qxtest::StartSimulator({"serial=40F5849A,address=6,build=4711"});
    LinkGuard link{Connect(*simulator)};
    ASSERT_NE(link.id, 0u);
    EXPECT_EQ(aLink_GetStatus(link.id), uint32_t(aLINK_STATUS_RUNNING));
    EXPECT_EQ(aLink_Sync(link.id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.id), uint32_t(aLINK_STATUS_RUNNING));
    EXPECT_EQ(AskBuild(link.id, 6), 4711u);
    // Two answers synchronise the link; requests still queued by then are
    // discarded with the rest of the queue.
    EXPECT_GE(qxtest::Counter(*simulator, kSerial, "sync_requests"), 2);
    EXPECT_EQ(qxtest::Counter(*simulator, kSerial, "route_forcing_on"), 1);
    // Destruction sends route forcing off before the stream closes.
    aLink_Destroy(&link.id);
    EXPECT_TRUE(qxtest::WaitUntil(
        [&] { return qxtest::Counter(*simulator, kSerial, "route_forcing_off") == 1; }, kPatience));
}

INSTANTIATE_TEST_SUITE_P(Transports, linkSyncWithModule,
                         ::testing::Values(Transport::InProcess, Transport::Tcp),
                         [](const auto& info) {
                             return info.param == Transport::Tcp ? "Tcp" : "InProcess";
                         });

// Over a serial port each packet is a frame, and the stream reports "no
// byte" for every raw byte of a frame; synchronisation completes all the same.
TEST(linkSync, SerialLinkSynchronisesOverFrames) {
    auto simulator = qxtest::StartSimulator({"serial=0000002A,address=8,transport=pty"});
    LinkGuard link{aLink_CreateSerial(0x2A, simulator->path(0x2A).c_str(), 115200)};
    ASSERT_NE(link.id, 0u);
    EXPECT_EQ(aLink_Sync(link.id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.id), uint32_t(aLINK_STATUS_RUNNING));
    EXPECT_EQ(AskBuild(link.id, 8), 1u);
}

// ---- Scripted answers ----

struct SyncCase {
    const char* name;
    Bytes answer;     // what the "module" answers to the first request
    uint32_t status;  // the link's status once the answer is read
    size_t rounds;    // rounds of six requests sent
};

class linkSyncAnswers : public ::testing::TestWithParam<SyncCase> {};

// The reader is held in its get once the answer is read, so that only bytes
// (never a quiet stream) start further rounds.
TEST_P(linkSyncAnswers, FollowsTheExchange) {
    auto fake = qxtest::FakeStream::Make();
    LinkGuard link{aLink_Create(fake->CreateStream())};
    HoldGuard hold{fake};  // released before the link goes
    ASSERT_NE(link.id, 0u);
    ASSERT_TRUE(fake->WaitForWrites([](const auto& w) { return !w.empty(); }, kPatience));
    EXPECT_EQ(fake->Writes().front().bytes, kRouteOn);
    int answered = 0;
    const Bytes answer = GetParam().answer;
    fake->SetResponder([&answered, answer](const Bytes& written) {
        return written == kSyncRequest && answered++ == 0 ? answer : Bytes{};
    });
    fake->Hold(true);
    fake->Feed({0x05});  // an odd address: out of synchronisation
    const size_t delivered = 1 + GetParam().answer.size();
    const size_t requests = 6 * GetParam().rounds;
    ASSERT_TRUE(fake->WaitForWrites(
        [&](const auto& writes) { return CountSyncRequests(writes) >= requests; }, kPatience));
    ASSERT_TRUE(qxtest::WaitUntil([&] { return fake->Delivered() == delivered; }, kPatience));
    EXPECT_TRUE(qxtest::WaitForStatus(link.id, GetParam().status, kPatience));
    const auto writes = fake->Writes();
    EXPECT_EQ(CountSyncRequests(writes), requests);
    // The first round answers the odd address; with the reader held, only
    // bytes start further rounds, and the last one follows the last byte.
    std::vector<size_t> at;
    for (const auto& write : writes) {
        if (IsSyncRequest(write)) {
            at.push_back(write.delivered);
        }
    }
    ASSERT_EQ(at.size(), requests);
    EXPECT_EQ(at.front(), 1u);
    if (GetParam().rounds > 1) {
        EXPECT_EQ(std::vector<size_t>(at.end() - 6, at.end()), std::vector<size_t>(6, delivered));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, linkSyncAnswers,
    ::testing::Values(SyncCase{"TwoRepliesFromOneAddress", {0x04, 0x00, 0x04, 0x00}, 2, 1},
                      SyncCase{"RepliesFromTwoAddresses", {0x04, 0x00, 0x06, 0x00}, 4, 2},
                      SyncCase{"ReplyWithData", {0x04, 0x01, 0x04, 0x00}, 4, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// A module on a real socket that sends an odd address: the link asks again,
// and the module's answer brings it back.
TEST(linkSync, OddAddressRestartsSynchronisationOverTcp) {
    qxtest::LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    LinkGuard link{aLink_CreateTCPIP(7, qxtest::LoopbackAddress(), listener.port())};
    ASSERT_NE(link.id, 0u);
    const int module = listener.Accept(kPatience);
    ASSERT_GE(module, 0);
    EXPECT_EQ(qxtest::ReceiveSome(module, 3, kPatience), kRouteOn);
    ASSERT_TRUE(qxtest::SendAll(module, {0x05, 0x00}));
    Bytes twelve;
    for (int i = 0; i < 6; ++i) {
        twelve.insert(twelve.end(), kSyncRequest.begin(), kSyncRequest.end());
    }
    EXPECT_EQ(qxtest::ReceiveSome(module, 12, kPatience), twelve);
    EXPECT_EQ(aLink_GetStatus(link.id), uint32_t(aLINK_STATUS_SYNCING));
    ASSERT_TRUE(qxtest::SendAll(module, {0x04, 0x00, 0x04, 0x00}));
    EXPECT_TRUE(qxtest::WaitForStatus(link.id, aLINK_STATUS_RUNNING, kPatience));
    aLink_Destroy(&link.id);
    qxtest::CloseGracefully(module);
}

// ---- Heartbeats ----

struct BeatCase {
    Bytes beat;
    Bytes reply;
};

class linkHeartbeat : public ::testing::TestWithParam<BeatCase> {};

TEST_P(linkHeartbeat, IsAnsweredAndNeverQueued) {
    auto fake = qxtest::FakeStream::Make();
    LinkGuard link{aLink_Create(fake->CreateStream())};
    ASSERT_NE(link.id, 0u);
    fake->Feed(GetParam().beat);
    ASSERT_TRUE(fake->WaitForWrites([](const auto& w) { return w.size() >= 2; }, kPatience));
    const auto writes = fake->Writes();
    EXPECT_EQ(writes[1].bytes, GetParam().reply);
    EXPECT_EQ(aLink_AwaitPacket(link.id, 50), nullptr);
}

INSTANTIATE_TEST_SUITE_P(UpAndDown, linkHeartbeat,
                         ::testing::Values(BeatCase{{4, 2, 0, 0}, {4, 2, 0, 2}},
                                           BeatCase{{4, 2, 0, 1}, {4, 2, 0, 3}}),
                         [](const auto& info) { return info.param.beat[3] ? "Down" : "Up"; });

class linkHeartbeatModule : public ::testing::TestWithParam<const char*> {};

TEST_P(linkHeartbeatModule, ModuleCountsEveryReplyAsRight) {
    auto simulator =
        qxtest::StartSimulator({std::string("serial=40F5849A,heartbeat=40") + GetParam()});
    LinkGuard link{qxtest::LinkInProcess(*simulator, kSerial)};
    ASSERT_NE(link.id, 0u);
    ASSERT_EQ(aLink_Sync(link.id), aErrNone);
    EXPECT_TRUE(qxtest::WaitUntil(
        [&] { return qxtest::Counter(*simulator, kSerial, "heartbeat_replies") >= 5; }, kPatience));
    // A wrong acknowledgement would never count as a reply; the module
    // also calls a reply bad when it comes after the next beat was sent
    // (a slow host), and that beat is counted as missed.
    EXPECT_LE(qxtest::Counter(*simulator, kSerial, "heartbeat_bad_replies"),
              qxtest::Counter(*simulator, kSerial, "heartbeats_missed"));
    EXPECT_EQ(aLink_GetPacket(link.id), nullptr);
}

INSTANTIATE_TEST_SUITE_P(UpAndDown, linkHeartbeatModule, ::testing::Values("", ",heartbeat-down=1"),
                         [](const auto& info) { return info.index ? "Down" : "Up"; });

// A filter that takes every packet leaves nothing for the link: no packet
// is queued and no heartbeat answered until it is removed.
TEST(linkUserFilter, TakingEverythingStopsHeartbeatReplies) {
    auto simulator = qxtest::StartSimulator({"serial=40F5849A,heartbeat=20"});
    LinkGuard link{qxtest::LinkInProcess(*simulator, kSerial)};
    ASSERT_NE(link.id, 0u);
    ASSERT_EQ(aLink_Sync(link.id), aErrNone);
    std::atomic<int> seen{0};
    auto takeAll = [](const aPacket*, const void* reference) {
        ++*static_cast<std::atomic<int>*>(const_cast<void*>(reference));
        return true;
    };
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, takeAll, &seen), aErrNone);
    // Once the filter has taken a packet, every reply the link made before
    // is queued; route forcing put behind them marks when they have all been
    // counted by the module.
    ASSERT_TRUE(qxtest::WaitUntil([&] { return seen.load() >= 1; }, kPatience));
    ASSERT_EQ(aLink_ForceRoute(link.id, true), aErrNone);
    ASSERT_TRUE(qxtest::WaitUntil(
        [&] { return qxtest::Counter(*simulator, kSerial, "route_forcing_on") == 2; }, kPatience));
    const int64_t before = qxtest::Counter(*simulator, kSerial, "heartbeat_replies");
    const int taken = seen.load();

    const uint8_t request[] = {0x49, 0xFF};
    aPacketRef packet = aPacket_CreateWithData(2, sizeof(request), request);
    EXPECT_EQ(aLink_PutPacket(link.id, packet), aErrNone);
    aPacket_Destroy(&packet);
    EXPECT_EQ(aLink_AwaitPacket(link.id, 300), nullptr);
    ASSERT_TRUE(qxtest::WaitUntil([&] { return seen.load() >= taken + 6; }, kPatience));
    EXPECT_EQ(qxtest::Counter(*simulator, kSerial, "heartbeat_replies"), before);
    EXPECT_GE(qxtest::Counter(*simulator, kSerial, "heartbeats_missed"), 3);

    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, nullptr, nullptr), aErrNone);
    const int64_t after = qxtest::Counter(*simulator, kSerial, "heartbeat_replies");
    EXPECT_TRUE(qxtest::WaitUntil(
        [&] { return qxtest::Counter(*simulator, kSerial, "heartbeat_replies") >= after + 3; },
        kPatience));
}

}  // namespace
