#include "unix/aStreamSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "unix/aTime.h"

namespace {

constexpr int CONNECT_TIMEOUT_SEC = 5;
constexpr int aSOCKET_MAX_SEND_RETRY = 10;
constexpr int aSOCKET_RETRY_DELAY_MS = 60;
constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kConnected = 0x1;
constexpr int kClosePauseMs = 10;

struct SocketRecord {
    uint16_t port;
    sockaddr_in address;
    std::atomic<int> descriptor{-1};  // -1 while closed
    std::atomic<uint32_t> flags{0};
    uint16_t check;
    // Held shared while a descriptor is in use, exclusively while the
    // connection is replaced: no thread ever uses a descriptor that another
    // closed (and the system may have handed out again). generation counts
    // the replacements, so that a thread that saw the old connection fail
    // does not tear down a new one.
    std::shared_mutex useLock;
    std::atomic<uint64_t> generation{0};
};

bool sIsValid(const SocketRecord* record) {
    return record != nullptr && record->check == kSocketCheck;
}

bool sConnected(const SocketRecord* record) {
    return (record->flags.load() & kConnected) != 0;
}

aErr sConnectError(int error) {
    switch (error) {
        case ECONNRESET:
        case ETIMEDOUT:
        case ECONNREFUSED:
            return aErrConnection;
        default:
            return aErrIO;
    }
}

void sCloseSocket(SocketRecord* record) {
    const int descriptor = record->descriptor.exchange(-1);
    if (descriptor >= 0) {
        record->flags &= ~kConnected;
        close(descriptor);
        aTime_MSSleep(kClosePauseMs);
    }
}

// Waits up to timeoutMs for the events, resuming after signals. Returns the
// events seen, 0 on time-out, -1 on error.
int sWaitFor(int descriptor, short events, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd entry = {descriptor, events, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0) {
            return entry.revents;
        }
        if (ready == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

aErr sConnect(SocketRecord* record, int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL, 0);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0) {
        return aErrIO;
    }
    int error = 0;
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&record->address),
                sizeof(record->address)) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EWOULDBLOCK || error == EAGAIN) {
            error = ETIMEDOUT;
            const int events = sWaitFor(descriptor, POLLOUT, CONNECT_TIMEOUT_SEC * 1000);
            if (events > 0) {
                socklen_t size = sizeof(error);
                if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                    error = errno;
                }
            } else if (events < 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        return sConnectError(error);
    }
    record->flags |= kConnected;
    return aErrNone;
}

aErr sSetOptions(SocketRecord* record, int descriptor) {
    if (sConnected(record)) {
        const int on = 1;
        if (setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) {
            return aErrIO;
        }
        const timeval none = {0, 0};
        if (setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none)) != 0) {
            return aErrIO;
        }
    }
    // A close resets the connection at once instead of lingering.
    const linger immediate = {1, 0};
    if (setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &immediate, sizeof(immediate)) != 0) {
        return aErrIO;
    }
    const int flags = fcntl(descriptor, F_GETFL, 0);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0) {
        return aErrIO;
    }
    return aErrNone;
}

// Closes any open connection and makes a new one. Called at creation, or
// with useLock held exclusively.
aErr sReset(SocketRecord* record) {
    if (!sIsValid(record)) {
        return aErrInitialization;
    }
    sCloseSocket(record);
    ++record->generation;
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        return aErrIO;
    }
    record->descriptor = descriptor;
    aErr result = sConnect(record, descriptor);
    if (result == aErrNone) {
        result = sSetOptions(record, descriptor);
    }
    if (result != aErrNone) {
        sCloseSocket(record);
    }
    return result;
}

// Reconnects after the connection of the given generation failed, unless
// another thread has done so meanwhile.
aErr sReconnect(SocketRecord* record, uint64_t failedGeneration) {
    std::unique_lock<std::shared_mutex> guard(record->useLock);
    if (record->generation.load() != failedGeneration && sConnected(record)) {
        return aErrNone;
    }
    return sReset(record);
}

bool sDropped(int error) {
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT || error == EPIPE;
}

