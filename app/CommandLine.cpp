#include "app/CommandLine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/Log.h"

#ifndef QX_UPDATE_SERVER_HOST
#error "QX_UPDATE_SERVER_HOST must be defined by the build"
#endif

namespace {

constexpr const char kHttpUrl[] = "http://" QX_UPDATE_SERVER_HOST "/cgi/u";
constexpr const char kHttpsUrl[] = "https://" QX_UPDATE_SERVER_HOST "/cgi/u";

// Group 0: help. Groups 1 and 2: commands and parameters, handled by the
// option's second character. Group 3: --https. Group 4: --http.
struct OptionEntry {
    int group;
    const char* text;
    bool takesValue;
};

constexpr OptionEntry kOptions[] = {
    {1, "-B", false}, {1, "-L", false},     {1, "-D", false},        {1, "-G", false},
    {1, "-I", false}, {1, "-U", false},     {1, "-OVERRIDE", false}, {1, "-N", false},
    {1, "-Y", false}, {1, "-C", false},     {1, "-J", false},        {0, "-h", false},
    {0, "-H", false}, {2, "-n", false},     {2, "-X", true},         {2, "-Z", true},
    {2, "-m", true},  {2, "-i", true},      {2, "-b", true},         {2, "-d", true},
    {2, "-t", true},  {2, "-f", true},      {2, "-r", true},         {2, "-s", true},
    {2, "-o", true},  {2, "-e", false},     {2, "-l", true},         {2, "-k", true},
    {2, "-u", true},  {0, "--help", false}, {4, "--http", false},    {3, "--https", false},
};
static_assert(sizeof(kOptions) / sizeof(kOptions[0]) == 32, "32 options");

size_t _leading_hyphens(const char* text) {
    size_t count = 0;
    while (text[count] == '-') {
        ++count;
    }
    return count;
}

// The table entry named by `text`: an exact match, or else the one entry that
// `text` abbreviates (same number of hyphens, rest a proper prefix). Null for
// unknown and ambiguous texts.
const OptionEntry* _find_option(const char* text) {
    for (const OptionEntry& entry : kOptions) {
        if (strcmp(entry.text, text) == 0) {
            return &entry;
        }
    }
    const size_t hyphens = _leading_hyphens(text);
    const char* rest = text + hyphens;
    const size_t restLength = strlen(rest);
    const OptionEntry* found = nullptr;
    int matches = 0;
    for (const OptionEntry& entry : kOptions) {
        if (_leading_hyphens(entry.text) != hyphens) {
            continue;
        }
        const char* entryRest = entry.text + hyphens;
        if (restLength < strlen(entryRest) && strncmp(rest, entryRest, restLength) == 0) {
            found = &entry;
            ++matches;
        }
    }
    return matches == 1 ? found : nullptr;
}

bool _only_digits(const char* text, const char* digits) {
    for (const char* c = text; *c != '\0'; ++c) {
        if (strchr(digits, *c) == nullptr) {
            return false;
        }
    }
    return true;
}

uint32_t _get_arg(const char* text, char** end, const char* digits, int base) {
    if (text == nullptr || end == nullptr || !_only_digits(text, digits)) {
        return 0;
    }
    return static_cast<uint32_t>(strtoul(text, end, base));
}

// -d and -r: an optional 0x prefix, then hexadecimal digits, not all zero.
bool _parse_serial(UpdaterDisplayInterface& display, const char* value, uint32_t* serial,
                   const char* prefixLog, const char* errorText) {
    if (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        value += 2;
        Log::log(DEBUG_Updater, "%s", prefixLog);
    }
    char* end = nullptr;
    *serial = _get_hex_arg(value, &end);
    if (*serial == 0) {
        display.message(UpdaterDisplayInterface::Error, errorText, value);
        return false;
    }
    return true;
}

struct ParseState {
    bool failed = false;
    int urlChoices = 0;
    bool help = false;
};

void _handle_option(UpdaterDisplayInterface& display, const OptionEntry& option, const char* value,
                    Parameters* p, ParseState& state) {
    switch (option.group) {
        case 0:
            p->commands.Set(CMD_HELP);
            p->helpRequested = true;
            state.help = true;
            return;
        case 3:
            p->serverUrl = kHttpsUrl;
            ++state.urlChoices;
            return;
        case 4:
            p->serverUrl = kHttpUrl;
            ++state.urlChoices;
            return;
        default:
            break;
    }
    char* end = nullptr;
    switch (option.text[1]) {
        case 'B':
            p->commands.Set(CMD_LIST_BUILDS);
            break;
        case 'L':
            p->commands.Set(CMD_LIST_LOCAL_BUILDS);
            break;
        case 'D':
            p->commands.Set(CMD_DISCOVER);
            break;
        case 'G':
            p->commands.Set(CMD_GET_BUILD);
            break;
        case 'I':
            p->commands.Set(CMD_DEVICE_INFO);
            break;
        case 'U':
            p->commands.Set(CMD_UPDATE);
            break;
        case 'O':
            p->overrideModelCheck = true;
            break;
        case 'N':
            p->commands.Set(CMD_FINGERPRINT);
            break;
        case 'C':
            p->commands.Set(CMD_CHECK_BIRD);
            break;
        case 'J':
            p->commands.Set(CMD_GET_JWT);
            break;
        case 'n':
            p->optionN = true;
            break;
        case 'X': {
            p->logMaskGiven = true;
            const bool hex = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
            p->logMask = static_cast<uint32_t>(strtoul(value, &end, hex ? 16 : 10));
            if (end != nullptr && *end != '\0') {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                                option.text, end);
            } else {
                Log::ActivatePackage(p->logMask);
            }
            break;
        }
        case 'Z':
            p->commands.Set(CMD_Z);
            break;
        case 'm':
            p->useUEIBytes = strncmp(value, "1", 1) == 0 || strncmp(value, "true", 4) == 0;
            break;
        case 'i':
            p->storeRoot = value;
            break;
        case 'b':
            p->buildNumber = std::to_string(_get_int_arg(value, &end));
            break;
        case 'd':
            if (!_parse_serial(display, value, &p->serialNumber,
                               "Discarding '0x' serial number prefix\n",
                               "Invalid serial number obtained from argument [%s]")) {
                state.failed = true;
            }
            break;
        case 'r':
            if (!_parse_serial(display, value, &p->routerSerial,
                               "Discarding '0x' router serial number prefix\n",
                               "Invalid router serial number obtained from argument [%s]")) {
                state.failed = true;
            }
            break;
        case 't':
            p->transportGiven = true;
            if (strncmp(value, "USB", 3) == 0) {
                p->transport = TRANSPORT_USB;
            } else if (strncmp(value, "TCP", 3) == 0) {
                p->transport = TRANSPORT_TCPIP;
            } else if (strncmp(value, "RECOVER", 7) == 0) {
                p->transport = TRANSPORT_RECOVER;
            } else {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, "
                                "TCPIP, RECOVER",
                                value);
                p->transport = TRANSPORT_INVALID;
                state.failed = true;
            }
            break;
        case 'f':
            p->birdFile = value;
            break;
        case 's':
            p->serialPort = value;
            break;
        case 'o':
            p->baudRate = _get_int_arg(value, &end);
            break;
        case 'e':
            p->echo = true;
            break;
        case 'l':
            p->logMessage = value;
            break;
        case 'k':
            p->logFile = value;
            break;
        case 'u':
            p->serverUrl = value;
            ++state.urlChoices;
            break;
        default:  // -Y
            display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]", option.text);
            state.failed = true;
            break;
    }
}

