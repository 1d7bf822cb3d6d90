// Firmware update of a module that runs its firmware: choose and load the
// BIRD file, connect (directly or through a router), check the file against
// the module, send the loader and the firmware, and record the transfer.
#include "app/UpdaterUpdate.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "api/SystemClass.h"
#include "app/Log.h"
#include "app/Updater.h"
#include "app/UpdaterDiscovery.h"
#include "app/UpdaterEntity.h"
#include "app/server/UpdateServerRequest.h"
#include "app/store/LocalTime.h"
#include "common/aDefs.h"
#include "unix/aTime.h"
#include "unix/qxusb.h"

using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::SystemClass;

namespace {

constexpr auto Info = UpdaterDisplayInterface::Info;
constexpr auto Error = UpdaterDisplayInterface::Error;

// Attempts at one firmware block, and at finding the module again after the
// loader started.
constexpr unsigned kBlockAttempts = 5;
constexpr unsigned kRediscoverAttempts = 15;
constexpr unsigned kRediscoverDelayMs = 1000;
// Looking for the module after its reboot: 15 seconds in quarter seconds.
constexpr unsigned kReturnAttempts = 60;
constexpr unsigned kReturnDelayMs = 250;

std::string _build_file_name(unsigned build) {
    return std::to_string(build) + ".bird";
}

// An unsigned decimal number, the whole text.
bool _to_unsigned(const std::string& text, unsigned& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long converted = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || converted > UINT_MAX) {
        return false;
    }
    value = static_cast<unsigned>(converted);
    return true;
}

// Connects by serial number over USB, then over TCP/IP when USB does not
// know the module.
aErr _connect_direct(Module& module, unsigned serialNumber) {
    aErr err = module.connect(USB, serialNumber);
    if (err == aErrNotFound) {
        err = module.connect(TCPIP, serialNumber);
    }
    return err;
}

// After the loader started, a module whose link dropped is looked for again:
// a USB module by re-enumeration (the process's USB context renewed every
// third search), any other by its stored link specification.
bool _find_module_again(Module& target, unsigned serialNumber, unsigned attempts,
                        unsigned delayMs) {
    linkSpec spec{};
    const bool known = target.getLinkSpecifier(&spec) == aErrNone;
    const bool usb = !known || spec.type == USB;
    target.disconnect();
    for (unsigned attempt = 1; attempt <= attempts; ++attempt) {
        if (usb) {
            if (attempt % 3 == 0) {
                Log::log(DEBUG_APP,
                         "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Quillarex_libusb_exit();
            }
            target.discoverAndConnect(USB, serialNumber);
        } else {
            target.reconnect();
        }
        if (target.isConnected()) {
            return true;
        }
        aTime_MSSleep(delayMs);
    }
    return false;
}

// The loader phase stopped before the loader was started: the module still
// runs the firmware it had.
void _loader_not_sent(UpdaterDisplayInterface& display, aErr err) {
    display.message(Error,
                    "Failed to transfer the loader [%d, %s]; the module's firmware is unchanged",
                    static_cast<int>(err), aError_GetErrorText(err));
}

}  // namespace

