// Packet FIFOs: thread-safe packet queues named by numeric identifiers, from
// which consumers take the oldest packet, or the oldest one a filter accepts,
// with or without a timed wait.
#ifndef QUILLAREX_APACKETFIFO_H
#define QUILLAREX_APACKETFIFO_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"

// A FIFO identifier; 0 names no FIFO.
typedef uint64_t aPacketFifoId;

// Most packets a FIFO holds. A put beyond it drops the oldest packet.
#define aPACKETFIFO_MAX_PACKETS 1000

// Tells whether a consumer wants a packet. It runs on the consumer's thread
// while the FIFO is locked: it must not call into the same FIFO.
typedef bool (*aPacketFilterProc)(const aPacket* packet, const void* reference);

// All operations may be called from any thread, on any FIFO, at any time; an
// identifier that names no FIFO (never created or destroyed) acts like an
// absent FIFO as described. Every packet handed out is a new object owned by
// the caller, who releases it with aPacket_Destroy.

// Creates an empty FIFO and returns its identifier, never reused within the
// process; 0 when it could not be made.
aPacketFifoId aPacketFifo_Create();

// Removes the FIFO and destroys the packets it holds; threads waiting in it
// return null at once. *identifier is set to 0 in every case.
// aErrNone; aErrParam (null reference); aErrNotFound (unknown identifier);
// aErrUnknown (internal failure).
aErr aPacketFifo_Destroy(aPacketFifoId* identifier);

// Number of packets held; 0 for an unknown identifier.
size_t aPacketFifo_GetLength(aPacketFifoId identifier);

// Appends a copy of packet (the caller keeps its own) and wakes every waiter.
// When the FIFO already holds aPACKETFIFO_MAX_PACKETS packets, the oldest is
// dropped to make room. aErrNone; aErrParam (unknown identifier, invalid
// packet, no memory for the copy); aErrResource (the queue could not grow).
aErr aPacketFifo_Put(aPacketFifoId identifier, const aPacket* packet);

// The oldest packet, removed; null when the FIFO is empty or unknown.
// Never waits.
aPacketRef aPacketFifo_Get(aPacketFifoId identifier);

// The oldest packet, removed, waiting up to timeoutMs (steady clock) for one
// to arrive; 0 looks once. Null on time-out, when the FIFO is destroyed
// meanwhile, or for an unknown identifier.
aPacketRef aPacketFifo_Await(aPacketFifoId identifier, uint32_t timeoutMs);

// The oldest packet that filter accepts, removed; null when there is none (or
// filter is null). Never waits; the others stay in their order.
aPacketRef aPacketFifo_GetFirst(aPacketFifoId identifier, aPacketFilterProc filter,
                                const void* reference);

// As aPacketFifo_GetFirst, waiting up to timeoutMs for such a packet. Within
// one call the filter sees each packet at most once, however often the
// waiter wakes. Null on time-out, destruction or unknown identifier.
aPacketRef aPacketFifo_AwaitFirst(aPacketFifoId identifier, aPacketFilterProc filter,
                                  const void* reference, uint32_t timeoutMs);

// Removes and destroys every packet that filter accepts, keeping the order of
// the rest. Returns the number removed (0 for an unknown identifier or a null
// filter).
size_t aPacketFifo_DrainPackets(aPacketFifoId identifier, aPacketFilterProc filter,
                                const void* reference);

#endif
