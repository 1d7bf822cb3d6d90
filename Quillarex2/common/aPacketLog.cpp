#include "common/aPacketLog.h"

#include <cstdlib>
#include <new>

namespace {
constexpr uint32_t kPacketLogCheck = 0x106A106Au;
}

struct aPacketLog {
    bool enabled;
    uint8_t* buffer;
    uint32_t size;
    uint32_t read;
    uint32_t write;
    uint32_t check;
};

namespace {

bool sIsValid(const aPacketLog* log) {
    return log != nullptr && log->check == kPacketLogCheck;
}

// Arithmetic in 64 bits so that rings near 4 GiB cannot overflow.
uint32_t sAdvance(const aPacketLog* log, uint32_t index, uint64_t by) {
    return static_cast<uint32_t>((index + by) % log->size);
}

uint64_t sFree(const aPacketLog* log) {
    const uint64_t used = (static_cast<uint64_t>(log->write) + log->size - log->read) % log->size;
    return log->size - used;
}

void sPutByte(aPacketLog* log, uint8_t byte) {
    log->buffer[log->write] = byte;
    log->write = sAdvance(log, log->write, 1);
}

}  // namespace

aPacketLogRef aPacketLog_Create(uint32_t size) {
    if (size == 0) {
        return nullptr;
    }
    aPacketLog* log = new (std::nothrow) aPacketLog;
    if (log == nullptr) {
        return nullptr;
    }
    log->buffer = static_cast<uint8_t*>(std::malloc(size));
    if (log->buffer == nullptr) {
        delete log;
        return nullptr;
    }
    log->enabled = false;
    log->size = size;
    log->read = 0;
    log->write = 0;
    log->check = kPacketLogCheck;
    return log;
}

aErr aPacketLog_Put(aPacketLogRef log, uint8_t kind, uint32_t length, const uint8_t* bytes) {
    if (!sIsValid(log) || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    if (length > aPACKETLOG_MAX_PAYLOAD) {
        return aErrSize;
    }
    const uint64_t needed = static_cast<uint64_t>(length) + 2;
    // One byte always stays free so that a full ring differs from an empty one.
    uint64_t available = sFree(log);
    while (log->size > needed && available <= needed) {
        log->read = sAdvance(log, log->read, 1);
        log->read = sAdvance(log, log->read, 1 + static_cast<uint64_t>(log->buffer[log->read]));
        available = sFree(log);
    }
    if (available <= needed) {
        return aErrOverrun;
    }
    sPutByte(log, kind);
    sPutByte(log, static_cast<uint8_t>(length));
    for (uint32_t i = 0; i < length; ++i) {
        sPutByte(log, bytes[i]);
    }
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLogRef log, uint8_t* kind, uint32_t* length, uint8_t* buffer) {
    if (!sIsValid(log) || kind == nullptr || length == nullptr ||
        (buffer == nullptr && *length > 0)) {
        return aErrParam;
    }
    if (log->read == log->write) {
        return aErrNotFound;
    }
    const uint32_t capacity = *length;
    *kind = log->buffer[log->read];
    *length = log->buffer[sAdvance(log, log->read, 1)];
    if (capacity < *length) {
        return aErrOverrun;
    }
    log->read = sAdvance(log, log->read, 2);
    for (uint32_t i = 0; i < *length; ++i) {
        buffer[i] = log->buffer[log->read];
        log->read = sAdvance(log, log->read, 1);
    }
    return aErrNone;
}

aErr aPacketLog_SetEnabled(aPacketLogRef log, bool enabled) {
    if (!sIsValid(log)) {
        return aErrParam;
    }
    log->enabled = enabled;
    return aErrNone;
}

bool aPacketLog_IsEnabled(aPacketLogRef log) {
    return sIsValid(log) && log->enabled;
}

aErr aPacketLog_Destroy(aPacketLogRef* reference) {
    if (reference == nullptr) {
        return aErrNone;
    }
    aPacketLog* log = *reference;
    *reference = nullptr;
    if (!sIsValid(log)) {
        return aErrNone;
    }
    log->enabled = false;
    log->check = 0;
    std::free(log->buffer);
    delete log;
    return aErrNone;
}
