#include "common/aPacketFifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// One element: the packet's serial id and the packet itself.
typedef std::pair<int64_t, std::unique_ptr<aPacket, aPacketDeleter>> SerialPacket;

struct packetFifo {
    std::deque<SerialPacket> packets;  // oldest first, ids strictly increasing
    std::condition_variable condition;
    std::mutex lock;
    std::atomic<bool> alive{true};
    // Serial id of the oldest packet held (windowEnd when empty), and the id
    // the next put takes.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> windowEnd{0};

    // The following keep windowStart in step; call them with lock held.
    void syncWindow() { windowStart = packets.empty() ? windowEnd.load() : packets.front().first; }
    void clearAndSyncWindow() {
        packets.clear();
        syncWindow();
    }
    template <typename Iterator>
    void eraseAndSyncWindow(Iterator first, Iterator last) {
        packets.erase(first, last);
        syncWindow();
    }
};

typedef std::shared_ptr<packetFifo> FifoShare;

// The registry lives for the whole process and is never torn down, so that a
// link thread still running while the process exits cannot meet a destroyed
// map. Its mutex is held only to look up, insert or remove an identifier.
struct Registry {
    std::map<aPacketFifoId, FifoShare> gpPacketFifoDictionary;
    std::mutex gpPacketFifoDictionaryMutex;
    std::atomic<aPacketFifoId> gpSequentialId{1};
};

Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

FifoShare sLookup(aPacketFifoId identifier) {
    Registry& registry = sRegistry();
    try {
        std::lock_guard<std::mutex> guard(registry.gpPacketFifoDictionaryMutex);
        auto found = registry.gpPacketFifoDictionary.find(identifier);
        if (found == registry.gpPacketFifoDictionary.end()) {
            return nullptr;
        }
        return found->second;
    } catch (...) {
        return nullptr;
    }
}

// Copies the element out and erases it; null (and the element kept) when the
// copy cannot be made. Call with the FIFO's lock held.
aPacketRef sTake(packetFifo& fifo, std::deque<SerialPacket>::iterator element) {
    aPacketRef copy = aPacket_Copy(element->second.get());
    if (copy != nullptr) {
        fifo.eraseAndSyncWindow(element, std::next(element));
    }
    return copy;
}

// Waits under `guard` until `ready` holds or `timeoutMs` has passed, and
// tells whether it holds. Without a time-out it only looks: even an expired
// timed wait arms a timer in the kernel, which the pooled writer would pay
// for every packet.
template <typename Ready>
bool sWaitUntil(packetFifo& fifo, std::unique_lock<std::mutex>& guard, uint32_t timeoutMs,
                Ready ready) {
    if (timeoutMs == 0) {
        return ready();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return fifo.condition.wait_until(guard, deadline, ready);
}

}  // namespace

