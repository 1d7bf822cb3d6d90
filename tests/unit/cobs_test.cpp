#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "common/aCOBS.h"
#include "common/aCRC8.h"
#include "common/aStream.h"
#include "support/cobs_frame.h"
#include "unix/aStreamCOBS.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Run(size_t count, uint8_t first = 1) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>((first + i - 1) % 255 + 1);  // never 0
    }
    return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// ---- CRC-8/MAXIM

TEST(Crc8, CheckValues) {
    const char* digits = "123456789";
    EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(digits), 9), 0xA1);
    EXPECT_EQ(crc8_create(nullptr, 0), 0x00);
    const Bytes emptyPacket = {0x04, 0x00};
    EXPECT_EQ(crc8_create(emptyPacket.data(), 2), 0x3B);
    EXPECT_TRUE(crc8_check(emptyPacket.data(), 2, 0x3B));
    EXPECT_FALSE(crc8_check(emptyPacket.data(), 2, 0x3A));
    // Bytewise update agrees with the whole.
    uint8_t crc = 0;
    for (int i = 0; i < 9; ++i) {
        crc = crc8_update(crc, static_cast<uint8_t>(digits[i]));
    }
    EXPECT_EQ(crc, 0xA1);
}

// ---- COBS codec

struct CodecCase {
    std::string name;
    Bytes plain;
    Bytes encoded;
};

void PrintTo(const CodecCase& c, std::ostream* out) {
    *out << c.name;
}

class Codec : public ::testing::TestWithParam<CodecCase> {};

