// Command-line parsing: option recognition, value conversion and the
// messages for malformed values.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Log.h"
#include "app/Parameters.h"
#include "cli_support.h"

using cli_test::RecordingDisplay;

namespace {

const std::string kHttp = std::string("http://") + QX_UPDATE_SERVER_HOST + "/cgi/u";
const std::string kHttps = std::string("https://") + QX_UPDATE_SERVER_HOST + "/cgi/u";

// Runs the parser on "Updater" plus `args` with a writable argument vector,
// capturing the error messages and the diagnostic log.
struct Parse {
    explicit Parse(const std::vector<std::string>& args, const char* argv0 = "Updater") {
        storage.push_back(argv0);
        storage.insert(storage.end(), args.begin(), args.end());
        for (std::string& s : storage) {
            argv.push_back(&s[0]);
        }
        argv.push_back(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        FILE* stream = open_memstream(&logBuffer, &logSize);
        Log::SetOutput(stream);
        result = _get_params(display, static_cast<int>(storage.size()), argv.data(), &params);
        fflush(stream);
        log.assign(logBuffer, logSize);
        Log::SetOutput(nullptr);
        fclose(stream);
        free(logBuffer);
        activePackages = Log::ActivePackages();
        Log::DeactivatePackage(0xFFFFFFFFu);
        errors = display.Texts(UpdaterDisplayInterface::Error);
    }
    std::vector<std::string> Argv() const {
        std::vector<std::string> texts;
        for (size_t i = 0; i + 1 < argv.size(); ++i) {
            texts.push_back(argv[i]);
        }
        return texts;
    }

    std::vector<std::string> storage;
    std::vector<char*> argv;
    RecordingDisplay display;
    Parameters params;
    int result = -1;
    char* logBuffer = nullptr;
    size_t logSize = 0;
    std::string log;
    uint32_t activePackages = 0;
    std::vector<std::string> errors;
};

struct Case {
    std::vector<std::string> args;
    int result;
    std::vector<std::string> errors;
    std::function<void(const Parameters&)> check;
};

std::string Describe(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) {
        text += " [" + a + "]";
    }
    return text;
}

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE("arguments:" + Describe(c.args));
        Parse parse(c.args);
        EXPECT_EQ(parse.result, c.result);
        EXPECT_EQ(parse.errors, c.errors);
        EXPECT_TRUE(parse.display.Texts(UpdaterDisplayInterface::Info).empty());
        if (c.check) {
            c.check(parse.params);
        }
    }
}

}  // namespace

TEST(ParamsParse, DefaultsBeforeAnyOption) {
    Parse parse({}, "/usr/local/bin/Updater");
    EXPECT_EQ(parse.result, 0);
    const Parameters& p = parse.params;
    EXPECT_EQ(p.commands.Mask(), 0u);
    EXPECT_EQ(p.serialNumber, 0u);
    EXPECT_EQ(p.routerSerial, 0u);
    EXPECT_EQ(p.transport, 1);
    EXPECT_FALSE(p.transportGiven);
    EXPECT_EQ(p.baudRate, 115200u);
    EXPECT_EQ(p.serverUrl, kHttp);
    EXPECT_EQ(p.logFile, "Updater.log");
    EXPECT_TRUE(p.useUEIBytes);
    EXPECT_FALSE(p.overrideModelCheck);
    EXPECT_EQ(p.storeRoot, "");
    EXPECT_EQ(p.buildNumber, "");
    EXPECT_EQ(p.appName, "Updater");
    EXPECT_EQ(Parse({}, "C:\\tools\\Upd.exe").params.appName, "Upd.exe");
    EXPECT_EQ(Parse({}, "bin\\x/Upd").params.appName, "Upd");
}

