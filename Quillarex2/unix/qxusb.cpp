#include "unix/qxusb.h"

#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "common/aStream.h"

namespace {

// The shared libusb context and the mutex that guards its creation and exit.
std::mutex sContextMutex;
libusb_context* sContext = nullptr;

// What a transfer on a record in `state` gives before it is tried:
// aErrNone when the record is ready for it.
aErr sStateResult(uint32_t state) {
    if (state == QXUSB_STATE_CLOSED) {
        return aErrConnection;
    }
    if (state == QXUSB_STATE_CREATED || state == QXUSB_STATE_OPENED) {
        return aErrNotReady;
    }
    return state == QXUSB_STATE_READY ? aErrNone : aErrIO;
}

// Hides the first QXUSB_HIDDEN_IO_ERRORS consecutive I/O errors; the next one
// fails the record. Any other result ends the run of errors.
aErr _handleErrorTolerance(qxusb* record, aErr result) {
    if (result != aErrIO) {
        record->errorCount = 0;
        return result;
    }
    if (record->state == QXUSB_STATE_FAILED) {
        return aErrIO;
    }
    if (record->errorCount.fetch_add(1) < QXUSB_HIDDEN_IO_ERRORS) {
        return aErrNone;
    }
    record->state = QXUSB_STATE_FAILED;
    return aErrIO;
}

// Looks for the data interface and its two bulk endpoints on the device's
// configuration.
bool sFindInterface(qxusb* record, libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) {
        return false;
    }
    bool found = false;
    for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != QX_USB_INTERFACE_CLASS ||
                setting.bInterfaceSubClass != QX_USB_INTERFACE_SUBCLASS ||
                setting.bInterfaceProtocol != QX_USB_INTERFACE_PROTOCOL) {
                continue;
            }
            uint8_t in = 0, out = 0;
            uint16_t inMax = 0, outMax = 0;
            for (uint8_t e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if ((endpoint.bmAttributes & 0x02) == 0) {  // bulk or interrupt only
                    continue;
                }
                if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    in = endpoint.bEndpointAddress;
                    inMax = endpoint.wMaxPacketSize;
                } else {
                    out = endpoint.bEndpointAddress;
                    outMax = endpoint.wMaxPacketSize;
                }
            }
            // The last matching setting counts.
            record->interfaceNumber = setting.bInterfaceNumber;
            record->inEndpoint = in;
            record->outEndpoint = out;
            record->inMaxPacket = inMax;
            record->outMaxPacket = outMax;
            found = in != 0 && out != 0;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

void sClearReadFields(qxusb* record) {
    record->readAvail = 0;
    record->readPos = record->readBuffer;
}

}  // namespace

libusb_context* Quillarex_libusb_context() {
    std::lock_guard<std::mutex> lock(sContextMutex);
    if (sContext == nullptr) {
        libusb_context* context = nullptr;
        if (libusb_init(&context) == LIBUSB_SUCCESS) {
            sContext = context;
        }
    }
    return sContext;
}

libusb_context* Quillarex_libusb_init() {
    return Quillarex_libusb_context();
}

void Quillarex_libusb_exit() {
    std::lock_guard<std::mutex> lock(sContextMutex);
    if (sContext != nullptr) {
        libusb_exit(sContext);
        sContext = nullptr;
    }
}

bool is_quillarex_device(libusb_device* device) {
    libusb_device_descriptor descriptor;
    if (device == nullptr || libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
        return false;
    }
    return descriptor.idVendor == QX_USB_VENDOR_ID && (descriptor.idProduct & 0x8000) == 0;
}

int qxusb_read_serial_string(libusb_device* device, libusb_device_handle* handle,
                             libusb_device_descriptor* descriptor, unsigned char* text, int size) {
    const int described = libusb_get_device_descriptor(device, descriptor);
    if (described != LIBUSB_SUCCESS) {
        return described;
    }
    return libusb_get_string_descriptor_ascii(handle, descriptor->iSerialNumber, text, size);
}

qxusb* qxusb_create_usb(uint32_t mode) {
    qxusb* record = new (std::nothrow) qxusb();
    if (record == nullptr) {
        return nullptr;
    }
    record->mode = mode;
    record->state = QXUSB_STATE_CREATED;
    if (mode == QXUSB_MODE_LIBUSB) {
        Quillarex_libusb_context();
        record->readPos = record->readBuffer;
    }
    return record;
}

aErr qxusb_destroy(qxusb** record) {
    if (record == nullptr || *record == nullptr) {
        return aErrParam;
    }
    qxusb* r = *record;
    if (r->handle != nullptr) {
        libusb_close(r->handle);
        r->handle = nullptr;
    }
    delete r;
    *record = nullptr;
    return aErrNone;
}

