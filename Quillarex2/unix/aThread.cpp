#include "unix/aThread.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace {
constexpr uint32_t kThreadCheck = 0x7EAD7EADu;
}

struct aThread {
    pthread_t thread;
    uint32_t check;
};

aThreadRef aThread_Create(aThreadEntry entry, void* argument) {
    if (entry == nullptr) {
        return nullptr;
    }
    aThread* thread = new (std::nothrow) aThread;
    if (thread == nullptr) {
        return nullptr;
    }
    if (pthread_create(&thread->thread, nullptr, entry, argument) != 0) {
        delete thread;
        return nullptr;
    }
    thread->check = kThreadCheck;
    return thread;
}

int aThread_Destroy(aThreadRef* reference) {
    if (reference == nullptr) {
        return EINVAL;
    }
    aThread* thread = *reference;
    *reference = nullptr;
    if (thread == nullptr || thread->check != kThreadCheck) {
        return EINVAL;
    }
    int result = pthread_join(thread->thread, nullptr);
    if (result == EDEADLK) {
        // Called on the thread itself: nobody else holds the handle any more,
        // so let the system reclaim the thread when it ends.
        pthread_detach(thread->thread);
    }
    thread->check = 0;
    delete thread;
    return result;
}

void aThread_Yield() {
    usleep(5);
}
