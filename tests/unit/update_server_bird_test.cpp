// The update server's BIRD identity reader: what it reads from good files and
// that it refuses damaged ones with a reason.
#include <gtest/gtest.h>

#include "update-server/bird_reader.h"
#include "update-server/testing/bird_fixture.h"

namespace fx = update_server::testing;
using update_server::BirdIdentity;
using update_server::ReadBirdIdentity;

namespace {

std::vector<uint8_t> WithInfo(const std::vector<uint8_t>& info) {
    return fx::FileFrom(fx::BlockData({{0x01, {0, 0, 0, 0, 9, 9}}, {0x04, info}}));
}

}  // namespace

TEST(update_server_bird, ReadsTheIdentityFields) {
    BirdIdentity id;
    std::string error;
    ASSERT_TRUE(
        ReadBirdIdentity(fx::UpdateFile("4711", "2.10.3", "40F5849A", "ThermoLog6"), id, error))
        << error;
    EXPECT_EQ(id.build, 4711u);
    EXPECT_EQ(id.version, "2.10.3");
    EXPECT_EQ(id.serial, 0x40F5849Au);
    EXPECT_EQ(id.model, "ThermoLog6");

    // A blank serial field fits any module; flag bits on the block type and
    // a second identity block do not matter.
    const std::vector<uint8_t> file =
        fx::FileFrom(fx::BlockData({{0x84, fx::InfoData("12", "1.0.0", "", "HubPro8 X")},
                                    {0x04, fx::InfoData("13", "9.9.9", "FFFFFFFF", "Other")}}));
    ASSERT_TRUE(ReadBirdIdentity(file, id, error)) << error;
    EXPECT_EQ(id.build, 12u);
    EXPECT_EQ(id.serial, 0u);
    EXPECT_EQ(id.model, "HubPro8 X");
}

TEST(update_server_bird, RefusesDamagedFiles) {
    const std::vector<uint8_t> good = fx::UpdateFile("4711", "2.10.3", "", "ThermoLog6");
    std::vector<uint8_t> badSignature = good;
    badSignature[0] = 'B';
    std::vector<uint8_t> trailing = good;
    trailing.push_back(0);
    const std::vector<uint8_t> cut(good.begin(), good.end() - 5);
    const std::vector<uint8_t> info = fx::InfoData("4711", "2.10.3", "", "ThermoLog6");
    std::vector<uint8_t> overlong = fx::BlockData({{0x04, info}});
    overlong[8] = 0x41;  // length byte: the block now claims 65 bytes
    std::vector<uint8_t> controlChar = info;
    controlChar[20] = '\t';
    const std::vector<uint8_t> shortInfo(info.begin(), info.begin() + 48);
    std::vector<uint8_t> halfHeader = fx::BlockData({{0x04, info}});
    halfHeader.insert(halfHeader.end() - 4, {0x01, 0x00});

    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        const char* reason;
    };
    const Case cases[] = {
        {"six bytes", {'b', 'i', 'r', 'd', 1, 1}, "too short"},
        {"signature", badSignature, "signature"},
        {"version byte 0", fx::FileFrom(fx::BlockData({{0x04, info}}), 1, 0), "format version"},
        {"not zlib", {'b', 'i', 'r', 'd', 1, 1, 'x', 'y', 'z', 'z', 'y'}, "damaged"},
        {"stream cut short", cut, "cut short"},
        {"bytes after stream", trailing, "follow the zlib stream"},
        {"no checksum", fx::FileFrom({0, 0, 0, 0}), "too short"},
        {"more blocks announced", fx::FileFrom(fx::BlockData({{0x04, info}}, 3)), "announces 3"},
        {"fewer blocks announced", fx::FileFrom(fx::BlockData({{0x04, info}}, 0)), "announces 0"},
        {"block past the end", fx::FileFrom(overlong), "longer than the data"},
        {"incomplete block header", fx::FileFrom(halfHeader), "incomplete header"},
        {"no identity block", fx::FileFrom(fx::BlockData({{0x01, {0, 0, 0, 0}}})), "no identity"},
        {"identity of 48 bytes", WithInfo(shortInfo), "not 64"},
        {"build not decimal", WithInfo(fx::InfoData("47x1", "2.10.3", "", "M")),
         "no decimal build"},
        {"build 0", WithInfo(fx::InfoData("0", "2.10.3", "", "M")), "not 1 to 4294967295"},
        {"build too big", WithInfo(fx::InfoData("4294967296", "1.0.0", "", "M")), "not 1 to"},
        {"no version", WithInfo(fx::InfoData("1", "", "", "M")), "no version"},
        {"serial not hex", WithInfo(fx::InfoData("1", "1.0.0", "40F5849G", "M")), "serial"},
        {"no model", WithInfo(fx::InfoData("1", "1.0.0", "", "")), "no model"},
        {"control character", WithInfo(controlChar), "printable"},
    };
    for (const Case& c : cases) {
        BirdIdentity id;
        id.build = 99;
        std::string error;
        EXPECT_FALSE(ReadBirdIdentity(c.file, id, error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(id.build, 99u) << c.name << ": identity changed on failure";
    }
}
