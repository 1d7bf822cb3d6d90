#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/aPacket.h"

namespace {

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// ---- The incremental parser

struct ParseCase {
    std::string name;
    std::vector<uint8_t> bytes;
    std::vector<aErr> results;  // one per byte
    bool complete;
};

void PrintTo(const ParseCase& c, std::ostream* out) {
    *out << c.name;
}

class Parser : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Parser, ResultPerByte) {
    const ParseCase& c = GetParam();
    PacketPtr packet(aPacket_Create());
    ASSERT_NE(packet, nullptr);
    ASSERT_EQ(c.bytes.size(), c.results.size());
    for (size_t i = 0; i < c.bytes.size(); ++i) {
        EXPECT_EQ(aPacket_AddByte(packet.get(), c.bytes[i]), c.results[i]) << "byte " << i;
    }
    EXPECT_EQ(aPacket_IsComplete(packet.get()), c.complete);
}

std::vector<uint8_t> Sequence(std::vector<uint8_t> head, size_t fill) {
    for (size_t i = 0; i < fill; ++i) {
        head.push_back(static_cast<uint8_t>(0x40 + i));
    }
    return head;
}

std::vector<aErr> Results(size_t ok, std::vector<aErr> tail) {
    std::vector<aErr> results(ok, aErrNone);
    results.insert(results.end(), tail.begin(), tail.end());
    return results;
}

INSTANTIATE_TEST_SUITE_P(
    Packet, Parser,
    ::testing::Values(
        ParseCase{"EmptyPacket", {0x04, 0x00}, {aErrNone, aErrNone}, true},
        ParseCase{"ZeroAddress", {0x00}, {aErrPacket}, false},
        ParseCase{"TwoDataBytes", {0x04, 0x02, 0xAA, 0xBB}, Results(4, {}), true},
        ParseCase{"Length28", Sequence({0x04, 28}, 28), Results(30, {}), true},
        ParseCase{"Length29", {0x04, 29}, {aErrNone, aErrPacket}, false},
        // Past the end of a complete packet, also one without data (the
        // extra byte must not be taken for its length). The packet must be
        // reset after any error.
        ParseCase{"ByteAfterEnd", {0x04, 0x01, 0xAA, 0xBB}, Results(3, {aErrPacket}), false},
        ParseCase{"ByteAfterEmpty", {0x04, 0x00, 0x07}, Results(2, {aErrPacket}), false},
        // 30 bytes is the longest packet; a 31st overruns, however announced.
        ParseCase{"ThirtyFirstByte", Sequence({0x04, 28}, 29), Results(30, {aErrOverrun}), false},
        ParseCase{"OverrunAfterBadLength", Sequence({0x04, 29}, 29),
                  Results(1,
                          [] {
                              std::vector<aErr> r{aErrPacket};
                              r.insert(r.end(), 28, aErrNone);
                              r.push_back(aErrOverrun);
                              return r;
                          }()),
                  false}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(Packet, ParsedFieldsAndExtraByteLeavesDataAlone) {
    PacketPtr packet(aPacket_Create());
    for (uint8_t byte : {0x06, 0x02, 0x11, 0x22}) {
        ASSERT_EQ(aPacket_AddByte(packet.get(), byte), aErrNone);
    }
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x33), aErrPacket);
    EXPECT_EQ(packet->address, 0x06);
    EXPECT_EQ(packet->dataSize, 2);
    EXPECT_EQ(packet->data[0], 0x11);
    EXPECT_EQ(packet->data[1], 0x22);
    EXPECT_EQ(packet->data[2], 0x00);

    // Reset returns it to empty, ready for the next packet.
    ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
    EXPECT_EQ(packet->address, 0);
    EXPECT_EQ(packet->data[0], 0);
    EXPECT_FALSE(aPacket_IsComplete(packet.get()));
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x08), aErrNone);
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(packet.get()));
}

TEST(Packet, FeedingOnAndOnNeverWraps) {
    PacketPtr packet(aPacket_Create());
    aPacket_AddByte(packet.get(), 0x04);
    aPacket_AddByte(packet.get(), 28);
    for (int i = 0; i < 28; ++i) {
        aPacket_AddByte(packet.get(), 0x55);
    }
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(aPacket_AddByte(packet.get(), 0x55), aErrOverrun) << i;
    }
    EXPECT_FALSE(aPacket_IsComplete(packet.get()));
}

