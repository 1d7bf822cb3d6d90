// Discovery of USB modules through the Updater, against simulated modules
// behind simulated USB devices: the list with a module that another program
// holds, and the modules behind a USB router.
//
// The program runs in a network namespace of its own when it can, so that a
// search that goes on to TCP/IP (link type 0) reaches no real interface; the
// test that needs such a search is skipped otherwise.
#include <sched.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/ConsoleReports.h"
#include "app/Log.h"
#include "app/Updater.h"
#include "unit/api_support.h"
#include "unit/cli_support.h"
#include "unit/usb_support.h"

using cli_test::RecordingDisplay;
using cli_test::TempDir;

namespace {

bool g_isolated = false;

class UsbDiscovery : public usbtest::UsbBed {
  protected:
    // A router with its sub-modules ("serial=..,i2c=N,..") on in-process
    // links, plus further modules.
    void startRouterSim(const std::string& router, const std::vector<std::string>& subs,
                        const std::vector<std::string>& others = {}) {
        modsim::SimConfig config;
        config.modules.push_back(modsim::parseModuleSpec(router + ",transport=none", false));
        for (const auto& s : subs)
            config.modules.back().subModules.push_back(modsim::parseModuleSpec(s, true));
        for (const auto& m : others)
            config.modules.push_back(modsim::parseModuleSpec(m + ",transport=none", false));
        sim_ = std::make_unique<modsim::Simulator>(config);
        sim_->open();
        sim_->start();
    }

    usbsim::Device& plug(uint32_t serial, uint16_t model) {
        usbsim::DeviceSpec shape;
        shape.product = model;
        return plugModule(serial, shape);
    }

    TempDir store;
    RecordingDisplay display;
    Updater updater{"127.0.0.1:1", store.path().c_str(), display};
};

TEST_F(UsbDiscovery, ListsModulesAndOneInUse) {
    startSim({"serial=40F5849A,address=6,model=17,version=2.10.4,build=4711,name=Bench",
              "serial=0000BEEF,address=8,model=13,version=2.15.0,build=3"});
    plug(0x40F5849A, 17);
    plug(0x0000BEEF, 13).setBusy(true);

    const std::vector<DeviceInfo> devices = updater.Discover_Devices(USB);
    ASSERT_EQ(devices.size(), 2u);
    // In the host's device order, whatever that is.
    const size_t first = devices[0].spec.serial_num == 0x40F5849A ? 0 : 1;

    const DeviceInfo& bench = devices[first];
    EXPECT_EQ(bench.spec.type, USB);
    EXPECT_EQ(bench.spec.serial_num, 0x40F5849Au);
    EXPECT_EQ(bench.spec.t.usb.usb_serial, 0x40F5849Au);
    EXPECT_EQ(bench.spec.module, 6u);
    EXPECT_EQ(bench.spec.router, 6u);
    EXPECT_EQ(bench.spec.model, 17u);
    EXPECT_EQ(bench.modelName, "ThermoLog6");
    EXPECT_EQ(bench.build, 4711u);
    EXPECT_EQ(bench.major, 2);
    EXPECT_EQ(bench.minor, 10);
    EXPECT_EQ(bench.patch, 4u);
    EXPECT_EQ(bench.deviceName, "Bench");
    EXPECT_EQ(bench.error, aErrNone);
    EXPECT_EQ(bench.i2cAddress, 0);

    // Held elsewhere: what the enumeration found, and the error.
    const DeviceInfo& held = devices[1 - first];
    EXPECT_EQ(held.spec.serial_num, 0x0000BEEFu);
    EXPECT_EQ(held.spec.model, 13u);
    EXPECT_EQ(held.modelName, "IOBoard16");
    EXPECT_NE(held.error, aErrNone);
    EXPECT_EQ(held.build, 0u);
    EXPECT_EQ(held.major, 0);
    EXPECT_EQ(held.minor, 0);
    EXPECT_EQ(held.patch, 0u);
    EXPECT_TRUE(held.deviceName.empty());

    EXPECT_TRUE(display.messages.empty());
    EXPECT_TRUE(std::filesystem::is_empty(store.path())) << "discovery wrote into the store";

    RecordingDisplay list;
    _display_device_list(list, devices, USB);
    char heldRow[128];
    std::snprintf(heldRow, sizeof heldRow,
                  "    0000BEEF  [Error (%d): Device in use. Close all other Vexmoran associated "
                  "applications.]",
                  static_cast<int>(held.error));
    std::vector<std::string> rows = {
        "    40F5849A  06       06      ThermoLog6     2.10.4 (      4711)         Bench", heldRow};
    if (first == 1)
        std::swap(rows[0], rows[1]);
    EXPECT_EQ(list.Texts(UpdaterDisplayInterface::Info),
              (std::vector<std::string>{
                  "Discovered Devices: (USB)",
                  "    Device    Module   Router  Model          Firmware Version (Build)    "
                  "Device Name",
                  rows[0], rows[1]}));
}

// Link type 0: the router is found on USB (past another module), and the
// modules at I2C addresses 6 and 10 come back with the router's USB details.
TEST_F(UsbDiscovery, ModulesBehindARouterFoundOnUSB) {
    if (!g_isolated)
        GTEST_SKIP() << "no network namespace of its own: a search could reach real interfaces";
    startRouterSim("serial=00000F00,address=4,model=27",
                   {"serial=00000A06,i2c=6,address=6,model=13,version=2.10.4,build=606,name=Six",
                    "serial=00000A0A,i2c=10,address=10,model=14,version=2.9.1,build=1010"},
                   {"serial=0000002A,address=2,model=5"});
    plug(0x2A, 5);
    plug(0xF00, 27);

    FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_Network);
    const std::vector<DeviceInfo> devices = updater.Discover_QXNetwork_Devices(0xF00, INVALID);
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(DEBUG_Network);
    std::rewind(log);
    char line[128] = "";
    EXPECT_NE(std::fgets(line, sizeof line, log), nullptr);
    EXPECT_STREQ(line, "NETWORK: Found device [00000F00] via link type [1]\n");
    std::fclose(log);

