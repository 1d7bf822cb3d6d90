// Consistent Overhead Byte Stuffing: encodes bytes so that the result holds
// no zero byte, letting a zero byte delimit frames. The encoding is a series
// of blocks, each a code byte n (1 to 255) and n - 1 non-zero bytes; a block
// with a code below 255 stands for its bytes and a zero, except at the very
// end; a block with code 255 stands for 254 bytes and no zero.
// None of the functions adds or expects a delimiter.
#ifndef QUILLAREX_ACOBS_H
#define QUILLAREX_ACOBS_H

#include <cstddef>
#include <cstdint>

// Largest encoded size of length bytes: length + 1 + length / 254.
#define COBS_ENCODED_MAX(length) ((length) + 1 + (length) / 254)

// Encodes length bytes of source into destination, which must have room for
// COBS_ENCODED_MAX(length) bytes and must not overlap source. Returns the
// encoded length (1 for empty input); 0 when either pointer is null.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

// Encodes the first length bytes of buffer within buffer, which must have
// room for length + 1 bytes. Returns the encoded length, or 0 (buffer
// unchanged) when the encoding would need more than length + 1 bytes
// (254 non-zero bytes in a row) or buffer is null.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

// Decodes length encoded bytes of source into destination, which must have
// room for length bytes and may be source itself. Returns the decoded length,
// or 0 for a malformed input: empty, a zero byte, or a code that points past
// the end.
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);

// Decodes within buffer; as cobs_decode.
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

#endif
