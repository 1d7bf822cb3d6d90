#include "usbsim/testbed.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wcast-function-type"
#include <umockdev.h>
#pragma GCC diagnostic pop

#include "unix/qxusb.h"

namespace usbsim {

namespace {

const uint8_t kInEndpoint = 0x81;
const uint8_t kOutEndpoint = 0x02;

UMockdevTestbed* sBed(void* p) {
    return static_cast<UMockdevTestbed*>(p);
}

std::vector<uint8_t> sDescriptors(const DeviceSpec& spec) {
    const uint16_t vendor = spec.vendor != 0 ? spec.vendor : QX_USB_VENDOR_ID;
    const uint8_t endpoints =
        static_cast<uint8_t>((spec.withInEndpoint ? 1 : 0) + (spec.withOutEndpoint ? 1 : 0));
    const uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * endpoints);
    std::vector<uint8_t> d = {18,
                              1,
                              0x00,
                              0x02,
                              0,
                              0,
                              0,
                              64,  // USB 2.0, class per interface, EP0 64
                              static_cast<uint8_t>(vendor),
                              static_cast<uint8_t>(vendor >> 8),
                              static_cast<uint8_t>(spec.product),
                              static_cast<uint8_t>(spec.product >> 8),
                              0x00,
                              0x01,
                              1,
                              2,
                              3,
                              1,  // bcdDevice 1.00, strings 1-3, one configuration
                              9,
                              2,
                              static_cast<uint8_t>(total),
                              static_cast<uint8_t>(total >> 8),
                              1,
                              1,
                              0,
                              0x80,
                              50,
                              9,
                              4,
                              0,
                              0,
                              endpoints,
                              spec.interfaceClass,
                              spec.interfaceSubClass,
                              spec.interfaceProtocol,
                              0};
    auto endpoint = [&d](uint8_t address, uint16_t maxPacket) {
        const uint8_t bytes[] = {7,
                                 5,
                                 address,
                                 0x02,
                                 static_cast<uint8_t>(maxPacket),
                                 static_cast<uint8_t>(maxPacket >> 8),
                                 0};
        d.insert(d.end(), bytes, bytes + sizeof bytes);
    };
    if (spec.withInEndpoint) {
        endpoint(kInEndpoint, spec.inMaxPacket);
    }
    if (spec.withOutEndpoint) {
        endpoint(kOutEndpoint, spec.outMaxPacket);
    }
    return d;
}

std::vector<uint8_t> sStringDescriptor(const std::string& text) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

bool sWriteAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

// One submitted URB: the client's record and its buffer, both mirrored here
// until the client reaps it. URBs belong to the open file that submitted them,
// as in the kernel: a second handle on the device (an enumeration reading the
// serial string while a link holds the module) never reaps or discards
// another handle's URBs, whose records live in that handle's memory mapping.
struct Device::Urb {
    const void* owner = nullptr;
    UMockdevIoctlData* record = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    ~Urb() {
        if (buffer != nullptr) {
            g_object_unref(buffer);
        }
        if (record != nullptr) {
            g_object_unref(record);
        }
    }
    usbdevfs_urb* urb() const { return reinterpret_cast<usbdevfs_urb*>(record->data); }
    void finish(int status, int actual) {
        urb()->status = status;
        urb()->actual_length = actual;
    }
};

Device::Device(Testbed& bed, const DeviceSpec& spec, int devnum)
    : bed_(bed), spec_(spec), devnum_(devnum) {
    char node[64];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    devnode_ = node;
}

Device::~Device() {
    parked_.clear();
    ready_.clear();
    if (pipeFd_ >= 0) {
        close(pipeFd_);
    }
    if (readyFd_ >= 0) {
        close(readyFd_);
    }
    if (handler_ != nullptr) {
        g_object_unref(handler_);
    }
}

std::string Device::devnode() const {
    return devnode_;
}

void Device::attachPipe(int fd) {
    std::lock_guard<std::mutex> lock(mu_);
    if (pipeFd_ >= 0) {
        close(pipeFd_);
    }
    pipeFd_ = fd;
    pipeEof_ = false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    bed_.wakePump();
}

void Device::feedIn(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    pendingIn_.insert(pendingIn_.end(), bytes.begin(), bytes.end());
    serviceLocked();
}

void Device::failIn(int count, int status) {
    std::lock_guard<std::mutex> lock(mu_);
    failInCount_ = count;
    failInStatus_ = status;
    serviceLocked();
}

void Device::failOut(int count, int status) {
    std::lock_guard<std::mutex> lock(mu_);
    failOutCount_ = count;
    failOutStatus_ = status;
}

void Device::setClaimError(int error) {
    std::lock_guard<std::mutex> lock(mu_);
    claimError_ = error;
}

std::vector<size_t> Device::outTransferSizes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return outSizes_;
}

