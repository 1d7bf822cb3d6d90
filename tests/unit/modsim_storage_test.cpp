// Store slots, factory data and stream subscriptions of a simulated module.
#include <gtest/gtest.h>

#include "unit/modsim_host.h"

using namespace modsim_test;

namespace {

std::unique_ptr<Host> connect(modsim::Simulator& sim) {
    return std::make_unique<Host>(sim.connectStream(1));
}

}  // namespace

TEST(modsimSlots, WriteAndReadBackASlotChunkByChunk) {
    auto sim = startSim({spec("serial=1,stores=2,slots=4,slot-capacity=40,transport=none")});
    auto host = connect(*sim);
    EXPECT_EQ(host->ask(2, {4, 1, 1, 3}), (Pkt{2, {4, 1, 1, 3, 0, 40}}));
    EXPECT_EQ(host->ask(2, {4, 2, 1, 3}), (Pkt{2, {4, 2, 1, 3, 0, 0}}));
    auto open = host->ask(2, {4, 4, 1, 3});
    ASSERT_TRUE(open);
    ASSERT_EQ(open->data.size(), 5u);
    const uint8_t h = open->data[4];
    Bytes content(35);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = uint8_t(i * 13 + 1);
    for (size_t pos = 0; pos < content.size(); pos += 25) {
        size_t n = std::min<size_t>(25, content.size() - pos);
        Bytes d{4, 7, h};
        d.insert(d.end(), content.begin() + pos, content.begin() + pos + n);
        uint8_t sum = 0;
        for (size_t i = pos; i < pos + n; ++i)
            sum = uint8_t(sum + content[i]);
        EXPECT_EQ(host->ask(2, d), (Pkt{2, {4, 7, h, sum}}));
    }
    EXPECT_EQ(host->ask(2, {4, 7, h, 1, 2, 3, 4, 5, 6}),
              (Pkt{2, {4, 0x87, h, 15}}));  // over capacity
    EXPECT_EQ(host->ask(2, {4, 8, h}), (Pkt{2, {4, 8, h, 0}}));
    EXPECT_EQ(host->ask(2, {4, 8, h}), (Pkt{2, {4, 0x88, h, 3}}));  // closed already
    EXPECT_EQ(host->ask(2, {4, 2, 1, 3}), (Pkt{2, {4, 2, 1, 3, 0, 35}}));

    auto reopen = host->ask(2, {4, 3, 1, 3});
    ASSERT_TRUE(reopen);
    const uint8_t r = reopen->data[4];
    Bytes read;
    for (int i = 0; i < 2; ++i) {
        auto p = host->ask(2, {4, 6, r});
        ASSERT_TRUE(p);
        read.insert(read.end(), p->data.begin() + 3, p->data.end());
    }
    EXPECT_EQ(read, content);
    EXPECT_EQ(host->ask(2, {4, 8, r}), (Pkt{2, {4, 8, r, 0}}));
    EXPECT_EQ(host->ask(2, {4, 1, 2, 0}), (Pkt{2, {4, 0x81, 2, 0, 13}}));  // no store 2
}

TEST(modsimFactory, ReadsAndWritesFactoryDataInChunksOf26) {
    auto sim = startSim({spec("serial=1,factory=3:" + std::string(60, 'a') + ",transport=none")});
    auto host = connect(*sim);
    // Reading 30 bytes: 26, then 4, then the closing message.
    auto first = host->ask(2, {94, 0x43});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data.size(), 28u);
    EXPECT_EQ(Bytes(first->data.begin(), first->data.begin() + 2), (Bytes{94, 3}));
    auto second = host->ask(2, {94, 3});
    ASSERT_TRUE(second);
    EXPECT_EQ(second->data, (Bytes{94, 3, 0xAA, 0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(host->ask(2, {94, 0x20, 0, 30}), (Pkt{2, {94, 0}}));
    EXPECT_EQ(host->ask(2, {94, 0x45}), (Pkt{2, {94, 0x85, 3}}));  // no kind 5

    // Writing 30 bytes: 26 with flags 0x50, 4 with 0x10, then the count.
    Bytes data(30);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i + 1);
    Bytes m1{94, 0x55};
    m1.insert(m1.end(), data.begin(), data.begin() + 26);
    EXPECT_EQ(host->ask(2, m1), (Pkt{2, {94, 5}}));
    Bytes m2{94, 0x15};
    m2.insert(m2.end(), data.begin() + 26, data.end());
    EXPECT_EQ(host->ask(2, m2), (Pkt{2, {94, 5}}));
    EXPECT_EQ(host->ask(2, {94, 0x20, 0, 31}),
              (Pkt{2, {94, 0x80, 14}}));  // a wrong count keeps nothing
    EXPECT_EQ(sim->state()["modules"]["00000001"]["factory"].count("5"), 0u);
    EXPECT_EQ(host->ask(2, m1), (Pkt{2, {94, 5}}));
    EXPECT_EQ(host->ask(2, m2), (Pkt{2, {94, 5}}));
    EXPECT_EQ(host->ask(2, {94, 0x20, 0, 30}), (Pkt{2, {94, 0}}));
    EXPECT_EQ(sim->state()["modules"]["00000001"]["factory"]["5"],
              "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e");
}

TEST(modsimStreams, SubscriptionsBringPeriodicSamplesUntilCancelled) {
    auto sim = startSim({spec("serial=1,stream-period=20,transport=none")});
    auto host = connect(*sim);
    EXPECT_EQ(host->ask(2, {93, 0x41, 0x20}), (Pkt{2, {93, 1, 0, 0}}));
    // Subscribe to option 22 (uptime) of the system entity at module 2.
    EXPECT_EQ(host->ask(2, {93, 0x81, 0x20, 2, 3, 22, 0}), (Pkt{2, {93, 0xC1, 0}}));
    for (int i = 0; i < 3; ++i) {
        auto s = host->receive(1000);
        ASSERT_TRUE(s);
        ASSERT_EQ(s->data.size(), 17u) << *s;  // a 32-bit sample
        EXPECT_EQ(Bytes(s->data.begin(), s->data.begin() + 4), (Bytes{3, 22, 0x40, 3}));
        EXPECT_EQ(s->data.back(), 0);
    }
    EXPECT_EQ(host->ask(2, {93, 0x82, 0x20, 2, 3, 22, 0}, 1000).has_value(), true);
    // Samples already on their way may still come; then nothing.
    while (auto p = host->receive(100)) {
        if (p->data == Bytes{93, 0xC2, 0})
            continue;
        EXPECT_EQ(p->data[2], 0x40) << *p;
    }
    EXPECT_TRUE(host->silentFor(100));

    // All options of the entity: one sample per streamed option each period.
    EXPECT_EQ(host->ask(2, {93, 0x81, 0x20, 2, 3, 0xFF, 0}), (Pkt{2, {93, 0xC1, 0}}));
    std::set<uint8_t> options;
    for (int i = 0; i < 8; ++i) {
        auto s = host->receive(1000);
        ASSERT_TRUE(s);
        options.insert(s->data[1]);
    }
    EXPECT_EQ(options, (std::set<uint8_t>{12, 21, 22, 27}));
}
