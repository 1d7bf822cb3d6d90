#include "common/aCOBS.h"

#include <cstring>

namespace {

// Runs the encoder; with a null destination it only counts.
size_t sEncode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t out = 1;   // next output position
    size_t code = 0;  // position of the current block's code byte
    uint8_t run = 1;  // code value of the current block
    for (size_t in = 0; in < length; ++in) {
        const uint8_t byte = source[in];
        if (byte == 0) {
            if (destination != nullptr) {
                destination[code] = run;
            }
            code = out++;
            run = 1;
            continue;
        }
        if (destination != nullptr) {
            destination[out] = byte;
        }
        ++out;
        if (++run == 0xFF) {
            if (destination != nullptr) {
                destination[code] = run;
            }
            run = 1;
            if (in + 1 < length) {
                code = out++;  // a new block follows
            } else {
                return out;  // a full block at the end needs no closing code
            }
        }
    }
    if (destination != nullptr) {
        destination[code] = run;
    }
    return out;
}

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
    if ((source == nullptr && length > 0) || destination == nullptr) {
        return 0;
    }
    return sEncode(source, length, destination);
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
    if (buffer == nullptr) {
        return 0;
    }
    const size_t encoded = sEncode(buffer, length, nullptr);
    if (encoded > length + 1) {
        return 0;
    }
    // Shifted one place up, every input byte lies at or beyond the position
    // its encoding goes to, so the encoder never overwrites unread input.
    std::memmove(buffer + 1, buffer, length);
    return sEncode(buffer + 1, length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
    if (source == nullptr || destination == nullptr || length == 0) {
        return 0;
    }
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        const uint8_t code = source[in++];
        if (code == 0 || in + code - 1 > length) {
            return 0;
        }
        for (uint8_t i = 1; i < code; ++i) {
            const uint8_t byte = source[in++];
            if (byte == 0) {
                return 0;
            }
            destination[out++] = byte;
        }
        if (code != 0xFF && in < length) {
            destination[out++] = 0;
        }
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
    return cobs_decode(buffer, length, buffer);
}
