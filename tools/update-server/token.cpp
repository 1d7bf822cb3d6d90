#include "update-server/token.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <stdexcept>

namespace update_server {
namespace {

std::string Encode(const uint8_t* data, size_t size, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (size - i == 1) {
        const uint32_t v = uint32_t{data[i]} << 16;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        if (pad) {
            out += "==";
        }
    } else if (size - i == 2) {
        const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        if (pad) {
            out += "=";
        }
    }
    return out;
}

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

std::string Base64(const uint8_t* data, size_t size) {
    return Encode(data, size, kStandard, true);
}

std::string Base64Url(const std::string& data) {
    return Encode(reinterpret_cast<const uint8_t*>(data.data()), data.size(), kUrl, false);
}

std::string HmacSha256(const std::string& key, const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
             &length) == nullptr) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string MakeToken(const std::string& key, const std::string& payloadJson) {
    const std::string signingInput =
        Base64Url(R"({"alg":"HS256","typ":"JWT"})") + "." + Base64Url(payloadJson);
    return signingInput + "." + Base64Url(HmacSha256(key, signingInput));
}

}  // namespace update_server
