// The parsed command line: which commands were asked for and the values they
// need.
#ifndef APP_PARAMETERS_H
#define APP_PARAMETERS_H

#include <cstdint>
#include <string>

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,           // -D
    CMD_UPDATE = 0x00000002,             // -U
    CMD_LIST_BUILDS = 0x00000004,        // -B
    CMD_GET_BUILD = 0x00000008,          // -G
    CMD_DEVICE_INFO = 0x00000010,        // -I
    CMD_CHECK_BIRD = 0x00000020,         // -C
    CMD_FINGERPRINT = 0x00000040,        // -N
    CMD_Z = 0x00000080,                  // -Z
    CMD_GET_JWT = 0x00000100,            // -J
    CMD_LIST_LOCAL_BUILDS = 0x00000200,  // -L
    CMD_HELP = 0x80000000,               // -h, -H, --help
    // A command line names a command when any of these bits is set.
    CMD_ANY = 0x000307FF,
};

class CommandsClass {
  public:
    CommandsClass() : mask(0) {}
    void Set(COMMANDS command) { mask |= command; }
    // True when the mask shares at least one bit with `command`; for a mask
    // such as CMD_ANY this asks whether any of its bits is set.
    bool IsSet(COMMANDS command) const { return (mask & command) != 0; }
    uint32_t Mask() const { return mask; }

  private:
    uint32_t mask;
};

// Transport codes of -t.
constexpr int32_t TRANSPORT_INVALID = 0;
constexpr int32_t TRANSPORT_USB = 1;
constexpr int32_t TRANSPORT_TCPIP = 2;
constexpr int32_t TRANSPORT_RECOVER = 255;

// Serial number that stands for "no serial number given".
constexpr uint32_t SERIAL_NUMBER_NONE = 0xDEADDEAD;

// Defaults are assigned by _get_params before it reads any option; the
// members start out zeroed so that a record is never read uninitialised.
struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;        // -d
    uint32_t routerSerial = 0;        // -r
    int32_t transport = 0;            // -t: 1 USB, 2 TCP/IP, 255 recovery, 0 invalid
    bool transportGiven = false;      // -t seen, valid or not
    std::string serialPort;           // -s
    uint32_t baudRate = 0;            // -o
    uint8_t moduleAddress = 0;        // no option sets it
    std::string birdFile;             // -f
    std::string logMessage;           // -l (kept, not used)
    std::string buildNumber;          // -b, decimal text; also written by the -G step
    bool echo = false;                // -e (kept, not used)
    std::string serverUrl;            // --http, --https, -u
    bool optionN = false;             // -n (kept, not used)
    std::string storeRoot;            // -i; empty means ~/.vexmoran
    std::string appName;              // argv[0] without directories
    std::string logFile;              // -k (kept, not used)
    bool overrideModelCheck = false;  // -OVERRIDE
    bool useUEIBytes = false;         // -m
    uint32_t logMask = 0;             // last -X
    bool logMaskGiven = false;        // -X seen: selects the extended help block
    bool helpRequested = false;       // -h, -H or --help seen
};

#endif
