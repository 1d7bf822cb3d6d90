#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "common/aStream.h"
#include "support/loopback.h"
#include "support/stream_probe.h"
#include "unix/aStreamSocket.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qxtest::LoopbackAddress;

// Generous bound for waiting on the other side; reached only when a test fails.
constexpr auto kPatience = 20s;

std::vector<uint8_t> Bytes(const char* text) {
    return std::vector<uint8_t>(text, text + std::char_traits<char>::length(text));
}

// A stream connected to a listener on 127.0.0.1; peer_ is the accepted side.
class SocketStream : public ::testing::Test {
  protected:
    void SetUp() override {
        // Default disposition: a SIGPIPE would end the test program.
        signal(SIGPIPE, SIG_DFL);
        ASSERT_TRUE(listener_.ok());
        ASSERT_EQ(aStream_CreateSocket(LoopbackAddress(), listener_.port(), &stream_), aErrNone);
        ASSERT_NE(stream_, nullptr);
        peer_ = listener_.Accept(kPatience);
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override {
        EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
        ClosePeer();
    }
    void ClosePeer() {
        if (peer_ >= 0) {
            qxtest::CloseGracefully(peer_);
            peer_ = -1;
        }
    }
    // Closes the peer's side with a reset instead of an orderly close.
    void ResetPeer() {
        const linger immediate = {1, 0};
        setsockopt(peer_, SOL_SOCKET, SO_LINGER, &immediate, sizeof(immediate));
        close(peer_);
        peer_ = -1;
    }
    // Reads in the background until a byte arrives, while the test accepts
    // the stream's new connection and sends the byte through it; returns the
    // outcome of that read.
    qxtest::ReadOutcome ReconnectAndReceive(uint8_t byte) {
        auto reader =
            std::async(std::launch::async, [&] { return qxtest::ReadOne(stream_, kPatience); });
        peer_ = listener_.Accept(kPatience);
        EXPECT_GE(peer_, 0) << "the stream did not reconnect";
        if (peer_ >= 0) {
            EXPECT_TRUE(qxtest::SendAll(peer_, {byte}));
        }
        return reader.get();
    }

    qxtest::LoopbackListener listener_;
    aStreamRef stream_ = nullptr;
    int peer_ = -1;
};

TEST_F(SocketStream, BytesBothWays) {
    ASSERT_TRUE(qxtest::SendAll(peer_, Bytes("hello")));
    EXPECT_EQ(qxtest::ReadBytes(stream_, 5, kPatience), Bytes("hello"));

    EXPECT_EQ(aStream_Write(stream_, Bytes("abc").data(), 3), aErrNone);
    EXPECT_EQ(aStream_Write(stream_, Bytes("d").data(), 1), aErrNone);  // put
    EXPECT_EQ(qxtest::ReceiveSome(peer_, 4, kPatience), Bytes("abcd"));

    // A larger block than one segment arrives whole and in order.
    std::vector<uint8_t> block(200000);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 13);
    }
    auto receiver = std::async(std::launch::async,
                               [&] { return qxtest::ReceiveSome(peer_, block.size(), kPatience); });
    EXPECT_EQ(aStream_Write(stream_, block.data(), block.size()), aErrNone);
    EXPECT_EQ(receiver.get(), block);
}

TEST_F(SocketStream, IdleGetWaitsInsteadOfSpinning) {
    // Checked on the reading thread's own CPU time, with a bound far above
    // the real figure and far below a spinning loop, however loaded the
    // machine is.
    const double share = qxtest::ReaderLoopCpuShare(stream_, 1000ms);
    EXPECT_LT(share, 0.20);
    // A byte sent meanwhile is still there.
    ASSERT_TRUE(qxtest::SendAll(peer_, Bytes("z")));
    const qxtest::ReadOutcome outcome = qxtest::ReadOne(stream_, kPatience);
    EXPECT_EQ(outcome.result, aErrNone);
    EXPECT_EQ(outcome.byte, 'z');
}

// A peer that closes (orderly or by reset) while the module comes back at
// once: reads report no byte, never an error, and go on over a new connection.
class SocketPeerClose : public SocketStream, public ::testing::WithParamInterface<bool> {};

