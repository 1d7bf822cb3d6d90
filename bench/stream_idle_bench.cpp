// Idle cost and wake-up latency of a link reader's loop over a byte stream.
//
// The loop is the one a link's reader thread runs: one-byte aStream_Read
// calls, again at once whenever the stream reports aErrNotReady. Measured
// for a TCP socket stream on 127.0.0.1 and for a COBS-framed stream (and the
// plain serial stream beneath it) on a pseudo-terminal:
//   - idle CPU: process CPU time (getrusage, sampled by the scheduler tick)
//     and the reader thread's own CPU clock over 2 s of the loop with
//     nothing arriving, as a share of one core, and the number of reads;
//   - wake-up latency: from the peer's write to the reader holding the byte
//     (for the framed stream: the first packet byte of a minimal frame),
//     median and 99th percentile over 200 samples sent at random moments.
// Prints figures only; it never fails on a time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/aStream.h"
#include "unix/aStreamCOBS.h"
#include "unix/aStreamSerial.h"
#include "unix/aStreamSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdle = std::chrono::seconds(2);
constexpr int kSamples = 200;

double ProcessCpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The reader loop on a thread of its own; it stamps the arrival of every
// byte equal to marker.
class Reader {
  public:
    Reader(aStreamRef stream, uint8_t marker) : stream_(stream), marker_(marker) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Reader() {
        running_ = false;
        thread_.join();
    }
    uint64_t reads() const { return reads_; }
    // CPU time the reader thread has used, in seconds.
    double CpuSeconds() {
        clockid_t clock;
        timespec used{};
        if (pthread_getcpuclockid(thread_.native_handle(), &clock) == 0) {
            clock_gettime(clock, &used);
        }
        return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
    }
    // Waits for the next stamped arrival after the given count; false after 2 s.
    bool AwaitArrival(size_t count, Clock::time_point* at) {
        std::unique_lock<std::mutex> guard(mutex_);
        if (!arrived_.wait_for(guard, std::chrono::seconds(2),
                               [&] { return arrivals_.size() > count; })) {
            return false;
        }
        *at = arrivals_[count];
        return true;
    }
    size_t arrivals() {
        std::lock_guard<std::mutex> guard(mutex_);
        return arrivals_.size();
    }

  private:
    void Run() {
        uint8_t byte;
        while (running_) {
            const aErr result = aStream_Read(stream_, &byte, 1);
            ++reads_;
            if (result == aErrNone && byte == marker_) {
                const auto now = Clock::now();
                std::lock_guard<std::mutex> guard(mutex_);
                arrivals_.push_back(now);
                arrived_.notify_all();
            }
        }
    }

    aStreamRef stream_;
    uint8_t marker_;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> reads_{0};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Clock::time_point> arrivals_;
    std::thread thread_;
};

struct Figures {
    double idleCpu;        // process, share of one core
    double idleThreadCpu;  // reader thread, share of one core
    double readsPerSecond;
    double medianUs;
    double p99Us;
    int lost;
};

// send() delivers one sample to the stream's peer side.
Figures Measure(aStreamRef stream, uint8_t marker, const std::function<void()>& send) {
    Figures figures{};
    Reader reader(stream, marker);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // settle

    const uint64_t readsBefore = reader.reads();
    const double cpuBefore = ProcessCpuSeconds();
    const double threadBefore = reader.CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(kIdle);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.idleCpu = (ProcessCpuSeconds() - cpuBefore) / seconds;
    figures.idleThreadCpu = (reader.CpuSeconds() - threadBefore) / seconds;
    figures.readsPerSecond = static_cast<double>(reader.reads() - readsBefore) / seconds;

    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause(2000, 12000);  // microseconds
    std::vector<double> latencies;
    for (int i = 0; i < kSamples; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        const size_t count = reader.arrivals();
        const auto sent = Clock::now();
        send();
        Clock::time_point arrived;
        if (!reader.AwaitArrival(count, &arrived)) {
            ++figures.lost;
            continue;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        figures.medianUs = latencies[latencies.size() / 2];
        figures.p99Us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    return figures;
}

void Print(const char* name, const Figures& f) {
    std::printf(
        "%-20s idle CPU %5.2f %% of a core (reader thread %5.2f %%, %4.0f reads/s)   "
        "wake-up median %6.1f us, p99 %7.1f us%s\n",
        name, f.idleCpu * 100, f.idleThreadCpu * 100, f.readsPerSecond, f.medianUs, f.p99Us,
        f.lost ? "   (samples lost!)" : "");
}

bool WriteAll(int descriptor, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = write(descriptor, bytes, count);
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

int BenchSocket() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(endpoint);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&endpoint), size) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&endpoint), &size) != 0) {
        std::perror("listener");
        return 1;
    }
    aStreamRef stream = nullptr;
    if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), ntohs(endpoint.sin_port), &stream) !=
        aErrNone) {
        std::fprintf(stderr, "socket stream could not connect\n");
        return 1;
    }
    const int peer = accept(listener, nullptr, nullptr);
    const uint8_t byte = 0x04;
    const Figures figures = Measure(stream, byte, [&] { send(peer, &byte, 1, MSG_NOSIGNAL); });
    aStream_Destroy(&stream);
    close(peer);
    close(listener);
    Print("socket stream", figures);
    return 0;
}

int OpenPtyMaster(std::string* slavePath) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return -1;
    }
    *slavePath = ptsname(master);
    return master;
}

int BenchSerial(bool framed) {
    std::string slave;
    const int master = OpenPtyMaster(&slave);
    if (master < 0) {
        std::perror("pty");
        return 1;
    }
    aStreamRef stream = nullptr;
    const aErr opened =
        framed ? aStream_CreateSerial_Packetized(slave.c_str(), 6, false, 0, 0, &stream)
               : aStream_CreateSerial(slave.c_str(), 6, false, 0, 0, &stream);
    if (opened != aErrNone) {
        std::fprintf(stderr, "serial stream could not open %s\n", slave.c_str());
        return 1;
    }
    // The framed stream gets the smallest frame, packet 0x04 0x00; the plain
    // one single bytes.
    static const uint8_t kFrame[] = {0x02, 0x04, 0x02, 0x3B, 0x00};
    static const uint8_t kByte[] = {0x04};
    const Figures figures = Measure(stream, 0x04, [&] {
        if (framed) {
            WriteAll(master, kFrame, sizeof(kFrame));
        } else {
            WriteAll(master, kByte, sizeof(kByte));
        }
    });
    aStream_Destroy(&stream);
    close(master);
    Print(framed ? "COBS stream (pty)" : "serial stream (pty)", figures);
    return 0;
}

}  // namespace

int main() {
    std::printf(
        "reader loop over an idle stream for %d s, then %d samples; get waits up to %d ms\n",
        static_cast<int>(kIdle.count()), kSamples, aSTREAM_IDLE_WAIT_MS);
    int failed = BenchSocket();
    failed |= BenchSerial(true);
    failed |= BenchSerial(false);
    return failed;
}
