#include "common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint32_t kPatch = 5;
constexpr const char* kPhaseSeparator = ".";

constexpr uint32_t kCurrentTag = 0x2F000000u;
constexpr uint32_t kLegacyPatchMask = 0x00FFFFFFu;

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

// Whether the legacy layout can hold the version without loss of major or
// minor: a legacy value must read back as legacy (2.15 and above cannot,
// their top byte would be 0x2F) and the minor must fit its 4 bits.
bool sFitsLegacy(uint8_t major, uint8_t minor) {
    if (major < 2) {
        return minor <= 0xF;
    }
    return major == 2 && minor <= 14;
}

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch) {
    if (sFitsLegacy(major, minor)) {
        return static_cast<uint32_t>(major) << 28 | static_cast<uint32_t>(minor & 0xF) << 24 |
               (patch & kLegacyPatchMask);
    }
    return kCurrentTag | static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 |
           (patch & 0xFFu);
}

bool aVersion_IsLegacyFormat(uint32_t packed) {
    const uint32_t top = packed >> 28;
    const uint32_t second = (packed >> 24) & 0xF;
    return top < 2 || (top == 2 && second < 15);
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
    if (aVersion_IsLegacyFormat(packed)) {
        return static_cast<uint8_t>(packed >> 28);
    }
    return static_cast<uint8_t>(packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
    if (aVersion_IsLegacyFormat(packed)) {
        return static_cast<uint8_t>((packed >> 24) & 0xF);
    }
    return static_cast<uint8_t>(packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
    if (aVersion_IsLegacyFormat(packed)) {
        return packed & kLegacyPatchMask;
    }
    return packed & 0xFFu;
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
    if (buffer == nullptr) {
        size = 0;
    }
    return std::snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(packed),
                         aVersion_ParseMinor(packed), aVersion_ParsePatch(packed));
}

uint8_t aVersion_GetMajor() {
    return kMajor;
}

uint8_t aVersion_GetMinor() {
    return kMinor;
}

uint32_t aVersion_GetPatch() {
    return kPatch;
}

const char* aVersion_GetString() {
    // A function-local static is initialised exactly once even when several
    // threads make the first call together.
    struct VersionText {
        char text[15];
        VersionText() {
            std::snprintf(text, sizeof(text), "%d.%d%s%d", kMajor, kMinor, kPhaseSeparator,
                          static_cast<int>(kPatch));
        }
    };
    static const VersionText version;
    return version.text;
}

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2) {
    if (major1 != major2) {
        return major1 > major2;
    }
    if (minor1 != minor2) {
        return minor1 > minor2;
    }
    return patch1 >= patch2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(kMajor, kMinor, static_cast<uint8_t>(kPatch), major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (name == nullptr) {
        return false;
    }
    for (const Feature& feature : kFeatures) {
        if (std::strcmp(feature.name, name) == 0) {
            return true;
        }
    }
    return false;
}

char* aVersion_GetFeatureList() {
    static constexpr char kJoin[] = " - ";
    size_t total = 0;
    for (const Feature& feature : kFeatures) {
        total += std::strlen(feature.name) + std::strlen(kJoin) + std::strlen(feature.description);
    }
    total += sizeof(kFeatures) / sizeof(kFeatures[0]) - 1;  // the newlines between lines
    char* list = static_cast<char*>(std::malloc(total + 1));
    if (list == nullptr) {
        return nullptr;
    }
    char* end = list;
    for (const Feature& feature : kFeatures) {
        if (end != list) {
            *end++ = '\n';
        }
        for (const char* part : {feature.name, kJoin, feature.description}) {
            const size_t length = std::strlen(part);
            std::memcpy(end, part, length);
            end += length;
        }
    }
    *end = '\0';
    return list;
}

void aVersion_DestroyFeatureList(char** list) {
    if (list == nullptr) {
        return;
    }
    std::free(*list);
    *list = nullptr;
}
