// A Link is one connection from this host to a module: the specification it
// is made from, its network-sharing settings and the link-engine entry that
// carries its packets. Nothing here throws; every failure is an aErr.
#ifndef QUILLAREX_API_LINK_H
#define QUILLAREX_API_LINK_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "api/aUEI.h"
#include "common/aError.h"
#include "common/aLinkSpec.h"
#include "common/aPacketFifo.h"

namespace Vexmoran {
namespace Quillarex {

// Network-sharing settings of a link.
struct NimbusConfig {
    bool enabled = true;    // share a direct link; allow links to shared modules
    bool fallback = true;   // after a failed discover-and-connect, try the other kind once
    bool localOnly = true;  // a sharing server serves this host only
    uint16_t port = 0;      // the sharing server's port, filled in when sharing
    uint32_t networkInterface = htonl(INADDR_LOOPBACK);  // IPv4, network byte order
};

// True for the network-shared link types (NIMBUS to NIMBUS_SERIAL).
bool isNIMBUS(linkType type);

class Link {
  public:
    // The name is copied (at most 1024 characters).
    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    // Disconnects and frees everything the link holds.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Finds a module of the type (by serial number, or with serial number 0
    // the first one of the model, any model for 0), stores its
    // specification and connects. With fallback on, a discovery or connection
    // failure is retried once over the other kind of transport.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // Creates the link from the stored specification and waits for it to
    // run. aErrConnection when already connected or the link cannot be made;
    // aErrConfiguration without a specification (or a shared type with
    // sharing off); aErrMode for an unknown type; aErrBusy/aErrDuplicate for
    // a link in a state it cannot leave.
    aErr connect();
    // Shares other's link-engine entry (one more use of it), creating the
    // link from this link's stored specification. aErrInitialization when
    // other has no entry.
    aErr connectThroughLinkModule(Link* other);
    // Connected: an entry exists and the engine reports it running.
    bool isConnected();
    // The engine's status of the entry; 8 without one.
    uint32_t getStatus();
    // How often the entry's stream has failed (see aLink_GetStreamFailures);
    // 0 without an entry.
    uint32_t getStreamFailures();
    // Lets go of the entry (the last user ends it); always aErrNone.
    aErr disconnect();
    // Asks the engine to rebuild the entry's stream; always aErrNone.
    aErr reset();

    // Asks the module for its bus address (1000 ms). aErrNotReady when not
    // connected or without an answer; *address is 0 then.
    aErr getModuleAddress(uint8_t* address);

    aErr getConfig(NimbusConfig* config);
    // aErrMode while connected.
    aErr setConfig(const NimbusConfig& config);
    // aErrNotFound when none is stored; aErrParam for null.
    aErr getLinkSpecifier(linkSpec* spec);
    // aErrBusy while connected.
    aErr setLinkSpecifier(const linkSpec& spec);
    const char* getName();

    // Raw packets. sendPacket queues command and length data bytes for
    // address: aErrConnection (not connected), aErrParam (length above 27),
    // aErrPacket (address 0 or odd). receivePacket waits 1000 ms for the
    // first packet whose first *length data bytes equal match and copies its
    // data (*length becomes its length; data needs room for 28 bytes):
    // aErrConnection, aErrPacket, aErrTimeout.
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* data);

    // Records the link's packets into a text file at path, one line each.
    // aErrConfiguration when not connected.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();
    aErr enablePooledPackets(bool enable);

    // UEI messages. Not connected: aErrConnection; a module address that is
    // 0 or odd: aErrPacket; a record that cannot be sent: aErrParam.
    aErr sendUEI(const uei& record);
    aErr sendUEI(const uei& record, uint8_t subindex);
    // Waits (1000 ms, 4000 ms for byte arrays over 1000 bytes) for the first
    // received message for module, command, option byte and index (bits 0-4)
    // that the filter accepts (default aUEI_MatchAnswer) and fills *record
    // from it. Others stay queued. aErrTimeout without one.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                    aPacketFilterProc filter);
    // Removes every queued message for module, command, option byte and index.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // The latest streamed value of an entity option. Streams are not
    // subscribed by this layer yet, so this answers aErrNotFound.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uint32_t* value);

    struct impl;

  private:
    impl* m_impl;
};

}  // namespace Quillarex
}  // namespace Vexmoran

#endif
