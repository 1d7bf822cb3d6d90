#include "api/Link.h"

#include <cstring>
#include <mutex>
#include <new>

#include "common/aLink.h"
#include "common/aLogger.h"
#include "common/aPacket.h"
#include "unix/aDiscovery.h"
#include "unix/aFile.h"
#include "unix/aTime.h"

namespace Vexmoran {
namespace Quillarex {

namespace {

// Held for the whole of every link creation, so that two links never create
// link-engine entries at the same time.
std::mutex linkCreateHelperSerializer;

constexpr size_t kMaxName = 1024;
constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint32_t kAnswerMs = 1000;
constexpr uint32_t kLinkPolls = 200;
constexpr uint32_t kLinkPollMs = 10;
constexpr uint32_t kLogPayload = 64;
constexpr uint32_t kLogIdleMs = 5;
constexpr uint8_t kLogKindSent = 1;
constexpr uint8_t kLogKindText = 3;
// Status reported for a link without a link-engine entry.
constexpr uint32_t kNoLinkStatus = 8;

struct PacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};

aErr sPut(uint32_t id, uint8_t address, size_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacketRef packet = aPacket_CreateWithData(address, length, length ? data : &none);
    if (!packet)
        return aErrResource;
    aErr err = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return err;
}

bool sEmptyPacket(const aPacket* packet, const void*) {
    return packet && packet->dataSize == 0;
}

struct RawMatch {
    const uint8_t* match;
    uint8_t length;
};

bool sRawFilter(const aPacket* packet, const void* reference) {
    const RawMatch* m = static_cast<const RawMatch*>(reference);
    return packet && packet->dataSize >= m->length &&
           (m->length == 0 || std::memcmp(packet->data, m->match, m->length) == 0);
}

// Reads one packet-log entry and writes it as one line.
void sPacketLogReader(aFileRef file, uint32_t id) {
    uint8_t kind = 0;
    uint8_t payload[kLogPayload];
    uint32_t length = sizeof payload;
    aErr err = aLink_PacketDebug_Read(id, &kind, &length, payload);
    if (err != aErrNone) {
        aTime_MSSleep(kLogIdleMs);
        return;
    }
    if (length > sizeof payload)
        length = sizeof payload;
    aFile_Printf(file, "%d %s ", static_cast<int>(length), kind == kLogKindSent ? ">" : "<");
    for (uint32_t i = 0; i < length; ++i) {
        if (kind == kLogKindText)
            aFile_Printf(file, "%c", payload[i]);
        else
            aFile_Printf(file, "0x%X ", payload[i]);
    }
    aFile_Printf(file, "\r\n");
}

struct DiscoveryTemplate {
    linkSpec spec;
};

bool sTakeFirstOfModel(const linkSpec* found, bool* accepted, void* ref) {
    auto* t = static_cast<DiscoveryTemplate*>(ref);
    if (t->spec.model != 0 && found->model != t->spec.model)
        return true;
    t->spec = *found;
    *accepted = true;
    return false;
}

}  // namespace

bool isNIMBUS(linkType type) {
    return type >= NIMBUS && type <= NIMBUS_SERIAL;
}

struct Link::impl {
    Link* owner;
    uint32_t linkId = 0;
    aLoggerRef logger = nullptr;
    NimbusConfig config;
    char* name = nullptr;
    linkSpec* spec = nullptr;

    impl(Link* link, const char* linkName) : owner(link) {
        const char* n = linkName ? linkName : "";
        size_t len = strnlen(n, kMaxName);
        name = new (std::nothrow) char[len + 1];
        if (name) {
            std::memcpy(name, n, len);
            name[len] = '\0';
        }
    }

    ~impl() {
        if (linkId)
            aLink_Destroy(&linkId);
        if (spec)
            aLinkSpec_Destroy(&spec);
        aLogger_Destroy(&logger);
        delete[] name;
    }

    bool connected() { return linkId != 0 && aLink_GetStatus(linkId) == aLINK_STATUS_RUNNING; }

