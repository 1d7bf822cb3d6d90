#include "api/Module.h"

#include <cstring>
#include <new>

#include "common/aPacket.h"
#include "unix/aTime.h"

namespace Vexmoran {
namespace Quillarex {

namespace {

constexpr int kAddressAttempts = 4;
constexpr uint32_t kAddressRetryMs = 5;
constexpr uint8_t kCmdInfo = 0x49;
constexpr uint8_t kCmdDebug = 0x17;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_link(new (std::nothrow) Link("Link")),
      m_address(address),
      m_networkingMode(networkingMode),
      m_model(model) {}

Module::~Module() {
    delete m_link;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::connectFromSpec(const linkSpec& spec) {
    if (!m_link)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone)
        return err;
    err = m_link->connect();
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (!m_link)
        return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectThroughLinkModule(Module* router) {
    if (!m_link)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrNone;
    if (!router)
        return aErrParam;
    linkSpec spec{};
    aErr err = router->getLinkSpecifier(&spec);
    if (err != aErrNone)
        return err;
    Link* routerLink = router->getLink();
    if (!routerLink)
        return aErrInitialization;
    NimbusConfig config;
    routerLink->getConfig(&config);
    err = setConfig(config);
    if (err != aErrNone)
        return err;
    if (config.enabled) {
        spec.type = NIMBUS;
        spec.t.ip.ip_address = config.networkInterface;
        spec.t.ip.ip_port = config.port;
    }
    err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone)
        return err;
    err = m_link->connectThroughLinkModule(routerLink);
    if (err == aErrNone)
        m_networkingMode = false;
    return err;
}

aErr Module::reconnect() {
    if (!m_link)
        return aErrInitialization;
    aErr err = m_link->connect();
    return err == aErrNone ? _autoNetwork() : err;
}

bool Module::isConnected() {
    return m_link && m_link->isConnected();
}

uint32_t Module::getStatus() {
    return m_link ? m_link->getStatus() : 8;
}

aErr Module::disconnect() {
    if (!m_link)
        return aErrInitialization;
    return m_link->disconnect();
}

uint8_t Module::getModuleAddress() {
    return m_address;
}

void Module::setModuleAddress(uint8_t address) {
    m_address = address;
}

aErr Module::getLinkSpecifier(linkSpec* spec) {
    if (!m_link)
        return aErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

aErr Module::getConfig(NimbusConfig* config) {
    if (!m_link)
        return aErrNotReady;
    if (!config)
        return aErrParam;
    return m_link->getConfig(config);
}

aErr Module::setConfig(const NimbusConfig& config) {
    if (!m_link)
        return aErrNotReady;
    return m_link->setConfig(config);
}

Link* Module::getLink() {
    return m_link;
}

void Module::setNetworkingMode(bool on) {
    m_networkingMode = on;
}

aErr Module::_autoNetwork() {
    if (!m_networkingMode || !m_link)
        return aErrNone;
    aErr err = aErrNotReady;
    uint8_t address = 0;
    for (int attempt = 0; err == aErrNotReady && attempt < kAddressAttempts; ++attempt) {
        err = m_link->getModuleAddress(&address);
        if (err != aErrNone)
            aTime_MSSleep(kAddressRetryMs);
    }
    if (err == aErrNone && address != 0 && address != m_address)
        m_address = address;
    return err;
}

aErr Module::askInfo(const uint8_t* request, uint8_t requestLength, const uint8_t* match,
                     uint8_t matchLength, uint8_t* reply, uint8_t* replyLength) {
    if (!isConnected())
        return aErrConnection;
    aErr err = m_link->sendPacket(m_address, request[0], requestLength - 1u, request + 1);
    if (err != aErrNone)
        return err;
    *replyLength = matchLength;
    return m_link->receivePacket(m_address, match, replyLength, reply);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
    if (length > aPACKET_MAX_DATA - 1 || (length && !data))
        return aErrParam;
    uint8_t request[aPACKET_MAX_DATA];
    request[0] = kCmdDebug;
    if (length)
        std::memcpy(request + 1, data, length);
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 0;
    aErr err = askInfo(request, length + 1u, request, 1, reply, &n);
    if (err != aErrNone)
        return err;
    if (n != length + 1u || std::memcmp(reply, request, n) != 0)
        return aErrIO;
    return aErrNone;
}

aErr Module::getBuild(uint32_t* build) {
    if (!build)
        return aErrParam;
    if (!m_link)
        return aErrInitialization;
    const uint8_t request[] = {kCmdInfo, 0xFF};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 0;
    aErr err = askInfo(request, 2, request, 2, reply, &n);
    if (err != aErrNone)
        return err;
    if (n != 6)
        return aErrSize;
    *build = static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
             static_cast<uint32_t>(reply[4]) << 8 | reply[5];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if ((flags & ~0xC0) != 0 || flags == 0xC0)
        return aErrParam;
    const uint8_t request[] = {kCmdInfo, 0x01, command, option, index, flags};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 0;
    aErr err = askInfo(request, sizeof request, request, 1, reply, &n);
    if (err != aErrNone)
        return err;
    if (n != 6 || reply[1] != 0x01 || reply[2] != command || reply[3] != option ||
        reply[4] != index)
        return aErrUnknown;
    return static_cast<aErr>(reply[5]);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    const uint8_t request[] = {kCmdInfo, 0x04, command};
    return askEchoedByte(request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count) {
    const uint8_t request[] = {kCmdInfo, 0x05, command, index};
    return askEchoedByte(request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    const uint8_t request[] = {kCmdInfo, 0x06, command, index};
    return askEchoedByte(request, sizeof request, group);
}

// A module-information request whose answer repeats the request and adds one
// byte, the value; aErrUnknown for any other answer.
aErr Module::askEchoedByte(const uint8_t* request, uint8_t length, uint8_t* value) {
    if (!value)
        return aErrParam;
    *value = 0;
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t n = 0;
    aErr err = askInfo(request, length, request, 1, reply, &n);
    if (err != aErrNone)
        return err;
    if (n != length + 1 || std::memcmp(reply + 1, request + 1, length - 1) != 0)
        return aErrUnknown;
    *value = reply[length];
    return aErrNone;
}

aErr Module::enablePacketLog(const char* path) {
    if (!m_link)
        return aErrConfiguration;
    return m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
    if (!m_link)
        return aErrConfiguration;
    return m_link->disablePacketLog();
}

}  // namespace Quillarex
}  // namespace Vexmoran
