#include "app/Updater.h"

#include <stdexcept>

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

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storePath,
                                                  const char* operation) {
    try {
        return std::make_unique<UpdaterStore>(storePath.c_str());
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::Error,
                        "Failed to Create UpdaterStore in: %s - Exception: %s",
                        operation != nullptr ? operation : "", e.what());
    }
    return nullptr;
}

// --- Not yet implemented: placeholders reporting failure or nothing found. ---

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
    return false;
}

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    return false;
}
