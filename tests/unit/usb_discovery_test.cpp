// USB module discovery through the real libusb, against simulated devices in
// a umockdev testbed.
#include <gtest/gtest.h>

#include <vector>

#include "unit/usb_support.h"
#include "unix/aDiscovery.h"
#include "unix/aStreamUSB.h"

using usbtest::Ask;
using usbtest::Bytes;

namespace {

struct Found {
    std::vector<linkSpec> specs;
    int acceptFirst = 1000;  // accept this many
    int stopAfter = 1000;    // go on after fewer than this many
};

bool sCollect(const linkSpec* spec, bool* accepted, void* ref) {
    Found* found = static_cast<Found*>(ref);
    found->specs.push_back(*spec);
    *accepted = static_cast<int>(found->specs.size()) <= found->acceptFirst;
    return static_cast<int>(found->specs.size()) < found->stopAfter;
}

usbsim::DeviceSpec Dev(uint16_t product, const char* serial, uint16_t vendor = 0) {
    usbsim::DeviceSpec spec;
    spec.product = product;
    spec.serial = serial;
    spec.vendor = vendor;
    return spec;
}

class UsbDiscovery : public usbtest::UsbBed {};

TEST_F(UsbDiscovery, ReportsModulesWithTheirFields) {
    bed_->add(Dev(0x0011, "0000002A"));
    bed_->add(Dev(0x8011, "00000099"));                        // bit 15: not a module
    bed_->add(Dev(0x0011, "00000098", QX_USB_VENDOR_ID ^ 1));  // another maker
    bed_->add(Dev(0x7FFF, "40F5849A"));
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    const linkSpec& first = found.specs[0].serial_num == 42 ? found.specs[0] : found.specs[1];
    const linkSpec& second = found.specs[0].serial_num == 42 ? found.specs[1] : found.specs[0];

    linkSpec expected = {};
    expected.type = USB;
    expected.serial_num = 42;
    expected.t.usb.usb_serial = 42;
    expected.model = 0x11;
    EXPECT_EQ(memcmp(&first, &expected, sizeof expected), 0) << "every other byte is zero";
    EXPECT_EQ(second.serial_num, 0x40F5849Au);
    EXPECT_EQ(second.t.usb.usb_serial, 0x40F5849Au);
    EXPECT_EQ(second.model, 0xFFu);
}

TEST_F(UsbDiscovery, OnlyEightCharacterHexSerialsCount) {
    const char* skipped[] = {"000002A", "00000002A", "", "0000G02A"};
    for (const char* serial : skipped) {
        bed_->add(Dev(1, serial));
    }
    bed_->add(Dev(1, "0000abcd"));
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), 1);
    ASSERT_EQ(found.specs.size(), 1u);
    EXPECT_EQ(found.specs[0].serial_num, 0xABCDu);
}

TEST_F(UsbDiscovery, TheCallbackStopsAndAccepts) {
    for (const char* serial : {"00000001", "00000002", "00000003"}) {
        bed_->add(Dev(1, serial));
    }
    struct Case {
        int acceptFirst, stopAfter;
        uint8_t count;
        size_t calls;
    };
    const Case cases[] = {
        {1000, 1, 1, 1},  // stops at once, accepted
        {0, 1, 0, 1},     // stops at once, not accepted
        {2, 1000, 2, 3},  // all seen, two accepted
        {1000, 1000, 3, 3},
    };
    for (const Case& c : cases) {
        Found found;
        found.acceptFirst = c.acceptFirst;
        found.stopAfter = c.stopAfter;
        EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &found, 0), c.count);
        EXPECT_EQ(found.specs.size(), c.calls);
    }
}

TEST_F(UsbDiscovery, TypesWithoutEnumerationReportNothing) {
    bed_->add(Dev(1, "00000001"));
    for (uint32_t type : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 0xFFFFFFFFu}) {
        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), sCollect, &found, 0), 0)
            << "type " << type;
        EXPECT_TRUE(found.specs.empty());
    }
}

TEST_F(UsbDiscovery, FindModuleBySerialAndFirstModule) {
    bed_->add(Dev(0x8001, "00000005"));  // not a module: never found
    bed_->add(Dev(0x0017, "40F5849A"));
    bed_->add(Dev(0x0004, "0000ABCD"));

    linkSpec* spec = aDiscovery_FindModule(USB, 0x0000ABCD, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, USB);
    EXPECT_EQ(spec->serial_num, 0xABCDu);
    EXPECT_EQ(spec->t.usb.usb_serial, 0xABCDu);
    EXPECT_EQ(spec->model, 4u);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);

    EXPECT_EQ(aDiscovery_FindModule(USB, 5, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x12345678, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindModule(SERIAL, 0x0000ABCD, 0), nullptr);

    spec = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_TRUE(spec->serial_num == 0x40F5849A || spec->serial_num == 0xABCD);
    aLinkSpec_Destroy(&spec);
}

TEST_F(UsbDiscovery, FirstModuleSkipsSerialNumberZero) {
    bed_->add(Dev(1, "00000000"));
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);
    freshBed();
    bed_->add(Dev(1, "00000000"));
    bed_->add(Dev(1, "00000007"));
    bed_->add(Dev(1, "00000000"));
    linkSpec* spec = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_num, 7u);
    aLinkSpec_Destroy(&spec);
}

// Enumeration opens devices only to read their serial numbers: it claims
// nothing, and a stream opened from what it found carries packets.
TEST_F(UsbDiscovery, AFoundModuleCanBeReached) {
    startSim({"serial=40F5849A,address=6,model=17"});
    usbsim::DeviceSpec shape;
    shape.product = 17;
    usbsim::Device& device = plugModule(0x40F5849A, shape);
    linkSpec* spec = aDiscovery_FindModule(USB, 0x40F5849A, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->model, 17u);
    EXPECT_EQ(device.claims(), 0);

    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(spec->serial_num, &stream), aErrNone);
    EXPECT_EQ(Ask(stream, {0xAD, 0x00}), (Bytes{6, 0}));
    EXPECT_EQ(Ask(stream, {6, 3, 3, 0x40 | 9, 0x20}),
              (Bytes{6, 7, 3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    aLinkSpec_Destroy(&spec);
}

// After a renewal of the libusb context, discovery works on the new one.
TEST_F(UsbDiscovery, RenewedContextFindsModulesAgain) {
    bed_->add(Dev(1, "0000002A"));
    Found before;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &before, 0), 1);
    Quillarex_libusb_exit();
    Quillarex_libusb_exit();
    bed_->add(Dev(1, "0000002B"));
    Found after;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, sCollect, &after, 0), 2);
}

}  // namespace

int main(int argc, char** argv) {
    usbsim::ReexecUnderPreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