TEST_P(Codec, EncodesAndDecodes) {
    const CodecCase& c = GetParam();
    Bytes out(COBS_ENCODED_MAX(c.plain.size()) + 8, 0xEE);
    ASSERT_EQ(cobs_encode(c.plain.data(), c.plain.size(), out.data()), c.encoded.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.encoded.size()), c.encoded);
    EXPECT_EQ(out[c.encoded.size()], 0xEE) << "wrote past the encoding";

    Bytes decoded(c.encoded.size(), 0xEE);
    EXPECT_EQ(cobs_decode(c.encoded.data(), c.encoded.size(), decoded.data()), c.plain.size());
    EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + c.plain.size()), c.plain);

    Bytes inPlace = c.encoded;
    EXPECT_EQ(cobs_decode_inplace(inPlace.data(), inPlace.size()), c.plain.size());
    EXPECT_EQ(Bytes(inPlace.begin(), inPlace.begin() + c.plain.size()), c.plain);

    // In place with one spare byte: works whenever the encoding is one longer.
    Bytes buffer = c.plain;
    buffer.push_back(0xEE);
    const size_t encoded = cobs_encode_inplace(buffer.data(), c.plain.size());
    if (c.encoded.size() == c.plain.size() + 1) {
        EXPECT_EQ(encoded, c.encoded.size());
        EXPECT_EQ(buffer, c.encoded);
    } else {
        EXPECT_EQ(encoded, 0u);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), c.plain) << "changed on refusal";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cobs, Codec,
    ::testing::Values(
        CodecCase{"OneZero", {0x00}, {0x01, 0x01}},
        CodecCase{"TwoZeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
        CodecCase{"Mixed", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        CodecCase{"NoZero", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
        CodecCase{"TrailingZeros", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
        CodecCase{"EmptyPacketWithCrc", {0x04, 0x00, 0x3B}, {0x02, 0x04, 0x02, 0x3B}},
        CodecCase{"FullBlock", Run(254), Cat({{0xFF}, Run(254)})},
        CodecCase{"FullBlockAndZero", Cat({Run(254), {0x00}}),
                  Cat({{0xFF}, Run(254), {0x01, 0x01}})},
        CodecCase{"BlockAndOneMore", Run(255), Cat({{0xFF}, Run(254), {0x02}, Run(1, 255)})},
        CodecCase{"ZeroThenFullBlock", Cat({{0x00}, Run(254)}), Cat({{0x01, 0xFF}, Run(254)})}),
    [](const ::testing::TestParamInfo<CodecCase>& info) { return info.param.name; });

TEST(Cobs, RoundTripsAnyInput) {
    std::mt19937 random(12345);
    for (size_t length : {1u, 2u, 30u, 253u, 254u, 255u, 508u, 509u, 700u}) {
        for (int zeroEvery : {0, 2, 50, 300}) {
            Bytes plain(length);
            for (uint8_t& byte : plain) {
                byte = static_cast<uint8_t>(random() % 255 + 1);
                if (zeroEvery != 0 && random() % zeroEvery == 0) {
                    byte = 0;
                }
            }
            Bytes encoded(COBS_ENCODED_MAX(length));
            const size_t size = cobs_encode(plain.data(), length, encoded.data());
            ASSERT_LE(size, encoded.size());
            encoded.resize(size);
            EXPECT_EQ(std::count(encoded.begin(), encoded.end(), 0), 0);
            Bytes decoded(size);
            ASSERT_EQ(cobs_decode(encoded.data(), size, decoded.data()), length)
                << length << "/" << zeroEvery;
            decoded.resize(length);
            EXPECT_EQ(decoded, plain) << length << "/" << zeroEvery;
        }
    }
}

TEST(Cobs, MalformedInputDecodesToNothing) {
    uint8_t out[16];
    const Bytes pastEnd = {0x05, 0x11, 0x22};
    EXPECT_EQ(cobs_decode(pastEnd.data(), pastEnd.size(), out), 0u);
    const Bytes zeroInside = {0x03, 0x11, 0x00};
    EXPECT_EQ(cobs_decode(zeroInside.data(), zeroInside.size(), out), 0u);
    const Bytes zeroCode = {0x00, 0x11};
    EXPECT_EQ(cobs_decode(zeroCode.data(), zeroCode.size(), out), 0u);
    EXPECT_EQ(cobs_decode(out, 0, out), 0u);
    EXPECT_EQ(cobs_decode(nullptr, 2, out), 0u);
    EXPECT_EQ(cobs_encode(nullptr, 2, out), 0u);
}

// ---- The framed stream, over a scripted lower stream

struct Line {
    std::deque<uint8_t> incoming;
    std::vector<Bytes> frames;  // one per lower write
    Bytes puts;
    aErr writeResult = aErrNone;
    int deletes = 0;

    static aErr Get(uint8_t* byte, void* reference) {
        Line* line = static_cast<Line*>(reference);
        if (line->incoming.empty()) {
            return aErrNotReady;
        }
        *byte = line->incoming.front();
        line->incoming.pop_front();
        return aErrNone;
    }
    static aErr Put(const uint8_t* byte, void* reference) {
        static_cast<Line*>(reference)->puts.push_back(*byte);
        return aErrNone;
    }
    static aErr Write(const uint8_t* bytes, size_t count, void* reference) {
        Line* line = static_cast<Line*>(reference);
        line->frames.emplace_back(bytes, bytes + count);
        return line->writeResult;
    }
    static aErr Delete(void* reference) {
        ++static_cast<Line*>(reference)->deletes;
        return aErrNone;
    }
};

using qxtest::FrameOf;

Bytes PacketOf(uint8_t address, size_t dataLength) {
    Bytes packet = {address, static_cast<uint8_t>(dataLength)};
    for (size_t i = 0; i < dataLength; ++i) {
        packet.push_back(static_cast<uint8_t>(i == 3 ? 0 : 0x30 + i));  // one zero inside
    }
    return packet;
}

class CobsStream : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateCobsEncoding(Line::Get, Line::Put, Line::Write, Line::Delete,
                                             &line_, &stream_),
                  aErrNone);
    }
    void TearDown() override {
        if (stream_ != nullptr) {
            EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
            EXPECT_EQ(line_.deletes, 1);
        }
    }
    void Arrive(const Bytes& bytes) {
        line_.incoming.insert(line_.incoming.end(), bytes.begin(), bytes.end());
    }

    // Reads one byte at a time until the line is drained and nothing is
    // pending (a packet's bytes come right after the delimiter that ends its
    // frame, so two results of no byte in a row on a drained line mean the
    // end); returns the results and the bytes delivered.
    std::pair<std::vector<aErr>, Bytes> ReadAll() {
        std::vector<aErr> results;
        Bytes delivered;
        int idle = 0;
        for (int guard = 0; guard < 10000 && idle < 2; ++guard) {
            uint8_t byte;
            const aErr result = aStream_Read(stream_, &byte, 1);
            if (result == aErrNone) {
                delivered.push_back(byte);
            }
            idle = result == aErrNotReady && line_.incoming.empty() ? idle + 1 : 0;
            results.push_back(result);
        }
        return {results, delivered};
    }

    Line line_;
    aStreamRef stream_ = nullptr;
};