std::string _app_name(const char* argv0) {
    if (argv0 == nullptr) {
        return std::string();
    }
    const char* name = argv0;
    for (const char* c = argv0; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            name = c + 1;
        }
    }
    return name;
}

}  // namespace

const char* _default_http_url() {
    return kHttpUrl;
}
const char* _default_https_url() {
    return kHttpsUrl;
}

uint32_t _get_hex_arg(const char* text, char** end) {
    return _get_arg(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end) {
    return _get_arg(text, end, "0123456789", 10);
}

int _validate_params(Parameters*) {
    return 0;
}

int _release_params(Parameters*) {
    return 0;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* p) {
    *p = Parameters();
    p->transport = TRANSPORT_USB;
    p->baudRate = 115200;
    p->serverUrl = kHttpUrl;
    p->appName = _app_name(argc > 0 ? argv[0] : nullptr);
    p->logFile = "Updater.log";
    p->useUEIBytes = true;

    ParseState state;
    std::vector<char*> options;
    std::vector<char*> others;
    int index = 1;
    while (index < argc) {
        char* argument = argv[index++];
        if (argument == nullptr || argument[0] != '-') {
            others.push_back(argument);
            continue;
        }
        options.push_back(argument);
        const char* value = nullptr;
        char* equals = strchr(argument, '=');
        if (equals != nullptr) {
            *equals = '\0';
            value = equals + 1;
        }
        const OptionEntry* option = _find_option(argument);
        if (option == nullptr) {
            continue;  // unknown or ambiguous: ignored
        }
        if (option->takesValue && value == nullptr) {
            if (index >= argc || argv[index] == nullptr || argv[index][0] == '-') {
                continue;  // no value: not taken, the next argument is looked at in its turn
            }
            value = argv[index++];
            options.push_back(const_cast<char*>(value));
        } else if (!option->takesValue && value != nullptr) {
            continue;  // a value where none belongs: not taken
        }
        _handle_option(display, *option, value, p, state);
        if (state.help) {
            return 0;
        }
    }
    // Options and their values first, everything else behind them.
    int slot = 1;
    for (char* argument : options) {
        argv[slot++] = argument;
    }
    for (char* argument : others) {
        argv[slot++] = argument;
    }

    if (state.urlChoices > 1) {
        display.message(UpdaterDisplayInterface::Error,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or "
                        "-U <host:port>.");
        state.failed = true;
    }
    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p->appName.c_str());
    for (int i = 0; i < argc; ++i) {
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
    }
    if (state.failed) {
        return 1;
    }
    return _validate_params(p);
}

