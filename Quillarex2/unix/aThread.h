// Threads.
#ifndef QUILLAREX_ATHREAD_H
#define QUILLAREX_ATHREAD_H

typedef struct aThread aThread;
typedef aThread* aThreadRef;

// The function a thread runs; its result is discarded by aThread_Destroy.
typedef void* (*aThreadEntry)(void* argument);

// Starts a thread running entry(argument) with default attributes. Returns
// the handle, or null when entry is null or memory or the thread could not be
// had. The caller owns the handle and must release it with aThread_Destroy,
// which waits for the thread to end.
aThreadRef aThread_Create(aThreadEntry entry, void* argument);

// Waits for the thread to end, frees the handle and clears *thread. Returns
// the system's join result: 0 on success, EDEADLK when called on the thread
// itself (the handle is freed all the same, the thread is left running
// detached from it), EINVAL for a null reference or invalid handle.
int aThread_Destroy(aThreadRef* thread);

// Gives up the processor briefly (sleeps 5 microseconds).
void aThread_Yield();

#endif
