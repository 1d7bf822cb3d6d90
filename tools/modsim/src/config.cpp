#include "modsim/config.h"

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace modsim {

namespace {

unsigned long number(const std::string& key, const std::string& text, unsigned long max,
                     int base = 0) {
    try {
        std::size_t used = 0;
        unsigned long v = std::stoul(text, &used, base);
        if (used == text.size() && v <= max && !text.empty() && text[0] != '-')
            return v;
    } catch (const std::exception&) {
    }
    throw std::invalid_argument("bad value '" + text + "' for " + key);
}

bool flag(const std::string& key, const std::string& text) {
    if (text == "1" || text == "true" || text == "yes" || text == "on")
        return true;
    if (text == "0" || text == "false" || text == "no" || text == "off")
        return false;
    throw std::invalid_argument("bad value '" + text + "' for " + key + " (use 0 or 1)");
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep))
        parts.push_back(part);
    if (!text.empty() && text.back() == sep)
        parts.push_back("");
    return parts;
}

std::vector<uint8_t> hexBytes(const std::string& key, const std::string& text) {
    if (text.size() % 2)
        throw std::invalid_argument("odd hex length for " + key);
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(number(key, text.substr(i, 2), 0xFF, 16)));
    return out;
}

uint32_t hexSerial(const std::string& key, std::string text) {
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)
        text = text.substr(2);
    if (text.empty() || text.size() > 8)
        throw std::invalid_argument("bad serial '" + text + "'");
    return static_cast<uint32_t>(number(key, text, 0xFFFFFFFFul, 16));
}

void applyKey(ModuleConfig& m, const std::string& key, const std::string& value, bool sub) {
    if (key == "serial") {
        m.serial = hexSerial(key, value);
    } else if (key == "model") {
        m.model = static_cast<uint8_t>(number(key, value, 0xFF));
    } else if (key == "address") {
        m.address = static_cast<uint8_t>(number(key, value, 0xFF));
    } else if (key == "version") {
        m.version = parseVersion(value);
    } else if (key == "build") {
        m.build = static_cast<uint32_t>(number(key, value, 0xFFFFFFFFul));
    } else if (key == "name") {
        m.name = value;
    } else if (key == "features") {
        m.features = static_cast<uint32_t>(number(key, value, 0xFFFFFFFFul));
    } else if (key == "uei-data") {
        m.ueiData = flag(key, value);
    } else if (key == "without-options") {
        for (const std::string& o : split(value, '/'))
            m.withoutOptions.insert(static_cast<uint8_t>(number(key, o, 63)));
    } else if (key == "recovery") {
        m.recovery = flag(key, value);
    } else if (key == "ids") {
        auto words = split(value, '/');
        if (words.size() != 4)
            throw std::invalid_argument("ids needs four words W0/W1/W2/W3");
        for (int i = 0; i < 4; ++i)
            m.ids[i] = hexSerial(key, words[i]);
    } else if (key == "load-base") {
        m.loadBase = static_cast<uint32_t>(number(key, value, 0xFFFFFFFFul));
    } else if (key == "block-size") {
        m.blockSize = static_cast<uint16_t>(number(key, value, 0xFFFF));
    } else if (key == "flash-base") {
        m.flashBase = static_cast<uint32_t>(number(key, value, 0xFFFFFFFFul));
    } else if (key == "flash-size") {
        m.flashSize = static_cast<uint32_t>(number(key, value, 64u << 20));
    } else if (key == "load-drop") {
        m.loadDropMs = static_cast<int>(number(key, value, 600000));
    } else if (key == "reboot-ms") {
        m.rebootMs = static_cast<int>(number(key, value, 600000));
    } else if (key == "load-reply-quiet") {
        m.loadReplyQuietMs = static_cast<int>(number(key, value, 60000));
    } else if (key == "heartbeat") {
        m.heartbeatMs = static_cast<int>(number(key, value, 600000));
    } else if (key == "heartbeat-down") {
        m.heartbeatDown = flag(key, value);
    } else if (key == "stream-period") {
        m.streamPeriodMs = static_cast<int>(number(key, value, 600000));
        if (m.streamPeriodMs == 0)
            throw std::invalid_argument("stream-period must be above 0");
    } else if (key == "stores") {
        m.stores = static_cast<uint8_t>(number(key, value, 16));
    } else if (key == "slots") {
        m.slots = static_cast<uint8_t>(number(key, value, 64));
    } else if (key == "slot-capacity") {
        m.slotCapacity = static_cast<uint16_t>(number(key, value, 0xFFFF));
    } else if (key == "factory") {
        for (const std::string& item : split(value, '/')) {
            auto colon = item.find(':');
            if (colon == std::string::npos)
                throw std::invalid_argument("factory needs KIND:HEX");
            m.factory[static_cast<uint8_t>(number(key, item.substr(0, colon), 15))] =
                hexBytes(key, item.substr(colon + 1));
        }
    } else if (key == "transport" && !sub) {
        if (value == "tcp")
            m.transport = TransportKind::Tcp;
        else if (value == "pty")
            m.transport = TransportKind::Pty;
        else if (value == "unix")
            m.transport = TransportKind::Unix;
        else if (value == "stdio")
            m.transport = TransportKind::Stdio;
        else if (value == "none")
            m.transport = TransportKind::None;
        else
            throw std::invalid_argument("transport is tcp, pty, unix, stdio or none");
    } else if (key == "port" && !sub) {
        m.port = static_cast<uint16_t>(number(key, value, 0xFFFF));
    } else if (key == "path" && !sub) {
        m.path = value;
    } else if (key == "i2c" && sub) {
        m.i2cAddress = static_cast<uint8_t>(number(key, value, 0xFE));
    } else {
        throw std::invalid_argument("unknown key '" + key + "'" + (sub ? " for a sub-module" : ""));
    }
}