// clang-format off
namespace {

constexpr const char kShortUsage[] =
    "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n\n"
    "  Quillarex Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n\n";

constexpr const char kParametersBlock[] =
    "  Parameters to commands:\n"
    "     -i <vexmoran_directory>  - The Vexmoran directory used for storage of \n"
    "                                firmware files. [Default: ~/.vexmoran ].\n"
    "     -b <build number>        - Build version of the firmware to transfer.\n"
    "                                [Default: latest version available].\n"
    "     -d <device>              - Device serial number of the device to access.\n"
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].\n"
    "     -f <bird file>           - Firmware file to be transferred to device.\n"
    "     -r <router serial>       - indirect connection through router device\n"
    "     -s <serial port>         - name of serial port to use for recovery\n"
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
    "                                19200, 38400, 57600, 115200, 230400)\n"
    "  Commands:\n"
    "     -B                       - list the Builds available for given device.\n"
    "\n"
    "     -L                       - list the local Builds available for given device.\n"
    "\n"
    "     -D                       - Discover devices that are currently connected.\n"
    "\n"
    "     -G                       - Get build file from the Vexmoran server and\n"
    "                                store on local machine for download to device.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to obtain the latest build for the\n"
    "                                given device, override with \"-b\" option.\n"
    "\n"
    "     -U                       - Update the firmware on device specified.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to download the latest build for the\n"
    "                                given device, override with \"-b\" option or\n"
    "                                specify specific BIRD file using \"-f\" option.\n"
    "     -J                       - Get a JWT containing the devices software features\n"
    "     -H or -h                 - Display extended usage information.\n"
    "\n"
    "     --http                   - Use HTTP for the update server (http://" QX_UPDATE_SERVER_HOST "/cgi/u).\n"
    "     --https                  - Use HTTPS for the update server (https://" QX_UPDATE_SERVER_HOST "/cgi/u).\n"
    "                                Recommended; HTTPS will be the default in the next major version.\n";

