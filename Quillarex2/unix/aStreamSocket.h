// TCP socket streams over IPv4.
#ifndef QUILLAREX_ASTREAMSOCKET_H
#define QUILLAREX_ASTREAMSOCKET_H

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Connects to address (IPv4, network byte order) and port (host order) and
// returns a stream over the connection, owned by the caller. Waits up to 5 s
// for the connection; a refused connection fails at once. aErrResource and
// *stream null on any failure.
//
// get waits up to aSTREAM_IDLE_WAIT_MS for a byte. When the connection has
// dropped (the peer closed or reset it), get and write reconnect to the same
// address and port: get then reports aErrNotReady, write sends over the new
// connection; when the reconnection fails they report its error
// (aErrConnection when refused or timed out, aErrIO otherwise) and the next
// get or write tries again. A write that cannot place every byte after ten
// attempts gives aErrWrite. A closed peer never raises SIGPIPE.
//
// One thread may read while another writes; reconnections are serialised.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

#endif
