// The boot loader on command 95, driven with hand-built packets: the road of
// one block to flash, loader transfer and start, reboot into the new image,
// and the byte-array path on option 10.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "unit/modsim_host.h"

using namespace modsim_test;

namespace {

uint32_t byteSum(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b)
        s += x;
    return s;
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

Bytes prepare(uint8_t flags, uint32_t address) {
    return {95,
            3,
            flags,
            uint8_t(address >> 24),
            uint8_t(address >> 16),
            uint8_t(address >> 8),
            uint8_t(address)};
}

// Sends a piece as DATA packets of at most 26 bytes, each acknowledged.
void sendData(Host& host, uint8_t a, const Bytes& piece) {
    for (size_t pos = 0; pos < piece.size(); pos += 26) {
        size_t n = std::min<size_t>(26, piece.size() - pos);
        Bytes d{95, 1};
        d.insert(d.end(), piece.begin() + pos, piece.begin() + pos + n);
        ASSERT_EQ(host.ask(a, d), (Pkt{a, {95, 1, uint8_t(n)}})) << "at " << pos;
    }
}

Pkt sumReply(uint8_t a, uint32_t sum) {
    return Pkt{a,
               {95, 7, 0, uint8_t(sum >> 24), uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)}};
}

// A firmware image whose identity header names a version and build.
Bytes imageWithIdentity(size_t size, uint32_t version, uint32_t build) {
    Bytes image = pattern(size, 3);
    const Bytes header{'F',
                       'W',
                       'I',
                       'D',
                       uint8_t(version >> 24),
                       uint8_t(version >> 16),
                       uint8_t(version >> 8),
                       uint8_t(version),
                       uint8_t(build >> 24),
                       uint8_t(build >> 16),
                       uint8_t(build >> 8),
                       uint8_t(build),
                       0,
                       0,
                       0,
                       0};
    std::copy(header.begin(), header.end(), image.begin() + 0x100);
    return image;
}

Bytes flashAt(modsim::Simulator& sim, uint32_t serial, uint32_t address, size_t n) {
    return sim.call([&] { return sim.module(serial)->bootLoader().readFlash(address, n); });
}

}  // namespace

TEST(modsimBootLoader, OneBlockFromPrepareToFlash) {
    auto sim =
        startSim({spec("serial=1,load-base=0x20000000,block-size=256,flash-base=0x1000,"
                       "flash-size=0x10000")});
    Host host(Host::dialTcp(sim->tcpPort(1)));
    EXPECT_EQ(host.ask(2, {95, 0}), (Pkt{2, {95, 0, 0x20, 0, 0, 0}}));
    EXPECT_EQ(host.ask(2, prepare(1, 0x1800)), (Pkt{2, {95, 7, 0, 1, 0}}));  // block size 256

    const Bytes piece = pattern(100, 9);  // chunks of 26, 26, 26 and 22
    sendData(host, 2, piece);
    EXPECT_EQ(host.ask(2, {95, 4}), sumReply(2, byteSum(piece)));
    EXPECT_EQ(host.ask(2, {95, 5, 0, 100}), (Pkt{2, {95, 7, 0}}));

    // The second piece of the block goes right after the first.
    const Bytes second = pattern(30, 200);
    sendData(host, 2, second);
    EXPECT_EQ(host.ask(2, {95, 4}), sumReply(2, byteSum(second)));  // this transfer's bytes only
    EXPECT_EQ(host.ask(2, {95, 5, 0, 30}), (Pkt{2, {95, 7, 0}}));

    Bytes expected = piece;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(flashAt(*sim, 1, 0x1800, 130), expected);
    EXPECT_EQ(flashAt(*sim, 1, 0x17FF, 1), Bytes{0xFF});
    EXPECT_EQ(flashAt(*sim, 1, 0x1800 + 130, 1), Bytes{0xFF});

    auto state = sim->state()["modules"]["00000001"];
    EXPECT_EQ(state["flash"]["size"], 0x800 + 130);
    Bytes image(0x800, 0xFF);
    image.insert(image.end(), expected.begin(), expected.end());
    EXPECT_EQ(state["flash"]["sha256"], modsim::sha256Hex(image));
    EXPECT_EQ(state["counters"]["flash_bytes_written"], 130);
}

TEST(modsimBootLoader, RefusesWritesItCannotCarryOut) {
    auto sim = startSim({spec("serial=1,flash-size=0x1000,transport=none")});
    Host host(sim->connectStream(1));
    EXPECT_EQ(host.ask(2, {95, 5, 0, 4}), (Pkt{2, {95, 7, 13}}));  // nothing prepared
    ASSERT_TRUE(host.ask(2, prepare(0, 0x0FF0)));
    sendData(host, 2, pattern(20, 1));
    EXPECT_EQ(host.ask(2, {95, 5, 0, 21}), (Pkt{2, {95, 7, 13}}));  // more than received
    ASSERT_TRUE(host.ask(2, prepare(0, 0x0FF0)));
    sendData(host, 2, pattern(20, 1));
    EXPECT_EQ(host.ask(2, {95, 5, 0, 20}), (Pkt{2, {95, 7, 13}}));  // past the end of flash
    EXPECT_EQ(flashAt(*sim, 1, 0x0FF0, 16), Bytes(16, 0xFF));
}

