// A file logger: a callback run over and over on a worker thread of its own.
#ifndef QUILLAREX_ALOGGER_H
#define QUILLAREX_ALOGGER_H

#include <cstdint>

#include "common/aError.h"
#include "unix/aFile.h"

typedef struct aLogger aLogger;
typedef aLogger* aLoggerRef;

// Called repeatedly on the worker thread with the logger's file and
// identifier while the logger is enabled. Each call should do a bounded
// amount of work and sleep when there is nothing to write, or the worker
// spins. The file belongs to the logger: write to it, never close it.
typedef void (*aLoggerCallback)(aFileRef file, uint32_t identifier);

// Opens path for appending, unbuffered, and returns a stopped logger owned by
// the caller, or null (null callback, out of memory, or the file could not be
// opened).
aLoggerRef aLogger_Create(uint32_t identifier, aLoggerCallback callback, const char* path);

// Enable, Disable and Destroy are meant to be called from one controlling
// thread; the callback itself may call Enable and Disable, which then change
// nothing.
//
// Starts the worker. aErrNone (also when already running), aErrParam (invalid
// logger), aErrResource (the thread could not be started).
aErr aLogger_Enable(aLoggerRef logger);

// Stops the worker and waits for it to end; the callback call in progress is
// finished first. aErrNone (also when not running, and when called from the
// callback, in which case nothing changes and the worker keeps running),
// aErrParam (invalid logger), aErrUnknown (waiting for the worker failed).
aErr aLogger_Disable(aLoggerRef logger);

// Stops the worker when it runs, closes the file, frees the logger and clears
// *logger, returning aErrNone. A null reference or invalid logger gives
// aErrNone and does nothing. When the worker cannot be stopped (from inside
// the callback: aErrBusy; a failed wait: aErrUnknown) nothing is closed or
// freed and *logger is left as it was.
aErr aLogger_Destroy(aLoggerRef* logger);

#endif
