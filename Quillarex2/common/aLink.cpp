#include "common/aLink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/aDebug.h"
#include "common/aPacketLog.h"
#include "common/aStreamClient.h"
#include "unix/aMutex.h"
#include "unix/aStreamCOBS.h"
#include "unix/aStreamSocket.h"
#include "unix/aStreamUSB.h"
#include "unix/aThread.h"
#include "unix/aTime.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kLinkCheck = 0xCEED;

// Reserved packets.
constexpr uint8_t kSyncAddress = 0xAD;   // synchronisation request 0xAD 0x00
constexpr uint8_t kRouteAddress = 0xAF;  // route forcing 0xAF 0x01 on/off
constexpr int kSyncRequests = 6;

// Start and synchronisation wait 200 rounds of 10 ms.
constexpr auto kUpWait = std::chrono::milliseconds(2000);
constexpr uint32_t kWriterWaitMs = 1000;
constexpr auto kErrorPause = std::chrono::milliseconds(100);
constexpr uint64_t kSyncDrainPauseMs = 100;
constexpr int kResetAttempts = 20;
constexpr uint64_t kResetPauseMs = 100;

// While synchronising, a stream with no byte to give starts a new round of
// requests only once it has been quiet this long since the last round began
// or the last byte came: a module that is slow to answer, or a framed stream
// that reports "no byte" for every raw byte of a frame, then still completes
// the exchange, and a module that has gone is not flooded.
constexpr auto kSyncQuiet = std::chrono::milliseconds(100);

// A filtered wait looks at the link's state at least this often, so that it
// ends soon after the link loses its module.
constexpr uint32_t kAwaitSliceMs = 100;

constexpr int32_t kMaxLogSize = 0x4000000;
constexpr uint32_t kDefaultLogSize = 65536;

// Synchronisation states of the reader.
enum : uint32_t {
    kSyncStateIdle = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

void* sInPipeProcess(void* argument);
void* sOutPipeProcess(void* argument);

}  // namespace

// One link: its stream, threads and FIFOs. Fields that the link threads and
// callers share are atomics or guarded by the named locks; the stream,
// inPacket, syncState and syncAddress belong to the threads while they run.
struct aLinkRecord {
    std::atomic<uint16_t> check{0};
    uint32_t id = 0;
    std::atomic<bool> running{false};
    std::atomic<uint32_t> state{aLINK_STATUS_NO_STREAM};
    // Times the stream failed under the reader (a module that restarts
    // closes its end); never reset, so a caller sees a drop it polled past.
    std::atomic<uint32_t> streamFailures{0};
    std::atomic<aPacketFifoId> inFifo{0};
    aPacketRef inPacket = nullptr;
    std::atomic<aPacketFifoId> outFifo{0};
    aThreadRef readerThread = nullptr;
    aThreadRef writerThread = nullptr;
    aThreadEntry readerProc = nullptr;
    aThreadEntry writerProc = nullptr;
    std::atomic<bool> readerStarted{false};
    std::atomic<bool> writerStarted{false};
    aStreamRef stream = nullptr;
    std::atomic<uint32_t> heartbeatState{0};
    uint32_t syncState = kSyncStateIdle;
    uint8_t syncAddress = 1;
    std::atomic<aPacketLogRef> packetLog{nullptr};  // changed under packetLogLock
    std::atomic<int32_t> packetLogSize{0};
    aMutexRef packetLogLock = nullptr;
    aPacketFilterProc userFilter = nullptr;  // both under userFilterLock
    const void* userFilterRef = nullptr;
    aMutexRef userFilterLock = nullptr;
    std::atomic<bool> pooled{false};

    // Wakes whoever waits for the state or the started flags (start,
    // synchronisation) and the reader's pause after a failed read (stop).
    std::mutex waitLock;
    std::condition_variable waitCondition;
    // Reader only: when the current synchronisation round last saw activity.
    Clock::time_point syncActivity{};

    aLinkRecord() = default;
    aLinkRecord(const aLinkRecord&) = delete;
    aLinkRecord& operator=(const aLinkRecord&) = delete;

    // The locks go last, when no caller can hold the record any more.
    ~aLinkRecord() {
        aPacketLogRef log = packetLog.exchange(nullptr);
        if (log != nullptr) {
            aPacketLog_Destroy(&log);
        }
        if (inPacket != nullptr) {
            aPacket_Destroy(&inPacket);
        }
        if (packetLogLock != nullptr) {
            aMutex_Destroy(&packetLogLock);
        }
        if (userFilterLock != nullptr) {
            aMutex_Destroy(&userFilterLock);
        }
    }
};

