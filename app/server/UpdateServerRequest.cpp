#include "app/server/UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "app/Log.h"
#include "app/server/HTTPRequest.h"

#ifndef QX_UPDATE_SERVER_HOST
#error "QX_UPDATE_SERVER_HOST must be defined by the build"
#endif

const char* const UpdateServerRequest::default_url = "http://" QX_UPDATE_SERVER_HOST "/cgi/u";

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
    const std::vector<std::string> parts = UpdateServerRequest::SplitQuillarexVersion(text);
    try {
        if (parts.empty()) {
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

std::string _serial_text(unsigned serial) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

// A query value with every character outside the unreserved set of URLs
// (letters, digits, "-", ".", "_", "~") written as "%XX".
std::string _encode_value(const char* value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char* p = value != nullptr ? value : ""; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0x0F];
        }
    }
    return encoded;
}

// The body's lines, split at line feeds; empty lines vanish.
std::vector<std::string> _split_lines(const std::string& body) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) {
            end = body.size();
        }
        if (end > start) {
            lines.push_back(body.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

// Performs one query and checks its answer. On success `lines` holds the
// body's lines, the "ok" line first.
bool _request(const char* name, const char* url, std::map<std::string, std::string>& parameters,
              std::vector<std::string>& lines) {
    const bool isPing = strcmp(name, "ping") == 0;
    try {
        HTTPResponse response =
            HTTPRequest::GET(url != nullptr ? url : UpdateServerRequest::default_url, parameters);
        if (response.get_status() != 200) {
            if (isPing) {
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n",
                         static_cast<int>(response.get_status()), response.get_response());
            } else {
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
                         static_cast<int>(response.get_status()), response.get_response());
            }
            return false;
        }
        lines = _split_lines(response.body());
        if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                     response.get_request());
            return false;
        }
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    return true;
}

// The text of `line` up to the first of `stops`.
std::string _up_to(const std::string& line, const char* stops) {
    return line.substr(0, line.find_first_of(stops));
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

std::vector<std::string> UpdateServerRequest::SplitQuillarexVersion(std::string version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(
            version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    if (parts.size() != 3) {
        parts.clear();
    }
    return parts;
}

bool UpdateServerRequest::ping(const char* url) {
    std::map<std::string, std::string> parameters{{"op", "hi"}, {"rv", "2"}};
    std::vector<std::string> lines;
    return _request("ping", url, parameters, lines);
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmware,
                                     const char* url) {
    std::map<std::string, std::string> parameters{{"op", "qu"}, {"sn", _serial_text(serial)}};
    std::vector<std::string> lines;
    if (!_request("QueryBuild", url, parameters, lines)) {
        return false;
    }
    if (lines.size() > 1) {
        build = lines[1];
    }
    if (lines.size() > 2) {
        firmware = _up_to(lines[2], "\r\n");
    }
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const char* firmware, const char* build,
                                   std::string& data, const char* url, bool noCal) {
    std::map<std::string, std::string> parameters{{"bld", _encode_value(build)},
                                                  {"fw", _encode_value(firmware)},
                                                  {"no_cal", noCal ? "true" : "false"},
                                                  {"op", "bird"},
                                                  {"sn", _serial_text(serial)}};
    std::vector<std::string> lines;
    if (!_request("GetBuild", url, parameters, lines)) {
        return false;
    }
    data.clear();
    if (lines.size() > 1) {
        data = lines[1];
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
    builds.clear();
    std::map<std::string, std::string> parameters{{"op", "builds"}, {"sn", _serial_text(serial)}};
    std::vector<std::string> lines;
    if (!_request("GetBuildList", url, parameters, lines)) {
        return false;
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].size() < 3) {
            continue;
        }
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", lines[i].c_str());
        std::string entry = lines[i];
        char* position = nullptr;
        const char* key = strtok_r(&entry[0], ";\r\n", &position);
        if (key == nullptr) {
            continue;
        }
        const char* value = strtok_r(nullptr, ";\r\n", &position);
        const std::string version = value != nullptr ? value : "";
        builds.emplace(key, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", key, version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial,
                                          unsigned* build, const char* url) {
    if (fingerprint == nullptr) {
        return false;
    }
    char words[64];
    snprintf(words, sizeof(words), "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    std::map<std::string, std::string> parameters{{"brief", "true"}, {"fp", words}, {"op", "fix"}};
    std::vector<std::string> lines;
    if (!_request("GetRecoveryInfo", url, parameters, lines)) {
        return false;
    }
    if (lines.size() > 1 && serial != nullptr) {
        *serial = static_cast<unsigned>(strtoul(lines[1].c_str(), nullptr, 16));
    }
    if (lines.size() > 2 && build != nullptr) {
        *build = static_cast<unsigned>(strtoul(lines[2].c_str(), nullptr, 0));
    }
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* url) {
    std::map<std::string, std::string> parameters{
        {"json", "false"}, {"op", "ent_jwt"}, {"sn", _serial_text(serial)}};
    std::vector<std::string> lines;
    if (!_request("GetDeviceJWT", url, parameters, lines)) {
        return false;
    }
    if (lines.size() < 2 || lines[1].size() < 3) {
        return false;
    }
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", lines[1].c_str());
    std::string entry = lines[1];
    char* position = nullptr;
    const char* header = strtok_r(&entry[0], ".", &position);
    const char* payload = header != nullptr ? strtok_r(nullptr, ".", &position) : nullptr;
    const char* signature = payload != nullptr ? strtok_r(nullptr, "\r\n", &position) : nullptr;
    if (signature == nullptr || strlen(header) < 2 || strlen(payload) < 2 ||
        strlen(signature) < 2) {
        return false;
    }
    token = std::string(header) + "." + payload + "." + signature;
    return true;
}

bool ping_wrap(const char* url) {
    return UpdateServerRequest::ping(url);
}
