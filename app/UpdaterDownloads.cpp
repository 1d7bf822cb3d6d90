// The build catalogue: the server's and the store's build lists, the feature
// token, and downloads of builds into the store.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "app/Log.h"
#include "app/Updater.h"
#include "app/server/Base64.h"
#include "app/server/UpdateServerRequest.h"
#include "app/store/BirdFile.h"
#include "app/store/LocalTime.h"

namespace {

constexpr const char kSpinnerLabel[] = "Downloading";
constexpr std::chrono::milliseconds kSpinnerPeriod(100);

// `text` as an unsigned decimal number: optional blanks, then digits; what
// follows the digits is ignored ("12x" is 12). False when there are no digits
// or the number does not fit in 32 bits.
bool _to_unsigned(const std::string& text, unsigned& value) {
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long number = strtoull(p, &end, 10);
    if (errno == ERANGE || number > UINT_MAX) {
        return false;
    }
    value = static_cast<unsigned>(number);
    return true;
}

// Whether decoded bytes are a BIRD file the updater can load: the header
// check of BirdFile::VerifyFile and a full load of the blocks.
bool _is_loadable_bird(const unsigned char* bytes, size_t length) {
    if (length < 6 || memcmp(bytes, BIRD_FILE_SIGNATURE, 4) != 0 || bytes[4] == 0 ||
        bytes[5] == 0) {
        Log::log(DEBUG_Updater, "Downloaded file has no BIRD header (%zu bytes).\n", length);
        return false;
    }
    BirdFile file;
    if (!file.LoadData(bytes, length)) {
        Log::log(DEBUG_Updater, "Downloaded BIRD file does not load (%zu bytes).\n", length);
        return false;
    }
    return true;
}

}  // namespace

bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl)) {
        return false;
    }
    for (const auto& entry : builds) {
        unsigned number = 0;
        if (!_to_unsigned(entry.first, number)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            number = 0;
        }
        if (number == build) {
            return true;
        }
    }
    return false;
}

