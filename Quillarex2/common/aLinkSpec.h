// Link specifications: the transport of a link and everything it needs. The
// 128-byte record is also a discovery wire format: little-endian fields,
// except the IPv4 address, which is kept in network byte order.
#ifndef QUILLAREX_ALINKSPEC_H
#define QUILLAREX_ALINKSPEC_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

typedef enum : uint32_t {
    INVALID = 0,        // no transport; never enumerated
    USB = 1,            // direct USB link
    TCPIP = 2,          // direct TCP socket
    SERIAL = 3,         // COBS-framed serial port; cannot be enumerated
    NIMBUS = 4,         // client link to a shared module
    NIMBUS_USB = 5,     // a server sharing a USB link
    NIMBUS_TCPIP = 6,   // a server sharing a TCP/IP link
    NIMBUS_SERIAL = 7,  // a server sharing a serial link
} linkType;

#define aLINKSPEC_SIZE 128
#define aLINKSPEC_DETAILS_SIZE 104
#define aLINKSPEC_SERIAL_PORT_SIZE 100

typedef struct linkSpec {
    linkType type;
    uint32_t serial_num;
    uint32_t module;         // module address (one byte used)
    uint32_t router;         // address of the routing module (one byte used)
    uint32_t router_serial;  // serial number of the routing module
    uint32_t model;          // model number (one byte used; 0 is "any" in a template)
    union {
        struct {
            uint32_t usb_serial;
        } usb;
        struct {
            uint32_t ip_address;  // network byte order
            uint32_t ip_port;     // low 16 bits used
        } ip;
        struct {
            uint32_t baud_rate;
            char serial_port[aLINKSPEC_SERIAL_PORT_SIZE];  // NUL-terminated
        } serial;
        uint8_t details[aLINKSPEC_DETAILS_SIZE];
    } t;
} linkSpec;

static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "linkSpec is a 128-byte record");
static_assert(offsetof(linkSpec, type) == 0, "linkSpec layout");
static_assert(offsetof(linkSpec, serial_num) == 4, "linkSpec layout");
static_assert(offsetof(linkSpec, module) == 8, "linkSpec layout");
static_assert(offsetof(linkSpec, router) == 12, "linkSpec layout");
static_assert(offsetof(linkSpec, router_serial) == 16, "linkSpec layout");
static_assert(offsetof(linkSpec, model) == 20, "linkSpec layout");
static_assert(offsetof(linkSpec, t) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.usb.usb_serial) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.ip.ip_address) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.ip.ip_port) == 28, "linkSpec layout");
static_assert(offsetof(linkSpec, t.serial.baud_rate) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.serial.serial_port) == 28, "linkSpec layout");

// A new heap specification, zero in every byte but `type`; null when memory
// is exhausted. The caller owns it.
linkSpec* aLinkSpec_Create(linkType type);

// A new heap copy of the 128 bytes of `spec`; null for a null `spec` or when
// memory is exhausted.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);

// Frees *spec and clears the caller's pointer. aErrParam when there is
// nothing to free.
aErr aLinkSpec_Destroy(linkSpec** spec);

#endif