namespace {

typedef std::shared_ptr<aLinkRecord> RecordShare;

// Registry entry. Callers that work on a link take a share of its record, so
// that a record never goes away under an operation already inside it.
struct aLinkEntry {
    uint32_t id = 0;
    uint32_t linkedId = 0;
    void* server = nullptr;  // network server sharing this module; none yet
    uint32_t ident0 = 0;
    uint32_t ident1 = 0;
    uint32_t ident2 = 0;
    uint32_t type = 0;
    int16_t use_count = 0;
    RecordShare link;
    aLinkEntry* next = nullptr;
};

// The registry lives for the whole process, like the FIFO registry, so that
// nothing meets it torn down at exit.
struct LinkRegistry {
    aLinkEntry* head = nullptr;
    uint32_t nextID = 1;
    aMutexRef lock = nullptr;
    // Serialises creation, reset and destruction of links.
    std::mutex lifecycle;
};

LinkRegistry& _links() {
    static LinkRegistry* registry = [] {
        LinkRegistry* made = new LinkRegistry;
        made->lock = aMutex_Create("aLink_Managed");
        return made;
    }();
    return *registry;
}

// Every client link is distinct: the counter is part of its identity.
std::atomic<uint32_t> _clientCount{0};

class RegistryGuard {
  public:
    RegistryGuard() { aMutex_Lock(_links().lock); }
    ~RegistryGuard() { aMutex_Unlock(_links().lock); }
    RegistryGuard(const RegistryGuard&) = delete;
    RegistryGuard& operator=(const RegistryGuard&) = delete;
};

class MutexGuard {
  public:
    explicit MutexGuard(aMutexRef mutex) : mutex_(mutex) { aMutex_Lock(mutex_); }
    ~MutexGuard() { aMutex_Unlock(mutex_); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

  private:
    aMutexRef mutex_;
};

// The following walk the list; call them with the registry lock held.
aLinkEntry* sFindById(uint32_t id) {
    for (aLinkEntry* entry = _links().head; entry != nullptr; entry = entry->next) {
        if (entry->id == id) {
            return entry;
        }
    }
    return nullptr;
}

aLinkEntry* sFindBySerial(uint32_t ident0, uint32_t type) {
    for (aLinkEntry* entry = _links().head; entry != nullptr; entry = entry->next) {
        if (entry->ident0 == ident0 && entry->type == type) {
            return entry;
        }
    }
    return nullptr;
}

aLinkEntry* sExtract(uint32_t id) {
    for (aLinkEntry** at = &_links().head; *at != nullptr; at = &(*at)->next) {
        if ((*at)->id == id) {
            aLinkEntry* entry = *at;
            *at = entry->next;
            entry->next = nullptr;
            return entry;
        }
    }
    return nullptr;
}

// A new entry with a zeroed record at the head of the list; its identifier,
// or 0 when memory is short.
uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
    aLinkEntry* entry = new (std::nothrow) aLinkEntry;
    if (entry == nullptr) {
        return 0;
    }
    try {
        entry->link = std::make_shared<aLinkRecord>();
    } catch (...) {
        delete entry;
        return 0;
    }
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    RegistryGuard guard;
    LinkRegistry& registry = _links();
    entry->id = registry.nextID++;
    entry->link->id = entry->id;
    entry->next = registry.head;
    registry.head = entry;
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink: entry %u created (type %u, %08X)", entry->id, type,
                  ident0);
    return entry->id;
}

// The record of a link, whatever its mark; null for an unknown identifier.
RecordShare sEntryRecord(uint32_t id) {
    RegistryGuard guard;
    aLinkEntry* entry = sFindById(id);
    return entry != nullptr ? entry->link : nullptr;
}

// The record of an initialised link; null for an unknown identifier.
RecordShare sRecord(uint32_t id) {
    RecordShare record = sEntryRecord(id);
    if (record == nullptr || record->check.load() != kLinkCheck) {
        return nullptr;
    }
    return record;
}

void sUseCount(uint32_t id, int16_t delta) {
    RegistryGuard guard;
    aLinkEntry* entry = sFindById(id);
    if (entry != nullptr) {
        entry->use_count = static_cast<int16_t>(entry->use_count + delta);
    }
}

// Publishes a state change to whoever waits for one.
void sSetState(aLinkRecord* link, uint32_t state) {
    if (link->state.exchange(state) != state) {
        { std::lock_guard<std::mutex> guard(link->waitLock); }
        link->waitCondition.notify_all();
    }
}

void sNotify(aLinkRecord* link) {
    { std::lock_guard<std::mutex> guard(link->waitLock); }
    link->waitCondition.notify_all();
}

aErr sPut(aPacketFifoId fifo, uint8_t address, size_t length, const uint8_t* data) {
    aPacketRef packet = aPacket_CreateWithData(address, length, data);
    if (packet == nullptr) {
        return aErrMemory;
    }
    const aErr result = aPacketFifo_Put(fifo, packet);
    aPacket_Destroy(&packet);
    return result;
}

aErr sPutRoute(aLinkRecord* link, bool on) {
    const uint8_t data = on ? 1 : 0;
    return sPut(link->outFifo.load(), kRouteAddress, 1, &data);
}

// Wakes the writer out of its wait. Address 0 never appears on the wire, so
// the writer recognises this packet and drops it.
void sWakeWriter(aLinkRecord* link) {
    const uint8_t none = 0;
    sPut(link->outFifo.load(), 0, 0, &none);
}