std::vector<uint8_t> Device::outBytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return outBytes_;
}

int Device::claims() const {
    std::lock_guard<std::mutex> lock(mu_);
    return claims_;
}

int Device::releases() const {
    std::lock_guard<std::mutex> lock(mu_);
    return releases_;
}

int Device::clearHalts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return clearHalts_;
}

int Device::opens() const {
    std::lock_guard<std::mutex> lock(mu_);
    return opens_;
}

bool Device::claimed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return claimed_;
}

int Device::sHandleIoctl(void* /*handler*/, void* client, void* self) {
    return static_cast<Device*>(self)->handleIoctl(client);
}

int Device::handleIoctl(void* clientPtr) {
    auto* client = static_cast<UMockdevIoctlClient*>(clientPtr);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mu_);

    const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (gone_ && !(reaping && !ready_.empty())) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    auto resolve = [arg](size_t length) {
        return umockdev_ioctl_data_resolve(arg, 0, length, nullptr);
    };
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = resolve(sizeof(uint32_t));
            if (caps != nullptr) {
                const uint32_t value =
                    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                memcpy(caps->data, &value, sizeof value);
            }
            umockdev_ioctl_client_complete(client, caps != nullptr ? 0 : -1,
                                           caps != nullptr ? 0 : EFAULT);
            if (caps != nullptr) {
                g_object_unref(caps);
            }
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* number = resolve(sizeof(unsigned));
            unsigned interface = 1;
            if (number != nullptr) {
                memcpy(&interface, number->data, sizeof interface);
                g_object_unref(number);
            }
            if (interface != 0) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
            } else if (request == USBDEVFS_CLAIMINTERFACE) {
                if (claimError_ != 0) {
                    umockdev_ioctl_client_complete(client, -1, claimError_);
                } else {
                    claimed_ = true;
                    claims_++;
                    umockdev_ioctl_client_complete(client, 0, 0);
                }
            } else {
                claimed_ = false;
                releases_++;
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            return TRUE;
        }
        case USBDEVFS_CLEAR_HALT:
            clearHalts_++;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            submit(client, arg);
            return TRUE;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return TRUE;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return TRUE;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
    }
}

