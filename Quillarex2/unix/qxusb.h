// USB driver layer: opens a module by its serial number and moves bytes over
// its bulk endpoints, through the maker's kernel driver when it exposes the
// module as a character device, or through libusb otherwise. All libusb use
// of the process goes through one shared, renewable libusb context.
#ifndef QUILLAREX_QXUSB_H
#define QUILLAREX_QXUSB_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/aError.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

// The maker's USB vendor identifier. A device is a module when it carries
// this vendor identifier and a product identifier with bit 15 clear.
#define QX_USB_VENDOR_ID 0x3A7C

// Character devices of the kernel driver: "/dev/quillarex.%08X".
#define QX_USB_KERNEL_DEVICE_PREFIX "/dev/quillarex."

// The module's data interface.
#define QX_USB_INTERFACE_CLASS 0xFF
#define QX_USB_INTERFACE_SUBCLASS 0x88
#define QX_USB_INTERFACE_PROTOCOL 0x10

#define QXUSB_READ_BUFFER_SIZE 1024
#define QXUSB_SERIAL_SIZE 256
// Bulk IN waits at most this long per read, bulk OUT per chunk.
#define QXUSB_READ_TIMEOUT_MS 1000
#define QXUSB_WRITE_TIMEOUT_MS 50
// Failed OUT transfers after which a write gives up.
#define QXUSB_WRITE_MAX_FAILURES 10
// Consecutive I/O errors that are hidden before the record fails.
#define QXUSB_HIDDEN_IO_ERRORS 4

enum { QXUSB_MODE_KERNEL = 0, QXUSB_MODE_LIBUSB = 1 };

enum {
    QXUSB_STATE_CREATED = 1,
    QXUSB_STATE_CLOSED = 2,  // after a failed open or a close
    QXUSB_STATE_OPENED = 3,  // handle open, interface not claimed yet
    QXUSB_STATE_READY = 4,
    QXUSB_STATE_FAILED = 5,  // too many consecutive I/O errors
};

// Driver record. One thread may read while another writes: reading uses the
// read fields only; state and errorCount are shared.
typedef struct qxusb {
    uint32_t mode;
    char serial[QXUSB_SERIAL_SIZE];  // the serial string the module was opened with
    int fd;                          // kernel driver descriptor, 0 when closed
    libusb_device_handle* handle;    // libusb back end, null when closed
    std::atomic<uint32_t> state;     // kept by the libusb back end
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t readBuffer[QXUSB_READ_BUFFER_SIZE];  // last bulk IN transfer
    uint32_t readAvail;                          // unread bytes in readBuffer
    uint8_t* readPos;                            // next unread byte
    std::atomic<uint8_t> errorCount;             // consecutive I/O errors
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
} qxusb;

// The shared libusb context, created when there is none; null when libusb
// cannot start (for example on a host without USB). Thread-safe.
libusb_context* Quillarex_libusb_context();
// Same as Quillarex_libusb_context.
libusb_context* Quillarex_libusb_init();
// Ends the shared context; the next use creates a new one. Harmless when
// there is none. Only while no USB stream is open: handles made from the old
// context become invalid.
void Quillarex_libusb_exit();

// Whether a libusb device is one of the family's modules.
bool is_quillarex_device(libusb_device* device);

// The serial-number string of an opened device (handle) into text, at most
// size bytes with the terminating zero; its device descriptor into
// *descriptor. The string's length, or a negative libusb error.
int qxusb_read_serial_string(libusb_device* device, libusb_device_handle* handle,
                             struct libusb_device_descriptor* descriptor, unsigned char* text,
                             int size);

// A zeroed record in state 1 for the mode (QXUSB_MODE_KERNEL or
// QXUSB_MODE_LIBUSB); the libusb mode also makes sure the shared context
// exists. Null when memory is short.
qxusb* qxusb_create_usb(uint32_t mode);
// Closes a libusb handle still open, frees the record and clears *record.
// aErrParam for a null record.
aErr qxusb_destroy(qxusb** record);

// Whether the kernel driver exposes the module: its character device exists
// and is not a directory.
bool qxusb_is_kernel_driver_installed(uint32_t serialNumber);

// Dispatch on the record's mode. Open: aErrNotFound (no such module),
// aErrConfiguration (interface or endpoints missing), aErrBusy (claimed
// elsewhere or vanished), aErrPermission, aErrIO, aErrMode. Get: aErrNone
// with one byte, aErrNotReady when none came (a read waits at most
// QXUSB_READ_TIMEOUT_MS), aErrConnection after close, aErrIO once the record
// has failed. Write: aErrNone, aErrWrite (bytes left after repeated failed
// transfers), aErrIO, aErrConnection, aErrNotReady.
aErr qxusb_open_quillarex_device(qxusb* record, const char* serialText);
aErr qxusb_write_to_device(qxusb* record, const uint8_t* bytes, size_t count);
aErr qxusb_get_from_device(qxusb* record, uint8_t* byte);
aErr qxusb_close_quillarex_device(qxusb* record);

// The two back ends; each checks the record's mode (aErrMode).
aErr qxusb_open_quillarex_kernel_device(qxusb* record, const char* serialText);
aErr qxusb_write_to_kernel_device(qxusb* record, const uint8_t* bytes, size_t count);
aErr qxusb_get_from_kernel_device(qxusb* record, uint8_t* byte);
aErr qxusb_close_quillarex_kernel_device(qxusb* record);

aErr qxusb_open_quillarex_USBlib_device(qxusb* record, const char* serialText);
aErr qxusb_write_to_USBlib_device(qxusb* record, const uint8_t* bytes, size_t count);
aErr qxusb_get_from_USBlib_device(qxusb* record, uint8_t* byte);
aErr qxusb_close_quillarex_USBlib_device(qxusb* record);

#endif
