// Entities over a link: typed gets and sets, error answers, byte arrays in
// both directions, reports, the store entity and the I2C entity, against the
// simulator and, for exact wire bytes and unusual answers, a scripted peer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/Entity.h"
#include "api/I2CClass.h"
#include "api/SystemClass.h"
#include "unit/api_support.h"

using namespace apitest;
using Vexmoran::Quillarex::EntityClass;
using Vexmoran::Quillarex::I2CClass;
using Vexmoran::Quillarex::SystemClass;

namespace {

constexpr const char* kBench =
    "serial=40F5849A,model=17,address=6,version=2.14.7,build=4711,name=Bench";

// A module connected to the simulator, with its system entity.
struct Simulated {
    std::unique_ptr<modsim::Simulator> sim;
    Module module{0, 0};
    SystemClass system;
    explicit Simulated(const std::vector<std::string>& modules,
                       const std::vector<std::string>& subs = {}) {
        sim = startSim(modules, subs);
        EXPECT_EQ(module.setConfig(directOnly()), aErrNone);
        const uint32_t serial = sim->config().modules.front().serial;
        EXPECT_EQ(module.connectFromSpec(tcpSpec(serial, sim->tcpPort(serial))), aErrNone);
        system.init(&module, 0);
    }
};

// A module played by a scripted peer at address 2.
struct Scripted {
    ScriptedPeer peer;
    Module module{0, 0};
    explicit Scripted(ScriptedPeer::Handler handler) : peer(2, std::move(handler)) {
        EXPECT_EQ(module.setConfig(directOnly()), aErrNone);
        EXPECT_EQ(module.connectFromSpec(tcpSpec(9, peer.port())), aErrNone);
        EXPECT_EQ(module.getModuleAddress(), 2);
    }
};

TEST(apiEntity, TypedGetsAndSets) {
    Simulated s({kBench});
    uint32_t value = 0;
    ASSERT_EQ(s.system.getSerialNumber(&value), aErrNone);
    EXPECT_EQ(value, 0x40F5849Au);
    ASSERT_EQ(s.system.getVersion(&value), aErrNone);
    EXPECT_EQ(value, 0x2E000007u);
    ASSERT_EQ(s.system.getBuild(&value), aErrNone);
    EXPECT_EQ(value, 4711u);
    uint8_t byte = 0;
    ASSERT_EQ(s.system.getModel(&byte), aErrNone);
    EXPECT_EQ(byte, 17);

    ASSERT_EQ(s.system.setLED(1), aErrNone);
    ASSERT_EQ(s.system.getLED(&byte), aErrNone);
    EXPECT_EQ(byte, 1);
    ASSERT_EQ(s.system.setLED(0), aErrNone);
    ASSERT_EQ(s.system.getLED(&byte), aErrNone);
    EXPECT_EQ(byte, 0);
    int32_t temperature = 0;
    EXPECT_EQ(s.system.getTemperature(&temperature), aErrNone);

    EXPECT_EQ(s.system.getModel(nullptr), aErrParam);
    EXPECT_EQ(s.system.getTemperature(nullptr), aErrParam);
    EXPECT_EQ(s.system.getUEI16(8, static_cast<uint16_t*>(nullptr)), aErrParam);
}

// Error answers return the module's own code.
TEST(apiEntity, ErrorAnswersGiveTheModulesCode) {
    Simulated s({kBench});
    uint32_t value = 0;
    EXPECT_EQ(s.system.setUEI32(9, 1), aErrInvalidOption);  // the serial number is read-only
    EXPECT_EQ(s.system.getUEI32(60, &value), aErrInvalidOption);
    EntityClass unknown;
    unknown.init(&s.module, 77, 0);
    EXPECT_EQ(unknown.getUEI32(1, &value), aErrInvalidEntity);
    SystemClass second;
    second.init(&s.module, 1);
    EXPECT_EQ(second.getSerialNumber(&value), aErrIndexRange);

    // Without a module or link.
    EntityClass orphan;
    EXPECT_EQ(orphan.getUEI32(1, &value), aErrResource);
    EXPECT_EQ(orphan.setUEI8(1, 1), aErrResource);
    EXPECT_EQ(orphan.callUEI(1), aErrResource);
    Module unconnected(2, 0);
    SystemClass idle;
    idle.init(&unconnected, 0);
    EXPECT_EQ(idle.getSerialNumber(&value), aErrConnection);
}

// The exact messages of a 32-bit set and a 16-bit get, an error answer with
// specifier 0xA0, and a subindexed get.
TEST(apiEntity, WireBytesAndAnswers) {
    Scripted s([](const Pkt& p) -> std::vector<Pkt> {
        if (p.data == Bytes{3, 0x85, 0x20, 1, 2, 3, 4})
            return {{2, {3, 0xC5, 0}}};
        if (p.data == Bytes{3, 0x86, 0x20, 0, 0, 0, 1})
            return {{2, {3, 0xC6, 0xA0, 5}}};
        if (p.data == Bytes{3, 0x47, 0x20})
            return {{2, {3, 7, 0, 0xBE, 0xEF}}};
        if (p.data == Bytes{3, 0x67, 0x20, 2})
            return {{2, {3, 0x27, 0, 0, 0, 0, 42}}};
        if (p.data == Bytes{3, 0x88, 0x20, 1, 0x12, 0x34})
            return {{2, {3, 0xC8, 0}}};
        return {};
    });
    SystemClass system;
    system.init(&s.module, 0);
    EXPECT_EQ(system.setUEI32(5, 0x01020304), aErrNone);
    EXPECT_EQ(system.setUEI32(6, 1), 5u);
    uint16_t shortValue = 0;
    EXPECT_EQ(system.getUEI16(7, &shortValue), aErrNone);
    EXPECT_EQ(shortValue, 0xBEEF);
    uint32_t value = 0;
    EXPECT_EQ(system.getUEI32(0x27, 2, &value), aErrNone);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(system.setUEI16(8, 1, 0x1234), aErrNone);
    EXPECT_EQ(system.getUEI8(9, reinterpret_cast<uint8_t*>(&value)), aErrTimeout);
}

TEST(apiEntity, ByteArraysBothWays) {
    Simulated s({kBench});
    uint8_t buffer[100];
    size_t count = 0;
    ASSERT_EQ(s.system.getName(buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "Bench");

    for (size_t length : {0, 1, 24, 25, 48, 50, 64}) {
        std::string name;
        for (size_t i = 0; i < length; ++i)
            name.push_back(char('A' + i % 26));
        ASSERT_EQ(s.system.setName(reinterpret_cast<const uint8_t*>(name.data()), length), aErrNone)
            << length;
        count = 99;
        ASSERT_EQ(s.system.getName(buffer, sizeof buffer, &count), aErrNone) << length;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), name);
    }
    // The module refuses a name longer than it keeps.
    std::string tooLong(65, 'x');
    EXPECT_EQ(s.system.setName(reinterpret_cast<const uint8_t*>(tooLong.data()), tooLong.size()),
              aErrSize);