unsigned Updater::Download_Firmware(unsigned serialNumber, std::string build, bool override,
                                    bool noCal) {
    const auto Info = UpdaterDisplayInterface::Info;
    const auto Error = UpdaterDisplayInterface::Error;

    unsigned buildNumber = 0;
    if (!build.empty() && !_to_unsigned(build, buildNumber)) {
        display.message(Error, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display.message(Error, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(Error, "Server request failed for %s", serverUrl.c_str());
        return 0;
    }

    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storePath, "Download_Firmware");
    if (!store) {
        return 0;
    }
    UpdaterStoreItem entry;
    try {
        if (!store->FindDevice(serialNumber, &entry)) {
            Log::log(DEBUG_APP, "Could not find device in our update history.\n");
            entry = store->AddDevice(serialNumber);
        }
    } catch (const std::exception&) {
        display.message(Error, "Could not create directory for storing BIRD file");
        return 0;
    }

    std::string latest;
    std::string firmware;
    if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmware, serverUrl.c_str())) {
        display.message(Error, "No build information for device");
        return 0;
    }
    if (buildNumber == 0 && !_to_unsigned(latest, buildNumber)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        buildNumber = 0;
    }

    display.message(Info, "Retrieving build %u", buildNumber);
    if (override) {
        display.message(Info, "Override specified, skipping validation of build %u", buildNumber);
    } else {
        display.message(Info, "Validating build %u with server", buildNumber);
        if (!_valid_build(serialNumber, buildNumber, serverUrl.c_str())) {
            display.message(Error, "No valid build %u", buildNumber);
            return 0;
        }
        display.message(Info, "Build %u is valid", buildNumber);
    }

    // The request runs on its own thread with copies of its inputs; this
    // thread only turns the spinner. Everything the thread touches outlives
    // it: it is joined below on every path.
    const std::string buildText = std::to_string(buildNumber);
    const std::string url = serverUrl;
    const unsigned serialCopy = serialNumber;
    const bool noCalCopy = noCal;
    std::string data;
    std::promise<bool> promise;
    std::future<bool> future = promise.get_future();
    std::thread worker;
    try {
        worker = std::thread([&promise, &data, &firmware, &buildText, &url, serialCopy, noCalCopy] {
            bool fetched = false;
            try {
                fetched = UpdateServerRequest::GetBuild(
                    serialCopy, firmware.c_str(), buildText.c_str(), data, url.c_str(), noCalCopy);
            } catch (...) {
                fetched = false;
            }
            promise.set_value(fetched);
        });
    } catch (const std::system_error& e) {
        Log::log(DEBUG_Updater, "Could not start the download thread: %s\n", e.what());
        promise.set_value(false);
    }

    display.update_spinner(true, kSpinnerLabel);
    while (future.wait_for(kSpinnerPeriod) != std::future_status::ready) {
        display.update_spinner(true, kSpinnerLabel);
    }
    display.update_spinner(false, kSpinnerLabel);

    const bool fetched = future.get();
    if (!fetched) {
        display.message(Error, "Download failed");
    }
    if (worker.joinable()) {
        worker.join();
    }
    if (!fetched) {
        data.clear();  // a failed request leaves nothing worth looking at
    }
    if (data.empty()) {
        display.message(Error, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    // Only a file that decodes and loads is stored: anything else written as
    // <build>.bird would be taken for a firmware image later.
    const std::string fileName = buildText + ".bird";
    size_t length = 0;
    unsigned char* bytes = base64_decode(data.data(), data.size(), &length);
    if (bytes == nullptr || !_is_loadable_bird(bytes, length)) {
        if (bytes == nullptr) {
            Log::log(DEBUG_Updater, "Downloaded build %u does not decode (%zu characters).\n",
                     buildNumber, data.size());
        }
        free(bytes);
        display.message(Error, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string timeText = LocalTimeText();
    const aErr written = entry.WriteFile(fileName.c_str(), bytes, length);
    free(bytes);
    if (written != aErrNone) {
        // The record keeps naming what is really in the store.
        display.message(Error, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }

    entry.settings.Add("LATEST_DOWNLOAD", fileName);
    entry.settings.Add("LAST_DOWNLOAD_DATE", timeText);
    if (!entry.settings.Save()) {
        Log::log(DEBUG_Updater, "Could not save the record %s.\n",
                 entry.settings.Filename().c_str());
    }
    return buildNumber;
}

unsigned Updater::Download_Firmware(Fingerprint fingerprint, std::string build, bool override) {
    unsigned buildNumber = 0;
    if (!_to_unsigned(build, buildNumber)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
        buildNumber = 0;
    }
    const unsigned words[4] = {fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                               fingerprint.words[3]};
    unsigned serialNumber = 0;
    unsigned recoveryBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(words, &serialNumber, &recoveryBuild,
                                              serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error,
                        "Failed to retrieve recovery information from Vexmoran update server");
        return 0;
    }
    if (buildNumber == 0) {
        buildNumber = recoveryBuild;
    }
    return Download_Firmware(serialNumber, std::to_string(buildNumber), override, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned serialNumber) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error, "Server request failed for %s",
                        serverUrl.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve builds for %08X",
                        serialNumber);
    }
    return builds;
}

std::string Updater::Get_JWT(unsigned serialNumber) {
    std::string token;
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error, "Server request failed for %s",
                        serverUrl.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serialNumber, token, serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::Error, "Failed to retrieve jwt for %08X",
                        serialNumber);
    }
    return token;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned serialNumber) {
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storePath, "Get_BuildListLocal");
    if (!store) {
        return builds;
    }
    std::vector<UpdaterStoreItem> items;
    try {
        store->FindLocalBuilds(serialNumber, items);
    } catch (const std::exception& e) {
        Log::log(DEBUG_Updater, "Could not list the builds of %08X: %s\n", serialNumber, e.what());
    }
    for (const UpdaterStoreItem& item : items) {
        const std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            const std::string path = item.path + "/" + item.name;
            if (BirdFile::VerifyFile(path.c_str())) {
                try {
                    const BirdFile file(path.c_str());
                    version = file.GetVersion();
                    if (!version.empty()) {
                        Log::log(DEBUG_Updater, "Found VERSION %s in birdfile: %s\n",
                                 version.c_str(), path.c_str());
                    }
                } catch (const std::exception&) {
                    Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n",
                             path.c_str());
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);
    }
    return builds;
}