TEST(ParamsParse, SerialNumbers) {
    auto serial = [](uint32_t expected) {
        return [expected](const Parameters& p) { EXPECT_EQ(p.serialNumber, expected); };
    };
    auto router = [](uint32_t expected) {
        return [expected](const Parameters& p) { EXPECT_EQ(p.routerSerial, expected); };
    };
    const std::string bad = "Invalid serial number obtained from argument ";
    const std::string badRouter = "Invalid router serial number obtained from argument ";
    RunCases({
        {{"-d", "0x40F5849A"}, 0, {}, serial(0x40F5849A)},
        {{"-d", "0X40F5849A"}, 0, {}, serial(0x40F5849A)},
        {{"-d", "40f5849a"}, 0, {}, serial(0x40F5849A)},
        {{"-d=40F5849A"}, 0, {}, serial(0x40F5849A)},
        {{"-d", "1"}, 0, {}, serial(1)},
        {{"-d", "140F5849A"}, 0, {}, serial(0x40F5849A)},  // low 32 bits
        {{"-d", "40F5849G"}, 1, {bad + "[40F5849G]"}, serial(0)},
        {{"-d", "0x"}, 1, {bad + "[]"}, serial(0)},
        {{"-d="}, 1, {bad + "[]"}, serial(0)},
        {{"-d", "00000000"}, 1, {bad + "[00000000]"}, serial(0)},
        {{"-d", "0x0x12"}, 1, {bad + "[0x12]"}, serial(0)},
        {{"-d", "+12"}, 1, {bad + "[+12]"}, serial(0)},
        {{"-r", "D272031D"}, 0, {}, router(0xD272031D)},
        {{"-r", "0xD272031D"}, 0, {}, router(0xD272031D)},
        {{"-r", "zz"}, 1, {badRouter + "[zz]"}, router(0)},
        {{"-r", "0x0"}, 1, {badRouter + "[0]"}, router(0)},
    });
}

TEST(ParamsParse, TransportBuildAndBaud) {
    auto transport = [](int32_t expected) {
        return [expected](const Parameters& p) {
            EXPECT_EQ(p.transport, expected);
            EXPECT_TRUE(p.transportGiven);
        };
    };
    auto build = [](const char* expected) {
        return [expected](const Parameters& p) { EXPECT_EQ(p.buildNumber, expected); };
    };
    auto baud = [](uint32_t expected) {
        return [expected](const Parameters& p) { EXPECT_EQ(p.baudRate, expected); };
    };
    const std::string badTransport = "]\nMust be one of the following: USB, TCPIP, RECOVER";
    RunCases({
        {{"-t", "USB"}, 0, {}, transport(1)},
        {{"-t", "USB2"}, 0, {}, transport(1)},
        {{"-t", "TCP"}, 0, {}, transport(2)},
        {{"-t", "TCPIP"}, 0, {}, transport(2)},
        {{"-t", "RECOVER"}, 0, {}, transport(255)},
        {{"-t", "RECOVERY"}, 0, {}, transport(255)},
        {{"-t", "usb"}, 1, {"Invalid transport type:[usb" + badTransport}, transport(0)},
        {{"-t", "RECOV"}, 1, {"Invalid transport type:[RECOV" + badTransport}, transport(0)},
        {{"-t=US"}, 1, {"Invalid transport type:[US" + badTransport}, transport(0)},
        {{"-b", "4711"}, 0, {}, build("4711")},
        {{"-b", "007"}, 0, {}, build("7")},
        {{"-b", "12a"}, 0, {}, build("0")},
        {{"-b", "4294967297"}, 0, {}, build("1")},
        {{"-b="}, 0, {}, build("0")},
        {{"-o", "9600"}, 0, {}, baud(9600)},
        {{"-o", "fast"}, 0, {}, baud(0)},
        {{"-o", "12345"}, 0, {}, baud(12345)},
    });
}

TEST(ParamsParse, FlagsAndTextValues) {
    RunCases({
        {{"-e", "-n", "-OVERRIDE", "-l", "log text", "-k", "my.log", "-i", "/srv/store", "-f",
          "fw.bird", "-s", "/dev/ttyS1"},
         0,
         {},
         [](const Parameters& p) {
             EXPECT_TRUE(p.echo);
             EXPECT_TRUE(p.optionN);
             EXPECT_TRUE(p.overrideModelCheck);
             EXPECT_EQ(p.logMessage, "log text");
             EXPECT_EQ(p.logFile, "my.log");
             EXPECT_EQ(p.storeRoot, "/srv/store");
             EXPECT_EQ(p.birdFile, "fw.bird");
             EXPECT_EQ(p.serialPort, "/dev/ttyS1");
             EXPECT_EQ(p.commands.Mask(), 0u);
         }},
        {{"-m", "0"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.useUEIBytes); }},
        {{"-m", "1"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.useUEIBytes); }},
        {{"-m", "10"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.useUEIBytes); }},
        {{"-m", "trueish"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.useUEIBytes); }},
        {{"-m", "yes"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.useUEIBytes); }},
        {{"-m", "TRUE"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.useUEIBytes); }},
        {{"-Z", "1"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.commands.Mask(), CMD_Z); }},
        {{"-Z"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.commands.Mask(), 0u); }},
    });
}

