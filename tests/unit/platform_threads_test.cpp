#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "common/aLogger.h"
#include "unix/aFile.h"
#include "unix/aMutex.h"
#include "unix/aThread.h"
#include "unix/aTime.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous bound for waiting on another thread; reached only when a test fails.
constexpr auto kPatience = 20s;

// ---- Mutexes

TEST(Mutex, NameUpTo255Characters) {
    const std::string longest(255, 'm');
    aMutexRef mutex = aMutex_Create(longest.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Identifier(mutex), longest);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);

    EXPECT_EQ(aMutex_Create(std::string(256, 'm').c_str()), nullptr);

    mutex = aMutex_Create(nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_STREQ(aMutex_Identifier(mutex), "");
    aMutex_Destroy(&mutex);
}

TEST(Mutex, NullHandlesGiveParam) {
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Identifier(nullptr), nullptr);
    aMutexRef none = nullptr;
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

TEST(Mutex, TryLockIsBusyWhileAnotherThreadHoldsIt) {
    aMutexRef mutex = aMutex_Create("busy");
    ASSERT_NE(mutex, nullptr);
    std::promise<void> locked;
    std::promise<void> release;
    std::thread holder([&] {
        EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
        locked.set_value();
        release.get_future().wait();
        EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    });
    locked.get_future().wait();
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    release.set_value();
    holder.join();
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    aMutex_Destroy(&mutex);
}

#if !defined(__SANITIZE_THREAD__)
// Misuse that the mutex must report rather than hang on; the thread sanitizer
// reports each of these as an error itself, so they run in the other builds.

TEST(Mutex, OwnerChecksInsteadOfHanging) {
    aMutexRef mutex = aMutex_Create("owner");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);  // not locked at all
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    std::thread other([mutex] { EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission); });
    other.join();
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);  // still held by this thread
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, DestroyWhileLockedReportsBusyAndStillFrees) {
    aMutexRef mutex = aMutex_Create("held");
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    EXPECT_EQ(mutex, nullptr);
}
#endif

TEST(Mutex, ExcludesOtherThreads) {
    aMutexRef mutex = aMutex_Create("counter");
    ASSERT_NE(mutex, nullptr);
    long counter = 0;  // deliberately not atomic
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
            ++counter;
            ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
    aMutex_Destroy(&mutex);
}

// ---- Threads

void* Record(void* argument) {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return nullptr;
}

TEST(Thread, RunsEntryAndJoins) {
    std::atomic<int> calls{0};
    aThreadRef thread = aThread_Create(Record, &calls);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(calls.load(), 1);  // joined: the entry has finished

    EXPECT_EQ(aThread_Create(nullptr, &calls), nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), EINVAL);
    EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
    aThread_Yield();
}

// ---- Time

TEST(Time, TicksFollowTheWallClock) {
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const uint64_t ticks = aTime_GetMSTicks();
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    EXPECT_GE(ticks + 1, static_cast<uint64_t>(before));
    EXPECT_LE(ticks, static_cast<uint64_t>(after) + 1);
}

TEST(Time, SleepLastsAtLeastTheTimeAsked) {
    for (uint64_t ms : {0u, 1u, 30u, 1200u}) {  // 1200: more than one step
        const auto start = Clock::now();
        aTime_MSSleep(ms);
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(ms)) << ms;
    }
}

void IgnoreAlarm(int) {}

TEST(Time, SignalsDoNotShortenSleep) {
    struct sigaction action = {};
    action.sa_handler = IgnoreAlarm;  // no SA_RESTART: the sleep is interrupted
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer = {};
    timer.it_value.tv_usec = 20000;
    timer.it_interval.tv_usec = 20000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    const auto start = Clock::now();
    aTime_MSSleep(150);
    const auto slept = Clock::now() - start;

    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept, 150ms);
}

// ---- Logger

// What the callbacks see; one logger per test.
struct Observed {
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
    std::set<std::thread::id> threads;
    uint32_t identifier = 0;
    aLoggerRef logger = nullptr;    // for callbacks that call back into the logger
    aErr fromInside = aErrUnknown;  // result of that call
    int callsAfterInside = 0;

    // Waits until at least count calls happened; false on timeout.
    bool WaitForCalls(int count) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, kPatience, [&] { return calls >= count; });
    }
    int Calls() {
        std::lock_guard<std::mutex> hold(lock);
        return calls;
    }
};
Observed* gObserved = nullptr;

void CountAndWrite(aFileRef file, uint32_t identifier) {
    {
        std::lock_guard<std::mutex> hold(gObserved->lock);
        ++gObserved->calls;
        gObserved->threads.insert(std::this_thread::get_id());
        gObserved->identifier = identifier;
    }
    gObserved->changed.notify_all();
    aFile_Printf(file, "%u\n", identifier);
    std::this_thread::sleep_for(1ms);
}

// Calls Disable (or Destroy) on its own logger at the first call.
template <bool kDestroy>
void StopFromInside(aFileRef file, uint32_t identifier) {
    {
        std::lock_guard<std::mutex> hold(gObserved->lock);
        if (gObserved->calls == 0) {
            aLoggerRef logger = gObserved->logger;
            gObserved->fromInside = kDestroy ? aLogger_Destroy(&logger) : aLogger_Disable(logger);
            gObserved->callsAfterInside = -1;
        }
        ++gObserved->callsAfterInside;
    }
    CountAndWrite(file, identifier);
}