// ---- Creation, copies and the wire form

TEST(Packet, CreateWithDataBounds) {
    uint8_t data[29];
    for (int i = 0; i < 29; ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    PacketPtr full(aPacket_CreateWithData(0x04, 28, data));
    ASSERT_NE(full, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(full.get()));
    EXPECT_EQ(full->count, 30);
    EXPECT_EQ(aPacket_CreateWithData(0x04, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x04, 1, nullptr), nullptr);

    PacketPtr empty(aPacket_CreateWithData(0xAD, 0, data));
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(empty.get()));
    EXPECT_EQ(empty->count, 2);
}

TEST(Packet, GetBytesNeedsRoomForWholePacket) {
    const uint8_t data[] = {0x10, 0x20, 0x30};
    PacketPtr packet(aPacket_CreateWithData(0x04, 3, data));
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof(buffer));
    size_t written = 99;
    EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 4, &written), aErrOverrun);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 5, &written), aErrNone);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5),
              (std::vector<uint8_t>{0x04, 0x03, 0x10, 0x20, 0x30}));
    EXPECT_EQ(aPacket_GetBytes(packet.get(), buffer, 5, nullptr), aErrNone);
    EXPECT_EQ(aPacket_GetBytes(packet.get(), nullptr, 5, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, buffer, 5, nullptr), aErrParam);
}

TEST(Packet, GetBytesOfHalfParsedBadLengthStaysInBounds) {
    // A length byte of 29 is stored; the wire form must not read past the data.
    PacketPtr packet(aPacket_Create());
    aPacket_AddByte(packet.get(), 0x04);
    aPacket_AddByte(packet.get(), 29);
    uint8_t buffer[64];
    EXPECT_NE(aPacket_GetBytes(packet.get(), buffer, sizeof(buffer), nullptr), aErrNone);
    EXPECT_EQ(aPacket_Copy(packet.get()), nullptr);
}

TEST(Packet, CopyIsIndependent) {
    const uint8_t data[] = {1, 2};
    PacketPtr original(aPacket_CreateWithData(0x04, 2, data));
    PacketPtr copy(aPacket_Copy(original.get()));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy.get(), original.get());
    original->data[0] = 9;
    EXPECT_EQ(copy->address, 0x04);
    EXPECT_EQ(copy->dataSize, 2);
    EXPECT_EQ(copy->data[0], 1);
    EXPECT_TRUE(aPacket_IsComplete(copy.get()));
}

TEST(Packet, DestroyClearsReferenceAndChecksMark) {
    aPacketRef packet = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

    // Every operation refuses an object without the mark.
    aPacket forged;
    std::memset(&forged, 0, sizeof(forged));
    uint8_t byte;
    EXPECT_EQ(aPacket_AddByte(&forged, 4), aErrParam);
    EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&forged));
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);
    EXPECT_EQ(aPacket_GetCmd(&forged, &byte), aErrPacket);
}

TEST(Packet, MessageFields) {
    const uint8_t data[] = {0x2A, 0xC5, 0xE3};
    PacketPtr packet(aPacket_CreateWithData(0x04, 3, data));
    uint8_t command = 0, option = 0, index = 0;
    EXPECT_EQ(aPacket_GetCmd(packet.get(), &command), aErrNone);
    EXPECT_EQ(aPacket_GetOption(packet.get(), &option), aErrNone);
    EXPECT_EQ(aPacket_GetIndex(packet.get(), &index), aErrNone);
    EXPECT_EQ(command, 0x2A);
    EXPECT_EQ(option, 0x05);
    EXPECT_EQ(index, 0x03);
    EXPECT_EQ(aPacket_GetCmd(packet.get(), nullptr), aErrParam);

    // Each field needs its data byte.
    PacketPtr two(aPacket_CreateWithData(0x04, 2, data));
    PacketPtr none(aPacket_CreateWithData(0x04, 0, data));
    EXPECT_EQ(aPacket_GetOption(two.get(), &option), aErrNone);
    EXPECT_EQ(aPacket_GetIndex(two.get(), &index), aErrPacket);
    EXPECT_EQ(aPacket_GetCmd(none.get(), &command), aErrPacket);
}

}  // namespace
