#include "unix/aStreamSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "unix/aTime.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kPathSize = 4096;

struct SerialRecord {
    uint32_t baudIndex;
    char path[kPathSize];
    int descriptor;  // -1 while closed
    termios saved;   // the settings found on opening, restored on closing
    termios applied;
    bool savedValid;
    uint16_t check;
};

bool sIsValid(const SerialRecord* record) {
    return record != nullptr && record->check == kSerialCheck;
}

speed_t sSpeed(uint32_t baudIndex) {
    static const speed_t kSpeeds[aSERIAL_BAUD_INDEX_COUNT] = {B2400,  B4800,  B9600,   B19200,
                                                              B38400, B57600, B115200, B230400};
    return baudIndex < aSERIAL_BAUD_INDEX_COUNT ? kSpeeds[baudIndex] : B0;
}

aErr sOpenError(int error) {
    switch (error) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}

void sClose(SerialRecord* record) {
    if (record->descriptor >= 0) {
        if (record->savedValid) {
            tcsetattr(record->descriptor, TCSANOW, &record->saved);
        }
        close(record->descriptor);
        record->descriptor = -1;
    }
}

aErr sConfigure(SerialRecord* record, bool parity, uint32_t dataBits, uint32_t stopBits) {
    record->descriptor = open(record->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (record->descriptor < 0) {
        record->descriptor = -1;
        return sOpenError(errno);
    }
    // Blocking from now on: writes wait for room, reads are bounded by poll.
    if (fcntl(record->descriptor, F_SETFL, 0) != 0) {
        return aErrIO;
    }
    if (tcgetattr(record->descriptor, &record->saved) != 0) {
        return aErrIO;
    }
    record->savedValid = true;
    termios& settings = record->applied;
    settings = record->saved;
    settings.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
                       (stopBits == 1 ? CSTOPB : 0);
    const speed_t speed = sSpeed(record->baudIndex);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(record->descriptor, TCSANOW, &settings) != 0) {
        return aErrIO;
    }
    if (tcflush(record->descriptor, TCIOFLUSH) != 0) {
        return aErrIO;
    }
    return aErrNone;
}

}  // namespace

aErr _aStreamSerial_Open(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                         uint32_t stopBits, void** port) {
    if (path == nullptr || port == nullptr || dataBits > 1 || stopBits > 1) {
        return aErrResource;
    }
    *port = nullptr;
    if (strnlen(path, kPathSize) >= kPathSize) {
        return aErrIO;  // too long to be a path; never open a shortened one
    }
    SerialRecord* record = new (std::nothrow) SerialRecord;
    if (record == nullptr) {
        return aErrResource;
    }
    record->baudIndex = baudIndex;
    std::strcpy(record->path, path);
    record->descriptor = -1;
    record->savedValid = false;
    record->check = kSerialCheck;
    const aErr result = sConfigure(record, parity, dataBits, stopBits);
    if (result != aErrNone) {
        _aStreamSerial_Delete(record);
        return result;
    }
    *port = record;
    return aErrNone;
}

aErr _aStreamSerial_Get(uint8_t* byte, void* port) {
    SerialRecord* record = static_cast<SerialRecord*>(port);
    if (!sIsValid(record) || byte == nullptr) {
        return aErrParam;
    }
    pollfd entry = {record->descriptor, POLLIN, 0};
    const int ready = poll(&entry, 1, aSTREAM_IDLE_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return aErrNotReady;
    }
    if (ready > 0) {
        const ssize_t count = read(record->descriptor, byte, 1);
        if (count == 1) {
            return aErrNone;
        }
        if (count == 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
            return aErrNotReady;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            return aErrNotReady;
        }
    }
    // The port hung up or failed. poll reports that at once, every time:
    // spend the idle wait here so that a reader polling it does not spin.
    aTime_MSSleep(aSTREAM_IDLE_WAIT_MS);
    return aErrIO;
}

aErr _aStreamSerial_Write(const uint8_t* bytes, size_t count, void* port) {
    SerialRecord* record = static_cast<SerialRecord*>(port);
    if (!sIsValid(record) || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    ssize_t written;
    do {
        written = write(record->descriptor, bytes, count);
    } while (written < 0 && errno == EINTR);
    if (written < 0 || static_cast<size_t>(written) != count) {
        return aErrIO;
    }
    tcdrain(record->descriptor);
    return aErrNone;
}

aErr _aStreamSerial_Put(const uint8_t* byte, void* port) {
    return _aStreamSerial_Write(byte, 1, port);
}

aErr _aStreamSerial_Delete(void* port) {
    SerialRecord* record = static_cast<SerialRecord*>(port);
    if (!sIsValid(record)) {
        return aErrParam;
    }
    sClose(record);
    record->check = 0;
    delete record;
    return aErrNone;
}

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    void* port = nullptr;
    const aErr opened = _aStreamSerial_Open(path, baudIndex, parity, dataBits, stopBits, &port);
    if (opened != aErrNone) {
        return opened;
    }
    *stream = aStream_Create(_aStreamSerial_Get, _aStreamSerial_Put, _aStreamSerial_Write,
                             _aStreamSerial_Delete, port);
    if (*stream == nullptr) {
        _aStreamSerial_Delete(port);
        return aErrResource;
    }
    return aErrNone;
}
