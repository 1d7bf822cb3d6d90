#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/aStream.h"
#include "unix/aStreamFile.h"

namespace {

// A scripted concrete stream: get hands out the scripted results in turn and
// then keeps giving whenEmpty; put and write record what they receive.
struct Fake {
    std::deque<std::pair<aErr, uint8_t>> script;
    aErr whenEmpty = aErrNotReady;
    std::string written;
    int putCalls = 0;
    int writeCalls = 0;
    int failPutAt = -1;  // the put call (counting from 0) that fails
    int deletes = 0;
    aErr deleteResult = aErrNone;

    void Bytes(const std::string& text) {
        for (char c : text) {
            script.emplace_back(aErrNone, static_cast<uint8_t>(c));
        }
    }
    void Then(aErr error) { script.emplace_back(error, 0); }

    static aErr Get(uint8_t* byte, void* reference) {
        Fake* fake = static_cast<Fake*>(reference);
        if (fake->script.empty()) {
            return fake->whenEmpty;
        }
        const auto [result, value] = fake->script.front();
        fake->script.pop_front();
        *byte = value;
        return result;
    }
    static aErr Put(const uint8_t* byte, void* reference) {
        Fake* fake = static_cast<Fake*>(reference);
        if (fake->putCalls++ == fake->failPutAt) {
            return aErrIO;
        }
        fake->written.push_back(static_cast<char>(*byte));
        return aErrNone;
    }
    static aErr Write(const uint8_t* bytes, size_t count, void* reference) {
        Fake* fake = static_cast<Fake*>(reference);
        ++fake->writeCalls;
        fake->written.append(reinterpret_cast<const char*>(bytes), count);
        return aErrNone;
    }
    static aErr Delete(void* reference) {
        Fake* fake = static_cast<Fake*>(reference);
        ++fake->deletes;
        return fake->deleteResult;
    }
};

class Stream : public ::testing::Test {
  protected:
    void SetUp() override {
        stream_ = aStream_Create(Fake::Get, Fake::Put, Fake::Write, Fake::Delete, &fake_);
        ASSERT_NE(stream_, nullptr);
    }
    void TearDown() override { aStream_Destroy(&stream_); }

    std::string Read(size_t count, aErr expected = aErrNone) {
        std::string buffer(count, '#');
        EXPECT_EQ(aStream_Read(stream_, reinterpret_cast<uint8_t*>(buffer.data()), count),
                  expected);
        return buffer;
    }

