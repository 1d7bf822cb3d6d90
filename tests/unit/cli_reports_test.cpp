// Console reports of the command flow and the order of build lists.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/ConsoleReports.h"
#include "app/Log.h"
#include "app/Updater.h"
#include "app/server/UpdateServerRequest.h"
#include "cli_support.h"

using cli_test::RecordingDisplay;

namespace {

using BuildList = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> InfoLines(const RecordingDisplay& display) {
    EXPECT_TRUE(display.Texts(UpdaterDisplayInterface::Error).empty());
    return display.Texts(UpdaterDisplayInterface::Info);
}

DeviceInfo Device(linkType type, uint32_t serial, uint32_t module, uint32_t router, uint32_t model,
                  uint8_t major, uint8_t minor, uint32_t patch, uint32_t build, const char* name) {
    DeviceInfo info;
    info.spec.type = type;
    info.spec.serial_num = serial;
    info.spec.module = module;
    info.spec.router = router;
    info.spec.model = model;
    info.major = major;
    info.minor = minor;
    info.patch = patch;
    info.build = build;
    info.deviceName = name;
    return info;
}

const char kUsbHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
const char kIpHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
    "Device Name";

}  // namespace

TEST(Reports, VersionCopyrightFingerprintAndToken) {
    RecordingDisplay display;
    _display_app_version(display);
    _display_copyright(display);
    Fingerprint fingerprint;
    fingerprint.words[0] = 1;
    fingerprint.words[1] = 0xDEADBEEF;
    fingerprint.words[3] = 0xFFFFFFFF;
    _display_fingerprint(display, fingerprint);
    _display_jwt(display, "eyJh.eyJz.sig.with.dots");
    _display_jwt(display, "");
    const auto lines = InfoLines(display);
    ASSERT_EQ(lines.size(), 5u);
    // "Mmm dd yyyy" with the day right-aligned, as the compiler gives it.
    const std::string prefix = "Updater (Version: 2.12.5 ";
    ASSERT_EQ(lines[0].size(), prefix.size() + 12) << lines[0];
    EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix);
    const std::string date = lines[0].substr(prefix.size(), 11);
    EXPECT_TRUE(isupper(date[0]) && islower(date[1]) && islower(date[2]) && date[3] == ' ' &&
                (date[4] == ' ' || isdigit(date[4])) && isdigit(date[5]) && date[6] == ' ' &&
                isdigit(date[7]) && isdigit(date[10]))
        << date;
    EXPECT_EQ(lines[0].back(), ')');
    EXPECT_EQ(date, __DATE__);
    ASSERT_GE(lines[1].size(), 3u);
    EXPECT_EQ(lines[1].front(), '(');
    EXPECT_EQ(lines[1].back(), ')');
    EXPECT_EQ(lines[2], "[ 00000001 DEADBEEF 00000000 FFFFFFFF ]");
    EXPECT_EQ(lines[3], "eyJh.eyJz.sig.with.dots");
    EXPECT_EQ(lines[4], "");
}

TEST(Reports, EmptyDeviceListsNameTheirLinkType) {
    const std::vector<DeviceInfo> none;
    struct Case {
        linkType type;
        const char* title;
    };
    for (const Case& c :
         {Case{USB, "Discovered Devices: (USB)"}, Case{TCPIP, "Discovered Devices: (TCPIP)"},
          Case{INVALID, "Discovered Devices: (Unknown)"},
          Case{SERIAL, "Discovered Devices: (Unknown)"}}) {
        RecordingDisplay display;
        _display_device_list(display, none, c.type);
        EXPECT_EQ(InfoLines(display), (std::vector<std::string>{c.title, "    No devices found."}));
    }
}

