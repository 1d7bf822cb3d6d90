#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "common/aPacketLog.h"

namespace {

std::vector<uint8_t> Payload(size_t length, uint8_t first) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

class PacketLog : public ::testing::Test {
  protected:
    void TearDown() override { aPacketLog_Destroy(&log_); }

    void Make(uint32_t size) {
        log_ = aPacketLog_Create(size);
        ASSERT_NE(log_, nullptr);
    }
    aErr Put(uint8_t kind, const std::vector<uint8_t>& bytes) {
        return aPacketLog_Put(log_, kind, static_cast<uint32_t>(bytes.size()), bytes.data());
    }
    // Takes the next entry, expecting it to be (kind, bytes).
    void ExpectNext(uint8_t kind, const std::vector<uint8_t>& bytes) {
        uint8_t gotKind = 0;
        uint8_t buffer[256];
        uint32_t length = sizeof(buffer);
        ASSERT_EQ(aPacketLog_Get(log_, &gotKind, &length, buffer), aErrNone);
        EXPECT_EQ(gotKind, kind);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), bytes);
    }
    void ExpectEmpty() {
        uint8_t kind = 0;
        uint8_t buffer[8];
        uint32_t length = sizeof(buffer);
        EXPECT_EQ(aPacketLog_Get(log_, &kind, &length, buffer), aErrNotFound);
    }

    aPacketLogRef log_ = nullptr;
};

TEST_F(PacketLog, LargestEntryFitsAndLargerOnesNeverDo) {
    Make(16);
    EXPECT_EQ(Put(aPACKETLOG_KIND_TEXT, Payload(14, 0)), aErrOverrun);
    EXPECT_EQ(Put(aPACKETLOG_KIND_TEXT, Payload(13, 0)), aErrNone);  // 15 of 16 bytes
    // A refused entry leaves the ring as it was.
    EXPECT_EQ(Put(aPACKETLOG_KIND_TEXT, Payload(14, 0)), aErrOverrun);
    EXPECT_EQ(Put(aPACKETLOG_KIND_TEXT, Payload(200, 0)), aErrOverrun);
    ExpectNext(aPACKETLOG_KIND_TEXT, Payload(13, 0));
    ExpectEmpty();
}

TEST_F(PacketLog, NewEntryDropsOldestWholeEntries) {
    Make(16);
    ASSERT_EQ(Put(aPACKETLOG_KIND_SENT, Payload(5, 10)), aErrNone);
    ASSERT_EQ(Put(aPACKETLOG_KIND_RECEIVED, Payload(5, 20)), aErrNone);  // 14 bytes used
    ASSERT_EQ(Put(aPACKETLOG_KIND_TEXT, Payload(5, 30)), aErrNone);
    ExpectNext(aPACKETLOG_KIND_RECEIVED, Payload(5, 20));
    ExpectNext(aPACKETLOG_KIND_TEXT, Payload(5, 30));
    ExpectEmpty();

    // A large entry may push out several small ones.
    ASSERT_EQ(Put(1, Payload(1, 0)), aErrNone);
    ASSERT_EQ(Put(1, Payload(1, 1)), aErrNone);
    ASSERT_EQ(Put(1, Payload(1, 2)), aErrNone);
    ASSERT_EQ(Put(2, Payload(10, 3)), aErrNone);
    ExpectNext(1, Payload(1, 2));
    ExpectNext(2, Payload(10, 3));
    ExpectEmpty();
}

TEST_F(PacketLog, EntriesWrapRoundTheEnd) {
    Make(16);
    // Move both indices to 15: the next entry's kind byte is the last byte of
    // the buffer, its length byte the first.
    ASSERT_EQ(Put(1, Payload(13, 0)), aErrNone);
    ExpectNext(1, Payload(13, 0));
    ASSERT_EQ(Put(2, Payload(3, 0x40)), aErrNone);
    ExpectNext(2, Payload(3, 0x40));

    // Again (read = write = 4 now), then drop that wrapped entry to make room.
    ASSERT_EQ(Put(1, Payload(9, 0)), aErrNone);     // 4..14
    ExpectNext(1, Payload(9, 0));                   // read = 15
    ASSERT_EQ(Put(3, Payload(3, 0x50)), aErrNone);  // 15, 0..3
    ASSERT_EQ(Put(2, Payload(9, 0x60)), aErrNone);  // needs 11 of 11 free: drops it
    ExpectNext(2, Payload(9, 0x60));                // 4..14
    ExpectEmpty();

    // A payload split by the end of the buffer.
    ASSERT_EQ(Put(1, Payload(12, 0)), aErrNone);  // 15..12
    ExpectNext(1, Payload(12, 0));
    ASSERT_EQ(Put(2, Payload(6, 0x70)), aErrNone);  // 13, 14, payload 15, 0..4
    ExpectNext(2, Payload(6, 0x70));
    ExpectEmpty();
}