// Reconnects when an earlier failure left the stream without a connection.
aErr sEnsureConnected(SocketRecord* record) {
    // The generation first: a reconnection by another thread in between is
    // then seen by sReconnect and not repeated.
    const uint64_t generation = record->generation.load();
    if (sConnected(record)) {
        return aErrNone;
    }
    return sReconnect(record, generation);
}

uint64_t sSocketGeneration(void* reference) {
    const SocketRecord* record = static_cast<const SocketRecord*>(reference);
    return sIsValid(record) ? record->generation.load() : 0;
}

aErr sSocketGet(uint8_t* byte, void* reference) {
    SocketRecord* record = static_cast<SocketRecord*>(reference);
    if (!sIsValid(record) || byte == nullptr) {
        return aErrParam;
    }
    const aErr connected = sEnsureConnected(record);
    if (connected != aErrNone) {
        return connected;
    }
    uint64_t generation;
    {
        std::shared_lock<std::shared_mutex> guard(record->useLock);
        generation = record->generation.load();
        const int descriptor = record->descriptor.load();
        if (sWaitFor(descriptor, POLLIN, aSTREAM_IDLE_WAIT_MS) == 0) {
            return aErrNotReady;
        }
        const ssize_t received = recv(descriptor, byte, 1, MSG_DONTWAIT);
        if (received == 1) {
            return aErrNone;
        }
        if (received < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                return aErrNotReady;
            }
            if (!sDropped(error)) {
                return aErrConnection;
            }
        }
    }
    // The peer closed or reset the connection (a module that rebooted or went
    // away): reconnect, and tell the caller when that fails.
    const aErr reconnected = sReconnect(record, generation);
    return reconnected != aErrNone ? reconnected : aErrNotReady;
}

aErr sSocketWrite(const uint8_t* bytes, size_t count, void* reference) {
    SocketRecord* record = static_cast<SocketRecord*>(reference);
    if (!sIsValid(record) || (bytes == nullptr && count > 0)) {
        return aErrParam;
    }
    const aErr connected = sEnsureConnected(record);
    if (connected != aErrNone) {
        return connected;
    }
    size_t sent = 0;
    int retries = 0;
    while (sent < count) {
        if (retries >= aSOCKET_MAX_SEND_RETRY) {
            return aErrWrite;
        }
        uint64_t generation;
        int error;
        {
            std::shared_lock<std::shared_mutex> guard(record->useLock);
            generation = record->generation.load();
            const int descriptor = record->descriptor.load();
            const ssize_t done =
                send(descriptor, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (done > 0) {
                sent += static_cast<size_t>(done);
                if (sent < count) {
                    retries = 1;
                    sWaitFor(descriptor, POLLOUT, aSOCKET_RETRY_DELAY_MS);
                }
                continue;
            }
            error = done < 0 ? errno : EAGAIN;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                ++retries;
                sWaitFor(descriptor, POLLOUT, aSOCKET_RETRY_DELAY_MS);
                continue;
            }
        }
        if (!sDropped(error)) {
            return aErrIO;
        }
        const aErr reconnected = sReconnect(record, generation);
        if (reconnected != aErrNone) {
            return reconnected;
        }
        ++retries;
    }
    return aErrNone;
}

aErr sSocketPut(const uint8_t* byte, void* reference) {
    return sSocketWrite(byte, 1, reference);
}

aErr sSocketDelete(void* reference) {
    SocketRecord* record = static_cast<SocketRecord*>(reference);
    if (!sIsValid(record)) {
        return aErrParam;
    }
    const int descriptor = record->descriptor.exchange(-1);
    if (descriptor >= 0) {
        close(descriptor);
    }
    record->check = 0;
    delete record;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    SocketRecord* record = new (std::nothrow) SocketRecord;
    if (record == nullptr) {
        return aErrResource;
    }
    record->port = port;
    std::memset(&record->address, 0, sizeof(record->address));
    record->address.sin_family = AF_INET;
    record->address.sin_port = htons(port);
    record->address.sin_addr.s_addr = address;
    record->check = kSocketCheck;
    if (sReset(record) != aErrNone) {
        record->check = 0;
        delete record;
        return aErrResource;
    }
    *stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, record);
    if (*stream == nullptr) {
        sSocketDelete(record);
        return aErrResource;
    }
    aStream_SetGenerationProc(*stream, sSocketGeneration);
    return aErrNone;
}
