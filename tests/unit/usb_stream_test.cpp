// USB streams through the real libusb: simulated devices in a umockdev
// testbed, with the module simulator behind their bulk endpoints.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/pty_pair.h"
#include "unit/usb_support.h"
#include "unix/aStreamUSB.h"

using usbtest::Ask;
using usbtest::Bytes;
using usbtest::ReadWithin;

namespace {

const uint32_t kSerial = 0x0000002A;
const Bytes kSync = {0xAD, 0x00};
// UEI get of the system entity's serial number option, to the module at 4.
const Bytes kGetSerial = {4, 3, 3, 0x40 | 9, 0x20};

class UsbStream : public usbtest::UsbBed {};

TEST_F(UsbStream, CarriesTheSyncExchangeAndAGetToTheModule) {
    startSim({"serial=0000002A,address=4,model=17"});
    usbsim::Device& device = plugModule(kSerial);

    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(device.claimed());

    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Ask(stream, kSync), (Bytes{4, 0})) << "sync request " << i;
    }
    EXPECT_EQ(Ask(stream, kGetSerial), (Bytes{4, 7, 3, 9, 0, 0x00, 0x00, 0x00, 0x2A}));

    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_FALSE(device.claimed());
    EXPECT_EQ(device.releases(), 1);
}

TEST_F(UsbStream, ParametersAndModulesThatAreNotThere) {
    aStreamRef stream = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);

    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNotFound) << "empty bus";
    EXPECT_EQ(stream, nullptr);

    usbsim::DeviceSpec other;
    other.serial = "0000002B";
    bed_->add(other);
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNotFound) << "another module only";
    EXPECT_EQ(stream, nullptr);
}

// Devices that carry the wanted serial number but cannot be used, or are no
// modules at all.
TEST_F(UsbStream, OpenFailuresByDevice) {
    struct Case {
        const char* what;
        void (*shape)(usbsim::DeviceSpec&);
        int claimError;
        aErr expected;
    };
    const Case cases[] = {
        {"interface claimed elsewhere", [](usbsim::DeviceSpec&) {}, EBUSY, aErrBusy},
        {"vanished while claiming", [](usbsim::DeviceSpec&) {}, ENODEV, aErrBusy},
        {"claim refused otherwise", [](usbsim::DeviceSpec&) {}, EIO, aErrUnknown},
        {"no vendor-specific data interface",
         [](usbsim::DeviceSpec& s) { s.interfaceSubClass = 0x00; }, 0, aErrConfiguration},
        {"no OUT endpoint", [](usbsim::DeviceSpec& s) { s.withOutEndpoint = false; }, 0,
         aErrConfiguration},
        {"no IN endpoint", [](usbsim::DeviceSpec& s) { s.withInEndpoint = false; }, 0,
         aErrConfiguration},
        {"product id with bit 15 set", [](usbsim::DeviceSpec& s) { s.product = 0x8000; }, 0,
         aErrNotFound},
        {"another vendor", [](usbsim::DeviceSpec& s) { s.vendor = QX_USB_VENDOR_ID + 1; }, 0,
         aErrNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        freshBed();
        usbsim::DeviceSpec spec;
        c.shape(spec);
        usbsim::Device& device = bed_->add(spec);
        device.setClaimError(c.claimError);
        aStreamRef stream = nullptr;
        EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), c.expected);
        EXPECT_EQ(stream, nullptr);
        EXPECT_FALSE(device.claimed());
    }
}

