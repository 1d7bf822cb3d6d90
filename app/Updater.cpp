#include "app/Updater.h"

Updater::Updater(const char* serverUrl, const char* storePath, UpdaterDisplayInterface& display)
    : serverUrl(serverUrl != nullptr ? serverUrl : ""),
      storePath(storePath != nullptr ? storePath : ""),
      display(display),
      recoveryTarget(0),
      useUEIBytes(false) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool useBytes) {
    useUEIBytes = useBytes;
}

// --- Not yet implemented: placeholders reporting failure or nothing found. ---

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
    return false;
}

unsigned Updater::Download_Firmware(unsigned, std::string, bool, bool) {
    return 0;
}

std::vector<DeviceInfo> Updater::Discover_QXNetwork_Devices(unsigned, linkType) {
    return {};
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    return {};
}

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    return false;
}

bool Updater::Update_Firmware(unsigned, unsigned, std::string, unsigned char, unsigned, bool) {
    return false;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned) {
    return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned) {
    return {};
}

std::string Updater::Get_JWT(unsigned) {
    return std::string();
}