bool qxusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[64];
    snprintf(path, sizeof path, QX_USB_KERNEL_DEVICE_PREFIX "%08X", serialNumber);
    struct stat info;
    return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

aErr qxusb_open_quillarex_device(qxusb* record, const char* serialText) {
    if (record == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    return record->mode == QXUSB_MODE_KERNEL
               ? qxusb_open_quillarex_kernel_device(record, serialText)
               : qxusb_open_quillarex_USBlib_device(record, serialText);
}

aErr qxusb_write_to_device(qxusb* record, const uint8_t* bytes, size_t count) {
    if (record == nullptr || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    return record->mode == QXUSB_MODE_KERNEL ? qxusb_write_to_kernel_device(record, bytes, count)
                                             : qxusb_write_to_USBlib_device(record, bytes, count);
}

aErr qxusb_get_from_device(qxusb* record, uint8_t* byte) {
    if (record == nullptr || byte == nullptr) {
        return aErrParam;
    }
    return record->mode == QXUSB_MODE_KERNEL ? qxusb_get_from_kernel_device(record, byte)
                                             : qxusb_get_from_USBlib_device(record, byte);
}

aErr qxusb_close_quillarex_device(qxusb* record) {
    if (record == nullptr) {
        return aErrParam;
    }
    return record->mode == QXUSB_MODE_KERNEL ? qxusb_close_quillarex_kernel_device(record)
                                             : qxusb_close_quillarex_USBlib_device(record);
}

// Kernel back end.

aErr qxusb_open_quillarex_kernel_device(qxusb* record, const char* serialText) {
    if (record == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_KERNEL) {
        return aErrMode;
    }
    snprintf(record->serial, sizeof record->serial, "%s", serialText);
    char path[QXUSB_SERIAL_SIZE + 32];
    snprintf(path, sizeof path, QX_USB_KERNEL_DEVICE_PREFIX "%s", record->serial);
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY ? aErrBusy : aErrIO;
    }
    record->fd = fd;
    return aErrNone;
}

aErr qxusb_get_from_kernel_device(qxusb* record, uint8_t* byte) {
    if (record == nullptr || byte == nullptr) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_KERNEL || record->fd <= 0) {
        return aErrMode;
    }
    // The driver reads return at once when nothing is waiting; wait briefly
    // for a byte so that an idle reader does not spin.
    pollfd entry = {record->fd, POLLIN, 0};
    const int ready = poll(&entry, 1, aSTREAM_IDLE_WAIT_MS);
    if (ready == 0) {
        return aErrNotReady;
    }
    const ssize_t n = read(record->fd, byte, 1);
    if (n == 1) {
        return aErrNone;
    }
    if (n == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR) {
        return aErrNotReady;
    }
    return aErrIO;
}

aErr qxusb_write_to_kernel_device(qxusb* record, const uint8_t* bytes, size_t count) {
    if (record == nullptr || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_KERNEL || record->fd <= 0) {
        return aErrMode;
    }
    size_t done = 0;
    for (int calls = 0; done < count && calls < 1000; ++calls) {
        const ssize_t n = write(record->fd, bytes + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return aErrIO;
        }
        done += static_cast<size_t>(n);
    }
    return done == count ? aErrNone : aErrIO;
}

aErr qxusb_close_quillarex_kernel_device(qxusb* record) {
    if (record == nullptr) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_KERNEL) {
        return aErrMode;
    }
    if (record->fd <= 0) {
        return aErrNone;
    }
    if (close(record->fd) != 0) {
        return aErrCancel;
    }
    record->fd = 0;
    record->state = QXUSB_STATE_CLOSED;
    return aErrNone;
}

// libusb back end.