aPacketFifoId aPacketFifo_Create() {
    Registry& registry = sRegistry();
    try {
        FifoShare fifo = std::make_shared<packetFifo>();
        aPacketFifoId identifier = registry.gpSequentialId++;
        if (identifier == 0) {
            identifier = registry.gpSequentialId++;
        }
        std::lock_guard<std::mutex> guard(registry.gpPacketFifoDictionaryMutex);
        registry.gpPacketFifoDictionary.emplace(identifier, std::move(fifo));
        return identifier;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* identifier) {
    if (identifier == nullptr) {
        return aErrParam;
    }
    const aPacketFifoId id = *identifier;
    *identifier = 0;
    Registry& registry = sRegistry();
    try {
        FifoShare fifo;
        {
            std::lock_guard<std::mutex> guard(registry.gpPacketFifoDictionaryMutex);
            auto found = registry.gpPacketFifoDictionary.find(id);
            if (found == registry.gpPacketFifoDictionary.end()) {
                return aErrNotFound;
            }
            fifo = std::move(found->second);
            registry.gpPacketFifoDictionary.erase(found);
        }
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->condition.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId identifier) {
    FifoShare fifo = sLookup(identifier);
    if (!fifo) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(fifo->lock);
    return fifo->packets.size();
}

aErr aPacketFifo_Put(aPacketFifoId identifier, const aPacket* packet) {
    FifoShare fifo = sLookup(identifier);
    if (!fifo) {
        return aErrParam;
    }
    {
        std::lock_guard<std::mutex> guard(fifo->lock);
        if (!fifo->alive) {
            return aErrParam;  // destroyed while we were on our way in
        }
        const int64_t serial = fifo->windowEnd++;
        std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
        if (!copy) {
            fifo->syncWindow();
            return aErrParam;
        }
        try {
            fifo->packets.emplace_back(serial, std::move(copy));
        } catch (...) {
            fifo->syncWindow();
            return aErrResource;
        }
        // At the bound the oldest packets make room: whoever waits for the
        // newest (an answer to a request just sent) must still receive it.
        while (fifo->packets.size() > aPACKETFIFO_MAX_PACKETS) {
            fifo->packets.pop_front();
        }
        fifo->syncWindow();
    }
    fifo->condition.notify_all();
    return aErrNone;
}

aPacketRef aPacketFifo_Get(aPacketFifoId identifier) {
    return aPacketFifo_Await(identifier, 0);
}

aPacketRef aPacketFifo_Await(aPacketFifoId identifier, uint32_t timeoutMs) {
    FifoShare fifo = sLookup(identifier);
    if (!fifo) {
        return nullptr;
    }
    try {
        std::unique_lock<std::mutex> guard(fifo->lock);
        const bool ready = sWaitUntil(*fifo, guard, timeoutMs,
                                      [&] { return !fifo->packets.empty() || !fifo->alive; });
        if (!ready || fifo->packets.empty()) {
            return nullptr;
        }
        return sTake(*fifo, fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacketRef aPacketFifo_GetFirst(aPacketFifoId identifier, aPacketFilterProc filter,
                                const void* reference) {
    if (filter == nullptr) {
        return nullptr;
    }
    FifoShare fifo = sLookup(identifier);
    if (!fifo) {
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> guard(fifo->lock);
        for (auto element = fifo->packets.begin(); element != fifo->packets.end(); ++element) {
            if (filter(element->second.get(), reference)) {
                return sTake(*fifo, element);
            }
        }
    } catch (...) {
    }
    return nullptr;
}

aPacketRef aPacketFifo_AwaitFirst(aPacketFifoId identifier, aPacketFilterProc filter,
                                  const void* reference, uint32_t timeoutMs) {
    if (filter == nullptr) {
        return nullptr;
    }
    FifoShare fifo = sLookup(identifier);
    if (!fifo) {
        return nullptr;
    }
    try {
        std::unique_lock<std::mutex> guard(fifo->lock);
        // Serial ids up to lastSeen have been shown to the filter already.
        int64_t lastSeen = fifo->windowStart - 1;
        bool found = false;
        int64_t result = 0;
        auto scan = [&] {
            for (const SerialPacket& element : fifo->packets) {
                if (element.first - lastSeen <= 0) {
                    continue;
                }
                lastSeen = element.first;
                if (filter(element.second.get(), reference)) {
                    found = true;
                    result = element.first;
                    break;
                }
            }
            return found || !fifo->alive;
        };
        sWaitUntil(*fifo, guard, timeoutMs, scan);
        if (!found) {
            return nullptr;
        }
        // The lock has been held since the scan: the element is still there.
        auto element = std::lower_bound(
            fifo->packets.begin(), fifo->packets.end(), result,
            [](const SerialPacket& candidate, int64_t id) { return candidate.first < id; });
        if (element == fifo->packets.end() || element->first != result) {
            return nullptr;
        }
        return sTake(*fifo, element);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(aPacketFifoId identifier, aPacketFilterProc filter,
                                const void* reference) {
    if (filter == nullptr) {
        return 0;
    }
    FifoShare fifo = sLookup(identifier);
    if (!fifo) {
        return 0;
    }
    try {
        std::lock_guard<std::mutex> guard(fifo->lock);
        const size_t before = fifo->packets.size();
        auto kept = std::stable_partition(
            fifo->packets.begin(), fifo->packets.end(),
            [&](const SerialPacket& element) { return !filter(element.second.get(), reference); });
        fifo->eraseAndSyncWindow(kept, fifo->packets.end());
        return before - fifo->packets.size();
    } catch (...) {
        return 0;
    }
}
