#include "unix/aStreamUSB.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

#include "unix/qxusb.h"

#define aSTREAMUSB_CHECK 0xDEAD

namespace {

typedef struct aStreamUSB {
    uint32_t serialNumber;
    qxusb* driver;  // owned
    uint16_t check;
} aStreamUSB;

aStreamUSB* sValid(void* reference) {
    aStreamUSB* record = static_cast<aStreamUSB*>(reference);
    return record != nullptr && record->check == aSTREAMUSB_CHECK ? record : nullptr;
}

// A get that brings no byte takes at least aSTREAM_IDLE_WAIT_MS, so that a
// reader polling a broken or stalling module does not spin.
aErr sUSBGet(uint8_t* byte, void* reference) {
    aStreamUSB* record = sValid(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    const auto start = std::chrono::steady_clock::now();
    const aErr result = qxusb_get_from_device(record->driver, byte);
    if (result != aErrNone) {
        const auto least = start + std::chrono::milliseconds(aSTREAM_IDLE_WAIT_MS);
        if (std::chrono::steady_clock::now() < least) {
            std::this_thread::sleep_until(least);
        }
    }
    return result;
}

aErr sUSBWrite(const uint8_t* bytes, size_t count, void* reference) {
    aStreamUSB* record = sValid(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    return qxusb_write_to_device(record->driver, bytes, count);
}

aErr sUSBPut(const uint8_t* byte, void* reference) {
    return sUSBWrite(byte, 1, reference);
}

aErr sUSBDelete(void* reference) {
    aStreamUSB* record = sValid(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    const aErr closed = qxusb_close_quillarex_device(record->driver);
    if (closed != aErrNone) {
        return closed;
    }
    qxusb_destroy(&record->driver);
    record->check = 0;
    delete record;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
    if (serialNumber == 0 || stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    const uint32_t mode =
        qxusb_is_kernel_driver_installed(serialNumber) ? QXUSB_MODE_KERNEL : QXUSB_MODE_LIBUSB;
    aStreamUSB* record = new (std::nothrow) aStreamUSB();
    if (record == nullptr) {
        return aErrMemory;
    }
    record->serialNumber = serialNumber;
    record->check = aSTREAMUSB_CHECK;
    char serialText[16];
    snprintf(serialText, sizeof serialText, "%08X", serialNumber);
    record->driver = qxusb_create_usb(mode);
    if (record->driver == nullptr) {
        delete record;
        return aErrResource;
    }
    const aErr opened = qxusb_open_quillarex_device(record->driver, serialText);
    if (opened != aErrNone) {
        qxusb_destroy(&record->driver);
        delete record;
        return opened;
    }
    aStreamRef created = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, record);
    if (created == nullptr) {
        qxusb_close_quillarex_device(record->driver);
        qxusb_destroy(&record->driver);
        delete record;
        return aErrMemory;
    }
    *stream = created;
    return aErrNone;
}