TEST(Reports, DeviceRowsFollowEachEntrysOwnLinkType) {
    std::vector<DeviceInfo> devices;
    devices.push_back(Device(USB, 0x40F5849A, 2, 0, 4, 2, 10, 3, 4711, "bench"));
    DeviceInfo busy = Device(USB, 0x0000ABCD, 6, 0, 5, 1, 0, 0, 0, "");
    busy.error = aErrBusy;
    devices.push_back(busy);
    DeviceInfo ip = Device(TCPIP, 0xD272031D, 0x10, 0x10, 27, 2, 9, 300, 4294967295u, "router");
    ASSERT_EQ(inet_pton(AF_INET, "192.168.1.20", &ip.spec.t.ip.ip_address), 1);
    devices.push_back(ip);
    DeviceInfo ipBusy = Device(TCPIP, 0x00000C0C, 8, 8, 18, 0, 0, 0, 0, "");
    ipBusy.error = aErrConnection;  // a TCP/IP module that could not be opened
    devices.push_back(ipBusy);
    devices.push_back(Device(USB, 0x1, 0, 0, 99, 0, 0, 0, 0, ""));  // unknown model, no name

    const std::vector<std::string> rows = {
        "    40F5849A  02       00      HubPro8        2.10.3 (      4711)         bench",
        "    0000ABCD  [Error (5): Device in use. Close all other Vexmoran associated "
        "applications.]",
        "    D272031D  10       10      NetRouter      2.9.300 (4294967295)        "
        "[192.168.1.20]     router",
        "    00000C0C  [Error (25): Device in use. Close all other Vexmoran associated "
        "applications.]",
        "    00000001  00       00      Unknown        0.0.0 (         0)         ",
    };

    RecordingDisplay usb;
    _display_device_list(usb, devices, USB);
    std::vector<std::string> expected = {"Discovered Devices: (USB)", kUsbHeader};
    expected.insert(expected.end(), rows.begin(), rows.end());
    EXPECT_EQ(InfoLines(usb), expected);

    RecordingDisplay unknown;
    _display_device_list(unknown, devices, INVALID);
    expected = {"Discovered Devices: (Unknown)", kIpHeader};
    expected.insert(expected.end(), rows.begin(), rows.end());
    EXPECT_EQ(InfoLines(unknown), expected);

    RecordingDisplay tcp;
    _display_device_list(tcp, std::vector<DeviceInfo>{ip}, TCPIP);
    EXPECT_EQ(InfoLines(tcp),
              (std::vector<std::string>{"Discovered Devices: (TCPIP)", kIpHeader, rows[2]}));
}

TEST(Reports, BuildListNewestFirstWithColumnsCutToFifteen) {
    RecordingDisplay empty;
    _display_builds(empty, {}, 0xABCD);
    EXPECT_EQ(InfoLines(empty), std::vector<std::string>{"No builds found for device [0000ABCD]"});

    RecordingDisplay display;
    const std::map<std::string, std::string> builds = {
        {"100", "2.9.0"},
        {"101", "2.10.0"},
        {"99", "1.99.99"},
        {"1234567890123456789", "2.10.0-rc1-long-suffix"},
    };
    _display_builds(display, builds, 0x40F5849A);
    EXPECT_EQ(InfoLines(display), (std::vector<std::string>{
                                      "Build List for device [40F5849A]:\n",
                                      "Build          \tVersion        ",
                                      "101            \t2.10.0         ",
                                      "100            \t2.9.0          ",
                                      "99             \t1.99.99        ",
                                      "123456789012345\t2.10.0-rc1-long",
                                  }));
}

TEST(BuildOrder, NewestFirstEachPartComparedAsOneByte) {
    EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(
                  {{"a", "2.9.0"}, {"b", "2.10.0"}, {"c", "1.99.99"}}),
              (BuildList{{"b", "2.10.0"}, {"a", "2.9.0"}, {"c", "1.99.99"}}));
    // 2.256.0 reads as 2.0.0 and 1.2.259 as 1.2.3: equal versions keep key order.
    EXPECT_EQ(
        UpdateServerRequest::SortBuildsByVersion(
            {{"4", "2.0.0"}, {"3", "2.256.0"}, {"2", "1.2.3"}, {"1", "1.2.259"}, {"5", "2.1.0"}}),
        (BuildList{
            {"5", "2.1.0"}, {"3", "2.256.0"}, {"4", "2.0.0"}, {"1", "1.2.259"}, {"2", "1.2.3"}}));
    EXPECT_TRUE(UpdateServerRequest::SortBuildsByVersion({}).empty());
}