    // Creates the link-engine entry for the stored specification; run with
    // linkCreateHelperSerializer held. A failed aLink_Create... leaves the
    // result aErrNone and the identifier 0.
    aErr linkCreateHelper() {
        aErr err = aErrNone;
        switch (spec->type) {
            case USB:
                linkId = aLink_CreateUSB(spec->serial_num);
                break;
            case TCPIP:
                linkId = aLink_CreateTCPIP(spec->serial_num, spec->t.ip.ip_address,
                                           static_cast<uint16_t>(spec->t.ip.ip_port & 0xFFFF));
                break;
            case SERIAL: {
                char port[aLINKSPEC_SERIAL_PORT_SIZE];
                std::memcpy(port, spec->t.serial.serial_port, sizeof port);
                port[sizeof port - 1] = '\0';
                linkId = aLink_CreateSerial(spec->serial_num, port, spec->t.serial.baud_rate);
                break;
            }
            case NIMBUS:
            case NIMBUS_USB:
            case NIMBUS_TCPIP:
            case NIMBUS_SERIAL:
                if (!config.enabled)
                    return aErrConfiguration;
                linkId =
                    aLink_CreateClient(spec->t.ip.ip_address,
                                       static_cast<uint16_t>(spec->t.ip.ip_port & 0xFFFF), linkId);
                break;
            default:
                return aErrMode;
        }
        if (linkId && !isNIMBUS(spec->type) && config.enabled) {
            // Share the direct link: from now on this link talks to its own
            // module through the sharing server.
            uint16_t port = 0;
            uint32_t networkInterface = config.networkInterface;
            uint32_t client =
                aLink_CreateServer(linkId, &port, &networkInterface, config.localOnly);
            if (client) {
                config.port = port;
                config.networkInterface = networkInterface;
                linkId = client;
            } else {
                aLink_Destroy(&linkId);
            }
        }
        return err;
    }

    aErr waitForLink(uint32_t polls) {
        uint32_t status = aLink_GetStatus(linkId);
        switch (status) {
            case aLINK_STATUS_RUNNING:
                return aErrNone;
            case aLINK_STATUS_STOPPED:
            case aLINK_STATUS_STARTING:
            case aLINK_STATUS_SYNCING:
                for (uint32_t i = 0; i < polls && status != aLINK_STATUS_RUNNING; ++i) {
                    aTime_MSSleep(kLinkPollMs);
                    status = aLink_GetStatus(linkId);
                }
                return status == aLINK_STATUS_RUNNING ? aErrNone : aErrConnection;
            case aLINK_STATUS_STOPPING:
                return aErrBusy;
            case aLINK_STATUS_NO_STREAM:
            case aLINK_STATUS_IO_ERROR:
            case aLINK_STATUS_QUEUE_ERROR:
                return aErrConnection;
            default:
                return aErrDuplicate;
        }
    }

    aErr connectHelper() {
        if (!spec)
            return aErrConfiguration;
        aErr err;
        {
            std::lock_guard<std::mutex> guard(linkCreateHelperSerializer);
            err = linkCreateHelper();
        }
        if (err != aErrNone)
            return err;
        if (!linkId)
            return aErrConnection;
        err = waitForLink(kLinkPolls);
        if (err != aErrNone)
            aLink_Destroy(&linkId);  // a failed connect leaves no entry behind
        return err;
    }

    // Finds a specification of the type and connects to it.
    aErr discoveryStep(linkType type, uint32_t serialNumber, uint8_t model) {
        linkSpec found{};
        bool have = false;
        if (serialNumber != 0) {
            linkSpec* s = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
            if (s) {
                found = *s;
                have = true;
                aLinkSpec_Destroy(&s);
            }
        } else {
            DiscoveryTemplate t{};
            t.spec.type = type;
            t.spec.model = model;
            if (aDiscovery_EnumerateModules(type, sTakeFirstOfModel, &t, config.networkInterface) >
                0) {
                found = t.spec;
                have = true;
            }
        }
        if (!have)
            return aErrNotFound;
        owner->setLinkSpecifier(found);  // refused while connected; connect() then says so
        return owner->connect();
    }

