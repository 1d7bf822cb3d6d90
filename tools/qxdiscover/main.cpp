// qxdiscover: module discovery from the command line.
//
//   qxdiscover enumerate TYPE [INTERFACE] [--stop-after N]
//       one line per module found, then "count N" (the enumerator's result)
//   qxdiscover find TYPE SERIAL|first [INTERFACE]
//       the module's line (or "none", exit status 1), then a link check:
//       six synchronisation requests and a get of the serial number over a
//       stream opened from the specification
//
// TYPE is usb, tcpip or a link type number; INTERFACE an IPv4 address.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/aStream.h"
#include "unix/aDiscovery.h"
#include "unix/aStreamSocket.h"
#include "unix/aStreamUSB.h"
#include "unix/aTime.h"

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

// Reads one packet (address, length, data) within a few seconds.
bool sReceive(aStreamRef stream, std::vector<uint8_t>& packet) {
    uint8_t head[2];
    const uint64_t end = aTime_GetMSTicks() + 3000;
    aErr e;
    while ((e = aStream_Read(stream, head, 2)) == aErrNotReady && aTime_GetMSTicks() < end) {
    }
    if (e != aErrNone) {
        return false;
    }
    packet.assign(head, head + 2);
    std::vector<uint8_t> body(head[1]);
    if (head[1] > 0) {
        while ((e = aStream_Read(stream, body.data(), body.size())) == aErrNotReady &&
               aTime_GetMSTicks() < end) {
        }
        if (e != aErrNone) {
            return false;
        }
    }
    packet.insert(packet.end(), body.begin(), body.end());
    return true;
}

int sCheckLink(const linkSpec* spec) {
    aStreamRef stream = nullptr;
    aErr e = aErrParam;
    if (spec->type == USB) {
        e = aStream_CreateUSB(spec->serial_num, &stream);
    } else if (spec->type == TCPIP) {
        e = aStream_CreateSocket(spec->t.ip.ip_address, static_cast<uint16_t>(spec->t.ip.ip_port),
                                 &stream);
    }
    if (e != aErrNone) {
        printf("link error %u\n", e);
        return 1;
    }
    int status = 0;
    uint8_t address = 0;
    for (int i = 0; i < 6 && status == 0; ++i) {
        const uint8_t sync[] = {0xAD, 0x00};
        std::vector<uint8_t> answer;
        if (aStream_Write(stream, sync, sizeof sync) != aErrNone || !sReceive(stream, answer) ||
            answer.size() != 2) {
            status = 1;
        } else {
            address = answer[0];
        }
    }
    if (status == 0) {
        printf("sync %u\n", address);
        const uint8_t get[] = {address, 3, 3, 0x40 | 9, 0x20};
        std::vector<uint8_t> answer;
        if (aStream_Write(stream, get, sizeof get) == aErrNone && sReceive(stream, answer) &&
            answer.size() == 9 && answer[2] == 3 && answer[3] == 9 && answer[4] == 0) {
            printf("serial %02X%02X%02X%02X\n", answer[5], answer[6], answer[7], answer[8]);
        } else {
            status = 1;
        }
    }
    if (status != 0) {
        printf("link check failed\n");
    }
    aStream_Destroy(&stream);
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
