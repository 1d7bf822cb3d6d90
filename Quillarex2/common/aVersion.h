// Packed firmware versions, and the version and features of this library.
#ifndef QUILLAREX_AVERSION_H
#define QUILLAREX_AVERSION_H

#include <cstddef>
#include <cstdint>

// A firmware version travels as one 32-bit value in one of two layouts:
//   legacy:  major in bits 31-28, minor in bits 27-24, patch in bits 23-0;
//   current: 0x2F in bits 31-24, then major, minor and patch, 8 bits each.
// A value is legacy when its top nibble is below 2, or is 2 with a second
// nibble below 15; every other value is read in the current layout.

// Packs a version. The legacy layout is used whenever it can hold the
// version (major 0-1 with minor up to 15, or major 2 with minor up to 14),
// otherwise the current layout. A patch wider than the chosen layout's
// patch field (24 bits legacy, 8 bits current) is truncated to that width.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch);

// True when the packed value is in the legacy layout.
bool aVersion_IsLegacyFormat(uint32_t packed);

// The parts of a packed value, read in the layout the value is in.
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);

// Formats the packed value as "major.minor.patch" into buffer, bounded by
// size (snprintf rules: always terminated when size > 0). Returns the length
// the full text has, which may exceed size - 1; a null buffer counts as size 0.
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// This library's own version: 2.12.5.
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();

// This library's version as text ("2.12.5"). The string is static, built on
// first use; safe to call from any thread. Never free it.
const char* aVersion_GetString();

// True when major1.minor1.patch1 >= major2.minor2.patch2, comparing the
// parts in order as unsigned 8-bit numbers.
bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2);

// True when this library is at least the given version.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when this library has a feature of exactly this name (null: false).
bool aVersion_HasFeature(const char* name);

// A newly allocated text listing the features, one "name - description" line
// each, joined by '\n' with no newline after the last; null when memory is
// short. The caller owns it and releases it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();

// Frees a feature list and clears the caller's reference; null is harmless.
void aVersion_DestroyFeatureList(char** list);

#endif
