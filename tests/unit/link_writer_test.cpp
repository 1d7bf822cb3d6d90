// The writer thread: one write per packet, pooled batches of up to 4096
// bytes, and a stop that still sends what was queued.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "support/fake_stream.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Writes = std::vector<qxtest::FakeStream::Write>;

constexpr auto kPatience = 10s;

// A link over a scripted stream whose first write (route forcing on) is done.
class linkWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        id_ = aLink_Create(fake_->CreateStream());
        ASSERT_NE(id_, 0u);
        ASSERT_TRUE(fake_->WaitForWrites([](const Writes& w) { return !w.empty(); }, kPatience));
        ASSERT_EQ(fake_->Writes().front().bytes, (Bytes{0xAF, 0x01, 0x01}));
    }
    void TearDown() override {
        fake_->CloseWriteGate(false);
        if (id_ != 0) {
            aLink_Destroy(&id_);
        }
    }
    // Queues a packet of length data bytes, each the value fill.
    void Put(uint8_t address, size_t length, uint8_t fill) {
        Bytes data(length + 1, fill);
        aPacketRef packet = aPacket_CreateWithData(address, length, data.data());
        ASSERT_EQ(aLink_PutPacket(id_, packet), aErrNone);
        aPacket_Destroy(&packet);
    }
    static Bytes Wire(uint8_t address, size_t length, uint8_t fill) {
        Bytes wire{address, static_cast<uint8_t>(length)};
        wire.insert(wire.end(), length, fill);
        return wire;
    }
    // The writes after the first count ones.
    Writes WritesAfter(size_t count) {
        Writes all = fake_->Writes();
        return Writes(all.begin() + static_cast<std::ptrdiff_t>(count), all.end());
    }

    std::shared_ptr<qxtest::FakeStream> fake_ = qxtest::FakeStream::Make();
    uint32_t id_ = 0;
};

TEST_F(linkWriter, SendsOnePacketPerWrite) {
    Put(2, 0, 0);
    Put(4, 28, 0x11);
    Put(6, 3, 0x22);
    ASSERT_TRUE(fake_->WaitForWrites([](const Writes& w) { return w.size() >= 4; }, kPatience));
    const Writes writes = WritesAfter(1);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes, Wire(2, 0, 0));
    EXPECT_EQ(writes[1].bytes, Wire(4, 28, 0x11));
    EXPECT_EQ(writes[2].bytes, Wire(6, 3, 0x22));
}

// 1000 packets of 30 wire bytes queued at once: 136 fit in the first write
// (4080 bytes; one more would pass 4096), and eight writes carry them all,
// in order.
TEST_F(linkWriter, PooledModeBatchesUpTo4096Bytes) {
    ASSERT_EQ(aLink_EnablePooledPackets(id_, true), aErrNone);
    // The writer waits in a write while the queue fills.
    fake_->CloseWriteGate(true);
    Put(2, 0, 0);
    ASSERT_TRUE(fake_->WaitForBlockedWrite(kPatience));
    Bytes expected;
    for (int i = 0; i < 1000; ++i) {
        Put(2, 28, static_cast<uint8_t>(i));
        const Bytes wire = Wire(2, 28, static_cast<uint8_t>(i));
        expected.insert(expected.end(), wire.begin(), wire.end());
    }
    fake_->CloseWriteGate(false);
    ASSERT_TRUE(fake_->WaitForWrites(
        [](const Writes& w) {
            size_t bytes = 0;
            for (size_t i = 2; i < w.size(); ++i) {
                bytes += w[i].bytes.size();
            }
            return bytes >= 30000;
        },
        kPatience));
    const Writes writes = WritesAfter(2);
    ASSERT_EQ(writes.size(), 8u);
    EXPECT_EQ(writes[0].bytes.size(), 4080u);
    for (size_t i = 0; i + 1 < writes.size(); ++i) {
        EXPECT_EQ(writes[i].bytes.size(), 4080u) << i;
    }
    EXPECT_EQ(writes.back().bytes.size(), (1000u - 7 * 136) * 30);
    Bytes all;
    for (const auto& write : writes) {
        all.insert(all.end(), write.bytes.begin(), write.bytes.end());
    }
    EXPECT_EQ(all, expected);
}

// Destruction while packets wait: they still go out, then route forcing off.
TEST_F(linkWriter, StopSendsWhatWasQueuedThenRouteForcingOff) {
    fake_->CloseWriteGate(true);
    Put(2, 1, 0xA1);
    ASSERT_TRUE(fake_->WaitForBlockedWrite(kPatience));
    Put(2, 1, 0xA2);
    Put(2, 1, 0xA3);
    auto destroyed = std::async(std::launch::async, [this] { return aLink_Destroy(&id_); });
    // The destroy waits for the writer, which waits at the gate.
    EXPECT_EQ(destroyed.wait_for(100ms), std::future_status::timeout);
    fake_->CloseWriteGate(false);
    EXPECT_EQ(destroyed.get(), aErrNone);
    EXPECT_TRUE(fake_->Deleted());
    const Writes writes = WritesAfter(1);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].bytes, Wire(2, 1, 0xA1));
    EXPECT_EQ(writes[1].bytes, Wire(2, 1, 0xA2));
    EXPECT_EQ(writes[2].bytes, Wire(2, 1, 0xA3));
    EXPECT_EQ(writes[3].bytes, (Bytes{0xAF, 0x01, 0x00}));
}

}  // namespace