std::string jsonText(const nlohmann::json& v) {
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_boolean())
        return v.get<bool>() ? "1" : "0";
    if (v.is_number_unsigned() || v.is_number_integer())
        return std::to_string(v.get<long long>());
    throw std::invalid_argument("value " + v.dump() + " must be a string, number or boolean");
}

// A sub-module is reached at its I2C address; unless told otherwise its
// module address is the same, and the other way round.
void settleSubAddresses(ModuleConfig& m) {
    if (m.address == 0)
        m.address = m.i2cAddress;
    if (m.i2cAddress == 0)
        m.i2cAddress = m.address;
}

ModuleConfig moduleFromJson(const nlohmann::json& j, bool sub) {
    if (!j.is_object())
        throw std::invalid_argument("a module must be a JSON object");
    ModuleConfig m;
    m.transport = sub ? TransportKind::None : TransportKind::Tcp;
    if (sub)
        m.address = 0;
    for (const auto& [key, value] : j.items()) {
        if (key == "faults") {
            for (const auto& f : value)
                m.faults.push_back(parseFault(f.get<std::string>()));
        } else if (key == "submodules" && !sub) {
            for (const auto& s : value)
                m.subModules.push_back(moduleFromJson(s, true));
        } else if (key == "without-options" && value.is_array()) {
            for (const auto& o : value)
                applyKey(m, key, jsonText(o), sub);
        } else if (key == "factory" && value.is_object()) {
            for (const auto& [kind, hex] : value.items())
                applyKey(m, key, kind + ":" + jsonText(hex), sub);
        } else if (key == "ids" && value.is_array()) {
            std::string words;
            for (const auto& w : value)
                words += (words.empty() ? "" : "/") + jsonText(w);
            applyKey(m, key, words, sub);
        } else {
            applyKey(m, key, jsonText(value), sub);
        }
    }
    if (sub)
        settleSubAddresses(m);
    return m;
}

}  // namespace

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF);
    return (major & 0xF) << 28 | (minor & 0xF) << 24 | (patch & 0xFFFFFF);
}

