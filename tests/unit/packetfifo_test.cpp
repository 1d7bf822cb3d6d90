#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/aPacket.h"
#include "common/aPacketFifo.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous bound for waiting on another thread; reached only when a test fails.
constexpr auto kPatience = 20s;
constexpr uint32_t kPatienceMs = 20000;

// Made during static initialisation, before any test: the process's first FIFO.
const aPacketFifoId gFirstFifo = aPacketFifo_Create();

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// A packet from address 4 whose data carries a tag (byte 0) and a number
// (bytes 1 and 2).
PacketPtr Tagged(uint8_t tag, uint16_t number = 0) {
    const uint8_t data[] = {tag, static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
    return PacketPtr(aPacket_CreateWithData(0x04, sizeof(data), data));
}

uint16_t NumberOf(const aPacket* packet) {
    return static_cast<uint16_t>(packet->data[1] << 8 | packet->data[2]);
}

bool AcceptAll(const aPacket*, const void*) {
    return true;
}

// Accepts packets whose tag equals *reference.
bool TagIs(const aPacket* packet, const void* reference) {
    return packet->data[0] == *static_cast<const uint8_t*>(reference);
}

class Fifo : public ::testing::Test {
  protected:
    void SetUp() override {
        fifo_ = aPacketFifo_Create();
        ASSERT_NE(fifo_, 0u);
    }
    void TearDown() override {
        if (fifo_ != 0) {
            aPacketFifo_Destroy(&fifo_);
        }
    }
    void Put(uint8_t tag, uint16_t number = 0) {
        PacketPtr packet = Tagged(tag, number);
        ASSERT_EQ(aPacketFifo_Put(fifo_, packet.get()), aErrNone);
    }
    // Takes every packet and returns their numbers in order.
    std::vector<uint16_t> TakeAllNumbers() {
        std::vector<uint16_t> numbers;
        while (PacketPtr packet{aPacketFifo_Get(fifo_)}) {
            numbers.push_back(NumberOf(packet.get()));
        }
        return numbers;
    }

    aPacketFifoId fifo_ = 0;
};

// ---- Registry

TEST(FifoRegistry, FirstIdentifierIsOneAndNoneIsReused) {
    EXPECT_EQ(gFirstFifo, 1u);
    aPacketFifoId a = aPacketFifo_Create();
    aPacketFifoId b = aPacketFifo_Create();
    EXPECT_NE(a, 0u);
    EXPECT_GT(b, a);
    const aPacketFifoId old = a;
    EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
    EXPECT_EQ(a, 0u);
    aPacketFifoId again = old;
    EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
    EXPECT_EQ(again, 0u);
    aPacketFifoId c = aPacketFifo_Create();
    EXPECT_GT(c, b);
    aPacketFifo_Destroy(&b);
    aPacketFifo_Destroy(&c);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST(FifoRegistry, UnknownIdentifierActsAbsent) {
    aPacketFifoId gone = aPacketFifo_Create();
    const aPacketFifoId stale = gone;
    aPacketFifo_Destroy(&gone);
    PacketPtr packet = Tagged(1);
    for (aPacketFifoId id : {aPacketFifoId{0}, stale}) {
        EXPECT_EQ(aPacketFifo_Put(id, packet.get()), aErrParam);
        EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
        EXPECT_EQ(aPacketFifo_Get(id), nullptr);
        EXPECT_EQ(aPacketFifo_Await(id, 10), nullptr);
        EXPECT_EQ(aPacketFifo_GetFirst(id, AcceptAll, nullptr), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(id, AcceptAll, nullptr, 10), nullptr);
        EXPECT_EQ(aPacketFifo_DrainPackets(id, AcceptAll, nullptr), 0u);
    }
}

// ---- Put and take

TEST_F(Fifo, OldestFirstAndCopiesBothWays) {
    PacketPtr first = Tagged(7, 1);
    ASSERT_EQ(aPacketFifo_Put(fifo_, first.get()), aErrNone);
    first->data[1] = 0xFF;  // the caller's packet stays the caller's
    Put(7, 2);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 2u);

    PacketPtr got{aPacketFifo_Get(fifo_)};
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got.get(), first.get());
    EXPECT_EQ(NumberOf(got.get()), 1);
    EXPECT_TRUE(aPacket_IsComplete(got.get()));
    EXPECT_EQ(TakeAllNumbers(), std::vector<uint16_t>{2});
    EXPECT_EQ(aPacketFifo_Get(fifo_), nullptr);
}

