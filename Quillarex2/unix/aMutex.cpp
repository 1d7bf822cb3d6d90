#include "unix/aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace {
constexpr uint32_t kMutexCheck = 0xA17E0B0Bu;
}

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME_LENGTH + 1];
    uint32_t check;
};

namespace {

bool sIsValid(const aMutex* mutex) {
    return mutex != nullptr && mutex->check == kMutexCheck;
}

}  // namespace

aMutexRef aMutex_Create(const char* name) {
    size_t length = 0;
    if (name != nullptr) {
        length = strnlen(name, aMUTEX_MAX_NAME_LENGTH + 1);
        if (length > aMUTEX_MAX_NAME_LENGTH) {
            return nullptr;
        }
    }
    aMutex* mutex = new (std::nothrow) aMutex;
    if (mutex == nullptr) {
        return nullptr;
    }
    // Error checking turns a relock by the owner into EDEADLK and an unlock by
    // another thread into EPERM, where a plain mutex would hang or misbehave.
    pthread_mutexattr_t attributes;
    bool made = pthread_mutexattr_init(&attributes) == 0;
    if (made) {
        made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
               pthread_mutex_init(&mutex->mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    if (!made) {
        delete mutex;
        return nullptr;
    }
    if (length > 0) {
        std::memcpy(mutex->name, name, length);
    }
    mutex->name[length] = '\0';
    mutex->check = kMutexCheck;
    return mutex;
}

const char* aMutex_Identifier(aMutexRef mutex) {
    if (!sIsValid(mutex)) {
        return nullptr;
    }
    return mutex->name;
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (!sIsValid(mutex)) {
        return aErrParam;
    }
    switch (pthread_mutex_lock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EINVAL:
            return aErrParam;
        case EDEADLK:
            return aErrDuplicate;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexRef mutex) {
    if (!sIsValid(mutex)) {
        return aErrParam;
    }
    switch (pthread_mutex_trylock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EBUSY:
            return aErrBusy;
        case EINVAL:
            return aErrParam;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (!sIsValid(mutex)) {
        return aErrParam;
    }
    switch (pthread_mutex_unlock(&mutex->mutex)) {
        case 0:
            return aErrNone;
        case EPERM:
            return aErrPermission;
        case EINVAL:
            return aErrParam;
        default:
            return aErrUnknown;
    }
}

aErr aMutex_Destroy(aMutexRef* reference) {
    if (reference == nullptr) {
        return aErrParam;
    }
    aMutex* mutex = *reference;
    *reference = nullptr;
    if (!sIsValid(mutex)) {
        return aErrParam;
    }
    aErr result;
    switch (pthread_mutex_destroy(&mutex->mutex)) {
        case 0:
            result = aErrNone;
            break;
        case EAGAIN:
        case ENOMEM:
            result = aErrResource;
            break;
        case EBUSY:
            result = aErrBusy;
            break;
        case EINVAL:
            result = aErrParam;
            break;
        default:
            result = aErrUnknown;
            break;
    }
    mutex->check = 0;
    delete mutex;
    return result;
}
