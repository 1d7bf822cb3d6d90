// A serial module on a pseudo-terminal: COBS frames with CRC-8, checked with
// an encoder written here from the frame definition.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "unit/modsim_host.h"

using namespace modsim_test;

namespace {

uint8_t crc(const Bytes& b) {
    uint8_t c = 0;
    for (uint8_t x : b) {
        c ^= x;
        for (int i = 0; i < 8; ++i)
            c = (c & 1) ? uint8_t((c >> 1) ^ 0x8C) : uint8_t(c >> 1);
    }
    return c;
}

Bytes frame(uint8_t address, const Bytes& data) {
    Bytes payload{address, uint8_t(data.size())};
    payload.insert(payload.end(), data.begin(), data.end());
    payload.push_back(crc(payload));
    Bytes out{0};
    size_t code = 0;
    for (uint8_t b : payload) {
        if (b == 0) {
            out[code] = uint8_t(out.size() - code);
            code = out.size();
            out.push_back(0);
        } else {
            out.push_back(b);
        }
    }
    out[code] = uint8_t(out.size() - code);
    out.push_back(0);
    return out;
}

class SerialHost {
  public:
    explicit SerialHost(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~SerialHost() { close(fd_); }
    bool ok() const { return fd_ >= 0; }
    void write(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    // The next frame's bytes, delimiter included.
    std::optional<Bytes> readFrame(int timeoutMs = 1000) {
        Bytes f;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return std::nullopt;
            uint8_t b;
            if (read(fd_, &b, 1) != 1)
                return std::nullopt;
            if (b == 0 && f.empty())
                continue;
            f.push_back(b);
            if (b == 0)
                return f;
        }
    }

  private:
    int fd_ = -1;
};

}  // namespace

TEST(modsimSerial, AnswersCobsFramesAndDropsDamagedOnes) {
    auto sim = startSim(
        {spec("serial=40F5849A,address=4,name=" + std::string(30, 'N') + ",transport=pty")});
    const std::string path = sim->path(0x40F5849A);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    SerialHost host(path);
    ASSERT_TRUE(host.ok());

    host.write(frame(0xAD, {}));
    EXPECT_EQ(host.readFrame(), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
    host.write(frame(4, {3, 0x40 | 9, 0x20}));
    EXPECT_EQ(host.readFrame(), frame(4, {3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));

    Bytes bad = frame(4, {3, 0x40 | 9, 0x20});
    bad[bad.size() - 2] ^= 0x01;  // wrong CRC: no answer
    host.write(bad);
    host.write(frame(4, {0x49, 0xFF}));
    EXPECT_EQ(host.readFrame(), frame(4, {0x49, 0xFF, 0, 0, 0, 1}));

    // A byte array comes in chunks that fit a serial frame (27 data bytes).
    host.write(frame(4, {3, 0x40 | 32, 0x20}));
    auto a = host.readFrame(), b = host.readFrame();
    ASSERT_TRUE(a && b);
    Bytes first{3, 32, 0};
    first.insert(first.end(), 23, 'N');
    first.push_back(0x80);
    EXPECT_EQ(*a, frame(4, first));
    EXPECT_EQ(*b, frame(4, {3, 32, 0, 'N', 'N', 'N', 'N', 'N', 'N', 'N', 0x01}));
    EXPECT_EQ(sim->state()["modules"]["40F5849A"]["counters"]["bad_frames"], 1);
}

TEST(modsimSerial, StaysSilentWhileRebootingAndAnswersAfterwards) {
    auto sim = startSim({spec("serial=1,transport=pty,reboot-ms=300")});
    SerialHost host(sim->path(1));
    host.write(frame(2, {95, 6}));
    host.write(frame(0xAD, {}));
    EXPECT_FALSE(host.readFrame(50));
    bool back = false;
    for (int i = 0; i < 200 && !back; ++i) {
        host.write(frame(0xAD, {}));
        back = host.readFrame(20) == frame(2, {});
    }
    EXPECT_TRUE(back);
}