    Fake fake_;
    aStreamRef stream_ = nullptr;
};

// ---- Reading with push-back

TEST_F(Stream, ReadIsAllOrNothing) {
    fake_.Bytes("ab");
    EXPECT_EQ(Read(4, aErrNotReady), "####");  // buffer untouched
    EXPECT_EQ(Read(4, aErrNotReady), "####");  // still nothing lost
    fake_.Bytes("cdef");
    EXPECT_EQ(Read(4), "abcd");
    EXPECT_EQ(Read(2), "ef");
}

TEST_F(Stream, ReadAtEndOfFileDeliversWhatCame) {
    fake_.Bytes("ab");
    fake_.Then(aErrEOF);
    EXPECT_EQ(Read(4, aErrEOF), "ab##");
}

TEST_F(Stream, ReadFailureLosesOnlyThatRead) {
    fake_.Bytes("a");
    fake_.Then(aErrIO);
    fake_.Bytes("z");
    Read(2, aErrIO);
    EXPECT_EQ(Read(1), "z");
}

// Bytes returned while the ring has wrapped, forcing it to grow: the copy
// into the larger ring must keep them in order.
TEST_F(Stream, PushbackRingGrowsAcrossWrapInOrder) {
    auto bytes = [](int from, int to) {
        std::string text;
        for (int i = from; i < to; ++i) {
            text.push_back(static_cast<char>(i % 251 + 1));
        }
        return text;
    };
    fake_.Bytes(bytes(0, 300));
    Read(301, aErrNotReady);              // 300 bytes held
    EXPECT_EQ(Read(250), bytes(0, 250));  // the ring's head is now well inside
    fake_.Bytes(bytes(300, 850));
    Read(601, aErrNotReady);                // 600 returned: wraps, then grows
    EXPECT_EQ(Read(600), bytes(250, 850));  // all of them, in order
    fake_.Bytes(bytes(850, 2000));
    Read(1200, aErrNotReady);  // grows again, by several chunks
    EXPECT_EQ(Read(1150), bytes(850, 2000));
    EXPECT_TRUE(fake_.script.empty());
}

TEST_F(Stream, ReadArgumentsAndModes) {
    uint8_t byte;
    EXPECT_EQ(aStream_Read(stream_, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(nullptr, &byte, 1), aErrParam);
    aStreamRef writeOnly = aStream_Create(nullptr, Fake::Put, nullptr, nullptr, &fake_);
    EXPECT_EQ(aStream_Read(writeOnly, &byte, 1), aErrMode);
    EXPECT_EQ(aStream_ReadCString(writeOnly, reinterpret_cast<char*>(&byte), 1), aErrMode);
    EXPECT_EQ(aStream_Write(writeOnly, &byte, 1), aErrNone);
    aStream_Destroy(&writeOnly);
}

// ---- Writing

struct WriteCase {
    bool put;
    bool write;
    size_t count;
    int putCalls;
    int writeCalls;
};

class WriteDispatch : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteDispatch, PicksPutOrWrite) {
    const WriteCase c = GetParam();
    Fake fake;
    aStreamRef stream = aStream_Create(nullptr, c.put ? Fake::Put : nullptr,
                                       c.write ? Fake::Write : nullptr, nullptr, &fake);
    const uint8_t bytes[] = {'x', 'y', 'z'};
    EXPECT_EQ(aStream_Write(stream, bytes, c.count), aErrNone);
    EXPECT_EQ(fake.written, std::string("xyz", c.count));
    EXPECT_EQ(fake.putCalls, c.putCalls);
    EXPECT_EQ(fake.writeCalls, c.writeCalls);
    aStream_Destroy(&stream);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, WriteDispatch,
    ::testing::Values(WriteCase{true, true, 1, 1, 0}, WriteCase{true, true, 2, 0, 1},
                      WriteCase{true, false, 3, 3, 0}, WriteCase{false, true, 1, 0, 1},
                      WriteCase{false, true, 3, 0, 1}, WriteCase{true, true, 0, 0, 0}));

TEST_F(Stream, WriteByPutStopsAtFirstError) {
    aStreamRef putOnly = aStream_Create(nullptr, Fake::Put, nullptr, nullptr, &fake_);
    fake_.failPutAt = 1;
    const uint8_t bytes[] = {'a', 'b', 'c'};
    EXPECT_EQ(aStream_Write(putOnly, bytes, 3), aErrIO);
    EXPECT_EQ(fake_.written, "a");
    EXPECT_EQ(fake_.putCalls, 2);
    EXPECT_EQ(aStream_Write(putOnly, nullptr, 1), aErrParam);
    aStream_Destroy(&putOnly);

    aStreamRef none = aStream_Create(Fake::Get, nullptr, nullptr, nullptr, &fake_);
    EXPECT_EQ(aStream_Write(none, bytes, 1), aErrMode);
    aStream_Destroy(&none);
}

TEST_F(Stream, RecordWriters) {
    const uint8_t crlf[] = {'\r', '\n'};
    EXPECT_EQ(aStream_WriteRecord(stream_, reinterpret_cast<const uint8_t*>("ab"), 2, crlf, 2),
              aErrNone);
    EXPECT_EQ(aStream_WriteCString(stream_, "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(stream_, "ok", "\r\n"), aErrNone);
    EXPECT_EQ(fake_.written, std::string("ab\r\nhi\0ok\r\n\0", 12));
    EXPECT_EQ(aStream_WriteRecord(stream_, nullptr, 1, crlf, 2), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(stream_, crlf, 2, nullptr, 1), aErrParam);
}

// ---- Records

TEST_F(Stream, CStringStopsAtCapacityLeavingTheRest) {
    fake_.Bytes(std::string("abcdefg\0", 8));
    char buffer[5];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(aStream_ReadCString(stream_, buffer, sizeof(buffer)), aErrNone);
    EXPECT_STREQ(buffer, "abcd");
    char rest[16];
    EXPECT_EQ(aStream_ReadCString(stream_, rest, sizeof(rest)), aErrNone);
    EXPECT_STREQ(rest, "efg");
    EXPECT_TRUE(fake_.script.empty());
}

TEST_F(Stream, RecordNotReadyReturnsEverythingRead) {
    fake_.Bytes("ab\r");
    char buffer[16] = "untouched";
    EXPECT_EQ(aStream_ReadCStringRecord(stream_, buffer, sizeof(buffer), "\r\n"), aErrNotReady);
    EXPECT_STREQ(buffer, "untouched");
    fake_.Bytes("\nxy");
    EXPECT_EQ(aStream_ReadCStringRecord(stream_, buffer, sizeof(buffer), "\r\n"), aErrNone);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(Read(2), "xy");
}

struct RecordCase {
    std::string name;
    std::string input;  // followed by end of file
    std::string terminator;
    size_t capacity;
    aErr result;
    std::string record;
    std::string rest;  // what a following read finds before the end
};

void PrintTo(const RecordCase& c, std::ostream* out) {
    *out << c.name;
}

class Record : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Record, Reads) {
    const RecordCase& c = GetParam();
    Fake fake;
    fake.Bytes(c.input);
    fake.whenEmpty = aErrEOF;
    aStreamRef stream = aStream_Create(Fake::Get, nullptr, nullptr, nullptr, &fake);
    std::vector<uint8_t> buffer(c.capacity + 1, '#');
    size_t length = 99;
    EXPECT_EQ(aStream_ReadRecord(stream, buffer.data(), &length, c.capacity,
                                 reinterpret_cast<const uint8_t*>(c.terminator.data()),
                                 c.terminator.size()),
              c.result);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), c.record);
    std::string rest;
    uint8_t byte;
    while (aStream_Read(stream, &byte, 1) == aErrNone) {
        rest.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(rest, c.rest);
    aStream_Destroy(&stream);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, Record,
    ::testing::Values(
        RecordCase{"Terminated", "abc\nde", "\n", 16, aErrNone, "abc", "de"},
        RecordCase{"Empty", "\nx", "\n", 16, aErrNone, "", "x"},
        RecordCase{"EndOfFileCompletes", "abc", "\n", 16, aErrNone, "abc", ""},
        RecordCase{"EndOfFileFirst", "", "\n", 16, aErrEOF, "", ""},
        RecordCase{"Truncated", "abcdef\n", "\n", 4, aErrNone, "abcd", "ef\n"},
        RecordCase{"TwoByteTerminator", "a\rb\r\nc", "\r\n", 16, aErrNone, "a\rb", "c"},
        // A match that breaks off resumes: "xaaab" is "xa" and "aab".
        RecordCase{"OverlappingMatch", "xaaab-", "aab", 16, aErrNone, "xa", "-"},
        RecordCase{"UnfinishedTerminatorAtEnd", "ab\r", "\r\n", 16, aErrNone, "ab\r", ""},
        // Bytes read past a full record stay in the stream.
        RecordCase{"TruncatedInsideTerminator", "abc\rx", "\r\n", 3, aErrNone, "abc", "\rx"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

TEST_F(Stream, RecordArguments) {
    uint8_t buffer[4];
    const uint8_t nl = '\n';
    EXPECT_EQ(aStream_ReadRecord(stream_, nullptr, nullptr, 4, &nl, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream_, buffer, nullptr, 4, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream_, buffer, nullptr, 4, &nl, 0), aErrParam);
    char text[4];
    EXPECT_EQ(aStream_ReadCString(stream_, text, 0), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(stream_, text, sizeof(text), ""), aErrParam);
}

// ---- Destroy

TEST(StreamDestroy, CallsDeleteOnceAndReturnsItsResult) {
    Fake fake;
    fake.deleteResult = aErrIO;
    aStreamRef stream = aStream_Create(Fake::Get, nullptr, nullptr, Fake::Delete, &fake);
    EXPECT_EQ(aStream_Destroy(&stream), aErrIO);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(fake.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
    EXPECT_EQ(fake.deletes, 1);
}

// ---- File streams and flush

class FileStream : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qx-stream.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string dir_;
};

TEST_F(FileStream, FlushCopiesWholeFile) {
    std::string content;
    for (int i = 0; i < 5000; ++i) {
        content.push_back(static_cast<char>(i * 7));
    }
    std::ofstream(PathOf("in"), std::ios::binary) << content;
    aStreamRef in = nullptr, out = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(PathOf("in").c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(PathOf("out").c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(Contents(PathOf("out")), content);
}

TEST_F(FileStream, FlushIncludesBytesPushedBack) {
    Fake fake;
    fake.Bytes("ab");
    aStreamRef source = aStream_Create(Fake::Get, nullptr, nullptr, nullptr, &fake);
    uint8_t buffer[3];
    ASSERT_EQ(aStream_Read(source, buffer, 3), aErrNotReady);
    fake.Bytes("c");
    fake.Then(aErrEOF);
    aStreamRef sink = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(PathOf("out").c_str(), &sink), aErrNone);
    EXPECT_EQ(aStream_Flush(source, sink), aErrNone);
    aStream_Destroy(&sink);
    EXPECT_EQ(Contents(PathOf("out")), "abc");

    // A source that stalls ends the flush with its result.
    fake.Bytes("d");
    ASSERT_EQ(aStream_CreateFileOutput(PathOf("out").c_str(), &sink), aErrNone);
    EXPECT_EQ(aStream_Flush(source, sink), aErrNotReady);
    EXPECT_EQ(aStream_Flush(sink, source), aErrMode);
    EXPECT_EQ(aStream_Flush(source, nullptr), aErrParam);
    aStream_Destroy(&sink);
    aStream_Destroy(&source);
}

TEST_F(FileStream, CreationFailures) {
    aStreamRef stream = reinterpret_cast<aStreamRef>(&stream);  // must be cleared
    EXPECT_EQ(aStream_CreateFileInput(PathOf("missing").c_str(), &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(PathOf("x").c_str(), nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(dir_.c_str(), &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(FileStream, OutputByPutAndWrite) {
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(PathOf("out").c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>("x"), 1), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(out, "line", "\n"), aErrNone);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
    aStream_Destroy(&out);
    EXPECT_EQ(Contents(PathOf("out")), std::string("xline\n\0", 7));
}

}  // namespace
