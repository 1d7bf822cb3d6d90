#include "app/server/UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>

#include "app/Log.h"

namespace {

using Version = std::array<uint8_t, 3>;

bool _is_decimal(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Splits "major.minor.patch" into its three parts; false (with a log line) for
// anything else.
bool _parse_version(const std::string& text, Version& version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        parts.push_back(
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    try {
        if (parts.size() != 3) {
            throw std::invalid_argument("version [" + text + "] does not have three parts");
        }
        for (size_t i = 0; i < 3; ++i) {
            if (!_is_decimal(parts[i])) {
                throw std::invalid_argument("version part [" + parts[i] + "] is not a number");
            }
            version[i] = static_cast<uint8_t>(std::stoi(parts[i]));
        }
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return false;
    }
    return true;
}

struct Entry {
    std::pair<std::string, std::string> build;
    Version version;
};

}  // namespace

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
    std::vector<Entry> wellFormed;
    std::vector<std::pair<std::string, std::string>> malformed;
    for (const auto& build : builds) {  // key order
        Entry entry{build, {}};
        if (_parse_version(build.second, entry.version)) {
            wellFormed.push_back(entry);
        } else {
            malformed.push_back(build);
        }
    }
    // Stable, so equal versions stay in key order.
    std::stable_sort(wellFormed.begin(), wellFormed.end(),
                     [](const Entry& a, const Entry& b) { return a.version > b.version; });
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(builds.size());
    for (const Entry& entry : wellFormed) {
        sorted.push_back(entry.build);
    }
    sorted.insert(sorted.end(), malformed.begin(), malformed.end());
    return sorted;
}
