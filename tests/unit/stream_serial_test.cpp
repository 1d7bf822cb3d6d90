#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/aCOBS.h"
#include "common/aCRC8.h"
#include "common/aStream.h"
#include "support/cobs_frame.h"
#include "support/pty_pair.h"
#include "support/stream_probe.h"
#include "unix/aStreamCOBS.h"
#include "unix/aStreamSerial.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Generous bound for waiting on the other side; reached only when a test fails.
constexpr auto kPatience = 20s;
// How long the test listens to be sure that nothing was sent.
constexpr auto kQuiet = 200ms;

termios SettingsOf(int descriptor) {
    termios settings{};
    EXPECT_EQ(tcgetattr(descriptor, &settings), 0);
    return settings;
}

void ExpectRaw(const termios& settings) {
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP | INLCR), 0u);
    EXPECT_NE(settings.c_iflag & IGNBRK, 0u);
    EXPECT_NE(settings.c_cflag & CREAD, 0u);
    EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
}

void Expect8N1(const termios& settings) {
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
}

// ---- Opening

TEST(SerialCreate, ArgumentAndPathFailures) {
    qxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const char* path = pty.slavePath().c_str();
    aStreamRef stream = reinterpret_cast<aStreamRef>(&stream);  // must be cleared
    EXPECT_EQ(aStream_CreateSerial(path, 6, false, 2, 0, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSerial(path, 6, false, 0, 2, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(path, 6, false, 0, 0, nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateSerial("/dev/qx-no-such-port", 6, false, 0, 0, &stream), aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial(std::string(5000, 'p').c_str(), 6, false, 0, 0, &stream),
              aErrIO);
    EXPECT_EQ(stream, nullptr);

    // Something that opens but is no terminal cannot be configured.
    const std::string file = (std::filesystem::temp_directory_path() / "qx-serial-file").string();
    std::ofstream(file) << "x";
    EXPECT_EQ(aStream_CreateSerial(file.c_str(), 6, false, 0, 0, &stream), aErrIO);
    EXPECT_EQ(stream, nullptr);

    // The same checks guard the framed port.
    EXPECT_EQ(aStream_CreateSerial_Packetized(path, 6, false, 2, 0, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateSerial_Packetized(nullptr, 6, false, 0, 0, &stream), aErrResource);
    EXPECT_EQ(aStream_CreateSerial_Packetized("/dev/qx-no-such-port", 6, false, 0, 0, &stream),
              aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial_Packetized(file.c_str(), 6, false, 0, 0, &stream), aErrIO);
    EXPECT_EQ(stream, nullptr);
    std::filesystem::remove(file);
}

// The port is opened by a child process without privileges (the superuser
// may open anything), which reports the result as its exit status.
TEST(SerialCreate, PermissionDenied) {
    qxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(100);
        }
        aStreamRef stream = nullptr;
        const aErr result = aStream_CreateSerial(pty.slavePath().c_str(), 6, false, 0, 0, &stream);
        _exit(stream == nullptr ? static_cast<int>(result) : 101);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) {
        GTEST_SKIP() << "cannot drop privileges here";
    }
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(aErrPermission));
}

TEST(SerialCreate, BaudIndices) {
    const speed_t expected[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    qxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    for (uint32_t index = 0; index < 8; ++index) {
        aStreamRef stream = nullptr;
        ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), index, false, 0, 0, &stream),
                  aErrNone);
        const termios settings = SettingsOf(pty.slave());
        EXPECT_EQ(cfgetospeed(&settings), expected[index]) << index;
        EXPECT_EQ(cfgetispeed(&settings), expected[index]) << index;
        aStream_Destroy(&stream);
    }
}

TEST(SerialCreate, ParitySevenBitsTwoStops) {
    qxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    aStreamRef stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 2, true, 1, 1, &stream), aErrNone);
    // A pty always reports 8 bits without parity, whatever was asked, so
    // only the stop bits and the parity-error setting can be read back.
    const termios settings = SettingsOf(pty.slave());
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    EXPECT_NE(settings.c_iflag & IGNPAR, 0u);
    EXPECT_EQ(settings.c_cflag & PARODD, 0u);
    aStream_Destroy(&stream);
}

// ---- A serial stream on the slave; the test holds the master

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        before_ = SettingsOf(pty_.slave());
        ASSERT_EQ(aStream_CreateSerial(pty_.slavePath().c_str(), 6, false, 0, 0, &stream_),
                  aErrNone);
    }
    void TearDown() override { aStream_Destroy(&stream_); }

    qxtest::PtyPair pty_;
    termios before_{};
    aStreamRef stream_ = nullptr;
};

TEST_F(SerialPort, RawEightNOneAndRestoredOnClose) {
    const termios settings = SettingsOf(pty_.slave());
    ExpectRaw(settings);
    Expect8N1(settings);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    ASSERT_NE(before_.c_lflag & ICANON, 0u) << "a new pty starts cooked";

    EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
    const termios after = SettingsOf(pty_.slave());
    EXPECT_EQ(after.c_lflag, before_.c_lflag);
    EXPECT_EQ(after.c_iflag, before_.c_iflag);
    EXPECT_EQ(after.c_oflag, before_.c_oflag);
    EXPECT_EQ(after.c_cflag, before_.c_cflag);
}