TEST_F(CobsStream, EmptyPacketExample) {
    const Bytes packet = {0x04, 0x00};
    EXPECT_EQ(aStream_Write(stream_, packet.data(), 2), aErrNone);
    ASSERT_EQ(line_.frames.size(), 1u);
    EXPECT_EQ(line_.frames[0], (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));

    Arrive(line_.frames[0]);
    std::vector<aErr> results;
    for (int i = 0; i < 7; ++i) {
        uint8_t byte = 0xEE;
        results.push_back(aStream_Read(stream_, &byte, 1));
        if (results.back() == aErrNone) {
            results.push_back(static_cast<aErr>(100 + byte));  // the byte, recorded
        }
    }
    const aErr kNotReady = aErrNotReady;
    EXPECT_EQ(results, (std::vector<aErr>{kNotReady, kNotReady, kNotReady, kNotReady, kNotReady,
                                          aErrNone, static_cast<aErr>(100 + 0x04), aErrNone,
                                          static_cast<aErr>(100 + 0x00)}));
}

TEST_F(CobsStream, CorruptFrameDroppedNextDelivered) {
    Bytes bad = FrameOf({0x04, 0x01, 0x55});
    bad[bad.size() - 2] ^= 0x10;  // the CRC byte (encoded in place, no zero in it)
    Arrive(bad);
    Arrive({0x00, 0x00});  // delimiters in a row are ignored
    Arrive(FrameOf({0x06, 0x02, 0x00, 0x07}));
    const auto [results, delivered] = ReadAll();
    EXPECT_EQ(std::count(results.begin(), results.end(), aErrPacket), 1);
    EXPECT_EQ(delivered, (Bytes{0x06, 0x02, 0x00, 0x07}));
}

struct BadFrame {
    std::string name;
    Bytes frame;
};

void PrintTo(const BadFrame& c, std::ostream* out) {
    *out << c.name;
}

class CobsRejects : public CobsStream, public ::testing::WithParamInterface<BadFrame> {};

TEST_P(CobsRejects, FrameAndKeepsNextOne) {
    Arrive(GetParam().frame);
    Arrive(FrameOf({0x08, 0x00}));
    const auto [results, delivered] = ReadAll();
    EXPECT_EQ(std::count(results.begin(), results.end(), aErrPacket), 1);
    EXPECT_EQ(delivered, (Bytes{0x08, 0x00}));
}

Bytes WithLengthByte(Bytes packet, uint8_t length) {
    packet[1] = length;
    Bytes payload = packet;
    payload.push_back(crc8_create(packet.data(), packet.size()));  // CRC still right
    Bytes frame(COBS_ENCODED_MAX(payload.size()));
    frame.resize(cobs_encode(payload.data(), payload.size(), frame.data()));
    frame.push_back(0);
    return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Cobs, CobsRejects,
    ::testing::Values(BadFrame{"CodePastEnd", {0x05, 0x04, 0x00}},
                      BadFrame{"TooShort", {0x02, 0x04, 0x00}},
                      BadFrame{"LengthDisagrees", WithLengthByte({0x04, 0x01, 0x55}, 2)},
                      // 28 data bytes: 32 encoded bytes, one more than a frame holds.
                      BadFrame{"TwentyEightDataBytes", FrameOf(PacketOf(0x04, 28))},
                      // Two frames run together (a lost delimiter), far too long.
                      BadFrame{"Merged",
                               [] {
                                   Bytes a = FrameOf(PacketOf(0x04, 20));
                                   Bytes b = FrameOf(PacketOf(0x04, 20));
                                   a.pop_back();
                                   return Cat({a, b});
                               }()}),
    [](const ::testing::TestParamInfo<BadFrame>& info) { return info.param.name; });

