// Serial port streams (termios), raw, at one of eight fixed rates.
#ifndef QUILLAREX_ASTREAMSERIAL_H
#define QUILLAREX_ASTREAMSERIAL_H

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Baud indices: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600,
// 6 115200, 7 230400; any other index selects the hang-up rate (0).
#define aSERIAL_BAUD_INDEX_COUNT 8

// Opens and configures the port at path and returns a stream over it, owned
// by the caller: raw (no echo, no signals, no translation), receiver on,
// modem control lines ignored, parity even when parity is true (else none),
// dataBits 0 = 8 bits, 1 = 7 bits, stopBits 0 = one, 1 = two. Pending input
// and output are discarded. aStream_Destroy restores the settings the port
// had and closes it.
// aErrResource (null path or out-parameter, dataBits or stopBits above 1, no
// memory); aErrNotFound (no such path); aErrPermission; aErrIO (the port
// cannot be opened or configured). *stream is null on failure.
//
// get waits up to aSTREAM_IDLE_WAIT_MS for a byte (aErrNotReady when none
// came) and gives aErrIO when the port has gone (hung up or failed), after
// the same wait, so that a reader polling a dead port does not spin. write
// returns once the bytes have been transmitted; aErrIO when they could not
// all be written. One thread may read while another writes.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream);

// The port record and its operations without the stream around them, for
// stacking another stream (a framing layer) on a serial port. _aStreamSerial_Open
// has the parameters, checks and errors of aStream_CreateSerial and gives the
// open port in *port; _aStreamSerial_Delete restores, closes and frees it.
aErr _aStreamSerial_Open(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                         uint32_t stopBits, void** port);
aErr _aStreamSerial_Get(uint8_t* byte, void* port);
aErr _aStreamSerial_Put(const uint8_t* byte, void* port);
aErr _aStreamSerial_Write(const uint8_t* bytes, size_t count, void* port);
aErr _aStreamSerial_Delete(void* port);

#endif
