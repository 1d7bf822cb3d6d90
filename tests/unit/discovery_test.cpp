// Discovery on this host as it is, and the decoding of TCP/IP discovery
// answers. Nothing here sends a discovery request: those tests run inside
// network namespaces (tests/e2e/discovery_tcpip.sh).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "unix/aDiscovery.h"
#include "unix/aStreamUSB.h"
#include "unix/qxusb.h"

namespace {

uint32_t Ip(const char* text) {
    uint32_t address = 0;
    inet_pton(AF_INET, text, &address);
    return address;
}

bool sCount(const linkSpec*, bool* accepted, void* ref) {
    ++*static_cast<int*>(ref);
    *accepted = true;
    return true;
}

// On a host without the family's modules (or without any USB bus) USB
// discovery and opening find nothing, quietly.
TEST(DiscoveryHost, NoUsbModulesAndNoConsoleText) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int calls = 0;
    const uint8_t count = aDiscovery_EnumerateModules(USB, sCount, &calls, 0);
    linkSpec* found = aDiscovery_FindModule(USB, 0x40F5849A, 0);
    linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
    aStreamRef stream = nullptr;
    const aErr opened = aStream_CreateUSB(0x40F5849A, &stream);
    Quillarex_libusb_exit();
    Quillarex_libusb_exit();
    const int again = aDiscovery_EnumerateModules(USB, sCount, &calls, 0);
    Quillarex_libusb_exit();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(count, 0);
    EXPECT_EQ(again, 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(opened, aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

TEST(DiscoveryReply, DecodesTheAnswerByteForByte) {
    const uint8_t reply[16] = {0x00, 0x05, 0xE8, 0x03, 0x01, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00};
    linkSpec spec;
    memset(&spec, 0xEE, sizeof spec);
    _aDiscovery_ReplyToSpec(reply, Ip("192.168.1.20"), &spec);

    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.module, 5u);
    EXPECT_EQ(spec.router, 5u);
    EXPECT_EQ(spec.t.ip.ip_port, 1000u);
    EXPECT_EQ(spec.serial_num, 1u);
    EXPECT_EQ(spec.router_serial, 1u);
    EXPECT_EQ(spec.model, 42u);
    // The record as it travels: little-endian fields, the address in
    // network order.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
    const uint8_t head[32] = {2, 0, 0, 0, 1,  0, 0, 0, 5,   0,   0, 0,  5,    0, 0, 0,
                              1, 0, 0, 0, 42, 0, 0, 0, 192, 168, 1, 20, 0xE8, 3, 0, 0};
    EXPECT_EQ(memcmp(bytes, head, sizeof head), 0);
    for (size_t i = sizeof head; i < sizeof spec; ++i) {
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
}

TEST(DiscoveryReply, ShortAnswerLeavesModel255) {
    // As the receive buffer is prepared: zero, byte 12 set to 255; then
    // 8 bytes arrive.
    uint8_t buffer[16] = {0};
    buffer[12] = 255;
    const uint8_t received[8] = {0, 4, 0x10, 0x27, 0x9A, 0x84, 0xF5, 0x40};
    memcpy(buffer, received, sizeof received);
    linkSpec spec;
    _aDiscovery_ReplyToSpec(buffer, Ip("198.51.100.2"), &spec);
    EXPECT_EQ(spec.model, 255u);
    EXPECT_EQ(spec.serial_num, 0x40F5849Au);
    EXPECT_EQ(spec.t.ip.ip_port, 10000u);
    EXPECT_EQ(spec.t.ip.ip_address, Ip("198.51.100.2"));
}

TEST(DiscoveryDuplicates, SameTypeSerialAddressAndPortIsNotNew) {
    linkSpec known[2] = {};
    known[0].type = NIMBUS_USB;
    known[0].serial_num = 0x40F5849A;
    known[0].t.ip.ip_address = Ip("127.0.0.1");
    known[0].t.ip.ip_port = 5000;
    known[1] = known[0];
    known[1].serial_num = 7;

    struct Case {
        const char* what;
        void (*change)(linkSpec&);
        bool isNew;
    };
    const Case cases[] = {
        {"identical", [](linkSpec&) {}, false},
        {"other model and module", [](linkSpec& s) { s.model = 9, s.module = 4; }, false},
        {"other serial", [](linkSpec& s) { s.serial_num = 8; }, true},
        {"other address", [](linkSpec& s) { s.t.ip.ip_address = Ip("198.51.100.1"); }, true},
        {"other port", [](linkSpec& s) { s.t.ip.ip_port = 5001; }, true},
        {"other type", [](linkSpec& s) { s.type = NIMBUS_TCPIP; }, true},
    };
    for (const Case& c : cases) {
        linkSpec spec = known[0];
        c.change(spec);
        EXPECT_EQ(_isNewSpec(known, 2, &spec), c.isNew) << c.what;
    }
    EXPECT_TRUE(_isNewSpec(known, 0, &known[0])) << "empty list";
}

TEST(DiscoveryTypes, UnknownAndSerialTypesReportNothing) {
    // None of these types sends anything anywhere.
    for (uint32_t type : {0u, 3u, 8u, 200u}) {
        int calls = 0;
        EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), sCount, &calls, 0), 0);
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(aDiscovery_FindModule(static_cast<linkType>(type), 1, 0), nullptr);
    }
}

}  // namespace
