// The boot-loader conversation of UpdaterEntity: exact requests against a
// scripted loader, both transfer paths and the faults of the simulated boot
// loader over real TCP links, loader start with reconnection and the bounded
// reboot wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "api/Module.h"
#include "api_support.h"
#include "app/Log.h"
#include "app/UpdaterEntity.h"
#include "bird_support.h"
#include "cli_support.h"
#include "update_support.h"

using apitest::Bytes;
using apitest::directOnly;
using apitest::Pkt;
using apitest::ScriptedPeer;
using apitest::tcpSpec;
using bird_test::LogCapture;
using cli_test::RecordingDisplay;
using update_test::kSerial;
using update_test::SimulatedModule;
using Vexmoran::Quillarex::Module;

namespace {

// A firmware block's data: the 4-byte big-endian load address, then the payload.
Bytes Block(uint32_t address, size_t payload, uint8_t seed = 1) {
    Bytes block = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                   uint8_t(address)};
    for (size_t i = 0; i < payload; ++i) {
        block.push_back(uint8_t(seed + i * 7 + (i >> 8)));
    }
    return block;
}

// Sends a block the way the firmware phase does: PREPARE, then its pieces.
aErr SendFirmwareBlock(UpdaterEntity& entity, const Bytes& block, RecordingDisplay& display) {
    unsigned short blockSize = 0;
    aErr err = entity.TransferPrepare(block.data(), unsigned(block.size()), 0, blockSize);
    if (err != aErrNone) {
        return err;
    }
    return entity.FirmwareTransfer(block.data(), unsigned(block.size()), blockSize, display);
}

// A boot loader played by the test: records every request and answers as a
// well-behaved loader with the given piece size (and INIT reply length).
struct ScriptedLoader {
    explicit ScriptedLoader(uint16_t blockSize, size_t initReplyLength = 6)
        : peer(
              2,
              [this, blockSize, initReplyLength](const Pkt& p) -> std::vector<Pkt> {
                  const Bytes& d = p.data;
                  if (d.size() < 2 || d[0] != 0x5F) {
                      return {};
                  }
                  switch (d[1]) {
                      case 0: {
                          Bytes reply = {0x5F, 0x00, 0x00, 0x01, 0x00, 0x00};
                          reply.resize(initReplyLength);
                          return {{2, reply}};
                      }
                      case 1:
                          sum = std::accumulate(d.begin() + 2, d.end(), sum);
                          return {{2, {0x5F, 0x01, uint8_t(d.size() - 2)}}};
                      case 3:
                          sum = 0;
                          return {
                              {2, {0x5F, 0x07, 0x00, uint8_t(blockSize >> 8), uint8_t(blockSize)}}};
                      case 4:
                          return {{2,
                                   {0x5F, 0x07, 0x00, uint8_t(sum >> 24), uint8_t(sum >> 16),
                                    uint8_t(sum >> 8), uint8_t(sum)}}};
                      case 5:
                          sum = 0;
                          return {{2, {0x5F, 0x07, 0x00}}};
                      default:
                          return {};
                  }
              }),
          module(2, false, 0) {
        module.setConfig(directOnly());
        static uint32_t serial = 0x100;
        connected = module.connectFromSpec(tcpSpec(++serial, peer.port()));
    }

    // The operations the loader saw, DATA as its chunk size ("D26").
    std::vector<std::string> Requests() {
        std::vector<std::string> seen;
        for (const Pkt& p : peer.received()) {
            if (p.data.size() < 2 || p.data[0] != 0x5F) {
                continue;
            }
            switch (p.data[1]) {
                case 1:
                    seen.push_back("D" + std::to_string(p.data.size() - 2));
                    break;
                case 3:
                    seen.push_back("PREPARE");
                    break;
                case 4:
                    seen.push_back("SUM");
                    break;
                case 5:
                    seen.push_back("WRITE " + std::to_string(p.data[2] << 8 | p.data[3]));
                    break;
                default:
                    seen.push_back("OP" + std::to_string(p.data[1]));
                    break;
            }
        }
        return seen;
    }

    uint32_t sum = 0;
    ScriptedPeer peer;
    Module module;
    aErr connected = aErrUnknown;
};

std::vector<std::string> Piece(const std::vector<unsigned>& chunks, unsigned written,
                               bool validate = true) {
    std::vector<std::string> out;
    for (unsigned c : chunks) {
        out.push_back("D" + std::to_string(c));
    }
    if (validate) {
        out.push_back("SUM");
    }
    out.push_back("WRITE " + std::to_string(written));
    return out;
}

}  // namespace

