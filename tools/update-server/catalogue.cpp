#include "update-server/catalogue.h"

#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "common/aDefs.h"

namespace update_server {
namespace {

bool IsHex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool IsDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

// A positive decimal number that fits 32 bits, or 0.
unsigned ParseBuildNumber(const std::string& text) {
    if (!IsDecimal(text) || text.size() > 10) {
        return 0;
    }
    const unsigned long long value = std::stoull(text);
    return value > 0xFFFFFFFFull ? 0 : static_cast<unsigned>(value);
}

bool ParseVersion(const std::string& text, std::array<unsigned long long, 3>& parts) {
    size_t start = 0;
    for (size_t i = 0; i < 3; ++i) {
        const size_t dot = text.find('.', start);
        if ((i < 2) == (dot == std::string::npos)) {
            return false;
        }
        const std::string part = text.substr(start, dot == std::string::npos ? dot : dot - start);
        if (!IsDecimal(part) || part.size() > 9) {
            return false;
        }
        parts[i] = std::stoull(part);
        start = dot + 1;
    }
    return true;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw CatalogueError(path + ": cannot be read: " + std::strerror(errno));
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw CatalogueError(path + ": cannot be read");
    }
    return bytes;
}

Module ParseModuleLine(const std::string& where, const std::string& line) {
    std::istringstream words(line);
    std::string serial;
    words >> serial;
    if (serial.size() != 8 || !IsHex(serial)) {
        throw CatalogueError(where + ": serial number '" + serial +
                             "' is not eight hexadecimal digits");
    }
    Module module;
    module.serial = static_cast<unsigned>(std::stoul(serial, nullptr, 16));
    std::set<std::string> seen;
    bool hasModel = false;
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos) {
            throw CatalogueError(where + ": '" + word + "' is not KEY=VALUE");
        }
        const std::string key = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        if (!seen.insert(key).second) {
            throw CatalogueError(where + ": " + key + " is given twice");
        }
        if (key == "model") {
            if (!IsDecimal(value) || value.size() > 3) {
                throw CatalogueError(where + ": model '" + value + "' is not a model number");
            }
            module.model = static_cast<unsigned>(std::stoul(value));
            module.modelName = aDefs_GetModelName(module.model);
            if (module.modelName == "Unknown") {
                throw CatalogueError(where + ": model " + value + " is not a known model number");
            }
            hasModel = true;
        } else if (key == "fp") {
            const std::vector<std::string> parts = SplitList(value);
            if (parts.size() != 4) {
                throw CatalogueError(where + ": fp needs four hexadecimal words");
            }
            for (size_t i = 0; i < 4; ++i) {
                if (!IsHex(parts[i]) || parts[i].size() > 8) {
                    throw CatalogueError(where + ": fp word '" + parts[i] +
                                         "' is not a hexadecimal 32-bit word");
                }
                module.fingerprint[i] = static_cast<uint32_t>(std::stoul(parts[i], nullptr, 16));
            }
            module.hasFingerprint = true;
        } else if (key == "features") {
            if (value.empty()) {
                continue;
            }
            for (const std::string& feature : SplitList(value)) {
                if (feature.empty() ||
                    feature.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                              "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.:-") !=
                        std::string::npos) {
                    throw CatalogueError(where + ": feature '" + feature +
                                         "' may only hold letters, digits and _ . : -");
                }
                module.features.push_back(feature);
            }
        } else if (key == "builds") {
            for (const std::string& text : SplitList(value)) {
                const unsigned build = ParseBuildNumber(text);
                if (build == 0) {
                    throw CatalogueError(where + ": build '" + text + "' is not a build number");
                }
                module.builds.push_back(build);
            }
            module.buildsListed = true;
        } else if (key == "recovery") {
            module.recoveryBuild = ParseBuildNumber(value);
            if (module.recoveryBuild == 0) {
                throw CatalogueError(where + ": recovery '" + value + "' is not a build number");
            }
        } else {
            throw CatalogueError(where + ": unknown key '" + key + "'");
        }
    }
    if (!hasModel) {
        throw CatalogueError(where + ": model= is missing");
    }
    return module;
}

}  // namespace

int CompareVersions(const std::string& a, const std::string& b) {
    std::array<unsigned long long, 3> pa{}, pb{};
    const bool okA = ParseVersion(a, pa);
    const bool okB = ParseVersion(b, pb);
    if (okA != okB) {
        return okA ? 1 : -1;
    }
    if (!okA) {
        return a.compare(b);
    }
    for (size_t i = 0; i < 3; ++i) {
        if (pa[i] != pb[i]) {
            return pa[i] < pb[i] ? -1 : 1;
        }
    }
    return 0;
}

