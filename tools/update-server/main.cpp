// update-server: the reference update server. See README.md beside this file.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "update-server/catalogue.h"
#include "update-server/faults.h"
#include "update-server/server.h"

namespace {

const char kUsage[] =
    "Usage: update-server --catalogue DIR [options]\n"
    "\n"
    "Serves the builds of a catalogue directory to updaters over HTTP and HTTPS.\n"
    "\n"
    "Catalogue:\n"
    "  --catalogue DIR      DIR/modules.txt lists the modules, DIR/builds/*.bird\n"
    "                       holds their builds (see README.md)\n"
    "\n"
    "Listening:\n"
    "  --bind ADDRESS       address to listen on (default 127.0.0.1)\n"
    "  --http-port N        serve plain HTTP on port N; 0 picks a free port\n"
    "                       (the default when no port option is given)\n"
    "  --https-port N       serve HTTPS on port N; 0 picks a free port\n"
    "  --cert FILE          server certificate chain (PEM), for HTTPS\n"
    "  --key FILE           private key of the certificate (PEM), for HTTPS\n"
    "  --port-file FILE     also write the listening lines into FILE\n"
    "  --path PATH          answer only on this path (for example /cgi/u);\n"
    "                       by default every path answers\n"
    "\n"
    "  Once listening, one line per listener goes to standard output:\n"
    "    listening http 127.0.0.1:40123\n"
    "    listening https 127.0.0.1:40124\n"
    "\n"
    "Answers:\n"
    "  --jwt-key TEXT       key that signs feature tokens (HMAC-SHA256); without\n"
    "                       it token requests are refused\n"
    "  --request-log FILE   append each request target (path and query, exactly\n"
    "                       as received) to FILE, one line per request\n"
    "\n"
    "Faults (for testing clients; may be combined):\n"
    "  --fault status=N     answer with HTTP status N (200-599), body unchanged\n"
    "  --fault no-ok        first line reads \"OK\" instead of \"ok\"\n"
    "  --fault slow=MS      wait MS milliseconds before answering\n"
    "  --fault slow=forever never answer; wait until the client gives up\n"
    "  --fault truncate     announce the whole body, send half, close\n"
    "  --fault redirect     answer 302 to the same target under /moved\n"
    "  --fault bad-base64   bird answers carry Base64 that does not decode\n"
    "  --fault-op OP        only OP answers misbehave (repeatable; OP is hi, qu,\n"
    "                       bird, builds, fix or ent_jwt)\n"
    "\n"
    "  -h, --help           show this text\n"
    "\n"
    "Stops cleanly on SIGTERM or SIGINT. Exit status: 0 after a clean stop, 1 when\n"
    "the catalogue or a listener cannot be set up, 2 for a wrong command line.\n";

[[noreturn]] void UsageError(const std::string& message) {
    std::fprintf(stderr, "update-server: %s\nTry 'update-server --help'.\n", message.c_str());
    std::exit(2);
}

int ParsePort(const char* option, const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) > 65535) {
        UsageError(std::string(option) + " takes a port number from 0 to 65535");
    }
    return std::stoi(text);
}

}  // namespace

int main(int argc, char** argv) {
    enum {
        kCatalogue = 1000,
        kBind,
        kHttpPort,
        kHttpsPort,
        kCert,
        kKey,
        kPortFile,
        kPath,
        kJwtKey,
        kRequestLog,
        kFault,
        kFaultOp,
    };
    static const option kOptions[] = {
        {"catalogue", required_argument, nullptr, kCatalogue},
        {"bind", required_argument, nullptr, kBind},
        {"http-port", required_argument, nullptr, kHttpPort},
        {"https-port", required_argument, nullptr, kHttpsPort},
        {"cert", required_argument, nullptr, kCert},
        {"key", required_argument, nullptr, kKey},
        {"port-file", required_argument, nullptr, kPortFile},
        {"path", required_argument, nullptr, kPath},
        {"jwt-key", required_argument, nullptr, kJwtKey},
        {"request-log", required_argument, nullptr, kRequestLog},
        {"fault", required_argument, nullptr, kFault},
        {"fault-op", required_argument, nullptr, kFaultOp},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    update_server::ServerOptions options;
    std::string catalogueDir;
    std::string portFile;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        const std::string arg = optarg != nullptr ? optarg : "";
        std::string error;
        switch (c) {
            case kCatalogue:
                catalogueDir = arg;
                break;
            case kBind:
                options.bind = arg;
                break;
            case kHttpPort:
                options.httpPort = ParsePort("--http-port", arg);
                break;
            case kHttpsPort:
                options.httpsPort = ParsePort("--https-port", arg);
                break;
            case kCert:
                options.certFile = arg;
                break;
            case kKey:
                options.keyFile = arg;
                break;
            case kPortFile:
                portFile = arg;
                break;
            case kPath:
                if (arg.empty() || arg[0] != '/') {
                    UsageError("--path takes a path that starts with /");
                }
                options.path = arg;
                break;
            case kJwtKey:
                if (arg.empty()) {
                    UsageError("--jwt-key takes a non-empty key");
                }
                options.tokenKey = arg;
                break;
            case kRequestLog:
                options.requestLog = arg;
                break;
            case kFault:
                error = update_server::AddFault(options.faults, arg);
                break;
            case kFaultOp:
                error = update_server::AddFaultOp(options.faults, arg);
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case ':':
                UsageError(std::string(argv[optind - 1]) + " needs a value");
            default:
                UsageError(std::string("unknown option ") + argv[optind - 1]);
        }
        if (!error.empty()) {
            UsageError(error);
        }
    }
    if (optind < argc) {
        UsageError(std::string("unexpected argument ") + argv[optind]);
    }
    if (catalogueDir.empty()) {
        UsageError("--catalogue DIR is required");
    }
    if (options.httpPort < 0 && options.httpsPort < 0) {
        options.httpPort = 0;
    }
    if (options.httpsPort >= 0 && (options.certFile.empty() || options.keyFile.empty())) {
        UsageError("--https-port needs --cert and --key");
    }

    // Signals are taken by sigwait below; every thread started from here on
    // inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        const update_server::Catalogue catalogue = update_server::Catalogue::Load(catalogueDir);
        for (const std::string& warning : catalogue.warnings()) {
            std::fprintf(stderr, "update-server: %s\n", warning.c_str());
        }
        std::fprintf(stderr, "update-server: %zu modules, %zu builds\n", catalogue.moduleCount(),
                     catalogue.buildCount());

        update_server::Server server(catalogue, options);
        std::string lines;
        for (const update_server::Listener& listener : server.Start()) {
            const bool v6 = listener.address.find(':') != std::string::npos;
            lines += "listening " + listener.scheme + " " + (v6 ? "[" : "") + listener.address +
                     (v6 ? "]" : "") + ":" + std::to_string(listener.port) + "\n";
        }
        if (!portFile.empty()) {
            const std::string temporary = portFile + ".tmp";
            std::ofstream out(temporary, std::ios::trunc);
            out << lines;
            out.close();
            if (!out || std::rename(temporary.c_str(), portFile.c_str()) != 0) {
                throw std::runtime_error("cannot write " + portFile);
            }
        }
        std::fputs(lines.c_str(), stdout);
        std::fflush(stdout);

        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
        std::fprintf(stderr, "update-server: stopping on signal %d\n", signal);
        server.Stop();
    } catch (const update_server::CatalogueError& e) {
        std::fprintf(stderr, "update-server: catalogue: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "update-server: %s\n", e.what());
        return 1;
    }
    return 0;
}
