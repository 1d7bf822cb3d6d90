// Link engine figures against an in-process simulated module over loopback
// TCP, each beside the same exchange over a raw socket in the same run:
//   1. request-to-answer round trip (median and 99th percentile);
//   2. pooled throughput (packets per second into the module);
//   3. CPU used by an idle connected link.
// It prints figures and ratios; it never fails on a time.
//
//   link_roundtrip_bench [round trips] [packets]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_socket.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "modsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x0000BE7C;
constexpr uint8_t kAddress = 2;
// A packet addressed to no module: the simulator reads and drops it.
constexpr uint8_t kNobody = 0x70;
constexpr int kBatch = 500;  // packets between two markers (below the FIFO bound)

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Spread {
    double median;
    double p99;
};

Spread Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return {samples[n / 2], samples[std::min(n - 1, n * 99 / 100)]};
}

// ---- Raw socket side ----

bool SendAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t sent = send(fd, bytes, count, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

// Reads until a whole packet has come; its wire size, or 0.
size_t ReceivePacket(int fd, uint8_t* buffer) {
    size_t have = 0;
    for (;;) {
        if (have >= 2 && have >= size_t(buffer[1]) + 2) {
            return have;
        }
        const ssize_t got = recv(fd, buffer + have, 2 + 28 - have, 0);
        if (got <= 0) {
            return 0;
        }
        have += static_cast<size_t>(got);
    }
}

Spread RawRoundTrips(uint16_t port, int count) {
    const int fd = bench::Dial(port);
    std::vector<double> samples;
    const uint8_t request[] = {kAddress, 2, 0x49, 0xFF};
    uint8_t answer[32];
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        SendAll(fd, request, sizeof(request));
        if (ReceivePacket(fd, answer) == 0) {
            break;
        }
        samples.push_back(Micros(Clock::now() - start));
    }
    close(fd);
    return Summarise(samples);
}

double RawThroughput(uint16_t port, int packets) {
    const int fd = bench::Dial(port);
    std::vector<uint8_t> batch;
    for (int i = 0; i < kBatch; ++i) {
        batch.push_back(kNobody);
        batch.push_back(28);
        batch.insert(batch.end(), 28, static_cast<uint8_t>(i));
    }
    const uint8_t marker[] = {0xAD, 0};
    uint8_t answer[32];
    const auto start = Clock::now();
    for (int sent = 0; sent < packets; sent += kBatch) {
        // As the pooled writer does: at most 4080 bytes per write.
        for (size_t at = 0; at < batch.size(); at += 4080) {
            SendAll(fd, batch.data() + at, std::min<size_t>(4080, batch.size() - at));
        }
        SendAll(fd, marker, sizeof(marker));
        ReceivePacket(fd, answer);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return packets / seconds;
}

// ---- Link side ----

bool IsBuild(const aPacket* packet, const void*) {
    return packet->dataSize == 6 && packet->data[0] == 0x49;
}

bool IsSyncAnswer(const aPacket* packet, const void*) {
    return packet->dataSize == 0;
}

void Put(uint32_t id, uint8_t address, size_t length, const uint8_t* data) {
    aPacketRef packet = aPacket_CreateWithData(address, length, data);
    aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
}

Spread LinkRoundTrips(uint32_t id, int count) {
    std::vector<double> samples;
    const uint8_t request[] = {0x49, 0xFF};
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        Put(id, kAddress, sizeof(request), request);
        aPacketRef answer = aLink_AwaitFirst(id, IsBuild, nullptr, 1000);
        if (answer == nullptr) {
            break;
        }
        samples.push_back(Micros(Clock::now() - start));
        aPacket_Destroy(&answer);
    }
    return Summarise(samples);
}

double LinkThroughput(uint32_t id, int packets) {
    aLink_EnablePooledPackets(id, true);
    uint8_t data[28];
    const uint8_t none = 0;
    const auto start = Clock::now();
    for (int sent = 0; sent < packets; sent += kBatch) {
        for (int i = 0; i < kBatch; ++i) {
            std::fill(std::begin(data), std::end(data), static_cast<uint8_t>(i));
            Put(id, kNobody, sizeof(data), data);
        }
        Put(id, 0xAD, 0, &none);
        aPacketRef answer = aLink_AwaitFirst(id, IsSyncAnswer, nullptr, 5000);
        aPacket_Destroy(&answer);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    aLink_EnablePooledPackets(id, false);
    return packets / seconds;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time the whole process uses over seconds of sleep on this thread, as a
// share of one core.
double IdleCpuShare(double seconds) {
    const double before = ProcessCpuSeconds();
    const auto start = Clock::now();
    usleep(static_cast<useconds_t>(seconds * 1e6));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return (ProcessCpuSeconds() - before) / wall;
}

}  // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int packets = argc > 2 ? std::atoi(argv[2]) : 200000;

    modsim::SimConfig config;
    config.modules.push_back(modsim::parseModuleSpec("serial=0000BE7C,build=4711", false));
    modsim::Simulator simulator(config);
    simulator.open();
    simulator.start();
    const uint16_t port = simulator.tcpPort(kSerial);

    uint32_t id = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), port);
    if (id == 0 || aLink_Sync(id) != aErrNone) {
        std::fprintf(stderr, "link_roundtrip_bench: no link to the simulator\n");
        return 1;
    }

    // Warm both paths up, then measure them one after the other.
    RawRoundTrips(port, 200);
    LinkRoundTrips(id, 200);
    const Spread raw = RawRoundTrips(port, trips);
    const Spread link = LinkRoundTrips(id, trips);
    std::printf("round trip, %d requests (0x49 0xFF) over loopback TCP to the simulator\n", trips);
    std::printf("  raw socket   median %8.1f us   p99 %8.1f us\n", raw.median, raw.p99);
    std::printf("  link engine  median %8.1f us   p99 %8.1f us\n", link.median, link.p99);
    std::printf("  engine adds  median %8.1f us   p99 %8.1f us   (ratio %.2f)\n",
                link.median - raw.median, link.p99 - raw.p99, link.median / raw.median);

    const double rawRate = RawThroughput(port, packets);
    const double linkRate = LinkThroughput(id, packets);
    std::printf("throughput, %d packets of 30 bytes, a marker round trip every %d\n", packets,
                kBatch);
    std::printf("  raw socket   %10.0f packets/s\n", rawRate);
    std::printf("  pooled link  %10.0f packets/s   (ratio %.2f)\n", linkRate, linkRate / rawRate);

    // Idle: the link's threads run, nothing is sent, the simulator sleeps.
    // The same span without the link gives the simulator's own share.
    const double withLink = IdleCpuShare(3.0);
    aLink_Destroy(&id);
    const double without = IdleCpuShare(3.0);
    std::printf(
        "idle connected link: process %.3f%% of a core with the link, %.3f%% without;"
        " the link's share %.3f%%\n",
        100.0 * withLink, 100.0 * without, 100.0 * (withLink - without));

    simulator.stop();
    return 0;
}
