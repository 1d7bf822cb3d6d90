// The packet log: a byte ring of entries recording the packets a link sends
// and receives, and short texts.
#ifndef QUILLAREX_APACKETLOG_H
#define QUILLAREX_APACKETLOG_H

#include <cstdint>

#include "common/aError.h"

typedef struct aPacketLog aPacketLog;
typedef aPacketLog* aPacketLogRef;

// Entry kinds.
#define aPACKETLOG_KIND_SENT 1      // packet sent to the module (wire bytes)
#define aPACKETLOG_KIND_RECEIVED 2  // packet received from the module (wire bytes)
#define aPACKETLOG_KIND_TEXT 3      // text

// Largest payload of one entry: its length is stored in one byte.
#define aPACKETLOG_MAX_PAYLOAD 255

// Not thread-safe: the log does no locking of its own. A put may move the read
// position (it drops old entries), so whoever shares a log between threads
// must hold one lock around every put, get and enabled-flag change.

// A new, empty, disabled log with a ring of size bytes; it holds at most
// size - 1 bytes of entries, each taking its payload length + 2 bytes. Null
// when size is 0 or memory is short. The caller owns it; release it with
// aPacketLog_Destroy.
aPacketLogRef aPacketLog_Create(uint32_t size);

// Appends one entry, silently dropping the oldest whole entries to make room.
// aErrNone; aErrParam (invalid log, or null bytes with length > 0); aErrSize
// (length above aPACKETLOG_MAX_PAYLOAD); aErrOverrun (the entry can never fit
// in this ring: length + 2 >= size; the log is left unchanged).
aErr aPacketLog_Put(aPacketLogRef log, uint8_t kind, uint32_t length, const uint8_t* bytes);

// Takes the oldest entry. On entry *length is the buffer's capacity; on
// return it holds the entry's payload length and *kind its kind.
// aErrNone (the entry is removed and its payload copied); aErrNotFound (the
// log is empty); aErrOverrun (the capacity is below the payload length: kind
// and length are reported, the entry stays in the log); aErrParam (invalid
// log, null kind or length, or null buffer with a capacity above 0).
aErr aPacketLog_Get(aPacketLogRef log, uint8_t* kind, uint32_t* length, uint8_t* buffer);

// The enabled flag: set by the owner while logging is wanted. It is
// informational only; put and get work either way.
aErr aPacketLog_SetEnabled(aPacketLogRef log, bool enabled);
bool aPacketLog_IsEnabled(aPacketLogRef log);

// Clears the enabled flag, frees the log and clears *log. Always aErrNone.
aErr aPacketLog_Destroy(aPacketLogRef* log);

#endif