// Takes the packet log away from the link (under its lock) and destroys it.
void sDropPacketLog(aLinkRecord* link) {
    if (link->packetLogLock == nullptr) {
        return;
    }
    aPacketLogRef log = nullptr;
    {
        MutexGuard guard(link->packetLogLock);
        log = link->packetLog.exchange(nullptr);
    }
    if (log != nullptr) {
        aPacketLog_Destroy(&log);
    }
}

void sLog(aLinkRecord* link, uint8_t kind, const aPacket* packet) {
    if (link->packetLog.load() == nullptr) {
        return;
    }
    uint8_t bytes[aPACKET_MAX_WIRE];
    size_t length = 0;
    if (aPacket_GetBytes(packet, bytes, sizeof(bytes), &length) != aErrNone) {
        return;
    }
    MutexGuard guard(link->packetLogLock);
    aPacketLogRef log = link->packetLog.load();
    if (log != nullptr) {
        aPacketLog_Put(log, kind, static_cast<uint32_t>(length), bytes);
    }
}

// ---- Reader ----

void sStartSync(aLinkRecord* link) {
    sSetState(link, aLINK_STATUS_SYNCING);
    link->syncState = kSyncStateStart;
    link->syncActivity = Clock::now();
    aPacket_Reset(link->inPacket);
    const uint8_t none = 0;
    aErr result = aErrNone;
    const aPacketFifoId out = link->outFifo.load();
    for (int i = 0; i < kSyncRequests; ++i) {
        result = sPut(out, kSyncAddress, 0, &none);
    }
    if (result == aErrNone) {
        link->syncState = kSyncStateByte1;
    }
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: synchronising", link->id);
}

void sSyncByte(aLinkRecord* link, uint8_t byte) {
    link->syncActivity = Clock::now();
    switch (link->syncState) {
        case kSyncStateByte1:
            if (byte != 0 && (byte & 1) == 0) {
                link->syncAddress = byte;
                link->syncState = kSyncStateByte2;
            } else {
                sStartSync(link);
            }
            break;
        case kSyncStateByte2:
            link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
            break;
        case kSyncStateByte3:
            link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
            break;
        case kSyncStateByte4:
            if (byte == 0) {
                link->syncState = kSyncStateIdle;
                sSetState(link, aLINK_STATUS_RUNNING);
                aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: synchronised with address %u", link->id,
                              link->syncAddress);
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        case kSyncStateStart:
        default:
            sStartSync(link);
            break;
    }
}

// Answers a heartbeat; true when the packet was one (it is then consumed).
bool sHandleHBBackChannel(aLinkRecord* link, const aPacket* packet) {
    if (packet->dataSize != 2 || packet->data[0] != 0 || link->heartbeatState.load() >= 2) {
        return false;
    }
    const uint8_t beat = packet->data[1];
    link->heartbeatState = static_cast<uint32_t>(beat) + 2;
    const uint8_t reply[2] = {0, static_cast<uint8_t>(beat + 2)};
    sPut(link->outFifo.load(), packet->address, 2, reply);
    aDebug_Printf(aDEBUG_AREA_PACKETS, "aLink %u: heartbeat %u from %u answered", link->id, beat,
                  packet->address);
    link->heartbeatState = 0;
    return true;
}

aErr sHandlePacket(aLinkRecord* link) {
    aPacketRef packet = link->inPacket;
    if (!aPacket_IsComplete(packet)) {
        return aErrNone;
    }
    sLog(link, aPACKETLOG_KIND_RECEIVED, packet);
    bool consumed = false;
    {
        MutexGuard guard(link->userFilterLock);
        if (link->userFilter != nullptr) {
            consumed = link->userFilter(packet, link->userFilterRef);
        }
    }
    aErr result = aErrNone;
    if (!consumed && !sHandleHBBackChannel(link, packet)) {
        result = aPacketFifo_Put(link->inFifo.load(), packet);
    }
    aPacket_Reset(packet);
    return result;
}

void* sInPipeProcess(void* argument) {
    aLinkRecord* link = static_cast<aLinkRecord*>(argument);
    link->heartbeatState = 0;
    link->syncAddress = 1;
    link->syncState = kSyncStateIdle;
    link->syncActivity = Clock::time_point{};
    link->readerStarted = true;
    // A link is taken as synchronised when it starts.
    sSetState(link, aLINK_STATUS_RUNNING);
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: reader running", link->id);
    uint64_t generation = aStream_GetGeneration(link->stream);
    while (link->running.load()) {
        uint8_t byte = 0;
        const aErr result = aStream_Read(link->stream, &byte, 1);
        const uint64_t now = aStream_GetGeneration(link->stream);
        const bool replaced = now != generation;
        generation = now;
        if (replaced && (result == aErrNone || result == aErrNotReady)) {
            // The stream replaced its connection under this read (the module
            // closed its end and was back at once): a drop all the same, and
            // the new connection is synchronised afresh.
            link->streamFailures.fetch_add(1);
            aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: the stream reconnected", link->id);
            sStartSync(link);
            if (result == aErrNone) {
                sSyncByte(link, byte);
            }
            continue;
        }
        if (result == aErrNotReady) {
            const uint32_t state = link->state.load();
            if (state == aLINK_STATUS_IO_ERROR ||
                (state == aLINK_STATUS_SYNCING &&
                 Clock::now() - link->syncActivity >= kSyncQuiet)) {
                sStartSync(link);
            }
            continue;
        }
        if (result != aErrNone) {
            if (link->state.load() != aLINK_STATUS_IO_ERROR) {
                link->streamFailures.fetch_add(1);
                aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: read failed (%s)", link->id,
                              aError_GetErrorText(result));
            }
            sSetState(link, aLINK_STATUS_IO_ERROR);
            std::unique_lock<std::mutex> guard(link->waitLock);
            link->waitCondition.wait_for(guard, kErrorPause, [link] { return !link->running; });
            continue;
        }
        if (link->state.load() == aLINK_STATUS_SYNCING) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->inPacket, byte) != aErrNone || (link->inPacket->address & 1)) {
            sStartSync(link);
            continue;
        }
        if (sHandlePacket(link) != aErrNone) {
            sSetState(link, aLINK_STATUS_QUEUE_ERROR);
        }
    }
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: reader ends", link->id);
    return nullptr;
}