BirdFile Updater::load_bird(const char* operation, std::string birdFile, unsigned serialNumber,
                            unsigned build, bool allowDownload) {
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storePath, "load_bird");
    if (!store) {
        return BirdFile();
    }
    if (!birdFile.empty()) {
        display.message(Info, "%s from Birdfile: %s", operation, birdFile.c_str());
        return BirdFile(birdFile.c_str());
    }
    UpdaterStoreItem entry = store->AddDevice(serialNumber);
    display.message(Info, "%s firmware with build: %u", operation, build);
    const std::string fileName = _build_file_name(build);
    try {
        return entry.ReadBirdFile(fileName.c_str());
    } catch (const std::runtime_error&) {
        if (!allowDownload) {
            throw std::runtime_error("Error reading birdfile");
        }
    }
    display.message(Info, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    return entry.ReadBirdFile(fileName.c_str());
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                        unsigned serialNumber) {
    if (file.blocks.empty()) {
        return false;
    }
    if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serialNumber)) {
        return false;
    }
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    aErr err = system.getSerialNumber(&serial);
    if (err != aErrNone) {
        serial = 0;
    }
    if (serial != serialNumber) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 static_cast<int>(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    if (err != aErrNone) {
        model = 0;
    }
    const char* name = aDefs_GetModelName(model);
    if (!file.ValidateModel(name)) {
        display.message(Error, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, static_cast<int>(err));
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(err),
                 aError_GetErrorText(err));
        _loader_not_sent(display, err);
        return err;
    }

    display.message(Info, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int transferred = 0;
    int total = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BirdBlock& block = blocks[i];
        display.message(Info, "Transferring loader block %d of %d, %d bytes",
                        static_cast<int>(i + 1), static_cast<int>(blocks.size()),
                        static_cast<int>(block.length));
        unsigned short blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", static_cast<int>(err),
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader with a block missing must never be started.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", static_cast<int>(err),
                     aError_GetErrorText(err));
            break;
        }
        ++transferred;
        total += static_cast<int>(block.length);
    }
    display.message(Info, "Transferred %d blocks, %d total bytes", transferred, total);
    display.display_progress(false);
    if (err != aErrNone) {
        _loader_not_sent(display, err);
    }

    if (err == aErrNone) {
        display.message(Info, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater,
                     "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(Error, "Error starting loader [%d, %s]", static_cast<int>(err),
                            aError_GetErrorText(err));
        }
    }
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file,
                        bool skipRebootWait, bool useUEIBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, skipRebootWait);
    if (useUEIBytes && entity.CheckUEIDataSupport() == aErrNone) {
        entity.CheckPooledPacketsSupport();
    }

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
    const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    aErr err = aErrNone;
    int transferred = 0;
    int total = 0;
    for (size_t i = 0; i < blocks.size() && err == aErrNone; ++i) {
        const BirdBlock& block = blocks[i];
        for (unsigned attempt = 0; attempt < kBlockAttempts; ++attempt) {
            display.message(Info, "Transferring firmware block %u of %u, %d bytes",
                            static_cast<unsigned>(i + 1), static_cast<unsigned>(blocks.size()),
                            static_cast<int>(block.length));
            if (attempt > 0) {
                display.message(Info, "  Retry %d", static_cast<int>(attempt));
            }
            unsigned short blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n",
                         static_cast<int>(err), aError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone) {
                break;
            }
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", static_cast<int>(err),
                     aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        ++transferred;
        total += static_cast<int>(block.length);
    }
    display.message(Info, "Transferred %d blocks, %d total bytes", transferred, total);
    if (err != aErrNone) {
        return err;
    }
    return entity.LoaderReboot(display);
}

