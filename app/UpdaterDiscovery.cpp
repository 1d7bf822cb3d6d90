#include "app/UpdaterDiscovery.h"

#include "app/Updater.h"

// Placeholders until discovery lands.
aErr _disableNimbus(Vexmoran::Quillarex::Module&, UpdaterDisplayInterface&) {
    return aErrUnimplemented;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    return {};
}

std::vector<DeviceInfo> Updater::Discover_QXNetwork_Devices(unsigned, linkType) {
    return {};
}
