// Helpers of module discovery, shared with the update procedure.
#ifndef APP_UPDATERDISCOVERY_H
#define APP_UPDATERDISCOVERY_H

#include "api/Module.h"
#include "app/DeviceInfo.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aError.h"
#include "common/aLinkSpec.h"

// Switches a module object to direct links only (no network sharing, no
// fallback). Shows "Failed to SET network configuration" on failure.
aErr _disableNimbus(Vexmoran::Quillarex::Module& module, UpdaterDisplayInterface& display);

// Enumeration callback: appends a DeviceInfo for `spec` to the
// std::vector<DeviceInfo> at `ref`, accepts it and goes on.
bool _discovered_device(const linkSpec* spec, bool* accepted, void* ref);

// 1 when a USB module with that serial number is attached, else 2 when one
// answers over TCP/IP, else 0.
linkType _discover_link_type(unsigned serialNumber);

// The module's build number from its 0x49 0xFF answer; 0 on any failure.
unsigned _get_build_number(Vexmoran::Quillarex::Module& module);

// Version parts, module and router address into `info`.
aErr _get_version(Vexmoran::Quillarex::Module& module, DeviceInfo& info);

// The stored name, for firmware 2.10.4 or later.
aErr _get_device_name(Vexmoran::Quillarex::Module& module, DeviceInfo& info);

#endif
