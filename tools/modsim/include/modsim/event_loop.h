// A single-threaded poll() loop with file descriptors, one-shot timers and
// tasks posted from other threads. It sleeps in poll() while nothing is due.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace modsim {

class EventLoop {
  public:
    using Clock = std::chrono::steady_clock;
    using FdCallback = std::function<void(short revents)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void addFd(int fd, short events, FdCallback callback);
    void setEvents(int fd, short events);
    void removeFd(int fd);

    uint64_t addTimer(int delayMs, std::function<void()> callback);
    void cancelTimer(uint64_t id);

    // Thread-safe: runs the task on the loop's thread.
    void post(std::function<void()> task);
    // Thread-safe: makes run() return.
    void stop();

    void run();
    // One round: waits at most maxWaitMs (-1: until something happens).
    void runOnce(int maxWaitMs);

  private:
    struct Watch {
        short events;
        FdCallback callback;
        uint64_t generation;
    };
    void drainWakeup();

    int wakeFd_ = -1;
    std::map<int, Watch> fds_;
    uint64_t generation_ = 0;
    std::multimap<Clock::time_point, uint64_t> timerOrder_;
    std::map<uint64_t, std::pair<Clock::time_point, std::function<void()>>> timers_;
    uint64_t nextTimer_ = 1;
    std::mutex postLock_;
    std::vector<std::function<void()>> posted_;
    bool stopping_ = false;
};

}  // namespace modsim
