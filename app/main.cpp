// The Updater command: parse the command line, prepare the local store, run
// the requested commands and turn the outcome into the exit status.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/CommandLine.h"
#include "app/ConsoleReports.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "app/Updater.h"
#include "app/store/BuildPath.h"
#include "common/aDirectory.h"

namespace {

constexpr unsigned kStoreDirectoryMode = 0755;

// Builds the store directory path (under -i, or ~/.vexmoran) and creates it.
// Returns false after reporting what went wrong.
bool _prepare_store(CLI_Display& display, Parameters& params) {
    if (params.storeRoot.empty()) {
        char home[2048];
        const aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n",
                     static_cast<int>(err));
            return false;
        }
        params.storeRoot = BuildPath(home, ".vexmoran");
    }
    params.storeRoot = BuildPath(params.storeRoot.c_str(), "updater");
    if (aDirectory_Ensure(params.storeRoot.c_str(), kStoreDirectoryMode) != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s",
                        params.storeRoot.c_str());
        return false;
    }
    return true;
}

// The first of -D, -U, -B, -L, -J that was given; returns the exit status, or
// -1 when none of them was.
int _run_command(CLI_Display& display, Parameters& params, Updater& updater) {
    const auto Info = UpdaterDisplayInterface::Info;
    const auto Error = UpdaterDisplayInterface::Error;

    if (params.commands.IsSet(CMD_DISCOVER)) {
        linkType type = INVALID;
        if (params.transportGiven && params.transport != TRANSPORT_RECOVER) {
            type = static_cast<linkType>(params.transport);
        }
        std::vector<DeviceInfo> devices;
        if (params.routerSerial != 0) {
            display.message(Info, "Searching for Quillarex Network devices connected to %08X",
                            params.routerSerial);
            devices = updater.Discover_QXNetwork_Devices(params.routerSerial, type);
        } else {
            if (type == INVALID) {
                type = USB;
            }
            display.message(Info, "Searching for Quillarex devices");
            devices = updater.Discover_Devices(type);
        }
        _display_device_list(display, devices, type);
        return 0;
    }

    if (params.commands.IsSet(CMD_UPDATE)) {
        char* end = nullptr;
        const unsigned build = _get_int_arg(params.buildNumber.c_str(), &end);
        updater.Set_UEIBytes_Load(params.useUEIBytes);
        bool updated = false;
        if (params.transport == TRANSPORT_RECOVER) {
            updated = updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                               params.serialNumber, params.birdFile,
                                               params.overrideModelCheck);
        } else {
            if (params.serialNumber == 0) {
                display.message(Error, "Must specify the specific device to be updated");
                return 1;
            }
            updated = updater.Update_Firmware(params.serialNumber, build, params.birdFile,
                                              params.moduleAddress, params.routerSerial,
                                              params.overrideModelCheck);
        }
        return updated ? 0 : 1;
    }

    if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (params.serialNumber == 0) {
            display.message(Error, "Error must supply a serial number for the List Builds command");
            _display_usage(false, false);
            return 1;
        }
        _display_builds(display, updater.Get_BuildList(params.serialNumber), params.serialNumber);
        return 0;
    }

    if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (params.serialNumber == 0) {
            display.message(Error,
                            "Error must supply a serial number for the List Local Builds command");
            _display_usage(false, false);
            return 1;
        }
        _display_builds(display, updater.Get_BuildListLocal(params.serialNumber),
                        params.serialNumber);
        return 0;
    }

    if (params.commands.IsSet(CMD_GET_JWT)) {
        if (params.serialNumber == 0) {
            display.message(Error, "Error must supply a serial number for the Get JWT command");
            _display_usage(false, false);
            return 1;
        }
        _display_jwt(display, updater.Get_JWT(params.serialNumber));
        return 0;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);
    const auto Info = UpdaterDisplayInterface::Info;
    const auto Error = UpdaterDisplayInterface::Error;

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }

    _display_app_version(display);

    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY)) {
        _display_copyright(display);
        _display_usage(params.logMaskGiven, params.helpRequested);
        _release_params(&params);
        return 0;
    }

    if (!_prepare_store(display, params)) {
        _release_params(&params);
        return 1;
    }

    Updater updater(params.serverUrl.c_str(), params.storeRoot.c_str(), display);
    int pending = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(Error, "Must specify the serial port used for connecting");
            _release_params(&params);
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serialPort, SERIAL_NUMBER_NONE,
                                    params.birdFile, params.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(Error, "Got no response from chip");
            pending = 1;
        }
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.serialNumber == 0) {
            display.message(Error, "-G must specify a specific device via -d");
            display.message(Error, "--help for usage information");
            _release_params(&params);
            return 1;
        }
        display.message(Info, "Retrieving firmware for device with serial number %08X",
                        params.serialNumber);
        if (params.buildNumber.empty()) {
            display.message(Info, "No build specified");
            display.message(Info, "Using Latest build");
        } else {
            display.message(Info, "Retrieving firmware build %s", params.buildNumber.c_str());
        }
        const unsigned build = updater.Download_Firmware(params.serialNumber, params.buildNumber,
                                                         params.overrideModelCheck, false);
        if (build != 0) {
            params.buildNumber = std::to_string(build);
            pending = 0;
        } else {
            pending = 1;
        }
    }

    const int status = _run_command(display, params, updater);
    _release_params(&params);
    return status >= 0 ? status : pending;
}