// The requests of one firmware block, byte counts exact: a block size of 256
// from PREPARE splits 1024 payload bytes into four pieces of ten DATA packets
// (nine of 26 bytes and one of 22), each followed by SUM and WRITE 01 00; a
// 100-byte piece goes as 26, 26, 26 and 22; without validation no SUM.
TEST(update_entity, ScriptedLoaderSeesExactRequests) {
    struct Case {
        const char* name;
        size_t payload;
        uint16_t blockSize;
        bool validate;
        std::vector<std::string> expected;
    };
    const std::vector<unsigned> chunks256 = {26, 26, 26, 26, 26, 26, 26, 26, 26, 22};
    std::vector<std::string> four = {"PREPARE"};
    for (int i = 0; i < 4; ++i) {
        const auto piece = Piece(chunks256, 256);
        four.insert(four.end(), piece.begin(), piece.end());
    }
    std::vector<std::string> small = {"PREPARE"};
    const auto piece100 = Piece({26, 26, 26, 22}, 100, false);
    small.insert(small.end(), piece100.begin(), piece100.end());
    const std::vector<Case> cases = {
        {"four pieces of 256", 1024, 256, true, four},
        {"one piece of 100 without validation", 100, 256, false, small},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLoader loader(c.blockSize);
        ASSERT_EQ(loader.connected, aErrNone);
        UpdaterEntity entity;
        entity.init(&loader.module, 0, c.validate, false);
        RecordingDisplay display;
        const Bytes block = Block(0x8000, c.payload);
        unsigned short blockSize = 0;
        ASSERT_EQ(entity.TransferPrepare(block.data(), unsigned(block.size()), 0, blockSize),
                  aErrNone);
        EXPECT_EQ(blockSize, c.blockSize);
        EXPECT_EQ(entity.FirmwareTransfer(block.data(), unsigned(block.size()), blockSize, display),
                  aErrNone);
        EXPECT_EQ(loader.Requests(), c.expected);
        EXPECT_GT(display.drawings, 2);
    }
}

TEST(update_entity, ShortInitReplyIsAPacketError) {
    ScriptedLoader shortReply(256, 5);
    ASSERT_EQ(shortReply.connected, aErrNone);
    UpdaterEntity entity;
    entity.init(&shortReply.module, 0, true, false);
    EXPECT_EQ(entity.LoaderInit(), aErrPacket);

    ScriptedLoader fullReply(256, 6);
    ASSERT_EQ(fullReply.connected, aErrNone);
    UpdaterEntity good;
    good.init(&fullReply.module, 0, true, false);
    EXPECT_EQ(good.LoaderInit(), aErrNone);
}

// Both paths over a real TCP link: the simulated flash ends up holding
// exactly the blocks' payloads, and the paths differ in what travelled.
TEST(update_entity, BothPathsWriteExactlyTheFirmware) {
    for (const bool uei : {false, true}) {
        SCOPED_TRACE(uei ? "byte arrays" : "plain packets");
        SimulatedModule m(std::string("block-size=256,reboot-ms=60000,uei-data=") +
                          (uei ? "1" : "0"));
        ASSERT_EQ(m.connected, aErrNone);
        RecordingDisplay display;

        UpdaterEntity loader;
        loader.init(&m.module, 0, true, false);
        ASSERT_EQ(loader.LoaderInit(), aErrNone);
        const Bytes loaderBlock = Block(0x20000000, 300, 9);
        unsigned short loaderBlockSize = 0;
        ASSERT_EQ(loader.TransferPrepare(loaderBlock.data(), unsigned(loaderBlock.size()), 0,
                                         loaderBlockSize),
                  aErrNone);
        ASSERT_EQ(loader.LoaderTransfer(loaderBlock.data(), unsigned(loaderBlock.size())),
                  aErrNone);
        ASSERT_EQ(loader.LoaderStart(), aErrNone);

        UpdaterEntity firmware;
        firmware.init(&m.module, 0, true, false);
        EXPECT_EQ(firmware.CheckUEIDataSupport() == aErrNone, uei);
        EXPECT_EQ(firmware.UsesUEIData(), uei);
        if (uei) {
            EXPECT_EQ(firmware.CheckPooledPacketsSupport(), aErrNone);
        }
        const Bytes first = Block(0x0, 1000, 3);
        const Bytes second = Block(0x1000, 300, 5);
        ASSERT_EQ(SendFirmwareBlock(firmware, first, display), aErrNone);
        ASSERT_EQ(SendFirmwareBlock(firmware, second, display), aErrNone);

        Bytes expected(0x1000 + 300, 0xFF);
        std::copy(first.begin() + 4, first.end(), expected.begin());
        std::copy(second.begin() + 4, second.end(), expected.begin() + 0x1000);
        EXPECT_EQ(m.Flash(), expected);
        EXPECT_EQ(m.Counter("write"), 4 + 2);
        EXPECT_EQ(m.Counter("sum"), 1 + 4 + 2);
        EXPECT_EQ(m.Counter("loader_bytes"), 300);
        if (uei) {
            // The loader always travels in plain packets.
            EXPECT_EQ(m.Counter("data_packets"), 12);
            EXPECT_EQ(m.Counter("uei_data_transfers"), 4 + 2);
        } else {
            // 300 loader bytes in 12 packets; 256-byte pieces in 10, the
            // 232-byte remainder in 9, 44 bytes in 2.
            EXPECT_EQ(m.Counter("data_packets"), 12 + 3 * 10 + 9 + 10 + 2);
            EXPECT_EQ(m.Counter("uei_data_transfers"), 0);
        }
    }
}