Catalogue Catalogue::Load(const std::string& dir) {
    const std::string modulesPath = dir + "/modules.txt";
    const std::vector<uint8_t> modulesBytes = ReadFile(modulesPath);
    const std::string buildsDir = dir + "/builds";

    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    DIR* listing = opendir(buildsDir.c_str());
    if (listing == nullptr) {
        if (errno != ENOENT) {
            throw CatalogueError(buildsDir + ": cannot be listed: " + std::strerror(errno));
        }
    } else {
        std::vector<std::string> names;
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".bird") == 0) {
                names.push_back(name);
            }
        }
        closedir(listing);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string path = buildsDir + "/" + name;
            struct stat info {};
            if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
                continue;
            }
            files.emplace_back(path, ReadFile(path));
        }
    }
    return FromParts(std::string(modulesBytes.begin(), modulesBytes.end()), files, modulesPath);
}

Catalogue Catalogue::FromParts(
    const std::string& modulesText,
    const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files,
    const std::string& modulesName) {
    Catalogue catalogue;
    for (const auto& [name, bytes] : files) {
        Build build;
        std::string error;
        if (!ReadBirdIdentity(bytes, build.identity, error)) {
            catalogue.warnings_.push_back(name + ": skipped: " + error);
            continue;
        }
        build.file = name;
        build.bytes = bytes;
        const unsigned number = build.identity.build;
        const auto [it, added] = catalogue.builds_.emplace(number, std::move(build));
        if (!added) {
            throw CatalogueError(name + ": build " + std::to_string(number) + " is also in " +
                                 it->second.file);
        }
    }

    std::istringstream lines(modulesText);
    std::string line;
    std::set<Fingerprint> fingerprints;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        const std::string where = modulesName + ":" + std::to_string(number);
        line = line.substr(0, line.find('#'));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        Module module = ParseModuleLine(where, line);
        if (module.hasFingerprint && !fingerprints.insert(module.fingerprint).second) {
            throw CatalogueError(where + ": another module has the same fp");
        }
        if (module.buildsListed) {
            for (const unsigned number : module.builds) {
                const Build* build = catalogue.FindBuild(number);
                if (build == nullptr) {
                    throw CatalogueError(where + ": build " + std::to_string(number) +
                                         " is not in the catalogue");
                }
                if (!catalogue.Applies(*build, module)) {
                    throw CatalogueError(where + ": build " + std::to_string(number) + " (" +
                                         build->file + ") is not for this module");
                }
            }
        } else {
            for (const auto& [number, build] : catalogue.builds_) {
                if (catalogue.Applies(build, module)) {
                    module.builds.push_back(number);
                }
            }
        }
        std::sort(module.builds.begin(), module.builds.end());
        module.builds.erase(std::unique(module.builds.begin(), module.builds.end()),
                            module.builds.end());
        if (module.recoveryBuild != 0 &&
            !std::binary_search(module.builds.begin(), module.builds.end(), module.recoveryBuild)) {
            throw CatalogueError(where + ": recovery build " +
                                 std::to_string(module.recoveryBuild) +
                                 " is not one of the module's builds");
        }
        const unsigned serial = module.serial;
        if (!catalogue.modules_.emplace(serial, std::move(module)).second) {
            throw CatalogueError(where + ": the serial number is listed twice");
        }
    }
    return catalogue;
}

bool Catalogue::Applies(const Build& build, const Module& module) const {
    const BirdIdentity& id = build.identity;
    if (id.model.compare(0, module.modelName.size(), module.modelName) != 0) {
        return false;
    }
    return id.serial == 0 || id.serial == module.serial;
}

const Module* Catalogue::FindModule(unsigned serial) const {
    const auto it = modules_.find(serial);
    return it == modules_.end() ? nullptr : &it->second;
}

const Module* Catalogue::FindModule(const Fingerprint& fingerprint) const {
    for (const auto& [serial, module] : modules_) {
        if (module.hasFingerprint && module.fingerprint == fingerprint) {
            return &module;
        }
    }
    return nullptr;
}

const Build* Catalogue::FindBuild(unsigned build) const {
    const auto it = builds_.find(build);
    return it == builds_.end() ? nullptr : &it->second;
}

std::vector<const Build*> Catalogue::BuildsFor(const Module& module) const {
    std::vector<const Build*> result;
    for (const unsigned number : module.builds) {
        result.push_back(&builds_.at(number));
    }
    return result;
}

const Build* Catalogue::LatestFor(const Module& module) const {
    const Build* latest = nullptr;
    for (const Build* build : BuildsFor(module)) {
        if (latest == nullptr) {
            latest = build;
            continue;
        }
        const int order = CompareVersions(build->identity.version, latest->identity.version);
        if (order > 0 || (order == 0 && build->identity.build > latest->identity.build)) {
            latest = build;
        }
    }
    return latest;
}

const Build* Catalogue::RecoveryFor(const Module& module) const {
    if (module.recoveryBuild != 0) {
        return FindBuild(module.recoveryBuild);
    }
    return LatestFor(module);
}

}  // namespace update_server