// ---- Writer ----

void sWriteOne(aLinkRecord* link, const aPacket* packet) {
    uint8_t bytes[aPACKET_MAX_WIRE];
    size_t length = 0;
    if (aPacket_GetBytes(packet, bytes, sizeof(bytes), &length) == aErrNone) {
        sLog(link, aPACKETLOG_KIND_SENT, packet);
        aStream_Write(link->stream, bytes, length);
    }
}

void* sOutPipeProcess(void* argument) {
    aLinkRecord* link = static_cast<aLinkRecord*>(argument);
    link->writerStarted = true;
    sNotify(link);
    uint8_t batch[aLINK_POOL_BYTES];
    while (link->running.load()) {
        const aPacketFifoId out = link->outFifo.load();
        aPacketRef packet = aPacketFifo_Await(out, kWriterWaitMs);
        if (packet == nullptr) {
            continue;
        }
        if (packet->address == 0) {
            aPacket_Destroy(&packet);
            continue;
        }
        if (!link->pooled.load()) {
            sWriteOne(link, packet);
            aPacket_Destroy(&packet);
            continue;
        }
        size_t used = 0;
        aPacket_GetBytes(packet, batch, sizeof(batch), &used);
        while (used + aPACKET_MAX_WIRE <= sizeof(batch)) {
            aPacketRef more = aPacketFifo_Get(out);
            if (more == nullptr) {
                break;
            }
            size_t added = 0;
            if (more->address != 0 &&
                aPacket_GetBytes(more, batch + used, sizeof(batch) - used, &added) == aErrNone) {
                used += added;
            }
            aPacket_Destroy(&more);
        }
        // Recorded before the write, so that the log never shows the
        // module's answer ahead of the request. A failed write loses the
        // packets; the module's silence tells the caller, whose wait for the
        // answer runs out.
        sLog(link, aPACKETLOG_KIND_SENT, packet);
        aStream_Write(link->stream, batch, used);
        aPacket_Destroy(&packet);
    }
    // Everything queued before the stop still goes out.
    const aPacketFifoId out = link->outFifo.load();
    while (aPacketRef packet = aPacketFifo_Get(out)) {
        if (packet->address != 0) {
            sWriteOne(link, packet);
        }
        aPacket_Destroy(&packet);
    }
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: writer ends", link->id);
    return nullptr;
}

// ---- Lifetime ----

// Initialises the record afresh; the record owns the stream from here on.
// False when a FIFO, the parser packet or a lock could not be made.
bool sInit(aLinkRecord* link, uint32_t id, aStreamRef stream) {
    link->check = kLinkCheck;
    link->id = id;
    link->running = false;
    link->stream = stream;
    link->state = stream != nullptr ? aLINK_STATUS_STOPPED : aLINK_STATUS_NO_STREAM;
    link->readerThread = nullptr;
    link->writerThread = nullptr;
    aPacketFifoId fifo = link->inFifo.exchange(aPacketFifo_Create());
    if (fifo != 0) {
        aPacketFifo_Destroy(&fifo);
    }
    fifo = link->outFifo.exchange(aPacketFifo_Create());
    if (fifo != 0) {
        aPacketFifo_Destroy(&fifo);
    }
    link->readerProc = sInPipeProcess;
    link->writerProc = sOutPipeProcess;
    link->readerStarted = false;
    link->writerStarted = false;
    link->heartbeatState = 0;
    if (link->inPacket != nullptr) {
        aPacket_Destroy(&link->inPacket);
    }
    link->inPacket = aPacket_Create();
    char name[aMUTEX_MAX_NAME_LENGTH];
    if (link->packetLogLock == nullptr) {
        std::snprintf(name, sizeof(name), "LOG_SEMA_%p", static_cast<void*>(link));
        link->packetLogLock = aMutex_Create(name);
    }
    sDropPacketLog(link);
    link->packetLogSize = 0;
    link->pooled = false;
    if (link->userFilterLock == nullptr) {
        std::snprintf(name, sizeof(name), "aLink(%p)->userFilterSema", static_cast<void*>(link));
        link->userFilterLock = aMutex_Create(name);
    }
    if (link->userFilterLock != nullptr) {
        MutexGuard guard(link->userFilterLock);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
    }
    return link->inFifo.load() != 0 && link->outFifo.load() != 0 && link->inPacket != nullptr &&
           link->packetLogLock != nullptr && link->userFilterLock != nullptr;
}