TEST(BuildOrder, MalformedVersionsFollowAllOthersInKeyOrderAndAreLogged) {
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(0x20);
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    Log::SetOutput(stream);
    const BuildList sorted = UpdateServerRequest::SortBuildsByVersion({
        {"10", ""},
        {"11", "2.10"},
        {"12", "1.0.0"},
        {"13", "2.x.1"},
        {"14", "1.2.3.4"},
        {"15", "2.99999999999.0"},
        {"16", "3.0.0"},
        {"17", "2.1a.0"},
        {"18", "2..0"},
        {"19", "-1.0.0"},
    });
    fflush(stream);
    const std::string log(buffer, size);
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    fclose(stream);
    free(buffer);

    EXPECT_EQ(sorted, (BuildList{{"16", "3.0.0"},
                                 {"12", "1.0.0"},
                                 {"10", ""},
                                 {"11", "2.10"},
                                 {"13", "2.x.1"},
                                 {"14", "1.2.3.4"},
                                 {"15", "2.99999999999.0"},
                                 {"17", "2.1a.0"},
                                 {"18", "2..0"},
                                 {"19", "-1.0.0"}}));
    size_t lines = 0;
    for (size_t at = log.find("_sortVersion: Exception converting version: ");
         at != std::string::npos;
         at = log.find("_sortVersion: Exception converting version: ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 8u) << log;
}

TEST(BuildOrder, LargeMixedListsComeOutInOneConsistentOrder) {
    // Many equal and malformed versions: the order must be total (the
    // sanitizer build would flag an inconsistent comparison) and match the
    // rule independently of the input.
    std::map<std::string, std::string> builds;
    unsigned seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    for (int i = 0; i < 600; ++i) {
        std::string version;
        switch (next() % 5) {
            case 0:
                version = "bad" + std::to_string(next() % 3);
                break;
            case 1:
                version = std::to_string(next() % 3) + "." + std::to_string(next() % 3);
                break;
            default:
                version = std::to_string(next() % 3) + "." + std::to_string(next() % 3) + "." +
                          std::to_string(next() % 300);
                break;
        }
        builds[std::to_string(100000 + i)] = version;
    }
    const BuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());

    // Rank: well-formed by (major, minor, patch mod 256) descending, then key;
    // malformed after, by key.
    auto rank = [](const std::pair<std::string, std::string>& entry) {
        unsigned a = 0, b = 0, c = 0;
        char tail = 0;
        const bool ok = sscanf(entry.second.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) == 3;
        const long version =
            ok ? static_cast<long>(((a & 255) << 16) | ((b & 255) << 8) | (c & 255)) : -1;
        return std::make_pair(-version, entry.first);
    };
    for (size_t i = 1; i < sorted.size(); ++i) {
        EXPECT_LT(rank(sorted[i - 1]), rank(sorted[i])) << i;
    }
}

TEST(UpdaterObject, KeepsItsSettings) {
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", "/tmp/store/updater", display);
    EXPECT_EQ(updater.ServerUrl(), "http://127.0.0.1:1/cgi/u");
    EXPECT_EQ(updater.StorePath(), "/tmp/store/updater");
    EXPECT_EQ(&updater.Display(), &display);
    EXPECT_EQ(updater.RecoveryTarget(), 0);
    EXPECT_FALSE(updater.UseUEIBytes());
    updater.Set_UEIBytes_Load(true);
    EXPECT_TRUE(updater.UseUEIBytes());

    Updater empty(nullptr, nullptr, display);
    EXPECT_EQ(empty.ServerUrl(), "");
    EXPECT_EQ(empty.StorePath(), "");
}
