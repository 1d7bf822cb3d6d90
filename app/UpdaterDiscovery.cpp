// Discovery: which modules can be reached, and what each says about itself.
// Every module found is opened once, questioned and closed again; nothing is
// written into the store.
#include "app/UpdaterDiscovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

#include "api/I2CClass.h"
#include "api/SystemClass.h"
#include "app/Log.h"
#include "app/Updater.h"
#include "common/aDefs.h"
#include "common/aVersion.h"
#include "unix/aDiscovery.h"

using Vexmoran::Quillarex::I2CClass;
using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::NimbusConfig;
using Vexmoran::Quillarex::SystemClass;

namespace {

// The loopback address tells the enumerator to search every interface.
const uint32_t kAnyInterface = htonl(INADDR_LOOPBACK);

// Modules are constructed at bus address 2 until they tell their own.
constexpr uint8_t kDefaultAddress = 2;

// Even I2C addresses probed behind a router.
constexpr unsigned kFirstI2CAddress = 2;
constexpr unsigned kLastI2CAddress = 252;
constexpr uint8_t kI2CSpeed = 3;

constexpr size_t kNameCapacity = 32;

// What _discovered_link looks for and what it found.
struct LinkSearch {
    uint32_t serialNumber;
    linkType found;
};

bool _discovered_link(const linkSpec* spec, bool* accepted, void* ref) {
    LinkSearch* search = static_cast<LinkSearch*>(ref);
    *accepted = true;
    if (spec->serial_num != search->serialNumber)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serial_num,
             static_cast<int>(spec->type));
    search->found = spec->type;
    return false;
}

struct SpecRelease {
    void operator()(linkSpec* spec) const { aLinkSpec_Destroy(&spec); }
};
using OwnedSpec = std::unique_ptr<linkSpec, SpecRelease>;

}  // namespace

aErr _disableNimbus(Module& module, UpdaterDisplayInterface& display) {
    NimbusConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    const aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::Error, "Failed to SET network configuration");
    return err;
}

bool _discovered_device(const linkSpec* spec, bool* accepted, void* ref) {
    std::vector<DeviceInfo>* devices = static_cast<std::vector<DeviceInfo>*>(ref);
    DeviceInfo info;
    std::memcpy(&info.spec, spec, sizeof info.spec);
    devices->push_back(info);
    *accepted = true;
    return true;
}

linkType _discover_link_type(unsigned serialNumber) {
    LinkSearch search{serialNumber, INVALID};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, kAnyInterface);
    if (search.found == INVALID)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, kAnyInterface);
    return search.found;
}

unsigned _get_build_number(Module& module) {
    // The module answers 0x49 0xFF with its build number in four more bytes.
    uint32_t build = 0;
    return module.getBuild(&build) == aErrNone ? build : 0;
}

aErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    aErr err = system.init(&module, 0);
    if (err != aErrNone)
        return err;

    uint32_t version = 0;
    err = system.getVersion(&version);
    if (err != aErrNone)
        return err;
    info.major = aVersion_ParseMajor(version);
    info.minor = aVersion_ParseMinor(version);
    info.patch = aVersion_ParsePatch(version);

    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone)
        return err;
    info.spec.module = address;

    uint8_t router = 0;
    err = system.getRouter(&router);
    if (err == aErrNone)
        info.spec.router = router;
    return err;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
    // Names exist from firmware 2.10.4 on.
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch & 0xFF),
                                   2, 10, 4))
        return aErrNone;

    SystemClass system;
    aErr err = system.init(&module, 0);
    if (err != aErrNone)
        return err;
    uint8_t name[kNameCapacity];
    size_t count = 0;
    err = system.getName(name, sizeof name, &count);
    if (err != aErrNone)
        return err;
    // Taken as the module sent it, zero bytes included.
    info.deviceName.assign(reinterpret_cast<const char*>(name), count);
    return aErrNone;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> devices;
    if (type == INVALID) {
        aDiscovery_EnumerateModules(USB, _discovered_device, &devices, kAnyInterface);
        aDiscovery_EnumerateModules(TCPIP, _discovered_device, &devices, kAnyInterface);
    } else {
        aDiscovery_EnumerateModules(type, _discovered_device, &devices, kAnyInterface);
    }

    for (DeviceInfo& info : devices) {
        info.modelName = aDefs_GetModelName(info.spec.model);
        Module module(kDefaultAddress, true, 0);
        if (_disableNimbus(module, display) != aErrNone)
            continue;
        info.error = module.connectFromSpec(info.spec);
        if (info.error == aErrNone) {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
            if (info.error == aErrNone)
                info.error = _get_device_name(module, info);
        }
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_QXNetwork_Devices(unsigned routerSerial, linkType type) {
    const auto Error = UpdaterDisplayInterface::Error;
    std::vector<DeviceInfo> devices;

    if (type == INVALID)
        type = _discover_link_type(routerSerial);
    OwnedSpec routerSpec(aDiscovery_FindModule(type, routerSerial, kAnyInterface));
    if (!routerSpec)
        return devices;
    Log::log(DEBUG_Updater, "Found Link Module");

    Module router(kDefaultAddress, true, 0);
    aErr err = _disableNimbus(router, display);
    if (err == aErrNone) {
        err = router.connectFromSpec(*routerSpec);
        if (err != aErrNone)
            display.message(Error, "Error %d on connectFromSpec", static_cast<int>(err));
    }
    if (err != aErrNone)
        return devices;

    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(Error, "Error %d on route to me", static_cast<int>(err));
        router.disconnect();
        return devices;
    }

    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(kI2CSpeed);
    const uint8_t routerAddress = router.getModuleAddress();
    for (unsigned address = kFirstI2CAddress; address <= kLastI2CAddress; address += 2) {
        if (address == routerAddress)
            continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        // A module present at the address acknowledges the write.
        const uint8_t probe[2] = {0x00, 0x00};
        if (i2c.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
            continue;

        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        Module sub(static_cast<uint8_t>(address), false, 0);
        _disableNimbus(sub, display);
        if (sub.connectThroughLinkModule(&router) != aErrNone)
            continue;

        SystemClass subSystem;
        subSystem.init(&sub, 0);
        uint32_t serial = 0;
        if (subSystem.getSerialNumber(&serial) != aErrNone) {
            sub.disconnect();
            continue;
        }
        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

        DeviceInfo info;
        info.spec.type = type;
        info.spec.serial_num = serial;
        info.spec.router = routerAddress;
        info.spec.router_serial = routerSerial;
        std::memcpy(&info.spec.t, &routerSpec->t, sizeof info.spec.t);
        info.i2cAddress = static_cast<uint16_t>(address);

        info.build = _get_build_number(sub);
        info.error = _get_version(sub, info);
        uint8_t model = 0;
        const aErr modelErr = subSystem.getModel(&model);
        if (modelErr == aErrNone) {
            info.spec.model = model;
            info.modelName = aDefs_GetModelName(model);
        } else {
            info.error = modelErr;
        }
        sub.disconnect();
        devices.push_back(info);
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