    // A buffer too small: aErrMemory, with the bytes that fitted counted.
    std::string name(50, 'n');
    ASSERT_EQ(s.system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()),
              aErrNone);
    EXPECT_EQ(s.system.getName(buffer, 30, &count), aErrMemory);
    EXPECT_EQ(count, 24u);
    EXPECT_EQ(s.system.getName(nullptr, 30, &count), aErrParam);
    EXPECT_EQ(s.system.getName(buffer, 0, &count), aErrParam);
    EXPECT_EQ(s.system.getName(buffer, 30, nullptr), aErrParam);
    // The rest of that answer is still queued: drop it, and the next get is
    // whole again.
    EXPECT_EQ(s.system.drainUEI(32), aErrNone);
    ASSERT_EQ(s.system.getName(buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(count, 50u);

    // Over 1000 bytes to the boot loader's data option in one transfer.
    EntityClass upgrade;
    upgrade.init(&s.module, 95, 0);
    std::vector<uint8_t> big(1500);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i);
    EXPECT_EQ(upgrade.setUEIBytes(10, big.data(), big.size()), aErrNone);
    EXPECT_EQ(counter(*s.sim, "40F5849A", "uei_data_transfers"), 1);
}

// A byte-array answer scripted message by message: over 1000 bytes, one
// out of sequence, one that does not fit the words it should hold.
TEST(apiEntity, ByteArrayAnswersInSequence) {
    auto answer = [](uint8_t option, size_t length, uint8_t firstSequence) {
        std::vector<Pkt> out;
        size_t sent = 0;
        uint8_t sequence = firstSequence;
        do {
            size_t chunk = std::min<size_t>(24, length - sent);
            bool more = sent + chunk < length;
            Bytes d{3, option, 0};
            for (size_t i = 0; i < chunk; ++i)
                d.push_back(uint8_t(sent + i));
            d.push_back(uint8_t((more ? 0x80 : 0) | (sequence & 0x7F)));
            out.push_back({2, d});
            sent += chunk;
            ++sequence;
        } while (sent < length);
        return out;
    };
    Scripted s([&](const Pkt& p) -> std::vector<Pkt> {
        if (p.data == Bytes{3, 0x40 | 50, 0x20})
            return answer(50, 1100, 0);
        if (p.data == Bytes{3, 0x40 | 51, 0x20})
            return answer(51, 10, 1);  // wrong sequence
        if (p.data == Bytes{3, 0x40 | 31, 0x20})
            return answer(31, 10, 0);
        return {};
    });
    SystemClass system;
    system.init(&s.module, 0);
    std::vector<uint8_t> big(2000);
    size_t count = 0;
    ASSERT_EQ(system.getUEIBytes(50, big.data(), big.size(), &count), aErrNone);
    ASSERT_EQ(count, 1100u);
    for (size_t i = 0; i < count; ++i)
        ASSERT_EQ(big[i], uint8_t(i)) << i;

    // The message out of sequence is not taken and stays queued.
    uint8_t small[32];
    EXPECT_EQ(system.getUEIBytes(51, small, sizeof small, &count), aErrTimeout);
    EXPECT_EQ(count, 0u);
    uei record{};
    record.type = aUEI_TYPE_BYTES;
    record.sequence = 1;
    record.length = sizeof small;
    record.value.bytes = small;
    uint64_t received = 0;
    record.received = &received;
    EXPECT_EQ(s.module.getLink()->receiveUEI(2, 3, 51, 0, &record, aUEI_MatchBytes), aErrNone);
    EXPECT_EQ(received, 10u);

    uint32_t words[4];
    EXPECT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrMemory);
    EXPECT_EQ(count, 10u);

    size_t n = 12;
    EXPECT_EQ(system.getUEIBytesCheck(&n, 4), aErrNone);
    EXPECT_EQ(n, 3u);
    n = 10;
    EXPECT_EQ(system.getUEIBytesCheck(&n, 4), aErrMemory);
    EXPECT_EQ(n, 10u);
    n = 0;
    EXPECT_EQ(system.getUEIBytesCheck(&n, 0), aErrNone);
    n = 1;
    EXPECT_EQ(system.getUEIBytesCheck(&n, 0), aErrMemory);
    EXPECT_EQ(system.getUEIBytesCheck(nullptr, 4), aErrParam);
}