constexpr const char kExtendedBlock[] =
    "  Extended Parameters:\n"
    "     -e                       - echoing of bytes enabled during recovery.\n"
    "\n"
    "     -m                       - Attemps to use UEIBytes for faster loading\n"
    "     -l 'log message'         - message to place in device history log\n"
    "     -k <filename>            - log messages written into given filename\n"
    "                                Default:[APP.log]\n"
    "     -u <host:port>           - The hostname and port of the update server\n"
    "                                Default: " QX_UPDATE_SERVER_HOST ":port\n"
    "  Extended Commands:\n"
    "     -I                       - View stored device information.\n"
    "                                Must either use DISCOVER command [\"-D\"] or\n"
    "                                specify a specific device [\"-d\" option].\n"
    "\n"
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.\n"
    "                                This option should only be used when authorized by\n"
    "                                Vexmoran development engineers.\n"
    "\n"
    "     -N                       - Get fingerprint from a device, requires -s\n"
    "\n"
    "     -X <BIT_MASK>            - Bitmask for Logging\n"
    "                                DEBUG_Updater       0x00000001\n"
    "                                DEBUG_History       0x00000002\n"
    "                                DEBUG_Attributes    0x00000004\n"
    "                                DEBUG_BirdFile      0x00000008\n"
    "                                DEBUG_Network       0x00000010\n"
    "                                DEBUG_ServerComm    0x00000020\n"
    "\n"
    "                                DEBUG_Network       0x00000100\n"
    "                                DEBUG_Network_SR    0x00000200\n"
    "                                DEBUG_Network_FIRM  0x00000400\n"
    "\n"
    "                                DEBUG_NXPSerial     0x00001000\n"
    "                                DEBUG_NXPSerial_E   0x00002000\n"
    "                                DEBUG_NXPSerial_SR  0x00004000\n"
    "\n"
    "                                DEBUG_APP           0x00010000\n"
    "\n"
    "                                DEBUG_iMXSerial     0x10000000\n"
    "\n"
    "     -C                       - Check the given BIRDFILE\n"
    "\n";

constexpr const char kSampleBlock[] =
    " Sample usage:\n"
    "\n"
    "-D                             Discover all devices connected by either USB or TCPIP.\n"
    "                               Records the device information into the settings for that device.\n"
    "\n"
    "-D -t USB                      Discover all the devices connected by USB. Records the\n"
    "                               device information into the settings for that device.\n"
    "\n"
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)\n"
    "\n"
    "-G -d 40F5849A                 Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific device directory.\n"
    "\n"
    "-U -d 40F5849A                 Update the firmware on the specific device.\n"
    "                               Without other options, this command will try to locate\n"
    "                               the latest firmware version to be used for updating the device.\n"
    "\n"
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.\n"
    "                               Downloads the firmware file into the updater's specific\n"
    "                               device directory with the build number as the filename.\n"
    "\n"
    "-G -U -d 40F5849A              Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific\n"
    "                               device directory. After download, update the firmware\n"
    "                               using the latest release.\n"
    "\n"
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface\n"
    "                               in communicating with the device to install the latest firmware.\n"
    "\n"
    " Sample usage for network discovery and updates:\n"
    "\n"
    "-D -r D272031D                 Discover all devices connected to the I2C Quillarex network\n"
    "                               of the given routing device D272031D.\n"
    "\n"
    "-G -U -d 2181F0EE -r D272031D\n"
    "                               Get and Update to the latest firmware for device 2181F0EE\n"
    "                               indirectly through routing device D272031D.\n"
    "\n";

}  // namespace
// clang-format on

void _display_usage(bool extended, bool full) {
    fprintf(stderr, kShortUsage, "Updater");
    if (!full) {
        return;
    }
    fputs(kParametersBlock, stderr);
    if (extended) {
        fputs(kExtendedBlock, stderr);
    }
    fputs(kSampleBlock, stderr);
}
