// qxinfo usb|tcpip SERIAL [INTERFACE] [--sub ADDRESS]
//
// Connects to the module with that serial number (hexadecimal) over USB or
// TCP/IP, searching TCP/IP through INTERFACE (an IPv4 address; default: every
// interface), and prints its serial number, model, firmware version, build
// and name. With --sub, the module at that bus address behind the module
// found (a router) is asked instead, over the router's link.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aVersion.h"

using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::NimbusConfig;
using Vexmoran::Quillarex::SystemClass;

namespace {

int usage() {
    std::fprintf(stderr, "usage: qxinfo usb|tcpip SERIAL [INTERFACE] [--sub ADDRESS]\n");
    return 2;
}

int fail(const char* what, aErr err) {
    std::fprintf(stderr, "qxinfo: %s: %s\n", what, aError_GetErrorText(err));
    return 1;
}

int show(Module& module) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, version = 0, build = 0;
    uint8_t model = 0;
    uint8_t name[256];
    size_t length = 0;
    aErr err;
    if ((err = system.getSerialNumber(&serial)) != aErrNone)
        return fail("serial number", err);
    if ((err = system.getModel(&model)) != aErrNone)
        return fail("model", err);
    if ((err = system.getVersion(&version)) != aErrNone)
        return fail("version", err);
    if ((err = module.getBuild(&build)) != aErrNone)
        return fail("build", err);
    if ((err = system.getName(name, sizeof name, &length)) != aErrNone)
        return fail("name", err);
    char versionText[64];
    aVersion_ParseString(version, versionText, sizeof versionText);
    std::printf("address %u\n", module.getModuleAddress());
    std::printf("serial %08X\n", serial);
    std::printf("model %u\n", model);
    std::printf("version %s\n", versionText);
    std::printf("build %u\n", build);
    std::printf("name %s\n", std::string(reinterpret_cast<char*>(name), length).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    linkType type;
    if (std::strcmp(argv[1], "usb") == 0)
        type = USB;
    else if (std::strcmp(argv[1], "tcpip") == 0)
        type = TCPIP;
    else
        return usage();
    char* end = nullptr;
    const uint32_t serial = static_cast<uint32_t>(std::strtoul(argv[2], &end, 16));
    if (!end || *end)
        return usage();
    NimbusConfig config;
    config.enabled = false;
    config.fallback = false;
    int sub = -1;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sub") == 0 && i + 1 < argc) {
            sub = std::atoi(argv[++i]);
            if (sub <= 0 || sub > 254 || (sub & 1))
                return usage();
        } else if (inet_pton(AF_INET, argv[i], &config.networkInterface) != 1) {
            return usage();
        }
    }

    Module module(0, 0);
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        return fail("Failed to SET network configuration", err);
    if ((err = module.connect(type, serial)) != aErrNone)
        return fail("connect", err);
    if (sub < 0)
        return show(module);
    Module behind(static_cast<uint8_t>(sub), false, 0);
    if ((err = behind.connectThroughLinkModule(&module)) != aErrNone)
        return fail("connect through the router", err);
    return show(behind);
}