// Joins whichever link threads exist; aErrUnknown when a join fails.
aErr sJoinThreads(aLinkRecord* link) {
    aErr result = aErrNone;
    if (link->readerThread != nullptr && aThread_Destroy(&link->readerThread) != 0) {
        result = aErrUnknown;
    }
    if (link->writerThread != nullptr && aThread_Destroy(&link->writerThread) != 0) {
        result = aErrUnknown;
    }
    return result;
}

aErr sDestroyLocked(uint32_t* id) {
    if (id == nullptr) {
        return aErrParam;
    }
    const uint32_t target = *id;
    *id = 0;
    aLinkEntry* entry = nullptr;
    {
        RegistryGuard guard;
        aLinkEntry* found = sFindById(target);
        if (found == nullptr) {
            return aErrParam;
        }
        found->use_count = static_cast<int16_t>(found->use_count - 1);
        if (found->use_count > 0) {
            return aErrNone;
        }
        entry = sExtract(target);
    }
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: destroying", target);
    aErr result = aErrUnknown;
    RecordShare link = entry->link;
    if (link != nullptr) {
        if (link->userFilterLock != nullptr) {
            MutexGuard guard(link->userFilterLock);
            link->userFilter = nullptr;
            link->userFilterRef = nullptr;
        }
        aLink_Stop(link.get());
    }
    if (entry->linkedId != 0) {
        uint32_t linked = entry->linkedId;
        sDestroyLocked(&linked);
    }
    if (link != nullptr) {
        aPacketFifoId fifo = link->inFifo.exchange(0);
        if (fifo != 0) {
            aPacketFifo_Destroy(&fifo);
        }
        // A link whose reset found no new stream has no FIFOs left.
        fifo = link->outFifo.exchange(0);
        result = fifo != 0 ? aPacketFifo_Destroy(&fifo) : aErrNone;
        if (link->stream != nullptr) {
            aStream_Destroy(&link->stream);
        }
        sDropPacketLog(link.get());
        link->state = aLINK_STATUS_NO_STREAM;
        link->check = 0;
    }
    // The record itself (its locks and parser packet) goes with the last
    // operation that still holds it.
    delete entry;
    return result;
}

typedef aErr (*StreamMaker)(uint32_t ident0, uint32_t ident1, uint32_t ident2, const void* extra,
                            aStreamRef* stream);

aErr sMakeUSB(uint32_t serial, uint32_t, uint32_t, const void*, aStreamRef* stream) {
    return aStream_CreateUSB(serial, stream);
}

aErr sMakeSocket(uint32_t, uint32_t address, uint32_t port, const void*, aStreamRef* stream) {
    return aStream_CreateSocket(address, static_cast<uint16_t>(port), stream);
}

aErr sMakeSerial(uint32_t, uint32_t, uint32_t baudIndex, const void* path, aStreamRef* stream) {
    return aStream_CreateSerial_Packetized(static_cast<const char*>(path), baudIndex, false, 0, 0,
                                           stream);
}

// Makes a link over a new stream in entry id, starts it and, when asked,
// synchronises it; destroys the entry on any failure. The lifecycle lock is
// held.
uint32_t sBringUp(uint32_t id, aErr made, aStreamRef stream, bool synchronise) {
    aErr result = made;
    if (aLink_Init(id, made == aErrNone ? stream : nullptr) != id) {
        result = aErrConnection;
    }
    if (result == aErrNone) {
        sUseCount(id, 1);
        result = aLink_Start(id);
        if (result == aErrNone && synchronise) {
            result = aLink_Sync(id);
        }
    }
    if (result != aErrNone) {
        aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: could not be brought up (%s)", id,
                      aError_GetErrorText(result));
        uint32_t doomed = id;
        sDestroyLocked(&doomed);
        return 0;
    }
    return id;
}

// A direct link (USB, TCP/IP, serial), shared by serial number and type.
uint32_t sCreateDirect(uint32_t type, uint32_t serial, uint32_t ident1, uint32_t ident2,
                       bool refuseShared, StreamMaker maker, uint32_t makerArgument,
                       const void* extra, bool synchronise) {
    {
        RegistryGuard guard;
        aLinkEntry* existing = sFindBySerial(serial, type);
        if (existing != nullptr) {
            if (refuseShared && existing->server != nullptr) {
                return 0;
            }
            existing->use_count = static_cast<int16_t>(existing->use_count + 1);
            return existing->id;
        }
    }
    const uint32_t id = sCreate2(serial, ident1, ident2, type);
    if (id == 0) {
        return 0;
    }
    aStreamRef stream = nullptr;
    const aErr made = maker(serial, ident1, makerArgument, extra, &stream);
    return sBringUp(id, made, stream, synchronise);
}

