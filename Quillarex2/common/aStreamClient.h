// Network client streams: a byte stream to a module that another process (or
// this one) shares through a network server.
#ifndef QUILLAREX_ASTREAMCLIENT_H
#define QUILLAREX_ASTREAMCLIENT_H

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Connects to the sharing server at address (IPv4, network byte order) and
// port and returns a stream over the connection in *stream, owned by the
// caller. aErrParam for a null out-parameter. The network client is not
// built yet: every other call gives aErrUnimplemented with *stream null.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStreamRef* stream);

#endif
