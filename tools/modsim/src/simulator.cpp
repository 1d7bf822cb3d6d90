#include "modsim/simulator.h"

#include <cstdio>

#include "modsim/state.h"
#include "modsim/transports.h"

namespace modsim {

Simulator::Simulator(SimConfig config) : config_(std::move(config)) {}

Simulator::~Simulator() {
    if (thread_.joinable()) {
        stop();
        thread_.join();
    }
    discovery_.reset();
    endpoints_.clear();
}

void Simulator::open() {
    validateConfig(config_);
    for (const ModuleConfig& m : config_.modules) {
        modules_.push_back(std::make_unique<Module>(m));
        Module& module = *modules_.back();
        std::unique_ptr<Endpoint> endpoint;
        switch (m.transport) {
            case TransportKind::Tcp:
                endpoint = std::make_unique<TcpEndpoint>(loop_, module, config_.listen, m.port);
                break;
            case TransportKind::Pty:
                endpoint = std::make_unique<PtyEndpoint>(loop_, module);
                break;
            case TransportKind::Unix:
                endpoint = std::make_unique<UnixEndpoint>(loop_, module, m.path);
                break;
            case TransportKind::Stdio:
                endpoint = std::make_unique<StdioEndpoint>(loop_, module);
                break;
            case TransportKind::None:
                endpoint = std::make_unique<Endpoint>(loop_, module);
                break;
        }
        endpoint->open();
        endpoints_.push_back(std::move(endpoint));
    }
    if (!config_.discoveryIf.empty()) {
        discovery_ = std::make_unique<DiscoveryResponder>(
            loop_, config_.discoveryIf, config_.discoveryPort, config_.discoveryReplyPort, [this] {
                std::vector<DiscoveryEntry> entries;
                for (const auto& e : endpoints_) {
                    auto* tcp = dynamic_cast<TcpEndpoint*>(e.get());
                    if (!tcp || !tcp->up())
                        continue;
                    const ModuleConfig& c = tcp->module().config();
                    entries.push_back({c.address, tcp->port(), c.serial, c.model});
                }
                return entries;
            });
        discovery_->open();
    }
}

void Simulator::run() {
    loop_.run();
}

void Simulator::start() {
    running_ = true;
    thread_ = std::thread([this] {
        loop_.run();
        running_ = false;
    });
}

void Simulator::stop() {
    loop_.stop();
}

std::vector<std::string> Simulator::describe() const {
    std::vector<std::string> lines;
    for (const auto& e : endpoints_) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%08X", e->module().serial());
        lines.push_back(std::string("module ") + serial + " " + e->describe());
        for (const auto& sub : e->module().subModules()) {
            std::snprintf(serial, sizeof serial, "%08X", sub->serial());
            lines.push_back(std::string("submodule ") + serial + " i2c " +
                            std::to_string(sub->config().i2cAddress));
        }
    }
    return lines;
}

Endpoint* Simulator::endpoint(uint32_t serial) const {
    for (const auto& e : endpoints_)
        if (e->module().serial() == serial)
            return e.get();
    return nullptr;
}

uint16_t Simulator::tcpPort(uint32_t serial) const {
    Endpoint* e = endpoint(serial);
    return e ? e->port() : 0;
}

std::string Simulator::path(uint32_t serial) const {
    Endpoint* e = endpoint(serial);
    return e ? e->path() : "";
}

Module* Simulator::module(uint32_t serial) {
    for (auto& m : modules_) {
        if (m->serial() == serial)
            return m.get();
        for (auto& sub : m->subModules())
            if (sub->serial() == serial)
                return sub.get();
    }
    return nullptr;
}

int Simulator::connectStream(uint32_t serial) {
    return call([this, serial] {
        Endpoint* e = endpoint(serial);
        return e ? e->connectPair() : -1;
    });
}

std::string Simulator::flashDir() const {
    if (!config_.flashDir.empty())
        return config_.flashDir;
    if (config_.stateFile.empty())
        return "";
    auto slash = config_.stateFile.rfind('/');
    return slash == std::string::npos ? "." : config_.stateFile.substr(0, slash);
}

nlohmann::json Simulator::state() {
    return call([this] {
        std::vector<const Module*> modules;
        for (const auto& m : modules_)
            modules.push_back(m.get());
        nlohmann::json j = simulatorState(modules, flashDir());
        if (discovery_)
            j["discovery_requests"] = discovery_->requests();
        return j;
    });
}

void Simulator::writeState(const std::string& path) {
    std::string target = path.empty() ? config_.stateFile : path;
    if (target.empty())
        return;
    writeStateFile(target, state());
}

}  // namespace modsim