int sBaudIndex(uint32_t baudRate) {
    static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int index = 0; index < static_cast<int>(sizeof(kRates) / sizeof(kRates[0])); ++index) {
        if (kRates[index] == baudRate) {
            return index;
        }
    }
    return -1;
}

}  // namespace

// ---- Creation and lifetime ----

uint32_t aLink_Init(uint32_t id, aStreamRef stream) {
    RecordShare link = sEntryRecord(id);
    if (link == nullptr) {
        return 0;
    }
    return sInit(link.get(), id, stream) ? id : 0;
}

aErr aLink_Start(uint32_t id) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return aErrParam;
    }
    if (link->running.load()) {
        return aErrNone;
    }
    if (link->stream == nullptr || link->outFifo.load() == 0) {
        return aErrNotReady;
    }
    link->running = true;
    sSetState(link.get(), aLINK_STATUS_STARTING);
    link->heartbeatState = 0;
    link->readerStarted = false;
    link->writerStarted = false;
    link->readerThread = aThread_Create(link->readerProc, link.get());
    link->writerThread =
        link->readerThread != nullptr ? aThread_Create(link->writerProc, link.get()) : nullptr;
    if (link->readerThread == nullptr || link->writerThread == nullptr) {
        link->running = false;
        sNotify(link.get());
        sWakeWriter(link.get());
        sJoinThreads(link.get());
        sSetState(link.get(), aLINK_STATUS_STOPPED);
        return aErrResource;
    }
    {
        std::unique_lock<std::mutex> guard(link->waitLock);
        const bool up = link->waitCondition.wait_for(guard, kUpWait, [&link] {
            return link->readerStarted.load() && link->writerStarted.load() &&
                   link->state.load() == aLINK_STATUS_RUNNING;
        });
        if (!up) {
            aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: threads not up in time", id);
            return aErrIndexRange;
        }
    }
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: started", id);
    return sPutRoute(link.get(), true);
}

aErr aLink_Stop(aLinkRecord* link) {
    if (link == nullptr) {
        return aErrParam;
    }
    const uint32_t state = link->state.load();
    if (state == aLINK_STATUS_STOPPING || state == aLINK_STATUS_STOPPED) {
        return aErrNone;
    }
    sSetState(link, aLINK_STATUS_STOPPING);
    aErr result = aErrNone;
    if (link->readerThread != nullptr || link->writerThread != nullptr) {
        if (link->readerThread != nullptr && link->writerThread != nullptr) {
            result = sPutRoute(link, false);
        }
        link->running = false;
        sNotify(link);
        sWakeWriter(link);
        if (sJoinThreads(link) != aErrNone) {
            result = aErrUnknown;
        }
        link->readerStarted = false;
        link->writerStarted = false;
        aPacket_Reset(link->inPacket);
    }
    link->running = false;
    sSetState(link, link->stream != nullptr ? aLINK_STATUS_STOPPED : aLINK_STATUS_NO_STREAM);
    link->heartbeatState = 0;
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: stopped", link->id);
    return result;
}

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
    std::lock_guard<std::mutex> lifecycle(_links().lifecycle);
    return sCreateDirect(aLINK_TYPE_USB, serialNumber, 0, 0, true, sMakeUSB, 0, nullptr, true);
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
    std::lock_guard<std::mutex> lifecycle(_links().lifecycle);
    return sCreateDirect(aLINK_TYPE_TCPIP, serialNumber, address, port, true, sMakeSocket, port,
                         nullptr, false);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate) {
    std::lock_guard<std::mutex> lifecycle(_links().lifecycle);
    {
        RegistryGuard guard;
        aLinkEntry* existing = sFindBySerial(serialNumber, aLINK_TYPE_SERIAL);
        if (existing != nullptr) {
            // Reused even while a network server shares it.
            existing->use_count = static_cast<int16_t>(existing->use_count + 1);
            return existing->id;
        }
    }
    const uint32_t id = sCreate2(serialNumber, 0, 0, aLINK_TYPE_SERIAL);
    if (id == 0) {
        return 0;
    }
    const int baudIndex = sBaudIndex(baudRate);
    if (baudIndex < 0) {
        uint32_t doomed = id;
        sDestroyLocked(&doomed);
        return 0;
    }
    aStreamRef stream = nullptr;
    const aErr made =
        sMakeSerial(serialNumber, 0, static_cast<uint32_t>(baudIndex), devicePath, &stream);
    return sBringUp(id, made, stream, false);
}

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingId) {
    std::lock_guard<std::mutex> lifecycle(_links().lifecycle);
    if (existingId != 0) {
        RegistryGuard guard;
        aLinkEntry* existing = sFindById(existingId);
        if (existing == nullptr) {
            return 0;
        }
        existing->use_count = static_cast<int16_t>(existing->use_count + 1);
        return existingId;
    }
    const uint32_t id = sCreate2(address, port, _clientCount.load(), aLINK_TYPE_CLIENT);
    if (id == 0) {
        return 0;
    }
    ++_clientCount;
    aStreamRef stream = nullptr;
    const aErr made = aStream_CreateClient(address, port, &stream);
    if (made != aErrNone) {
        // Nothing to share: the entry goes again rather than lingering.
        uint32_t doomed = id;
        sDestroyLocked(&doomed);
        return 0;
    }
    return sBringUp(id, made, stream, false);
}

