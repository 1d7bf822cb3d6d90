// qxdiscover: module discovery from the command line.
//
//   qxdiscover enumerate TYPE [INTERFACE] [--stop-after N]
//       one line per module found, then "count N" (the enumerator's result)
//   qxdiscover find TYPE SERIAL|first [INTERFACE]
//       the module's line (or "none", exit status 1), then a link check: a
//       link made from the specification, the module's address asked with
//       the synchronisation request, and a get of its serial number
//
// TYPE is usb, tcpip or a link type number; INTERFACE an IPv4 address.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "unix/aDiscovery.h"

namespace {

void sPrint(const linkSpec* spec) {
    char ip[INET_ADDRSTRLEN] = "-";
    if (spec->type != USB) {
        in_addr a;
        a.s_addr = spec->t.ip.ip_address;
        inet_ntop(AF_INET, &a, ip, sizeof ip);
    }
    printf("module type=%u serial=%08X module=%u router=%u router_serial=%08X model=%u", spec->type,
           spec->serial_num, spec->module, spec->router, spec->router_serial, spec->model);
    if (spec->type == USB) {
        printf(" usb_serial=%08X\n", spec->t.usb.usb_serial);
    } else {
        printf(" ip=%s port=%u\n", ip, spec->t.ip.ip_port);
    }
}

struct Options {
    int stopAfter = 0;
    int seen = 0;
};

bool sFound(const linkSpec* spec, bool* accepted, void* ref) {
    Options* options = static_cast<Options*>(ref);
    sPrint(spec);
    *accepted = true;
    options->seen++;
    return options->stopAfter == 0 || options->seen < options->stopAfter;
}

bool sParseType(const char* text, linkType* type) {
    if (strcmp(text, "usb") == 0) {
        *type = USB;
    } else if (strcmp(text, "tcpip") == 0) {
        *type = TCPIP;
    } else {
        char* end = nullptr;
        const unsigned long value = strtoul(text, &end, 0);
        if (end == text || *end != '\0') {
            return false;
        }
        *type = static_cast<linkType>(value);
    }
    return true;
}

// The link's answers that the check waits for.
bool sIsAddressReply(const aPacket* packet, const void*) {
    return packet->dataSize == 0;
}

bool sIsSerialReport(const aPacket* packet, const void* reference) {
    const uint8_t address = *static_cast<const uint8_t*>(reference);
    return packet->address == address && packet->dataSize == 7 && packet->data[0] == 3 &&
           (packet->data[1] & 0x3F) == 9;
}

// Puts one packet and waits up to 2 s for the first answer the filter takes.
aPacketRef sAsk(uint32_t link, uint8_t address, const std::vector<uint8_t>& data,
                aPacketFilterProc filter, const void* reference) {
    const uint8_t none = 0;  // a packet without data still needs a data pointer
    aPacketRef request =
        aPacket_CreateWithData(address, data.size(), data.empty() ? &none : data.data());
    if (request == nullptr) {
        return nullptr;
    }
    const aErr e = aLink_PutPacket(link, request);
    aPacket_Destroy(&request);
    return e == aErrNone ? aLink_AwaitFirst(link, filter, reference, 2000) : nullptr;
}

int sCheckLink(const linkSpec* spec) {
    uint32_t link = 0;
    if (spec->type == USB) {
        link = aLink_CreateUSB(spec->serial_num);
    } else if (spec->type == TCPIP) {
        link = aLink_CreateTCPIP(spec->serial_num, spec->t.ip.ip_address,
                                 static_cast<uint16_t>(spec->t.ip.ip_port));
    }
    if (link == 0) {
        printf("link failed\n");
        return 1;
    }
    int status = 1;
    aPacketRef reply = sAsk(link, 0xAD, {}, sIsAddressReply, nullptr);
    if (reply != nullptr) {
        uint8_t address = reply->address;
        aPacket_Destroy(&reply);
        printf("sync %u\n", address);
        reply = sAsk(link, address, {3, 0x40 | 9, 0x20}, sIsSerialReport, &address);
        if (reply != nullptr) {
            printf("serial %02X%02X%02X%02X\n", reply->data[3], reply->data[4], reply->data[5],
                   reply->data[6]);
            aPacket_Destroy(&reply);
            status = 0;
        }
    }
    if (status != 0) {
        printf("link check failed\n");
    }
    aLink_Destroy(&link);
    return status;
}

int sUsage() {
    fprintf(stderr,
            "usage: qxdiscover enumerate TYPE [INTERFACE] [--stop-after N]\n"
            "       qxdiscover find TYPE SERIAL|first [INTERFACE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> args;
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--stop-after") == 0 && i + 1 < argc) {
            options.stopAfter = atoi(argv[++i]);
        } else {
            args.push_back(argv[i]);
        }
    }
    linkType type;
    if (args.size() < 2 || !sParseType(args[1].c_str(), &type)) {
        return sUsage();
    }
    const size_t interfaceArg = args[0] == "find" ? 3 : 2;
    uint32_t networkInterface = 0;
    if (args.size() > interfaceArg &&
        inet_pton(AF_INET, args[interfaceArg].c_str(), &networkInterface) != 1) {
        return sUsage();
    }
    if (args[0] == "enumerate") {
        const unsigned count =
            aDiscovery_EnumerateModules(type, sFound, &options, networkInterface);
        printf("count %u\n", count);
        return 0;
    }
    if (args[0] == "find" && args.size() >= 3) {
        linkSpec* spec = nullptr;
        if (args[2] == "first") {
            spec = aDiscovery_FindFirstModule(type, networkInterface);
        } else {
            spec = aDiscovery_FindModule(
                type, static_cast<uint32_t>(strtoul(args[2].c_str(), nullptr, 16)),
                networkInterface);
        }
        if (spec == nullptr) {
            printf("none\n");
            return 1;
        }
        sPrint(spec);
        const int status = sCheckLink(spec);
        aLinkSpec_Destroy(&spec);
        return status;
    }
    return sUsage();
}