TEST_F(PacketLog, SmallBufferReportsLengthAndKeepsEntry) {
    Make(64);
    ASSERT_EQ(Put(aPACKETLOG_KIND_RECEIVED, Payload(5, 1)), aErrNone);
    ASSERT_EQ(Put(aPACKETLOG_KIND_TEXT, Payload(2, 9)), aErrNone);

    uint8_t kind = 0;
    uint8_t buffer[5] = {};
    uint32_t length = 4;
    EXPECT_EQ(aPacketLog_Get(log_, &kind, &length, buffer), aErrOverrun);
    EXPECT_EQ(kind, aPACKETLOG_KIND_RECEIVED);
    EXPECT_EQ(length, 5u);

    length = 5;
    ASSERT_EQ(aPacketLog_Get(log_, &kind, &length, buffer), aErrNone);
    EXPECT_EQ(kind, aPACKETLOG_KIND_RECEIVED);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), Payload(5, 1));
    ExpectNext(aPACKETLOG_KIND_TEXT, Payload(2, 9));

    // An empty payload needs no buffer at all.
    ASSERT_EQ(Put(aPACKETLOG_KIND_TEXT, {}), aErrNone);
    length = 0;
    EXPECT_EQ(aPacketLog_Get(log_, &kind, &length, nullptr), aErrNone);
    EXPECT_EQ(length, 0u);
}

TEST_F(PacketLog, RejectsBadArguments) {
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    Make(300);
    uint8_t bytes[256] = {};
    EXPECT_EQ(aPacketLog_Put(nullptr, 1, 1, bytes), aErrParam);
    EXPECT_EQ(aPacketLog_Put(log_, 1, 1, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Put(log_, 1, 256, bytes), aErrSize);  // length is one byte
    EXPECT_EQ(aPacketLog_Put(log_, 1, 255, bytes), aErrNone);

    uint8_t kind = 0;
    uint32_t length = sizeof(bytes);
    EXPECT_EQ(aPacketLog_Get(nullptr, &kind, &length, bytes), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log_, nullptr, &length, bytes), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log_, &kind, nullptr, bytes), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log_, &kind, &length, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log_, &kind, &length, bytes), aErrNone);
    EXPECT_EQ(length, 255u);
}

TEST_F(PacketLog, EnabledFlagAndDestroy) {
    Make(16);
    EXPECT_FALSE(aPacketLog_IsEnabled(log_));
    EXPECT_EQ(aPacketLog_SetEnabled(log_, true), aErrNone);
    EXPECT_TRUE(aPacketLog_IsEnabled(log_));
    EXPECT_EQ(aPacketLog_SetEnabled(nullptr, true), aErrParam);
    EXPECT_FALSE(aPacketLog_IsEnabled(nullptr));

    EXPECT_EQ(aPacketLog_Destroy(&log_), aErrNone);
    EXPECT_EQ(log_, nullptr);
    EXPECT_EQ(aPacketLog_Destroy(&log_), aErrNone);
    EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
}

// Random puts and gets on small rings against a plain list of entries that
// keeps at most size - 1 bytes (payload + 2 per entry), dropping from the front.
TEST_F(PacketLog, MatchesModelOfWholeEntries) {
    std::mt19937 random(12345);
    for (uint32_t size : {3u, 7u, 16u, 33u, 64u}) {
        SCOPED_TRACE(size);
        aPacketLog_Destroy(&log_);
        Make(size);
        std::deque<std::pair<uint8_t, std::vector<uint8_t>>> model;
        size_t used = 0;
        for (int step = 0; step < 5000; ++step) {
            if (random() % 3 != 0) {
                const uint8_t kind = static_cast<uint8_t>(1 + random() % 3);
                const std::vector<uint8_t> bytes =
                    Payload(random() % (size + 2), static_cast<uint8_t>(random()));
                const aErr result = Put(kind, bytes);
                if (bytes.size() + 2 >= size) {
                    ASSERT_EQ(result, aErrOverrun);
                    continue;
                }
                ASSERT_EQ(result, aErrNone);
                while (used + bytes.size() + 2 > size - 1) {
                    used -= model.front().second.size() + 2;
                    model.pop_front();
                }
                model.emplace_back(kind, bytes);
                used += bytes.size() + 2;
            } else if (model.empty()) {
                ExpectEmpty();
            } else {
                ExpectNext(model.front().first, model.front().second);
                used -= model.front().second.size() + 2;
                model.pop_front();
            }
            ASSERT_FALSE(HasFatalFailure()) << "step " << step;
        }
    }
}

}  // namespace
