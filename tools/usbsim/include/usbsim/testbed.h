// usbsim: simulated USB devices that the real libusb enumerates, opens and
// moves bulk data through. A umockdev testbed provides the sysfs records and
// device nodes; an ioctl handler answers the usbfs requests libusb makes
// (capabilities, claiming, control transfers for string descriptors, bulk
// URBs) and bridges bulk OUT and IN to a byte pipe, usually the host end of a
// module simulator's stream.
//
// The code under test must run with umockdev's preload library; programs
// using this start with usbsim::ReexecUnderPreload().
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbsim {

// What a device looks like on the bus.
struct DeviceSpec {
    uint16_t vendor = 0;  // 0: the library's module vendor identifier
    uint16_t product = 1;
    std::string serial = "0000002A";  // the serial-number string descriptor
    uint16_t inMaxPacket = 64;
    uint16_t outMaxPacket = 64;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    bool withInEndpoint = true;
    bool withOutEndpoint = true;
};

class Testbed;

// One device. All methods are thread-safe.
class Device {
  public:
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const DeviceSpec& spec() const { return spec_; }
    std::string devnode() const;

    // The byte pipe behind the bulk endpoints: OUT transfers are written to
    // fd, IN transfers are answered with what fd yields. The device takes
    // ownership of fd. Without a pipe, OUT data is only recorded and IN
    // transfers wait for feedIn().
    void attachPipe(int fd);
    // Bytes for the next IN transfers (when no pipe is attached).
    void feedIn(const std::vector<uint8_t>& bytes);
    // The next `count` bulk IN transfers complete with `status` (a negative
    // errno as usbfs reports it: -EPROTO for a transfer error, -EPIPE for a
    // stall).
    void failIn(int count, int status);
    // The next `count` bulk OUT transfers complete with `status`.
    void failOut(int count, int status);
    // While busy, claiming the interface fails with EBUSY.
    void setBusy(bool busy) { setClaimError(busy ? EBUSY : 0); }
    // Claiming the interface fails with this errno (0: it succeeds).
    void setClaimError(int error);

    // What the host did so far.
    std::vector<size_t> outTransferSizes() const;
    std::vector<uint8_t> outBytes() const;
    int claims() const;
    int releases() const;
    int clearHalts() const;
    int opens() const;
    bool claimed() const;

  private:
    friend class Testbed;
    struct Urb;
    Device(Testbed& bed, const DeviceSpec& spec, int devnum);

    static int sHandleIoctl(void* handler, void* client, void* self);
    int handleIoctl(void* client);
    void submit(void* client, void* arg);
    void reap(void* client, void* arg);
    void discard(void* client, void* arg);
    void completeControl(Urb& urb);
    // Under mu_: moves parked IN URBs to the ready queue while data or
    // injected failures exist, and sets the node's readiness.
    void serviceLocked();
    void updateReadinessLocked();
    void goneLocked();
    // Called by the pump when the pipe is readable.
    void pumpPipe();
    bool wantsPipeLocked() const;

    Testbed& bed_;
    DeviceSpec spec_;
    int devnum_;
    std::string syspath_;
    std::string devnode_;
    std::string nodePath_;  // the node inside the testbed
    void* handler_ = nullptr;
    int readyFd_ = -1;  // our end of the node's FIFO
    bool readyShown_ = true;

    mutable std::mutex mu_;
    int pipeFd_ = -1;
    bool pipeEof_ = false;
    std::vector<uint8_t> pendingIn_;
    std::vector<std::unique_ptr<Urb>> parked_;
    std::vector<std::unique_ptr<Urb>> ready_;
    int failInCount_ = 0, failInStatus_ = 0;
    int failOutCount_ = 0, failOutStatus_ = 0;
    int claimError_ = 0;
    bool claimed_ = false;
    bool gone_ = false;
    std::vector<size_t> outSizes_;
    std::vector<uint8_t> outBytes_;
    int claims_ = 0, releases_ = 0, clearHalts_ = 0, opens_ = 0;
};

// A umockdev testbed with USB devices on bus 1. Creating one points this
// process's device and sysfs lookups (through the preload) at the testbed.
class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Adds a device and announces it. The reference stays valid until the
    // testbed ends.
    Device& add(const DeviceSpec& spec);
    // Unplugs the device: transfers in flight complete with -ENODEV, further
    // requests fail with ENODEV, the sysfs record goes and a remove event is
    // sent.
    void remove(Device& device);
    // A path inside the testbed's /dev, created by the caller (for nodes of
    // other drivers).
    std::string devPath(const std::string& name) const;

  private:
    friend class Device;
    void pumpLoop();
    void wakePump();

    void* testbed_ = nullptr;
    std::mutex mu_;
    std::vector<std::unique_ptr<Device>> devices_;
    int nextDevnum_ = 2;
    int wakeFd_ = -1;
    bool stopping_ = false;
    std::thread pump_;
};

// Makes sure this program runs with umockdev's preload library: when it does
// not, runs itself again under umockdev-wrapper with a private TMPDIR (removed
// afterwards) and exits with that run's status. Returns when the preload is
// active. Call first thing in main().
void ReexecUnderPreload(int argc, char** argv);

}  // namespace usbsim
