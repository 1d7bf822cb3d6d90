#include "app/ConsoleReports.h"

#include <cstdio>

#include "app/server/UpdateServerRequest.h"
#include "common/aDefs.h"

namespace {

constexpr const char kAppName[] = "Updater";
constexpr const char kVersionText[] = "Version: 2.12.5 " __DATE__;
constexpr const char kCopyright[] = "(Copyright (c) 2024-2026 Vexmoran Instruments)";

const char* _link_type_name(linkType type) {
    switch (type) {
        case USB:
            return "USB";
        case TCPIP:
            return "TCPIP";
        default:
            return "Unknown";
    }
}

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::Info, "%s (%s)", kAppName, kVersionText);
}

void _display_copyright(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::Info, "%s", kCopyright);
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    display.message(UpdaterDisplayInterface::Info, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType type) {
    const auto Info = UpdaterDisplayInterface::Info;
    display.message(Info, "Discovered Devices: (%s)", _link_type_name(type));
    if (devices.empty()) {
        display.message(Info, "    No devices found.");
        return;
    }
    if (type == USB) {
        display.message(Info,
                        "    Device    Module   Router  Model          Firmware Version (Build)    "
                        "Device Name");
    } else {
        display.message(Info,
                        "    Device    Module   Router  Model          Firmware Version (Build)   "
                        "[IP address]       Device Name");
    }
    for (const DeviceInfo& device : devices) {
        const linkSpec& spec = device.spec;
        const char* model = aDefs_GetModelName(spec.model);
        if (device.error != aErrNone) {
            // A module that could not be opened or questioned: its zeros
            // are not its firmware version, whatever the transport.
            display.message(Info,
                            "    %08X  [Error (%d): Device in use. Close all other Vexmoran "
                            "associated applications.]",
                            spec.serial_num, static_cast<int>(device.error));
        } else if (spec.type == TCPIP) {
            // The address is in network byte order: its bytes in memory are
            // the dotted quad in written order.
            const unsigned char* octets =
                reinterpret_cast<const unsigned char*>(&spec.t.ip.ip_address);
            char ip[20];
            snprintf(ip, sizeof(ip), "[%d.%d.%d.%d]", octets[0], octets[1], octets[2], octets[3]);
            display.message(
                Info, "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)        %-17s  %s",
                spec.serial_num, spec.module, spec.router, model, device.major, device.minor,
                device.patch, device.build, ip, device.deviceName.c_str());
        } else {
            display.message(Info,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%u (%10u)         %s",
                            spec.serial_num, spec.module, spec.router, model, device.major,
                            device.minor, device.patch, device.build, device.deviceName.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, unsigned serialNumber) {
    const auto Info = UpdaterDisplayInterface::Info;
    if (builds.empty()) {
        display.message(Info, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(Info, "Build List for device [%08X]:\n", serialNumber);
    display.message(Info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& build : UpdateServerRequest::SortBuildsByVersion(builds)) {
        display.message(Info, "%-15.15s\t%-15.15s", build.first.c_str(), build.second.c_str());
    }
}

void _display_jwt(UpdaterDisplayInterface& display, std::string token) {
    display.message(UpdaterDisplayInterface::Info, "%s", token.c_str());
}
