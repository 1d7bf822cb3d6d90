// Module discovery: finds the modules reachable over one transport and hands
// each one, as a link specification, to a callback. USB modules are read from
// the USB bus; modules with their own Ethernet interface answer a UDP
// multicast request; modules shared by a network server are found by network
// discovery.
#ifndef QUILLAREX_ADISCOVERY_H
#define QUILLAREX_ADISCOVERY_H

#include <cstddef>
#include <cstdint>

#include "common/aLinkSpec.h"

// Direct TCP/IP discovery: the request goes to this group and port, the
// answers come back to the requester's reply port.
#define aDISCOVERY_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_DATAGRAM_SIZE 16
// How long the search waits for a further answer, in milliseconds.
#define aDISCOVERY_REPLY_TIMEOUT_MS 2000

// Called once per module found, on the enumerating thread. `spec` is valid
// only during the call (copy its 128 bytes to keep it). Setting *accepted
// counts the module in the enumeration's result; returning false ends the
// enumeration.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* accepted, void* ref);

// Enumerates the modules of one link type and returns how many the callback
// accepted. USB: modules attached to this host. TCPIP: modules that answer the
// multicast request within the reply time-out; networkInterface (IPv4 address
// in network byte order) names the interface to search through, 0 or
// 127.0.0.1 means every non-loopback interface. NIMBUS types: network
// discovery. Other types, and any failure, give 0 without calling back.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface);

// The first module of the type with that serial number, as a heap
// specification the caller destroys with aLinkSpec_Destroy; null when none.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The first module of the type with a serial number other than 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Network discovery of modules shared by network servers (types 4 to 7).
uint8_t aDiscovery_Enumerate_NimbusModules(aDiscoveryModuleFoundProc callback, void* ref,
                                           uint32_t networkInterface);

// Whether `spec` is new to the `count` specifications of `list`: false when
// one of them has the same type, serial number, IP address and port.
bool _isNewSpec(const linkSpec* list, size_t count, const linkSpec* spec);

// Decodes one TCP/IP discovery answer (the 16-byte receive buffer, whose
// bytes beyond what arrived are as prepared before receiving) from the sender
// address (network byte order) into *spec.
void _aDiscovery_ReplyToSpec(const uint8_t reply[aDISCOVERY_DATAGRAM_SIZE], uint32_t senderAddress,
                             linkSpec* spec);

#endif
