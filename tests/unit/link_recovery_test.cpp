// Links that lose their module: read errors, modules that go away, waits cut
// short, resets that reconnect or cannot.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "support/fake_stream.h"
#include "support/link_fixture.h"
#include "support/loopback.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = 10s;
constexpr uint32_t kSerial = 0x40F5849A;

bool Any(const aPacket*, const void*) {
    return true;
}

bool IsSyncRequest(const qxtest::FakeStream::Write& write) {
    return write.bytes == Bytes{0xAD, 0x00};
}

// A waiter in aLink_AwaitFirst on another thread; tells when it returned.
class Waiter {
  public:
    Waiter(uint32_t id, uint32_t timeoutMs)
        : result_(std::async(std::launch::async, [id, timeoutMs] {
              aPacketRef packet = aLink_AwaitFirst(id, Any, nullptr, timeoutMs);
              const bool got = packet != nullptr;
              aPacket_Destroy(&packet);
              return got;
          })) {}
    // True when the wait ended (with no packet) within patience.
    bool EndsEmptyWithin(std::chrono::milliseconds patience) {
        return result_.wait_for(patience) == std::future_status::ready && !result_.get();
    }
    void Finish() {
        if (result_.valid()) {
            result_.wait();
        }
    }
    ~Waiter() { Finish(); }

  private:
    std::future<bool> result_;
};

// Lets a waiter reach its wait: it has nothing to announce that.
void LetWaiterSettle() {
    std::this_thread::sleep_for(50ms);
}

// ---- Read errors and waits ----

TEST(linkRecovery, ReadErrorThenQuietStreamResynchronises) {
    auto fake = qxtest::FakeStream::Make();
    uint32_t id = aLink_Create(fake->CreateStream());
    ASSERT_NE(id, 0u);
    fake->SetResponder(qxtest::SyncAnswers(4));
    fake->FailGets(aErrIO, 3);
    EXPECT_TRUE(qxtest::WaitForStatus(id, aLINK_STATUS_IO_ERROR, kPatience));
    // Once the stream gives "no byte" again, six requests go out, the module
    // answers, and the link is synchronised.
    EXPECT_TRUE(qxtest::WaitForStatus(id, aLINK_STATUS_RUNNING, kPatience));
    const auto writes = fake->Writes();
    EXPECT_EQ(std::count_if(writes.begin(), writes.end(), IsSyncRequest), 6);
    aLink_Destroy(&id);
}

// While synchronising, a quiet stream repeats the requests now and then,
// not at every empty read.
TEST(linkRecovery, SilentModuleIsAskedAgainAtAModestRate) {
    auto fake = qxtest::FakeStream::Make();
    uint32_t id = aLink_Create(fake->CreateStream());
    ASSERT_NE(id, 0u);
    fake->Feed({0x05});  // out of synchronisation; nobody answers
    EXPECT_TRUE(qxtest::WaitForStatus(id, aLINK_STATUS_SYNCING, kPatience));
    const int getsBefore = fake->Gets();
    std::this_thread::sleep_for(500ms);
    const int gets = fake->Gets() - getsBefore;
    const auto writes = fake->Writes();
    const auto requests = std::count_if(writes.begin(), writes.end(), IsSyncRequest);
    EXPECT_GE(requests, 12);  // it does ask again
    // Far fewer rounds than empty reads (a round per empty read would be 6
    // requests each).
    EXPECT_LT(requests, 6 * gets / 3);
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_SYNCING));
    aLink_Destroy(&id);
}

TEST(linkRecovery, AwaitFirstOnAnUnsynchronisedLinkReturnsAtOnce) {
    auto fake = qxtest::FakeStream::Make();
    uint32_t id = aLink_Create(fake->CreateStream());
    ASSERT_NE(id, 0u);
    fake->Feed({0x05, 0x00});
    fake->Feed({0x02, 0x00});  // a packet that is dropped while synchronising
    ASSERT_TRUE(qxtest::WaitForStatus(id, aLINK_STATUS_SYNCING, kPatience));
    const auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, Any, nullptr, 5000), nullptr);
    EXPECT_LT(Clock::now() - start, 1s);
    aLink_Destroy(&id);
}

TEST(linkRecovery, DestroyEndsAWaitingAwaitFirst) {
    auto fake = qxtest::FakeStream::Make();
    uint32_t id = aLink_Create(fake->CreateStream());
    ASSERT_NE(id, 0u);
    Waiter waiter(id, 20000);
    LetWaiterSettle();
    aLink_Destroy(&id);
    EXPECT_TRUE(waiter.EndsEmptyWithin(1s));
}

// ---- Modules that go away ----

enum class Gone { ListenerCloses, SimulatorDestroyed, SimulatorKilled };

class linkModuleGone : public ::testing::TestWithParam<Gone> {};