TEST_F(Fifo, InvalidPacketIsRefused) {
    EXPECT_EQ(aPacketFifo_Put(fifo_, nullptr), aErrParam);
    aPacket forged{};
    EXPECT_EQ(aPacketFifo_Put(fifo_, &forged), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
    // The FIFO works on afterwards, filtered waits included.
    Put(1, 5);
    const uint8_t tag = 1;
    PacketPtr got{aPacketFifo_AwaitFirst(fifo_, TagIs, &tag, 0)};
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(NumberOf(got.get()), 5);
}

// At the bound the oldest packet makes room: the newest, perhaps the answer
// a caller waits for, is kept, and the put succeeds.
TEST_F(Fifo, BoundDropsOldest) {
    for (uint16_t n = 1; n <= 1000; ++n) {
        Put(0, n);
    }
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1000u);
    Put(0, 1001);
    Put(0, 1002);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1000u);
    const std::vector<uint16_t> numbers = TakeAllNumbers();
    ASSERT_EQ(numbers.size(), 1000u);
    EXPECT_EQ(numbers.front(), 3);
    EXPECT_EQ(numbers.back(), 1002);
}

TEST_F(Fifo, FullFifoStillDeliversTheAwaitedAnswer) {
    for (uint16_t n = 0; n < 1000; ++n) {
        Put(0, n);
    }
    const uint8_t answer = 9;
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aPacketFifo_AwaitFirst(fifo_, TagIs, &answer, kPatienceMs));
    });
    Put(answer, 42);
    ASSERT_EQ(waiter.wait_for(kPatience), std::future_status::ready);
    PacketPtr got = waiter.get();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(NumberOf(got.get()), 42);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 999u);
}

// ---- Waiting

TEST_F(Fifo, AwaitZeroLooksOnce) {
    EXPECT_EQ(aPacketFifo_Await(fifo_, 0), nullptr);
    Put(3, 1);
    PacketPtr got{aPacketFifo_Await(fifo_, 0)};
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 3);
}

TEST_F(Fifo, AwaitTimesOutEmptyHanded) {
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo_, 30), nullptr);
    EXPECT_GE(Clock::now() - start, 30ms);
    const uint8_t wanted = 1;
    Put(2);
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, TagIs, &wanted, 30), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1u);
}

TEST_F(Fifo, AwaitReceivesPacketPutLater) {
    auto waiter = std::async(std::launch::async,
                             [&] { return PacketPtr(aPacketFifo_Await(fifo_, kPatienceMs)); });
    std::this_thread::sleep_for(20ms);  // most likely asleep by now; either way it must get it
    Put(5, 77);
    ASSERT_EQ(waiter.wait_for(kPatience), std::future_status::ready);
    PacketPtr got = waiter.get();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(NumberOf(got.get()), 77);
}

// Records every filter call; lets the test wait until the waiter has looked
// at a given packet. The filter runs under the FIFO's lock, so the test never
// calls the FIFO while holding this mutex.
struct FilterLog {
    std::mutex mutex;
    std::condition_variable seen;
    std::map<uint16_t, int> calls;  // packet number -> calls
    uint8_t wantedTag = 0;

    static bool Filter(const aPacket* packet, const void* reference) {
        FilterLog* log = static_cast<FilterLog*>(const_cast<void*>(reference));
        std::lock_guard<std::mutex> guard(log->mutex);
        ++log->calls[NumberOf(packet)];
        log->seen.notify_all();
        return packet->data[0] == log->wantedTag;
    }
    bool WaitSeen(uint16_t number) {
        std::unique_lock<std::mutex> guard(mutex);
        return seen.wait_for(guard, kPatience, [&] { return calls.count(number) > 0; });
    }
};

TEST_F(Fifo, AwaitFirstShowsEachPacketOnceAcrossWakeUps) {
    FilterLog log;
    log.wantedTag = 0xB;
    Put(0xA, 1);  // A: rejected, queued before the wait
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aPacketFifo_AwaitFirst(fifo_, FilterLog::Filter, &log, kPatienceMs));
    });
    ASSERT_TRUE(log.WaitSeen(1));
    // Each put wakes the waiter; it must look at the new packet only.
    for (uint16_t n = 2; n <= 6; ++n) {
        Put(0xC, n);
        ASSERT_TRUE(log.WaitSeen(n));
    }
    Put(0xB, 7);
    ASSERT_EQ(waiter.wait_for(kPatience), std::future_status::ready);
    PacketPtr got = waiter.get();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(NumberOf(got.get()), 7);
    {
        std::lock_guard<std::mutex> guard(log.mutex);
        EXPECT_EQ(log.calls.size(), 7u);
        for (const auto& [number, calls] : log.calls) {
            EXPECT_EQ(calls, 1) << "packet " << number;
        }
    }
    // The rejected packets stay, in order.
    EXPECT_EQ(TakeAllNumbers(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(Fifo, GetFirstTakesOldestAccepted) {
    Put(1, 1);
    Put(2, 2);
    Put(1, 3);
    Put(2, 4);
    const uint8_t two = 2, three = 3;
    PacketPtr got{aPacketFifo_GetFirst(fifo_, TagIs, &two)};
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(NumberOf(got.get()), 2);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo_, TagIs, &three), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo_, nullptr, nullptr), nullptr);
    EXPECT_EQ(TakeAllNumbers(), (std::vector<uint16_t>{1, 3, 4}));
}

