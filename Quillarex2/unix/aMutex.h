// Named mutexes.
#ifndef QUILLAREX_AMUTEX_H
#define QUILLAREX_AMUTEX_H

#include "common/aError.h"

typedef struct aMutex aMutex;
typedef aMutex* aMutexRef;

// Longest name a mutex may carry, in characters.
#define aMUTEX_MAX_NAME_LENGTH 255

// Creates an unlocked, non-recursive mutex. The name (null: empty) is copied;
// a name longer than aMUTEX_MAX_NAME_LENGTH, or a lack of memory or of system
// resources, gives null. The caller owns the handle; release it with
// aMutex_Destroy once no thread uses it any more.
aMutexRef aMutex_Create(const char* name);

// The mutex's name, valid while the handle lives; null for an invalid handle.
const char* aMutex_Identifier(aMutexRef mutex);

// Lock, try-lock and unlock may be called from any thread. The mutex checks
// its owner: locking it again from the thread that holds it gives
// aErrDuplicate instead of a deadlock, and unlocking it from a thread that
// does not hold it gives aErrPermission and leaves it locked.
//   Lock:    aErrNone, aErrParam (null or invalid handle), aErrDuplicate
//            (already held by this thread), aErrUnknown.
//   TryLock: aErrNone, aErrBusy (held by any thread), aErrParam, aErrUnknown.
//   Unlock:  aErrNone, aErrPermission (not held by this thread), aErrParam,
//            aErrUnknown.
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);

// Destroys the mutex, frees the handle and clears *mutex, whatever the
// outcome: aErrNone, aErrBusy (it was still locked), aErrResource, aErrParam
// (null reference or invalid handle), aErrUnknown. Destroying a mutex that
// another thread holds or waits for is a caller error.
aErr aMutex_Destroy(aMutexRef* mutex);

#endif