TEST_P(SocketPeerClose, ReconnectsAndReadsOn) {
    ASSERT_TRUE(qxtest::SendAll(peer_, Bytes("ab")));
    if (GetParam()) {
        EXPECT_EQ(qxtest::ReadBytes(stream_, 2, kPatience), Bytes("ab"));
        ResetPeer();
    } else {
        ClosePeer();
        // Bytes sent before an orderly close are still delivered.
        EXPECT_EQ(qxtest::ReadBytes(stream_, 2, kPatience), Bytes("ab"));
    }
    const qxtest::ReadOutcome outcome = ReconnectAndReceive('x');
    EXPECT_EQ(outcome.result, aErrNone);
    EXPECT_EQ(outcome.byte, 'x');
    EXPECT_EQ(aStream_Write(stream_, Bytes("w").data(), 1), aErrNone);
    EXPECT_EQ(qxtest::ReceiveSome(peer_, 1, kPatience), Bytes("w"));
}

INSTANTIATE_TEST_SUITE_P(Socket, SocketPeerClose, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Reset" : "Orderly";
                         });

// The reading and the writing thread both run into the dropped connection:
// one of them reconnects, the other carries on over the new connection.
TEST_F(SocketStream, ReaderAndWriterShareOneReconnection) {
    std::atomic<bool> running{true};
    std::atomic<int> received{0};
    std::thread reader([&] {
        uint8_t byte;
        while (running) {
            if (aStream_Read(stream_, &byte, 1) == aErrNone && byte == 'r') {
                ++received;
            }
        }
    });
    std::thread writer([&] {
        const uint8_t byte = 'w';
        while (running) {
            aStream_Write(stream_, &byte, 1);
            std::this_thread::sleep_for(2ms);
        }
    });
    EXPECT_EQ(qxtest::ReceiveSome(peer_, 1, kPatience), Bytes("w"));
    ClosePeer();
    peer_ = listener_.Accept(kPatience);
    ASSERT_GE(peer_, 0);
    EXPECT_EQ(qxtest::ReceiveSome(peer_, 1, kPatience), Bytes("w"));  // the writer goes on
    ASSERT_TRUE(qxtest::SendAll(peer_, Bytes("r")));
    const auto deadline = Clock::now() + kPatience;
    while (received == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(received.load(), 1);  // the reader goes on
    EXPECT_LT(listener_.Accept(300ms), 0) << "reconnected twice";
    running = false;
    reader.join();
    writer.join();
}

// A peer that goes away for good must not look like an idle connection:
// reads and writes report the failure, and pick up again once it is back.
TEST_F(SocketStream, PeerGoneIsReportedUntilItComesBack) {
    listener_.Stop();
    ClosePeer();
    qxtest::ReadOutcome outcome = qxtest::ReadOne(stream_, kPatience);
    EXPECT_EQ(outcome.result, aErrConnection);
    outcome = qxtest::ReadOne(stream_, kPatience);
    EXPECT_EQ(outcome.result, aErrConnection);  // still reported, not "no byte"
    EXPECT_EQ(outcome.notReady, 0);
    EXPECT_EQ(aStream_Write(stream_, Bytes("q").data(), 1), aErrConnection);

    ASSERT_TRUE(listener_.Restart());  // the module is back, on the same port
    outcome = ReconnectAndReceive('y');
    EXPECT_EQ(outcome.result, aErrNone);
    EXPECT_EQ(outcome.byte, 'y');
}

TEST_F(SocketStream, WritingToAClosedPeerRaisesNoSignal) {
    listener_.Stop();
    ClosePeer();
    aErr result = aErrNone;
    for (int i = 0; i < 100 && result == aErrNone; ++i) {
        result = aStream_Write(stream_, Bytes("data").data(), 4);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(result, aErrConnection);  // and the program is still alive
}

TEST(SocketCreate, RefusedFailsAtOnce) {
    const uint16_t port = qxtest::UnusedLoopbackPort();
    aStreamRef stream = reinterpret_cast<aStreamRef>(&stream);  // must be cleared
    const auto start = Clock::now();
    EXPECT_EQ(aStream_CreateSocket(LoopbackAddress(), port, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_LT(Clock::now() - start, 4s);  // not the 5 s connection time-out
    EXPECT_EQ(aStream_CreateSocket(LoopbackAddress(), port, nullptr), aErrResource);
}

}  // namespace