TEST_F(Fifo, DrainRemovesAcceptedKeepsOrderOfRest) {
    for (uint16_t n = 1; n <= 6; ++n) {
        Put(n % 2, n);
    }
    const uint8_t odd = 1;
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, TagIs, &odd), 3u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 3u);
    // A filtered wait after a drain still finds what is left and what comes.
    const uint8_t even = 0;
    PacketPtr got{aPacketFifo_AwaitFirst(fifo_, TagIs, &even, 0)};
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(NumberOf(got.get()), 2);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, AcceptAll, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, AcceptAll, nullptr), 0u);
}

// ---- Destruction while in use

TEST(FifoDestroy, ReleasesWaitersLongBeforeTheirTimeOut) {
    aPacketFifoId fifo = aPacketFifo_Create();
    aPacketFifoId empty = aPacketFifo_Create();
    FilterLog log;
    log.wantedTag = 0xEE;  // never comes
    {
        PacketPtr bait = Tagged(1, 1);
        aPacketFifo_Put(fifo, bait.get());
    }
    const auto start = Clock::now();
    const aPacketFifoId filteredId = fifo, plainId = empty;
    auto filtered = std::async(std::launch::async, [&] {
        return PacketPtr(aPacketFifo_AwaitFirst(filteredId, FilterLog::Filter, &log, 60000));
    });
    auto plain = std::async(std::launch::async,
                            [&] { return PacketPtr(aPacketFifo_Await(plainId, 60000)); });
    ASSERT_TRUE(log.WaitSeen(1));       // the filtered waiter is inside for sure
    std::this_thread::sleep_for(20ms);  // the plain one most likely (else it finds none)
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    EXPECT_EQ(aPacketFifo_Destroy(&empty), aErrNone);
    ASSERT_EQ(filtered.wait_for(kPatience), std::future_status::ready);
    ASSERT_EQ(plain.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(filtered.get(), nullptr);
    EXPECT_EQ(plain.get(), nullptr);
    EXPECT_LT(Clock::now() - start, 30s);
}

// Producers, waiters and a destroyer at once: nothing crashes, every thread
// ends, and a put after the end is refused.
TEST(FifoDestroy, WhileProducersAndConsumersAreInside) {
    aPacketFifoId fifo = aPacketFifo_Create();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&, p] {
            PacketPtr packet = Tagged(static_cast<uint8_t>(p));
            while (aPacketFifo_Put(fifo, packet.get()) == aErrNone && !stop) {
            }
        });
    }
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&, c] {
            const uint8_t tag = static_cast<uint8_t>(c);
            for (;;) {
                PacketPtr got(c == 0 ? aPacketFifo_Await(fifo, 50)
                                     : aPacketFifo_AwaitFirst(fifo, TagIs, &tag, 50));
                if (!got && aPacketFifo_GetLength(fifo) == 0 && stop) {
                    return;
                }
            }
        });
    }
    std::this_thread::sleep_for(50ms);
    aPacketFifoId doomed = fifo;
    EXPECT_EQ(aPacketFifo_Destroy(&doomed), aErrNone);
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    PacketPtr late = Tagged(0);
    EXPECT_EQ(aPacketFifo_Put(fifo, late.get()), aErrParam);
}

// ---- Producers and consumers

TEST(FifoThreads, EveryPacketReachesExactlyOneConsumerInOrder) {
    constexpr int kProducers = 4;
    constexpr uint16_t kEach = 200;  // 800 in all: the bound is never reached
    aPacketFifoId fifo = aPacketFifo_Create();
    std::atomic<int> received{0};
    std::mutex resultsMutex;
    std::map<int, std::vector<uint16_t>> byConsumerAndProducer;  // consumer * 16 + producer

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (uint16_t n = 0; n < kEach; ++n) {
                PacketPtr packet = Tagged(static_cast<uint8_t>(p), n);
                ASSERT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
            }
        });
    }
    // Two plain consumers and two that want one producer's packets only.
    for (int c = 0; c < 4; ++c) {
        threads.emplace_back([&, c] {
            const uint8_t tag = static_cast<uint8_t>(c);
            const auto deadline = Clock::now() + kPatience;
            while (received < kProducers * kEach && Clock::now() < deadline) {
                PacketPtr got(c < 2 ? aPacketFifo_Await(fifo, 20)
                                    : aPacketFifo_AwaitFirst(fifo, TagIs, &tag, 20));
                if (!got) {
                    continue;
                }
                ++received;
                std::lock_guard<std::mutex> guard(resultsMutex);
                byConsumerAndProducer[c * 16 + got->data[0]].push_back(NumberOf(got.get()));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(received.load(), kProducers * kEach);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);

    std::map<int, std::set<uint16_t>> perProducer;
    for (const auto& [key, numbers] : byConsumerAndProducer) {
        // One consumer sees one producer's packets in the order they were put.
        EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end())) << key;
        for (uint16_t n : numbers) {
            EXPECT_TRUE(perProducer[key % 16].insert(n).second) << "twice: " << n;
        }
    }
    for (int p = 0; p < kProducers; ++p) {
        EXPECT_EQ(perProducer[p].size(), kEach) << "producer " << p;
    }
    aPacketFifo_Destroy(&fifo);
}

}  // namespace