std::string versionText(uint32_t packed) {
    unsigned major, minor, patch;
    if ((packed >> 24) == 0x2F) {
        major = packed >> 16 & 0xFF;
        minor = packed >> 8 & 0xFF;
        patch = packed & 0xFF;
    } else {
        major = packed >> 28;
        minor = packed >> 24 & 0xF;
        patch = packed & 0xFFFFFF;
    }
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

uint32_t parseVersion(const std::string& text) {
    auto parts = split(text, '.');
    if (parts.size() == 3)
        return packVersion(static_cast<unsigned>(number("version", parts[0], 255)),
                           static_cast<unsigned>(number("version", parts[1], 255)),
                           static_cast<unsigned>(number("version", parts[2], 0xFFFFFF)));
    if (parts.size() == 1)
        return static_cast<uint32_t>(number("version", text, 0xFFFFFFFFul));
    throw std::invalid_argument("bad version '" + text + "' (use MAJOR.MINOR.PATCH)");
}

std::string ModuleConfig::displayName() const {
    if (!name.empty())
        return name;
    char text[32];
    std::snprintf(text, sizeof text, "Module %08X", serial);
    return text;
}

ModuleConfig parseModuleSpec(const std::string& spec, bool subModule) {
    ModuleConfig m;
    m.transport = subModule ? TransportKind::None : TransportKind::Tcp;
    if (subModule)
        m.address = 0;
    if (!spec.empty()) {
        for (const std::string& item : split(spec, ',')) {
            auto eq = item.find('=');
            if (eq == std::string::npos)
                throw std::invalid_argument("'" + item + "' is not KEY=VALUE");
            applyKey(m, item.substr(0, eq), item.substr(eq + 1), subModule);
        }
    }
    if (subModule)
        settleSubAddresses(m);
    return m;
}

SimConfig loadConfigFile(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::invalid_argument("cannot read config file " + path);
    nlohmann::json j;
    try {
        in >> j;
    } catch (const nlohmann::json::exception& e) {
        throw std::invalid_argument("config file " + path + ": " + e.what());
    }
    SimConfig config;
    try {
        for (const auto& [key, value] : j.items()) {
            if (key == "listen")
                config.listen = value.get<std::string>();
            else if (key == "discovery-if")
                config.discoveryIf = value.get<std::string>();
            else if (key == "state-file")
                config.stateFile = value.get<std::string>();
            else if (key == "flash-dir")
                config.flashDir = value.get<std::string>();
            else if (key == "modules")
                for (const auto& m : value)
                    config.modules.push_back(moduleFromJson(m, false));
            else
                throw std::invalid_argument("unknown key '" + key + "' in " + path);
        }
    } catch (const nlohmann::json::exception& e) {
        throw std::invalid_argument("config file " + path + ": " + e.what());
    }
    return config;
}

void validateConfig(const SimConfig& config) {
    std::set<uint32_t> serials;
    auto check = [&](const ModuleConfig& m) {
        char text[16];
        std::snprintf(text, sizeof text, "%08X", m.serial);
        if (!serials.insert(m.serial).second)
            throw std::invalid_argument(std::string("serial ") + text + " is used twice");
        if (m.address == 0 || (m.address & 1))
            throw std::invalid_argument(std::string("module ") + text +
                                        ": address must be even and not 0");
    };
    if (config.modules.empty())
        throw std::invalid_argument("no module defined");
    for (const ModuleConfig& m : config.modules) {
        check(m);
        if (m.transport == TransportKind::Unix && m.path.empty())
            throw std::invalid_argument("a unix transport needs path=");
        std::set<uint8_t> i2c;
        for (const ModuleConfig& s : m.subModules) {
            check(s);
            if (s.i2cAddress == 0 || (s.i2cAddress & 1) || s.i2cAddress == m.address)
                throw std::invalid_argument(
                    "sub-module i2c address must be even, not 0 and not "
                    "the router's own address");
            if (!i2c.insert(s.i2cAddress).second)
                throw std::invalid_argument("two sub-modules share one i2c address");
        }
    }
}

}  // namespace modsim
