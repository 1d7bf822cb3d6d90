// Firmware transfer figures against in-process simulated modules over
// loopback TCP, all in one run:
//   1. the raw round trip of one request and its answer on a plain socket;
//   2. the same 256 KiB firmware block (after a 2 KiB loader) sent through
//      UpdaterEntity on the plain path (26-byte acknowledged packets) and on
//      the byte-array path with pooled writes, and their ratio.
// It prints figures and ratios; it never fails on a time.
//
//   update_transfer_bench [KiB of firmware] [block size]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "app/UpdaterEntity.h"
#include "bench_socket.h"
#include "modsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using Vexmoran::Quillarex::Module;
using Vexmoran::Quillarex::NimbusConfig;

constexpr uint32_t kPlainSerial = 0x0000A001;
constexpr uint32_t kArraySerial = 0x0000A002;

class QuietDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Median microseconds of a build request and its answer on a raw socket.
double RawRoundTrip(uint16_t port, int count) {
    const int fd = bench::Dial(port);
    if (fd < 0) {
        return 0;
    }
    const uint8_t request[] = {2, 2, 0x49, 0xFF};
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (send(fd, request, sizeof(request), MSG_NOSIGNAL) != sizeof(request)) {
            break;
        }
        uint8_t answer[32];
        size_t have = 0;
        while (have < 2 || have < size_t(answer[1]) + 2) {
            const ssize_t got = recv(fd, answer + have, sizeof(answer) - have, 0);
            if (got <= 0) {
                close(fd);
                return 0;
            }
            have += static_cast<size_t>(got);
        }
        samples.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    close(fd);
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

std::vector<unsigned char> Block(uint32_t address, size_t payload, unsigned seed) {
    std::vector<unsigned char> block = {uint8_t(address >> 24), uint8_t(address >> 16),
                                        uint8_t(address >> 8), uint8_t(address)};
    srand(seed);
    for (size_t i = 0; i < payload; ++i) {
        block.push_back(static_cast<unsigned char>(rand()));
    }
    return block;
}

struct Timing {
    bool ok = false;
    bool usedArrays = false;
    double loader = 0;
    double firmware = 0;
};

// Loader phase then one firmware block, as an update sends them (without
// the reboot, whose wait is the module's own time).
Timing Transfer(modsim::Simulator& sim, uint32_t serial, bool wantArrays,
                const std::vector<unsigned char>& loaderBlock,
                const std::vector<unsigned char>& firmwareBlock) {
    Timing t;
    Module module(2, true, 0);
    NimbusConfig config;
    config.enabled = false;
    config.fallback = false;
    module.setConfig(config);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = serial;
    inet_pton(AF_INET, "127.0.0.1", &spec.t.ip.ip_address);
    spec.t.ip.ip_port = sim.tcpPort(serial);
    if (module.connectFromSpec(spec) != aErrNone) {
        return t;
    }
    QuietDisplay display;
    unsigned short blockSize = 0;

    auto start = Clock::now();
    UpdaterEntity loader;
    loader.init(&module, 0, true, false);
    if (loader.LoaderInit() != aErrNone ||
        loader.TransferPrepare(loaderBlock.data(), unsigned(loaderBlock.size()), 0, blockSize) !=
            aErrNone ||
        loader.LoaderTransfer(loaderBlock.data(), unsigned(loaderBlock.size())) != aErrNone ||
        loader.LoaderStart() != aErrNone) {
        return t;
    }
    t.loader = Seconds(Clock::now() - start);

    start = Clock::now();
    UpdaterEntity firmware;
    firmware.init(&module, 0, true, false);
    if (wantArrays && firmware.CheckUEIDataSupport() == aErrNone) {
        firmware.CheckPooledPacketsSupport();
    }
    t.usedArrays = firmware.UsesUEIData();
    if (firmware.TransferPrepare(firmwareBlock.data(), unsigned(firmwareBlock.size()), 0,
                                 blockSize) != aErrNone ||
        firmware.FirmwareTransfer(firmwareBlock.data(), unsigned(firmwareBlock.size()), blockSize,
                                  display) != aErrNone) {
        return t;
    }
    t.firmware = Seconds(Clock::now() - start);
    t.ok = true;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const unsigned blockSize = argc > 2 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : 1024;

    modsim::SimConfig config;
    const std::string common =
        ",block-size=" + std::to_string(blockSize) + ",reboot-ms=60000";
    config.modules.push_back(modsim::parseModuleSpec("serial=A001,uei-data=0" + common, false));
    config.modules.push_back(modsim::parseModuleSpec("serial=A002,uei-data=1" + common, false));
    modsim::Simulator sim(config);
    sim.open();
    sim.start();

    const auto loaderBlock = Block(0x20000000, 2048, 1);
    const auto firmwareBlock = Block(0, kib * 1024, 2);

    const double raw = RawRoundTrip(sim.tcpPort(kPlainSerial), 2000);
    const Timing plain = Transfer(sim, kPlainSerial, false, loaderBlock, firmwareBlock);
    const Timing arrays = Transfer(sim, kArraySerial, true, loaderBlock, firmwareBlock);
    sim.stop();
    if (!plain.ok || !arrays.ok || !arrays.usedArrays) {
        std::fprintf(stderr, "a transfer failed (plain %d, arrays %d/%d)\n", plain.ok, arrays.ok,
                     arrays.usedArrays);
        return 1;
    }

    const size_t pieces = (kib * 1024 + blockSize - 1) / blockSize;
    const size_t plainExchanges = (kib * 1024 + 25) / 26 + 2 * pieces;
    std::printf("firmware %zu KiB, block size %u (%zu pieces), loader 2 KiB, loopback TCP\n", kib,
                blockSize, pieces);
    std::printf("raw socket round trip (median)      %8.1f us\n", raw);
    std::printf("plain path:  loader %7.3f s  firmware %7.3f s  (%zu exchanges, %.1f us each)\n",
                plain.loader, plain.firmware, plainExchanges,
                plain.firmware * 1e6 / plainExchanges);
    std::printf("array path:  loader %7.3f s  firmware %7.3f s  (%zu pieces, %.1f us each)\n",
                arrays.loader, arrays.firmware, pieces, arrays.firmware * 1e6 / pieces);
    std::printf("firmware phase: array path is %.1fx faster than the plain path\n",
                plain.firmware / arrays.firmware);
    std::printf("plain exchange / raw round trip: %.2fx\n",
                plain.firmware * 1e6 / plainExchanges / raw);
    return 0;
}
