// The orchestration object: everything the program does to modules, the local
// store and the update server goes through one Updater.
#ifndef APP_UPDATER_H
#define APP_UPDATER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/DeviceInfo.h"
#include "app/Fingerprint.h"
#include "app/UpdaterDisplayInterface.h"
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
    // NOT YET IMPLEMENTED. Each of the following is a placeholder that
    // reports failure or an empty result (false, 0, empty list, map or text)
    // and does nothing else; each lives in its own small function in
    // Updater.cpp, to be replaced by the real procedure.
    // ---------------------------------------------------------------------

    // Identifies the chip on `serialPort` in recovery and fills `fingerprint`.
    // Placeholder: returns false.
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, unsigned serialNumber,
                         std::string birdFile, unsigned baudRate, bool reset);

    // Fetches one build into the store; returns the build number, 0 on
    // failure. Placeholder: returns 0.
    unsigned Download_Firmware(unsigned serialNumber, std::string build, bool override, bool noCal);

    // Modules on the module network behind a router. Placeholder: empty list.
    std::vector<DeviceInfo> Discover_QXNetwork_Devices(unsigned routerSerial, linkType type);

    // Modules reachable directly. Placeholder: empty list.
    std::vector<DeviceInfo> Discover_Devices(linkType type);

    // Firmware recovery through the ROM boot loader. Placeholder: false.
    bool Recover_Firmware(std::string serialPort, unsigned build, unsigned baudRate,
                          unsigned serialNumber, std::string birdFile, bool override);

    // Firmware update through the module's boot loader. Placeholder: false.
    bool Update_Firmware(unsigned serialNumber, unsigned build, std::string birdFile,
                         unsigned char moduleAddress, unsigned routerSerial, bool override);

    // The server's builds for a module (build text to version text).
    // Placeholder: empty map.
    std::map<std::string, std::string> Get_BuildList(unsigned serialNumber);

    // The builds held in the local store. Placeholder: empty map.
    std::map<std::string, std::string> Get_BuildListLocal(unsigned serialNumber);

    // The module's feature token. Placeholder: empty text.
    std::string Get_JWT(unsigned serialNumber);

  private:
    std::string serverUrl;
    std::string storePath;
    UpdaterDisplayInterface& display;
    uint8_t recoveryTarget;  // 1 i.MX serial download, 2 LPC serial ISP, 0 not identified
    bool useUEIBytes;
};

#endif