TEST(ParamsParse, CommandsAndOptionRecognition) {
    auto mask = [](uint32_t expected) {
        return [expected](const Parameters& p) { EXPECT_EQ(p.commands.Mask(), expected); };
    };
    auto overridden = [](const Parameters& p) {
        EXPECT_TRUE(p.overrideModelCheck);
        EXPECT_EQ(p.commands.Mask(), 0u);
    };
    RunCases({
        {{"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J"},
         0,
         {},
         mask(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS | CMD_DISCOVER | CMD_GET_BUILD |
              CMD_DEVICE_INFO | CMD_UPDATE | CMD_FINGERPRINT | CMD_CHECK_BIRD | CMD_GET_JWT)},
        {{"-D=1"}, 0, {}, mask(0)},  // a value where none belongs
        {{"-DU"}, 0, {}, mask(0)},   // no clumping
        {{"-d40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
        {{"-q"}, 0, {}, mask(0)},
        {{"--h"}, 0, {}, mask(0)},  // ambiguous: --help, --http, --https
        {{"--htt"}, 0, {}, mask(0)},
        {{"-"}, 0, {}, mask(0)},
        {{"-d"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
        {{"-O"}, 0, {}, overridden},
        {{"-OVER"}, 0, {}, overridden},
        {{"-OVERRID"}, 0, {}, overridden},
        {{"-OVERRIDEX"}, 0, {}, mask(0)},
        {{"-override"}, 0, {}, mask(0)},
        {{"-d", "-U"},
         0,
         {},
         [](const Parameters& p) {
             EXPECT_EQ(p.serialNumber, 0u);
             EXPECT_EQ(p.commands.Mask(), CMD_UPDATE);
         }},
        {{"-i", "-D"},
         0,
         {},
         [](const Parameters& p) {
             EXPECT_EQ(p.storeRoot, "");
             EXPECT_EQ(p.commands.Mask(), CMD_DISCOVER);
         }},
        {{"-Y"}, 1, {"Unhandled command: [-Y]"}, mask(0)},
        // Errors do not stop the parse: all are shown, later options still count.
        {{"-d", "zz", "-Y", "-r", "yy", "-D"},
         1,
         {"Invalid serial number obtained from argument [zz]", "Unhandled command: [-Y]",
          "Invalid router serial number obtained from argument [yy]"},
         mask(CMD_DISCOVER)},
    });
}

TEST(ParamsParse, ServerUrlChoices) {
    auto url = [](const std::string& expected) {
        return [expected](const Parameters& p) { EXPECT_EQ(p.serverUrl, expected); };
    };
    const std::string multiple =
        "Multiple update server URLs specified. Choose one of: --https, --http, or -U "
        "<host:port>.";
    RunCases({
        {{"--http"}, 0, {}, url(kHttp)},
        {{"--https"}, 0, {}, url(kHttps)},
        {{"-u", "127.0.0.1:8080"}, 0, {}, url("127.0.0.1:8080")},
        {{"-u=a=b"}, 0, {}, url("a=b")},
        {{"--http", "--http"}, 1, {multiple}, url(kHttp)},
        {{"--https", "-u", "host:1"}, 1, {multiple}, url("host:1")},
        {{"-u", "host:1", "--https"}, 1, {multiple}, url(kHttps)},
    });
}

TEST(ParamsParse, HelpEndsTheParseAtOnceWithSuccess) {
    RunCases({
        {{"-h"},
         0,
         {},
         [](const Parameters& p) {
             EXPECT_TRUE(p.helpRequested);
             EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
             EXPECT_FALSE(p.commands.IsSet(CMD_ANY));
         }},
        {{"--he"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
        {{"--help"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
        {{"-H"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
        {{"-X", "0x10000", "-h"},
         0,
         {},
         [](const Parameters& p) {
             EXPECT_TRUE(p.logMaskGiven);
             EXPECT_TRUE(p.helpRequested);
         }},
        {{"-h", "-X", "0x10000", "-Y"},
         0,
         {},
         [](const Parameters& p) {
             EXPECT_FALSE(p.logMaskGiven);
             EXPECT_TRUE(p.helpRequested);
         }},
        // The bad serial number is reported, yet help makes the result 0.
        {{"-d", "0", "-h"},
         0,
         {"Invalid serial number obtained from argument [0]"},
         [](const Parameters& p) { EXPECT_TRUE(p.helpRequested); }},
        // Help ends even a failing multiple-URL line before its check.
        {{"--http", "--http", "-h"}, 0, {}, nullptr},
    });
}

TEST(ParamsParse, LogMaskIsActivatedAtOnceAndGovernsLaterLines) {
    Parse accumulated({"-X", "0x1", "-X", "32"});
    EXPECT_EQ(accumulated.result, 0);
    EXPECT_EQ(accumulated.params.logMask, 32u);
    EXPECT_TRUE(accumulated.params.logMaskGiven);
    EXPECT_EQ(accumulated.activePackages, 0x21u);

    Parse bad({"-X", "12ab"});
    EXPECT_EQ(bad.result, 0);
    EXPECT_EQ(bad.errors, std::vector<std::string>{
                              "Invalid format for \"-X\" parameter, unprocessed characters [ab]"});
    EXPECT_EQ(bad.params.logMask, 12u);
    EXPECT_EQ(bad.activePackages, 0u);

    Parse hexTail({"-X", "0x1g"});
    EXPECT_EQ(hexTail.errors,
              std::vector<std::string>{
                  "Invalid format for \"-X\" parameter, unprocessed characters [g]"});

    // The prefix line is logged under 0x1 only once that package is on.
    Parse before({"-d", "0x1234", "-X", "1"});
    EXPECT_EQ(before.log, "");
    Parse after({"-X", "1", "-d", "0x1234", "-r", "0X99"});
    EXPECT_EQ(after.log,
              "Discarding '0x' serial number prefix\n"
              "Discarding '0x' router serial number prefix\n");
    EXPECT_EQ(after.params.serialNumber, 0x1234u);
}

TEST(ParamsParse, ArgumentsArePermutedCutAndListedInTheLog) {
    Parse parse({"fw.bird", "-X", "0x10000", "extra", "-d=40F5849A", "-D"}, "/opt/bin/Updater");
    EXPECT_EQ(parse.result, 0);
    EXPECT_EQ(parse.params.serialNumber, 0x40F5849Au);
    EXPECT_EQ(parse.Argv(), (std::vector<std::string>{"/opt/bin/Updater", "-X", "0x10000", "-d",
                                                      "-D", "fw.bird", "extra"}));
    EXPECT_EQ(
        parse.log,
        "\nApplication parameters:[Updater]\n"
        "\t[/opt/bin/Updater]\n\t[-X]\n\t[0x10000]\n\t[-d]\n\t[-D]\n\t[fw.bird]\n\t[extra]\n");
}

TEST(ParamsConvert, HexAndDecimalArguments) {
    struct Case {
        const char* text;
        uint32_t hex;
        uint32_t dec;
    };
    const Case cases[] = {
        {"1A", 0x1A, 0},
        {"10", 0x10, 10},
        {"", 0, 0},
        {"ffffffff", 0xFFFFFFFF, 0},
        {"100000001", 1, 100000001},
        {"4294967297", 0x94967297, 1},
        {" 12", 0, 0},
        {"-1", 0, 0},
        {"0x10", 0, 0},
        {"12 ", 0, 0},
    };
    for (const Case& c : cases) {
        char* end = nullptr;
        EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex) << "[" << c.text << "]";
        end = nullptr;
        EXPECT_EQ(_get_int_arg(c.text, &end), c.dec) << "[" << c.text << "]";
    }
    // Rejected texts leave *end alone; accepted ones point it past the digits.
    const char* text = "12g";
    char* end = const_cast<char*>("untouched");
    EXPECT_EQ(_get_hex_arg(text, &end), 0u);
    EXPECT_STREQ(end, "untouched");
    const char* digits = "123";
    EXPECT_EQ(_get_int_arg(digits, &end), 123u);
    EXPECT_EQ(end, digits + 3);
    EXPECT_EQ(_get_hex_arg("1A", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(ParamsCommands, SetAndIsSet) {
    CommandsClass commands;
    EXPECT_FALSE(commands.IsSet(CMD_ANY));
    commands.Set(CMD_HELP);
    EXPECT_FALSE(commands.IsSet(CMD_ANY));
    commands.Set(CMD_Z);
    EXPECT_TRUE(commands.IsSet(CMD_ANY));
    EXPECT_TRUE(commands.IsSet(CMD_Z));
    EXPECT_FALSE(commands.IsSet(CMD_DISCOVER));
    EXPECT_EQ(commands.Mask(), 0x80000080u);
}
