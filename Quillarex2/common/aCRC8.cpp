#include "common/aCRC8.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> sMakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t value = 0; value < 256; ++value) {
        uint32_t crc = value;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
        }
        table[value] = crc;
    }
    return table;
}

// One entry per byte value; only the low byte of each word is used.
constexpr std::array<uint32_t, 256> _crc8LUT = sMakeTable();

}  // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte) {
    return static_cast<uint8_t>(_crc8LUT[crc ^ byte]);
}

uint8_t crc8_create(const uint8_t* bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc = crc8_update(crc, bytes[i]);
    }
    return crc;
}

bool crc8_check(const uint8_t* bytes, size_t count, uint8_t expected) {
    return crc8_create(bytes, count) == expected;
}
