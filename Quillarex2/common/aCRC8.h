// CRC-8/MAXIM (1-Wire): reflected polynomial 0x31 (0x8C), initial value 0,
// no final XOR. The CRC of the ASCII digits "123456789" is 0xA1.
#ifndef QUILLAREX_ACRC8_H
#define QUILLAREX_ACRC8_H

#include <cstddef>
#include <cstdint>

// The CRC after one more byte.
uint8_t crc8_update(uint8_t crc, uint8_t byte);

// The CRC of count bytes (0 for none). bytes may be null when count is 0.
uint8_t crc8_create(const uint8_t* bytes, size_t count);

// True when the CRC of the bytes equals expected.
bool crc8_check(const uint8_t* bytes, size_t count, uint8_t expected);

#endif
