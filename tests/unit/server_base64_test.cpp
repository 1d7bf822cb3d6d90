// Base64 codec: the RFC 4648 vectors both ways, every byte value and odd
// lengths through a round trip, and the texts decoding must refuse.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/server/Base64.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

std::string Encode(const std::string& bytes, size_t* length = nullptr) {
    size_t n = 0;
    std::unique_ptr<char, FreeDeleter> text(
        base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &n));
    EXPECT_NE(text, nullptr);
    if (!text) {
        return "<null>";
    }
    EXPECT_EQ(text.get()[n], '\0') << "encoded text is terminated";
    if (length != nullptr) {
        *length = n;
    }
    return std::string(text.get(), n);
}

// Decodes; false when the codec refuses the text.
bool Decode(const std::string& text, std::string& bytes) {
    size_t n = 12345;
    std::unique_ptr<unsigned char, FreeDeleter> out(base64_decode(text.data(), text.size(), &n));
    if (!out) {
        return false;
    }
    EXPECT_EQ(out.get()[n], 0) << "decoded bytes are followed by a zero";
    bytes.assign(reinterpret_cast<const char*>(out.get()), n);
    return true;
}

TEST(Base64, StandardVectorsBothWays) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xFB\xFF\xBF", 3), "+/+/"},
    };
    for (const auto& v : vectors) {
        size_t length = 0;
        EXPECT_EQ(Encode(v.first, &length), v.second) << v.first;
        EXPECT_EQ(length, v.second.size());
        std::string decoded;
        ASSERT_TRUE(Decode(v.second, decoded)) << v.second;
        EXPECT_EQ(decoded, v.first) << v.second;
    }
}

TEST(Base64, EveryByteValueAndLengthRoundTrips) {
    std::string bytes;
    for (int i = 0; i < 3 * 256 + 2; ++i) {
        bytes += static_cast<char>((i * 7 + (i >> 8)) & 0xFF);
    }
    for (size_t length :
         {size_t{1}, size_t{2}, size_t{3}, size_t{255}, size_t{256}, size_t{257}, bytes.size()}) {
        const std::string input = bytes.substr(0, length);
        const std::string text = Encode(input);
        EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
        std::string decoded;
        ASSERT_TRUE(Decode(text, decoded)) << length;
        EXPECT_EQ(decoded, input) << length;
    }
}

TEST(Base64, RefusesTextsThatAreNotStandardBase64) {
    const std::vector<std::string> refused = {
        "Zm9vYg",                 // length not a multiple of four
        "Zm9vY",                  //
        "Zm9\nYmFy",              // line break inside
        "Zm9vYmFy\n",             // trailing line feed (length 9)
        "Zm9v\r\nYmFy\r\n",       //
        "Zm-_",                   // URL-safe alphabet
        "Zm9 ",                   // space
        std::string("Zm\0v", 4),  // zero byte
        "Zm9v\xC3\xA9Zg",         // non-ASCII
    };
    for (const std::string& text : refused) {
        std::string decoded;
        EXPECT_FALSE(Decode(text, decoded)) << text;
    }
}

}  // namespace
