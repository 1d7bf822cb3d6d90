// Byte streams: one abstraction over files, sockets, serial ports and other
// byte transports, with a push-back buffer so that a read which cannot be
// completed returns its bytes to the stream instead of losing them.
#ifndef QUILLAREX_ASTREAM_H
#define QUILLAREX_ASTREAM_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

#define aSTREAMCHECK 0x4321
// The push-back ring is allocated and grown in steps of this many bytes.
#define aSTREAMBUFCHUNK 512

// How long a get waits for a byte to arrive before it reports aErrNotReady,
// in milliseconds. Readers poll get in a loop; a get that returned at once
// would keep a core busy for every idle stream.
#define aSTREAM_IDLE_WAIT_MS 10

typedef struct aStream aStream;
typedef aStream* aStreamRef;

// The operations a concrete stream supplies; each receives the stream's
// reference as its last argument.
//   get:    aErrNone with one byte; aErrNotReady when no byte came within a
//           short bounded wait (about aSTREAM_IDLE_WAIT_MS; never long);
//           aErrEOF at the end of a finite source; any other code on failure.
//   put:    sends or stores one byte.
//   write:  sends or stores count bytes.
//   delete: releases the concrete stream's resources and the reference.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t count, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
// How many times the stream has replaced its connection (a socket stream
// reconnects when its peer closed); 0 for streams that never do.
typedef uint64_t (*aStreamGenerationProc)(void* reference);

// A stream is not synchronised. One thread may read (the read operations and
// the push-back buffer) while another writes, when the concrete stream allows
// it; the concrete streams of this library do.

// A new stream over the given operations (any may be null) and reference,
// with an empty push-back buffer; null when memory is short. The stream owns
// the reference: aStream_Destroy passes it to deleteProc.
aStreamRef aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc,
                          aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                          void* reference);

// Gives the stream a generation operation (see aStreamGenerationProc); set it
// before the stream is shared. aErrParam for an invalid stream.
aErr aStream_SetGenerationProc(aStreamRef stream, aStreamGenerationProc proc);
// The stream's generation: 0 without the operation or for an invalid stream.
// A reader that sees it change knows that the bytes before and after come
// from two different connections.
uint64_t aStream_GetGeneration(aStreamRef stream);

// Calls the delete operation (when present) and returns its result, frees the
// stream and clears *stream. aErrParam for a null reference or an invalid
// stream; *stream is cleared in every case.
aErr aStream_Destroy(aStreamRef* stream);

// Reads exactly count bytes, or none: bytes pushed back earlier come first.
//   aErrNone:     all count bytes are in buffer;
//   aErrNotReady: fewer were available; they go back to the stream (the next
//                 read receives them first) and buffer is untouched;
//   aErrEOF:      the source ended; buffer holds the bytes obtained before;
//   aErrParam (invalid stream, null buffer), aErrMode (no get), aErrMemory
//   (the push-back buffer could not grow), or the get's error, after which
//   the bytes obtained are lost.
aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t count);

// Sends count bytes: one write call when the stream has write and count > 1,
// otherwise byte by byte through put (or write), stopping at the first
// error. aErrParam (invalid stream, null bytes), aErrMode (neither put nor
// write), or the operation's result.
aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t count);

// Reads a record ended by the terminator sequence (not stored). The record is
// complete when the terminator has been read, when capacity bytes are stored
// (the rest stays in the stream), or when the source ends after at least one
// byte. Then the bytes go to buffer and length (optional) receives their
// number: aErrNone. aErrEOF with length 0 when the source ends first.
// aErrNotReady when the record is not complete yet: everything read goes back
// to the stream. aErrParam (invalid stream, null buffer or terminator,
// terminator length 0), aErrMode (no get), or the get's error.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength);

// Writes the bytes, then the terminator. aErrParam (invalid stream, null
// bytes with count > 0, null terminator with terminatorLength > 0), or as
// aStream_Write.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t count,
                         const uint8_t* terminator, size_t terminatorLength);

// Reads a record ended by a zero byte into buffer (at most size - 1
// characters) and terminates it. Results as aStream_ReadRecord; aErrParam for
// size 0.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);

// Writes the text's characters and one zero byte.
aErr aStream_WriteCString(aStreamRef stream, const char* text);

// Reads a record ended by the characters of terminatorText (at most size - 1
// characters) and terminates it. aErrParam for an empty terminatorText or
// size 0; otherwise as aStream_ReadRecord.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminatorText);

// Writes the text's characters, then terminatorText with its zero byte.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText);

// Copies every byte of source (its pushed-back bytes first) into sink until
// source reports aErrEOF: aErrNone. aErrParam (an invalid stream), aErrMode
// (source without get or sink without put), or the first other error of a
// get or put.
aErr aStream_Flush(aStreamRef source, aStreamRef sink);

#endif
