// The orchestration object: everything the program does to modules, the local
// store and the update server goes through one Updater.
#ifndef APP_UPDATER_H
#define APP_UPDATER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/DeviceInfo.h"
#include "app/Fingerprint.h"
#include "app/UpdaterDisplayInterface.h"
#include "app/store/BirdFile.h"
#include "app/store/UpdaterStore.h"
#include "common/aLinkSpec.h"

class Updater {
  public:
    // Copies both texts (null reads as empty) and keeps the display reference.
    Updater(const char* serverUrl, const char* storePath, UpdaterDisplayInterface& display);
    ~Updater();

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Whether firmware blocks travel as UEI byte messages.
    void Set_UEIBytes_Load(bool useBytes);

    const std::string& ServerUrl() const { return serverUrl; }
    const std::string& StorePath() const { return storePath; }
    UpdaterDisplayInterface& Display() const { return display; }
    uint8_t RecoveryTarget() const { return recoveryTarget; }
    bool UseUEIBytes() const { return useUEIBytes; }

    // ---------------------------------------------------------------------
    // Build catalogue and downloads (UpdaterDownloads.cpp).
    // ---------------------------------------------------------------------

    // Fetches one build into the store as <build>.bird and notes it in the
    // module's record ("LATEST_DOWNLOAD", "LAST_DOWNLOAD_DATE"). `build` is
    // decimal text, empty or 0 for the server's latest; `override` skips the
    // check that the server lists the build for the module. The request runs
    // on a thread of its own while the spinner turns. Returns the build
    // number, or 0 after an error message; a file that does not decode or is
    // not a loadable BIRD file is never written.
    unsigned Download_Firmware(unsigned serialNumber, std::string build, bool override, bool noCal);

    // The same for a module known only by its recovery fingerprint: the
    // server names its serial number and, for an empty or 0 `build`, the build.
    unsigned Download_Firmware(Fingerprint fingerprint, std::string build, bool override);

    // The server's builds for a module (build text to version text); empty
    // after an error message.
    std::map<std::string, std::string> Get_BuildList(unsigned serialNumber);

    // The builds held in the store: entry name up to ".bird" to the version
    // read from the file (empty when it is not a BIRD file).
    std::map<std::string, std::string> Get_BuildListLocal(unsigned serialNumber);

    // The module's feature token; empty after an error message.
    std::string Get_JWT(unsigned serialNumber);

    // ---------------------------------------------------------------------
    // Discovery (UpdaterDiscovery.cpp).
    // ---------------------------------------------------------------------

    // Modules reachable directly over `type` (USB then TCP/IP for 0), each
    // opened once and questioned; a module that cannot be opened or
    // questioned stays in the list with its error set.
    std::vector<DeviceInfo> Discover_Devices(linkType type);

    // Modules on the I2C module network of the router `routerSerial`,
    // reached over `type` (0: found out). Empty when the router cannot be
    // found, connected or switched to routing.
    std::vector<DeviceInfo> Discover_QXNetwork_Devices(unsigned routerSerial, linkType type);

    // ---------------------------------------------------------------------
    // Firmware update (UpdaterUpdate.cpp).
    // ---------------------------------------------------------------------

    // Installs a build (0: chosen from the server and the record) or the
    // BIRD file `birdFile` into the module, directly or through the router
    // `routerSerial`, and records the transfer. True when the firmware was
    // transferred and the module rebooted.
    bool Update_Firmware(unsigned serialNumber, unsigned build, std::string birdFile,
                         unsigned char moduleAddress, unsigned routerSerial, bool override);

    // The BIRD file at `birdFile`, or the stored build `build` of the module
    // (downloaded first when missing and `allowDownload`). Throws
    // std::runtime_error when it cannot be loaded; an empty file when the
    // store cannot be opened.
    BirdFile load_bird(const char* operation, std::string birdFile, unsigned serialNumber,
                       unsigned build, bool allowDownload);

    // ---------------------------------------------------------------------
    // NOT YET IMPLEMENTED. Placeholders that report failure and do nothing
    // else (Updater.cpp), to be replaced by the recovery procedures.
    // ---------------------------------------------------------------------

    // Identifies the chip on `serialPort` in recovery and fills `fingerprint`.
    // Placeholder: returns false.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, unsigned serialNumber,
                         std::string birdFile, unsigned baudRate, bool reset);

    // Firmware recovery through the ROM boot loader. Placeholder: false.
    bool Recover_Firmware(std::string serialPort, unsigned build, unsigned baudRate,
                          unsigned serialNumber, std::string birdFile, bool override);

  private:
    void _record_transfer(UpdaterStore& store, UpdaterStoreItem& entry, bool known,
                          unsigned serialNumber, const std::string& birdFile);

    std::string serverUrl;
    std::string storePath;
    UpdaterDisplayInterface& display;
    uint8_t recoveryTarget;  // 1 i.MX serial download, 2 LPC serial ISP, 0 not identified
    bool useUEIBytes;
};

// Opens the store at `storePath` for one operation. When it cannot be
// opened, shows "Failed to Create UpdaterStore in: <operation> - Exception:
// <reason>" and returns null.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storePath,
                                                  const char* operation);

// Whether the server's build list for the module holds `build`.
bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl);

#endif
