// A Module is one module on the module bus: its bus address, its model and
// the Link it is reached through. Nothing here throws; every failure is an
// aErr.
#ifndef QUILLAREX_API_MODULE_H
#define QUILLAREX_API_MODULE_H

#include <cstdint>

#include "api/Link.h"
#include "common/aError.h"
#include "common/aLinkSpec.h"

namespace Vexmoran {
namespace Quillarex {

class Module {
  public:
    // Networking mode on: the module's address is learnt after each connect.
    Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // By serial number (0: aErrParam) over the type, with the link's fallback.
    aErr connect(linkType type, uint32_t serialNumber);
    // aErrInitialization without a link, aErrBusy when connected.
    aErr connectFromSpec(const linkSpec& spec);
    // Serial number 0 finds the first module of this module's model.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // Shares the router module's link (both use one link-engine entry); on
    // success networking mode goes off and the address stays as constructed.
    // aErrNone and no change when already connected.
    aErr connectThroughLinkModule(Module* router);
    // Connects again with the stored specification (after disconnect()).
    aErr reconnect();
    bool isConnected();
    uint32_t getStatus();
    aErr disconnect();

    uint8_t getModuleAddress();
    void setModuleAddress(uint8_t address);
    aErr getLinkSpecifier(linkSpec* spec);
    aErr getConfig(NimbusConfig* config);
    aErr setConfig(const NimbusConfig& config);
    Link* getLink();
    void setNetworkingMode(bool on);
    // With networking mode on, asks the link for the module's address (up
    // to 4 attempts) and keeps a non-zero answer. aErrNotReady when the
    // module never answers, although the link stays up.
    aErr _autoNetwork();

    // Module information, asked of the module at its own address.
    // aErrConnection without a connected link; errors of the raw packet
    // operations as they are.
    // Echo of 0x17 and the data (at most 27 bytes); aErrIO unless echoed.
    aErr debug(const uint8_t* data, uint8_t length);
    // The firmware build number; aErrSize for a malformed answer.
    aErr getBuild(uint32_t* build);
    // Whether the module has the entity option: the module's answer byte is
    // the result; aErrUnknown for a malformed answer. flags may hold bit 6
    // or bit 7, not both (aErrParam).
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);

    // aErrConfiguration without a link.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

  private:
    aErr askInfo(const uint8_t* request, uint8_t requestLength, const uint8_t* match,
                 uint8_t matchLength, uint8_t* reply, uint8_t* replyLength);
    aErr askEchoedByte(const uint8_t* request, uint8_t length, uint8_t* value);

    Link* m_link;
    uint8_t m_address;
    bool m_networkingMode;
    uint8_t m_model;
};

}  // namespace Quillarex
}  // namespace Vexmoran

#endif