// Each boot-loader fault fails where it should, with the error the caller
// acts on, and never loops.
TEST(update_entity, BootLoaderFaults) {
    struct Case {
        const char* fault;
        aErr expected;
        const char* logged;  // a line that reaches the log without -X
    };
    const std::vector<Case> cases = {
        {"bad-data-count", aErrNone, nullptr},
        {"bad-data-count@*", aErrPacket, nullptr},
        {"bad-sum", aErrInvalidOption, "NETWORK: Unable to validate transfer [00]"},
        {"block-size-0", aErrInvalidOption, nullptr},
        {"prepare-status:5", aErrInvalidOption, nullptr},
        {"write-status:3", aErrInvalidOption, "NETWORK: Failed to transfer firmware"},
        {"ignore:sum", aErrPacket, "NETWORK: Failed to transfer firmware"},
        {"ignore:data", aErrPacket, nullptr},
    };
    const uint32_t quietPackages = Log::ActivePackages();
    Log::DeactivatePackage(0xFFFFFFFFu);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        SimulatedModule m("uei-data=0,block-size=256", {c.fault});
        ASSERT_EQ(m.connected, aErrNone);
        LogCapture log(0);  // the lines written without -X
        RecordingDisplay display;
        UpdaterEntity entity;
        entity.init(&m.module, 0, true, false);
        ASSERT_EQ(entity.LoaderInit(), aErrNone);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SendFirmwareBlock(entity, Block(0, 256), display), c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        if (c.logged != nullptr) {
            EXPECT_NE(log.Text().find(c.logged), std::string::npos) << log.Text();
        }
        if (std::string(c.fault) == "bad-data-count@*") {
            // The first chunk, offered ten times, then given up.
            EXPECT_EQ(m.Counter("data_packets"), int64_t(UpdaterEntity::kDataAttempts));
            EXPECT_EQ(m.Counter("write"), 0);
        }
        if (std::string(c.fault) == "bad-data-count") {
            EXPECT_EQ(m.Counter("data_packets"), 10 + 1);
            const Bytes block = Block(0, 256);
            EXPECT_EQ(m.Flash(), Bytes(block.begin() + 4, block.end()));
        }
    }
    Log::ActivatePackage(quietPackages);
}

// A loader start that drops the link: the entity reconnects and takes the
// late answer; a module that stays away makes the start time out.
TEST(update_entity, LoaderStartReconnects) {
    {
        SimulatedModule m("load-drop=300");
        ASSERT_EQ(m.connected, aErrNone);
        UpdaterEntity entity;
        entity.init(&m.module, 0, true, false);
        ASSERT_EQ(entity.LoaderInit(), aErrNone);
        EXPECT_EQ(entity.LoaderStart(), aErrNone);
        EXPECT_TRUE(m.module.isConnected());
        EXPECT_EQ(m.Counter("load"), 1);
        EXPECT_GE(m.Counter("connections"), 2);
    }
    {
        SimulatedModule m("load-drop=600000");
        ASSERT_EQ(m.connected, aErrNone);
        UpdaterEntity entity;
        entity.init(&m.module, 0, true, false);
        EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
        EXPECT_FALSE(m.module.isConnected());
    }
}

// The reboot is seen as the link dropping; a module that never drops its
// link is given up after the bound, with a message; with skipRebootWait one
// poll is enough.
TEST(update_entity, RebootWaitIsBounded) {
    {
        SimulatedModule m("reboot-ms=2000");
        ASSERT_EQ(m.connected, aErrNone);
        RecordingDisplay display;
        UpdaterEntity entity;
        entity.init(&m.module, 0, true, false);
        EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
        EXPECT_EQ(m.Counter("reboot"), 1);
        EXPECT_TRUE(display.Texts(UpdaterDisplayInterface::Error).empty());
    }
    {
        // Back (and the link up again) well within one poll: the drop is
        // still seen.
        SimulatedModule m("reboot-ms=10");
        ASSERT_EQ(m.connected, aErrNone);
        RecordingDisplay display;
        UpdaterEntity entity;
        entity.init(&m.module, 0, true, false);
        entity.SetRebootWaitForTest(3000);
        EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
        EXPECT_TRUE(display.Texts(UpdaterDisplayInterface::Error).empty());
        EXPECT_EQ(m.Counter("reboot"), 1);
    }
    {
        SimulatedModule m("", {"ignore:reboot"});
        ASSERT_EQ(m.connected, aErrNone);
        RecordingDisplay display;
        UpdaterEntity entity;
        entity.init(&m.module, 0, true, false);
        entity.SetRebootWaitForTest(1000);
        EXPECT_EQ(entity.LoaderReboot(display), aErrTimeout);
        EXPECT_EQ(
            display.Texts(UpdaterDisplayInterface::Error),
            std::vector<std::string>{"Timed out after 1 seconds waiting for the module to reboot"});
    }
    {
        SimulatedModule m("", {"ignore:reboot"});
        ASSERT_EQ(m.connected, aErrNone);
        RecordingDisplay display;
        UpdaterEntity entity;
        entity.init(&m.module, 0, true, true);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
        // One poll, not the 30-second bound.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(m.module.isConnected());
    }
}