TEST_F(CobsStream, TwentySevenDataBytesBothWays) {
    const Bytes packet = PacketOf(0x04, 27);
    EXPECT_EQ(aStream_Write(stream_, packet.data(), packet.size()), aErrNone);
    ASSERT_EQ(line_.frames.size(), 1u);
    EXPECT_EQ(line_.frames[0].size(), 32u);  // 31 encoded bytes and the delimiter
    EXPECT_EQ(line_.frames[0], FrameOf(packet));

    Arrive(line_.frames[0]);
    EXPECT_EQ(ReadAll().second, packet);
}

TEST_F(CobsStream, TwentyEightDataBytesAreNotSent) {
    const Bytes tooLong = PacketOf(0x04, 28);
    const Bytes next = {0x04, 0x00};
    const Bytes both = Cat({tooLong, next});
    EXPECT_EQ(aStream_Write(stream_, both.data(), both.size()), aErrSize);
    ASSERT_EQ(line_.frames.size(), 1u);  // only the packet after it
    EXPECT_EQ(line_.frames[0], FrameOf(next));
}

TEST_F(CobsStream, WriteFramesEachPacketAndKeepsPartialOnes) {
    // Several packets in one write (a pooled batch), the last one split.
    const Bytes a = PacketOf(0x04, 3), b = {0x06, 0x00}, c = PacketOf(0x08, 5);
    const Bytes batch = Cat({a, b, Bytes(c.begin(), c.begin() + 4)});
    EXPECT_EQ(aStream_Write(stream_, batch.data(), batch.size()), aErrNone);
    ASSERT_EQ(line_.frames.size(), 2u);
    EXPECT_EQ(line_.frames[0], FrameOf(a));
    EXPECT_EQ(line_.frames[1], FrameOf(b));
    EXPECT_EQ(aStream_Write(stream_, c.data() + 4, c.size() - 4), aErrNone);
    ASSERT_EQ(line_.frames.size(), 3u);
    EXPECT_EQ(line_.frames[2], FrameOf(c));
}

TEST_F(CobsStream, WriteReportsDroppedBytesAndLowerErrorsButGoesOn) {
    // A zero address byte is no packet: dropped and reported; the next
    // packet still goes out.
    const Bytes junk = {0x00, 0x04, 0x00};
    EXPECT_EQ(aStream_Write(stream_, junk.data(), junk.size()), aErrPacket);
    ASSERT_EQ(line_.frames.size(), 1u);
    EXPECT_EQ(line_.frames[0], FrameOf({0x04, 0x00}));

    line_.writeResult = aErrIO;
    const Bytes two = {0x04, 0x00, 0x06, 0x00};
    EXPECT_EQ(aStream_Write(stream_, two.data(), two.size()), aErrIO);
    EXPECT_EQ(line_.frames.size(), 3u);  // the second packet was still framed and written
}

TEST_F(CobsStream, PutPassesSingleBytesUnframed) {
    const uint8_t byte = 0x5A;
    EXPECT_EQ(aStream_Write(stream_, &byte, 1), aErrNone);
    EXPECT_EQ(line_.puts, Bytes{0x5A});
    EXPECT_TRUE(line_.frames.empty());
}

TEST(CobsStreamCreate, Arguments) {
    Line line;
    EXPECT_EQ(
        aStream_CreateCobsEncoding(Line::Get, Line::Put, Line::Write, Line::Delete, &line, nullptr),
        aErrParam);
    EXPECT_EQ(line.deletes, 0);
}

}  // namespace
