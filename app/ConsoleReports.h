// Console reports of the command flow: version and copyright lines, and the
// fingerprint, device list, build list and token. All print at Info level.
#ifndef APP_CONSOLEREPORTS_H
#define APP_CONSOLEREPORTS_H

#include <map>
#include <string>
#include <vector>

#include "app/DeviceInfo.h"
#include "app/Fingerprint.h"
#include "app/UpdaterDisplayInterface.h"
#include "common/aLinkSpec.h"

// "Updater (Version: 2.12.5 Mmm dd yyyy)" with the build date.
void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);
// "[ %08X %08X %08X %08X ]"
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
// Title, header and one row per module; `type` chooses the title and header,
// each entry's own link type its row.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType type);
// Title, header and the builds newest first.
void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, unsigned serialNumber);
void _display_jwt(UpdaterDisplayInterface& display, std::string token);

#endif
