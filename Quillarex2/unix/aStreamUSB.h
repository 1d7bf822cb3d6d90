// USB streams: a module attached by USB, opened by its serial number, as a
// byte stream over its bulk endpoints.
#ifndef QUILLAREX_ASTREAMUSB_H
#define QUILLAREX_ASTREAMUSB_H

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Opens the module whose serial number is serialNumber and returns a stream
// over it in *stream, owned by the caller (aStream_Destroy closes the module).
// aErrParam for serial number 0 or a null out-parameter; aErrNotFound when no
// such module is attached; aErrBusy when its interface is held elsewhere;
// aErrConfiguration when it lacks the data interface; aErrPermission. The
// kernel driver's device is used when it exists, libusb otherwise. The
// stream's get waits at most about a second for a byte.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

#endif