// Every byte value passes untouched both ways: no echo, no line editing, no
// signal characters, no flow control, no newline translation.
TEST_F(SerialPort, EveryByteValueBothWays) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    ASSERT_TRUE(pty_.Send(all));
    EXPECT_EQ(qxtest::ReadBytes(stream_, all.size(), kPatience), all);
    EXPECT_EQ(aStream_Write(stream_, all.data(), all.size()), aErrNone);
    EXPECT_EQ(pty_.Receive(all.size(), kPatience), all);
    EXPECT_EQ(aStream_Write(stream_, all.data() + 13, 1), aErrNone);  // put
    EXPECT_EQ(pty_.Receive(1, kPatience), Bytes{13});
    EXPECT_TRUE(pty_.Drain(kQuiet).empty()) << "echoed or translated";
}

TEST_F(SerialPort, HangUpIsAnErrorAndDoesNotSpin) {
    pty_.CloseMaster();
    EXPECT_EQ(qxtest::ReadOne(stream_, kPatience).result, aErrIO);
    EXPECT_LT(qxtest::ReaderLoopCpuShare(stream_, 500ms), 0.20);
    const uint8_t byte = 1;
    EXPECT_EQ(aStream_Write(stream_, &byte, 1), aErrIO);
}

// ---- The framed stream over the pty

using qxtest::FrameOf;

Bytes PacketOf(uint8_t address, size_t dataLength) {
    Bytes packet = {address, static_cast<uint8_t>(dataLength)};
    for (size_t i = 0; i < dataLength; ++i) {
        packet.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0 : 0x80 + i));
    }
    return packet;
}

class CobsPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        ASSERT_EQ(
            aStream_CreateSerial_Packetized(pty_.slavePath().c_str(), 7, false, 0, 0, &stream_),
            aErrNone);
    }
    void TearDown() override { aStream_Destroy(&stream_); }

    qxtest::PtyPair pty_;
    aStreamRef stream_ = nullptr;
};

TEST_F(CobsPort, OpensRawEightNOne) {
    const termios settings = SettingsOf(pty_.slave());
    ExpectRaw(settings);
    Expect8N1(settings);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B230400));
}

TEST_F(CobsPort, EmptyPacketExampleBothWays) {
    const Bytes packet = {0x04, 0x00};
    EXPECT_EQ(aStream_Write(stream_, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(pty_.Receive(5, kPatience), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));

    ASSERT_TRUE(pty_.Send({0x02, 0x04, 0x02, 0x3B, 0x00}));
    EXPECT_EQ(qxtest::ReadBytes(stream_, 2, kPatience), packet);
}

TEST_F(CobsPort, CorruptFrameDroppedNextDelivered) {
    Bytes bad = FrameOf({0x04, 0x02, 0x11, 0x22});
    bad[bad.size() - 2] ^= 0x01;  // the CRC
    const Bytes good = {0x06, 0x01, 0x33};
    ASSERT_TRUE(pty_.Send(bad));
    ASSERT_TRUE(pty_.Send(FrameOf(good)));
    EXPECT_EQ(qxtest::ReadOne(stream_, kPatience).result, aErrPacket);
    EXPECT_EQ(qxtest::ReadBytes(stream_, good.size(), kPatience), good);
}

TEST_F(CobsPort, TwentySevenDataBytesCrossTwentyEightDoNot) {
    const Bytes fits = PacketOf(0x04, 27);
    EXPECT_EQ(aStream_Write(stream_, fits.data(), fits.size()), aErrNone);
    EXPECT_EQ(pty_.Receive(32, kPatience), FrameOf(fits));
    ASSERT_TRUE(pty_.Send(FrameOf(fits)));
    EXPECT_EQ(qxtest::ReadBytes(stream_, fits.size(), kPatience), fits);

    const Bytes tooLong = PacketOf(0x04, 28);
    EXPECT_EQ(aStream_Write(stream_, tooLong.data(), tooLong.size()), aErrSize);
    EXPECT_TRUE(pty_.Drain(kQuiet).empty());
    ASSERT_EQ(FrameOf(tooLong).size(), 33u);
    ASSERT_TRUE(pty_.Send(FrameOf(tooLong)));
    ASSERT_TRUE(pty_.Send(FrameOf({0x08, 0x00})));
    EXPECT_EQ(qxtest::ReadOne(stream_, kPatience).result, aErrPacket);
    EXPECT_EQ(qxtest::ReadBytes(stream_, 2, kPatience), (Bytes{0x08, 0x00}));
}

TEST_F(CobsPort, IdleReaderDoesNotSpin) {
    EXPECT_LT(qxtest::ReaderLoopCpuShare(stream_, 1000ms), 0.20);
    ASSERT_TRUE(pty_.Send(FrameOf({0x0A, 0x00})));
    EXPECT_EQ(qxtest::ReadBytes(stream_, 2, kPatience), (Bytes{0x0A, 0x00}));
}

// The framed stream reports a vanished port as "no byte" (the link notices
// through its heartbeat): that must not turn the reader into a spinning loop.
TEST_F(CobsPort, HungUpPortDoesNotSpin) {
    pty_.CloseMaster();
    EXPECT_LT(qxtest::ReaderLoopCpuShare(stream_, 500ms), 0.20);
}

}  // namespace
