#include "modsim/event_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace modsim {

EventLoop::EventLoop() {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0)
        throw std::runtime_error("eventfd failed");
}

EventLoop::~EventLoop() {
    close(wakeFd_);
}

void EventLoop::addFd(int fd, short events, FdCallback callback) {
    fds_[fd] = Watch{events, std::move(callback), ++generation_};
}

void EventLoop::setEvents(int fd, short events) {
    auto it = fds_.find(fd);
    if (it != fds_.end())
        it->second.events = events;
}

void EventLoop::removeFd(int fd) {
    fds_.erase(fd);
}

uint64_t EventLoop::addTimer(int delayMs, std::function<void()> callback) {
    uint64_t id = nextTimer_++;
    auto due = Clock::now() + std::chrono::milliseconds(delayMs < 0 ? 0 : delayMs);
    timers_[id] = {due, std::move(callback)};
    timerOrder_.emplace(due, id);
    return id;
}

void EventLoop::cancelTimer(uint64_t id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    auto range = timerOrder_.equal_range(it->second.first);
    for (auto o = range.first; o != range.second; ++o) {
        if (o->second == id) {
            timerOrder_.erase(o);
            break;
        }
    }
    timers_.erase(it);
}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> guard(postLock_);
        posted_.push_back(std::move(task));
    }
    uint64_t one = 1;
    ssize_t n = write(wakeFd_, &one, sizeof one);
    (void)n;
}

void EventLoop::stop() {
    post([this] { stopping_ = true; });
}

void EventLoop::drainWakeup() {
    uint64_t value;
    while (read(wakeFd_, &value, sizeof value) > 0) {
    }
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> guard(postLock_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks)
        task();
}

void EventLoop::run() {
    stopping_ = false;
    while (!stopping_)
        runOnce(-1);
}

void EventLoop::runOnce(int maxWaitMs) {
    int timeout = maxWaitMs;
    if (!timerOrder_.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        timerOrder_.begin()->first - Clock::now())
                        .count();
        // Round up so that a timer is never polled for before it is due.
        int due = left <= 0 ? 0 : static_cast<int>(left) + 1;
        timeout = timeout < 0 ? due : std::min(timeout, due);
    }
    std::vector<pollfd> polls;
    std::vector<uint64_t> generations;
    polls.push_back({wakeFd_, POLLIN, 0});
    generations.push_back(0);
    for (const auto& [fd, watch] : fds_) {
        polls.push_back({fd, watch.events, 0});
        generations.push_back(watch.generation);
    }
    int n = poll(polls.data(), polls.size(), timeout);
    if (n < 0 && errno != EINTR)
        throw std::runtime_error("poll failed");

    if (n > 0) {
        if (polls[0].revents)
            drainWakeup();
        for (std::size_t i = 1; i < polls.size(); ++i) {
            if (!polls[i].revents)
                continue;
            auto it = fds_.find(polls[i].fd);
            // Skip descriptors removed or replaced by an earlier callback.
            if (it == fds_.end() || it->second.generation != generations[i])
                continue;
            FdCallback callback = it->second.callback;
            callback(polls[i].revents);
        }
    }
    auto now = Clock::now();
    while (!timerOrder_.empty() && timerOrder_.begin()->first <= now) {
        uint64_t id = timerOrder_.begin()->second;
        timerOrder_.erase(timerOrder_.begin());
        auto it = timers_.find(id);
        if (it == timers_.end())
            continue;
        auto callback = std::move(it->second.second);
        timers_.erase(it);
        callback();
    }
}

}  // namespace modsim