aErr qxusb_open_quillarex_USBlib_device(qxusb* record, const char* serialText) {
    if (record == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_LIBUSB) {
        return aErrMode;
    }
    if (record->state == 0) {
        return aErrResource;
    }
    libusb_context* context = Quillarex_libusb_context();
    if (context == nullptr) {
        return aErrNotFound;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        return aErrNotFound;
    }
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        if (!is_quillarex_device(device)) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != LIBUSB_SUCCESS) {
            continue;
        }
        libusb_device_descriptor descriptor;
        unsigned char text[QXUSB_SERIAL_SIZE] = {0};
        if (qxusb_read_serial_string(device, handle, &descriptor, text, sizeof text) < 0 ||
            strcmp(reinterpret_cast<const char*>(text), serialText) != 0) {
            libusb_close(handle);
            continue;
        }
        snprintf(record->serial, sizeof record->serial, "%s", reinterpret_cast<char*>(text));
        record->handle = handle;
        record->state = QXUSB_STATE_OPENED;
        if (!sFindInterface(record, device)) {
            result = aErrConfiguration;
        } else {
            const int claim = libusb_claim_interface(handle, record->interfaceNumber);
            if (claim == LIBUSB_SUCCESS) {
                record->state = QXUSB_STATE_READY;
                record->errorCount = 0;
                sClearReadFields(record);
                result = aErrNone;
                break;
            }
            result = (claim == LIBUSB_ERROR_BUSY || claim == LIBUSB_ERROR_NO_DEVICE) ? aErrBusy
                     : claim == LIBUSB_ERROR_ACCESS ? aErrPermission
                                                    : aErrUnknown;
        }
        record->state = QXUSB_STATE_CLOSED;
        libusb_close(handle);
        record->handle = nullptr;
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

aErr qxusb_get_from_USBlib_device(qxusb* record, uint8_t* byte) {
    if (record == nullptr || byte == nullptr) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_LIBUSB) {
        return aErrMode;
    }
    if (record->readAvail > 0) {
        *byte = *record->readPos++;
        record->readAvail--;
        return aErrNone;
    }
    aErr result = sStateResult(record->state);
    if (result == aErrNone) {
        int transferred = 0;
        const int r =
            libusb_bulk_transfer(record->handle, record->inEndpoint, record->readBuffer,
                                 QXUSB_READ_BUFFER_SIZE, &transferred, QXUSB_READ_TIMEOUT_MS);
        if (r == LIBUSB_SUCCESS || (r == LIBUSB_ERROR_TIMEOUT && transferred > 0)) {
            record->readAvail = static_cast<uint32_t>(transferred);
            record->readPos = record->readBuffer;
            result = transferred > 0 ? aErrNone : aErrNotReady;
        } else if (r == LIBUSB_ERROR_PIPE) {
            libusb_clear_halt(record->handle, record->inEndpoint);
            result = aErrNotReady;
        } else if (r == LIBUSB_ERROR_TIMEOUT) {
            result = aErrNotReady;
        } else {
            result = aErrIO;
        }
    }
    result = _handleErrorTolerance(record, result);
    if (result == aErrNone && record->readAvail == 0) {
        // A hidden I/O error delivers no byte: report that as such.
        return aErrNotReady;
    }
    if (result == aErrNone) {
        *byte = *record->readPos++;
        record->readAvail--;
    }
    return result;
}

aErr qxusb_write_to_USBlib_device(qxusb* record, const uint8_t* bytes, size_t count) {
    if (record == nullptr || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_LIBUSB) {
        return aErrMode;
    }
    aErr result = sStateResult(record->state);
    if (result == aErrNone) {
        size_t done = 0;
        int failures = 0;
        const size_t maxChunk = record->outMaxPacket > 0 ? record->outMaxPacket : 64;
        while (done < count && failures < QXUSB_WRITE_MAX_FAILURES) {
            size_t chunk = count - done < maxChunk ? count - done : maxChunk;
            if (chunk == 512) {
                chunk = 511;  // a full 512-byte chunk would need a zero-length packet
            }
            int transferred = 0;
            const int r = libusb_bulk_transfer(
                record->handle, record->outEndpoint, const_cast<uint8_t*>(bytes + done),
                static_cast<int>(chunk), &transferred, QXUSB_WRITE_TIMEOUT_MS);
            if (transferred > 0) {
                done += static_cast<size_t>(transferred);
            }
            if (r != LIBUSB_SUCCESS) {
                failures++;
                if (r == LIBUSB_ERROR_PIPE &&
                    libusb_clear_halt(record->handle, record->outEndpoint) != LIBUSB_SUCCESS) {
                    result = aErrIO;
                }
            }
        }
        if (done < count) {
            result = aErrWrite;
        }
    }
    return _handleErrorTolerance(record, result);
}

aErr qxusb_close_quillarex_USBlib_device(qxusb* record) {
    if (record == nullptr) {
        return aErrParam;
    }
    if (record->mode != QXUSB_MODE_LIBUSB || record->handle == nullptr) {
        return aErrMode;
    }
    libusb_release_interface(record->handle, record->interfaceNumber);
    libusb_close(record->handle);
    record->handle = nullptr;
    record->state = QXUSB_STATE_CLOSED;
    record->interfaceNumber = 0;
    record->inEndpoint = 0;
    record->outEndpoint = 0;
    sClearReadFields(record);
    return aErrNone;
}
