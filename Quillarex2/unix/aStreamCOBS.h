// COBS-framed packet streams: each packet travels as its wire bytes and a
// CRC-8/MAXIM byte, COBS-encoded and followed by one zero byte, so that a
// line that loses or corrupts bytes loses whole packets only.
#ifndef QUILLAREX_ASTREAMCOBS_H
#define QUILLAREX_ASTREAMCOBS_H

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Longest encoded frame body (without its delimiter): packets of up to
// aCOBS_MAX_PACKET_DATA data bytes fit.
#define aCOBS_MAX_FRAME 31
#define aCOBS_MAX_PACKET_DATA 27

// Wraps a lower stream, given as its operations and reference, into a framed
// stream owned by the caller; aStream_Destroy deletes the lower stream too.
//   get:   hands out the wire bytes of each frame that decodes and checks,
//          one per call. Every raw byte taken from the lower stream gives
//          aErrNotReady (so does any lower error); the get that ends a
//          corrupted frame (bad coding, wrong length, bad CRC, longer than
//          aCOBS_MAX_FRAME) gives aErrPacket and the frame is dropped.
//   write: cuts the bytes into packets (a partial packet waits for the next
//          write) and sends one frame per packet with one lower write.
//          Returns aErrNone, or the last error: the lower write's, aErrSize
//          for a packet too long for a frame (not sent), aErrPacket for bytes
//          that do not form a packet (dropped).
//   put:   passes one byte to the lower put, unframed.
// One thread may read while another writes.
// aErrParam (null out-parameter), aErrMemory, aErrResource (the stream could
// not be made); the lower stream is not deleted on failure.
aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                                void* reference, aStreamRef* stream);

// Opens a serial port as aStream_CreateSerial does and wraps it as above.
// aErrResource (null path or out-parameter, dataBits or stopBits above 1, no
// memory), or the error of opening the port or of wrapping it (the port is
// closed again). *stream is null on failure.
aErr aStream_CreateSerial_Packetized(const char* devicePath, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStreamRef* stream);

#endif