uint32_t aLink_CreateServer(uint32_t deviceId, uint16_t* port, uint32_t* networkInterface,
                            bool serverOption) {
    (void)serverOption;
    if (port == nullptr || networkInterface == nullptr || deviceId == 0) {
        return 0;
    }
    RecordShare link = sRecord(deviceId);
    if (link == nullptr) {
        return 0;
    }
    // No network server exists in this library yet: the module cannot be
    // shared, and the caller keeps its direct link.
    aDebug_Printf(aDEBUG_AREA_SHARING, "aLink %u: network sharing is not available", deviceId);
    return 0;
}

uint32_t aLink_Create(aStreamRef stream) {
    if (stream == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lifecycle(_links().lifecycle);
    const uint32_t id = sCreate2(0xFFFFFFFFu, 0, 0, aLINK_TYPE_STREAM);
    if (id == 0) {
        aStream_Destroy(&stream);
        return 0;
    }
    return sBringUp(id, aErrNone, stream, false);
}

aErr aLink_Destroy(uint32_t* id) {
    if (id == nullptr) {
        return aErrParam;
    }
    std::lock_guard<std::mutex> lifecycle(_links().lifecycle);
    return sDestroyLocked(id);
}

aErr aLink_Reset(uint32_t id) {
    std::lock_guard<std::mutex> lifecycle(_links().lifecycle);
    uint32_t type = 0;
    uint32_t ident0 = 0;
    uint32_t ident1 = 0;
    uint32_t ident2 = 0;
    RecordShare link;
    {
        RegistryGuard guard;
        aLinkEntry* entry = sFindById(id);
        if (entry == nullptr || entry->link == nullptr || entry->link->check.load() != kLinkCheck) {
            return aErrParam;
        }
        type = entry->type;
        ident0 = entry->ident0;
        ident1 = entry->ident1;
        ident2 = entry->ident2;
        link = entry->link;
    }
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: resetting", id);
    aLink_Stop(link.get());
    aPacketFifoId fifo = link->inFifo.exchange(0);
    aPacketFifo_Destroy(&fifo);
    fifo = link->outFifo.exchange(0);
    aPacketFifo_Destroy(&fifo);
    if (link->stream != nullptr) {
        aStream_Destroy(&link->stream);
    }
    aStreamRef stream = nullptr;
    aErr result = aErrParam;
    for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
        switch (type) {
            case aLINK_TYPE_USB:
                result = aStream_CreateUSB(ident0, &stream);
                break;
            case aLINK_TYPE_TCPIP:
                result = aStream_CreateSocket(ident1, static_cast<uint16_t>(ident2), &stream);
                break;
            case 4:
            case 5:
            case 6:
            case 7:
                result = aStream_CreateClient(ident0, static_cast<uint16_t>(ident1), &stream);
                break;
            default:
                // A serial port or a caller's stream cannot be made again.
                result = aErrParam;
                break;
        }
        if (result == aErrNone && stream != nullptr) {
            break;
        }
        aTime_MSSleep(kResetPauseMs);
    }
    if (result != aErrNone || stream == nullptr) {
        sSetState(link.get(), aLINK_STATUS_NO_STREAM);
        aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: no new stream (%s)", id,
                      aError_GetErrorText(result));
        return result != aErrNone ? result : aErrResource;
    }
    if (!sInit(link.get(), id, stream)) {
        return aErrResource;
    }
    return aLink_Start(id);
}

aErr aLink_Sync(uint32_t id) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return aErrParam;
    }
    sSetState(link.get(), aLINK_STATUS_SYNCING);
    bool synchronised = false;
    {
        std::unique_lock<std::mutex> guard(link->waitLock);
        synchronised = link->waitCondition.wait_for(
            guard, kUpWait, [&link] { return link->state.load() == aLINK_STATUS_RUNNING; });
    }
    aPacketFifoId out = link->outFifo.load();
    while (aPacketRef packet = aPacketFifo_Get(out)) {
        aPacket_Destroy(&packet);
    }
    aTime_MSSleep(kSyncDrainPauseMs);
    const aPacketFifoId in = link->inFifo.load();
    while (aPacketRef packet = aPacketFifo_Get(in)) {
        aPacket_Destroy(&packet);
    }
    aDebug_Printf(aDEBUG_AREA_LINK, "aLink %u: %s", id,
                  synchronised ? "synchronised" : "not synchronised in time");
    return synchronised ? aErrNone : aErrNotReady;
}

uint32_t aLink_GetStatus(uint32_t id) {
    RecordShare link = sRecord(id);
    return link != nullptr ? link->state.load() : aLINK_STATUS_NO_STREAM;
}