void Device::submit(void* clientPtr, void* argPtr) {
    auto* client = static_cast<UMockdevIoctlClient*>(clientPtr);
    auto* arg = static_cast<UMockdevIoctlData*>(argPtr);
    auto urb = std::make_unique<Urb>();
    urb->owner = client;
    urb->record = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (urb->record == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const usbdevfs_urb* u = urb->urb();
    if (u->buffer_length > 0) {
        urb->buffer = umockdev_ioctl_data_resolve(urb->record, offsetof(usbdevfs_urb, buffer),
                                                  static_cast<size_t>(u->buffer_length), nullptr);
        if (urb->buffer == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    if (u->type == USBDEVFS_URB_TYPE_CONTROL && u->endpoint == 0) {
        completeControl(*urb);
        ready_.push_back(std::move(urb));
    } else if ((u->type == USBDEVFS_URB_TYPE_BULK || u->type == USBDEVFS_URB_TYPE_INTERRUPT) &&
               u->endpoint == kInEndpoint && spec_.withInEndpoint) {
        parked_.push_back(std::move(urb));
        serviceLocked();
        bed_.wakePump();
    } else if ((u->type == USBDEVFS_URB_TYPE_BULK || u->type == USBDEVFS_URB_TYPE_INTERRUPT) &&
               u->endpoint == kOutEndpoint && spec_.withOutEndpoint) {
        const size_t length = static_cast<size_t>(u->buffer_length);
        if (failOutCount_ > 0) {
            failOutCount_--;
            urb->finish(failOutStatus_, 0);
        } else {
            const uint8_t* bytes = length > 0 ? urb->buffer->data : nullptr;
            outSizes_.push_back(length);
            if (length > 0) {
                outBytes_.insert(outBytes_.end(), bytes, bytes + length);
            }
            if (pipeFd_ >= 0 && length > 0 && !sWriteAll(pipeFd_, bytes, length)) {
                urb->finish(-EPROTO, 0);
            } else {
                urb->finish(0, u->buffer_length);
            }
        }
        ready_.push_back(std::move(urb));
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOENT);
        return;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    updateReadinessLocked();
}

void Device::completeControl(Urb& urb) {
    const usbdevfs_urb* u = urb.urb();
    if (u->buffer_length < 8) {
        urb.finish(-EPIPE, 0);
        return;
    }
    uint8_t* setup = urb.buffer->data;
    const uint8_t requestType = setup[0], request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    std::vector<uint8_t> answer;
    bool known = false;
    if (requestType == 0x80 && request == 6 && (value >> 8) == 3) {  // GET_DESCRIPTOR, string
        known = true;
        switch (value & 0xFF) {
            case 0:
                answer = {4, 3, 0x09, 0x04};  // English (US)
                break;
            case 1:
                answer = sStringDescriptor("usbsim");
                break;
            case 2:
                answer = sStringDescriptor("usbsim module");
                break;
            case 3:
                answer = sStringDescriptor(spec_.serial);
                break;
            default:
                known = false;
        }
    }
    if (!known) {
        urb.finish(-EPIPE, 0);  // a stall: request not supported
        return;
    }
    size_t n = answer.size();
    n = std::min<size_t>(n, length);
    n = std::min<size_t>(n, static_cast<size_t>(u->buffer_length - 8));
    memcpy(setup + 8, answer.data(), n);
    urb.finish(0, static_cast<int>(n));
}

void Device::reap(void* clientPtr, void* argPtr) {
    auto* client = static_cast<UMockdevIoctlClient*>(clientPtr);
    auto* arg = static_cast<UMockdevIoctlData*>(argPtr);
    auto mine = std::find_if(ready_.begin(), ready_.end(), [client](const std::unique_ptr<Urb>& u) {
        return u->owner == client;
    });
    if (mine == ready_.end()) {
        umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
        return;
    }
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (slot == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    std::unique_ptr<Urb> urb = std::move(*mine);
    ready_.erase(mine);
    umockdev_ioctl_data_set_ptr(slot, 0, urb->record);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    updateReadinessLocked();
}

void Device::discard(void* clientPtr, void* argPtr) {
    auto* client = static_cast<UMockdevIoctlClient*>(clientPtr);
    auto* arg = static_cast<UMockdevIoctlData*>(argPtr);
    unsigned long address = 0;
    memcpy(&address, arg->data,
           std::min<size_t>(sizeof address, static_cast<size_t>(arg->data_len)));
    for (auto it = parked_.begin(); it != parked_.end(); ++it) {
        if ((*it)->owner == client && (*it)->record->client_addr == address) {
            (*it)->finish(-ENOENT, 0);
            ready_.push_back(std::move(*it));
            parked_.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            updateReadinessLocked();
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void Device::serviceLocked() {
    while (!parked_.empty() && (failInCount_ > 0 || !pendingIn_.empty())) {
        std::unique_ptr<Urb> urb = std::move(parked_.front());
        parked_.erase(parked_.begin());
        if (failInCount_ > 0) {
            failInCount_--;
            urb->finish(failInStatus_, 0);
        } else {
            const size_t n =
                std::min<size_t>(pendingIn_.size(), static_cast<size_t>(urb->urb()->buffer_length));
            memcpy(urb->buffer->data, pendingIn_.data(), n);
            pendingIn_.erase(pendingIn_.begin(), pendingIn_.begin() + static_cast<ptrdiff_t>(n));
            urb->finish(0, static_cast<int>(n));
        }
        ready_.push_back(std::move(urb));
    }
    updateReadinessLocked();
}

// The node libusb polls is a FIFO that this side keeps full while nothing
// can be reaped and drains when something can: libusb sees POLLOUT exactly
// when a URB is ready, and sleeps otherwise.
void Device::updateReadinessLocked() {
    const bool want = !ready_.empty();
    if (want == readyShown_ || readyFd_ < 0) {
        return;
    }
    static uint8_t page[4096];
    if (want) {
        while (read(readyFd_, page, sizeof page) > 0) {
        }
    } else {
        while (write(readyFd_, page, sizeof page) > 0) {
        }
    }
    readyShown_ = want;
}

void Device::goneLocked() {
    gone_ = true;
    while (!parked_.empty()) {
        parked_.front()->finish(-ENODEV, 0);
        ready_.push_back(std::move(parked_.front()));
        parked_.erase(parked_.begin());
    }
    updateReadinessLocked();
}

bool Device::wantsPipeLocked() const {
    return pipeFd_ >= 0 && !pipeEof_ && !gone_ && pendingIn_.empty() && !parked_.empty();
}

void Device::pumpPipe() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!wantsPipeLocked()) {
        return;
    }
    uint8_t bytes[4096];
    const size_t want =
        std::min<size_t>(sizeof bytes, static_cast<size_t>(parked_.front()->urb()->buffer_length));
    const ssize_t n = read(pipeFd_, bytes, want);
    if (n > 0) {
        pendingIn_.insert(pendingIn_.end(), bytes, bytes + n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        pipeEof_ = true;
    }
    serviceLocked();
}

Testbed::Testbed() {
    testbed_ = umockdev_testbed_new();
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pump_ = std::thread([this] { pumpLoop(); });
}

Testbed::~Testbed() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    wakePump();
    pump_.join();
    for (auto& device : devices_) {
        umockdev_testbed_detach_ioctl(sBed(testbed_), device->devnode_.c_str(), nullptr);
    }
    g_object_unref(testbed_);
    devices_.clear();
    close(wakeFd_);
}

std::string Testbed::devPath(const std::string& name) const {
    gchar* root = umockdev_testbed_get_root_dir(sBed(testbed_));
    std::string path = std::string(root) + "/dev/" + name;
    g_free(root);
    return path;
}

Device& Testbed::add(const DeviceSpec& spec) {
    std::unique_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(mu_);
        device.reset(new Device(*this, spec, nextDevnum_++));
    }
    Device& d = *device;
    auto* handler = umockdev_ioctl_base_new();
    d.handler_ = handler;
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&Device::sHandleIoctl), &d);
    g_signal_connect_swapped(handler, "client-connected", G_CALLBACK(+[](Device* self) {
                                 std::lock_guard<std::mutex> lock(self->mu_);
                                 self->opens_++;
                             }),
                             &d);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(sBed(testbed_), d.devnode_.c_str(), handler, &error)) {
        std::string message = error != nullptr ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("attaching the usbfs handler failed: " + message);
    }
    char name[32], devnum[8];
    snprintf(name, sizeof name, "1-%d", d.devnum_);
    snprintf(devnum, sizeof devnum, "%d", d.devnum_);
    gchar* syspath = umockdev_testbed_add_device(
        sBed(testbed_), "usb", name, nullptr, "busnum", "1", "devnum", devnum,
        "bConfigurationValue", "1", "speed", "480", nullptr, "DEVNAME", d.devnode_.c_str(),
        "DEVTYPE", "usb_device", nullptr);
    if (syspath == nullptr) {
        throw std::runtime_error("adding the USB device failed");
    }
    d.syspath_ = syspath;
    g_free(syspath);
    std::vector<uint8_t> descriptors = sDescriptors(spec);
    umockdev_testbed_set_attribute_binary(sBed(testbed_), d.syspath_.c_str(), "descriptors",
                                          descriptors.data(),
                                          static_cast<gint>(descriptors.size()));

    // Replace the plain file umockdev made for the node by a FIFO whose
    // writability tells libusb when a URB can be reaped.
    gchar* root = umockdev_testbed_get_root_dir(sBed(testbed_));
    d.nodePath_ = std::string(root) + d.devnode_;
    g_free(root);
    const std::string parent = d.nodePath_.substr(0, d.nodePath_.rfind('/'));
    g_mkdir_with_parents(parent.c_str(), 0755);
    unlink(d.nodePath_.c_str());
    if (mkfifo(d.nodePath_.c_str(), 0666) != 0) {
        throw std::runtime_error("cannot make the device node FIFO " + d.nodePath_ + ": " +
                                 strerror(errno));
    }
    d.readyFd_ = open(d.nodePath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (d.readyFd_ < 0) {
        throw std::runtime_error("cannot open the device node FIFO " + d.nodePath_);
    }
    {
        std::lock_guard<std::mutex> lock(d.mu_);
        d.updateReadinessLocked();
    }
    std::lock_guard<std::mutex> lock(mu_);
    devices_.push_back(std::move(device));
    return d;
}

void Testbed::remove(Device& device) {
    {
        std::lock_guard<std::mutex> lock(device.mu_);
        if (device.gone_) {
            return;
        }
        device.goneLocked();
    }
    umockdev_testbed_uevent(sBed(testbed_), device.syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(sBed(testbed_), device.syspath_.c_str());
    wakePump();
}

void Testbed::wakePump() {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // The counter cannot overflow here; a failed wake only delays.
    }
}

void Testbed::pumpLoop() {
    for (;;) {
        std::vector<Device*> devices;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stopping_) {
                return;
            }
            for (auto& d : devices_) {
                devices.push_back(d.get());
            }
        }
        std::vector<pollfd> fds = {{wakeFd_, POLLIN, 0}};
        std::vector<Device*> owners = {nullptr};
        for (Device* d : devices) {
            std::lock_guard<std::mutex> lock(d->mu_);
            if (d->wantsPipeLocked()) {
                fds.push_back({d->pipeFd_, POLLIN, 0});
                owners.push_back(d);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            uint64_t count;
            if (read(wakeFd_, &count, sizeof count) < 0) {
                // Nothing to clear.
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                owners[i]->pumpPipe();
            }
        }
    }
}

namespace {

int sRemoveEntry(const char* path, const struct stat*, int, FTW*) {
    return ::remove(path);
}

}  // namespace

void ReexecUnderPreload(int argc, char** argv) {
    const char* preload = getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, "libumockdev-preload") != nullptr) {
        return;
    }
    if (getenv("USBSIM_REEXEC") != nullptr) {
        fprintf(stderr, "usbsim: umockdev-wrapper did not preload umockdev\n");
        exit(1);
    }
    const char* tmp = getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    std::vector<char> dir(base.begin(), base.end());
    const char pattern[] = "/usbsim.XXXXXX";
    dir.insert(dir.end(), pattern, pattern + sizeof pattern);
    if (mkdtemp(dir.data()) == nullptr) {
        fprintf(stderr, "usbsim: cannot make a directory %s: %s\n", dir.data(), strerror(errno));
        exit(1);
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child < 0) {
        perror("usbsim: fork");
        exit(1);
    }
    if (child == 0) {
        setenv("TMPDIR", dir.data(), 1);
        setenv("USBSIM_REEXEC", "1", 1);
        const char* asan = getenv("ASAN_OPTIONS");
        std::string options = "verify_asan_link_order=0";
        if (asan != nullptr && *asan != '\0') {
            options = std::string(asan) + ":" + options;
        }
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        std::vector<char*> args;
        std::string wrapper = "umockdev-wrapper";
        std::string self = "/proc/self/exe";
        char resolved[4096];
        const ssize_t n = readlink("/proc/self/exe", resolved, sizeof resolved - 1);
        if (n > 0) {
            resolved[n] = '\0';
            self = resolved;
        }
        args.push_back(&wrapper[0]);
        args.push_back(&self[0]);
        for (int i = 1; i < argc; ++i) {
            args.push_back(argv[i]);
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        perror("usbsim: umockdev-wrapper");
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    nftw(dir.data(), sRemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    if (WIFEXITED(status)) {
        exit(WEXITSTATUS(status));
    }
    fprintf(stderr, "usbsim: test program ended by signal %d\n",
            WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    exit(1);
}

}  // namespace usbsim
