// Shared pieces of the USB test programs: a fixture with a fresh umockdev
// testbed per test (and a fresh shared libusb context), simulated modules
// bridged to simulated USB devices, and reading with a deadline.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/aStream.h"
#include "modsim/config.h"
#include "modsim/simulator.h"
#include "unix/qxusb.h"
#include "usbsim/testbed.h"

namespace usbtest {

using Bytes = std::vector<uint8_t>;

class UsbBed : public testing::Test {
  protected:
    void SetUp() override {
        Quillarex_libusb_exit();
        bed_ = std::make_unique<usbsim::Testbed>();
    }
    void TearDown() override {
        Quillarex_libusb_exit();
        bed_.reset();
        sim_.reset();
    }

    // Replaces the testbed by an empty one, with a new libusb context.
    void freshBed() {
        Quillarex_libusb_exit();
        bed_.reset();
        bed_ = std::make_unique<usbsim::Testbed>();
    }

    // Starts the simulator with modules given as module specifications
    // ("serial=0000002A,address=4"), all on in-process links.
    void startSim(const std::vector<std::string>& modules) {
        modsim::SimConfig config;
        for (const auto& m : modules) {
            config.modules.push_back(modsim::parseModuleSpec(m + ",transport=none", false));
        }
        sim_ = std::make_unique<modsim::Simulator>(config);
        sim_->open();
        sim_->start();
    }

    // A simulated USB device whose bulk endpoints lead to the simulated
    // module with that serial number.
    usbsim::Device& plugModule(uint32_t serial, usbsim::DeviceSpec spec = {}) {
        char text[16];
        snprintf(text, sizeof text, "%08X", serial);
        spec.serial = text;
        usbsim::Device& device = bed_->add(spec);
        const int fd = sim_->connectStream(serial);
        EXPECT_GE(fd, 0);
        device.attachPipe(fd);
        return device;
    }

    std::unique_ptr<usbsim::Testbed> bed_;
    std::unique_ptr<modsim::Simulator> sim_;
};

// Reads count bytes, giving up after patience; every get waits for data,
// so this does not spin.
inline aErr ReadWithin(aStreamRef stream, Bytes& out, size_t count,
                       std::chrono::milliseconds patience = std::chrono::milliseconds(3000)) {
    out.assign(count, 0);
    const auto end = std::chrono::steady_clock::now() + patience;
    aErr e;
    do {
        e = aStream_Read(stream, out.data(), count);
    } while (e == aErrNotReady && std::chrono::steady_clock::now() < end);
    return e;
}

// Sends one packet and reads one packet back.
inline Bytes Ask(aStreamRef stream, const Bytes& packet) {
    if (aStream_Write(stream, packet.data(), packet.size()) != aErrNone) {
        return {};
    }
    Bytes head, body;
    if (ReadWithin(stream, head, 2) != aErrNone) {
        return {};
    }
    if (head[1] > 0 && ReadWithin(stream, body, head[1]) != aErrNone) {
        return {};
    }
    head.insert(head.end(), body.begin(), body.end());
    return head;
}

}  // namespace usbtest