// A busy module is not skipped in favour of a later one: the search ends at
// the first device with the serial number.
TEST_F(UsbStream, BusyModuleCanBeOpenedOnceFreed) {
    usbsim::Device& device = bed_->add({});
    device.setBusy(true);
    aStreamRef stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrBusy);
    device.setBusy(false);
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(UsbStream, WritesAreCutIntoChunksOfTheEndpointSizeAndNever512) {
    struct Case {
        uint16_t maxPacket;
        size_t bytes;
        std::vector<size_t> transfers;
    };
    const Case cases[] = {
        {512, 1024, {511, 511, 2}},
        {512, 511, {511}},
        {64, 150, {64, 64, 22}},
        {64, 28, {28}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes, max packet " << c.maxPacket);
        freshBed();
        usbsim::DeviceSpec spec;
        spec.outMaxPacket = c.maxPacket;
        usbsim::Device& device = bed_->add(spec);
        aStreamRef stream = nullptr;
        ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
        Bytes data(c.bytes);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        EXPECT_EQ(aStream_Write(stream, data.data(), data.size()), aErrNone);
        EXPECT_EQ(device.outTransferSizes(), c.transfers);
        EXPECT_EQ(device.outBytes(), data);
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

TEST_F(UsbStream, ReadsHandOutOneTransferByteByByte) {
    usbsim::Device& device = bed_->add({});
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    Bytes sent(300);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(255 - i);
    }
    device.feedIn(sent);
    Bytes got;
    ASSERT_EQ(ReadWithin(stream, got, sent.size()), aErrNone);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

// An idle module: the read waits for the transfer's time-out and reports no
// byte, without an error.
TEST_F(UsbStream, IdleReadWaitsAndReportsNoByte) {
    bed_->add({});
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    uint8_t byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

// The driver layer's error tolerance, seen through its record.
class UsbDriver : public usbtest::UsbBed {
  protected:
    qxusb* openDriver() {
        qxusb* record = qxusb_create_usb(QXUSB_MODE_LIBUSB);
        EXPECT_NE(record, nullptr);
        EXPECT_EQ(record->state, uint32_t(QXUSB_STATE_CREATED));
        EXPECT_EQ(qxusb_open_quillarex_device(record, "0000002A"), aErrNone);
        EXPECT_EQ(record->state, uint32_t(QXUSB_STATE_READY));
        return record;
    }
};

TEST_F(UsbDriver, FourFailedReadsAreHiddenAndTheFifthFailsForGood) {
    usbsim::Device& device = bed_->add({});
    qxusb* record = openDriver();
    uint8_t byte = 0;

    device.failIn(5, -EPROTO);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrNotReady) << "hidden error " << i;
        EXPECT_EQ(record->state, uint32_t(QXUSB_STATE_READY));
    }
    EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrIO);
    EXPECT_EQ(record->state, uint32_t(QXUSB_STATE_FAILED));

    // The module answers again, but the record stays failed.
    device.feedIn({0x11, 0x22});
    EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrIO);
    const uint8_t packet[] = {0xAD, 0x00};
    EXPECT_EQ(qxusb_write_to_device(record, packet, sizeof packet), aErrIO);
    EXPECT_TRUE(device.outBytes().empty());

    EXPECT_EQ(qxusb_close_quillarex_device(record), aErrNone);
    EXPECT_EQ(record->state, uint32_t(QXUSB_STATE_CLOSED));
    EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrConnection);
    EXPECT_EQ(qxusb_write_to_device(record, packet, sizeof packet), aErrConnection);
    EXPECT_EQ(qxusb_destroy(&record), aErrNone);
    EXPECT_EQ(record, nullptr);
}

TEST_F(UsbDriver, AGoodReadEndsTheRunOfErrors) {
    usbsim::Device& device = bed_->add({});
    qxusb* record = openDriver();
    uint8_t byte = 0;

    device.failIn(3, -EPROTO);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrNotReady);
    }
    device.feedIn({0x5A});
    EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrNone);
    EXPECT_EQ(byte, 0x5A);

    device.failIn(4, -EPROTO);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrNotReady) << "hidden again " << i;
    }
    device.feedIn({0x5B});
    EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrNone);
    EXPECT_EQ(byte, 0x5B);
    EXPECT_EQ(record->state, uint32_t(QXUSB_STATE_READY));
    EXPECT_EQ(qxusb_destroy(&record), aErrNone);
}

TEST_F(UsbDriver, AStalledInEndpointIsClearedAndIsNoError) {
    usbsim::Device& device = bed_->add({});
    qxusb* record = openDriver();
    uint8_t byte = 0;
    device.failIn(6, -EPIPE);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(qxusb_get_from_device(record, &byte), aErrNotReady);
    }
    EXPECT_EQ(device.clearHalts(), 6);
    EXPECT_EQ(record->state, uint32_t(QXUSB_STATE_READY));
    EXPECT_EQ(qxusb_destroy(&record), aErrNone);
}

