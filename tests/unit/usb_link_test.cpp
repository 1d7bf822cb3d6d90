// A link to a module attached by USB, end to end: the link engine over the
// USB stream, through the real libusb against a simulated device in a
// umockdev testbed, with the module simulator behind its bulk endpoints.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "unit/usb_support.h"
#include "unix/aDiscovery.h"

namespace {

const uint32_t kSerial = 0x0000002A;

// The answer to a get of the system entity's serial number option.
bool _is_serial_report(const aPacket* packet, const void*) {
    return packet->address == 4 && packet->dataSize == 7 && packet->data[0] == 3 &&
           (packet->data[1] & 0x3F) == 9;
}

class UsbLink : public usbtest::UsbBed {};

TEST_F(UsbLink, SynchronisesAndCarriesARequestAndItsAnswer) {
    startSim({"serial=0000002A,address=4,model=17"});
    usbsim::Device& device = plugModule(kSerial);

    uint32_t id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(device.claimed());
    EXPECT_EQ(aLink_GetStatus(id), uint32_t(aLINK_STATUS_RUNNING));

    // A second user of the same module shares the link.
    uint32_t again = aLink_CreateUSB(kSerial);
    EXPECT_EQ(again, id);

    const uint8_t get[] = {3, 0x40 | 9, 0x20};
    aPacketRef request = aPacket_CreateWithData(4, sizeof get, get);
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
    aPacket_Destroy(&request);

    aPacketRef answer = aLink_AwaitFirst(id, _is_serial_report, nullptr, 2000);
    ASSERT_NE(answer, nullptr);
    const uint32_t serial = uint32_t(answer->data[3]) << 24 | uint32_t(answer->data[4]) << 16 |
                            uint32_t(answer->data[5]) << 8 | answer->data[6];
    EXPECT_EQ(serial, kSerial);
    aPacket_Destroy(&answer);

    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_TRUE(device.claimed()) << "the first destroy must keep the shared link up";
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_FALSE(device.claimed());
}

// Enumeration opens every module to read its serial string, also one that a
// link holds open; the link's transfers must stay its own.
TEST_F(UsbLink, EnumerationWhileALinkHoldsTheModule) {
    startSim({"serial=0000002A,address=4,model=17"});
    plugModule(kSerial);
    uint32_t id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0u);
    linkSpec* spec = aDiscovery_FindModule(USB, kSerial, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_num, kSerial);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST_F(UsbLink, ModuleThatIsNotAttachedGivesNoLink) {
    startSim({"serial=0000002A,address=4,model=17"});
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
}

}  // namespace

int main(int argc, char** argv) {
    usbsim::ReexecUnderPreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