TEST(apiEntity, WordsOfThePowerBehaviourConfiguration) {
    Scripted s([](const Pkt& p) -> std::vector<Pkt> {
        if (p.data == Bytes{3, 0x40 | 31, 0x20})
            return {{2, {3, 31, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0}}};
        if (p.data.size() == 12 && p.data[1] == (0x80 | 31))
            return {{2, {3, 0xC0 | 31, 0}}};
        return {};
    });
    SystemClass system;
    system.init(&s.module, 0);
    uint32_t words[4] = {};
    size_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(words, 4, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    const uint32_t out[2] = {0x04030201, 0x08070605};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(out, 2), aErrNone);
    ASSERT_TRUE(s.peer.awaitReceived(2));
    EXPECT_EQ(s.peer.received()[1].data, (Bytes{3, 0x9F, 0x20, 1, 2, 3, 4, 5, 6, 7, 8, 0}));
}

// Reports awaited without asking, draining and the store entity.
TEST(apiEntity, ReportsDrainsAndTheStoreEntity) {
    Scripted s([](const Pkt& p) -> std::vector<Pkt> {
        if (p.data.size() == 7 && p.data[0] == 92)
            return {{2, {92, uint8_t(0xC0 | (p.data[1] & 0x3F)), 0}}};
        return {};
    });
    I2CClass i2c;
    i2c.init(&s.module, 1);
    EXPECT_EQ(i2c.saveEntityToStore(), aErrNone);
    EXPECT_EQ(i2c.loadEntityFromStore(), aErrNone);
    EXPECT_EQ(i2c.resetEntityToFactoryDefaults(), aErrNone);
    ASSERT_TRUE(s.peer.awaitReceived(3));
    auto sent = s.peer.received();
    EXPECT_EQ(sent[0], (Pkt{2, {92, 0x80, 0x20, 0, 0, 8, 1}}));
    EXPECT_EQ(sent[1], (Pkt{2, {92, 0x81, 0x20, 0, 0, 8, 1}}));
    EXPECT_EQ(sent[2], (Pkt{2, {92, 0x82, 0x20, 0, 0, 8, 1}}));

    EntityClass entity;
    entity.init(&s.module, 3, 0);
    s.peer.push({{2, {3, 12, 0, 0, 0, 0x30, 0x39}}, {2, {3, 13, 0x80, 7}}});
    uint32_t value = 0;
    EXPECT_EQ(entity.awaitUEI32Val(12, &value, 0), aErrNone);
    EXPECT_EQ(value, 12345u);
    EXPECT_EQ(entity.awaitUEI32Val(13, &value, 0), 7u);
    EXPECT_EQ(entity.awaitUEI32Val(12, nullptr, 0), aErrParam);

    s.peer.push({{2, {3, 14, 0, 1, 2, 3, 4}}, {2, {3, 14, 0, 5, 6, 7, 8}}});
    // Both reports arrive before the drain: a barrier through the link.
    uint8_t address = 0;
    ASSERT_EQ(s.module.getLink()->getModuleAddress(&address), aErrNone);
    EXPECT_EQ(entity.drainUEI(14), aErrNone);
    EXPECT_EQ(entity.awaitUEI32Val(14, &value, 0), aErrTimeout);
}