TEST_F(UsbDriver, AWriteGivesUpAfterTenFailedTransfers) {
    usbsim::Device& device = bed_->add({});
    qxusb* record = openDriver();
    const uint8_t packet[] = {0xAD, 0x00};
    device.failOut(10, -EPROTO);
    EXPECT_EQ(qxusb_write_to_device(record, packet, sizeof packet), aErrWrite);
    device.failOut(9, -EPROTO);
    EXPECT_EQ(qxusb_write_to_device(record, packet, sizeof packet), aErrNone);
    EXPECT_EQ(device.outBytes(), (Bytes{0xAD, 0x00}));
    EXPECT_EQ(qxusb_destroy(&record), aErrNone);
}

TEST_F(UsbDriver, ModeAndStateChecks) {
    qxusb* kernel = qxusb_create_usb(QXUSB_MODE_KERNEL);
    qxusb* usb = qxusb_create_usb(QXUSB_MODE_LIBUSB);
    uint8_t byte = 0;
    EXPECT_EQ(qxusb_open_quillarex_USBlib_device(kernel, "0000002A"), aErrMode);
    EXPECT_EQ(qxusb_open_quillarex_kernel_device(usb, "0000002A"), aErrMode);
    EXPECT_EQ(qxusb_get_from_device(usb, &byte), aErrNotReady) << "created, not opened";
    EXPECT_EQ(qxusb_close_quillarex_device(usb), aErrMode) << "nothing open";
    EXPECT_EQ(qxusb_close_quillarex_device(kernel), aErrNone) << "nothing open";
    EXPECT_EQ(qxusb_destroy(&kernel), aErrNone);
    EXPECT_EQ(qxusb_destroy(&usb), aErrNone);
    EXPECT_EQ(qxusb_destroy(&usb), aErrParam);
    EXPECT_EQ(qxusb_destroy(nullptr), aErrParam);
}

// A module that leaves the bus and comes back: the old stream fails, a new
// libusb context finds the module again.
TEST_F(UsbStream, ModuleThatDisappearsAndComesBack) {
    startSim({"serial=0000002A,address=4"});
    usbsim::Device& first = plugModule(kSerial);
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    EXPECT_EQ(Ask(stream, kSync), (Bytes{4, 0}));

    bed_->remove(first);
    uint8_t byte;
    aErr e = aErrNone;
    int hidden = 0;
    while ((e = aStream_Read(stream, &byte, 1)) == aErrNotReady && hidden < 10) {
        hidden++;
    }
    EXPECT_EQ(e, aErrIO);
    EXPECT_EQ(hidden, 4);
    aStream_Destroy(&stream);

    Quillarex_libusb_exit();
    EXPECT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNotFound);
    Quillarex_libusb_exit();
    Quillarex_libusb_exit();  // twice in a row is harmless

    usbsim::Device& again = plugModule(kSerial);
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    EXPECT_TRUE(again.claimed());
    EXPECT_EQ(Ask(stream, kSync), (Bytes{4, 0}));
    EXPECT_EQ(Ask(stream, kGetSerial), (Bytes{4, 7, 3, 9, 0, 0x00, 0x00, 0x00, 0x2A}));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

// The kernel driver's character device, when present, is used instead of
// libusb, even while the module is also visible to libusb. Here the device
// node is a pseudo-terminal inside the testbed's /dev.
TEST_F(UsbStream, KernelDriverDeviceIsPreferred) {
    usbsim::DeviceSpec spec;
    spec.serial = "0000ABCD";
    usbsim::Device& device = bed_->add(spec);
    qxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    termios raw;
    ASSERT_EQ(tcgetattr(pty.slave(), &raw), 0);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &raw), 0);
    const std::string node = bed_->devPath("quillarex.0000ABCD");
    ASSERT_EQ(symlink(pty.slavePath().c_str(), node.c_str()), 0);
    EXPECT_TRUE(qxusb_is_kernel_driver_installed(0xABCD));
    EXPECT_FALSE(qxusb_is_kernel_driver_installed(0xABCE));

    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);
    EXPECT_EQ(device.claims(), 0);
    EXPECT_EQ(aStream_Write(stream, kGetSerial.data(), kGetSerial.size()), aErrNone);
    EXPECT_EQ(pty.Receive(kGetSerial.size(), std::chrono::milliseconds(2000)), kGetSerial);
    ASSERT_TRUE(pty.Send({4, 0}));
    Bytes got;
    EXPECT_EQ(ReadWithin(stream, got, 2), aErrNone);
    EXPECT_EQ(got, (Bytes{4, 0}));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_TRUE(device.outBytes().empty());
}

}  // namespace

int main(int argc, char** argv) {
    usbsim::ReexecUnderPreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
