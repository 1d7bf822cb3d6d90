#include "modsim/state.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "modsim/config.h"
#include "modsim/module.h"

namespace modsim {

namespace {

std::string hex8(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        if (!out)
            throw std::runtime_error("cannot write " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename " + temp);
}

}  // namespace

std::string sha256Hex(const std::vector<uint8_t>& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return hexBytes(std::vector<uint8_t>(digest, digest + length));
}

nlohmann::json moduleState(const Module& module, const std::string& flashDir) {
    const ModuleConfig& c = module.config();
    nlohmann::json j;
    j["serial"] = hex8(c.serial);
    j["model"] = c.model;
    j["address"] = c.address;
    j["version"] = versionText(module.version());
    j["version_packed"] = hex8(module.version());
    j["build"] = module.build();
    j["name"] = module.name();
    j["router"] =
        module.router() ? nlohmann::json(hex8(module.router()->serial())) : nlohmann::json();
    if (module.router())
        j["i2c_address"] = c.i2cAddress;
    j["in_loader"] = module.bootLoader().inLoader();

    std::vector<uint8_t> flash = module.bootLoader().flashImage();
    std::string path;
    if (!flashDir.empty()) {
        path = flashDir + "/flash-" + hex8(c.serial) + ".bin";
        writeFile(path, flash);
    }
    j["flash"] = {{"path", path},
                  {"base", c.flashBase},
                  {"size", flash.size()},
                  {"sha256", sha256Hex(flash)}};

    nlohmann::json counters = nlohmann::json::object();
    for (const auto& [name, value] : module.counters().all())
        counters[name] = value;
    j["counters"] = counters;

    nlohmann::json faults = nlohmann::json::array();
    for (const Fault& f : module.faults().faults())
        faults.push_back({{"fault", f.text}, {"seen", f.seen}, {"fired", f.fired}});
    j["faults"] = faults;

    nlohmann::json factory = nlohmann::json::object();
    for (const auto& [kind, bytes] : module.factory().areas())
        factory[std::to_string(kind)] = hexBytes(bytes);
    j["factory"] = factory;
    nlohmann::json slots = nlohmann::json::object();
    for (uint8_t s = 0; s < c.stores; ++s)
        for (uint8_t n = 0; n < c.slots; ++n)
            if (const auto* bytes = module.slots().slot(s, n); bytes && !bytes->empty())
                slots[std::to_string(s) + "/" + std::to_string(n)] = hexBytes(*bytes);
    j["slots"] = slots;
    return j;
}

nlohmann::json simulatorState(const std::vector<const Module*>& modules,
                              const std::string& flashDir) {
    nlohmann::json all = nlohmann::json::object();
    for (const Module* m : modules) {
        all[hex8(m->serial())] = moduleState(*m, flashDir);
        for (const auto& sub : m->subModules())
            all[hex8(sub->serial())] = moduleState(*sub, flashDir);
    }
    return {{"modules", all}};
}

void writeStateFile(const std::string& path, const nlohmann::json& state) {
    std::string text = state.dump(2) + "\n";
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace modsim
