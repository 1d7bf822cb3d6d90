// UEI message encoding, answer matching and the classification helpers,
// without a link: messages are collected as they would be queued.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "api/aUEI.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sent {
    uint8_t address;
    Bytes data;
    bool operator==(const Sent& o) const { return address == o.address && data == o.data; }
};

std::ostream& operator<<(std::ostream& os, const Sent& s) {
    os << int(s.address) << ":";
    for (uint8_t b : s.data)
        os << " " << std::hex << int(b) << std::dec;
    return os;
}

struct Collector {
    std::vector<Sent> sent;
    size_t failAt = SIZE_MAX;
    static aErr put(uint8_t address, const uint8_t* data, size_t length, void* ref) {
        auto* self = static_cast<Collector*>(ref);
        if (self->sent.size() == self->failAt)
            return aErrResource;
        self->sent.push_back({address, Bytes(data, data + length)});
        return aErrNone;
    }
};

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr packet(uint8_t address, const Bytes& data) {
    return PacketPtr(aPacket_CreateWithData(address, data.size(), data.data()));
}

uei record(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uint32_t type) {
    uei u{};
    u.module = module;
    u.command = command;
    u.option = option;
    u.specifier = specifier;
    u.type = type;
    return u;
}

TEST(ueiCodec, BigEndianHelpers) {
    uint8_t b[4];
    aUEI_StoreInt(b, 0x01020304);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(aUEI_RetrieveInt(b), 0x01020304u);
    aUEI_StoreShort(b, 0xA1B2);
    EXPECT_EQ(Bytes(b, b + 2), (Bytes{0xA1, 0xB2}));
    EXPECT_EQ(aUEI_RetrieveShort(b), 0xA1B2);

    uint8_t words[8] = {0, 0, 0, 3, 0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t w[2];
    std::memcpy(w, words, 8);
    aUEI_ModifyIntBuffer(w, 2);
    EXPECT_EQ(w[0], 3u);
    EXPECT_EQ(w[1], 0xDEADBEEFu);
}

TEST(ueiCodec, ValueMessagesByType) {
    struct Case {
        uint32_t type;
        uint32_t value;
        bool withSub;
        Bytes data;
    } cases[] = {
        {aUEI_TYPE_NONE, 0, false, {3, 0x85, 0x20}},
        {aUEI_TYPE_BYTE, 0x7F, false, {3, 0x85, 0x20, 0x7F}},
        {aUEI_TYPE_SHORT, 0x1234, false, {3, 0x85, 0x20, 0x12, 0x34}},
        {aUEI_TYPE_INT, 0x01020304, false, {3, 0x85, 0x20, 1, 2, 3, 4}},
        {aUEI_TYPE_NONE, 0, true, {3, 0x85, 0x20, 9}},
        {aUEI_TYPE_BYTE, 0x7F, true, {3, 0x85, 0x20, 9, 0x7F}},
        {aUEI_TYPE_SHORT, 0x1234, true, {3, 0x85, 0x20, 9, 0x12, 0x34}},
        {aUEI_TYPE_INT, 0x01020304, true, {3, 0x85, 0x20, 9, 1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        uei u = record(2, 3, 0x85, 0x20, c.type);
        if (c.type == aUEI_TYPE_BYTE)
            u.value.byteVal = uint8_t(c.value);
        if (c.type == aUEI_TYPE_SHORT)
            u.value.shortVal = uint16_t(c.value);
        if (c.type == aUEI_TYPE_INT)
            u.value.intVal = c.value;
        Collector out;
        uint8_t sub = 9;
        ASSERT_EQ(aUEI_Send(&u, c.withSub ? &sub : nullptr, Collector::put, &out), aErrNone);
        EXPECT_EQ(out.sent, (std::vector<Sent>{{2, c.data}})) << c.type << " " << c.withSub;
    }
}

TEST(ueiCodec, UnsendableRecordsAreRefused) {
    Collector out;
    uei u = record(2, 3, 0x85, 0x20, 3);
    EXPECT_EQ(aUEI_Send(&u, nullptr, Collector::put, &out), aErrParam);
    u.type = 6;
    EXPECT_EQ(aUEI_Send(&u, nullptr, Collector::put, &out), aErrParam);
    uint8_t data[4] = {};
    u.type = aUEI_TYPE_BYTES;
    u.value.bytes = data;
    u.length = 4;
    uint8_t sub = 1;
    EXPECT_EQ(aUEI_Send(&u, &sub, Collector::put, &out), aErrParam);
    u.value.bytes = nullptr;
    EXPECT_EQ(aUEI_Send(&u, nullptr, Collector::put, &out), aErrParam);
    EXPECT_TRUE(out.sent.empty());
}

// Chunks of 24 bytes with the more-bit and a counter; lengths that meet the
// chunk size exactly and a counter that wraps past 127.
TEST(ueiCodec, ByteArrayChunking) {
    struct Case {
        size_t length;
        std::vector<size_t> chunks;
    } cases[] = {{0, {0}}, {24, {24}}, {25, {24, 1}}, {48, {24, 24}}, {50, {24, 24, 2}}};
    for (const Case& c : cases) {
        Bytes payload(c.length);
        for (size_t i = 0; i < c.length; ++i)
            payload[i] = uint8_t(i * 7 + 1);
        uei u = record(4, 3, 0x80 | 32, 0x20, aUEI_TYPE_BYTES);
        u.value.bytes = payload.data();
        u.length = c.length;
        Collector out;
        ASSERT_EQ(aUEI_Send(&u, nullptr, Collector::put, &out), aErrNone);
        ASSERT_EQ(out.sent.size(), c.chunks.size()) << c.length;
        Bytes joined;
        for (size_t i = 0; i < out.sent.size(); ++i) {
            const Bytes& d = out.sent[i].data;
            EXPECT_EQ(out.sent[i].address, 4);
            ASSERT_EQ(d.size(), c.chunks[i] + 4);
            EXPECT_EQ(Bytes(d.begin(), d.begin() + 3), (Bytes{3, 0x80 | 32, 0x20}));
            bool last = i + 1 == out.sent.size();
            EXPECT_EQ(d.back(), uint8_t((last ? 0 : 0x80) | i)) << c.length << " message " << i;
            joined.insert(joined.end(), d.begin() + 3, d.end() - 1);
        }
        EXPECT_EQ(joined, payload);
    }

    Bytes big(24 * 130 + 5, 0x5A);
    uei u = record(4, 3, 0xA0, 0x20, aUEI_TYPE_BYTES);
    u.value.bytes = big.data();
    u.length = big.size();
    Collector out;
    ASSERT_EQ(aUEI_Send(&u, nullptr, Collector::put, &out), aErrNone);
    ASSERT_EQ(out.sent.size(), 131u);
    EXPECT_EQ(out.sent[127].data.back(), 0x80 | 127);
    EXPECT_EQ(out.sent[128].data.back(), 0x80 | 0);
    EXPECT_EQ(out.sent[130].data.back(), 2);
    EXPECT_EQ(out.sent[130].data.size(), 9u);

    // The first failing put ends the transfer with its error.
    Collector failing;
    failing.failAt = 1;
    u.length = 60;
    EXPECT_EQ(aUEI_Send(&u, nullptr, Collector::put, &failing), aErrResource);
    EXPECT_EQ(failing.sent.size(), 1u);
}

TEST(ueiCodec, AnswerMatching) {
    // A get answer of each width.
    struct Case {
        Bytes data;
        uint32_t type;
        uint32_t value;
    } values[] = {
        {{3, 5, 0}, aUEI_TYPE_NONE, 0},
        {{3, 5, 0, 0x7E}, aUEI_TYPE_BYTE, 0x7E},
        {{3, 5, 0, 0x12, 0x34}, aUEI_TYPE_SHORT, 0x1234},
        {{3, 5, 0x20, 1, 2, 3, 4}, aUEI_TYPE_INT, 0x01020304},
    };
    for (const Case& c : values) {
        uei u = record(2, 3, 5, 0, 77);
        ASSERT_TRUE(aUEI_MatchAnswer(packet(2, c.data).get(), &u)) << c.data.size();
        EXPECT_EQ(u.type, c.type);
        uint32_t got = c.type == aUEI_TYPE_BYTE    ? u.value.byteVal
                       : c.type == aUEI_TYPE_SHORT ? u.value.shortVal
                       : c.type == aUEI_TYPE_INT   ? u.value.intVal
                                                   : 0;
        EXPECT_EQ(got, c.value);
    }
    // Another length matches without touching type or value.
    uei u = record(2, 3, 5, 0, 77);
    u.value.intVal = 99;
    EXPECT_TRUE(aUEI_MatchAnswer(packet(2, {3, 5, 0, 1, 2, 3}).get(), &u));
    EXPECT_EQ(u.type, 77u);
    EXPECT_EQ(u.value.intVal, 99u);

    // Whatever differs in address, command, option or index is left queued.
    const Bytes others[] = {{4, 5, 0, 1}, {3, 0xC5, 0, 1}, {3, 5, 1, 1}, {3, 5}};
    for (const Bytes& d : others) {
        uei v = record(2, 3, 5, 0, 0);
        EXPECT_FALSE(aUEI_MatchAnswer(packet(2, d).get(), &v));
    }
    uei v = record(2, 3, 5, 0, 0);
    EXPECT_FALSE(aUEI_MatchAnswer(packet(6, {3, 5, 0, 1}).get(), &v));
    EXPECT_FALSE(aUEI_MatchAnswer(nullptr, &v));

    // An error answer carries the module's code; one without a code is still
    // a failure.
    uei e = record(2, 3, 0xC5, 0, 0);
    ASSERT_TRUE(aUEI_MatchAnswer(packet(2, {3, 0xC5, 0xA0, 5}).get(), &e));
    EXPECT_EQ(e.specifier, 0xA0);
    EXPECT_EQ(e.value.byteVal, 5);
    uei f = record(2, 3, 0xC5, 0, 0);
    ASSERT_TRUE(aUEI_MatchAnswer(packet(2, {3, 0xC5, 0x80}).get(), &f));
    EXPECT_EQ(f.value.byteVal, aErrUnknown);
}

TEST(ueiCodec, ByteArrayReception) {
    uint8_t buffer[30] = {};
    uint64_t count = 0;
    uei u = record(2, 3, 32, 0, aUEI_TYPE_BYTES);
    u.value.bytes = buffer;
    u.length = sizeof buffer;
    u.received = &count;

    Bytes first{3, 32, 0};
    for (int i = 0; i < 24; ++i)
        first.push_back(uint8_t(i));
    first.push_back(0x80);  // more, sequence 0

    // Out of sequence: stays queued.
    u.sequence = 1;
    EXPECT_FALSE(aUEI_MatchBytes(packet(2, first).get(), &u));
    EXPECT_EQ(count, 0u);
    u.sequence = 0;
    ASSERT_TRUE(aUEI_MatchBytes(packet(2, first).get(), &u));
    EXPECT_EQ(count, 24u);
    EXPECT_TRUE(u.continues);
    EXPECT_EQ(u.sequence, 0);
    EXPECT_EQ(buffer[23], 23);

    // The next one would not fit into the 30 bytes: an aErrMemory answer.
    u.sequence = 1;
    Bytes second{3, 32, 0, 1, 2, 3, 4, 5, 6, 7, 1};
    ASSERT_TRUE(aUEI_MatchBytes(packet(2, second).get(), &u));
    EXPECT_TRUE(u.specifier & aUEI_SPEC_ERROR);
    EXPECT_EQ(u.value.byteVal, aErrMemory);
    EXPECT_EQ(count, 24u);

    // Error answers are accepted whatever their sequence.
    uei e = record(2, 3, 32, 0, aUEI_TYPE_BYTES);
    e.sequence = 3;
    ASSERT_TRUE(aUEI_MatchBytes(packet(2, {3, 32, 0x80, 29}).get(), &e));
    EXPECT_EQ(e.value.byteVal, 29);
}

TEST(ueiCodec, Classification) {
    for (uint8_t c : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175}) {
        EXPECT_TRUE(aUEI_isNotUEIPayload(packet(2, {c, 0, 0}).get())) << int(c);
        EXPECT_FALSE(aUEI_isUEIPayload(packet(2, {c, 0, 0}).get())) << int(c);
    }
    for (uint8_t c : {3, 5, 92, 93, 174}) {
        EXPECT_TRUE(aUEI_isUEIPayload(packet(2, {c, 0, 0}).get())) << int(c);
    }
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));

    // Stream samples: report operation, stream bit, more than 4 data bytes.
    EXPECT_TRUE(aUEI_isStreamPacket(packet(2, {3, 12, 0x40, 3, 0}).get()));
    EXPECT_FALSE(aUEI_isStreamPacket(packet(2, {3, 12, 0x40, 3}).get()));
    EXPECT_FALSE(aUEI_isStreamPacket(packet(2, {3, 0x4C, 0x40, 3, 0}).get()));
    EXPECT_FALSE(aUEI_isStreamPacket(packet(2, {3, 12, 0x00, 3, 0}).get()));
    EXPECT_FALSE(aUEI_isStreamPacket(packet(2, {8, 12, 0x40, 3, 0}).get()));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));

    // Trailers.
    Bytes full(28, 0);
    full.back() = 0x85;
    auto p = packet(2, full);
    EXPECT_TRUE(aUEI_getBytesFullPacket(p.get()));
    EXPECT_TRUE(aUEI_getBytesContinue(p.get()));
    EXPECT_EQ(aUEI_getBytesSequence(p.get()), 5);
    EXPECT_FALSE(aUEI_getBytesFullPacket(packet(2, Bytes(26, 0)).get()));
    EXPECT_TRUE(aUEI_getBytesFullPacket(packet(2, Bytes(27, 0)).get()));
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
}

}  // namespace
