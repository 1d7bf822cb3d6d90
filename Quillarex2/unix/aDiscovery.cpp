#include "unix/aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "unix/qxusb.h"

namespace {

const uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host order

// Reads an eight-character hexadecimal serial-number string.
bool sParseSerial(const unsigned char* text, int length, uint32_t* serial) {
    if (length != 8) {
        return false;
    }
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        const unsigned char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        value = value << 4 | digit;
    }
    *serial = value;
    return true;
}

uint8_t sEnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref) {
    libusb_context* context = Quillarex_libusb_context();
    if (context == nullptr) {
        return 0;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return 0;
    }
    uint8_t accepted = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; ++i) {
        libusb_device* device = list[i];
        if (!is_quillarex_device(device)) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != LIBUSB_SUCCESS) {
            continue;
        }
        libusb_device_descriptor descriptor;
        unsigned char text[32] = {0};
        uint32_t serial = 0;
        const int length = qxusb_read_serial_string(device, handle, &descriptor, text, sizeof text);
        libusb_close(handle);
        if (!sParseSerial(text, length, &serial)) {
            continue;
        }
        linkSpec* spec = aLinkSpec_Create(USB);
        if (spec == nullptr) {
            continue;
        }
        spec->serial_num = serial;
        spec->t.usb.usb_serial = serial;
        spec->model = descriptor.idProduct & 0xFF;
        bool taken = false;
        goOn = callback(spec, &taken, ref);
        if (taken) {
            accepted++;
        }
        aLinkSpec_Destroy(&spec);
    }
    libusb_free_device_list(list, 1);
    return accepted;
}

// Sends the discovery request through the interface with this address (host
// order; 0: no particular interface).
bool sSendRequest(uint32_t interfaceAddress) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool ok = true;
    if (interfaceAddress != 0) {
        in_addr out;
        out.s_addr = htonl(interfaceAddress);
        ok = setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) == 0;
    }
    uint8_t request[aDISCOVERY_DATAGRAM_SIZE] = {1};
    sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
    ok = ok && sendto(s, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group),
                      sizeof group) == static_cast<ssize_t>(sizeof request);
    close(s);
    return ok;
}

bool sSendRequests(uint32_t searchInterface) {
    if (searchInterface != 0) {
        return sSendRequest(searchInterface);
    }
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return sSendRequest(0);
    }
    bool sent = false;
    for (ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const uint32_t address =
            ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if (address == 0 || address == kLoopback) {
            continue;
        }
        if (sSendRequest(address)) {
            sent = true;
        }
    }
    freeifaddrs(interfaces);
    return sent;
}

uint8_t sEnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref, uint32_t networkInterface) {
    uint32_t searchInterface = ntohl(networkInterface);
    if (searchInterface == kLoopback) {
        searchInterface = 0;
    }
    const int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return 0;
    }
    const int one = 1;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REPLY_PORT);
    local.sin_addr.s_addr = htonl(searchInterface);
    timeval timeout = {aDISCOVERY_REPLY_TIMEOUT_MS / 1000,
                       (aDISCOVERY_REPLY_TIMEOUT_MS % 1000) * 1000};
    if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        close(listener);
        return 0;
    }
    uint8_t accepted = 0;
    if (sSendRequests(searchInterface)) {
        bool goOn = true;
        while (goOn) {
            uint8_t reply[aDISCOVERY_DATAGRAM_SIZE] = {0};
            reply[12] = 255;
            sockaddr_in sender = {};
            socklen_t senderLength = sizeof sender;
            const ssize_t n = recvfrom(listener, reply, sizeof reply, 0,
                                       reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (n < 0) {
                break;
            }
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (spec == nullptr) {
                break;
            }
            _aDiscovery_ReplyToSpec(reply, sender.sin_addr.s_addr, spec);
            bool taken = false;
            goOn = callback(spec, &taken, ref);
            if (taken) {
                accepted++;
            }
            aLinkSpec_Destroy(&spec);
        }
    }
    close(listener);
    return accepted;
}

struct Search {
    linkSpec* found;
    bool anySerial;  // first module with a serial number other than 0
};

bool sTakeMatching(const linkSpec* spec, bool* accepted, void* ref) {
    Search* search = static_cast<Search*>(ref);
    const bool match =
        search->anySerial ? spec->serial_num != 0 : spec->serial_num == search->found->serial_num;
    if (!match) {
        return true;
    }
    memcpy(search->found, spec, sizeof(linkSpec));
    *accepted = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool anySerial, uint32_t networkInterface) {
    linkSpec* found = aLinkSpec_Create(type);
    if (found == nullptr) {
        return nullptr;
    }
    found->serial_num = serialNumber;
    Search search = {found, anySerial};
    if (aDiscovery_EnumerateModules(type, sTakeMatching, &search, networkInterface) == 0) {
        aLinkSpec_Destroy(&found);
    }
    return found;
}

}  // namespace

void _aDiscovery_ReplyToSpec(const uint8_t reply[aDISCOVERY_DATAGRAM_SIZE], uint32_t senderAddress,
                             linkSpec* spec) {
    memset(spec, 0, sizeof(linkSpec));
    spec->type = TCPIP;
    spec->module = reply[1];
    spec->router = reply[1];
    spec->t.ip.ip_port = static_cast<uint32_t>(reply[2] | reply[3] << 8);
    const uint32_t serial = static_cast<uint32_t>(reply[4]) | static_cast<uint32_t>(reply[5]) << 8 |
                            static_cast<uint32_t>(reply[6]) << 16 |
                            static_cast<uint32_t>(reply[7]) << 24;
    spec->serial_num = serial;
    spec->router_serial = serial;
    spec->model = reply[12];
    spec->t.ip.ip_address = senderAddress;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface) {
    if (callback == nullptr) {
        return 0;
    }
    switch (type) {
        case USB:
            return sEnumerateUSB(callback, ref);
        case TCPIP:
            return sEnumerateTCPIP(callback, ref, networkInterface);
        case NIMBUS:
        case NIMBUS_USB:
        case NIMBUS_TCPIP:
        case NIMBUS_SERIAL:
            return aDiscovery_Enumerate_NimbusModules(callback, ref, networkInterface);
        default:
            return 0;
    }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, true, networkInterface);
}

bool _isNewSpec(const linkSpec* list, size_t count, const linkSpec* spec) {
    if (list == nullptr || spec == nullptr) {
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        const linkSpec& known = list[i];
        if (known.serial_num == spec->serial_num &&
            known.t.ip.ip_address == spec->t.ip.ip_address &&
            known.t.ip.ip_port == spec->t.ip.ip_port && known.type == spec->type) {
            return false;
        }
    }
    return true;
}