    aErr putUEI(const uei& record, const uint8_t* subindex) {
        if (!connected())
            return aErrConnection;
        if (record.module == 0 || (record.module & 1))
            return aErrPacket;
        return aUEI_Send(
            &record, subindex,
            [](uint8_t address, const uint8_t* data, size_t length, void* ref) -> aErr {
                return sPut(*static_cast<uint32_t*>(ref), address, length, data);
            },
            &linkId);
    }
};

Link::Link(const char* name) : m_impl(new (std::nothrow) impl(this, name)) {}

Link::Link(const linkSpec& spec, const char* name) : Link(name) {
    if (m_impl)
        m_impl->spec = aLinkSpec_Copy(&spec);
}

Link::~Link() {
    delete m_impl;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    if (!m_impl)
        return aErrInitialization;
    aErr err = m_impl->discoveryStep(type, serialNumber, model);
    bool retryable = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
    bool direct = type == USB || type == TCPIP;
    if (retryable && (direct || isNIMBUS(type)) && m_impl->config.fallback)
        err = m_impl->discoveryStep(direct ? NIMBUS : USB, serialNumber, model);
    return err;
}

aErr Link::connect() {
    if (!m_impl)
        return aErrInitialization;
    if (m_impl->linkId)
        return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link* other) {
    if (!m_impl || !other || !other->m_impl || !other->m_impl->linkId)
        return aErrInitialization;
    if (m_impl->linkId)
        return aErrConnection;
    m_impl->linkId = other->m_impl->linkId;
    aErr err = m_impl->connectHelper();
    if (err != aErrNone && m_impl->linkId == other->m_impl->linkId) {
        // The creation failed before counting a use of the router's entry:
        // this link does not own it.
        m_impl->linkId = 0;
    }
    return err;
}

bool Link::isConnected() {
    return m_impl && m_impl->connected();
}

uint32_t Link::getStatus() {
    if (!m_impl || !m_impl->linkId)
        return kNoLinkStatus;
    return aLink_GetStatus(m_impl->linkId);
}

uint32_t Link::getStreamFailures() {
    if (!m_impl || !m_impl->linkId)
        return 0;
    return aLink_GetStreamFailures(m_impl->linkId);
}

aErr Link::disconnect() {
    if (m_impl && m_impl->linkId)
        aLink_Destroy(&m_impl->linkId);
    return aErrNone;
}

aErr Link::reset() {
    if (m_impl && m_impl->linkId)
        aLink_Reset(m_impl->linkId);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
    if (!address)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    if (sPut(m_impl->linkId, kSyncAddress, 0, nullptr) != aErrNone)
        return aErrNotReady;
    aPacketRef reply = aLink_AwaitFirst(m_impl->linkId, sEmptyPacket, nullptr, kAnswerMs);
    if (!reply)
        return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::getConfig(NimbusConfig* config) {
    if (!config)
        return aErrParam;
    if (!m_impl)
        return aErrInitialization;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const NimbusConfig& config) {
    if (!m_impl)
        return aErrInitialization;
    if (isConnected())
        return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) {
    if (!spec)
        return aErrParam;
    if (!m_impl || !m_impl->spec)
        return aErrNotFound;
    *spec = *m_impl->spec;
    return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& spec) {
    if (!m_impl)
        return aErrInitialization;
    if (isConnected())
        return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(&spec);
    if (!copy)
        return aErrMemory;
    if (m_impl->spec)
        aLinkSpec_Destroy(&m_impl->spec);
    m_impl->spec = copy;
    return aErrNone;
}

const char* Link::getName() {
    return m_impl && m_impl->name ? m_impl->name : "";
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
    if (!isConnected())
        return aErrConnection;
    if (length > aPACKET_MAX_DATA - 1 || (length && !data))
        return aErrParam;
    if (address == 0 || (address & 1))
        return aErrPacket;
    uint8_t bytes[aPACKET_MAX_DATA];
    bytes[0] = command;
    if (length)
        std::memcpy(bytes + 1, data, length);
    return sPut(m_impl->linkId, address, length + 1u, bytes);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (!isConnected())
        return aErrConnection;
    if (address == 0 || (address & 1))
        return aErrPacket;
    if (!length || !data || (*length && !match) || *length > aPACKET_MAX_DATA)
        return aErrParam;
    RawMatch m{match, *length};
    aPacketRef reply = aLink_AwaitFirst(m_impl->linkId, sRawFilter, &m, kAnswerMs);
    if (!reply)
        return aErrTimeout;
    *length = reply->dataSize;
    std::memcpy(data, reply->data, reply->dataSize);
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::enablePacketLog(const char* path) {
    if (!m_impl || !m_impl->linkId)
        return aErrConfiguration;
    aErr err = aLink_PacketDebug_Enable(m_impl->linkId);
    if (err != aErrNone)
        return err;
    if (!m_impl->logger) {
        m_impl->logger = aLogger_Create(m_impl->linkId, sPacketLogReader, path);
        if (!m_impl->logger)
            return aErrResource;
    }
    err = aLogger_Enable(m_impl->logger);
    if (err == aErrNone) {
        static const char start[] = "START";
        aLink_PacketDebug_Write(m_impl->linkId, kLogKindText, sizeof start,
                                reinterpret_cast<const uint8_t*>(start));
    }
    return err;
}

aErr Link::disablePacketLog() {
    if (!m_impl || !m_impl->linkId)
        return aErrConfiguration;
    aLink_PacketDebug_Disable(m_impl->linkId);
    return aLogger_Disable(m_impl->logger);
}

aErr Link::enablePooledPackets(bool enable) {
    if (!m_impl || !m_impl->linkId)
        return aErrConnection;
    return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

aErr Link::sendUEI(const uei& record) {
    if (!m_impl)
        return aErrConnection;
    return m_impl->putUEI(record, nullptr);
}

aErr Link::sendUEI(const uei& record, uint8_t subindex) {
    if (!m_impl)
        return aErrConnection;
    if (record.type == aUEI_TYPE_BYTES)
        return aErrParam;
    return m_impl->putUEI(record, &subindex);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record) {
    return receiveUEI(module, command, option, index, record, aUEI_MatchAnswer);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                      aPacketFilterProc filter) {
    if (!isConnected())
        return aErrConnection;
    if (module == 0 || (module & 1))
        return aErrPacket;
    if (!record || !filter)
        return aErrParam;
    record->module = module;
    record->command = command;
    record->option = option;
    record->specifier = index;
    uint32_t wait = record->type == aUEI_TYPE_BYTES && record->length > aUEI_LONG_BYTES
                        ? aUEI_LONG_ANSWER_MS
                        : aUEI_ANSWER_MS;
    aPacketRef answer = aLink_AwaitFirst(m_impl->linkId, filter, record, wait);
    if (!answer)
        return aErrTimeout;
    aPacket_Destroy(&answer);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    if (!isConnected())
        return aErrConnection;
    if (module == 0 || (module & 1))
        return aErrPacket;
    struct Key {
        uint8_t module, command, option, index;
    } key{module, command, option, static_cast<uint8_t>(index & aUEI_INDEX_MASK)};
    aLink_DrainPackets(
        m_impl->linkId,
        [](const aPacket* p, const void* ref) {
            const Key* k = static_cast<const Key*>(ref);
            return p && p->address == k->module && p->dataSize > 2 && p->data[0] == k->command &&
                   p->data[1] == k->option && (p->data[2] & aUEI_INDEX_MASK) == k->index;
        },
        &key);
    return aErrNone;
}

aErr Link::getStreamValue(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint32_t*) {
    return aErrNotFound;
}

}  // namespace Quillarex
}  // namespace Vexmoran