uint32_t aLink_GetStreamFailures(uint32_t id) {
    RecordShare link = sRecord(id);
    return link != nullptr ? link->streamFailures.load() : 0;
}

// ---- Packets ----

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return aErrParam;
    }
    return aPacketFifo_Put(link->outFifo.load(), packet);
}

aPacketRef aLink_GetPacket(uint32_t id) {
    RecordShare link = sRecord(id);
    return link != nullptr ? aPacketFifo_Get(link->inFifo.load()) : nullptr;
}

aPacketRef aLink_AwaitPacket(uint32_t id, uint32_t timeoutMs) {
    RecordShare link = sRecord(id);
    return link != nullptr ? aPacketFifo_Await(link->inFifo.load(), timeoutMs) : nullptr;
}

aPacketRef aLink_GetFirst(uint32_t id, aPacketFilterProc procedure, const void* reference) {
    RecordShare link = sRecord(id);
    return link != nullptr ? aPacketFifo_GetFirst(link->inFifo.load(), procedure, reference)
                           : nullptr;
}

size_t aLink_DrainPackets(uint32_t id, aPacketFilterProc procedure, const void* reference) {
    RecordShare link = sRecord(id);
    return link != nullptr ? aPacketFifo_DrainPackets(link->inFifo.load(), procedure, reference)
                           : 0;
}

aPacketRef aLink_AwaitFirst(uint32_t id, aPacketFilterProc procedure, const void* reference,
                            uint32_t timeoutMs) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return nullptr;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto usable = [&link] {
        return link->running.load() && link->state.load() == aLINK_STATUS_RUNNING;
    };
    if (!usable()) {
        return nullptr;
    }
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const uint32_t slice =
            left <= 0 ? 0 : (left < kAwaitSliceMs ? static_cast<uint32_t>(left) : kAwaitSliceMs);
        aPacketRef found = aPacketFifo_AwaitFirst(link->inFifo.load(), procedure, reference, slice);
        if (found != nullptr) {
            return found;
        }
        if (!usable() || Clock::now() >= deadline) {
            return nullptr;
        }
    }
}

aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketFilterProc procedure,
                                   const void* reference) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return aErrParam;
    }
    MutexGuard guard(link->userFilterLock);
    link->userFilter = procedure;
    link->userFilterRef = procedure != nullptr ? reference : nullptr;
    return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t id, bool enable) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return aErrParam;
    }
    link->pooled = enable;
    return aErrNone;
}

aErr aLink_ForceRoute(uint32_t id, bool on) {
    RecordShare link;
    {
        RegistryGuard guard;
        aLinkEntry* entry = sFindById(id);
        if (entry == nullptr) {
            return aErrNotFound;
        }
        link = entry->link;
    }
    if (link == nullptr || link->check.load() != kLinkCheck) {
        return aErrParam;
    }
    return sPutRoute(link.get(), on);
}

// ---- Packet log ----

aErr aLink_PacketDebug_SetLogSize(uint32_t id, int32_t size) {
    RecordShare link = sRecord(id);
    if (link == nullptr || size > kMaxLogSize) {
        return aErrParam;
    }
    if (link->packetLog.load() != nullptr) {
        return aErrBusy;
    }
    link->packetLogSize = size < 0 ? 0 : size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t id) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return aErrParam;
    }
    if (link->packetLogLock == nullptr) {
        return aErrResource;
    }
    MutexGuard guard(link->packetLogLock);
    aPacketLogRef log = link->packetLog.load();
    if (log == nullptr) {
        const int32_t size = link->packetLogSize.load();
        log = aPacketLog_Create(size > 0 ? static_cast<uint32_t>(size) : kDefaultLogSize);
        if (log == nullptr) {
            return aErrResource;
        }
        link->packetLog = log;
    }
    return aPacketLog_SetEnabled(log, true);
}

// Runs op on the link's packet log under its lock: aErrParam for an unknown
// link, aErrNotReady when the log does not exist.
template <typename Op>
aErr sWithPacketLog(uint32_t id, Op op) {
    RecordShare link = sRecord(id);
    if (link == nullptr) {
        return aErrParam;
    }
    if (link->packetLog.load() == nullptr) {
        return aErrNotReady;
    }
    MutexGuard guard(link->packetLogLock);
    aPacketLogRef log = link->packetLog.load();
    return log != nullptr ? op(log) : aErrNotReady;
}

aErr aLink_PacketDebug_Disable(uint32_t id) {
    return sWithPacketLog(id, [](aPacketLogRef log) { return aPacketLog_SetEnabled(log, false); });
}

aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* kind, uint32_t* length, uint8_t* buffer) {
    return sWithPacketLog(
        id, [&](aPacketLogRef log) { return aPacketLog_Get(log, kind, length, buffer); });
}

aErr aLink_PacketDebug_Write(uint32_t id, uint8_t kind, uint32_t length, const uint8_t* bytes) {
    return sWithPacketLog(
        id, [&](aPacketLogRef log) { return aPacketLog_Put(log, kind, length, bytes); });
}
