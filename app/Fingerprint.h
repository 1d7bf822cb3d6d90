// The identity of a chip in recovery: four 32-bit words, index 0 to 3.
#ifndef APP_FINGERPRINT_H
#define APP_FINGERPRINT_H

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

#endif
