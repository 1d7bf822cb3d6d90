// The simulator's own serial framing, module specifications and faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "modsim/cobs.h"
#include "modsim/config.h"
#include "modsim/fault.h"
#include "unit/modsim_host.h"

using namespace modsim_test;

TEST(modsimCodec, SerialFramesMatchKnownBytes) {
    const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(modsim::crc8(digits.data(), digits.size()), 0xA1);
    EXPECT_EQ(modsim::crc8(nullptr, 0), 0);
    EXPECT_EQ(modsim::encodeFrame(modsim::Packet(4, {})), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
    EXPECT_EQ(modsim::cobsEncode({0}), (Bytes{1, 1}));
    EXPECT_FALSE(modsim::cobsDecode({5, 1, 2}));  // a code pointing past the end
    Bytes long_(300);
    for (size_t i = 0; i < long_.size(); ++i)
        long_[i] = uint8_t(i % 7);
    EXPECT_EQ(*modsim::cobsDecode(modsim::cobsEncode(long_)), long_);
}

TEST(modsimCodec, FrameDecoderDropsDamagedFramesAndKeepsGoing) {
    modsim::FrameDecoder decoder;
    auto feed = [&](const Bytes& bytes) {
        std::vector<modsim::FrameDecoder::Result> results;
        for (uint8_t b : bytes)
            results.push_back(decoder.feed(b));
        return results.back();
    };
    Bytes frame = modsim::encodeFrame(modsim::Packet(2, {3, 0x49, 0x20}));
    Bytes bad = frame;
    bad[bad.size() - 2] ^= 0x10;  // the CRC
    EXPECT_EQ(feed(bad), modsim::FrameDecoder::Result::Bad);
    EXPECT_EQ(feed({0, 0}), modsim::FrameDecoder::Result::NeedMore);  // empty frames
    EXPECT_EQ(feed(frame), modsim::FrameDecoder::Result::Complete);
    EXPECT_EQ(decoder.packet(), modsim::Packet(2, {3, 0x49, 0x20}));
    Bytes overlong(70, 1);
    overlong.push_back(0);
    EXPECT_EQ(feed(overlong), modsim::FrameDecoder::Result::Bad);
}

TEST(modsimConfig, ModuleSpecificationsAndTheirMistakes) {
    auto m = modsim::parseModuleSpec(
        "serial=40F5849A,model=21,address=6,version=2.14.7,build=4711,name=Hub one,"
        "features=0,uei-data=0,without-options=32/45,block-size=256,heartbeat=500",
        false);
    EXPECT_EQ(m.serial, 0x40F5849Au);
    EXPECT_EQ(m.model, 21);
    EXPECT_EQ(m.address, 6);
    EXPECT_EQ(m.version, 0x2E000007u);
    EXPECT_EQ(m.build, 4711u);
    EXPECT_EQ(m.name, "Hub one");
    EXPECT_FALSE(m.ueiData);
    EXPECT_EQ(m.withoutOptions, (std::set<uint8_t>{32, 45}));
    EXPECT_EQ(m.blockSize, 256);
    EXPECT_EQ(modsim::parseVersion("2.15.0"), 0x2F020F00u);
    EXPECT_EQ(modsim::parseVersion("3.0.1"), 0x2F030001u);
    EXPECT_EQ(modsim::versionText(0x2E000007), "2.14.7");

    auto sub = modsim::parseModuleSpec("serial=2,i2c=10", true);
    EXPECT_EQ(sub.i2cAddress, 10);
    EXPECT_EQ(sub.address, 10);

    for (const char* bad : {"serial=xyz", "model=300", "colour=red", "version=1.2", "port=1",
                            "transport=carrier-pigeon", "address"}) {
        EXPECT_THROW(modsim::parseModuleSpec(bad, std::string(bad) == "port=1"),
                     std::invalid_argument)
            << bad;
    }
    modsim::SimConfig config;
    config.modules = {modsim::parseModuleSpec("serial=1,address=3", false)};
    EXPECT_THROW(modsim::validateConfig(config), std::invalid_argument);
    config.modules = {modsim::parseModuleSpec("serial=1", false),
                      modsim::parseModuleSpec("serial=1", false)};
    EXPECT_THROW(modsim::validateConfig(config), std::invalid_argument);
    config.modules = {modsim::parseModuleSpec("serial=1,address=4", false)};
    config.modules[0].subModules = {modsim::parseModuleSpec("serial=2,i2c=4", true)};
    EXPECT_THROW(modsim::validateConfig(config), std::invalid_argument);
}

TEST(modsimConfig, FaultsAndTheirCounts) {
    auto f = modsim::parseFault("drop-in:write@2");
    EXPECT_EQ(f.kind, modsim::Fault::Kind::DropIn);
    EXPECT_EQ(f.phase, modsim::Phase::Write);
    EXPECT_EQ(f.nth, 2u);
    EXPECT_EQ(modsim::parseFault("bad-sum@*").nth, 0u);
    for (const char* bad : {"drop-in:nowhere", "prepare-status", "busy:1", "bad-sum@0", "explode"})
        EXPECT_THROW(modsim::parseFault(bad), std::invalid_argument) << bad;

    modsim::FaultPlan plan;
    plan.add(modsim::parseFault("ignore:sum@2"));
    plan.add(modsim::parseFault("drop-after:3@*"));
    EXPECT_FALSE(plan.trigger(modsim::Fault::Kind::Ignore, modsim::Phase::Data));
    EXPECT_FALSE(plan.trigger(modsim::Fault::Kind::Ignore, modsim::Phase::Sum));
    EXPECT_TRUE(plan.trigger(modsim::Fault::Kind::Ignore, modsim::Phase::Sum));
    EXPECT_FALSE(plan.trigger(modsim::Fault::Kind::Ignore, modsim::Phase::Sum));
    std::vector<bool> drops;
    for (int i = 0; i < 7; ++i)
        drops.push_back(plan.trigger(modsim::Fault::Kind::DropAfter) != nullptr);
    EXPECT_EQ(drops, (std::vector<bool>{false, false, true, false, false, true, false}));
}

TEST(modsimConfig, ConfigFileDescribesRoutersAndFaults) {
    char path[] = "/tmp/modsim_config_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << R"({
      "listen": "127.0.0.1",
      "state-file": "/tmp/state.json",
      "modules": [
        {"serial": "00000F00", "address": 4, "model": 27, "port": 0,
         "faults": ["busy"],
         "submodules": [{"serial": "00000A06", "i2c": 6, "version": "2.10.4"},
                        {"serial": "00000A0A", "i2c": 10, "factory": {"1": "0102"}}]},
        {"serial": "DEADDEAD", "recovery": true, "ids": ["1", "2", "3", "4"], "transport": "pty"}
      ]
    })";
    auto config = modsim::loadConfigFile(path);
    std::remove(path);
    ASSERT_EQ(config.modules.size(), 2u);
    EXPECT_EQ(config.stateFile, "/tmp/state.json");
    const auto& router = config.modules[0];
    ASSERT_EQ(router.subModules.size(), 2u);
    EXPECT_EQ(router.subModules[0].i2cAddress, 6);
    EXPECT_EQ(router.subModules[0].version, 0x2A000004u);
    EXPECT_EQ(router.subModules[1].factory.at(1), (Bytes{1, 2}));
    ASSERT_EQ(router.faults.size(), 1u);
    EXPECT_TRUE(config.modules[1].recovery);
    EXPECT_EQ(config.modules[1].ids[3], 4u);
    EXPECT_EQ(config.modules[1].transport, modsim::TransportKind::Pty);
    EXPECT_NO_THROW(modsim::validateConfig(config));
}