    ASSERT_EQ(devices.size(), 2u);
    struct Want {
        uint32_t serial;
        uint16_t i2c;
        uint32_t model;
        const char* modelName;
        uint8_t minor;
        uint32_t patch, build;
    } wants[] = {{0xA06, 6, 13, "IOBoard16", 10, 4, 606}, {0xA0A, 10, 14, "ADC8Scope", 9, 1, 1010}};
    for (size_t i = 0; i < 2; ++i) {
        const DeviceInfo& d = devices[i];
        const Want& w = wants[i];
        SCOPED_TRACE(w.serial);
        EXPECT_EQ(d.spec.type, USB);
        EXPECT_EQ(d.spec.serial_num, w.serial);
        EXPECT_EQ(d.i2cAddress, w.i2c);
        EXPECT_EQ(d.spec.module, w.i2c);
        EXPECT_EQ(d.spec.router, 4u);
        EXPECT_EQ(d.spec.router_serial, 0xF00u);
        EXPECT_EQ(d.spec.t.usb.usb_serial, 0xF00u);
        EXPECT_EQ(d.spec.model, w.model);
        EXPECT_EQ(d.modelName, w.modelName);
        EXPECT_EQ(d.major, 2);
        EXPECT_EQ(d.minor, w.minor);
        EXPECT_EQ(d.patch, w.patch);
        EXPECT_EQ(d.build, w.build);
        EXPECT_TRUE(d.deviceName.empty()) << "names are not read behind a router";
        EXPECT_EQ(d.error, aErrNone);
    }
    EXPECT_TRUE(display.messages.empty());
    // Every even address but the router's own was probed, with routing to
    // the host on for the scan and off again after it.
    EXPECT_EQ(apitest::counter(*sim_, "00000F00", "i2c_writes"), 125);
    EXPECT_EQ(apitest::counter(*sim_, "00000F00", "i2c_acks"), 2);
    EXPECT_EQ(apitest::counter(*sim_, "00000F00", "route_to_me_on"), 1);
    EXPECT_EQ(apitest::counter(*sim_, "00000F00", "route_to_me_off"), 1);
}

// The router steps that end the scan with an empty list.
TEST_F(UsbDiscovery, RouterThatCannotBeUsed) {
    startRouterSim("serial=00000F00,address=4,model=27,without-options=20",
                   {"serial=00000A06,i2c=6,address=6"}, {"serial=00000F01,address=8,model=27"});
    plug(0xF00, 27);
    plug(0xF01, 27).setBusy(true);

    // Not attached: nothing shown.
    EXPECT_TRUE(updater.Discover_QXNetwork_Devices(0x12345678, USB).empty());
    EXPECT_TRUE(display.messages.empty());

    // Held by another program: the connection fails.
    EXPECT_TRUE(updater.Discover_QXNetwork_Devices(0xF01, USB).empty());
    // No routing to the host: the module's error for the unknown option.
    EXPECT_TRUE(updater.Discover_QXNetwork_Devices(0xF00, USB).empty());

    const auto errors = display.Texts(UpdaterDisplayInterface::Error);
    ASSERT_EQ(errors.size(), 2u);
    int code = 0;
    char rest[64] = "";
    EXPECT_EQ(std::sscanf(errors[0].c_str(), "Error %d on %63[^\n]", &code, rest), 2);
    EXPECT_NE(code, 0);
    EXPECT_STREQ(rest, "connectFromSpec");
    EXPECT_EQ(std::sscanf(errors[1].c_str(), "Error %d on %63[^\n]", &code, rest), 2);
    EXPECT_NE(code, 0);
    EXPECT_STREQ(rest, "route to me");
    EXPECT_TRUE(display.Texts(UpdaterDisplayInterface::Info).empty());
}

}  // namespace

int main(int argc, char** argv) {
    // A network namespace of its own (needs root): only a loopback interface
    // that is down.
    g_isolated = unshare(CLONE_NEWNET) == 0;
    usbsim::ReexecUnderPreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
