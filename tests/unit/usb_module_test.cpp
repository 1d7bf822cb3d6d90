// Modules found and connected over USB, against simulated modules behind
// simulated USB devices: by serial number, by model, through the fallback
// from a shared type, and the example of reading a module's identity.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/aVersion.h"
#include "unit/api_support.h"
#include "unit/usb_support.h"

using apitest::directOnly;
using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::NimbusConfig;
using Vexmoran::Quillarex::SystemClass;

namespace {

class UsbModule : public usbtest::UsbBed {
  protected:
    void plug(uint32_t serial, uint16_t product) {
        usbsim::DeviceSpec shape;
        shape.product = product;
        plugModule(serial, shape);
    }
};

// Connects by serial number and prints what the updater's device list shows.
TEST_F(UsbModule, ConnectsBySerialNumberAndReadsItsIdentity) {
    startSim({"serial=40F5849A,address=6,model=17,version=2.14.7,build=4711,name=Bench"});
    plug(0x40F5849A, 17);

    Module module(0, 0);
    ASSERT_EQ(module.setConfig(directOnly()), aErrNone);
    ASSERT_EQ(module.connect(USB, 0x40F5849A), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    linkSpec spec{};
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, USB);
    EXPECT_EQ(spec.serial_num, 0x40F5849Au);

    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0, version = 0, build = 0;
    uint8_t model = 0;
    uint8_t name[64];
    size_t length = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    ASSERT_EQ(system.getModel(&model), aErrNone);
    ASSERT_EQ(system.getVersion(&version), aErrNone);
    ASSERT_EQ(module.getBuild(&build), aErrNone);
    ASSERT_EQ(system.getName(name, sizeof name, &length), aErrNone);
    const std::string text(reinterpret_cast<char*>(name), length);
    char versionText[32];
    aVersion_ParseString(version, versionText, sizeof versionText);
    std::printf("serial %08X model %u version %s build %u name %s\n", serial, model, versionText,
                build, text.c_str());
    EXPECT_STREQ(versionText, "2.14.7");
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(model, 17);
    EXPECT_EQ(version, 0x2E000007u);
    EXPECT_EQ(build, 4711u);
    EXPECT_EQ(text, "Bench");
}

TEST_F(UsbModule, SerialNumberZeroTakesTheFirstOfTheModel) {
    startSim({"serial=0000000D,address=2,model=13", "serial=00000011,address=4,model=17"});
    plug(0x0D, 13);
    plug(0x11, 17);

    Module missing(0, 99);
    ASSERT_EQ(missing.setConfig(directOnly()), aErrNone);
    EXPECT_EQ(missing.discoverAndConnect(USB, 0), aErrNotFound);
    EXPECT_EQ(missing.connect(USB, 0x12345678), aErrNotFound);
    EXPECT_FALSE(missing.isConnected());

    Module byModel(0, 17);
    ASSERT_EQ(byModel.setConfig(directOnly()), aErrNone);
    ASSERT_EQ(byModel.discoverAndConnect(USB, 0), aErrNone);
    EXPECT_EQ(byModel.getModuleAddress(), 4);
}

// A shared module that no server shares falls back to USB once, when the
// configuration allows it.
TEST_F(UsbModule, FallbackFromASharedTypeToUSB) {
    startSim({"serial=0000002A,address=8,model=5"});
    plug(0x2A, 5);

    Module strict(0, 0);
    ASSERT_EQ(strict.setConfig(directOnly()), aErrNone);
    EXPECT_EQ(strict.connect(NIMBUS, 0x2A), aErrNotFound);

    Module lenient(0, 0);
    NimbusConfig config = directOnly();
    config.fallback = true;
    ASSERT_EQ(lenient.setConfig(config), aErrNone);
    ASSERT_EQ(lenient.connect(NIMBUS, 0x2A), aErrNone);
    EXPECT_EQ(lenient.getModuleAddress(), 8);
    linkSpec spec{};
    ASSERT_EQ(lenient.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, USB);
}

}  // namespace

int main(int argc, char** argv) {
    usbsim::ReexecUnderPreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