TEST(apiEntity, I2CThroughARouter) {
    Simulated s({"serial=00000F00,model=27,address=4"}, {"serial=00000A06,i2c=6,model=13"});
    I2CClass i2c;
    i2c.init(&s.module, 0);
    const uint8_t data[] = {3, 0};
    EXPECT_EQ(i2c.write(6, sizeof data, data), aErrNone);
    EXPECT_EQ(i2c.write(8, sizeof data, data), aErrIO);  // nobody at 8: status 0x86
    uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(i2c.read(6, 2, buffer), aErrNone);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[2], 0xAA);  // no more than asked for
    EXPECT_EQ(i2c.read(8, 2, buffer), aErrIO);
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
    EXPECT_EQ(i2c.setPullup(false), aErrNone);

    uint8_t big[24] = {};
    EXPECT_EQ(i2c.read(6, 24, big), aErrSize);
    EXPECT_EQ(i2c.write(6, 24, big), aErrSize);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    uint8_t speed = 9;
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 0);
    EXPECT_EQ(i2c.setSpeed(3), aErrNone);
    ASSERT_EQ(i2c.getSpeed(&speed), aErrNone);
    EXPECT_EQ(speed, 3);
    EXPECT_EQ(i2c.write(6, sizeof data, data), aErrNone);
}

TEST(apiEntity, I2CRepliesThatAreShortOrOverlong) {
    Scripted s([](const Pkt& p) -> std::vector<Pkt> {
        if (p.data.size() >= 3 && p.data[0] == 8 && p.data[2] == (0x10 | 1))
            return {{2, {8, 0, 0x11, 9, 0, 1, 2, 3}}};  // claims 9, carries 3
        if (p.data.size() >= 3 && p.data[0] == 8)
            return {{2, {8, 0, p.data[2], 0}}};  // no status byte
        return {};
    });
    I2CClass i2c;
    i2c.init(&s.module, 0);
    uint8_t buffer[8] = {};
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(i2c.read(0x10, 8, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 0xEE}));
    const uint8_t data[] = {1};
    EXPECT_EQ(i2c.write(0x20, 1, data), aErrPacket);
}

}  // namespace