bool Updater::Update_Firmware(unsigned serialNumber, unsigned build, std::string birdFile,
                              unsigned char moduleAddress, unsigned routerSerial, bool override) {
    if (serialNumber == 0) {
        display.message(Error, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storePath, "Update_Firmware");
    if (!store) {
        return false;
    }
    UpdaterStoreItem entry;
    const bool known = store->FindDevice(serialNumber, &entry);
    const uint64_t start = aTime_GetMSTicks();

    if (birdFile.empty()) {
        if (build == 0) {
            std::string buildText;
            std::string firmwareText;
            UpdateServerRequest::QueryBuild(serialNumber, buildText, firmwareText,
                                            serverUrl.c_str());
            if (!_to_unsigned(buildText, build)) {
                Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
                build = 0;
            }
            if (build != 0) {
                try {
                    // A module without a store directory has no builds (and
                    // an empty entry must not read from the current
                    // directory).
                    if (!known) {
                        throw std::runtime_error("not in the store");
                    }
                    entry.ReadBirdFile(_build_file_name(build).c_str());
                } catch (const std::runtime_error&) {
                    build = 0;
                    display.message(Info,
                                    "New firmware is available.  Updater will proceed if valid "
                                    "firmware is found locally.");
                }
            }
        }
        if (build == 0) {
            const int latest = entry.settings.GetInt("LATEST_DOWNLOAD", 0);
            if (latest > 0) {
                build = static_cast<unsigned>(latest);
                display.message(Info, "Updating with the Latest Download");
            }
        }
        if (build == 0) {
            const int latest = entry.settings.GetInt("LATEST_TRANSFER", 0);
            if (latest > 0) {
                build = static_cast<unsigned>(latest);
                display.message(Info, "Updating with the Latest Transfer");
            }
        }
        if (build == 0) {
            display.message(Error, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile file;
    try {
        file = load_bird("Updating", birdFile, serialNumber, build, false);
    } catch (const std::runtime_error&) {
        display.message(Error, "Failed to load bird file");
        return false;
    }

    if (file.hasSerialOffsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serialNumber)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, true, 0);
    aErr err = _disableNimbus(target, display);
    bool connected = false;
    if (err == aErrNone && routerSerial == 0) {
        err = _connect_direct(target, serialNumber);
        if (err != aErrNone) {
            display.message(Error, "Failed to connect to module [%08X]", serialNumber);
        }
        connected = err == aErrNone;
    } else if (err == aErrNone) {
        if (moduleAddress == 0) {
            const std::vector<DeviceInfo> devices =
                Discover_QXNetwork_Devices(routerSerial, INVALID);
            if (devices.empty()) {
                display.message(Error, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DeviceInfo& device : devices) {
                if (device.spec.serial_num == serialNumber) {
                    address = device.i2cAddress;
                }
            }
            if (address == 0) {
                display.message(Error,
                                "Module address required for indirect firmware update, could not "
                                "find serial number [0x%08X] on network",
                                serialNumber);
                return false;
            }
            target.setModuleAddress(static_cast<uint8_t>(address & 0xFF));
        }
        auto router = std::make_unique<Module>(0, true, 0);
        err = _disableNimbus(*router, display);
        if (err == aErrNone) {
            if (_connect_direct(*router, routerSerial) != aErrNone) {
                display.message(Error, "Failed to connect to link module [%08X]", routerSerial);
                return false;
            }
            err = target.connectThroughLinkModule(router.get());
            if (err != aErrNone) {
                display.message(Error, "Failed to connect to module [%08X]", serialNumber);
            }
            connected = err == aErrNone;
        }
        // The target keeps the shared link.
        router.reset();
    }

    if (connected && !override && !_validate_birdfile(display, file, target, serialNumber)) {
        display.message(Error, "Birdfile failed validation");
        return false;
    }

    if (connected) {
        err = _transfer_loader(display, target, file);
    }
    if (connected && err == aErrNone && !target.isConnected()) {
        if (!_find_module_again(target, serialNumber, kRediscoverAttempts, kRediscoverDelayMs)) {
            display.message(Error, "Module [%08X] did not come back after its loader started",
                            serialNumber);
        }
    }
    bool firmwarePhase = false;
    if (connected && err == aErrNone) {
        firmwarePhase = true;
        err = _transfer_firmware(display, target, file, routerSerial != 0, useUEIBytes);
    }
    // The reboot is seen as the link dropping; a direct module must also be
    // seen again, running, before the update counts as done.
    bool lostAfterReboot = false;
    if (err == aErrNone && routerSerial == 0 &&
        !_find_module_again(target, serialNumber, kReturnAttempts, kReturnDelayMs)) {
        lostAfterReboot = true;
        err = aErrTimeout;
        display.message(Error,
                        "Module [%08X] did not come back after its reboot; the new firmware may "
                        "not have started and the module may need recovery (-U -t RECOVER)",
                        serialNumber);
    }

    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(err));
        if (firmwarePhase && !lostAfterReboot) {
            display.message(Error,
                            "Firmware transfer to module [%08X] failed; the module may need "
                            "recovery (-U -t RECOVER)",
                            serialNumber);
        }
    } else {
        if (birdFile.empty()) {
            birdFile = _build_file_name(build);
        }
        _record_transfer(*store, entry, known, serialNumber, birdFile);
        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        display.message(Info, "Update time: %.4f sec",
                        static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    }
    target.disconnect();
    return err == aErrNone;
}

// Notes the transfer in the module's record, adding the module to the store
// when it is not there yet.
void Updater::_record_transfer(UpdaterStore& store, UpdaterStoreItem& entry, bool known,
                               unsigned serialNumber, const std::string& birdFile) {
    if (!known || !entry.IsValid()) {
        try {
            entry = store.AddDevice(serialNumber);
        } catch (const std::runtime_error& e) {
            display.message(Error, "Could not record the transfer for module [%08X]: %s",
                            serialNumber, e.what());
            return;
        }
    }
    entry.settings.Add("LATEST_TRANSFER", birdFile);
    entry.settings.Add("LAST_TRANSFER_DATE", LocalTimeText());
    if (!entry.settings.Save()) {
        display.message(Error, "Could not record the transfer for module [%08X]: %s", serialNumber,
                        "the record could not be saved");
    }
}
