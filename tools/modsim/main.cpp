// modsim: simulated modules, routers and boot loaders for testing the updater
// without hardware.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <poll.h>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "modsim/config.h"
#include "modsim/simulator.h"

namespace {

const char kHelp[] = R"(Usage: modsim [OPTIONS]

Simulates instrument modules, routers with modules on their I2C network, and
their boot loaders, reachable over TCP, a pseudo-terminal (COBS-framed serial),
a Unix-domain byte pipe or standard input/output.

Options:
  --config FILE           read modules and settings from a JSON file (see README)
  --module SPEC           add a directly reachable module; SPEC is KEY=VALUE,...
  --sub SPEC              add a sub-module to the last --module (making it a router)
  --fault FAULT           add a fault to the last --module or --sub
  --listen ADDR           IPv4 address of the TCP listeners (default 127.0.0.1)
  --discovery-if ADDR     answer TCP/IP discovery (group 232.2.2.2) on this one
                          interface address; off by default
  --discovery-port N      UDP port of discovery requests (default 9888)
  --discovery-reply-port N  UDP port replies go to (default 9889)
  --state FILE            write the state file at exit and on SIGUSR1
  --flash-dir DIR         where flash images go (default: beside the state file)
  --help                  show this text

Module keys (--module and --sub):
  serial=HEX              serial number, hexadecimal (default 00000001)
  model=N                 model number (default 17)
  address=N               module bus address, even (default 2)
  version=X.Y.Z|N         firmware version, or the packed value (default 2.15.0)
  build=N                 build number (default 1)
  name=TEXT               name (default "Module SERIAL")
  features=N              protocol features; bit 31: pooled packets (default 0x80000000)
  uei-data=0|1            boot loader takes byte arrays on option 10 (default 1)
  without-options=A/B/..  system entity options answered as unknown
  recovery=0|1            a recovery loader: answers option 39, subindexes 0-3
  ids=W0/W1/W2/W3         its identifier words (hexadecimal)
  load-base=N             load base reported by INIT (default 0)
  block-size=N            block size reported by PREPARE (default 1024)
  flash-base=N            first flash address (default 0)
  flash-size=N            flash size in bytes (default 0x100000)
  load-drop=MS            LOAD drops the link; the module is back after MS and
                          answers LOAD on the new link (default: answer at once)
  load-reply-quiet=MS     that late answer follows the last synchronisation
                          request of the new link by MS (default 300)
  reboot-ms=MS            REBOOT and reset: back after MS (default 300)
  heartbeat=MS            send a heartbeat every MS and check the replies (default off)
  heartbeat-down=0|1      heartbeats say "down" (1) instead of "up" (0)
  stream-period=MS        interval of stream samples (default 100)
  stores=N slots=N slot-capacity=N   store slots (default 2, 8, 1024)
  factory=KIND:HEX/...    factory data by kind
  transport=tcp|pty|unix|stdio|none  (--module only; default tcp)
  port=N                  TCP port (default 0: an ephemeral port)
  path=PATH               Unix socket path (transport=unix)
  i2c=N                   I2C address of a sub-module (--sub only; default: its address)

Faults (--fault KIND[:ARG][@N]; @N fires on the Nth occurrence only, default
@1; @* on every occurrence). PHASE is init, data, load, prepare, sum, write,
reboot, uei-data or any:
  drop-after:N            drop the link after N packets received
  drop-in:PHASE           drop the link instead of answering that request
  ignore:PHASE            leave that request unanswered
  corrupt[:OFFSET]        flip all bits of one byte of an outgoing packet as it
                          goes on the line (OFFSET counts its bytes there, frame
                          bytes on a serial link; default: the last byte, or the
                          last before a frame's delimiter)
  delay:MS                hold every answer back for MS
  bad-data-count          a DATA reply reports one byte less; its bytes are dropped
  bad-sum                 a SUM reply reports the sum plus one
  prepare-status:S        a PREPARE reply carries status S
  write-status:S          a WRITE reply carries status S; nothing is written
  block-size-0            PREPARE reports a block size of 0
  busy                    refuse further connections while one is open
  no-return               never come back after REBOOT

On start, modsim prints one line per directly reachable module
("module SERIAL tcp ADDR PORT", "module SERIAL pty PATH", "module SERIAL unix
PATH", "module SERIAL stdio"), one per sub-module ("submodule SERIAL i2c N"),
then "ready" (to standard error when a module uses standard input/output).
SIGINT and SIGTERM end it (writing the state file); SIGUSR1 writes the state
file.
)";

uint16_t portNumber(const std::string& option, const std::string& text) {
    std::size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || text[0] == '-' || value > 0xFFFF)
        throw std::invalid_argument("bad port '" + text + "' for " + option);
    return static_cast<uint16_t>(value);
}

void usageError(const std::string& message) {
    std::cerr << "modsim: " << message << "\n(see modsim --help)\n";
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    modsim::SimConfig config;
    bool haveConfigFile = false;
    modsim::ModuleConfig* last = nullptr;
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= args.size())
                    usageError(a + " needs a value");
                return args[++i];
            };
            if (a == "--help" || a == "-h") {
                std::cout << kHelp;
                return 0;
            } else if (a == "--config") {
                std::string path = value();
                modsim::SimConfig file = modsim::loadConfigFile(path);
                if (haveConfigFile)
                    usageError("only one --config");
                haveConfigFile = true;
                for (auto& m : file.modules)
                    config.modules.push_back(m);
                if (!file.stateFile.empty())
                    config.stateFile = file.stateFile;
                if (!file.flashDir.empty())
                    config.flashDir = file.flashDir;
                if (!file.discoveryIf.empty())
                    config.discoveryIf = file.discoveryIf;
                if (file.listen != "127.0.0.1")
                    config.listen = file.listen;
                last = nullptr;
            } else if (a == "--module") {
                config.modules.push_back(modsim::parseModuleSpec(value(), false));
                last = &config.modules.back();
            } else if (a == "--sub") {
                if (config.modules.empty())
                    usageError("--sub needs a --module before it");
                auto& router = config.modules.back();
                router.subModules.push_back(modsim::parseModuleSpec(value(), true));
                last = &router.subModules.back();
            } else if (a == "--fault") {
                if (!last)
                    usageError("--fault needs a --module or --sub before it");
                last->faults.push_back(modsim::parseFault(value()));
            } else if (a == "--listen") {
                config.listen = value();
            } else if (a == "--discovery-if") {
                config.discoveryIf = value();
            } else if (a == "--discovery-port") {
                config.discoveryPort = portNumber(a, value());
            } else if (a == "--discovery-reply-port") {
                config.discoveryReplyPort = portNumber(a, value());
            } else if (a == "--state") {
                config.stateFile = value();
            } else if (a == "--flash-dir") {
                config.flashDir = value();
            } else {
                usageError("unknown option " + a);
            }
        }
    } catch (const std::exception& e) {
        usageError(e.what());
    }

    bool stdio = false;
    for (const auto& m : config.modules)
        stdio |= m.transport == modsim::TransportKind::Stdio;
    std::ostream& announce = stdio ? std::cerr : std::cout;

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGHUP})
        sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sigfd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

    modsim::Simulator sim(config);
    try {
        sim.open();
    } catch (const std::exception& e) {
        std::cerr << "modsim: " << e.what() << "\n";
        return 1;
    }
    sim.loop().addFd(sigfd, POLLIN, [&](short) {
        signalfd_siginfo info;
        while (read(sigfd, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo == SIGUSR1) {
                try {
                    sim.writeState();
                } catch (const std::exception& e) {
                    std::cerr << "modsim: " << e.what() << "\n";
                }
            } else {
                sim.stop();
            }
        }
    });
    for (const std::string& line : sim.describe())
        announce << line << "\n";
    announce << "ready" << std::endl;
    sim.run();
    try {
        sim.writeState();
    } catch (const std::exception& e) {
        std::cerr << "modsim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