// Within a second the link reports a status other than running, and a
// caller waiting for an answer is released.
TEST_P(linkModuleGone, ShowsInTheStatusAndEndsWaits) {
    std::unique_ptr<qxtest::LoopbackListener> listener;
    std::unique_ptr<modsim::Simulator> simulator;
    std::unique_ptr<qxtest::SimulatorProcess> process;
    int peer = -1;
    uint16_t port = 0;
    switch (GetParam()) {
        case Gone::ListenerCloses:
            listener = std::make_unique<qxtest::LoopbackListener>();
            port = listener->port();
            break;
        case Gone::SimulatorDestroyed:
            simulator = qxtest::StartSimulator({"serial=40F5849A"});
            port = simulator->tcpPort(kSerial);
            break;
        case Gone::SimulatorKilled:
            process = std::make_unique<qxtest::SimulatorProcess>(
                QX_BUILD_DIR "/tools/modsim/modsim",
                std::vector<std::string>{"--module", "serial=40F5849A"});
            ASSERT_TRUE(process->ok());
            port = process->port();
            break;
    }
    uint32_t id = aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), port);
    ASSERT_NE(id, 0u);
    if (listener) {
        peer = listener->Accept(kPatience);
        ASSERT_GE(peer, 0);
    } else {
        ASSERT_EQ(aLink_Sync(id), aErrNone);
    }
    ASSERT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));
    Waiter waiter(id, 20000);
    LetWaiterSettle();

    switch (GetParam()) {
        case Gone::ListenerCloses:
            listener->Stop();
            qxtest::CloseGracefully(peer);
            break;
        case Gone::SimulatorDestroyed:
            simulator.reset();
            break;
        case Gone::SimulatorKilled:
            process->Kill();
            break;
    }
    EXPECT_TRUE(
        qxtest::WaitUntil([id] { return aLink_GetStatus(id) != aLINK_STATUS_RUNNING; }, 1s));
    EXPECT_TRUE(waiter.EndsEmptyWithin(1s));
    aLink_Destroy(&id);
}

INSTANTIATE_TEST_SUITE_P(Ways, linkModuleGone,
                         ::testing::Values(Gone::ListenerCloses, Gone::SimulatorDestroyed,
                                           Gone::SimulatorKilled),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Gone::ListenerCloses:
                                     return "ListenerCloses";
                                 case Gone::SimulatorDestroyed:
                                     return "SimulatorDestroyed";
                                 default:
                                     return "SimulatorKilled";
                             }
                         });

// When the module is back, the link reconnects and synchronises by itself.
TEST(linkRecovery, ModuleThatComesBackIsSynchronisedAgain) {
    qxtest::LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    uint32_t id = aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), listener.port());
    ASSERT_NE(id, 0u);
    int peer = listener.Accept(kPatience);
    ASSERT_GE(peer, 0);
    // Route forcing goes out when the link starts; let it reach this
    // connection before the module goes away, so that it cannot end up on
    // the next one.
    ASSERT_EQ(qxtest::ReceiveSome(peer, 3, kPatience), (Bytes{0xAF, 0x01, 0x01}));
    listener.Stop();
    qxtest::CloseGracefully(peer);
    ASSERT_TRUE(qxtest::WaitForStatus(id, aLINK_STATUS_IO_ERROR, kPatience));
    ASSERT_TRUE(listener.Restart());
    peer = listener.Accept(kPatience);
    ASSERT_GE(peer, 0);
    Bytes requests;
    for (int i = 0; i < 6; ++i) {
        requests.insert(requests.end(), {0xAD, 0x00});
    }
    EXPECT_EQ(qxtest::ReceiveSome(peer, 12, kPatience), requests);
    ASSERT_TRUE(qxtest::SendAll(peer, {0x08, 0x00, 0x08, 0x00}));
    EXPECT_TRUE(qxtest::WaitForStatus(id, aLINK_STATUS_RUNNING, kPatience));
    aLink_Destroy(&id);
    qxtest::CloseGracefully(peer);
}

// ---- Reset ----

TEST(linkReset, TcpLinkReconnectsToTheSameModule) {
    auto simulator = qxtest::StartSimulator({"serial=40F5849A,address=4"});
    uint32_t id =
        aLink_CreateTCPIP(kSerial, qxtest::LoopbackAddress(), simulator->tcpPort(kSerial));
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));
    EXPECT_TRUE(qxtest::WaitUntil(
        [&] {
            return qxtest::Counter(*simulator, kSerial, "connections") == 2 &&
                   qxtest::Counter(*simulator, kSerial, "route_forcing_on") == 2;
        },
        kPatience));
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    const uint8_t none = 0;
    aPacketRef request = aPacket_CreateWithData(0xAD, 0, &none);
    ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
    aPacket_Destroy(&request);
    aPacketRef answer = aLink_AwaitFirst(id, Any, nullptr, 2000);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->address, 4);
    EXPECT_EQ(answer->dataSize, 0);
    aPacket_Destroy(&answer);
    aLink_Destroy(&id);
}

TEST(linkReset, SerialLinkCannotBeRemade) {
    auto simulator = qxtest::StartSimulator({"serial=0000002A,transport=pty"});
    uint32_t id = aLink_CreateSerial(0x2A, simulator->path(0x2A).c_str(), 9600);
    ASSERT_NE(id, 0u);
    const auto start = Clock::now();
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_GE(Clock::now() - start, 1900ms);  // 20 attempts, 100 ms apart
    EXPECT_NE(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));
    EXPECT_EQ(aLink_AwaitFirst(id, Any, nullptr, 1000), nullptr);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
