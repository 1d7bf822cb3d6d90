#include "common/aLogger.h"

#include <atomic>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {
constexpr uint16_t kLoggerCheck = 0xDEED;
}

struct aLogger {
    uint32_t identifier;
    aLoggerCallback callback;
    aFileRef file;
    // The worker's identifier while it runs, otherwise the thread that last
    // started or stopped it.
    std::thread::id thread;
    std::atomic<bool> running;
    uint16_t check;

    std::thread worker;
    // Guards thread, worker and changes of running, so that the callback can
    // recognise its own thread even before Enable has returned.
    std::mutex state;
};

namespace {

bool sIsValid(const aLogger* logger) {
    return logger != nullptr && logger->check == kLoggerCheck;
}

void sWorker(aLogger* logger) {
    while (logger->running.load(std::memory_order_acquire)) {
        logger->callback(logger->file, logger->identifier);
    }
}

}  // namespace

aLoggerRef aLogger_Create(uint32_t identifier, aLoggerCallback callback, const char* path) {
    if (callback == nullptr) {
        return nullptr;
    }
    aLogger* logger = new (std::nothrow) aLogger;
    if (logger == nullptr) {
        return nullptr;
    }
    logger->file = aFile_Open(path, aFileModeAppend);
    if (logger->file == nullptr) {
        delete logger;
        return nullptr;
    }
    aFile_SetUnbuffered(logger->file);
    logger->identifier = identifier;
    logger->callback = callback;
    logger->thread = std::this_thread::get_id();
    logger->running.store(false);
    logger->check = kLoggerCheck;
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!sIsValid(logger)) {
        return aErrParam;
    }
    std::lock_guard<std::mutex> hold(logger->state);
    if (logger->running.load()) {
        return aErrNone;
    }
    logger->running.store(true, std::memory_order_release);
    try {
        logger->worker = std::thread(sWorker, logger);
    } catch (...) {
        logger->running.store(false);
        logger->thread = std::this_thread::get_id();
        return aErrResource;
    }
    logger->thread = logger->worker.get_id();
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!sIsValid(logger)) {
        return aErrParam;
    }
    std::thread worker;
    {
        std::lock_guard<std::mutex> hold(logger->state);
        if (!logger->running.load() || logger->thread == std::this_thread::get_id()) {
            return aErrNone;
        }
        logger->running.store(false, std::memory_order_release);
        worker = std::move(logger->worker);
    }
    // Joined without the lock, so that a callback calling Disable meanwhile
    // does not block the worker.
    aErr result = aErrNone;
    try {
        worker.join();
    } catch (const std::system_error&) {
        worker.detach();
        result = aErrUnknown;
    }
    std::lock_guard<std::mutex> hold(logger->state);
    logger->thread = std::this_thread::get_id();
    return result;
}

aErr aLogger_Destroy(aLoggerRef* reference) {
    if (reference == nullptr || !sIsValid(*reference)) {
        return aErrNone;
    }
    aLogger* logger = *reference;
    {
        std::lock_guard<std::mutex> hold(logger->state);
        if (logger->running.load() && logger->thread == std::this_thread::get_id()) {
            // The callback cannot free the logger it runs in.
            return aErrBusy;
        }
    }
    const aErr result = aLogger_Disable(logger);
    if (result != aErrNone) {
        return result;
    }
    aFile_Close(&logger->file);
    logger->check = 0;
    delete logger;
    *reference = nullptr;
    return aErrNone;
}
