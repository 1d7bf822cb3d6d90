#include "app/server/Base64.h"

#include <cstdlib>

namespace {

constexpr const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Marks of the decoding table beside the six-bit values.
constexpr unsigned char kInvalid = 0xFF;
constexpr unsigned char kPad = 0xFE;

}  // namespace

char* base64_encode(const unsigned char* data, size_t length, size_t* outLength) {
    if (data == nullptr && length != 0) {
        return nullptr;
    }
    const size_t groups = length / 3 + (length % 3 != 0 ? 1 : 0);
    if (groups > (static_cast<size_t>(-1) - 1) / 4) {
        return nullptr;
    }
    const size_t size = groups * 4;
    char* out = static_cast<char*>(malloc(size + 1));
    if (out == nullptr) {
        return nullptr;
    }
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        const size_t left = length - i;
        const unsigned b0 = data[i];
        const unsigned b1 = left > 1 ? data[i + 1] : 0;
        const unsigned b2 = left > 2 ? data[i + 2] : 0;
        const unsigned triple = (b0 << 16) | (b1 << 8) | b2;
        out[o++] = kAlphabet[(triple >> 18) & 0x3F];
        out[o++] = kAlphabet[(triple >> 12) & 0x3F];
        out[o++] = left > 1 ? kAlphabet[(triple >> 6) & 0x3F] : '=';
        out[o++] = left > 2 ? kAlphabet[triple & 0x3F] : '=';
    }
    out[o] = '\0';
    if (outLength != nullptr) {
        *outLength = size;
    }
    return out;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
    if ((text == nullptr && length != 0) || length % 4 != 0) {
        return nullptr;
    }
    unsigned char table[256];
    for (unsigned char& entry : table) {
        entry = kInvalid;
    }
    for (unsigned i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
    table[static_cast<unsigned char>('=')] = kPad;

    size_t size = length / 4 * 3;
    if (length >= 4) {
        size -= text[length - 1] == '=' ? 1 : 0;
        size -= text[length - 2] == '=' ? 1 : 0;
    }
    unsigned char* out = static_cast<unsigned char*>(malloc(size + 1));
    if (out == nullptr) {
        return nullptr;
    }
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        unsigned quad = 0;
        for (size_t k = 0; k < 4; ++k) {
            const unsigned char value = table[static_cast<unsigned char>(text[i + k])];
            if (value == kInvalid) {
                free(out);
                return nullptr;
            }
            quad = (quad << 6) | (value == kPad ? 0u : value);
        }
        const unsigned char bytes[3] = {static_cast<unsigned char>(quad >> 16),
                                        static_cast<unsigned char>(quad >> 8),
                                        static_cast<unsigned char>(quad)};
        for (size_t k = 0; k < 3 && o < size; ++k) {
            out[o++] = bytes[k];
        }
    }
    out[size] = 0;
    if (outLength != nullptr) {
        *outLength = size;
    }
    return out;
}
