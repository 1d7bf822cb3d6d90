#include "app/UpdaterDiscovery.h"

#include "app/Updater.h"

aErr _disableNimbus(Vexmoran::Quillarex::Module& module, UpdaterDisplayInterface& display) {
    Vexmoran::Quillarex::NimbusConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    const aErr err = module.setConfig(config);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Failed to SET network configuration");
    }
    return err;
}

// Placeholders until discovery lands.

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    return {};
}

std::vector<DeviceInfo> Updater::Discover_QXNetwork_Devices(unsigned, linkType) {
    return {};
}