TEST(modsimBootLoader, LoaderAndFirmwarePhasesEndInTheNewImage) {
    auto sim =
        startSim({spec("serial=40F5849A,version=2.14.7,build=100,reboot-ms=50,block-size=512")});
    const uint16_t port = sim->tcpPort(0x40F5849A);
    Host host(Host::dialTcp(port));
    host.send(0xAF, {1});
    ASSERT_TRUE(host.ask(2, {95, 0}));
    // Loader phase: one loader block, checked by its sum, then started.
    const Bytes loader = pattern(60, 77);
    EXPECT_EQ(host.ask(2, prepare(0, 0x20000000)), (Pkt{2, {95, 7, 0, 2, 0}}));
    sendData(host, 2, loader);
    EXPECT_EQ(host.ask(2, {95, 4}), sumReply(2, byteSum(loader)));
    EXPECT_EQ(host.ask(2, {95, 2}), (Pkt{2, {95, 2}}));

    // Firmware phase: a block of 0x300 bytes in pieces of 512 and 256.
    const Bytes image = imageWithIdentity(0x300, 0x2F030001, 4711);
    EXPECT_EQ(host.ask(2, prepare(0, 0)), (Pkt{2, {95, 7, 0, 2, 0}}));
    for (size_t pos = 0; pos < image.size(); pos += 512) {
        Bytes piece(image.begin() + pos, image.begin() + std::min(image.size(), pos + 512));
        sendData(host, 2, piece);
        EXPECT_EQ(host.ask(2, {95, 4}), sumReply(2, byteSum(piece)));
        EXPECT_EQ(host.ask(2, {95, 5, uint8_t(piece.size() >> 8), uint8_t(piece.size())}),
                  (Pkt{2, {95, 7, 0}}));
    }
    host.send(2, {95, 6});  // REBOOT: no answer, the link drops
    EXPECT_TRUE(host.closedWithin(1000));

    // Back after the reboot time, on the same port, with the image's identity.
    std::unique_ptr<Host> back;
    for (int i = 0; i < 300 && !back; ++i) {
        int fd = Host::dialTcp(port);
        if (fd >= 0)
            back = std::make_unique<Host>(fd);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(back);
    EXPECT_EQ(back->ask(2, {3, 0x40 | 7, 0x20}), (Pkt{2, {3, 7, 0, 0x2F, 0x03, 0x00, 0x01}}));
    EXPECT_EQ(back->ask(2, {0x49, 0xFF}), (Pkt{2, {0x49, 0xFF, 0, 0, 0x12, 0x67}}));
    EXPECT_EQ(back->ask(2, {3, 0x40 | 43, 0x20}), (Pkt{2, {3, 43, 0, 0, 0, 0x12, 0x67}}));

    auto state = sim->state()["modules"]["40F5849A"];
    EXPECT_EQ(state["version"], "3.0.1");
    EXPECT_EQ(state["build"], 4711);
    EXPECT_EQ(state["flash"]["sha256"], modsim::sha256Hex(image));
    EXPECT_EQ(state["counters"]["loader_bytes"], 60);
    EXPECT_EQ(state["counters"]["reboot"], 1);
}

TEST(modsimBootLoader, ByteArraysOnOption10InOnePooledWrite) {
    auto sim = startSim({spec("serial=1,transport=none")});
    Host host(sim->connectStream(1));
    ASSERT_EQ(host.ask(2, {0x49, 0x01, 95, 10, 0, 0x80}), (Pkt{2, {0x49, 1, 95, 10, 0, 0}}));
    ASSERT_TRUE(host.ask(2, prepare(0, 0x400)));
    const Bytes piece = pattern(100, 42);
    Bytes pool;
    for (size_t pos = 0, seq = 0; pos < piece.size(); pos += 24, ++seq) {
        size_t n = std::min<size_t>(24, piece.size() - pos);
        bool more = pos + n < piece.size();
        Bytes d{95, 0x80 | 10, 0x20};
        d.insert(d.end(), piece.begin() + pos, piece.begin() + pos + n);
        d.push_back(uint8_t((more ? 0x80 : 0) | seq));
        pool.push_back(2);
        pool.push_back(uint8_t(d.size()));
        pool.insert(pool.end(), d.begin(), d.end());
    }
    host.sendRaw(pool);  // five messages back to back in one write
    EXPECT_EQ(host.receive(), (Pkt{2, {95, 0xCA, 0}}));
    EXPECT_TRUE(host.silentFor(30));  // one acknowledgement for the whole array
    EXPECT_EQ(host.ask(2, {95, 4}), sumReply(2, byteSum(piece)));
    EXPECT_EQ(host.ask(2, {95, 5, 0, 100}), (Pkt{2, {95, 7, 0}}));
    EXPECT_EQ(flashAt(*sim, 1, 0x400, 100), piece);
}

TEST(modsimBootLoader, LoadCanDropTheLinkAndAnswerOnTheNextOne) {
    auto sim = startSim({spec("serial=1,load-drop=500,load-reply-quiet=50")});
    const uint16_t port = sim->tcpPort(1);
    Host host(Host::dialTcp(port));
    ASSERT_TRUE(host.ask(2, {95, 0}));
    host.send(2, {95, 2});
    EXPECT_TRUE(host.closedWithin(1000));
    EXPECT_LT(Host::dialTcp(port), 0);  // away for a while

    std::unique_ptr<Host> back;
    for (int i = 0; i < 300 && !back; ++i) {
        int fd = Host::dialTcp(port);
        if (fd >= 0)
            back = std::make_unique<Host>(fd);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(back);
    back->send(0xAF, {1});
    EXPECT_EQ(back->ask(0xAD, {}), (Pkt{2, {}}));
    EXPECT_EQ(back->receive(1000), (Pkt{2, {95, 2}}));  // the loader's late answer
    EXPECT_TRUE(back->silentFor(100));
    auto state = sim->state()["modules"]["00000001"];
    EXPECT_EQ(state["in_loader"], true);
    EXPECT_EQ(state["counters"]["late_load_replies"], 1);
}