class Logger : public ::testing::Test {
  protected:
    void SetUp() override {
        gObserved = &observed_;
        std::string pattern = (std::filesystem::temp_directory_path() / "qx-log.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/log.txt";
    }
    void TearDown() override {
        EXPECT_EQ(aLogger_Destroy(&logger_), aErrNone);
        gObserved = nullptr;
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string Contents() const {
        std::ifstream in(path_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    Observed observed_;
    std::string dir_;
    std::string path_;
    aLoggerRef logger_ = nullptr;
};

TEST_F(Logger, CreateNeedsCallbackAndWritableFile) {
    EXPECT_EQ(aLogger_Create(1, CountAndWrite, (dir_ + "/missing/log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(1, nullptr, path_.c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(1, CountAndWrite, nullptr), nullptr);
    logger_ = aLogger_Create(1, CountAndWrite, path_.c_str());
    ASSERT_NE(logger_, nullptr);
    EXPECT_TRUE(std::filesystem::exists(path_));
    EXPECT_EQ(observed_.Calls(), 0);  // created stopped
}

TEST_F(Logger, InvalidLoggers) {
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLoggerRef none = nullptr;
    EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

TEST_F(Logger, StartStopAndRestart) {
    logger_ = aLogger_Create(7, CountAndWrite, path_.c_str());
    ASSERT_NE(logger_, nullptr);
    EXPECT_EQ(aLogger_Disable(logger_), aErrNone);  // not running: nothing to do
    ASSERT_EQ(aLogger_Enable(logger_), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger_), aErrNone);  // already running: no second worker
    ASSERT_TRUE(observed_.WaitForCalls(3));
    EXPECT_EQ(aLogger_Disable(logger_), aErrNone);
    const int stopped = observed_.Calls();
    EXPECT_EQ(aLogger_Disable(logger_), aErrNone);
    {
        std::lock_guard<std::mutex> hold(observed_.lock);
        EXPECT_EQ(observed_.threads.size(), 1u);
        EXPECT_EQ(observed_.threads.count(std::this_thread::get_id()), 0u);
        EXPECT_EQ(observed_.identifier, 7u);
    }
    // Disable has joined the worker, so every call's line is in the file
    // (unbuffered) and no call comes after it.
    std::string expected;
    for (int i = 0; i < stopped; ++i) {
        expected += "7\n";
    }
    EXPECT_EQ(Contents(), expected);
    EXPECT_EQ(observed_.Calls(), stopped);

    ASSERT_EQ(aLogger_Enable(logger_), aErrNone);
    ASSERT_TRUE(observed_.WaitForCalls(stopped + 2));
    EXPECT_EQ(aLogger_Destroy(&logger_), aErrNone);  // stops the worker first
    EXPECT_EQ(logger_, nullptr);
}

TEST_F(Logger, AppendsToExistingFile) {
    std::ofstream(path_) << "before\n";
    logger_ = aLogger_Create(3, CountAndWrite, path_.c_str());
    ASSERT_NE(logger_, nullptr);
    ASSERT_EQ(aLogger_Enable(logger_), aErrNone);
    ASSERT_TRUE(observed_.WaitForCalls(1));
    ASSERT_EQ(aLogger_Disable(logger_), aErrNone);
    EXPECT_EQ(Contents().rfind("before\n3\n", 0), 0u) << Contents();
}

TEST_F(Logger, DisableFromInsideCallbackChangesNothing) {
    logger_ = aLogger_Create(9, StopFromInside<false>, path_.c_str());
    ASSERT_NE(logger_, nullptr);
    observed_.logger = logger_;
    ASSERT_EQ(aLogger_Enable(logger_), aErrNone);
    // The worker keeps running after its own Disable call.
    ASSERT_TRUE(observed_.WaitForCalls(5));
    {
        std::lock_guard<std::mutex> hold(observed_.lock);
        EXPECT_EQ(observed_.fromInside, aErrNone);
        EXPECT_GE(observed_.callsAfterInside, 4);
    }
    EXPECT_EQ(aLogger_Disable(logger_), aErrNone);
    const int stopped = observed_.Calls();
    EXPECT_EQ(aLogger_Destroy(&logger_), aErrNone);
    EXPECT_EQ(observed_.Calls(), stopped);
}

TEST_F(Logger, DestroyFromInsideCallbackIsRefused) {
    logger_ = aLogger_Create(4, StopFromInside<true>, path_.c_str());
    ASSERT_NE(logger_, nullptr);
    observed_.logger = logger_;
    ASSERT_EQ(aLogger_Enable(logger_), aErrNone);
    ASSERT_TRUE(observed_.WaitForCalls(3));  // still alive and writing
    {
        std::lock_guard<std::mutex> hold(observed_.lock);
        EXPECT_EQ(observed_.fromInside, aErrBusy);
    }
    EXPECT_EQ(aLogger_Destroy(&logger_), aErrNone);
    EXPECT_EQ(logger_, nullptr);
}

}  // namespace
