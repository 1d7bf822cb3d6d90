// One discovered module and what it said about itself.
#ifndef APP_DEVICEINFO_H
#define APP_DEVICEINFO_H

#include <cstdint>
#include <string>

#include "common/aError.h"
#include "common/aLinkSpec.h"

struct DeviceInfo {
    linkSpec spec{};          // how the module is reached
    uint16_t i2cAddress = 0;  // address behind a router; 0 for direct modules
    uint32_t build = 0;       // firmware build number, 0 when unknown
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    std::string deviceName;  // name stored in the module, empty when unknown
    aErr error = aErrNone;   // first failure met while questioning the module
};

#endif
