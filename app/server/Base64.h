// Base64 with the standard alphabet ("A"-"Z", "a"-"z", "0"-"9", "+", "/") and
// "=" padding, as the update server delivers BIRD files.
#ifndef APP_SERVER_BASE64_H
#define APP_SERVER_BASE64_H

#include <cstddef>

// Encodes `length` bytes into 4 * ceil(length / 3) characters followed by a
// terminating zero. Returns a buffer from malloc (release it with free) and
// sets *outLength to the number of characters, or returns null.
char* base64_encode(const unsigned char* data, size_t length, size_t* outLength);

// Decodes `length` characters. The text length must be a multiple of four;
// each of the last two characters that is "=" takes one byte off the output,
// and an "=" counts as zero bits wherever it stands. Any other character
// outside the alphabet (line breaks included) rejects the text. Returns a
// buffer from malloc (release it with free) holding *outLength bytes and one
// more zero byte, or null.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

#endif
